// The player exports of qvfx.dll as Java calls them: a player thread creates,
// runs and deletes the player while the test's thread sends commands and
// queries, against the real server, in client stub mode and on failures.
#include "JniStandIn.h"
#include "QvfxLibrary.h"
#include "VideoLogMark.h"

#include "com_quorvane_player_platform_impl_ui_view_win_d3d_WinNativeVideo.h"

#include "Handles.h"
#include "VideoPlayerClient.h"
#include "VideoPlayerMsg.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <string>
#include <thread>
#include <vector>

namespace
{
#define QV_VIDEO(name) Java_com_quorvane_player_platform_impl_ui_view_win_d3d_WinNativeVideo__1n##name

struct VideoExports
{
    explicit VideoExports(const QvfxLibrary& library)
        : create(QV_EXPORT(library, QV_VIDEO(Create))), run(QV_EXPORT(library, QV_VIDEO(RunMessageLoop))),
          close(QV_EXPORT(library, QV_VIDEO(Close))), del(QV_EXPORT(library, QV_VIDEO(Delete))),
          play(QV_EXPORT(library, QV_VIDEO(Play))), resume(QV_EXPORT(library, QV_VIDEO(Resume))),
          pause(QV_EXPORT(library, QV_VIDEO(Pause))), setPosition(QV_EXPORT(library, QV_VIDEO(SetPosition))),
          getPosition(QV_EXPORT(library, QV_VIDEO(GetPosition))),
          getDuration(QV_EXPORT(library, QV_VIDEO(GetDuration))), setLoop(QV_EXPORT(library, QV_VIDEO(SetLoopEnabled))),
          getLoop(QV_EXPORT(library, QV_VIDEO(GetLoopEnabled))), setMute(QV_EXPORT(library, QV_VIDEO(SetMute))),
          getMute(QV_EXPORT(library, QV_VIDEO(GetMute))), setVolume(QV_EXPORT(library, QV_VIDEO(SetSoundVolume))),
          getVolume(QV_EXPORT(library, QV_VIDEO(GetSoundVolume))),
          hintSize(QV_EXPORT(library, QV_VIDEO(HintRenderSize))),
          lastError(QV_EXPORT(library, QV_VIDEO(GetLastErrorString))),
          shutdown(QV_EXPORT(library, QV_VIDEO(ShutdownCleanup))),
          getFrame(QV_EXPORT(library, QV_VIDEO(GetFrameTexture)))
    {
    }
    bool Complete() const
    {
        return create && run && close && del && play && resume && pause && setPosition && getPosition && getDuration &&
               setLoop && getLoop && setMute && getMute && setVolume && getVolume && hintSize && lastError &&
               shutdown && getFrame;
    }

