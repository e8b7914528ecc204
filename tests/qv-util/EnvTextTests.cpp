#include "EnvPath.h"
#include "Utf8.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <stdexcept>

namespace
{
// Restores the process PATH when a test ends.
class PathGuard
{
public:
    PathGuard() : m_saved(GetEnvPath()) {}
    ~PathGuard() { SetEnvironmentVariableW(L"PATH", m_saved.empty() ? nullptr : m_saved.c_str()); }

private:
    std::wstring m_saved;
};
} // namespace

TEST(EnvPath, AppendsTextAsGivenWithoutAddingASeparator)
{
    PathGuard guard;
    SetEnvironmentVariableW(L"PATH", L"C:\\one");
    EXPECT_TRUE(AddEnvPath(L";C:\\two"));
    EXPECT_EQ(L"C:\\one;C:\\two", GetEnvPath());

    SetEnvironmentVariableW(L"PATH", L"C:\\one");
    EXPECT_TRUE(AddEnvPath(L"C:\\two"));
    EXPECT_EQ(L"C:\\oneC:\\two", GetEnvPath());

    EXPECT_TRUE(AddEnvPath(L""));
    EXPECT_EQ(L"C:\\oneC:\\two", GetEnvPath());
}

TEST(EnvPath, UndefinedPathReadsEmptyAndCannotBeExtended)
{
    PathGuard guard;
    SetEnvironmentVariableW(L"PATH", nullptr);
    EXPECT_EQ(L"", GetEnvPath());
    EXPECT_FALSE(AddEnvPath(L";C:\\two"));
    EXPECT_EQ(0u, GetEnvironmentVariableW(L"PATH", nullptr, 0));
}

TEST(EnvPath, LongTextIsAppendedWhole)
{
    PathGuard guard;
    SetEnvironmentVariableW(L"PATH", L"C:\\one");
    const std::wstring tail = L";" + std::wstring(5000, L'x');
    EXPECT_TRUE(AddEnvPath(tail));
    EXPECT_EQ(L"C:\\one" + tail, GetEnvPath());
}

TEST(ToUtf8, ConvertsEveryPlaneAndRejectsLoneSurrogates)
{
    EXPECT_EQ("", ToUtf8(L""));
    EXPECT_EQ("abc", ToUtf8(L"abc"));
    EXPECT_EQ("\xC3\xA9\xE2\x82\xAC", ToUtf8(L"\u00E9\u20AC"));
    EXPECT_EQ("\xF0\x9F\x8E\xAC", ToUtf8(std::wstring{wchar_t(0xD83C), wchar_t(0xDFAC)}));

    for (const std::wstring& bad : {std::wstring{wchar_t(0xD83C)}, std::wstring{L'a', wchar_t(0xDFAC), L'b'}})
    {
        try
        {
            ToUtf8(bad);
            ADD_FAILURE() << "a lone surrogate converted";
        }
        catch (const std::range_error& e)
        {
            EXPECT_STREQ("bad conversion", e.what());
        }
    }
}
