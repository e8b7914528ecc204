// The soak and fault campaign: drives qvfx.dll through its player exports as
// Java does (with the JNI stand-in as the VM) and the server program directly,
// for thousands of players, killed servers, hung and dying clients and
// hostile inputs, and prints one line of figures per scenario.
//
//   qvfx-soak.exe [--quick] [--only NAME] [--seed N] [--cycles N] [--kills N] [--closes N]
//                 [--commands N] [--blocks N] [--time-slack N]
//
// The exit code is the number of failed checks.
#include "SoakProbes.h"

#include "JniStandIn.h"

#include "com_quorvane_player_platform_impl_ui_view_win_d3d_WinNativeVideo.h"

#include "Handles.h"
#include "VideoPlayerMsg.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <climits>
#include <cstdarg>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace
{
#define QV_VIDEO(name) Java_com_quorvane_player_platform_impl_ui_view_win_d3d_WinNativeVideo__1n##name

std::wstring BinFolder()
{
    wchar_t path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, length);
    return folder.substr(0, folder.find_last_of(L"\\/"));
}

std::wstring Media(const wchar_t* name)
{
    return BinFolder() + L"\\..\\test-data\\" + name;
}

template <typename Function>
Function ExportOf(HMODULE module, const char* name)
{
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}
#define QV_LOOKUP(module, name) ExportOf<decltype(&QV_VIDEO(name))>(module, "Java_com_quorvane_player_platform_impl_ui_view_win_d3d_WinNativeVideo__1n" #name)

struct Exports
{
    explicit Exports(HMODULE module)
        : create(QV_LOOKUP(module, Create)), run(QV_LOOKUP(module, RunMessageLoop)), close(QV_LOOKUP(module, Close)),
          del(QV_LOOKUP(module, Delete)), play(QV_LOOKUP(module, Play)),
          getPosition(QV_LOOKUP(module, GetPosition)), shutdown(QV_LOOKUP(module, ShutdownCleanup)),
          getFrame(QV_LOOKUP(module, GetFrameTexture))
    {
    }
    bool Complete() const { return create && run && close && del && play && getPosition && shutdown && getFrame; }

    decltype(&QV_VIDEO(Create)) create;
    decltype(&QV_VIDEO(RunMessageLoop)) run;
    decltype(&QV_VIDEO(Close)) close;
    decltype(&QV_VIDEO(Delete)) del;
    decltype(&QV_VIDEO(Play)) play;
    decltype(&QV_VIDEO(GetPosition)) getPosition;
    decltype(&QV_VIDEO(ShutdownCleanup)) shutdown;
    decltype(&QV_VIDEO(GetFrameTexture)) getFrame;
};

std::atomic<long> g_misuse{0};
std::string g_lastMisuse;

void CountMisuse(const char* text)
{
    ++g_misuse;
    g_lastMisuse = text;
}

struct Check
{
    std::string scenario;
    std::string name;
    long failures = 0;
    long total = 0;
    std::string example;
};

struct Options
{
    bool quick = false;
    bool clientStub = false;
    // Multiplies the time bounds of close, delete and a server's end, for a
    // shared machine; a hang still fails, and the figures show the real times.
    DWORD slack = 1; // cycles without a server, to tell the client's share from the server start's
    std::string only;
    unsigned seed = 12345;
    long cycles = 2000;
    long every = 100;
    long from = 200;
    long kills = 1000;
    long closes = 500;
    long commands = 2000;
    long blocks = 2000;
    long bareStarts = 200;
    long hostPlayers = 3;
};

class Campaign;

// A server by its process id and when it was first seen: the system reuses
// the id of a server whose last handle the watch has let go.
using ServerKey = std::pair<DWORD, ULONGLONG>;

// One player as Java runs it: a player thread creates it, runs its loop and
// deletes it once told; other threads close it and send commands.
class Player
{
public:
    struct Setup
    {
        jstring path = nullptr;
        jobject callback = nullptr;
        float start = 0.0f;
        bool clientStub = false;
    // Multiplies the time bounds of close, delete and a server's end, for a
    // shared machine; a hang still fails, and the figures show the real times.
    DWORD slack = 1;
        bool holdLoop = false; // the loop starts only when Go() is called
    };

    Player(Campaign& campaign, const Setup& setup);
    ~Player();
    Player(const Player&) = delete;
    Player& operator=(const Player&) = delete;

    void Go() { SetEvent(m_go.Get()); }
    bool WaitLoopEnd(DWORD timeoutMs) { return WaitForSingleObject(m_loopEnded.Get(), timeoutMs) == WAIT_OBJECT_0; }
    bool LoopEnded() { return WaitLoopEnd(0); }
    // Tells the thread to delete the player; false when the loop or the delete did not end in time.
    bool Delete(DWORD timeoutMs);

    jlong handle = 0;
    std::atomic<jint> loopResult{1};

private:
    void Body(Setup setup);

    Campaign& m_campaign;
    UniqueHandle m_created;
    UniqueHandle m_go;
    UniqueHandle m_loopEnded;
    UniqueHandle m_deleteNow;
    UniqueHandle m_deleted;
    std::thread m_thread;
};

class Campaign
{
public:
    Campaign(const Options& options, HMODULE library)
        : options(options), exports(library), m_random(options.seed)
    {
        JniStandIn::SetMisuseHandler(CountMisuse);
        JniStandIn::SetUnimplementedHandler(CountMisuse);
        jni.AddPlayerCallbackClass();
        AddBlockingCallbackClass();
    }

    int Run();
    int RunHostChild(long players);
    int RunExitChild(bool cleanUp);

    // Counts a pending exception on the calling thread and clears it, as a Java catch would.
    void CheckPending(const char* where)
    {
        if (!jni.PendingException().empty())
        {
            ++m_pendingExceptions;
            m_pendingWhere = where;
            jni.ClearException();
        }
    }

    const Options& options;
    Exports exports;
    JniStandIn jni;
    ServerWatch servers;

private:
    void AddBlockingCallbackClass();
    size_t Calls(jobject callback, const std::string& method);
    std::vector<std::string> ErrorTexts(jobject callback);
    bool WaitFor(const std::function<bool()>& predicate, DWORD timeoutMs);
    // Waits as a shown player's owner does, taking its frames meanwhile: the
    // end of the media is reported once the last frame has been polled on.
    bool WaitShowing(jlong player, const std::function<bool()>& predicate, DWORD timeoutMs);
    Check& AddCheck(const std::string& scenario, const std::string& name);
    void Count(Check& check, bool failed, const std::string& example = std::string());
    void Row(const std::string& scenario, long size, double seconds, const std::string& figures);
    bool Selected(const char* name) const { return options.only.empty() || options.only == name; }
    long Random(long low, long high) { return std::uniform_int_distribution<long>(low, high)(m_random); }

    double WineLeakPerStartKb();
    void Cycles();
    void Kills();
    void Closes();
    void HungClient();
    void HostDies();
    void HostileCommands();
    void HostileBlocks();
    void HostileFiles();
    void NoteCrash(DWORD exitCode);
    std::string CrashList() const;
    void NoteServerEnds(std::map<long, long>& byCode, std::set<ServerKey>& noted, Check& check);

