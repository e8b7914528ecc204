// The demonstration host as a whole: the real program under Wine with the
// test-only jvm.dll on its PATH, playing real players through the library's
// exports and the real video server until it is told to end.
#include "ShareRecords.h"
#include "TestProcess.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <d3d9.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace
{
const wchar_t* const kHost = L"qvfx-jni-video-sample.exe";
const wchar_t* const kHostWithoutDirect3D = L"..\\demo-no-d3d9\\qvfx-jni-video-sample.exe";

std::string ReadFile(const std::wstring& path)
{
    std::ifstream file(path.c_str(), std::ios::in | std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream stream(text);
    std::string line;
    while (std::getline(stream, line))
    {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

size_t CountContaining(const std::vector<std::string>& lines, const std::string& needle)
{
    size_t count = 0;
    for (const std::string& line : lines)
        count += line.find(needle) != std::string::npos ? 1 : 0;
    return count;
}

// The text after needle on each line that holds it.
std::vector<std::string> After(const std::vector<std::string>& lines, const std::string& needle)
{
    std::vector<std::string> found;
    for (const std::string& line : lines)
    {
        const size_t at = line.find(needle);
        if (at != std::string::npos)
            found.push_back(line.substr(at + needle.size()));
    }
    return found;
}

std::wstring EnvironmentValue(const wchar_t* name)
{
    const DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
    if (size == 0)
        return std::wstring();
    std::wstring value(size, L'\0');
    const DWORD length = GetEnvironmentVariableW(name, &value[0], size);
    value.resize(length < size ? length : 0);
    return value;
}

struct WindowSearch
{
    DWORD processId;
    HWND found;
};

BOOL CALLBACK MatchHostWindow(HWND window, LPARAM context)
{
    auto* search = reinterpret_cast<WindowSearch*>(context);
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    wchar_t className[64] = {};
    wchar_t title[64] = {};
    GetClassNameW(window, className, 64);
    GetWindowTextW(window, title, 64);
    if (processId == search->processId && std::wstring(className) == L"d3d9vwindowclass" &&
        std::wstring(title) == L"Direct3D9Ex Sample")
    {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

class DemoHostTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        // The host finds its media as "../test-data/" and writes its log here.
        ASSERT_TRUE(SetCurrentDirectoryW(BinDirectory().c_str()));
        m_savedPath = EnvironmentValue(L"PATH");
        m_report = BinDirectory() + L"\\demo-host-jvm.log";
        m_log = BinDirectory() + L"\\qvfx-jni-video-sample.exe.log";
        DeleteFileW(m_report.c_str());
        SetEnvironmentVariableW(L"QV_TEST_JVM_REPORT", m_report.c_str());
    }

    void TearDown() override
    {
        if (m_host.Handle() && m_host.Wait(0) == STILL_ACTIVE)
        {
            m_host.Terminate(1);
            m_host.Wait(10000);
        }
        SetEnvironmentVariableW(L"PATH", m_savedPath.c_str());
        SetEnvironmentVariableW(L"QV_TEST_JVM_FAIL", nullptr);
        SetEnvironmentVariableW(L"QV_TEST_D3D_CREATE_DELAY_MS", nullptr);
        SetEnvironmentVariableW(L"QV_TEST_JVM_REPORT", nullptr);
    }

    // withJvm: the stand-in's folder goes first on the PATH the host inherits.
    // program: the host's path relative to bin.
    void StartHost(bool withJvm, const wchar_t* failure = nullptr, const wchar_t* program = kHost)
    {
        const std::wstring jvmFolder = BinDirectory() + L"\\..\\test-jvm";
        const std::wstring path = withJvm ? jvmFolder + L";" + m_savedPath : m_savedPath;
        SetEnvironmentVariableW(L"PATH", path.c_str());
        SetEnvironmentVariableW(L"QV_TEST_JVM_FAIL", failure);
        // A log left by an earlier run must not answer for this one.
        DeleteFileW(m_log.c_str());
        ASSERT_TRUE(m_host.Start(program, L"")) << GetLastError();
    }

    std::vector<std::string> HostLog() { return Lines(ReadFile(m_log)); }
    std::vector<std::string> JvmReport() { return Lines(ReadFile(m_report)); }

    // Waits until the host's log holds needle; false when the time runs out or the host ended.
    bool WaitForLog(const std::string& needle, DWORD timeoutMs)
    {
        const ULONGLONG deadline = GetTickCount64() + timeoutMs;
        while (GetTickCount64() < deadline)
        {
            if (CountContaining(HostLog(), needle) > 0)
                return true;
            if (WaitForSingleObject(m_host.Handle(), 250) == WAIT_OBJECT_0)
                return CountContaining(HostLog(), needle) > 0;
        }
        return false;
    }

    // Copies the host beside the d3d9.dll without Direct3D; false when the
    // build has none (only the cross build makes it: Windows never loads a
    // d3d9.dll beside a program).
    bool CopyHostBesideNoDirect3D()
    {
        const std::wstring folder = BinDirectory() + L"\\..\\demo-no-d3d9";
        if (GetFileAttributesW((folder + L"\\d3d9.dll").c_str()) == INVALID_FILE_ATTRIBUTES)
            return false;
        for (const wchar_t* file : {L"qvfx-jni-video-sample.exe", L"qvfx.dll"})
        {
            EXPECT_TRUE(CopyFileW((BinDirectory() + L"\\" + file).c_str(), (folder + L"\\" + file).c_str(), FALSE))
                << GetLastError();
        }
        return true;
    }

    HWND HostWindow()
    {
        WindowSearch search = {m_host.Id(), nullptr};
        EnumWindows(&MatchHostWindow, reinterpret_cast<LPARAM>(&search));
        return search.found;
    }

    // What every run that got as far as the VM must leave in the stand-in's report.
    void ExpectBalancedVm()
    {
        const std::vector<std::string> report = JvmReport();
        ASSERT_EQ(1u, CountContaining(report, "end of report")) << "the host never destroyed its VM";
        EXPECT_EQ(1u, CountContaining(report, "live global refs 0"));
        EXPECT_EQ(1u, CountContaining(report, "pinned strings 0"));
        const std::vector<std::string> attaches = After(report, "attaches ");
        const std::vector<std::string> detaches = After(report, "detaches ");
        ASSERT_EQ(1u, attaches.size());
        ASSERT_EQ(1u, detaches.size());
        EXPECT_EQ(attaches[0], detaches[0]);
        for (const std::string& line : report)
        {
            EXPECT_NE(0u, line.rfind("unimplemented", 0)) << line;
            EXPECT_NE(0u, line.rfind("misuse", 0)) << line;
        }
    }

    TestProcess m_host;
    std::wstring m_savedPath;
    std::wstring m_report;
    std::wstring m_log;
};
} // namespace

TEST_F(DemoHostTest, PlayersComeAndGoUntilEscapeEndsTheHost)
{
    StartHost(true);
    ASSERT_TRUE(WaitForLog("[PlayerThread] player 3 ended", 180000)) << ReadFile(m_log);
    HWND window = HostWindow();
    ASSERT_NE(nullptr, window);
    PostMessageW(window, WM_KEYUP, VK_ESCAPE, 0xC0010001);
    EXPECT_EQ(0u, m_host.Wait(60000));

    const std::vector<std::string> log = HostLog();
    EXPECT_EQ(1u, CountContaining(log, "[wWinMain] start"));
    const std::vector<std::string> paths = After(log, "[wWinMain] PATH=");
    ASSERT_EQ(2u, paths.size());
    EXPECT_EQ(paths[0] + ";test", paths[1]);

    // Every player was drawn before the next one replaced it.
    const size_t created = CountContaining(log, "[PlayerThread] player ");
    const std::vector<std::string> ended = After(log, "[PlayerThread] player ");
    size_t endedCount = 0;
    for (const std::string& line : ended)
    {
        const size_t after = line.find(" after ");
        if (line.find(" ended with ") == std::string::npos || after == std::string::npos)
            continue;
        ++endedCount;
        if (endedCount <= 3)
        {
            EXPECT_GT(std::stoi(line.substr(after + 7)), 0) << line;
        }
    }
    EXPECT_GE(endedCount, 3u);
    EXPECT_EQ(created - endedCount, endedCount) << "each created player ends";
    EXPECT_EQ(1u, CountContaining(log, "first frame drawn, Player Count: 1,"));
    EXPECT_EQ(1u, CountContaining(log, "first frame drawn, Player Count: 3,"));
    // The frames are the server's pictures of the media, at its size.
    const std::vector<std::string> firstFrames = After(log, "first frame drawn, Player Count: ");
    EXPECT_GE(firstFrames.size(), 3u); // the last player may end before its first frame
    EXPECT_LE(firstFrames.size(), endedCount);
    for (const std::string& line : firstFrames)
        EXPECT_NE(std::string::npos, line.find(", frame 320x240 format ")) << line;
    // One handle figure per player after the first.
    EXPECT_EQ(endedCount - 1,
              CountContaining(log, "zero handle delta") + CountContaining(log, "handle delta detected: "));

    const std::vector<std::string> report = JvmReport();
    EXPECT_EQ(1u, CountContaining(report, "version 0x10008"));
    EXPECT_EQ(1u, CountContaining(report, "ignoreUnrecognized 0"));
    const std::vector<std::string> options = After(report, "option ");
    const std::vector<std::string> expected = {"-Djava.class.path=.",    "-Xms32m", "-Xmx64m", "-XX:-UseSerialGC",
                                               "-XX:MinHeapFreeRatio=1", "-XX:MaxHeapFreeRatio=1"};
    EXPECT_EQ(expected, options);
    EXPECT_GE(CountContaining(report, "journal call TestWinPlayerCallback.onReady"), 3u);
    EXPECT_EQ(endedCount, CountContaining(report, "journal call TestWinPlayerCallback.onDestroy"));
    ExpectBalancedVm();
}

TEST_F(DemoHostTest, ClosingTheWindowWhilePlayingEndsTheHostCleanly)
{
    StartHost(true);
    ASSERT_TRUE(WaitForLog("first frame drawn, Player Count: 1,", 120000)) << ReadFile(m_log);
    HWND window = HostWindow();
    ASSERT_NE(nullptr, window);
    PostMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_EQ(0u, m_host.Wait(60000));

    const std::vector<std::string> log = HostLog();
    EXPECT_EQ(1u, CountContaining(log, "[wWinMain] finished"));
    EXPECT_EQ(CountContaining(log, " created"), CountContaining(log, " ended with "));
    EXPECT_EQ(CountContaining(log, " created"),
              CountContaining(JvmReport(), "journal call TestWinPlayerCallback.onDestroy"));
    ExpectBalancedVm();
}

TEST_F(DemoHostTest, ARemovedAdapterEndsTheHostInsteadOfSpinning)
{
    StartHost(true);
    ASSERT_TRUE(WaitForLog("first frame drawn, Player Count: 1,", 120000)) << ReadFile(m_log);
    ASSERT_TRUE(d3d9share::InjectDeviceFault(m_host.Id(), D3DERR_DEVICEREMOVED));
    EXPECT_EQ(0u, m_host.Wait(60000));

    const std::vector<std::string> log = HostLog();
    EXPECT_EQ(1u, CountContaining(log, "render error 88760870 (PresentEx)"));
    EXPECT_EQ(1u, CountContaining(log, "[wWinMain] finished"));
    EXPECT_EQ(CountContaining(log, " created"), CountContaining(log, " ended with "));
}

TEST_F(DemoHostTest, StartupFailuresEndWithTheirExitCodes)
{
    struct Case
    {
        const wchar_t* failure;
        bool withJvm;
        int exitCode;
        bool vmMade;
    };
    const Case cases[] = {
        {L"create", true, -1000, false},
        {L"class", true, -10000, true},
        {L"getLastError", true, -6000, true},
        {nullptr, false, -1000, false}, // no jvm.dll beside the program or on PATH
    };
    for (const Case& run : cases)
    {
        SCOPED_TRACE(run.failure ? run.failure : L"no jvm.dll");
        DeleteFileW(m_report.c_str());
        StartHost(run.withJvm, run.failure);
        EXPECT_EQ(static_cast<DWORD>(run.exitCode), m_host.Wait(60000));
        if (m_host.Wait(0) == STILL_ACTIVE)
            m_host.Terminate(1);
        const std::vector<std::string> log = HostLog();
        EXPECT_EQ(1u, CountContaining(log, "[wWinMain] start"));
        EXPECT_EQ(0u, CountContaining(log, "PATH="));
        EXPECT_EQ(0u, CountContaining(log, "[PlayerThread]"));
        EXPECT_EQ(1u, CountContaining(log, "[wWinMain] finished"));
        if (run.vmMade)
        {
            ExpectBalancedVm();
        }
        else if (!run.withJvm)
        {
            EXPECT_EQ(1u, CountContaining(log, "jvm.dll not found"));
        }
    }
}

// Without a Direct3D object the render thread ends before it could report
// being initialised; start-up must go on and the host must still end.
TEST_F(DemoHostTest, HostWithoutDirect3DStartsAndEnds)
{
    if (!CopyHostBesideNoDirect3D())
        GTEST_SKIP() << "no d3d9.dll without Direct3D in this build";
    StartHost(true, nullptr, kHostWithoutDirect3D);
    ASSERT_TRUE(WaitForLog("[PlayerThread] player 1 created", 60000)) << ReadFile(m_log);
    HWND window = HostWindow();
    ASSERT_NE(nullptr, window);
    PostMessageW(window, WM_KEYUP, VK_ESCAPE, 0xC0010001);
    EXPECT_EQ(0u, m_host.Wait(60000));

    const std::vector<std::string> log = HostLog();
    EXPECT_EQ(1u, CountContaining(log, "render error 8876086a (Direct3DCreate9Ex)"));
    EXPECT_EQ(0u, CountContaining(log, "[RenderThread] initialised"));
    EXPECT_EQ(1u, CountContaining(log, "[RenderThread] finished"));
    EXPECT_EQ(0u, CountContaining(log, "first frame drawn"));
    EXPECT_EQ(1u, CountContaining(log, "[wWinMain] finished"));
    ExpectBalancedVm();
}

// A window closed while the render thread is still starting ends the host
// with the quit's code before the VM is made.
TEST_F(DemoHostTest, ClosingTheWindowDuringStartUpEndsTheHost)
{
    if (!CopyHostBesideNoDirect3D())
        GTEST_SKIP() << "no d3d9.dll without Direct3D in this build";
    SetEnvironmentVariableW(L"QV_TEST_D3D_CREATE_DELAY_MS", L"5000");
    StartHost(true, nullptr, kHostWithoutDirect3D);
    HWND window = nullptr;
    for (int tries = 0; !window && tries < 100; ++tries)
    {
        Sleep(50);
        window = HostWindow();
    }
    ASSERT_NE(nullptr, window);
    PostMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_EQ(0u, m_host.Wait(30000));

    const std::vector<std::string> log = HostLog();
    EXPECT_EQ(1u, CountContaining(log, "[wWinMain] quit during start-up"));
    EXPECT_EQ(0u, CountContaining(log, "PATH="));
    EXPECT_EQ(1u, CountContaining(log, "[wWinMain] finished"));
}

// Enter once: the window fills its monitor without frame and the back buffer
// follows; Enter again ends the host.
TEST_F(DemoHostTest, EnterSwitchesToFullScreenThenEndsTheHost)
{
    StartHost(true);
    ASSERT_TRUE(WaitForLog("first frame drawn, Player Count: 1,", 120000)) << ReadFile(m_log);
    HWND window = HostWindow();
    ASSERT_NE(nullptr, window);
    RECT client = {};
    GetClientRect(window, &client);
    EXPECT_EQ(1280, client.right);
    EXPECT_EQ(720, client.bottom);

    PostMessageW(window, WM_KEYUP, VK_RETURN, 0xC01C0001);
    MONITORINFO monitor = {};
    monitor.cbSize = sizeof(monitor);
    ASSERT_TRUE(GetMonitorInfoW(MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST), &monitor));
    const LONG width = monitor.rcMonitor.right - monitor.rcMonitor.left;
    const LONG height = monitor.rcMonitor.bottom - monitor.rcMonitor.top;
    const std::string resized = "back buffer " + std::to_string(width) + "x" + std::to_string(height);
    ASSERT_TRUE(WaitForLog(resized, 30000)) << ReadFile(m_log);
    EXPECT_EQ(0, GetWindowLongPtrW(window, GWL_STYLE) & (WS_CAPTION | WS_THICKFRAME));
    EXPECT_EQ(0, GetWindowLongPtrW(window, GWL_EXSTYLE) & WS_EX_CLIENTEDGE);
    RECT frame = {};
    GetWindowRect(window, &frame);
    EXPECT_EQ(0, frame.left);
    EXPECT_EQ(0, frame.top);

    PostMessageW(window, WM_KEYUP, VK_RETURN, 0xC01C0001);
    EXPECT_EQ(0u, m_host.Wait(60000));
    ExpectBalancedVm();
}

// Run where the decoration exists but the media does not: the player's error
// reaches Java, and the host shows the callback's text as the last error.
TEST_F(DemoHostTest, APlayerErrorComesBackThroughTheJavaCallback)
{
    const std::wstring scratch = BinDirectory() + L"\\..\\demo-no-media";
    const std::wstring data = scratch + L"\\test-data";
    const std::wstring run = scratch + L"\\run";
    CreateDirectoryW(scratch.c_str(), nullptr);
    CreateDirectoryW(data.c_str(), nullptr);
    CreateDirectoryW(run.c_str(), nullptr);
    for (const wchar_t* file : {L"texture1.jpg", L"sprite.png"})
    {
        ASSERT_TRUE(CopyFileW(TestMedia(file).c_str(), (data + L"\\" + file).c_str(), FALSE));
    }
    ASSERT_TRUE(SetCurrentDirectoryW(run.c_str()));
    m_log = run + L"\\qvfx-jni-video-sample.exe.log";
    StartHost(true);
    ASSERT_TRUE(WaitForLog("[PlayerThread] last player error: ", 60000)) << ReadFile(m_log);
    HWND window = HostWindow();
    ASSERT_NE(nullptr, window);
    PostMessageW(window, WM_KEYUP, VK_ESCAPE, 0xC0010001);
    EXPECT_EQ(0u, m_host.Wait(60000));

    const std::vector<std::string> log = HostLog();
    const std::vector<std::string> errors = After(log, "[PlayerThread] last player error: ");
    ASSERT_EQ(1u, errors.size());
    const std::string suffix = " (from callback)";
    ASSERT_GT(errors[0].size(), suffix.size());
    EXPECT_EQ(suffix, errors[0].substr(errors[0].size() - suffix.size()));
    EXPECT_EQ(0u, CountContaining(log, "first frame drawn"));

    const std::vector<std::string> report = JvmReport();
    EXPECT_GE(CountContaining(report, "journal call TestWinPlayerCallback.onError"), 1u);
    EXPECT_EQ(1u, CountContaining(report, "journal call TestWinPlayerCallback.getLastError"));
    ExpectBalancedVm();
}
