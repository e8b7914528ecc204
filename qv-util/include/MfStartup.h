#pragma once

#include <windows.h>
#include <mfapi.h>

// Starts Media Foundation for the life of the scope and shuts it down only
// when this scope's start succeeded.
class ScopedMfStartup
{
public:
    explicit ScopedMfStartup(DWORD flags = MFSTARTUP_FULL) : m_hr(MFStartup(MF_VERSION, flags)) {}
    ~ScopedMfStartup()
    {
        if (SUCCEEDED(m_hr))
            MFShutdown();
    }
    ScopedMfStartup(const ScopedMfStartup&) = delete;
    ScopedMfStartup& operator=(const ScopedMfStartup&) = delete;

    HRESULT Result() const { return m_hr; }

private:
    HRESULT m_hr;
};