    decltype(&QV_VIDEO(Create)) create;
    decltype(&QV_VIDEO(RunMessageLoop)) run;
    decltype(&QV_VIDEO(Close)) close;
    decltype(&QV_VIDEO(Delete)) del;
    decltype(&QV_VIDEO(Play)) play;
    decltype(&QV_VIDEO(Resume)) resume;
    decltype(&QV_VIDEO(Pause)) pause;
    decltype(&QV_VIDEO(SetPosition)) setPosition;
    decltype(&QV_VIDEO(GetPosition)) getPosition;
    decltype(&QV_VIDEO(GetDuration)) getDuration;
    decltype(&QV_VIDEO(SetLoopEnabled)) setLoop;
    decltype(&QV_VIDEO(GetLoopEnabled)) getLoop;
    decltype(&QV_VIDEO(SetMute)) setMute;
    decltype(&QV_VIDEO(GetMute)) getMute;
    decltype(&QV_VIDEO(SetSoundVolume)) setVolume;
    decltype(&QV_VIDEO(GetSoundVolume)) getVolume;
    decltype(&QV_VIDEO(HintRenderSize)) hintSize;
    decltype(&QV_VIDEO(GetLastErrorString)) lastError;
    decltype(&QV_VIDEO(ShutdownCleanup)) shutdown;
    decltype(&QV_VIDEO(GetFrameTexture)) getFrame;
};

// What the player thread is asked to do before it creates the player.
enum class Apartment
{
    NONE,
    SINGLE_THREADED,
    MULTI_THREADED,
};

struct PlayerOptions
{
    const wchar_t* media = nullptr; // null: Java passes null
    jobject callback = nullptr;
    bool clientStub = false;
    bool serverStub = false;
    float start = 0.0f;
    Apartment apartment = Apartment::NONE;
};

// A Java thread that creates the player, runs its loop and, once told, deletes it.
class PlayerThread
{
public:
    PlayerThread(VideoExports& exports, JniStandIn& jni, const PlayerOptions& options)
        : m_exports(exports), m_created(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
          m_loopEnded(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
          m_deleteNow(CreateEventW(nullptr, TRUE, FALSE, nullptr))
    {
        m_thread = std::thread([this, &jni, options] { Body(jni, options); });
        WaitForSingleObject(m_created.Get(), 30000);
    }
    ~PlayerThread()
    {
        if (m_thread.joinable())
        {
            if (WaitForSingleObject(m_loopEnded.Get(), 0) != WAIT_OBJECT_0)
                m_exports.close(nullptr, nullptr, handle);
            Delete();
        }
    }

    bool WaitLoopEnd(DWORD timeoutMs = 20000) { return WaitForSingleObject(m_loopEnded.Get(), timeoutMs) == 0; }
    // Lets the thread delete the player after its loop and waits for it.
    void Delete()
    {
        SetEvent(m_deleteNow.Get());
        if (WaitForSingleObject(m_loopEnded.Get(), 20000) == WAIT_OBJECT_0)
            m_thread.join();
        else
            m_thread.detach(); // a hung loop must not hang the whole program
    }

    jlong handle = 0;
    DWORD threadId = 0;
    std::atomic<jint> loopResult{1};
    std::atomic<bool> deleted{false};
    HRESULT apartmentAfter = E_FAIL; // a fresh single-threaded start after the test's own uninit

private:
    void Body(JniStandIn& jni, PlayerOptions options)
    {
        threadId = GetCurrentThreadId();
        if (options.apartment != Apartment::NONE)
            CoInitializeEx(nullptr, options.apartment == Apartment::SINGLE_THREADED ? COINIT_APARTMENTTHREADED
                                                                                    : COINIT_MULTITHREADED);
        JNIEnv* env = jni.Env();
        jstring path = options.media ? jni.NewJavaString(options.media) : nullptr;
        handle = m_exports.create(env, nullptr, 0, path, options.start, 0.0f, 0.5f, JNI_FALSE, options.callback,
                                  options.clientStub ? JNI_TRUE : JNI_FALSE, options.serverStub ? JNI_TRUE : JNI_FALSE);
        SetEvent(m_created.Get());
        if (handle)
            loopResult = m_exports.run(env, nullptr, handle);
        SetEvent(m_loopEnded.Get());
        WaitForSingleObject(m_deleteNow.Get(), INFINITE);
        if (handle)
            deleted = m_exports.del(env, nullptr, handle) != JNI_FALSE;
        if (options.apartment != Apartment::NONE)
        {
            CoUninitialize();
            apartmentAfter = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
            if (SUCCEEDED(apartmentAfter))
                CoUninitialize();
        }
    }

    VideoExports& m_exports;
    UniqueHandle m_created;
    UniqueHandle m_loopEnded;
    UniqueHandle m_deleteNow;
    std::thread m_thread;
};

class VideoExportTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(library.Module() != nullptr);
        ASSERT_TRUE(exports.Complete());
        jni.AddPlayerCallbackClass();
        callback = jni.NewObject("TestWinPlayerCallback");
    }

    bool WaitForCall(const std::string& method, DWORD timeoutMs = 20000)
    {
        return WaitFor([&] { return CallCount(method) > 0; }, timeoutMs);
    }
    size_t CallCount(const std::string& method)
    {
        size_t count = 0;
        for (const JavaCall& call : jni.Calls(callback))
            count += call.method == method ? 1 : 0;
        return count;
    }
    std::vector<std::string> ErrorTexts()
    {
        std::vector<std::string> texts;
        for (const JavaCall& call : jni.Calls(callback))
        {
            if (call.method == "onError")
                texts.push_back(call.texts.empty() ? "" : call.texts[0]);
        }
        return texts;
    }
    // onDestroy is the last call Java receives, and then the reference goes.
    void ExpectDestroyedLast()
    {
        const std::vector<JavaCall> calls = jni.Calls(callback);
        ASSERT_FALSE(calls.empty());
        EXPECT_EQ("onDestroy", calls.back().method);
        EXPECT_EQ(1u, CallCount("onDestroy"));
        const std::vector<std::string> journal = jni.Journal();
        ASSERT_FALSE(journal.empty());
        EXPECT_EQ("DeleteGlobalRef TestWinPlayerCallback", journal.back());
        EXPECT_EQ(0u, jni.LiveGlobalRefs());
        EXPECT_EQ(0u, jni.PinnedStrings());
    }
    std::wstring LastErrorString(jlong handle) { return JniStandIn::Text(exports.lastError(env, nullptr, handle)); }

