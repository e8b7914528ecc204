#pragma once

#include <windows.h>
#include <objbase.h>

#include <utility>

// Owns a kernel handle; both NULL and INVALID_HANDLE_VALUE count as empty.
class UniqueHandle
{
public:
    UniqueHandle() = default;
    explicit UniqueHandle(HANDLE handle) : m_handle(handle) {}
    ~UniqueHandle() { Reset(); }

    UniqueHandle(UniqueHandle&& other) noexcept : m_handle(other.Release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept
    {
        if (this != &other)
            Reset(other.Release());
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;

    static bool IsValid(HANDLE handle) { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }
    bool IsValid() const { return IsValid(m_handle); }
    explicit operator bool() const { return IsValid(); }
    HANDLE Get() const { return m_handle; }

    HANDLE Release()
    {
        HANDLE handle = m_handle;
        m_handle = nullptr;
        return handle;
    }

    void Reset(HANDLE handle = nullptr)
    {
        if (IsValid(m_handle))
            CloseHandle(m_handle);
        m_handle = handle;
    }

    // For APIs that return a handle through an out parameter.
    HANDLE* Receive()
    {
        Reset();
        return &m_handle;
    }

private:
    HANDLE m_handle = nullptr;
};

// Initialises COM for the current thread for the life of the scope, and
// uninitialises only when this scope's call succeeded.
class ScopedComInit
{
public:
    explicit ScopedComInit(DWORD model = COINIT_MULTITHREADED) : m_hr(CoInitializeEx(nullptr, model)) {}
    ~ScopedComInit()
    {
        if (SUCCEEDED(m_hr))
            CoUninitialize();
    }
    ScopedComInit(const ScopedComInit&) = delete;
    ScopedComInit& operator=(const ScopedComInit&) = delete;

    HRESULT Result() const { return m_hr; }

private:
    HRESULT m_hr;
};

// Owns a mapped view of a file mapping.
class UniqueView
{
public:
    UniqueView() = default;
    explicit UniqueView(void* view) : m_view(view) {}
    ~UniqueView() { Reset(); }

    UniqueView(UniqueView&& other) noexcept : m_view(std::exchange(other.m_view, nullptr)) {}
    UniqueView& operator=(UniqueView&& other) noexcept
    {
        if (this != &other)
            Reset(std::exchange(other.m_view, nullptr));
        return *this;
    }
    UniqueView(const UniqueView&) = delete;
    UniqueView& operator=(const UniqueView&) = delete;

    void* Get() const { return m_view; }
    explicit operator bool() const { return m_view != nullptr; }

    void Reset(void* view = nullptr)
    {
        if (m_view)
            UnmapViewOfFile(m_view);
        m_view = view;
    }

private:
    void* m_view = nullptr;
};
