// Runs one VideoPlayerClient (server stub mode, a made-up stub handle) in a
// process of its own and writes what it saw into the HostReport block named
// by the second argument. Modes:
//   report BLOCK   start, wait for ready or an error (10 s), report, end with 0
//   hold BLOCK     start, report once ready, then keep pumping until ended
//   closed BLOCK   close the player before it opens, report, end with 0
#include "ClientFixture.h"
#include "Handles.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <string>

namespace
{
void WriteReport(void* block, const ClientRun& run, bool opened)
{
    HostReport report = {};
    report.openResult = opened ? 1 : 0;
    report.readyCount = run.log->readyCount;
    report.serverHwnd = static_cast<int64_t>(reinterpret_cast<intptr_t>(run.log->readyServer));
    report.errorCount = static_cast<int32_t>(run.log->errors.size());
    if (!run.log->errors.empty())
    {
        const CallbackLog::Error& error = run.log->errors.front();
        report.errorCode = error.code;
        report.param1 = error.param1;
        std::memcpy(report.text, error.text.c_str(), std::min(error.text.size(), sizeof(report.text) - 1));
    }
    std::memcpy(block, &report, sizeof(report));
}
} // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int)
{
    const UniqueArgv argv(GetCommandLineW());
    const int argc = argv.Count();
    if (argc < 3)
        return 2;
    const std::wstring mode = argv[1];
    const std::wstring wideName = argv[2];
    SharedMemory block;
    if (!block.open(std::string(wideName.begin(), wideName.end()), sizeof(HostReport)))
        return 3;

    ClientRun run;
    if (mode == L"closed")
    {
        run.client->Init(0, OpenParameters());
        run.client->Close();
        const bool opened = run.client->Open();
        run.Settle(200);
        WriteReport(block.data(), run, opened);
        return 0;
    }
    const bool opened = run.Start(kFakeStubTexture, false);
    if (mode == L"hold")
    {
        run.WaitReady();
        WriteReport(block.data(), run, opened);
        MSG msg;
        while (GetMessageW(&msg, nullptr, 0, 0) > 0)
            DispatchMessageW(&msg);
        return 0;
    }
    if (opened)
        run.WaitReady();
    else
        run.Settle(200);
    // A server that ends late is reported after a ready-less open.
    if (opened && run.log->readyCount == 0 && run.log->errors.empty())
        run.WaitErrors(1, 10000);
    WriteReport(block.data(), run, opened);
    return 0;
}
