#pragma once

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <shellapi.h>

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

// Owns a registered wait; unregistering waits for a callback in flight.
class UniqueWait
{
public:
    UniqueWait() = default;
    ~UniqueWait() { Reset(); }
    UniqueWait(const UniqueWait&) = delete;
    UniqueWait& operator=(const UniqueWait&) = delete;

    HANDLE* Receive()
    {
        Reset();
        return &m_wait;
    }
    void Reset()
    {
        if (m_wait)
            UnregisterWaitEx(m_wait, INVALID_HANDLE_VALUE);
        m_wait = nullptr;
    }

private:
    HANDLE m_wait = nullptr;
};

// Owns the array that CommandLineToArgvW allocates; empty when the call failed.
class UniqueArgv
{
public:
    explicit UniqueArgv(const wchar_t* commandLine) : m_argv(CommandLineToArgvW(commandLine, &m_count)) {}
    ~UniqueArgv()
    {
        if (m_argv)
            LocalFree(m_argv);
    }
    UniqueArgv(const UniqueArgv&) = delete;
    UniqueArgv& operator=(const UniqueArgv&) = delete;

    explicit operator bool() const { return m_argv != nullptr; }
    int Count() const { return m_argv ? m_count : 0; }
    const wchar_t* operator[](int index) const { return m_argv[index]; }

private:
    int m_count = 0;
    LPWSTR* m_argv;
};

// A VARIANT cleared on every way out.
class ScopedVariant
{
public:
    ScopedVariant() { VariantInit(&m_value); }
    ~ScopedVariant() { VariantClear(&m_value); }
    ScopedVariant(const ScopedVariant&) = delete;
    ScopedVariant& operator=(const ScopedVariant&) = delete;

    VARIANT* Get() { return &m_value; }

private:
    VARIANT m_value;
};

// Owns memory that a COM call allocated with CoTaskMemAlloc.
template <typename T>
class UniqueCoTaskMem
{
public:
    UniqueCoTaskMem() = default;
    ~UniqueCoTaskMem() { CoTaskMemFree(m_memory); }
    UniqueCoTaskMem(const UniqueCoTaskMem&) = delete;
    UniqueCoTaskMem& operator=(const UniqueCoTaskMem&) = delete;

    T* Get() const { return m_memory; }
    T** Receive()
    {
        CoTaskMemFree(m_memory);
        m_memory = nullptr;
        return &m_memory;
    }

private:
    T* m_memory = nullptr;
};
