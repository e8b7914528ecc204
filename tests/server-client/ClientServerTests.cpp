// The test program is the client: a VideoPlayerClient with a recording
// callback, pumped on this thread, against the real qvfx-reviv.exe.
#include "ClientFixture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>

namespace
{
std::wstring ClassOf(HWND hwnd)
{
    wchar_t name[64] = {};
    GetClassNameW(hwnd, name, 64);
    return name;
}

// The host's report, after it ran from folder in the given mode.
HostReport RunHostIn(const std::wstring& folder, const std::wstring& mode = L"report")
{
    const std::string name = "qv_sc_report_" + std::to_string(GetCurrentProcessId());
    SharedMemory block;
    HostReport report = {};
    if (!block.create(name, sizeof(HostReport)))
        return report;
    UniqueHandle host = StartProgramIn(folder, L"qv-sc-host.exe", mode + L" " + std::wstring(name.begin(), name.end()));
    if (!host)
        return report;
    EXPECT_EQ(0u, PumpUntilExit(host.Get(), 30000));
    std::memcpy(&report, block.data(), sizeof(report));
    return report;
}

struct ScopedEnvironment
{
    std::wstring name;
    ScopedEnvironment(const wchar_t* variable, const wchar_t* value) : name(variable)
    {
        SetEnvironmentVariableW(variable, value);
    }
    ~ScopedEnvironment() { SetEnvironmentVariableW(name.c_str(), nullptr); }
};
} // namespace

TEST(ClientServer, ServerStubModeHandshakeFramesCommandsAndClose)
{
    ClientRun run;
    ASSERT_TRUE(run.Start(kFakeStubTexture, false));
    ASSERT_TRUE(run.WaitReady());
    VideoPlayerClient& client = *run.client;
    HWND server = run.log->readyServer;
    ASSERT_TRUE(IsWindow(server));
    EXPECT_EQ(L"velmorin", ClassOf(server));
    EXPECT_TRUE(client.IsReady());
    UniqueHandle process = OpenServerProcess(server);
    ASSERT_TRUE(process);

    FrameParams frame = {};
    ASSERT_EQ(VPC_FRAME_OK, client.GetFrameData(&frame));
    EXPECT_EQ(0x1234u, frame.textureHandle);
    EXPECT_EQ(1280, frame.width);
    EXPECT_EQ(720, frame.height);
    EXPECT_EQ(22u, frame.format);

    // Stub mode answers without a player: nothing to play, nothing to seek.
    EXPECT_TRUE(client.Play());
    EXPECT_TRUE(client.Pause());
    EXPECT_TRUE(client.SetPosition(1.5f));
    EXPECT_EQ(0.0f, client.GetDuration());
    EXPECT_EQ(0.0f, client.GetPosition());
    EXPECT_EQ(1, client.GetLoopEnabled());
    EXPECT_TRUE(client.SetLoopEnabled(false));
    EXPECT_TRUE(PumpUntil([&] { return client.GetLoopEnabled() == 0; }, 5000));

    DWORD_PTR answer = 99;
    ASSERT_TRUE(SendMessageTimeoutW(server, WM_VP_GET_STATE, 0, 0, kVpSendFlags, kVpSendTimeoutMs, &answer));
    EXPECT_EQ(0u, answer);
    ASSERT_TRUE(SendMessageTimeoutW(server, WM_VP_SET_LOOP, 2, 0, kVpSendFlags, kVpSendTimeoutMs, &answer));
    EXPECT_EQ(1u, answer);
    EXPECT_EQ(1, client.GetLoopEnabled());
    ASSERT_TRUE(SendMessageTimeoutW(server, WM_VP_SET_POSITION, FloatToBits(2.5f), 0, kVpSendFlags,
                                    kVpSendTimeoutMs, &answer));
    EXPECT_EQ(0u, answer) << "no player, so seeking fails";
    ASSERT_TRUE(SendMessageTimeoutW(server, WM_VP_NOOP, 7, 7, kVpSendFlags, kVpSendTimeoutMs, &answer));
    EXPECT_EQ(1u, answer);
    ASSERT_TRUE(SendMessageTimeoutW(server, WM_APP + 300, 0, 0, kVpSendFlags, kVpSendTimeoutMs, &answer));
    EXPECT_EQ(0u, answer) << "unknown messages get default processing";

    EXPECT_TRUE(client.Close());
    EXPECT_FALSE(client.Close()) << "a second close has no server left to tell";
    EXPECT_EQ(static_cast<DWORD>(VSRV_EXIT_OK), PumpUntilExit(process.Get()));
    run.Settle();
    EXPECT_TRUE(run.log->errors.empty()) << "an asked-for close reports nothing: " << run.log->errors[0].text;
    EXPECT_FALSE(IsWindow(client.GetClientWindow()));
    EXPECT_EQ(VPC_FRAME_NOT_READY, client.GetFrameData(&frame));
}

