// The Java callback bridge against the JVM stand-in: what reaches the Java
// object, on which thread, with which references left behind.
#include "JniStandIn.h"
#include "JniVideoCallback.h"
#include "QvfxLibrary.h"
#include "VideoLogMark.h"

#include "HelperWindow.h"
#include "VideoPlayerClient.h"
#include "VideoPlayerMsg.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

namespace
{
// Stands in for a server window: records what the player posts to it.
class RecordingServerWindow : public WndMessageHandler
{
public:
    RecordingServerWindow() : m_window(L"qvTestVideoServerWindow", this) { m_window.Create(nullptr, true); }
    BOOL OnWindowMessage(HWND, UINT message, WPARAM, LPARAM, LRESULT* result) override
    {
        if (message >= WM_APP)
            messages.push_back(message);
        *result = 0;
        return message >= WM_APP;
    }
    HWND Hwnd() const { return m_window.GetHwnd(); }

    std::vector<UINT> messages;

private:
    HelperWindow m_window;
};

// A client whose server window is the recording window.
struct AnnouncedPlayer
{
    AnnouncedPlayer()
    {
        EXPECT_TRUE(player.Init(0, OpenParameters()));
        SendMessageW(player.GetClientWindow(), WM_VP_ON_CREATED, reinterpret_cast<WPARAM>(server.Hwnd()), 0);
    }
    bool Received(UINT message)
    {
        return PumpUntil(
            [&] {
                for (UINT seen : server.messages)
                {
                    if (seen == message)
                        return true;
                }
                return false;
            },
            2000);
    }

    RecordingServerWindow server;
    VideoPlayerClient player{nullptr};
};

class CallbackBridge : public ::testing::Test
{
protected:
    void SetUp() override { jni.AddPlayerCallbackClass(); }

    // Runs work on a native thread that the VM has never seen.
    template <typename Work>
    static DWORD OnNativeThread(Work work)
    {
        DWORD id = 0;
        std::thread native([&] {
            id = GetCurrentThreadId();
            work();
        });
        native.join();
        return id;
    }

    JniStandIn jni;
    JNIEnv* env = jni.Env();
};
} // namespace

TEST_F(CallbackBridge, WithoutAJavaObjectEveryCallIsSkippedAndReadinessStartsThePlayer)
{
    VideoLogMark mark;
    auto* callback = new JniVideoCallback(jni.Vm(), env, nullptr);
    EXPECT_EQ(0u, jni.LiveGlobalRefs());

    callback->onError(nullptr, VE_PLAY_ERROR, 0, 0, "boom");
    callback->onEvent(nullptr, VE_PLAY_COMPLETE, 0);
    AnnouncedPlayer announced;
    callback->onReady(&announced.player, announced.server.Hwnd());
    EXPECT_TRUE(announced.Received(WM_VP_RESUME));
    callback->Release();

    const std::string log = mark.NewText();
    EXPECT_EQ(1u, CountOf(log, "[JniVideoCallback:onError] no callback or method id"));
    EXPECT_EQ(1u, CountOf(log, "[JniVideoCallback:onEvent] no callback or method id"));
    EXPECT_EQ(1u, CountOf(log, "[JniVideoCallback:onReady] no callback or method id"));
    EXPECT_EQ(1u, CountOf(log, "[JniVideoCallback::~JniVideoCallback] no callback"));
    EXPECT_EQ(0u, CountOf(log, "[JniVideoCallback:onDestroy]"));
    EXPECT_TRUE(jni.Journal().empty());
}

