// qvfx-vsrv: plays one video for one client window of the library.
#include "CrashLog.h"
#include "EnvPath.h"
#include "Handles.h"
#include "Log.h"
#include "MfStartup.h"
#include "Utf8.h"
#include "VideoServer.h"

#include <windows.h>

#include <sstream>

namespace
{
HINSTANCE g_instance = nullptr;

int Run(const wchar_t* tail)
{
    const char tag[] = "wWinMain";
    Log(tag, "start");
    Log(tag, "cmd=" + ToUtf8OrPlaceholder(tail ? tail : L""));
    Log(tag, "PATH=" + ToUtf8OrPlaceholder(GetEnvPath()));
    int exitCode = VSRV_EXIT_FAILURE;
    {
        // Both are shut down at the end of this block, before the log says
        // "finished", and on a thrown exception too.
        const ScopedComInit com(COINIT_MULTITHREADED);
        // The presenter's samples and work queues live in Media Foundation.
        const ScopedMfStartup mediaFoundation(MFSTARTUP_FULL);
        if (FAILED(mediaFoundation.Result()))
            Log(tag, "MFStartup failed"); // the player's open then fails and says why

        ParseArgs(tail);
        const VideoServerState& server = Server();
        std::ostringstream args;
        args << "\nclientHwnd=" << server.clientHwnd << "\nparentHwnd=" << server.parentHwnd
             << "\nparentProcessId=" << server.parentProcessId
             << "\nmediaFileName=" << ToUtf8OrPlaceholder(server.mediaFile)
             << "\nstartPosition=" << server.startPosition << "\nendPosition=" << server.endPosition
             << "\nsoundVolume=" << server.soundVolume << "\nisLoopEnabled=" << server.isLoopEnabled << "\n";
        Log(tag, args);

        exitCode = RunServer();
    }
    Server().parentProcess.Reset();
    Log(tag, "finished");
    return exitCode;
}
} // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR tail, int)
{
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    SetProcessShutdownParameters(0x3FF, SHUTDOWN_NORETRY);
    InstallUnhandledExceptionLog();
    g_instance = instance;
    try
    {
        return Run(tail);
    }
    catch (...)
    {
        Log("wWinMain [ERROR]", "unexpected exception");
        return VSRV_EXIT_FAILURE;
    }
}
