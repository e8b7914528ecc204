// The server's command handler and notification path in-process, with this
// test's window as the client.
#include "ClientFixture.h"
#include "CrashLog.h"
#include "HexText.h"
#include "VideoServer.h"

#include <gtest/gtest.h>

#include <mfapi.h>

#include <cstring>

namespace
{
struct ServerHandlerTest : ::testing::Test
{
    RawClientWindow client;
    PlayerMessageHandler handler;

    void SetUp() override
    {
        VideoServerState& server = Server();
        server.clientHwnd = client.Hwnd();
        server.parentProcessId = GetCurrentProcessId();
        server.stubTexture = 0;
        ASSERT_TRUE(server.frameMemory.create(frameBlockName(server.parentProcessId, server.clientHwnd), 16));
    }
    void TearDown() override { Server().frameMemory.close(); }

    LRESULT Handle(UINT message, WPARAM wParam = 0, BOOL* handled = nullptr)
    {
        LRESULT result = 0;
        const BOOL wasHandled = handler.OnWindowMessage(nullptr, message, wParam, 0, &result);
        if (handled)
            *handled = wasHandled;
        return result;
    }
    void Pump() { PumpUntil([] { return false; }, 100); }
};
} // namespace

TEST_F(ServerHandlerTest, FrameRequestWithoutAPlayerFrameAnswersZeroAndZeroesTheBlock)
{
    std::memset(Server().frameMemory.data(), 0xAB, 16);
    EXPECT_EQ(0, Handle(WM_VP_GET_FRAME));
    const uint8_t zero[16] = {};
    EXPECT_EQ(0, std::memcmp(zero, Server().frameMemory.data(), 16));

    Server().stubTexture = 0x5678;
    EXPECT_EQ(16, Handle(WM_VP_GET_FRAME));
    FrameParams frame = {};
    std::memcpy(&frame, Server().frameMemory.data(), sizeof(frame));
    EXPECT_EQ(0x5678u, frame.textureHandle);
    EXPECT_EQ(1280, frame.width);
    EXPECT_EQ(720, frame.height);
    EXPECT_EQ(22u, frame.format);
}

TEST_F(ServerHandlerTest, LoopFlagPositionsAndForeignMessages)
{
    EXPECT_EQ(1, Handle(WM_VP_SET_LOOP, 2));
    EXPECT_EQ(1, Handle(WM_VP_GET_LOOP));
    EXPECT_EQ(1, Handle(WM_VP_SET_LOOP, 0));
    EXPECT_EQ(0, Handle(WM_VP_GET_LOOP));
    EXPECT_EQ(static_cast<LRESULT>(FloatToBits(0.0f)), Handle(WM_VP_GET_DURATION));
    EXPECT_EQ(static_cast<LRESULT>(FloatToBits(0.0f)), Handle(WM_VP_GET_POSITION));
    BOOL handled = TRUE;
    Handle(WM_TIMER, 201, &handled);
    EXPECT_FALSE(handled) << "only the parent-watch timer is the handler's";
    Handle(WM_TIMER, kParentWatchTimerId, &handled);
    EXPECT_TRUE(handled);
    Handle(WM_CLOSE, 0, &handled);
    EXPECT_FALSE(handled);
    Pump();
    EXPECT_TRUE(client.messages.empty()) << "a live parent is left alone";
}

TEST_F(ServerHandlerTest, OnlyEndOfMediaEventsReachTheClient)
{
    VideoProcessNotifyHandler notify;
    notify.onEvent(nullptr, VE_PLAY_PAUSED, 0x0E, 0, nullptr);
    notify.onEvent(nullptr, VE_CLOCK_SET, 0x0D, 0, nullptr);
    Pump();
    EXPECT_TRUE(client.messages.empty());
    notify.onEvent(nullptr, VE_PLAY_LOOP_RESTART, 1, 0, nullptr);
    Pump();
    EXPECT_EQ(std::vector<UINT>{WM_VP_ON_EVENT}, client.messages);
}

TEST_F(ServerHandlerTest, PostedErrorStillHoldsItsRecordWhenTheClientReadsIt)
{
    // The post returns before the client looks; the record must still be there.
    ASSERT_TRUE(PostClientError(VE_COMMAND_FAILED, std::string("pause has failed"), static_cast<int32_t>(0x80004005)));
    Pump();
    ASSERT_EQ(1u, client.errors.size());
    EXPECT_EQ(static_cast<int32_t>(VE_COMMAND_FAILED), client.errors[0].code);
    EXPECT_EQ(static_cast<int64_t>(static_cast<int32_t>(0x80004005)), client.errors[0].param1);
    EXPECT_EQ("pause has failed", client.errors[0].text);
}

TEST_F(ServerHandlerTest, ErrorReportToAClientThatIsGoneFails)
{
    Server().parentProcessId = GetCurrentProcessId() + 4;
    EXPECT_FALSE(PostClientError(VE_PLAY_ERROR, std::string("lost"), 0));
    MSG msg;
    // The failed report asks the loop to end with -1.
    ASSERT_TRUE(PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(static_cast<WPARAM>(VSRV_EXIT_FAILURE), static_cast<WPARAM>(static_cast<int>(msg.wParam)));
    Pump();
    EXPECT_TRUE(client.messages.empty());
}

TEST(RunServerInProcess, FailedOpenClosesThePlayerBeforeReturning)
{
    // COM and Media Foundation stay up across the call, as in the program.
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    ASSERT_TRUE(SUCCEEDED(MFStartup(MF_VERSION, MFSTARTUP_FULL)));
    RawClientWindow client;
    VideoServerState& server = Server();
    server.clientHwnd = client.Hwnd();
    server.parentProcessId = GetCurrentProcessId();
    server.stubTexture = 0;
    server.mediaFile = ClientRun::ExistingFile(); // a program file is no media

    EXPECT_EQ(VSRV_EXIT_OPEN_FAILED, RunServer());
    EXPECT_EQ(1u, client.errors.size());
    EXPECT_EQ(PLAYER_STATE_SHUTDOWN, server.player.GetState()) << "the graph is released while COM is up";

    server.player.SetNotifyHandler(nullptr);
    server.frameMemory.close();
    SetPriorityClass(GetCurrentProcess(), NORMAL_PRIORITY_CLASS);
    MFShutdown();
    CoUninitialize();
}

TEST(CrashLog, NamesTheModuleAndOffsetOfTheFaultingAddressOrTheBareAddress)
{
    EXCEPTION_RECORD record = {};
    record.ExceptionCode = EXCEPTION_ACCESS_VIOLATION;
    const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    const auto sleep = reinterpret_cast<const char*>(GetProcAddress(kernel, "Sleep"));
    record.ExceptionAddress = const_cast<char*>(sleep);
    const std::string offset = Hex(static_cast<uintptr_t>(sleep - reinterpret_cast<const char*>(kernel)));
    EXPECT_EQ("exception c0000005 at kernel32.dll+0x" + offset, DescribeUnhandledException(record));

    void* loose = VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    record.ExceptionAddress = loose;
    EXPECT_EQ("exception c0000005 at 0x" + Hex(reinterpret_cast<uintptr_t>(loose)), DescribeUnhandledException(record));
    VirtualFree(loose, 0, MEM_RELEASE);
}
