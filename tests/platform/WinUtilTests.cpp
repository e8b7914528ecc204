#include "JniStandIn.h"
#include "QvfxLibrary.h"

#include <windows.h>
#include <psapi.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <vector>

namespace
{
class WinUtilTest : public ::testing::Test
{
protected:
    void TearDown() override { EXPECT_EQ(0u, jni.PinnedStrings()) << "every Java string must be released"; }

    jboolean AddPath(const std::wstring& text) { return addPath(env, nullptr, jni.NewJavaString(text)); }

    jint Start(const std::wstring& commandLine, bool waitIdle, jlong idleMs, bool waitExit, jlong exitMs)
    {
        return startProcess(env, nullptr, jni.NewJavaString(commandLine), waitIdle ? JNI_TRUE : JNI_FALSE, idleMs,
                            waitExit ? JNI_TRUE : JNI_FALSE, exitMs);
    }

    static std::wstring Program(const std::wstring& name) { return L"\"" + BinDirectory() + L"\\" + name + L"\""; }

    PathGuard pathGuard; // outlives the library, whose load extends PATH
    QvfxLibrary library;
    JniStandIn jni;
    JNIEnv* env = jni.Env();
    decltype(&Java_com_quorvane_player_platform_util_win_WinUtil_nAddEnvironmentPath) addPath =
        QV_EXPORT(library, Java_com_quorvane_player_platform_util_win_WinUtil_nAddEnvironmentPath);
    decltype(&Java_com_quorvane_player_platform_util_win_WinUtil_nStartProcess) startProcess =
        QV_EXPORT(library, Java_com_quorvane_player_platform_util_win_WinUtil_nStartProcess);
};
} // namespace

TEST_F(WinUtilTest, AddEnvironmentPathAppendsTheTextAsGiven)
{
    ASSERT_NE(nullptr, addPath);
    SetEnvironmentVariableW(L"PATH", L"C:\\one");
    EXPECT_TRUE(AddPath(L";C:\\two"));
    EXPECT_EQ(L"C:\\one;C:\\two", CurrentPath());
    // No separator is added: the text joins the last directory.
    EXPECT_TRUE(AddPath(L"three"));
    EXPECT_EQ(L"C:\\one;C:\\twothree", CurrentPath());
}

TEST_F(WinUtilTest, AddEnvironmentPathKeepsToTheLengthLimits)
{
    SetEnvironmentVariableW(L"PATH", L"C:\\one");
    EXPECT_FALSE(AddPath(L""));
    EXPECT_FALSE(AddPath(std::wstring(2048, L'x')));
    EXPECT_FALSE(addPath(env, nullptr, nullptr));
    EXPECT_EQ(L"C:\\one", CurrentPath());

    const std::wstring longest = L";" + std::wstring(2046, L'y');
    EXPECT_TRUE(AddPath(longest));
    EXPECT_EQ(L"C:\\one" + longest, CurrentPath());
}

TEST_F(WinUtilTest, AddEnvironmentPathNeedsADefinedNonEmptyPath)
{
    SetEnvironmentVariableW(L"PATH", nullptr);
    EXPECT_FALSE(AddPath(L";C:\\two"));
    EXPECT_EQ(L"<undefined>", CurrentPath());

    SetEnvironmentVariableW(L"PATH", L"");
    EXPECT_FALSE(AddPath(L";C:\\two"));
    const std::wstring path = CurrentPath();
    EXPECT_TRUE(path.empty() || path == L"<undefined>") << "PATH became " << path.size() << " units";
}

TEST_F(WinUtilTest, AddEnvironmentPathLogsEveryCallAndTheResultOfASuccess)
{
    SetEnvironmentVariableW(L"PATH", L"C:\\one");
    const std::string before = ReadLogFile();
    EXPECT_TRUE(AddPath(L";C:\\logged"));
    EXPECT_FALSE(AddPath(L""));
    const std::string after = ReadLogFile();

    const std::string adding = "[nAddEnvironmentPath] adding path";
    const std::string added = "[nAddEnvironmentPath] added path=";
    EXPECT_EQ(CountOf(before, adding) + 2, CountOf(after, adding));
    EXPECT_EQ(CountOf(before, added) + 1, CountOf(after, added));
    EXPECT_NE(std::string::npos, after.find("[nAddEnvironmentPath] added path=';C:\\logged'\n"
                                            "   result='C:\\one;C:\\logged\n"
                                            "   updated='C:\\one;C:\\logged\n"));
}

TEST_F(WinUtilTest, AddEnvironmentPathTakesTextThatIsNotValidUtf16)
{
    // Java strings may hold a lone surrogate; the log cannot show it, PATH takes it.
    SetEnvironmentVariableW(L"PATH", L"C:\\one");
    const std::wstring text = std::wstring(L";C:\\") + wchar_t(0xD800);
    EXPECT_TRUE(AddPath(text));
    EXPECT_EQ(L"C:\\one" + text, CurrentPath());
}

TEST_F(WinUtilTest, StartProcessReportsRunningProgramsAndExitCodes)
{
    ASSERT_NE(nullptr, startProcess);
    EXPECT_EQ(259, Start(Program(L"qv-test-waiter.exe") + L" sleep 1500 0", false, 0, false, 0));
    EXPECT_EQ(42, Start(Program(L"qv-test-child.exe") + L" exit 42", false, 0, true, 10000));
    // A negative time-out waits without limit; 0 only polls.
    EXPECT_EQ(7, Start(Program(L"qv-test-waiter.exe") + L" sleep 300 7", false, 0, true, -1));
    EXPECT_EQ(259, Start(Program(L"qv-test-waiter.exe") + L" sleep 1500 7", false, 0, true, 0));
    // A time-out beyond 32 bits waits without limit instead of wrapping to a poll.
    EXPECT_EQ(7, Start(Program(L"qv-test-waiter.exe") + L" sleep 300 7", false, 0, true, 0x100000000LL));
}

