#include "QvfxLibrary.h"

#include "AxModuleInitializer.h"

#include <gtest/gtest.h>

namespace
{
std::wstring ExecutableFileName()
{
    wchar_t path[MAX_PATH] = {};
    const std::wstring full(path, GetModuleFileNameW(nullptr, path, MAX_PATH));
    return full.substr(full.find_last_of(L"\\/") + 1);
}
} // namespace

TEST(LibraryLoad, AppendsThePathSuffixOncePerLoad)
{
    PathGuard guard;
    SetEnvironmentVariableW(L"PATH", L"C:\\base");
    {
        QvfxLibrary library;
        ASSERT_NE(nullptr, library.Module());
        EXPECT_EQ(L"C:\\base;.\\jre\\bin;.\\debug\\lib", CurrentPath());
    }
    ASSERT_EQ(nullptr, GetModuleHandleW(L"qvfx.dll")) << "the library must really unload between the two loads";
    QvfxLibrary again;
    EXPECT_EQ(L"C:\\base;.\\jre\\bin;.\\debug\\lib;.\\jre\\bin;.\\debug\\lib", CurrentPath());
}

TEST(LibraryLoad, LeavesAnUndefinedPathUndefined)
{
    PathGuard guard;
    SetEnvironmentVariableW(L"PATH", nullptr);
    QvfxLibrary library;
    ASSERT_NE(nullptr, library.Module());
    EXPECT_EQ(0u, GetEnvironmentVariableW(L"PATH", nullptr, 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ENVVAR_NOT_FOUND), GetLastError());
}

TEST(LibraryLoad, WritesTheBrowserEmulationValueForTheExecutable)
{
    const std::wstring name = ExecutableFileName();
    RegDeleteKeyValueW(HKEY_CURRENT_USER, AxModuleInitializer::kEmulationKey, name.c_str());

    QvfxLibrary library;
    ASSERT_NE(nullptr, library.Module());
    DWORD type = 0;
    DWORD data = 0;
    DWORD size = sizeof(data);
    ASSERT_EQ(ERROR_SUCCESS, RegGetValueW(HKEY_CURRENT_USER, AxModuleInitializer::kEmulationKey, name.c_str(),
                                          RRF_RT_ANY, &type, &data, &size));
    EXPECT_EQ(static_cast<DWORD>(REG_DWORD), type);
    EXPECT_EQ(11000u, data);
}

TEST(LibraryLoad, HostingWindowClassLivesAsLongAsTheLibrary)
{
    HMODULE module = nullptr;
    {
        QvfxLibrary library;
        module = library.Module();
        ASSERT_NE(nullptr, module);
        WNDCLASSEXW wc = {};
        wc.cbSize = sizeof(wc);
        EXPECT_TRUE(GetClassInfoExW(module, L"AtlAxWin120", &wc));
        // Global, so that a window created without an instance handle finds it.
        EXPECT_TRUE(GetClassInfoExW(nullptr, L"AtlAxWin120", &wc));
    }
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(wc);
    EXPECT_FALSE(GetClassInfoExW(nullptr, L"AtlAxWin120", &wc));
}
