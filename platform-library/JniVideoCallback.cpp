#include "JniVideoCallback.h"

#include "HexText.h"
#include "JniString.h"
#include "Log.h"
#include "Utf8.h"
#include "VideoPlayerClient.h"

#include <windows.h>


namespace
{
const char kConstructorErrorTag[] = "[ERROR] JniVideoCallback::JniVideoCallback";

// A failed lookup leaves NoSuchMethodError pending; the next JNI call would
// run with it pending, and _nCreate would hand Java an exception with a live player.
jmethodID LookUpMethod(JNIEnv* env, jclass cls, const char* name, const char* signature, const char* missingText)
{
    jmethodID id = cls ? env->GetMethodID(cls, name, signature) : nullptr;
    if (!id)
    {
        if (env->ExceptionCheck())
            env->ExceptionClear();
        Log(kConstructorErrorTag, missingText);
    }
    return id;
}

// A Java method that threw leaves its exception pending, and no later JNI call
// on this thread may run with one pending: it is described, cleared and logged.
void ClearJavaException(JNIEnv* env, const char* tag)
{
    if (!env->ExceptionCheck())
        return;
    env->ExceptionDescribe();
    env->ExceptionClear();
    Log(tag, "Java exception cleared");
}
} // namespace

JniThreadScope::JniThreadScope(JavaVM* vm) : m_vm(vm)
{
    if (!m_vm)
        return;
    const jint result = m_vm->GetEnv(reinterpret_cast<void**>(&m_env), JNI_VERSION_1_8);
    if (result == JNI_EDETACHED)
    {
        m_env = nullptr;
        if (m_vm->AttachCurrentThread(reinterpret_cast<void**>(&m_env), nullptr) == JNI_OK && m_env)
        {
            m_attachedHere = true;
            m_usable = true;
        }
    }
    else
        m_usable = m_env != nullptr;
}

JniThreadScope::~JniThreadScope()
{
    if (m_attachedHere)
        m_vm->DetachCurrentThread();
}

JniVideoCallback::JniVideoCallback(JavaVM* vm, JNIEnv* env, jobject javaCallback) : m_pJvm(vm)
{
    if (!javaCallback || !env)
        return;
    m_callbackObject = env->NewGlobalRef(javaCallback);
    jclass cls = env->GetObjectClass(javaCallback);
    m_onErrorMID = LookUpMethod(env, cls, "onError", "(IJJLjava/lang/String;)V", "onErrorMID is not retrieved");
    m_onEventMID = LookUpMethod(env, cls, "onEvent", "(IJ)V", "onEventMID is not retrieved");
    m_onReadyMID = LookUpMethod(env, cls, "onReady", "()V", "onReadyMID is not retrieved");
    m_onDestroyMID = LookUpMethod(env, cls, "onDestroy", "()V", "onDestroyMID is not retrieved");
    if (cls)
        env->DeleteLocalRef(cls);
}

JniVideoCallback::~JniVideoCallback()
{
    const char tag[] = "JniVideoCallback::~JniVideoCallback";
    JniThreadScope jvmThread(m_pJvm);
    if (!jvmThread.IsUsable())
    {
        // Without an environment the reference cannot be deleted; it stays.
        Log("[ERROR] JniVideoCallback::~JniVideoCallback", "no thread is attached");
        return;
    }
    if (m_callbackObject)
    {
        Log(tag, "releasing callback");
        onDestroy();
        jvmThread.Env()->DeleteGlobalRef(m_callbackObject);
        m_callbackObject = nullptr;
    }
    else
        Log(tag, "no callback");
}

void JniVideoCallback::onError(VideoPlayerClient*, uint32_t code, int64_t param1, int64_t param2,
                               const std::string& text)
{
    const char tag[] = "JniVideoCallback::onError";
    Log(tag, "enter");
    const std::string line = "JniVideoCallback::onError " + text + "\n";
    OutputDebugStringA(line.c_str());
    Log(tag, line);

    JniThreadScope jvmThread(m_pJvm);
    if (!jvmThread.IsUsable())
    {
        OutputDebugStringA("onError: env not attached");
        return;
    }
    if (m_callbackObject && m_onErrorMID)
    {
        Log(tag, "enter callback");
        JNIEnv* env = jvmThread.Env();
        // Java takes modified UTF-8 only; UTF-16 carries every character of
        // the server's UTF-8, and its invalid bytes as U+FFFD.
        const std::wstring wide = ToUtf16Lenient(text);
        jstring javaText = NewJavaString(env, wide.c_str(), wide.size());
        ClearJavaException(env, tag);
        env->CallVoidMethod(m_callbackObject, m_onErrorMID, static_cast<jint>(code), static_cast<jlong>(param1),
                            static_cast<jlong>(param2), javaText);
        ClearJavaException(env, tag);
        if (javaText)
            env->DeleteLocalRef(javaText);
        Log(tag, "finish");
    }
    else
        Log("JniVideoCallback:onError", "no callback or method id");
}

void JniVideoCallback::onEvent(VideoPlayerClient*, int32_t code, int64_t value)
{
    const char tag[] = "JniVideoCallback::onEvent";
    Log(tag, "enter");
    const std::string line = "JniVideoCallback::onEvent " + Hex(code) + " " + Hex(value) + "\n";
    OutputDebugStringA(line.c_str());

    JniThreadScope jvmThread(m_pJvm);
    if (!jvmThread.IsUsable())
    {
        Log(tag, "onEvent: env not attached");
        return;
    }
    if (m_callbackObject && m_onEventMID)
    {
        jvmThread.Env()->CallVoidMethod(m_callbackObject, m_onEventMID, static_cast<jint>(code),
                                        static_cast<jlong>(value));
        ClearJavaException(jvmThread.Env(), tag);
    }
    else
        Log("JniVideoCallback:onEvent", "no callback or method id");
}

void JniVideoCallback::onReady(VideoPlayerClient* player, HWND)
{
    Log("JniVideoCallback::onReady", "enter callback");
    JniThreadScope jvmThread(m_pJvm);
    if (!jvmThread.IsUsable())
        return;
    if (m_callbackObject && m_onReadyMID)
    {
        jvmThread.Env()->CallVoidMethod(m_callbackObject, m_onReadyMID);
        ClearJavaException(jvmThread.Env(), "JniVideoCallback::onReady");
    }
    else
    {
        Log("JniVideoCallback:onReady", "no callback or method id");
        // Nobody in Java waits for readiness, so the video starts by itself.
        if (player)
            player->Play();
    }
}

void JniVideoCallback::onDestroy()
{
    Log("JniVideoCallback:onDestroy", "enter callback");
    JniThreadScope jvmThread(m_pJvm);
    if (!jvmThread.IsUsable())
        return;
    if (m_callbackObject && m_onDestroyMID)
    {
        jvmThread.Env()->CallVoidMethod(m_callbackObject, m_onDestroyMID);
        ClearJavaException(jvmThread.Env(), "JniVideoCallback:onDestroy");
    }
    else
        Log("JniVideoCallback:onDestroy", "no callback or method id");
}

void JniVideoCallback::Release()
{
    delete this;
}