TEST_F(WinUtilTest, StartProcessReportsAMissingProgramByItsError)
{
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, Start(L"qv-no-such-program.exe now", false, 0, true, 1000));
    EXPECT_EQ(0, startProcess(env, nullptr, nullptr, JNI_FALSE, 0, JNI_FALSE, 0));
}

TEST_F(WinUtilTest, StartProcessStartsNothingForACommandLineOf2048Units)
{
    const std::wstring marker = BinDirectory() + L"\\qv-start-marker.tmp";
    DeleteFileW(marker.c_str());
    std::wstring commandLine = Program(L"qv-test-waiter.exe") + L" touch \"" + marker + L"\"";
    commandLine.resize(2048, L' ');
    EXPECT_EQ(0, Start(commandLine, false, 0, true, 10000));
    Sleep(300);
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(marker.c_str()));

    commandLine.resize(2047);
    EXPECT_EQ(0, Start(commandLine, false, 0, true, 10000));
    EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(marker.c_str())) << "2047 units are started";
    DeleteFileW(marker.c_str());
}

TEST_F(WinUtilTest, StartProcessWaitsForInputIdle)
{
    // The program leaves its marker after 700 ms, before it makes a window and
    // first waits for input.
    const std::wstring marker = BinDirectory() + L"\\qv-idle-marker.tmp";
    const std::wstring commandLine = Program(L"qv-test-waiter.exe") + L" window 700 1500 0 \"" + marker + L"\"";
    DeleteFileW(marker.c_str());
    EXPECT_EQ(259, Start(commandLine, false, 0, false, 0));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(marker.c_str())) << "no wait asked for";
    Sleep(2500);

    DeleteFileW(marker.c_str());
    EXPECT_EQ(259, Start(commandLine, true, -1, false, 0));
    EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(marker.c_str()));
    DeleteFileW(marker.c_str());
}

TEST_F(WinUtilTest, StartedProgramsInheritTheExtendedPath)
{
    EXPECT_TRUE(AddPath(L";C:\\qv-inherited"));
    EXPECT_EQ(0, Start(Program(L"qv-test-waiter.exe") + L" path-ends-with ;C:\\qv-inherited", false, 0, true, 10000));
    EXPECT_EQ(1, Start(Program(L"qv-test-waiter.exe") + L" path-ends-with ;C:\\not-there", false, 0, true, 10000));
}

TEST_F(WinUtilTest, IdleTimeRestartsWithASynthesisedKeyPress)
{
    auto idleTime = QV_EXPORT(library, Java_com_quorvane_player_platform_util_win_WinUtil_nGetIdleTime);
    ASSERT_NE(nullptr, idleTime);
    // Other programs on the shared desktop may make input meanwhile (the tests
    // run two at a time; one saw 22 ms after a 1.2 s sleep): a quiet second is waited for.
    jlong before = idleTime(env, nullptr);
    for (int waits = 0; before < 1000 && waits < 100; ++waits)
    {
        Sleep(100);
        before = idleTime(env, nullptr);
    }
    ASSERT_GE(before, 1000) << "the idle time never reached a second in 10 s";

    INPUT keys[2] = {};
    keys[0].type = INPUT_KEYBOARD;
    keys[0].ki.wVk = VK_SHIFT;
    keys[1] = keys[0];
    keys[1].ki.dwFlags = KEYEVENTF_KEYUP;
    ASSERT_EQ(2u, SendInput(2, keys, sizeof(INPUT)));
    const jlong after = idleTime(env, nullptr);
    EXPECT_GE(after, 0);
    EXPECT_LT(after, 500);
}

TEST_F(WinUtilTest, CommandLineIsTheProcessCommandLine)
{
    auto commandLine = QV_EXPORT(library, Java_com_quorvane_player_platform_util_win_WinUtil_nGetProcessCommandLine);
    ASSERT_NE(nullptr, commandLine);
    EXPECT_EQ(std::wstring(GetCommandLineW()), JniStandIn::Text(commandLine(env, nullptr)));
    EXPECT_EQ(1u, jni.StringsMadeThroughJni());
}

TEST_F(WinUtilTest, ProcessMemoryFollowsTheWorkingSet)
{
    auto memory = QV_EXPORT(library, Java_com_quorvane_player_platform_util_win_WinUtil_nGetProcessMemory);
    ASSERT_NE(nullptr, memory);
    PROCESS_MEMORY_COUNTERS pmc = {};
    ASSERT_TRUE(K32GetProcessMemoryInfo(GetCurrentProcess(), &pmc, sizeof(pmc)));
    const jlong first = memory(env, nullptr);
    EXPECT_GT(first, 0);
    EXPECT_LT(std::llabs(first - static_cast<jlong>(pmc.WorkingSetSize)), 8LL << 20);

    const size_t grow = 64u << 20;
    std::unique_ptr<char[]> block(new char[grow]);
    for (size_t i = 0; i < grow; i += 4096)
        block[i] = static_cast<char>(i);
    EXPECT_GT(memory(env, nullptr), first + static_cast<jlong>(48u << 20));
}
