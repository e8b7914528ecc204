// Forwards one player's notifications to a Java object through JNI, attaching
// the calling thread to the VM for the call when it is not attached yet.
#pragma once

#include "IVideoCallback.h"

#include <jni.h>

// Finds the calling thread's environment, attaching the thread for the life
// of the scope when it is not attached; a thread attached before is never
// detached here.
class JniThreadScope
{
public:
    explicit JniThreadScope(JavaVM* vm);
    ~JniThreadScope();

    JniThreadScope(const JniThreadScope&) = delete;
    JniThreadScope& operator=(const JniThreadScope&) = delete;

    JNIEnv* Env() const { return m_env; }
    bool IsUsable() const { return m_usable; }
    bool AttachedHere() const { return m_attachedHere; }

private:
    JNIEnv* m_env = nullptr;
    JavaVM* m_vm; // borrowed: the VM outlives every player
    bool m_attachedHere = false;
    bool m_usable = false;
};

class JniVideoCallback : public IVideoCallback
{
public:
    // javaCallback may be null; it is held through a global reference until
    // the destructor, which delivers onDestroy first.
    JniVideoCallback(JavaVM* vm, JNIEnv* env, jobject javaCallback);
    ~JniVideoCallback() override;

    JniVideoCallback(const JniVideoCallback&) = delete;
    JniVideoCallback& operator=(const JniVideoCallback&) = delete;

    void onError(VideoPlayerClient* player, uint32_t code, int64_t param1, int64_t param2,
                 const std::string& text) override;
    void onEvent(VideoPlayerClient* player, int32_t code, int64_t value) override;
    void onReady(VideoPlayerClient* player, HWND serverWindow) override;
    void Release() override;
    virtual void onDestroy();

private:
    JavaVM* m_pJvm;                     // borrowed
    jobject m_callbackObject = nullptr; // global reference, owned
    jmethodID m_onErrorMID = nullptr;
    jmethodID m_onEventMID = nullptr;
    jmethodID m_onReadyMID = nullptr;
    jmethodID m_onDestroyMID = nullptr;
};
