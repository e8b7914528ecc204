#pragma once

#include "Diagnostics.h"

#include <windows.h>

// The reference count behind the video path's COM objects: it starts at 1
// (the creator's reference) and the last release deletes the object.
class RefCountedObject
{
public:
    RefCountedObject() = default;
    virtual ~RefCountedObject() { QV_ASSERT(m_refCount == 0, "m_refCount == 0"); }

    RefCountedObject(const RefCountedObject&) = delete;
    RefCountedObject& operator=(const RefCountedObject&) = delete;

    ULONG AddRefObject() { return static_cast<ULONG>(InterlockedIncrement(&m_refCount)); }

    ULONG ReleaseObject()
    {
        QV_ASSERT(m_refCount > 0, "m_refCount > 0");
        const LONG count = InterlockedDecrement(&m_refCount);
        if (count == 0)
            delete this;
        return static_cast<ULONG>(count);
    }

    LONG RefCount() const { return m_refCount; }

private:
    volatile LONG m_refCount = 1;
};