TEST_F(CallbackBridge, EveryNotificationReachesJavaWithItsArgumentsAndDestroyComesLast)
{
    jobject java = jni.NewObject("TestWinPlayerCallback");
    auto* callback = new JniVideoCallback(jni.Vm(), env, java);
    EXPECT_EQ(1u, jni.LiveGlobalRefs());
    EXPECT_EQ(0u, jni.LiveLocalRefs()); // the class looked up is dropped again

    // UTF-8 as the server writes it: e-acute, a CJK character, an emoji.
    const std::string text = "\xC3\xA9rror \xE6\x97\xA5 \xF0\x9F\x98\x80";
    callback->onError(nullptr, VE_INIT_ERROR, -5, 0x100000000LL, text);
    callback->onEvent(nullptr, -1, 0x1234567890LL);
    AnnouncedPlayer announced;
    callback->onReady(&announced.player, announced.server.Hwnd());
    EXPECT_EQ(0u, jni.LiveLocalRefs()) << "the error text's string is a local reference to drop";
    callback->Release();

    const std::vector<JavaCall> calls = jni.Calls(java);
    ASSERT_EQ(4u, calls.size());
    EXPECT_EQ("onError", calls[0].method);
    EXPECT_EQ((std::vector<jlong>{static_cast<jint>(VE_INIT_ERROR), -5, 0x100000000LL}), calls[0].integers);
    EXPECT_EQ(std::vector<std::string>{text}, calls[0].texts);
    EXPECT_EQ("onEvent", calls[1].method);
    EXPECT_EQ((std::vector<jlong>{-1, 0x1234567890LL}), calls[1].integers);
    EXPECT_EQ("onReady", calls[2].method);
    EXPECT_EQ("onDestroy", calls[3].method);
    for (const JavaCall& call : calls)
        EXPECT_EQ(GetCurrentThreadId(), call.threadId);

    // With Java told about readiness, Java decides when to play.
    announced.Received(WM_VP_RESUME);
    EXPECT_TRUE(announced.server.messages.empty());
    const std::vector<std::string> journal = jni.Journal();
    ASSERT_GE(journal.size(), 2u);
    EXPECT_EQ("call TestWinPlayerCallback.onDestroy", journal[journal.size() - 2]);
    EXPECT_EQ("DeleteGlobalRef TestWinPlayerCallback", journal.back());
    EXPECT_EQ(0u, jni.LiveGlobalRefs());
    EXPECT_EQ(0u, jni.Attaches());
}

TEST_F(CallbackBridge, ErrorTextsReachJavaAsUtf16WithInvalidBytesReplaced)
{
    jobject java = jni.NewObject("TestWinPlayerCallback");
    auto* callback = new JniVideoCallback(jni.Vm(), env, java);
    callback->onError(nullptr, VE_PLAY_ERROR, 0, 0, "bad \xFF byte \xF0\x9F\x98\x80");
    callback->Release();
    ASSERT_FALSE(jni.Calls(java).empty());
    EXPECT_EQ(std::vector<std::string>{"bad \xEF\xBF\xBD byte \xF0\x9F\x98\x80"}, jni.Calls(java)[0].texts);
}

TEST_F(CallbackBridge, AnExceptionThrownByJavaIsDescribedAndClearedAfterEveryCall)
{
    jni.AddPlayerCallbackClass("Throwing", {}, "java/lang/IllegalStateException");
    jobject java = jni.NewObject("Throwing");
    auto* callback = new JniVideoCallback(jni.Vm(), env, java);
    VideoLogMark mark;
    callback->onError(nullptr, VE_PLAY_ERROR, 0, 0, "x");
    callback->onEvent(nullptr, 1, 0);
    callback->onReady(nullptr, nullptr);
    callback->Release();
    EXPECT_EQ("", jni.PendingException());
    EXPECT_EQ(4u, jni.Calls(java).size());
    const std::vector<std::string> journal = jni.Journal();
    EXPECT_EQ(4, std::count(journal.begin(), journal.end(), "ExceptionDescribe java/lang/IllegalStateException"));
    EXPECT_EQ(4u, CountOf(mark.NewText(), "Java exception cleared"));
    EXPECT_EQ(0u, jni.LiveGlobalRefs());
}

TEST_F(CallbackBridge, AMissingMethodIsLoggedAndOnlyItsCallsAreDropped)
{
    jni.AddPlayerCallbackClass("NoEvents", {"onEvent"});
    jobject java = jni.NewObject("NoEvents");
    VideoLogMark mark;
    auto* callback = new JniVideoCallback(jni.Vm(), env, java);
    // A failed lookup must not leave NoSuchMethodError pending for the caller.
    EXPECT_EQ("", jni.PendingException());
    callback->onEvent(nullptr, 2, 0);
    callback->onError(nullptr, 1, 0, 0, "still here");
    callback->Release();

    const std::string log = mark.NewText();
    EXPECT_EQ(1u, CountOf(log, "[[ERROR] JniVideoCallback::JniVideoCallback] onEventMID is not retrieved"));
    EXPECT_EQ(0u, CountOf(log, "onErrorMID is not retrieved"));
    EXPECT_EQ(1u, CountOf(log, "[JniVideoCallback:onEvent] no callback or method id"));
    std::vector<std::string> methods;
    for (const JavaCall& call : jni.Calls(java))
        methods.push_back(call.method);
    EXPECT_EQ((std::vector<std::string>{"onError", "onDestroy"}), methods);
    EXPECT_EQ(0u, jni.LiveGlobalRefs());
}

