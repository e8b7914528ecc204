#include "PlayerCycle.h"

#include "Handles.h"
#include "JavaHost.h"
#include "Log.h"
#include "VideoPlayerClient.h"

#include "com_quorvane_player_platform_impl_ui_view_win_d3d_WinNativeVideo.h"

#include <psapi.h>

#include <fstream>
#include <sstream>

namespace
{
VideoPlayerClient* Client(jlong player)
{
    return reinterpret_cast<VideoPlayerClient*>(static_cast<intptr_t>(player));
}
} // namespace

int64_t CurrentWorkingSet()
{
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof(counters);
    if (!K32GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters)))
        return 0;
    return static_cast<int64_t>(counters.WorkingSetSize);
}

void AppendLeakReport(const std::string& line)
{
    std::ofstream report(HostSettings::kLeakReport, std::ios::out | std::ios::app);
    if (report.is_open())
        report << line << "\n";
}

PlayerCycle::PlayerCycle(HostState& state, JNIEnv* env, ULONGLONG startTick)
    : m_state(state), m_env(env), m_startTick(startTick)
{
}

void PlayerCycle::StartRequest()
{
    if (!HostSettings::kPlayerEnabled || m_state.stop)
        return;
    {
        CScopedLock lock(m_state.playerLock);
        if (m_state.running)
        {
            if (m_state.player && Client(m_state.player)->IsReady())
            {
                Java_com_quorvane_player_platform_impl_ui_view_win_d3d_WinNativeVideo__1nClose(m_env, nullptr,
                                                                                              m_state.player);
                m_state.player = 0;
            }
            // Repeats until the player thread has ended.
            SetTimer(m_state.window, kPlayerTimerId, 1, nullptr);
            return;
        }
        KillTimer(m_state.window, kPlayerTimerId);
        SampleMemoryBefore();
        m_state.running = true;
    }
    m_thread.Reset(CreateThread(nullptr, 0, &PlayerCycle::PlayerThreadEntry, this, 0, nullptr));
    if (!m_thread)
    {
        std::ostringstream text;
        text << "player thread not started, error " << GetLastError();
        Log("PlayerCycle::StartRequest [ERROR]", text);
        CScopedLock lock(m_state.playerLock);
        m_state.running = false;
        m_state.lastPlayerError = "could not start player thread";
    }
}

bool PlayerCycle::CloseForShutdown()
{
    CScopedLock lock(m_state.playerLock);
    if (m_state.player)
    {
        Client(m_state.player)->Close();
        m_state.player = 0;
    }
    return m_state.running;
}

void PlayerCycle::WaitForThreadExit()
{
    // The thread has cleared running; only its return is left.
    if (m_thread)
        WaitForSingleObject(m_thread.Get(), 5000);
}

void PlayerCycle::SampleMemoryBefore()
{
    m_state.memory.Sample(CurrentWorkingSet(), GetTickCount64() - m_startTick);
}

DWORD WINAPI PlayerCycle::PlayerThreadEntry(void* context)
{
    auto* cycle = static_cast<PlayerCycle*>(context);
    int result = -1;
    try
    {
        result = cycle->RunPlayerThread();
    }
    catch (...)
    {
        Log("PlayerThread [ERROR]", "unexpected exception");
        CScopedLock lock(cycle->m_state.playerLock);
        cycle->m_state.player = 0;
        cycle->m_state.running = false;
    }
    return static_cast<DWORD>(result);
}

int PlayerCycle::RunPlayerThread()
{
    int result = -1;
    {
        JvmThreadScope jvm(m_state.java.vm);
        if (jvm.Env())
            result = PlayOnePlayer(jvm.Env());
        else
            Log("PlayerThread [ERROR]", "cannot attach to the Java VM");
    }
    CScopedLock lock(m_state.playerLock);
    AfterPlayer();
    return result;
}

int PlayerCycle::PlayOnePlayer(JNIEnv* env)
{
    {
        CScopedLock lock(m_state.playerLock);
        if (m_state.stop || m_state.player)
            return -1;
        m_state.firstFrame = true;
    }
    const jlong player = Java_com_quorvane_player_platform_impl_ui_view_win_d3d_WinNativeVideo__1nCreate(
        env, nullptr, static_cast<jlong>(reinterpret_cast<intptr_t>(m_state.window)), m_state.java.mediaPath, 0.0f,
        0.0f, 1.0f, JNI_TRUE, m_state.java.callback, HostSettings::kClientStubMode ? JNI_TRUE : JNI_FALSE,
        HostSettings::kServerStubMode ? JNI_TRUE : JNI_FALSE);
    if (!player)
    {
        Log("PlayerThread [ERROR]", "could not create player");
        CScopedLock lock(m_state.playerLock);
        m_state.lastPlayerError = "could not create player";
        return -1;
    }

    VideoPlayerClient* client = Client(player);
    client->SetCloseOnError(true);
    int playerNumber = 0;
    {
        CScopedLock lock(m_state.playerLock);
        playerNumber = ++m_state.playerCount;
        m_state.framesOfPlayer = 0;
        if (m_state.stop)
            client->Close(); // shut-down began meanwhile: the loop below ends at once
        else
            m_state.player = player;
    }
    std::ostringstream started;
    started << "player " << playerNumber << " created";
    Log("PlayerThread", started);

    const jint loopResult =
        Java_com_quorvane_player_platform_impl_ui_view_win_d3d_WinNativeVideo__1nRunMessageLoop(env, nullptr, player);

    int framesDrawn = 0;
    {
        CScopedLock lock(m_state.playerLock);
        if (m_state.player == player)
            m_state.player = 0;
        framesDrawn = m_state.framesOfPlayer;
    }
    std::ostringstream ended;
    ended << "player " << playerNumber << " ended with " << loopResult << " after " << framesDrawn << " frames drawn";
    Log("PlayerThread", ended);

    std::string error = CallGetLastError(env, m_state.java);
    if (!error.empty())
    {
        error += " (from callback)";
    }
    else
    {
        error = client->GetLastErrorText();
        if (!error.empty())
            error += " (no java callback invoked)";
    }
    if (!error.empty())
    {
        Log("PlayerThread", "last player error: " + error);
        CScopedLock lock(m_state.playerLock);
        m_state.lastPlayerError = error;
    }
    Java_com_quorvane_player_platform_impl_ui_view_win_d3d_WinNativeVideo__1nDelete(env, nullptr, player);
    return 0;
}

void PlayerCycle::AfterPlayer()
{
    m_state.running = false;
    DWORD count = 0;
    if (!GetProcessHandleCount(GetCurrentProcess(), &count))
    {
        OutputDebugStringA("can't get handle count after");
        Log("PlayerThread", "can't get handle count after");
    }
    else
    {
        std::ostringstream delta;
        if (m_hasHandleCount)
        {
            if (count != m_handleCount)
                delta << "handle delta detected: " << static_cast<long long>(count) - m_handleCount << " total " << count
                      << "\n";
            else
                delta << "zero handle delta\n";
            OutputDebugStringA(delta.str().c_str());
            std::string line = delta.str();
            line.pop_back();
            Log("PlayerThread", line);
        }
        m_hasHandleCount = true;
        m_handleCount = count;
        if (count > m_handleCountMax)
            m_handleCountMax = count;
    }
    std::ostringstream report;
    report << "after player " << m_state.playerCount << ": handles " << count << " (max " << m_handleCountMax
           << "), working set " << CurrentWorkingSet();
    AppendLeakReport(report.str());
}
