// The server started by hand against a client window of the test's own, to
// see its exit codes and exactly what it sends.
#include "ClientFixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

namespace
{
bool Saw(const RawClientWindow& window, UINT message)
{
    return std::find(window.messages.begin(), window.messages.end(), message) != window.messages.end();
}

const int64_t kStub = 0x1234;
} // namespace

TEST(ServerProcess, ClientWindowOfAnotherProcessEndsWithMinusOneAndSendsNothing)
{
    RawClientWindow window;
    TestProcess server;
    ASSERT_TRUE(server.Start(L"qvfx-reviv.exe",
                             ServerArgs(window.Hwnd(), GetCurrentProcessId() + 4, ClientRun::ExistingFile(), kStub)));
    EXPECT_EQ(static_cast<DWORD>(VSRV_EXIT_FAILURE), PumpUntilExit(server.Handle()));
    PumpUntil([] { return false; }, 200);
    EXPECT_TRUE(window.messages.empty());
}

TEST(ServerProcess, CreatedAnsweredWithZeroEndsWithMinusTwo)
{
    RawClientWindow window(0);
    TestProcess server;
    ASSERT_TRUE(server.Start(L"qvfx-reviv.exe",
                             ServerArgs(window.Hwnd(), GetCurrentProcessId(), ClientRun::ExistingFile(), kStub)));
    EXPECT_EQ(static_cast<DWORD>(VSRV_EXIT_NOT_CREATED), PumpUntilExit(server.Handle()));
    EXPECT_EQ(std::vector<UINT>{WM_VP_ON_CREATED}, window.messages);
}

TEST(ServerProcess, AFrameBlockThatExistsAlreadyIsRefusedWithMinusOneHundred)
{
    RawClientWindow window;
    SharedMemory taken;
    ASSERT_TRUE(taken.create(frameBlockName(GetCurrentProcessId(), window.Hwnd()), sizeof(FrameParams)));
    TestProcess server;
    ASSERT_TRUE(server.Start(L"qvfx-reviv.exe",
                             ServerArgs(window.Hwnd(), GetCurrentProcessId(), ClientRun::ExistingFile(), kStub)));
    EXPECT_EQ(static_cast<DWORD>(VSRV_EXIT_NO_FRAME_BLOCK), PumpUntilExit(server.Handle()));
    ASSERT_EQ(1u, window.errors.size());
    EXPECT_EQ("memory init error", window.errors[0].text);
}

TEST(ServerProcess, EmptyOrMissingMediaFileIsReportedSynchronouslyAndEndsWithMinusThree)
{
    for (const std::wstring& media : {std::wstring(), std::wstring(L"C:\\nowhere\\missing.mp4")})
    {
        RawClientWindow window;
        TestProcess server;
        ASSERT_TRUE(server.Start(L"qvfx-reviv.exe", ServerArgs(window.Hwnd(), GetCurrentProcessId(), media, kStub)));
        EXPECT_EQ(static_cast<DWORD>(VSRV_EXIT_NO_MEDIA_FILE), PumpUntilExit(server.Handle()));
        ASSERT_EQ(1u, window.errors.size());
        EXPECT_EQ(static_cast<int32_t>(VE_INIT_ERROR), window.errors[0].code);
        EXPECT_EQ(0, window.errors[0].param1);
        EXPECT_EQ("media file does not exist", window.errors[0].text);
        EXPECT_FALSE(Saw(window, WM_VP_ON_READY));
    }
}

// Answers the created message, then stops pumping while staying alive.
struct HungClient : WndMessageHandler
{
    HelperWindow window{L"QvHungClientWindow", this};
    HANDLE server = nullptr;
    DWORD waitResult = WAIT_FAILED;
    BOOL OnWindowMessage(HWND, UINT message, WPARAM, LPARAM, LRESULT* result) override
    {
        if (message != WM_VP_ON_CREATED)
            return FALSE;
        ReplyMessage(1);
        waitResult = WaitForSingleObject(server, 8000);
        *result = 1;
        return TRUE;
    }
};

TEST(ServerProcess, StartUpErrorToAHungClientGivesUpAndKeepsItsExitCode)
{
    HungClient client;
    ASSERT_EQ(S_OK, client.window.Create(nullptr, true));
    TestProcess server;
    ASSERT_TRUE(server.Start(L"qvfx-reviv.exe",
                             ServerArgs(client.window.GetHwnd(), GetCurrentProcessId(), std::wstring(), kStub)));
    client.server = server.Handle();
    EXPECT_EQ(static_cast<DWORD>(VSRV_EXIT_NO_MEDIA_FILE), PumpUntilExit(server.Handle()));
    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), client.waitResult) << "the error report waited for the hung client";
}