    QvfxLibrary library;
    VideoExports exports{library};
    JniStandIn jni;
    JNIEnv* env = jni.Env();
    jobject callback = nullptr;
};
} // namespace

TEST_F(VideoExportTest, HandleZeroDoesNothingAndGivesEachExportsFailureValue)
{
    VideoLogMark mark;
    EXPECT_EQ(-1000, exports.run(env, nullptr, 0));
    EXPECT_EQ(1u, CountOf(mark.NewText(), "[WinNativeVideo__1nRunMessageLoop] no player, exiting"));
    EXPECT_FALSE(exports.close(env, nullptr, 0));
    EXPECT_TRUE(exports.del(env, nullptr, 0));
    EXPECT_FALSE(exports.play(env, nullptr, 0));
    EXPECT_FALSE(exports.resume(env, nullptr, 0));
    EXPECT_FALSE(exports.pause(env, nullptr, 0));
    EXPECT_FALSE(exports.setPosition(env, nullptr, 0, 1.5));
    EXPECT_EQ(0.0, exports.getPosition(env, nullptr, 0));
    EXPECT_EQ(0.0, exports.getDuration(env, nullptr, 0));
    EXPECT_FALSE(exports.setLoop(env, nullptr, 0, JNI_TRUE));
    EXPECT_FALSE(exports.getLoop(env, nullptr, 0));
    EXPECT_FALSE(exports.setMute(env, nullptr, 0, JNI_TRUE));
    EXPECT_FALSE(exports.getMute(env, nullptr, 0));
    EXPECT_FALSE(exports.setVolume(env, nullptr, 0, 0.5f));
    EXPECT_EQ(0.0f, exports.getVolume(env, nullptr, 0));
    EXPECT_TRUE(exports.hintSize(env, nullptr, 0, 0));
    EXPECT_EQ(L"not initialized", LastErrorString(0));
    EXPECT_EQ(0u, jni.Attaches());
}

TEST_F(VideoExportTest, APlayerPlaysTheClipThroughTheRealServerAndEndsWithDestroy)
{
    PlayerOptions options;
    const std::wstring media = TestMedia(L"clip-av.mp4");
    options.media = media.c_str();
    options.callback = callback;
    PlayerThread player(exports, jni, options);
    ASSERT_NE(0, player.handle);
    ASSERT_TRUE(WaitForCall("onReady")) << "errors: " << ErrorTexts().size();

    EXPECT_NEAR(4.0, exports.getDuration(env, nullptr, player.handle), 0.25);
    EXPECT_TRUE(exports.play(env, nullptr, player.handle));
    EXPECT_TRUE(WaitFor([&] { return exports.getPosition(env, nullptr, player.handle) > 0.2; }, 15000));
    EXPECT_TRUE(exports.pause(env, nullptr, player.handle));
    EXPECT_TRUE(exports.resume(env, nullptr, player.handle));
    EXPECT_TRUE(exports.setPosition(env, nullptr, player.handle, 0.5));
    EXPECT_TRUE(exports.setLoop(env, nullptr, player.handle, JNI_TRUE));
    EXPECT_TRUE(WaitFor([&] { return exports.getLoop(env, nullptr, player.handle) == JNI_TRUE; }, 5000));
    // The unsupported ones never reach the server, whatever the player.
    EXPECT_FALSE(exports.setVolume(env, nullptr, player.handle, 0.1f));
    EXPECT_EQ(0.0f, exports.getVolume(env, nullptr, player.handle));
    EXPECT_FALSE(exports.setMute(env, nullptr, player.handle, JNI_TRUE));
    EXPECT_TRUE(exports.hintSize(env, nullptr, player.handle, 1280));
    EXPECT_EQ(L"get error not implemented", LastErrorString(player.handle));

    EXPECT_TRUE(exports.close(env, nullptr, player.handle));
    ASSERT_TRUE(player.WaitLoopEnd());
    EXPECT_EQ(0, player.loopResult);
    player.Delete();
    EXPECT_TRUE(player.deleted);

    EXPECT_TRUE(ErrorTexts().empty()) << ErrorTexts().front();
    for (const JavaCall& call : jni.Calls(callback))
        EXPECT_EQ(player.threadId, call.threadId) << call.method;
    ExpectDestroyedLast();
    EXPECT_EQ(0u, jni.Attaches());
}

