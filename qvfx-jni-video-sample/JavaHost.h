// The host's Java virtual machine: made through JNI_CreateJavaVM of jvm.dll,
// found the way Windows finds any DLL (beside the program, then PATH).
#pragma once

#include "HostState.h"

#include <jni.h>

#include <string>

// Exit codes of the start-up steps that create the VM and the Java objects.
enum : int
{
    HOST_EXIT_WINDOW = -1,
    HOST_EXIT_COM = -101,
    HOST_EXIT_JVM = -1000,
    HOST_EXIT_CONSTRUCTOR = -2000,
    HOST_EXIT_NEW_OBJECT = -3000,
    HOST_EXIT_GLOBAL_REF = -4000,
    HOST_EXIT_MEDIA_PATH = -5000,
    HOST_EXIT_GET_LAST_ERROR = -6000,
    HOST_EXIT_CLASS = -10000,
};

// Creates the VM and the objects kept for the run; 0, or the exit code of
// the step that failed (what was made is left in java for the shut-down).
int CreateJavaObjects(JavaObjects& java, JNIEnv*& env);

// Deletes the global references, then destroys the VM. Call on the thread
// that created it.
void ReleaseJavaObjects(JavaObjects& java, JNIEnv* env);

// The callback's "getLastError" text in UTF-8; empty when there is none.
std::string CallGetLastError(JNIEnv* env, const JavaObjects& java);

// Attaches the calling thread to the VM for its scope, unless it already is.
class JvmThreadScope
{
public:
    explicit JvmThreadScope(JavaVM* vm);
    ~JvmThreadScope();
    JvmThreadScope(const JvmThreadScope&) = delete;
    JvmThreadScope& operator=(const JvmThreadScope&) = delete;

    JNIEnv* Env() const { return m_env; }

private:
    JavaVM* m_vm;
    JNIEnv* m_env = nullptr;
    bool m_attachedHere = false;
};