TEST(ClientServer, ClientStubModeStartsNoProcessAndAnswersFixedValues)
{
    ClientRun run;
    const HANDLE stub = reinterpret_cast<HANDLE>(static_cast<intptr_t>(0x777));
    ASSERT_TRUE(run.Start(stub, true, L""));
    ASSERT_TRUE(run.WaitReady());
    EXPECT_EQ(nullptr, run.log->readyServer);
    EXPECT_EQ(nullptr, FindWindowW(L"velmorin", nullptr));
    VideoPlayerClient& client = *run.client;
    EXPECT_TRUE(client.IsReady());
    EXPECT_EQ(10000.0f, client.GetDuration());
    EXPECT_EQ(2000.0f, client.GetPosition());
    EXPECT_EQ(1, client.GetLoopEnabled());
    EXPECT_TRUE(client.Play() && client.Pause() && client.SetPosition(3.0f) && client.SetLoopEnabled(false));
    FrameParams frame = {};
    ASSERT_EQ(VPC_FRAME_OK, client.GetFrameData(&frame));
    EXPECT_EQ(0x777u, frame.textureHandle);
    EXPECT_EQ(1280, frame.width);
    EXPECT_EQ(720, frame.height);
    EXPECT_EQ(22u, frame.format);
    EXPECT_FALSE(client.Close()) << "no server window was ever known";

    ClientRun noTexture;
    ASSERT_TRUE(noTexture.Start(nullptr, true, L""));
    EXPECT_EQ(VPC_FRAME_NO_STUB_TEXTURE, noTexture.client->GetFrameData(&frame));
    EXPECT_TRUE(run.log->errors.empty());
}

TEST(ClientServer, EmptyOrMissingMediaFileIsReportedOnceAndClosesTheClient)
{
    for (const std::wstring& media : {std::wstring(), std::wstring(L"C:\\no such folder\\clip.mp4")})
    {
        ClientRun run;
        // The server's report arrives synchronously while Open waits for it.
        EXPECT_FALSE(run.Start(kFakeStubTexture, false, media));
        ASSERT_EQ(1u, run.log->errors.size());
        EXPECT_EQ(VE_INIT_ERROR, run.log->errors[0].code);
        EXPECT_EQ("media file does not exist", run.log->errors[0].text);
        EXPECT_EQ(0, run.log->errors[0].param1);
        EXPECT_EQ("media file does not exist", run.client->GetLastErrorText());
        run.Settle();
        EXPECT_EQ(1u, run.log->errors.size()) << "the exit code adds no second report";
        EXPECT_EQ(0, run.log->readyCount);
        EXPECT_FALSE(IsWindow(run.client->GetClientWindow()));
    }
}

TEST(ClientServer, PlayerThatCannotOpenReportsItsLastErrorHonestly)
{
    // A program file is no media: the server says why and ends with -6.
    ClientRun run;
    run.Start(nullptr, false); // the report may come during Open or after it
    ASSERT_TRUE(run.WaitErrors(1));
    EXPECT_EQ(VE_INIT_ERROR, run.log->errors[0].code);
    EXPECT_EQ(" VE_PLAY_ERROR 'failed to render, is codec installed?' nt 0x0 0xffffffff80040218",
              run.log->errors[0].text);
}

TEST(ClientServer, ServerEndedFromOutsideIsReportedWithItsExitCode)
{
    ClientRun run;
    ASSERT_TRUE(run.Start(kFakeStubTexture, false));
    ASSERT_TRUE(run.WaitReady());
    EXPECT_TRUE(run.client->Play());
    UniqueHandle process = OpenServerProcess(run.log->readyServer);
    ASSERT_TRUE(process);
    ASSERT_TRUE(TerminateProcess(process.Get(), 77));

    ASSERT_TRUE(run.WaitErrors(1));
    EXPECT_EQ(VE_PLAY_ERROR, run.log->errors[0].code);
    EXPECT_EQ(0, run.log->errors[0].param1);
    EXPECT_EQ(0, run.log->errors[0].param2);
    EXPECT_EQ("process unexpectedly finished with code 77 4d 4d", run.log->errors[0].text);
    run.Settle();
    EXPECT_EQ(1u, run.log->errors.size());
    EXPECT_FALSE(IsWindow(run.client->GetClientWindow()));
    FrameParams frame = {};
    EXPECT_EQ(VPC_FRAME_NOT_READY, run.client->GetFrameData(&frame));
}