TEST_F(VideoExportTest, ClientStubModeRunsWithoutAServerAndCloseStillEndsTheLoop)
{
    PlayerOptions options;
    options.media = L"no-server-is-started-for-this.mp4";
    options.callback = callback;
    options.clientStub = true;
    PlayerThread player(exports, jni, options);
    ASSERT_NE(0, player.handle);
    ASSERT_TRUE(WaitForCall("onReady"));

    EXPECT_EQ(10000.0, exports.getDuration(env, nullptr, player.handle));
    EXPECT_EQ(2000.0, exports.getPosition(env, nullptr, player.handle));
    EXPECT_TRUE(exports.getLoop(env, nullptr, player.handle));
    EXPECT_TRUE(exports.play(env, nullptr, player.handle));
    jlongArray frame = jni.NewLongArray({0, 0, 0, 0});
    EXPECT_EQ(0, exports.getFrame(env, nullptr, player.handle, frame));
    const std::vector<jlong> first = jni.LongArray(frame);
    EXPECT_EQ((std::vector<jlong>{1280, 720, 22}), std::vector<jlong>(first.begin(), first.begin() + 3));
    EXPECT_NE(0, first[3]);

    // The server never announced itself: no close is sent, yet the loop ends.
    EXPECT_FALSE(exports.close(env, nullptr, player.handle));
    ASSERT_TRUE(player.WaitLoopEnd());
    EXPECT_EQ(0, player.loopResult);
    player.Delete();
    ExpectDestroyedLast();
    EXPECT_TRUE(ErrorTexts().empty());

    // Players made later reuse the stub texture until clean-up makes a new one.
    auto stubHandle = [&] {
        PlayerThread later(exports, jni, options);
        jlongArray data = jni.NewLongArray({0, 0, 0, 0});
        EXPECT_EQ(0, exports.getFrame(env, nullptr, later.handle, data));
        return jni.LongArray(data)[3];
    };
    EXPECT_EQ(first[3], stubHandle());
    VideoLogMark mark;
    exports.shutdown(env, nullptr);
    EXPECT_EQ(1u, CountOf(mark.NewText(), "[WinNativeVideo__1nShutdownCleanup] destroying device"));
    // A new texture, though Windows may give it the freed handle value again.
    EXPECT_NE(0, stubHandle());
    exports.shutdown(env, nullptr);
    exports.shutdown(env, nullptr); // nothing left to release
}

TEST_F(VideoExportTest, AnEmptyPathGivesAPlayerWhoseFailureReachesJava)
{
    PlayerOptions options;
    options.media = L"";
    options.callback = callback;
    PlayerThread player(exports, jni, options);
    ASSERT_NE(0, player.handle);
    ASSERT_TRUE(WaitForCall("onError"));
    EXPECT_FALSE(ErrorTexts().front().empty());
    EXPECT_EQ(0u, CallCount("onReady"));

    // Java closes on the error; the loop ends whether or not it was entered.
    exports.close(env, nullptr, player.handle);
    ASSERT_TRUE(player.WaitLoopEnd());
    EXPECT_TRUE(player.loopResult == 0 || player.loopResult == -3) << player.loopResult;
    player.Delete();
    ExpectDestroyedLast();
}

TEST_F(VideoExportTest, ANullPathIsReportedAndTheCallbackIsReleased)
{
    VideoLogMark mark;
    const jlong handle =
        exports.create(env, nullptr, 0, nullptr, 0.0f, 0.0f, 1.0f, JNI_FALSE, callback, JNI_FALSE, JNI_FALSE);
    EXPECT_EQ(0, handle);
    const std::vector<JavaCall> calls = jni.Calls(callback);
    ASSERT_EQ(2u, calls.size());
    EXPECT_EQ("onError", calls[0].method);
    EXPECT_EQ((std::vector<jlong>{0, 0, 0}), calls[0].integers);
    EXPECT_EQ(std::vector<std::string>{"WinNativeVideo__1nCreate: error acquiring path string"}, calls[0].texts);
    ExpectDestroyedLast();
    EXPECT_EQ(1u, CountOf(mark.NewText(), "[WinNativeVideo__1nCreate] enter"));
}