    std::mt19937 m_random;
    std::map<std::string, long> m_crashes; // "module (ours)" or "module (platform)" -> count
    std::deque<Check> m_checks; // checks are held by reference while they count
    std::vector<std::string> m_rows;
    std::atomic<long> m_pendingExceptions{0};
    const char* m_pendingWhere = "";
    double m_wineLeakKb = 0;
    double m_wineLeakHandles = 0;
};

Player::Player(Campaign& campaign, const Setup& setup)
    : m_campaign(campaign), m_created(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      m_go(CreateEventW(nullptr, TRUE, setup.holdLoop ? FALSE : TRUE, nullptr)),
      m_loopEnded(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      m_deleteNow(CreateEventW(nullptr, TRUE, FALSE, nullptr)), m_deleted(CreateEventW(nullptr, TRUE, FALSE, nullptr))
{
    m_thread = std::thread([this, setup] { Body(setup); });
    WaitForSingleObject(m_created.Get(), 30000);
}

Player::~Player()
{
    if (m_thread.joinable())
        Delete(20000);
}

bool Player::Delete(DWORD timeoutMs)
{
    if (!m_thread.joinable())
        return true;
    SetEvent(m_go.Get());
    SetEvent(m_deleteNow.Get());
    if (WaitForSingleObject(m_deleted.Get(), timeoutMs) == WAIT_OBJECT_0)
    {
        m_thread.join();
        return true;
    }
    m_thread.detach(); // a hung player must not hang the campaign; it is counted instead
    return false;
}

void Player::Body(Setup setup)
{
    JNIEnv* env = m_campaign.jni.Env();
    handle = m_campaign.exports.create(env, nullptr, 0, setup.path, setup.start, 0.0f, 0.5f, JNI_FALSE, setup.callback,
                                       setup.clientStub ? JNI_TRUE : JNI_FALSE, JNI_FALSE);
    m_campaign.CheckPending("_nCreate");
    SetEvent(m_created.Get());
    WaitForSingleObject(m_go.Get(), INFINITE);
    if (handle)
        loopResult = m_campaign.exports.run(env, nullptr, handle);
    m_campaign.CheckPending("_nRunMessageLoop");
    SetEvent(m_loopEnded.Get());
    WaitForSingleObject(m_deleteNow.Get(), INFINITE);
    if (handle)
        m_campaign.exports.del(env, nullptr, handle);
    m_campaign.CheckPending("_nDelete");
    SetEvent(m_deleted.Get());
}

// A callback class whose onError and onEvent keep the player thread busy for
// the time the object's id says, as a Java listener that stops answering.
std::atomic<DWORD> g_blockMs{0};

void Campaign::AddBlockingCallbackClass()
{
    auto block = [](JniStandIn&, jobject, const JavaCall&) -> jobject {
        Sleep(g_blockMs.load());
        return nullptr;
    };
    jni.AddClass("SoakHungCallback", {{"onError", "(IJJLjava/lang/String;)V", block},
                                      {"onEvent", "(IJ)V", block},
                                      {"onReady", "()V", nullptr},
                                      {"onDestroy", "()V", nullptr},
                                      {"getLastError", "()Ljava/lang/String;", nullptr}});
}

size_t Campaign::Calls(jobject callback, const std::string& method)
{
    size_t count = 0;
    for (const JavaCall& call : jni.Calls(callback))
        count += call.method == method ? 1 : 0;
    return count;
}

std::vector<std::string> Campaign::ErrorTexts(jobject callback)
{
    std::vector<std::string> texts;
    for (const JavaCall& call : jni.Calls(callback))
    {
        if (call.method == "onError")
            texts.push_back(call.texts.empty() ? "" : call.texts[0]);
    }
    return texts;
}

bool Campaign::WaitFor(const std::function<bool()>& predicate, DWORD timeoutMs)
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (!predicate())
    {
        if (GetTickCount64() >= deadline)
            return false;
        Sleep(10);
    }
    return true;
}

bool Campaign::WaitShowing(jlong player, const std::function<bool()>& predicate, DWORD timeoutMs)
{
    const jlongArray frame = jni.NewLongArray({0, 0, 0, 0});
    return WaitFor([&] {
        exports.getFrame(jni.Env(), nullptr, player, frame);
        return predicate();
    }, timeoutMs);
}

Check& Campaign::AddCheck(const std::string& scenario, const std::string& name)
{
    Check check;
    check.scenario = scenario;
    check.name = name;
    m_checks.push_back(check);
    return m_checks.back();
}

void Campaign::Count(Check& check, bool failed, const std::string& example)
{
    ++check.total;
    if (failed)
    {
        ++check.failures;
        if (check.example.empty())
            check.example = example;
    }
}

void Campaign::Row(const std::string& scenario, long size, double seconds, const std::string& figures)
{
    char line[2600];
    snprintf(line, sizeof(line), "| %-16s | %6ld | %7.1f | %s |", scenario.c_str(), size, seconds, figures.c_str());
    m_rows.push_back(line);
    printf("%s\n", line);
    fflush(stdout);
}

std::string Format(const char* format, ...)
{
    char text[2048];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    return text;
}

// "code:count ..." of the exit codes seen.
std::string CodeSpread(const std::map<long, long>& byCode)
{
    std::string spread;
    for (const auto& entry : byCode)
        spread += Format("%ld:%ld ", entry.first, entry.second);
    return spread;
}

// Figures once Wine's idle pool threads (and their stacks) have come and gone:
// the smallest memory, thread and handle count of a few samples. A handle
// held for a moment (a pool thread's, a wait being torn down) is not growth;
// one that leaked is in every sample.
ProcessFigures SettledFigures()
{
    ProcessFigures settled = MeasureProcess(GetCurrentProcessId());
    for (int i = 0; i < 4; ++i)
    {
        Sleep(250);
        ProcessFigures sample = MeasureProcess(GetCurrentProcessId());
        settled.privateKb = std::min(settled.privateKb, sample.privateKb);
        settled.threads = std::min(settled.threads, sample.threads);
        if (sample.handlesKnown && sample.handles < settled.handles)
        {
            settled.handles = sample.handles;
            settled.handlesByType = std::move(sample.handlesByType);
        }
    }
    return settled;
}

// Wine's own growth per process start, from a program that does nothing,
// started the way the client starts its server.
double Campaign::WineLeakPerStartKb()
{
    const std::wstring bare = BinFolder() + L"\\qvfx-soak-bare.exe";
    auto startOnce = [&] {
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION info = {};
        std::wstring line = L"\"" + bare + L"\"";
        if (!CreateProcessW(bare.c_str(), &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
            return false;
        UniqueHandle process(info.hProcess);
        UniqueHandle thread(info.hThread);
        WaitForInputIdle(process.Get(), 3000); // as the client starts and watches its server
        HANDLE wait = nullptr;
        RegisterWaitForSingleObject(&wait, process.Get(), [](void*, BOOLEAN) {}, nullptr, INFINITE,
                                    WT_EXECUTEONLYONCE);
        // The client's watch usually ends while its server still runs.
        if (wait)
            UnregisterWaitEx(wait, INVALID_HANDLE_VALUE);
        WaitForSingleObject(process.Get(), 10000);
        return true;
    };
    // The first starts grow what every later start reuses.
    for (long i = 0; i < std::max(10L, options.bareStarts / 2); ++i)
        startOnce();
    const ProcessFigures before = SettledFigures();
    long started = 0;
    for (long i = 0; i < options.bareStarts; ++i)
        started += startOnce() ? 1 : 0;
    const ProcessFigures after = SettledFigures();
    m_wineLeakHandles = started ? static_cast<double>(after.handles - before.handles) / started : 0.0;
    return started ? (after.privateKb - before.privateKb) / started : 0.0;
}

void Campaign::Cycles()
{
    const ULONGLONG begin = GetTickCount64();
    Check& ready = AddCheck("cycles", "every player ready, no error");
    Check& hang = AddCheck("cycles", "close and delete return within 3 s");
    Check& memory = AddCheck("cycles", "private memory growth under 1 MB over at least 100 cycles after the reference (Wine's subtracted)");
    Check& threads = AddCheck("cycles", "threads back to the reference within 2");
    Check& handles = AddCheck("cycles", "no handle growth after the reference cycle beyond Wine's own per start");
    Check& left = AddCheck("cycles", "no server left");
    Check& references = AddCheck("cycles", "no live global reference or pinned string");
    Check& codes = AddCheck("cycles", "every server ends with an exit code of the protocol's table");
    m_crashes.clear();
    std::map<long, long> byCode;
    std::set<ServerKey> noted;

    // A start cannot give memory back: a negative estimate is noise, and
    // subtracting it would add to our growth what Wine never took.
    m_wineLeakKb = std::max(0.0, WineLeakPerStartKb());
    const jstring path = jni.NewJavaString(Media(L"clip-av.mp4"));
    const jobject callback = jni.NewObject("TestWinPlayerCallback");
    ProcessFigures reference;
    ProcessFigures last;
    long referenceCycle = -1;
    long refused = 0; // servers the system did not start
    printf("cycles: cycle  private-KB  threads  handles  global-refs  pinned  servers-alive\n");
    for (long cycle = 1; cycle <= options.cycles; ++cycle)
    {
        {
            Player::Setup setup;
            setup.path = path;
            setup.callback = callback;
            setup.clientStub = options.clientStub;
            Player player(*this, setup);
            const bool isReady = WaitFor([&] { return Calls(callback, "onReady") > 0 || Calls(callback, "onError") > 0; },
                                         20000);
            const std::vector<std::string> errors = ErrorTexts(callback);
            // Wine's process creation now and then fails a start with
            // ERROR_INTERNAL_ERROR; the player reports it once, as it must.
            const bool notStarted = errors.size() == 1 && errors[0] == "can't create process, 54f";
            refused += notStarted ? 1 : 0;
            Count(ready, !notStarted && (!isReady || !errors.empty() || !player.handle),
                  Format("cycle %ld: %s", cycle, !isReady ? "no ready in 20 s" : errors.empty() ? "no player" : errors[0].c_str()));
            exports.play(jni.Env(), nullptr, player.handle);
            Sleep(500);
            const ULONGLONG closing = GetTickCount64();
            exports.close(jni.Env(), nullptr, player.handle);
            CheckPending("_nClose");
            const DWORD bound = 3000 * options.slack;
            const bool ended = player.WaitLoopEnd(bound) &&
                               player.Delete(bound - static_cast<DWORD>(std::min<ULONGLONG>(bound, GetTickCount64() - closing)) + 1);
            Count(hang, !ended, Format("cycle %ld", cycle));
            if (!ended)
                player.Delete(20000);
        }
        jni.ForgetRecords();
        NoteServerEnds(byCode, noted, codes);
        if (cycle % options.every == 0 || cycle == options.cycles)
        {
            servers.WaitNoneAlive(0, 6000);
            NoteServerEnds(byCode, noted, codes);
            servers.ForgetEnded();
            const ProcessFigures figures = SettledFigures();
            printf("cycles: %5ld  %10.0f  %7ld  %7ld%s  %11zu  %6zu  %13zu\n", cycle, figures.privateKb, figures.threads,
                   figures.handles, figures.handlesFromTable ? "(table)" : "", jni.LiveGlobalRefs(), jni.PinnedStrings(),
                   servers.Alive());
            fflush(stdout);
            if (cycle >= options.from && referenceCycle < 0)
            {
                reference = figures;
                referenceCycle = cycle;
            }
            last = figures;
        }
    }
    servers.WaitNoneAlive(0, 6000);
    std::string byType;
    for (const auto& entry : last.handlesByType)
    {
        const long before = reference.handlesByType.count(entry.first) ? reference.handlesByType.at(entry.first) : 0;
        if (entry.second != before)
            byType += Format(" type %d: %+ld", entry.first, entry.second - before);
    }
    if (!byType.empty())
        printf("cycles: handle growth by object type (event 8, mapping 18 here):%s\n", byType.c_str());
    printf("cycles: a bare program's start costs this process %.1f KB and %.2f handles\n", m_wineLeakKb,
           m_wineLeakHandles);
    const long startsAfter = options.cycles - std::max(referenceCycle, 0L);
    const double growth = last.privateKb - reference.privateKb;
    const double corrected = growth - m_wineLeakKb * startsAfter;
    // Wine's pool threads move memory by whole stacks: a few cycles say nothing about a leak.
    if (startsAfter >= 100)
        Count(memory, referenceCycle < 0 || corrected >= 1024.0,
              Format("%.0f KB (Wine %.1f KB per start)", corrected, m_wineLeakKb));
    const double handleGrowth = last.handles - reference.handles - m_wineLeakHandles * startsAfter;
    Count(handles, !last.handlesKnown || handleGrowth > 2.0 + startsAfter / 100.0,
          Format("%+.0f handles after Wine's share", handleGrowth));
    Count(threads, last.threads - reference.threads > 2, Format("%ld more", last.threads - reference.threads));
    Count(left, servers.Alive() != 0, Format("%zu alive", servers.Alive()));
    Count(references, jni.LiveGlobalRefs() != 0 || jni.PinnedStrings() != 0,
          Format("%zu references, %zu pinned", jni.LiveGlobalRefs(), jni.PinnedStrings()));
    Row("cycles", options.cycles, (GetTickCount64() - begin) / 1000.0,
        Format("memory%s %+.0f KB after cycle %ld (%+.0f KB less Wine's %.1f KB per start), threads %+ld, handles%s %+ld "
               "(%+.0f less Wine's %.2f per start), servers left %zu; exit codes (code:count) %s; %s; "
               "servers not started by the system %ld",
               last.privateFromRegions ? " (committed private regions)" : "", growth, referenceCycle, corrected,
               m_wineLeakKb, last.threads - reference.threads, last.handlesFromTable ? " (handle table)" : "",
               last.handles - reference.handles, handleGrowth, m_wineLeakHandles, servers.Alive(),
               CodeSpread(byCode).c_str(), CrashList().c_str(), refused));
}

// Moments at which a server is ended from outside.
enum KillMoment
{
    KILL_START_UP,
    KILL_BEFORE_READY,
    KILL_AFTER_READY,
    KILL_DURING_PLAY,
    KILL_DURING_CLOSE,
    KILL_MOMENTS
};
const char* const KILL_NAMES[KILL_MOMENTS] = {"start-up", "before ready", "after ready", "during play", "during close"};

void Campaign::Kills()
{
    const ULONGLONG begin = GetTickCount64();
    Check& twice = AddCheck("kills", "never two reports for one player");
    Check& lost = AddCheck("kills", "a server killed outside close is reported once");
    Check& hang = AddCheck("kills", "the loop ends and delete returns within 3 s of close");
    Check& left = AddCheck("kills", "no server left");
    Check& after = AddCheck("kills", "a normal play works afterwards");
    const jstring path = jni.NewJavaString(Media(L"clip-av.mp4"));
    long doubles = 0;
    long counts[KILL_MOMENTS] = {};
    for (long i = 0; i < options.kills; ++i)
    {
        const KillMoment moment = static_cast<KillMoment>(i % KILL_MOMENTS);
        ++counts[moment];
        const jobject callback = jni.NewObject("TestWinPlayerCallback");
        const size_t index = servers.Count();
        Player::Setup setup;
        setup.path = path;
        setup.callback = callback;
        Player player(*this, setup);
        const DWORD server = servers.WaitForServer(index, 0, 10000);
        auto readyOrError = [&] { return Calls(callback, "onReady") > 0 || Calls(callback, "onError") > 0; };
        bool closed = false;
        switch (moment)
        {
        case KILL_START_UP:
            break;
        case KILL_BEFORE_READY:
            Sleep(static_cast<DWORD>(Random(0, 150)));
            break;
        case KILL_AFTER_READY:
            WaitFor(readyOrError, 20000);
            break;
        case KILL_DURING_PLAY:
            WaitFor(readyOrError, 20000);
            exports.play(jni.Env(), nullptr, player.handle);
            Sleep(static_cast<DWORD>(Random(0, 500)));
            break;
        case KILL_DURING_CLOSE:
            WaitFor(readyOrError, 20000);
            exports.close(jni.Env(), nullptr, player.handle);
            closed = true;
            break;
        default:
            break;
        }
        if (server)
            servers.Kill(server);
        if (!closed)
        {
            WaitFor([&] { return Calls(callback, "onError") > 0 || player.LoopEnded(); }, 5000);
            Sleep(300); // a second report, if any, comes now
            exports.close(jni.Env(), nullptr, player.handle);
            CheckPending("_nClose");
        }
        const bool ended = player.WaitLoopEnd(3000 * options.slack) && player.Delete(3000 * options.slack);
        Count(hang, !ended, Format("%s #%ld", KILL_NAMES[moment], i));
        const std::vector<std::string> errors = ErrorTexts(callback);
        doubles += errors.size() > 1 ? 1 : 0;
        std::string texts;
        for (const std::string& text : errors)
            texts += "\"" + text + "\" ";
        Count(twice, errors.size() > 1, Format("%s: %s", KILL_NAMES[moment], texts.c_str()));
        Count(lost, moment != KILL_DURING_CLOSE && server && errors.empty(),
              Format("%s #%ld: no report", KILL_NAMES[moment], i));
    }
    const bool none = servers.WaitNoneAlive(0, 6000);
    Count(left, !none, Format("%zu alive", servers.Alive()));
    {
        const jobject callback = jni.NewObject("TestWinPlayerCallback");
        Player::Setup setup;
        setup.path = path;
        setup.callback = callback;
        Player player(*this, setup);
        const bool ready = WaitFor([&] { return Calls(callback, "onReady") > 0; }, 20000);
        exports.play(jni.Env(), nullptr, player.handle);
        const bool moving =
            ready && WaitFor([&] { return exports.getPosition(jni.Env(), nullptr, player.handle) > 0.2; }, 10000);
        Count(after, !moving, ready ? "the position does not move" : "no ready");
        exports.close(jni.Env(), nullptr, player.handle);
        player.Delete(10000);
    }
    servers.WaitNoneAlive(0, 6000);
    servers.ForgetEnded();
    jni.ForgetRecords();
    Row("kills", options.kills, (GetTickCount64() - begin) / 1000.0,
        Format("double reports %ld, lost reports %ld, hangs %ld, servers left %zu (%ld at each of 5 moments)", doubles,
               lost.failures, hang.failures, none ? 0 : servers.Alive(), counts[0]));
}

void Campaign::Closes()
{
    const ULONGLONG begin = GetTickCount64();
    Check& hang = AddCheck("closes", "close and delete each return within 3 s");
    Check& early = AddCheck("closes", "a player closed before its loop starts starts no server");
    Check& left = AddCheck("closes", "no server alive 6 s after its close");
    Check& codes = AddCheck("closes", "every server ends with an exit code of the protocol's table");
    m_crashes.clear();
    std::map<long, long> byCode;
    std::set<ServerKey> noted;
    const jstring path = jni.NewJavaString(Media(L"clip-av.mp4"));
    std::vector<std::pair<size_t, ULONGLONG>> closedAt; // server index before the player, close time
    long earlyCount = 0;
    for (long i = 0; i < options.closes; ++i)
    {
        const jobject callback = jni.NewObject("TestWinPlayerCallback");
        const size_t index = servers.Count();
        // One in ten is closed between create and the loop's start, the rest at 0 to 1,500 ms.
        const bool beforeLoop = i % 10 == 0;
        Player::Setup setup;
        setup.path = path;
        setup.callback = callback;
        setup.holdLoop = beforeLoop;
        Player player(*this, setup);
        if (!beforeLoop)
            Sleep(static_cast<DWORD>(Random(0, 1500)));
        ULONGLONG at = GetTickCount64();
        exports.close(jni.Env(), nullptr, player.handle);
        CheckPending("_nClose");
        const ULONGLONG closedTick = at;
        const DWORD closeMs = static_cast<DWORD>(GetTickCount64() - at);
        player.Go();
        const DWORD bound = 3000 * options.slack;
        const bool loopEnded = player.WaitLoopEnd(bound);
        at = GetTickCount64();
        const bool deleted = player.Delete(bound);
        const DWORD deleteMs = static_cast<DWORD>(GetTickCount64() - at);
        Count(hang, closeMs > bound || !loopEnded || !deleted || deleteMs > bound,
              Format("#%ld: close %lu ms, loop %s, delete %lu ms", i, closeMs, loopEnded ? "ended" : "hung", deleteMs));
        if (beforeLoop)
        {
            ++earlyCount;
            Sleep(500);
            Count(early, servers.Count() > index, Format("#%ld", i));
        }
        closedAt.emplace_back(index, closedTick);
        NoteServerEnds(byCode, noted, codes);
    }
    // Every server seen after a player's start must have ended 6 s after that player's close.
    Sleep(6000 * options.slack);
    servers.Alive();
    const std::vector<ServerWatch::Server> now = servers.Servers();
    long late = 0;
    for (size_t s = 0; s < now.size(); ++s)
    {
        size_t player = 0;
        while (player + 1 < closedAt.size() && closedAt[player + 1].first <= s)
            ++player;
        const ULONGLONG limit = closedAt.empty() ? 0 : closedAt[player].second + 6000 * options.slack;
        const bool isLate = now[s].endedAt == 0 || now[s].endedAt > limit;
        late += isLate ? 1 : 0;
        Count(left, isLate, Format("server %lu ended %lld ms after its player's close, exit %ld", now[s].id,
                                   now[s].endedAt ? static_cast<long long>(now[s].endedAt - closedAt[player].second) : -1LL,
                                   static_cast<long>(now[s].exitCode)));
    }
    NoteServerEnds(byCode, noted, codes);
    servers.ForgetEnded();
    jni.ForgetRecords();
    Row("closes", options.closes, (GetTickCount64() - begin) / 1000.0,
        Format("hangs %ld, servers started after an early close %ld of %ld, servers alive 6 s after close %ld; "
               "exit codes (code:count) %s; %s",
               hang.failures, early.failures, earlyCount, late, CodeSpread(byCode).c_str(), CrashList().c_str()));
}

// Text of the server's log, which every server start rewrites.
std::string ServerLog()
{
    std::ifstream file((BinFolder() + L"\\qvfx-reviv.exe.log").c_str());
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// A server that ended outside the table logged the exception nothing
// handled and the module it happened in; a crash in one of the platform's
// decoders is counted apart from ours (whose modules are named qvfx...).
void Campaign::NoteCrash(DWORD exitCode)
{
    if (IsTableExitCode(exitCode) || exitCode == STILL_ACTIVE)
        return;
    const std::string log = ServerLog();
    const size_t line = log.rfind("[LogUnhandledException [ERROR]]");
    const size_t at = line == std::string::npos ? std::string::npos : log.find(" at ", line);
    std::string module = "no exception logged";
    if (at != std::string::npos)
    {
        module = log.substr(at + 4, log.find_first_of("+\r\n", at + 4) - (at + 4));
        module += module.compare(0, 4, "qvfx") == 0 ? " (ours)" : " (platform)";
    }
    ++m_crashes[Format("0x%lX in %s", exitCode, module.c_str())];
}

// Counts the exit codes of the servers that ended since the last call. The
// server log is read at once, before the next player's server rewrites it,
// so that a crash is named with its module.
void Campaign::NoteServerEnds(std::map<long, long>& byCode, std::set<ServerKey>& noted, Check& check)
{
    for (const ServerWatch::Server& server : servers.Servers())
    {
        if (!server.endedAt || !noted.insert(ServerKey(server.id, server.seenAt)).second)
            continue;
        ++byCode[static_cast<long>(server.exitCode)];
        NoteCrash(server.exitCode);
        Count(check, !IsTableExitCode(server.exitCode),
              Format("server %lu: exit %ld (0x%lX)", server.id, static_cast<long>(server.exitCode), server.exitCode));
    }
}

std::string Campaign::CrashList() const
{
    std::string list;
    for (const auto& crash : m_crashes)
        list += Format("%s%s: %ld", list.empty() ? "" : ", ", crash.first.c_str(), crash.second);
    return "crashes: " + (list.empty() ? std::string("none") : list);
}

void Campaign::HungClient()
{
    const ULONGLONG begin = GetTickCount64();
    Check& startUp = AddCheck("hung client", "during start-up the server ends by itself within its bounds and logs it");
    Check& play = AddCheck("hung client", "during play the server keeps serving and ends at close");
    const DWORD hangMs = 8000; // longer than both 3 s bounds of the start-up together
    // Start-up: the media is missing, so the server reports it while starting,
    // and the player thread is stuck in onError.
    std::string startFigure;
    {
        g_blockMs = hangMs;
        const jobject callback = jni.NewObject("SoakHungCallback");
        const jstring path = jni.NewJavaString(BinFolder() + L"\\no-such-media-file.mp4");
        const size_t index = servers.Count();
        Player::Setup setup;
        setup.path = path;
        setup.callback = callback;
        Player player(*this, setup);
        const DWORD server = servers.WaitForServer(index, 0, 10000);
        WaitFor([&] {
            const std::vector<ServerWatch::Server> all = servers.Servers();
            return all.size() > index && all[index].endedAt != 0;
        }, hangMs + 5000);
        const std::vector<ServerWatch::Server> all = servers.Servers();
        const bool ended = all.size() > index && all[index].endedAt != 0;
        const ULONGLONG lifetime = ended ? all[index].endedAt - all[index].seenAt : 0;
        const std::string log = ServerLog();
        const bool logged = log.find("[SendClientError]") != std::string::npos && log.find("failed") != std::string::npos;
        // Created 3 s at most, the error report 3 s at most, and a second of slack.
        Count(startUp, !server || !ended || lifetime > 7000 || !logged,
              Format("server %s after %llu ms, %s", ended ? "ended" : "still running",
                     static_cast<unsigned long long>(lifetime), logged ? "logged" : "no failed report in its log"));
        startFigure = ended ? Format("server ended %llu ms after start", static_cast<unsigned long long>(lifetime))
                            : "server still running";
        exports.close(jni.Env(), nullptr, player.handle);
        player.Delete(hangMs + 10000);
    }
    // Play: the end of the clip reaches a listener that then stops answering.
    std::string playFigure;
    {
        const jobject callback = jni.NewObject("SoakHungCallback");
        const jstring path = jni.NewJavaString(Media(L"clip-rgb.mp4"));
        const size_t index = servers.Count();
        Player::Setup setup;
        setup.path = path;
        setup.callback = callback;
        setup.start = 2.0f;
        Player player(*this, setup);
        const bool ready = WaitFor([&] { return Calls(callback, "onReady") > 0; }, 20000);
        exports.play(jni.Env(), nullptr, player.handle);
        const bool hung = ready && WaitShowing(player.handle, [&] { return Calls(callback, "onEvent") > 0; }, 15000);
        // The client thread is now stuck for hangMs, past one parent-watch
        // period; the server must still answer.
        Sleep(hangMs / 2 + 2000);
        const double position = exports.getPosition(jni.Env(), nullptr, player.handle);
        const bool aliveDuring = servers.Alive() == 1;
        Sleep(hangMs / 2 - 1000);
        exports.close(jni.Env(), nullptr, player.handle);
        const bool loopEnded = player.WaitLoopEnd(5000);
        const bool serverEnded = servers.WaitNoneAlive(0, 4000);
        const std::vector<ServerWatch::Server> all = servers.Servers();
        const DWORD code = all.size() > index ? all[index].exitCode : STILL_ACTIVE;
        Count(play, !hung || !aliveDuring || position <= 0.0 || !loopEnded || !serverEnded || code != 0,
              Format("%s, server %s during the hang, position %.2f, loop %s, server exit %ld", hung ? "hung" : "no event",
                     aliveDuring ? "alive" : "gone", position, loopEnded ? "ended" : "hung", static_cast<long>(code)));
        playFigure = Format("during play: server %s while the client hung %lu s, exit %ld at close",
                            aliveDuring ? "served" : "ended", hangMs / 1000, static_cast<long>(code));
        player.Delete(hangMs + 5000);
    }
    g_blockMs = 0;
    servers.WaitNoneAlive(0, 6000);
    servers.ForgetEnded();
    jni.ForgetRecords();
    Row("hung client", 2, (GetTickCount64() - begin) / 1000.0, "during start-up: " + startFigure + "; " + playFigure);
}

bool StartSelf(const std::wstring& arguments, PROCESS_INFORMATION& info)
{
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring line = L"\"" + std::wstring(self) + L"\" " + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    return CreateProcessW(self, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info) != FALSE;
}

void Campaign::HostDies()
{
    const ULONGLONG begin = GetTickCount64();
    Check& ends = AddCheck("host dies", "every server ends within one parent-watch period plus a second");
    Check& cleanExits = AddCheck("host dies", "a host that called _nShutdownCleanup exits within 12 s");
    Check& exits = AddCheck("host dies", "a host that never called _nShutdownCleanup exits within 12 s");
    std::string figure;
    // Hosts with and without clean-up run meanwhile; the first shows that the
    // campaign's own host ends.
    PROCESS_INFORMATION cleanInfo = {};
    StartSelf(L"--clean-exit-child", cleanInfo);
    UniqueHandle cleanProcess(cleanInfo.hProcess);
    UniqueHandle cleanThread(cleanInfo.hThread);
    PROCESS_INFORMATION exitInfo = {};
    StartSelf(L"--exit-child", exitInfo);
    const ULONGLONG exitStarted = GetTickCount64();
    UniqueHandle exitProcess(exitInfo.hProcess);
    UniqueHandle exitThread(exitInfo.hThread);
    {
        PROCESS_INFORMATION info = {};
        if (!StartSelf(L"--host-child " + std::to_wstring(options.hostPlayers), info))
        {
            Count(ends, true, "the host could not be started");
            return;
        }
        UniqueHandle process(info.hProcess);
        UniqueHandle thread(info.hThread);
        servers.AddParent(info.dwProcessId);
        const std::wstring eventName = L"Local\\qvfx-soak-host-" + std::to_wstring(info.dwProcessId);
        UniqueHandle ready(CreateEventW(nullptr, TRUE, FALSE, eventName.c_str()));
        const HANDLE waits[2] = {ready.Get(), process.Get()};
        const bool isReady = WaitForMultipleObjects(2, waits, FALSE, 60000) == WAIT_OBJECT_0;
        servers.Alive(info.dwProcessId);
        TerminateProcess(process.Get(), 0xDEAD);
        const ULONGLONG killedAt = GetTickCount64();
        servers.WaitNoneAlive(info.dwProcessId, 10000 * options.slack);
        ULONGLONG slowest = 0;
        const std::vector<ServerWatch::Server> all = servers.Servers(info.dwProcessId);
        for (const ServerWatch::Server& server : all)
        {
            const ULONGLONG took = server.endedAt ? server.endedAt - killedAt : 99999;
            slowest = std::max(slowest, took);
            Count(ends, took > 6000 * options.slack, Format("server %lu ended %llu ms after its host", server.id,
                                            static_cast<unsigned long long>(took)));
        }
        Count(ends, !isReady || all.size() != static_cast<size_t>(options.hostPlayers),
              Format("host ready %d, %zu servers", isReady ? 1 : 0, all.size()));
        figure = Format("%zu servers ended at most %llu ms after the host was killed", all.size(),
                        static_cast<unsigned long long>(slowest));
    }
    {
        // Its player takes a second or two; its end must follow within 10 s.
        const ULONGLONG spent = GetTickCount64() - exitStarted;
        const bool ended = exitProcess && WaitForSingleObject(exitProcess.Get(), spent < 12000 ? static_cast<DWORD>(12000 - spent) : 0) == WAIT_OBJECT_0;
        if (exitProcess && !ended)
            TerminateProcess(exitProcess.Get(), 0xDEAD);
        Count(exits, !ended, "still running 12 s after its start");
        const bool cleanEnded = cleanProcess && WaitForSingleObject(cleanProcess.Get(), 1000) == WAIT_OBJECT_0;
        if (cleanProcess && !cleanEnded)
            TerminateProcess(cleanProcess.Get(), 0xDEAD);
        Count(cleanExits, !cleanEnded, "still running 12 s after its start");
        figure += ended ? "; host without clean-up exited" : "; host without clean-up still running after 12 s";
    }
    servers.ForgetEnded();
    Row("host dies", options.hostPlayers, (GetTickCount64() - begin) / 1000.0, figure);
}

// Random server command lines: keys, values, lengths, quotes and numbers.
class CommandLines
{
public:
    CommandLines(std::mt19937& random, HWND client, const std::wstring& media)
        : m_random(random), m_client(client), m_media(media)
    {
    }

    std::wstring Next()
    {
        static const wchar_t* const keys[] = {L"parentHwnd",   L"clientHwnd",  L"parentProcessId", L"mediaFile",
                                              L"startPosition", L"endPosition", L"soundVolume",     L"isLoopEnabled",
                                              L"hStubTexture",  L"",            L"mediafile",       L"x"};
        std::wstring line = L"qvfx-reviv.exe ";
        const bool valid = Pick(2) == 0; // half of them point at a window that answers
        if (valid)
            line += L"clientHwnd=" + std::to_wstring(reinterpret_cast<INT_PTR>(m_client)) + L" parentProcessId=" +
                    std::to_wstring(GetCurrentProcessId()) + L" ";
        const int items = Pick(12);
        for (int i = 0; i < items; ++i)
        {
            const std::wstring key = keys[Pick(12)];
            std::wstring value = key == L"mediaFile" ? Path() : Number();
            std::wstring item = Pick(8) == 0 ? key + value : key + L"=" + value; // some without "="
            switch (Pick(6))
            {
            case 0:
                item = L"\"" + item + L"\"";
                break;
            case 1:
                item = L"\"" + item; // an unbalanced quote
                break;
            case 2:
                item += L"\\\"";
                break;
            default:
                break;
            }
            line += item + L" ";
        }
        if (line.size() > 32000)
            line.resize(32000);
        return line;
    }

private:
    int Pick(int count) { return std::uniform_int_distribution<int>(0, count - 1)(m_random); }

    std::wstring Number()
    {
        static const wchar_t* const numbers[] = {L"0", L"-1", L"1", L"2147483647", L"2147483648", L"-2147483649",
                                                 L"9223372036854775807", L"99999999999999999999999",
                                                 L"-9223372036854775808", L"4294967295", L"2143289344" /* NaN bits */,
                                                 L"2139095040" /* infinity bits */, L"1065353216", L"abc", L"",
                                                 L"1e9", L"0x10", L"  7"};
        if (Pick(4) == 0)
            return std::to_wstring(std::uniform_int_distribution<long long>(LLONG_MIN, LLONG_MAX)(m_random));
        return numbers[Pick(static_cast<int>(sizeof(numbers) / sizeof(numbers[0])))];
    }

    std::wstring Path()
    {
        switch (Pick(5))
        {
        case 0:
            return m_media;
        case 1:
            return L"";
        default:
        {
            const int length = std::uniform_int_distribution<int>(0, 32767)(m_random) >> Pick(12);
            std::wstring path;
            for (int i = 0; i < length; ++i)
                path += static_cast<wchar_t>(std::uniform_int_distribution<int>(1, 0xFFFF)(m_random));
            return path;
        }
        }
    }

    std::mt19937& m_random;
    HWND m_client;
    std::wstring m_media;
};

// A client window that answers servers the way the library does, and closes each once it is ready.
std::atomic<long> g_fakeReadies{0};

LRESULT CALLBACK FakeClientProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message)
    {
    case WM_VP_ON_CREATED:
        return 1;
    case WM_VP_ON_ERROR:
        return 1;
    case WM_VP_ON_READY:
        ++g_fakeReadies;
        PostMessageW(reinterpret_cast<HWND>(wParam), WM_VP_CLOSE, 0, 0);
        return 0;
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

void Campaign::HostileCommands()
{
    m_crashes.clear();
    const ULONGLONG begin = GetTickCount64();
    Check& codes = AddCheck("hostile commands", "the server ends only with a table exit code, within 20 s");
    std::atomic<HWND> client{nullptr};
    UniqueHandle stop(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::thread pump([&] {
        WNDCLASSW windowClass = {};
        windowClass.lpfnWndProc = FakeClientProc;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = L"SoakFakeClient";
        RegisterClassW(&windowClass);
        client = CreateWindowExW(0, L"SoakFakeClient", L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr,
                                 windowClass.hInstance, nullptr);
        const HANDLE stopEvent = stop.Get();
        while (MsgWaitForMultipleObjects(1, &stopEvent, FALSE, INFINITE, QS_ALLINPUT) != WAIT_OBJECT_0)
        {
            MSG msg;
            while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
                DispatchMessageW(&msg);
        }
        DestroyWindow(client);
    });
    WaitFor([&] { return client.load() != nullptr; }, 5000);
    CommandLines lines(m_random, client, Media(L"clip-av.mp4"));
    std::map<long, long> byCode;
    long refused = 0;
    std::string firstRefused;
    for (long i = 0; i < options.commands; ++i)
    {
        std::wstring line = lines.Next();
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION info = {};
        if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, BinFolder().c_str(), &startup,
                            &info))
        {
            // No server ran, so there is no exit code to judge: Wine refuses
            // some lines with unbalanced quotes (ERROR_INTERNAL_ERROR) that
            // Windows would start. Listed apart, with the first such line.
            const DWORD error = GetLastError();
            if (refused++ == 0)
                firstRefused = Format("#%ld (%lu): %.200ls", i, error, line.c_str());
            continue;
        }
        UniqueHandle process(info.hProcess);
        UniqueHandle thread(info.hThread);
        DWORD code = STILL_ACTIVE;
        if (WaitForSingleObject(process.Get(), 20000) != WAIT_OBJECT_0)
            TerminateProcess(process.Get(), 0xDEAD);
        else
            GetExitCodeProcess(process.Get(), &code);
        ++byCode[static_cast<long>(code)];
        NoteCrash(code);
        Count(codes, !IsTableExitCode(code),
              Format("#%ld: exit %ld (0x%lX), line of %zu units: %.200ls", i, static_cast<long>(code), code,
                     line.size(), line.c_str()));
    }
    SetEvent(stop.Get());
    pump.join();
    const std::string spread = CodeSpread(byCode);
    servers.ForgetEnded();
    Row("hostile commands", options.commands, (GetTickCount64() - begin) / 1000.0,
        Format("exit codes (code:count) %s; outside the table %ld; %s; not started by the system %ld%s%s", spread.c_str(),
               codes.failures, CrashList().c_str(), refused, refused ? ", first " : "", firstRefused.c_str()));
}

void Campaign::HostileBlocks()
{
    const ULONGLONG begin = GetTickCount64();
    Check& check = AddCheck("hostile blocks", "the client reads every error block without leaving it");
    SYSTEM_INFO system = {};
    GetSystemInfo(&system);
    const size_t page = system.dwPageSize;
    // The block ends at a page with no access: a read past it faults at once.
    const size_t pages = 4;
    unsigned char* area =
        static_cast<unsigned char*>(VirtualAlloc(nullptr, (pages + 1) * page, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    DWORD old = 0;
    VirtualProtect(area + pages * page, page, PAGE_NOACCESS, &old);
    long withText = 0;
    for (long i = 0; i < options.blocks; ++i)
    {
        const size_t size = static_cast<size_t>(Random(0, 1) ? Random(0, 40) : Random(0, static_cast<long>(pages * page)));
        unsigned char* block = area + pages * page - size;
        const int style = static_cast<int>(Random(0, 2));
        for (size_t b = 0; b < size; ++b)
            block[b] = style == 0 ? static_cast<unsigned char>(Random(0, 255)) : style == 1 ? 'a' : static_cast<unsigned char>(Random(1, 255));
        const VideoErrorMsg message = ReadVideoErrorMsg(block, static_cast<int>(size));
        withText += message.text.empty() ? 0 : 1;
        Count(check, message.text.size() + 20 > std::max<size_t>(size, 20), Format("#%ld: text longer than the block", i));
    }
    VirtualFree(area, 0, MEM_RELEASE);
    Row("hostile blocks", options.blocks, (GetTickCount64() - begin) / 1000.0,
        Format("read without a fault, %ld with a text, %ld texts longer than their block", withText, check.failures));
}

void Campaign::HostileFiles()
{
    m_crashes.clear();
    const ULONGLONG begin = GetTickCount64();
    Check& check = AddCheck("hostile files", "every bad file ends in an error or plays and completes");
    Check& once = AddCheck("hostile files", "a bad file is reported once");
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    const std::wstring folder = std::wstring(temp) + L"qvfx-soak";
    CreateDirectoryW(folder.c_str(), nullptr);
    std::ifstream source(Media(L"clip-av.mp4").c_str(), std::ios::binary);
    const std::string clip((std::istreambuf_iterator<char>(source)), std::istreambuf_iterator<char>());
    std::string garbage = clip.substr(0, std::min<size_t>(clip.size(), 4096));
    for (size_t i = 0; i < 300000; ++i)
        garbage += static_cast<char>(Random(0, 255));
    const std::vector<std::pair<std::wstring, std::string>> files = {
        {L"zero-length.mp4", ""},
        {L"truncated.mp4", clip.substr(0, clip.size() * 2 / 5)},
        {L"text.mp4", "This is a text file renamed to look like a video.\r\n"},
        {L"header-then-garbage.mp4", garbage}};
    std::string outcomes;
    for (const auto& file : files)
    {
        const std::wstring path = folder + L"\\" + file.first;
        {
            std::ofstream out(path.c_str(), std::ios::binary | std::ios::trunc);
            out << file.second;
        }
        const jobject callback = jni.NewObject("TestWinPlayerCallback");
        const size_t index = servers.Count();
        Player::Setup setup;
        setup.path = jni.NewJavaString(path);
        setup.callback = callback;
        Player player(*this, setup);
        WaitFor([&] { return Calls(callback, "onReady") > 0 || Calls(callback, "onError") > 0; }, 20000);
        std::string outcome;
        bool sound = false;
        bool twice = false;
        if (Calls(callback, "onReady") > 0 && Calls(callback, "onError") == 0)
        {
            exports.play(jni.Env(), nullptr, player.handle);
            WaitShowing(player.handle,
                        [&] { return Calls(callback, "onEvent") > 0 || Calls(callback, "onError") > 0; }, 20000);
            sound = Calls(callback, "onEvent") > 0 && Calls(callback, "onError") == 0;
            outcome = sound ? "played to the end" : Calls(callback, "onError") ? "error during play" : "never completed";
        }
        else
        {
            Sleep(500);
            const std::vector<std::string> errors = ErrorTexts(callback);
            sound = !errors.empty();
            twice = errors.size() > 1;
            std::string texts;
            for (const std::string& text : errors)
                texts += (texts.empty() ? "" : " | ") + text;
            outcome = errors.empty() ? "no ready, no error" : Format("%zu error(s): %s", errors.size(), texts.c_str());
        }
        exports.close(jni.Env(), nullptr, player.handle);
        player.Delete(10000);
        servers.WaitNoneAlive(0, 6000);
        const std::vector<ServerWatch::Server> all = servers.Servers();
        const DWORD code = all.size() > index ? all[index].exitCode : STILL_ACTIVE;
        const bool tableCode = code == STILL_ACTIVE || IsTableExitCode(code);
        NoteCrash(code);
        char name[64];
        snprintf(name, sizeof(name), "%ls", file.first.c_str());
        Count(check, !sound || !tableCode, Format("%s: %s, server exit 0x%lX", name, outcome.c_str(), code));
        Count(once, twice || Calls(callback, "onError") > 1, Format("%s: %s", name, outcome.c_str()));
        outcomes += Format("%s: %s (exit %ld); ", name, outcome.c_str(), static_cast<long>(code));
        DeleteFileW(path.c_str());
    }
    RemoveDirectoryW(folder.c_str());
    servers.ForgetEnded();
    jni.ForgetRecords();
    Row("hostile files", static_cast<long>(files.size()), (GetTickCount64() - begin) / 1000.0,
        outcomes + CrashList());
}

int Campaign::Run()
{
    printf("qvfx soak campaign, seed %u%s\n", options.seed, options.quick ? ", quick sizes" : "");
    fflush(stdout);
    if (!exports.Complete())
    {
        printf("qvfx.dll or its player exports not found\n");
        return 1;
    }
    const ULONGLONG begin = GetTickCount64();
    if (Selected("cycles"))
        Cycles();
    if (Selected("kills"))
        Kills();
    if (Selected("closes"))
        Closes();
    if (Selected("hung"))
        HungClient();
    if (Selected("host"))
        HostDies();
    if (Selected("hostile"))
    {
        HostileCommands();
        HostileBlocks();
        HostileFiles();
    }
    Check& pending = AddCheck("all", "no Java exception left pending");
    Count(pending, m_pendingExceptions != 0, Format("%ld, the first after %s", m_pendingExceptions.load(), m_pendingWhere));
    Check& misuse = AddCheck("all", "no JNI misuse");
    Count(misuse, g_misuse != 0, Format("%ld: %s", g_misuse.load(), g_lastMisuse.c_str()));
    exports.shutdown(jni.Env(), nullptr);

    printf("\n| scenario         |   size | seconds | figures |\n|---|---|---|---|\n");
    for (const std::string& row : m_rows)
        printf("%s\n", row.c_str());
    printf("\nchecks:\n");
    int failed = 0;
    for (const Check& check : m_checks)
    {
        printf("  %-8s %-16s %s: %ld of %ld failed%s%s%s\n", !check.failures ? "ok" : "FAILED", check.scenario.c_str(), check.name.c_str(),
               check.failures, check.total, check.failures ? " (first: " : "", check.example.substr(0, 300).c_str(),
               check.failures ? ")" : "");
        failed += check.failures ? 1 : 0;
    }
    printf("\n%d failed check(s), %.1f s\n", failed, (GetTickCount64() - begin) / 1000.0);
    fflush(stdout);
    return failed;
}

// A Java process with players open, which the campaign kills.
int Campaign::RunHostChild(long players)
{
    const jstring path = jni.NewJavaString(Media(L"clip-av.mp4"));
    std::vector<std::unique_ptr<Player>> open;
    std::vector<jobject> callbacks;
    for (long i = 0; i < players; ++i)
    {
        callbacks.push_back(jni.NewObject("TestWinPlayerCallback"));
        Player::Setup setup;
        setup.path = path;
        setup.callback = callbacks.back();
        open.emplace_back(new Player(*this, setup));
    }
    WaitFor([&] {
        for (jobject callback : callbacks)
        {
            if (Calls(callback, "onReady") == 0)
                return false;
        }
        return true;
    }, 30000);
    UniqueHandle ready(
        CreateEventW(nullptr, TRUE, FALSE, (L"Local\\qvfx-soak-host-" + std::to_wstring(GetCurrentProcessId())).c_str()));
    SetEvent(ready.Get());
    Sleep(INFINITE);
    return 0;
}

// A Java process that used a player (and so the stub texture) and ends without clean-up.
int Campaign::RunExitChild(bool cleanUp)
{
    const jobject callback = jni.NewObject("TestWinPlayerCallback");
    Player::Setup setup;
    setup.path = jni.NewJavaString(L"stub.mp4");
    setup.callback = callback;
    setup.clientStub = true;
    Player player(*this, setup);
    WaitFor([&] { return Calls(callback, "onReady") > 0; }, 10000);
    exports.close(jni.Env(), nullptr, player.handle);
    player.Delete(10000);
    if (cleanUp)
        exports.shutdown(jni.Env(), nullptr);
    return 0;
}

long Argument(int argc, wchar_t** argv, int& i)
{
    return i + 1 < argc ? _wtol(argv[++i]) : 0;
}
} // namespace

int wmain(int argc, wchar_t** argv)
{
    Options options;
    long hostChild = -1;
    bool exitChild = false;
    bool cleanExit = false;
    for (int i = 1; i < argc; ++i)
    {
        const std::wstring arg = argv[i];
        if (arg == L"--quick")
        {
            options.quick = true;
            options.cycles = 10;
            options.every = 5;
            options.from = 5;
            options.kills = 10;
            options.closes = 10;
            options.commands = 40;
            options.blocks = 2000;
            options.bareStarts = 20;
            options.hostPlayers = 2;
        }
        else if (arg == L"--time-slack")
            options.slack = static_cast<DWORD>(std::max(1L, Argument(argc, argv, i)));
        else if (arg == L"--client-stub")
            options.clientStub = true;
        else if (arg == L"--seed")
            options.seed = static_cast<unsigned>(Argument(argc, argv, i));
        else if (arg == L"--cycles")
        {
            options.cycles = Argument(argc, argv, i);
            options.every = std::max(1L, options.cycles / 20);
            options.from = std::max(options.every, options.cycles / 10);
        }
        else if (arg == L"--kills")
            options.kills = Argument(argc, argv, i);
        else if (arg == L"--closes")
            options.closes = Argument(argc, argv, i);
        else if (arg == L"--commands")
            options.commands = Argument(argc, argv, i);
        else if (arg == L"--blocks")
            options.blocks = Argument(argc, argv, i);
        else if (arg == L"--only" && i + 1 < argc)
        {
            char name[64];
            snprintf(name, sizeof(name), "%ls", argv[++i]);
            options.only = name;
        }
        else if (arg == L"--host-child")
            hostChild = Argument(argc, argv, i);
        else if (arg == L"--exit-child")
            exitChild = true;
        else if (arg == L"--clean-exit-child")
            exitChild = cleanExit = true;
        else
        {
            printf("unknown argument %ls\n", argv[i]);
            return 100;
        }
    }
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    HMODULE library = LoadLibraryW((BinFolder() + L"\\qvfx.dll").c_str());
    int result = 0;
    {
        Campaign campaign(options, library);
        if (hostChild >= 0)
            return campaign.RunHostChild(hostChild);
        if (exitChild)
            return campaign.RunExitChild(cleanExit);
        result = campaign.Run();
    }
    if (library)
        FreeLibrary(library);
    return result;
}