TEST(ClientServer, AServerThatReportedAnErrorIsNotReportedAgainWhenItDies)
{
    ClientRun run;
    ASSERT_TRUE(run.Start(kFakeStubTexture, false));
    ASSERT_TRUE(run.WaitReady());
    HWND client = run.client->GetClientWindow();
    UniqueHandle process = OpenServerProcess(run.log->readyServer);
    ASSERT_TRUE(process);
    SendMessageW(client, WM_VP_ON_ERROR, VE_PLAY_ERROR, 0);
    ASSERT_TRUE(TerminateProcess(process.Get(), 5));
    EXPECT_TRUE(PumpUntil([&] { return !IsWindow(client); }, 10000)) << "the loop still ends";
    ASSERT_EQ(1u, run.log->errors.size());
    EXPECT_EQ("video error (no details available)", run.client->GetLastErrorText());
}

TEST(ClientServer, ACreatedMessageAfterCloseIsRefused)
{
    ClientRun run;
    ASSERT_TRUE(run.client->Init(0, OpenParameters()));
    run.client->Close();
    EXPECT_EQ(0, SendMessageW(run.client->GetClientWindow(), WM_VP_ON_CREATED, 0x4242, 0));
}

TEST(ClientServer, APlayerClosedBeforeItsLoopStartsNoServer)
{
    // Beside the host there is no server: any attempt to start one is reported.
    ScratchFolder folder;
    ASSERT_TRUE(folder.CopyIn(L"qv-sc-host.exe", L"qv-sc-host.exe"));
    const HostReport report = RunHostIn(folder.Path(), L"closed");
    EXPECT_EQ(0, report.openResult);
    EXPECT_EQ(0, report.errorCount) << report.text;
}

namespace
{
// A client with its window made and its server not yet started.
void InitWithoutOpening(ClientRun& run, HWND& window)
{
    run.client->SetStubMode(kFakeStubTexture, false);
    OpenParameters parameters;
    parameters.mediaFile = ClientRun::ExistingFile();
    ASSERT_TRUE(run.client->Init(0, parameters));
    window = run.client->GetClientWindow();
}
} // namespace

TEST(ClientServer, AClientWindowWhoseFrameBlockNameIsTakenIsReplacedBeforeTheServerStarts)
{
    ClientRun run;
    HWND first = nullptr;
    ASSERT_NO_FATAL_FAILURE(InitWithoutOpening(run, first));
    SharedMemory taken; // as another player of this process would hold it
    ASSERT_TRUE(taken.create(frameBlockName(GetCurrentProcessId(), first), sizeof(FrameParams)));
    ASSERT_TRUE(run.client->Open());
    ASSERT_TRUE(run.WaitReady());
    EXPECT_NE(first, run.client->GetClientWindow());
    EXPECT_FALSE(IsWindow(first));
    FrameParams frame = {};
    EXPECT_EQ(VPC_FRAME_OK, run.client->GetFrameData(&frame));
    EXPECT_EQ(0u, static_cast<const FrameParams*>(taken.data())->textureHandle) << "the other block stays untouched";
}

TEST(ClientServer, ANameAnotherPlayerChoseIsNotTakenBeforeItsServerMakesTheBlock)
{
    ClientRun run;
    HWND first = nullptr;
    ASSERT_NO_FATAL_FAILURE(InitWithoutOpening(run, first));
    FrameBlockNameClaim other; // a player of this process whose server is still starting
    ASSERT_TRUE(other.Claim(frameBlockName(GetCurrentProcessId(), first)));
    ASSERT_TRUE(run.client->Open());
    ASSERT_TRUE(run.WaitReady());
    EXPECT_NE(first, run.client->GetClientWindow());
    EXPECT_FALSE(other.Claim(frameBlockName(GetCurrentProcessId(), run.client->GetClientWindow())))
        << "the player holds the name it chose";
}

