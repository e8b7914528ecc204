// The JVM stand-in itself: the faults it must show (a test that trusts it
// would otherwise pass over them) and the behaviour that native code relies on.
#include "JniStandIn.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace
{
std::vector<std::string> g_misuse;

void CollectMisuse(const char* text)
{
    g_misuse.push_back(text);
}

// Collects misuse reports instead of failing the test, for the scope's life.
struct MisuseCollector
{
    MisuseCollector()
    {
        g_misuse.clear();
        JniStandIn::SetMisuseHandler(&CollectMisuse);
    }
    ~MisuseCollector() { JniStandIn::SetMisuseHandler(nullptr); }
    bool Saw(const std::string& piece) const
    {
        for (const std::string& text : g_misuse)
        {
            if (text.find(piece) != std::string::npos)
                return true;
        }
        return false;
    }
};
} // namespace

TEST(JvmStandIn, MisuseThatAJvmWouldPunishIsReported)
{
    JniStandIn jni;
    jni.AddPlayerCallbackClass();
    jni.AddClass("Other", {{"onReady", "()V", nullptr}});
    JNIEnv* env = jni.Env();
    jobject java = jni.NewObject("TestWinPlayerCallback");
    MisuseCollector misuse;

    std::thread([&] { env->NewStringUTF("wrong thread"); }).join();
    EXPECT_TRUE(misuse.Saw("NewStringUTF with the environment of another thread"));

    jobject global = env->NewGlobalRef(java);
    env->DeleteLocalRef(global);
    EXPECT_TRUE(misuse.Saw("DeleteLocalRef of a global reference"));
    env->DeleteGlobalRef(global);
    env->DeleteGlobalRef(global);
    EXPECT_TRUE(misuse.Saw("no live global reference"));
    env->CallVoidMethod(global, env->GetMethodID(env->GetObjectClass(java), "onReady", "()V"));
    EXPECT_TRUE(misuse.Saw("use of a deleted global reference"));

    jmethodID otherReady = env->GetMethodID(env->FindClass("Other"), "onReady", "()V");
    ASSERT_NE(nullptr, otherReady);
    env->CallVoidMethod(java, otherReady);
    EXPECT_TRUE(misuse.Saw("a method id of another class"));

    EXPECT_EQ(nullptr, env->GetMethodID(env->GetObjectClass(java), "onTick", "()V"));
    EXPECT_EQ("java/lang/NoSuchMethodError", jni.PendingException());
    env->GetMethodID(env->GetObjectClass(java), "onReady", "()V");
    EXPECT_TRUE(misuse.Saw("GetMethodID while java/lang/NoSuchMethodError is pending"));
    env->ExceptionClear();

    EXPECT_EQ(JNI_ERR, jni.Vm()->DetachCurrentThread());
    EXPECT_TRUE(misuse.Saw("DetachCurrentThread of a thread that Java runs"));
    EXPECT_TRUE(jni.Calls(java).empty()) << "no misused call may reach the object";
}

TEST(JvmStandIn, ThreadsAreAttachedOneByOne)
{
    JniStandIn jni;
    JNIEnv* main = jni.Env();
    std::thread([&] {
        JNIEnv* env = main;
        EXPECT_EQ(JNI_EDETACHED, jni.Vm()->GetEnv(reinterpret_cast<void**>(&env), JNI_VERSION_1_8));
        EXPECT_EQ(nullptr, env);
        ASSERT_EQ(JNI_OK, jni.Vm()->AttachCurrentThread(reinterpret_cast<void**>(&env), nullptr));
        EXPECT_NE(main, env);
        JNIEnv* again = nullptr;
        EXPECT_EQ(JNI_OK, jni.Vm()->GetEnv(reinterpret_cast<void**>(&again), JNI_VERSION_1_8));
        EXPECT_EQ(env, again);
        EXPECT_EQ(JNI_OK, jni.Vm()->AttachCurrentThread(reinterpret_cast<void**>(&again), nullptr));
        EXPECT_EQ(JNI_OK, jni.Vm()->DetachCurrentThread());
        EXPECT_FALSE(jni.IsAttached());
    }).join();
    EXPECT_EQ(1u, jni.Attaches()) << "attaching an attached thread is no new attach";
    EXPECT_EQ(1u, jni.Detaches());
    EXPECT_TRUE(jni.IsAttached());

    // A native thread that ends attached is a leak; a Java thread's end is not.
    std::thread([&] {
        JNIEnv* env = nullptr;
        jni.Vm()->AttachCurrentThread(reinterpret_cast<void**>(&env), nullptr);
    }).join();
    std::thread([&] { jni.Env(); }).join();
    EXPECT_EQ(1u, jni.ThreadsEndedAttached());
}

