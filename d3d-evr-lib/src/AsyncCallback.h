#pragma once

#include <windows.h>
#include <mfobjects.h>

// An IMFAsyncCallback that is part of its parent object: it shares the
// parent's reference count and calls one of the parent's operations.
template <class T>
class AsyncCallback : public IMFAsyncCallback
{
public:
    using InvokeFn = HRESULT (T::*)(IMFAsyncResult* pResult);

    AsyncCallback(T* pParent, InvokeFn fn) : m_pParent(pParent), m_pInvokeFn(fn) {}

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        if (riid == __uuidof(IUnknown) || riid == __uuidof(IMFAsyncCallback))
        {
            *ppv = static_cast<IMFAsyncCallback*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return m_pParent->AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return m_pParent->Release(); }

    STDMETHODIMP GetParameters(DWORD*, DWORD*) override { return E_NOTIMPL; }
    STDMETHODIMP Invoke(IMFAsyncResult* pResult) override { return (m_pParent->*m_pInvokeFn)(pResult); }

private:
    T* m_pParent; // the owner: this callback lives inside it
    InvokeFn m_pInvokeFn;
};