TEST(ClientServer, ProtocolRulesOfTheClientWindow)
{
    ClientRun run;
    ASSERT_TRUE(run.Start(kFakeStubTexture, false));
    ASSERT_TRUE(run.WaitReady());
    HWND client = run.client->GetClientWindow();
    HWND server = run.log->readyServer;

    EXPECT_EQ(0, SendMessageW(client, WM_VP_ON_CREATED, 0x4242, 0)) << "the server window is accepted once";
    // An error whose block is already gone still reaches the callback.
    EXPECT_EQ(0, SendMessageW(client, WM_VP_ON_ERROR, VE_PLAY_ERROR, 40));
    ASSERT_EQ(1u, run.log->errors.size());
    EXPECT_EQ("video error (no details available)", run.log->errors[0].text);
    EXPECT_EQ(VE_PLAY_ERROR, run.log->errors[0].code);

    // A block that a later report replaced is not taken for the earlier one.
    VideoErrorMsg later;
    later.code = static_cast<int32_t>(VE_COMMAND_FAILED);
    later.param1 = 7;
    later.text = "resume has failed";
    const std::vector<uint8_t> bytes = later.Serialize();
    SharedMemory block;
    ASSERT_TRUE(block.create(errorBlockName(GetCurrentProcessId(), client), bytes.size()));
    std::memcpy(block.data(), bytes.data(), bytes.size());
    EXPECT_EQ(0, SendMessageW(client, WM_VP_ON_ERROR, VE_PLAY_ERROR, bytes.size()));
    EXPECT_EQ(0, SendMessageW(client, WM_VP_ON_ERROR, VE_COMMAND_FAILED, bytes.size() - 3));
    ASSERT_EQ(3u, run.log->errors.size());
    EXPECT_EQ("video error (no details available)", run.log->errors[1].text);
    EXPECT_EQ("video error (no details available)", run.log->errors[2].text);
    EXPECT_EQ(1, SendMessageW(client, WM_VP_ON_ERROR, VE_COMMAND_FAILED, bytes.size()));
    ASSERT_EQ(4u, run.log->errors.size());
    EXPECT_EQ(VE_COMMAND_FAILED, run.log->errors[3].code);
    EXPECT_EQ(7, run.log->errors[3].param1);
    EXPECT_EQ("resume has failed", run.log->errors[3].text);
    block.close();

    EXPECT_EQ(1, SendMessageW(client, WM_VP_ON_EVENT, static_cast<WPARAM>(-1), 5));
    ASSERT_EQ(1u, run.log->events.size());
    EXPECT_EQ(-1, run.log->events[0].first);
    EXPECT_EQ(5, run.log->events[0].second);

    // The frame request still reaches the same server.
    FrameParams frame = {};
    EXPECT_EQ(VPC_FRAME_OK, run.client->GetFrameData(&frame));
    UniqueHandle process = OpenServerProcess(server);
    run.client.reset();
    EXPECT_TRUE(run.log->released);
    EXPECT_EQ(static_cast<DWORD>(VSRV_EXIT_OK), PumpUntilExit(process.Get())) << "deleting the client closes";
}

TEST(ClientServer, CommandLineOverTheLimitStartsNothing)
{
    ClientRun run;
    EXPECT_FALSE(run.Start(kFakeStubTexture, false, L"C:\\" + std::wstring(2100, L'a') + L".mp4"));
    run.Settle();
    EXPECT_TRUE(run.log->errors.empty());
    EXPECT_EQ(0, run.log->readyCount);
    EXPECT_EQ(nullptr, FindWindowW(L"velmorin", nullptr));
}

TEST(ClientServer, ExitCodeMessages)
{
    std::string text;
    VideoPlayerClient::GetExitCodeMessage(0xC0000135, text);
    EXPECT_EQ("process unexpectedly finished with code STATUS_DLL_NOT_FOUND", text);
    VideoPlayerClient::GetExitCodeMessage(0xC0000005, text);
    EXPECT_EQ("process unexpectedly finished with code 3221225477 c0000005 c0000005", text);
    VideoPlayerClient::GetExitCodeMessage(static_cast<DWORD>(-3), text);
    EXPECT_EQ("process unexpectedly finished with code 4294967293 fffffffd fffffffd", text);
}

TEST(ClientServer, ServerMissingFromTheSearchPathIsAnInitError)
{
    // A copy of the host in a folder of its own finds no qvfx-reviv.exe.
    ScratchFolder folder;
    ASSERT_TRUE(folder.CopyIn(L"qv-sc-host.exe", L"qv-sc-host.exe"));
    const HostReport report = RunHostIn(folder.Path());
    EXPECT_EQ(0, report.openResult);
    EXPECT_EQ(1, report.errorCount);
    EXPECT_EQ(VE_INIT_ERROR, report.errorCode);
    EXPECT_STREQ("can't create process, 2", report.text);
}