TEST_F(CallbackBridge, ANativeThreadIsAttachedForTheCallAndDetachedAfterIt)
{
    jobject java = jni.NewObject("TestWinPlayerCallback");
    auto* callback = new JniVideoCallback(jni.Vm(), env, java);

    const DWORD native = OnNativeThread([&] {
        callback->onEvent(nullptr, 7, 8);
        callback->onError(nullptr, 1, 2, 3, "x");
    });
    EXPECT_EQ(2u, jni.Attaches());
    EXPECT_EQ(2u, jni.Detaches());
    const std::vector<JavaCall> calls = jni.Calls(java);
    ASSERT_EQ(2u, calls.size());
    EXPECT_EQ(native, calls[0].threadId);
    EXPECT_EQ(native, calls[1].threadId);
    EXPECT_EQ(
        (std::vector<std::string>{"AttachCurrentThread", "call TestWinPlayerCallback.onEvent", "DetachCurrentThread",
                                  "AttachCurrentThread", "call TestWinPlayerCallback.onError", "DetachCurrentThread"}),
        jni.Journal());

    // A thread attached by someone else stays attached.
    OnNativeThread([&] {
        JNIEnv* own = nullptr;
        ASSERT_EQ(JNI_OK, jni.Vm()->AttachCurrentThread(reinterpret_cast<void**>(&own), nullptr));
        callback->onEvent(nullptr, 9, 9);
        EXPECT_TRUE(jni.IsAttached());
        jni.Vm()->DetachCurrentThread();
    });
    EXPECT_EQ(3u, jni.Attaches());
    EXPECT_EQ(3u, jni.Detaches());

    // The destructor on a native thread attaches once, for itself and onDestroy.
    OnNativeThread([&] { callback->Release(); });
    EXPECT_EQ(4u, jni.Attaches());
    EXPECT_EQ(4u, jni.Detaches());
    EXPECT_EQ("onDestroy", jni.Calls(java).back().method);
    EXPECT_EQ(0u, jni.LiveGlobalRefs());
    EXPECT_EQ(0u, jni.LiveLocalRefs());
    EXPECT_EQ(0u, jni.ThreadsEndedAttached());
}

TEST_F(CallbackBridge, NestedScopesAttachOnceAndOnlyTheOuterDetaches)
{
    OnNativeThread([&] {
        JniThreadScope outer(jni.Vm());
        EXPECT_TRUE(outer.IsUsable());
        EXPECT_TRUE(outer.AttachedHere());
        {
            JniThreadScope inner(jni.Vm());
            EXPECT_TRUE(inner.IsUsable());
            EXPECT_FALSE(inner.AttachedHere());
            EXPECT_EQ(outer.Env(), inner.Env());
        }
        EXPECT_TRUE(jni.IsAttached());
    });
    EXPECT_EQ(1u, jni.Attaches());
    EXPECT_EQ(1u, jni.Detaches());

    // On a Java thread nothing is attached or detached.
    {
        JniThreadScope scope(jni.Vm());
        EXPECT_TRUE(scope.IsUsable());
        EXPECT_FALSE(scope.AttachedHere());
        EXPECT_EQ(env, scope.Env());
    }
    EXPECT_TRUE(jni.IsAttached());
    EXPECT_EQ(1u, jni.Detaches());
}

TEST_F(CallbackBridge, WhenAttachingFailsNothingReachesJava)
{
    jobject java = jni.NewObject("TestWinPlayerCallback");
    auto* callback = new JniVideoCallback(jni.Vm(), env, java);
    jni.SetAttachFails(true);
    VideoLogMark mark;
    OnNativeThread([&] {
        callback->onError(nullptr, 1, 0, 0, "lost");
        callback->onEvent(nullptr, 1, 0);
        JniThreadScope scope(jni.Vm());
        EXPECT_FALSE(scope.IsUsable());
    });
    EXPECT_TRUE(jni.Calls(java).empty());
    EXPECT_EQ(1u, CountOf(mark.NewText(), "[JniVideoCallback::onEvent] onEvent: env not attached"));

    // Released where no thread can be attached, the reference cannot be
    // deleted and stays; released on a Java thread, it goes.
    auto* stranded = new JniVideoCallback(jni.Vm(), env, jni.NewObject("TestWinPlayerCallback"));
    OnNativeThread([&] { stranded->Release(); });
    EXPECT_EQ(1u, CountOf(mark.NewText(), "[[ERROR] JniVideoCallback::~JniVideoCallback] no thread is attached"));
    EXPECT_EQ(2u, jni.LiveGlobalRefs());
    jni.SetAttachFails(false);
    callback->Release();
    EXPECT_EQ(1u, jni.LiveGlobalRefs());
    EXPECT_EQ("onDestroy", jni.Calls(java).back().method);
}
