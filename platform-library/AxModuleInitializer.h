#pragma once

#include <string>

// Prepares the process for hosting browser controls when the library loads:
// writes the browser-emulation registry value for the executable and
// registers the hosting window class; unregisters it at unload. The module
// object (CAxHostModule) must exist before it.
class AxModuleInitializer
{
public:
    AxModuleInitializer();
    ~AxModuleInitializer();

    AxModuleInitializer(const AxModuleInitializer&) = delete;
    AxModuleInitializer& operator=(const AxModuleInitializer&) = delete;

    static bool IsHostingInitialized();
    // Why hosting could not be initialised; empty when it was.
    static std::wstring GetInitError();

    static const wchar_t* const kEmulationKey;
    static const unsigned long kEmulationValue = 11000;
};