TEST(ServerProcess, PlayerOpenFailureEndsWithMinusSixAfterItsDescription)
{
    RawClientWindow window;
    TestProcess server;
    ASSERT_TRUE(server.Start(L"qvfx-reviv.exe",
                             ServerArgs(window.Hwnd(), GetCurrentProcessId(), ClientRun::ExistingFile(), 0)));
    EXPECT_EQ(static_cast<DWORD>(VSRV_EXIT_OPEN_FAILED), PumpUntilExit(server.Handle()));
    ASSERT_EQ(1u, window.errors.size());
    EXPECT_EQ(static_cast<int32_t>(VE_INIT_ERROR), window.errors[0].code);
    // A program file is no media: the graph finds no stream to render.
    EXPECT_EQ(" VE_PLAY_ERROR 'failed to render, is codec installed?' nt 0x0 0xffffffff80040218",
              window.errors[0].text);
}

TEST(ServerProcess, StubModeAnswersFramesAndEndsWithZeroOnClose)
{
    RawClientWindow window;
    TestProcess server;
    ASSERT_TRUE(server.Start(L"qvfx-reviv.exe",
                             ServerArgs(window.Hwnd(), GetCurrentProcessId(), ClientRun::ExistingFile(), kStub)));
    ASSERT_TRUE(PumpUntil([&] { return Saw(window, WM_VP_ON_READY); }, 10000));
    ASSERT_TRUE(IsWindow(window.serverHwnd));
    SharedMemory frameBlock;
    ASSERT_TRUE(frameBlock.open(frameBlockName(GetCurrentProcessId(), window.Hwnd()), sizeof(FrameParams)));

    DWORD_PTR answer = 0;
    ASSERT_TRUE(SendMessageTimeoutW(window.serverHwnd, WM_VP_GET_FRAME, 0, 0, kVpSendFlags, kVpSendTimeoutMs, &answer));
    EXPECT_EQ(16u, answer);
    FrameParams frame = {};
    std::memcpy(&frame, frameBlock.data(), sizeof(frame));
    EXPECT_EQ(static_cast<uint64_t>(kStub), frame.textureHandle);
    EXPECT_EQ(1280, frame.width);
    EXPECT_EQ(720, frame.height);
    EXPECT_EQ(22u, frame.format);

    // Pause and resume touch no player in stub mode and report nothing.
    ASSERT_TRUE(SendMessageTimeoutW(window.serverHwnd, WM_VP_PAUSE, 0, 0, kVpSendFlags, kVpSendTimeoutMs, &answer));
    EXPECT_EQ(1u, answer);
    ASSERT_TRUE(SendMessageTimeoutW(window.serverHwnd, WM_VP_RESUME, 0, 0, kVpSendFlags, kVpSendTimeoutMs, &answer));
    EXPECT_EQ(1u, answer);

    ASSERT_TRUE(PostMessageW(window.serverHwnd, WM_VP_CLOSE, 0, 0));
    EXPECT_EQ(static_cast<DWORD>(VSRV_EXIT_OK), PumpUntilExit(server.Handle()));
    EXPECT_TRUE(window.errors.empty());
    EXPECT_EQ((std::vector<UINT>{WM_VP_ON_CREATED, WM_VP_ON_READY}), window.messages);
}

TEST(ServerProcess, ServerEndsWithMinusOneSoonAfterItsClientProcessEnds)
{
    const std::string name = "qv_sc_hold_" + std::to_string(GetCurrentProcessId());
    SharedMemory block;
    ASSERT_TRUE(block.create(name, sizeof(HostReport)));
    TestProcess host;
    ASSERT_TRUE(host.Start(L"qv-sc-host.exe", L"hold " + std::wstring(name.begin(), name.end())));
    HostReport report = {};
    ASSERT_TRUE(PumpUntil(
        [&] {
            std::memcpy(&report, block.data(), sizeof(report));
            return report.readyCount > 0 || report.errorCount > 0;
        },
        15000));
    ASSERT_EQ(1, report.readyCount);
    UniqueHandle server = OpenServerProcess(reinterpret_cast<HWND>(static_cast<intptr_t>(report.serverHwnd)));
    ASSERT_TRUE(server);

    host.Terminate(5);
    ASSERT_EQ(5u, host.Wait());
    // The parent watch runs every 5 s.
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(server.Get(), 7000));
    DWORD code = 0;
    GetExitCodeProcess(server.Get(), &code);
    EXPECT_EQ(static_cast<DWORD>(VSRV_EXIT_FAILURE), code);
}