TEST_F(VideoExportTest, ThePlayerLoopNeedsTheMultithreadedApartmentAndBalancesItsOwnStart)
{
    PlayerOptions options;
    options.media = L"x.mp4";
    options.callback = callback;
    options.clientStub = true;
    options.apartment = Apartment::SINGLE_THREADED;
    {
        PlayerThread player(exports, jni, options);
        ASSERT_NE(0, player.handle);
        ASSERT_TRUE(player.WaitLoopEnd());
        EXPECT_EQ(-2, player.loopResult);
        player.Delete();
        EXPECT_TRUE(player.deleted);
    }
    ExpectDestroyedLast();

    // A thread already in the multithreaded apartment leaves it fully once
    // its own start is undone: the loop undid the start it added.
    options.apartment = Apartment::MULTI_THREADED;
    PlayerThread player(exports, jni, options);
    ASSERT_TRUE(WaitFor([&] { return CallCount("onReady") > 0; }, 20000));
    exports.close(env, nullptr, player.handle);
    ASSERT_TRUE(player.WaitLoopEnd());
    EXPECT_EQ(0, player.loopResult);
    player.Delete();
    EXPECT_EQ(S_OK, player.apartmentAfter);
}

TEST_F(VideoExportTest, ClientWindowsStillWorkAfterTheLibraryWasUnloaded)
{
    PlayerOptions options;
    options.media = L"x.mp4";
    options.clientStub = true;
    {
        PlayerThread player(exports, jni, options);
        ASSERT_NE(0, player.handle);
        exports.close(env, nullptr, player.handle);
        ASSERT_TRUE(player.WaitLoopEnd());
    }
    library.Unload();

    // The program's own client window class must not lead into the freed library.
    VideoPlayerClient client(nullptr);
    ASSERT_TRUE(client.Init(0, OpenParameters()));
    EXPECT_EQ(1, SendMessageW(client.GetClientWindow(), WM_VP_ON_CREATED, 1, 0));
}

TEST_F(VideoExportTest, ServerStubModeStartsARealServerWithTheStubTexture)
{
    VideoLogMark mark;
    PlayerOptions options;
    const std::wstring media = TestMedia(L"clip-av.mp4");
    options.media = media.c_str();
    options.callback = callback;
    options.serverStub = true;
    PlayerThread player(exports, jni, options);
    ASSERT_NE(0, player.handle);
    ASSERT_TRUE(WaitForCall("onReady")) << "errors: " << ErrorTexts().size();
    EXPECT_EQ(1u, CountOf(mark.NewText(), " hStubTexture="));
    // The server answers without a player: no duration, and the stub as every frame.
    EXPECT_EQ(0.0, exports.getDuration(env, nullptr, player.handle));
    jlongArray frame = jni.NewLongArray({0, 0, 0, 0});
    EXPECT_EQ(0, exports.getFrame(env, nullptr, player.handle, frame));
    const std::vector<jlong> stub = jni.LongArray(frame);
    EXPECT_EQ((std::vector<jlong>{1280, 720, 22}), std::vector<jlong>(stub.begin(), stub.begin() + 3));
    EXPECT_NE(0, stub[3]);

    EXPECT_TRUE(exports.close(env, nullptr, player.handle));
    ASSERT_TRUE(player.WaitLoopEnd());
    EXPECT_EQ(0, player.loopResult);
    player.Delete();
    EXPECT_TRUE(ErrorTexts().empty());
    ExpectDestroyedLast();
}

TEST_F(VideoExportTest, TheEndOfTheMediaReachesJavaAsAnEventOnThePlayerThread)
{
    PlayerOptions options;
    const std::wstring media = TestMedia(L"clip-rgb.mp4");
    options.media = media.c_str();
    options.callback = callback;
    options.start = 2.0f;
    PlayerThread player(exports, jni, options);
    ASSERT_NE(0, player.handle);
    ASSERT_TRUE(WaitForCall("onReady"));
    EXPECT_TRUE(exports.play(env, nullptr, player.handle));
    // Polled as a shown player is: the presenter ends the stream once the
    // last frame has been taken.
    jlongArray frame = jni.NewLongArray({0, 0, 0, 0});
    ASSERT_TRUE(WaitFor(
        [&] {
            exports.getFrame(env, nullptr, player.handle, frame);
            return CallCount("onEvent") > 0;
        },
        15000));

    std::vector<JavaCall> events;
    for (const JavaCall& call : jni.Calls(callback))
    {
        if (call.method == "onEvent")
            events.push_back(call);
    }
    ASSERT_EQ(1u, events.size());
    EXPECT_EQ((std::vector<jlong>{VE_PLAY_COMPLETE, 1}), events[0].integers) << "with the graph's own event code";
    EXPECT_EQ(player.threadId, events[0].threadId);
    EXPECT_TRUE(exports.close(env, nullptr, player.handle));
    ASSERT_TRUE(player.WaitLoopEnd());
    player.Delete();
    ExpectDestroyedLast();
}