TEST(JvmStandIn, ThrownExceptionsAndLongArraysBehaveAsInAJvm)
{
    JniStandIn jni;
    JNIEnv* env = jni.Env();
    EXPECT_EQ(nullptr, env->FindClass("com/example/Missing"));
    EXPECT_EQ("java/lang/NoClassDefFoundError", jni.PendingException());
    jni.ClearException();

    jclass exception = env->FindClass("java/lang/Exception");
    ASSERT_NE(nullptr, exception);
    EXPECT_EQ(JNI_OK, env->ThrowNew(exception, "null D3DContext"));
    EXPECT_TRUE(env->ExceptionCheck());
    ASSERT_EQ(1u, jni.Thrown().size());
    EXPECT_EQ("java/lang/Exception", jni.Thrown()[0].className);
    EXPECT_EQ("null D3DContext", jni.Thrown()[0].text);
    EXPECT_EQ(GetCurrentThreadId(), jni.Thrown()[0].threadId);
    jni.ClearException();

    jlongArray array = env->NewLongArray(4);
    EXPECT_EQ(4, env->GetArrayLength(array));
    const jlong values[] = {1280, 720, 22, -1};
    env->SetLongArrayRegion(array, 0, 4, values);
    EXPECT_EQ((std::vector<jlong>{1280, 720, 22, -1}), jni.LongArray(array));
    env->SetLongArrayRegion(array, 2, 3, values);
    EXPECT_EQ("java/lang/ArrayIndexOutOfBoundsException", jni.PendingException());
    EXPECT_EQ((std::vector<jlong>{1280, 720, 22, -1}), jni.LongArray(array)) << "a refused write changes nothing";
    jni.ClearException();
    jlong read[2] = {};
    env->GetLongArrayRegion(jni.NewLongArray({5, 6, 7}), 1, 2, read);
    EXPECT_EQ(6, read[0]);
    EXPECT_EQ(7, read[1]);
    env->DeleteLocalRef(array);
    env->DeleteLocalRef(exception);
    EXPECT_EQ(0u, jni.LiveLocalRefs());
}

TEST(JvmStandIn, AHostMakesThePlayerCallbackAndReadsItsLastError)
{
    JniStandIn jni;
    jni.AddPlayerCallbackClass();
    JNIEnv* env = jni.Env();
    jclass cls = env->FindClass("TestWinPlayerCallback");
    ASSERT_NE(nullptr, cls);
    jobject java = env->NewObject(cls, env->GetMethodID(cls, "<init>", "()V"));
    ASSERT_NE(nullptr, java);
    jmethodID onError = env->GetMethodID(cls, "onError", "(IJJLjava/lang/String;)V");
    jmethodID getLastError = env->GetMethodID(cls, "getLastError", "()Ljava/lang/String;");
    env->CallVoidMethod(java, onError, 1, jlong(2), jlong(3), env->NewStringUTF("first"));
    env->CallVoidMethod(java, onError, 4, jlong(5), jlong(6), env->NewStringUTF("second \xC3\xA9"));

    auto text = static_cast<jstring>(env->CallObjectMethod(java, getLastError));
    const char* chars = env->GetStringUTFChars(text, nullptr);
    ASSERT_NE(nullptr, chars);
    EXPECT_EQ(std::string("second \xC3\xA9"), chars);
    EXPECT_EQ(1u, jni.PinnedStrings());
    env->ReleaseStringUTFChars(text, chars);
    EXPECT_EQ(0u, jni.PinnedStrings());
    EXPECT_EQ(L"second \u00e9", JniStandIn::Text(text));
    EXPECT_EQ((std::vector<jlong>{4, 5, 6}), jni.Calls(java)[1].integers);
}

TEST(JvmStandIn, ForgettingRecordsKeepsObjectsAndReferencesUsable)
{
    JniStandIn jni;
    jni.AddPlayerCallbackClass();
    JNIEnv* env = jni.Env();
    jobject java = jni.NewObject("TestWinPlayerCallback");
    jobject global = env->NewGlobalRef(java);
    jmethodID onReady = env->GetMethodID(env->GetObjectClass(java), "onReady", "()V");
    env->CallVoidMethod(global, onReady);
    env->ThrowNew(env->FindClass("java/lang/Exception"), "x");
    jni.ClearException();

    jni.ForgetRecords();
    EXPECT_TRUE(jni.Calls(java).empty());
    EXPECT_TRUE(jni.Journal().empty());
    EXPECT_TRUE(jni.Thrown().empty());
    EXPECT_EQ(1u, jni.LiveGlobalRefs());
    env->CallVoidMethod(global, onReady);
    EXPECT_EQ(1u, jni.Calls(java).size());
    env->DeleteGlobalRef(global);
}