TEST(ClientServer, ServerThatEndsAtOnceIsReportedByItsExitCode)
{
    ScratchFolder folder;
    ASSERT_TRUE(folder.CopyIn(L"qv-sc-host.exe", L"qv-sc-host.exe"));
    ASSERT_TRUE(folder.CopyIn(L"qv-sc-exit.exe", L"qvfx-reviv.exe"));
    {
        ScopedEnvironment code(L"QV_SC_EXIT_CODE", L"0xC0000135");
        const HostReport report = RunHostIn(folder.Path());
        EXPECT_EQ(0, report.openResult);
        EXPECT_EQ(1, report.errorCount);
        EXPECT_EQ(VE_PLAY_ERROR, report.errorCode);
        EXPECT_STREQ("process unexpectedly finished with code STATUS_DLL_NOT_FOUND", report.text);
    }
    {
        ScopedEnvironment code(L"QV_SC_EXIT_CODE", L"42");
        const HostReport report = RunHostIn(folder.Path());
        EXPECT_EQ(1, report.errorCount);
        EXPECT_STREQ("process unexpectedly finished with code 42 2a 2a", report.text);
    }
}

TEST(ClientServer, ServerThatDiesBeforeAnnouncingItselfIsStillReported)
{
    // The start-up wait gives up after 3 s; a server that ends later, before
    // it ever sent its window, must not leave the client waiting for ever.
    ScratchFolder folder;
    ASSERT_TRUE(folder.CopyIn(L"qv-sc-host.exe", L"qv-sc-host.exe"));
    ASSERT_TRUE(folder.CopyIn(L"qv-sc-exit.exe", L"qvfx-reviv.exe"));
    ScopedEnvironment code(L"QV_SC_EXIT_CODE", L"9");
    ScopedEnvironment delay(L"QV_SC_EXIT_DELAY_MS", L"4000");
    const HostReport report = RunHostIn(folder.Path());
    EXPECT_EQ(1, report.openResult);
    EXPECT_EQ(1, report.errorCount);
    EXPECT_EQ(VE_PLAY_ERROR, report.errorCode);
    EXPECT_EQ(0, report.param1);
    EXPECT_STREQ("process unexpectedly finished with code 9 9 9", report.text);
}

TEST(ClientServer, TheStartWaitAnswersMessagesSentMeanwhileAndEndsWithTheServer)
{
    // Stands in for a server that never gets idle and ends after a second.
    struct Answering : WndMessageHandler
    {
        BOOL OnWindowMessage(HWND, UINT message, WPARAM, LPARAM, LRESULT* result) override
        {
            *result = 7;
            return message == WM_VP_ON_CREATED;
        }
    } handler;
    HelperWindow window(L"QvTestStartWait", &handler);
    ASSERT_EQ(S_OK, window.Create(nullptr, true));
    ScopedEnvironment delay(L"QV_SC_EXIT_DELAY_MS", L"1000");
    UniqueHandle server = StartProgramIn(BinDirectory(), L"qv-sc-exit.exe", L"");
    ASSERT_TRUE(server);
    DWORD_PTR answer = 0;
    std::atomic<bool> answeredDuringWait{false};
    std::atomic<bool> waiting{true};
    std::thread sender([&] {
        SendMessageTimeoutW(window.GetHwnd(), WM_VP_ON_CREATED, 0, 0, kVpSendFlags, kVpSendTimeoutMs, &answer);
        answeredDuringWait = waiting.load();
    });
    VideoPlayerClient::WaitForServerStart(server.Get(), 3000);
    waiting = false;
    sender.join();
    EXPECT_EQ(7u, answer);
    EXPECT_TRUE(answeredDuringWait);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(server.Get(), 0)) << "the wait ends with the process";
}

TEST(ClientServer, CloseOnErrorEndsTheServerAfterAnyReport)
{
    ClientRun run;
    run.client->SetCloseOnError(true);
    ASSERT_TRUE(run.Start(kFakeStubTexture, false));
    ASSERT_TRUE(run.WaitReady());
    UniqueHandle process = OpenServerProcess(run.log->readyServer);
    ASSERT_TRUE(process);
    EXPECT_EQ(0, SendMessageW(run.client->GetClientWindow(), WM_VP_ON_ERROR, VE_PLAY_ERROR, 0));
    EXPECT_FALSE(run.client->IsReady());
    EXPECT_EQ(static_cast<DWORD>(VSRV_EXIT_OK), PumpUntilExit(process.Get()));
    run.Settle();
    EXPECT_EQ(1u, run.log->errors.size()) << "the asked-for close adds no report";
    EXPECT_FALSE(IsWindow(run.client->GetClientWindow()));
}
