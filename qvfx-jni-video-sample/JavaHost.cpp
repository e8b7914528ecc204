#include "JavaHost.h"

#include "Log.h"

#include <windows.h>

#include <sstream>

namespace
{
using CreateJavaVmFunction = jint(JNICALL*)(JavaVM**, void**, void*);

const char* const kCallbackClass = "TestWinPlayerCallback";

// jvm.dll stays loaded for the life of the process: a VM cannot be unloaded.
CreateJavaVmFunction FindCreateJavaVm()
{
    HMODULE jvm = LoadLibraryW(L"jvm.dll");
    if (!jvm)
    {
        std::ostringstream text;
        text << "jvm.dll not found, error " << GetLastError();
        Log("wWinMain [ERROR]", text);
        return nullptr;
    }
    auto create = reinterpret_cast<CreateJavaVmFunction>(GetProcAddress(jvm, "JNI_CreateJavaVM"));
    if (!create)
        Log("wWinMain [ERROR]", "jvm.dll has no JNI_CreateJavaVM");
    return create;
}

template <typename Reference>
void DeleteGlobal(JNIEnv* env, Reference& reference)
{
    if (reference)
        env->DeleteGlobalRef(reference);
    reference = nullptr;
}
} // namespace

int CreateJavaObjects(JavaObjects& java, JNIEnv*& env)
{
    env = nullptr;
    CreateJavaVmFunction createJavaVm = FindCreateJavaVm();
    if (!createJavaVm)
        return HOST_EXIT_JVM;

    char classPath[] = "-Djava.class.path=.";
    char initialHeap[] = "-Xms32m";
    char maximumHeap[] = "-Xmx64m";
    char collector[] = "-XX:-UseSerialGC";
    char minFree[] = "-XX:MinHeapFreeRatio=1";
    char maxFree[] = "-XX:MaxHeapFreeRatio=1";
    JavaVMOption options[] = {{classPath, nullptr}, {initialHeap, nullptr}, {maximumHeap, nullptr},
                              {collector, nullptr}, {minFree, nullptr},     {maxFree, nullptr}};
    JavaVMInitArgs arguments = {};
    arguments.version = JNI_VERSION_1_8;
    arguments.nOptions = static_cast<jint>(sizeof(options) / sizeof(options[0]));
    arguments.options = options;
    arguments.ignoreUnrecognized = JNI_FALSE;
    void* createdEnv = nullptr;
    const jint created = createJavaVm(&java.vm, &createdEnv, &arguments);
    if (created != JNI_OK || !java.vm || !createdEnv)
    {
        std::ostringstream text;
        text << "JNI_CreateJavaVM failed, " << created;
        Log("wWinMain [ERROR]", text);
        java.vm = nullptr;
        return HOST_EXIT_JVM;
    }
    env = static_cast<JNIEnv*>(createdEnv);

    jclass found = env->FindClass(kCallbackClass);
    if (!found)
    {
        Log("wWinMain [ERROR]", std::string("class not found: ") + kCallbackClass);
        return HOST_EXIT_CLASS;
    }
    jmethodID constructor = env->GetMethodID(found, "<init>", "()V");
    if (!constructor)
    {
        Log("wWinMain [ERROR]", "constructor not found");
        env->DeleteLocalRef(found);
        return HOST_EXIT_CONSTRUCTOR;
    }
    jobject instance = env->NewObject(found, constructor);
    env->DeleteLocalRef(found);
    if (!instance)
    {
        Log("wWinMain [ERROR]", "NewObject failed");
        return HOST_EXIT_NEW_OBJECT;
    }
    java.callback = env->NewGlobalRef(instance);
    env->DeleteLocalRef(instance);
    if (!java.callback)
    {
        Log("wWinMain [ERROR]", "NewGlobalRef failed");
        return HOST_EXIT_GLOBAL_REF;
    }
    jclass callbackClass = env->GetObjectClass(java.callback);
    if (callbackClass)
    {
        java.callbackClass = static_cast<jclass>(env->NewGlobalRef(callbackClass));
        env->DeleteLocalRef(callbackClass);
    }
    if (java.callbackClass)
        java.getLastError = env->GetMethodID(java.callbackClass, "getLastError", "()Ljava/lang/String;");
    if (!java.callbackClass || !java.getLastError)
    {
        Log("wWinMain [ERROR]", "getLastError not found");
        return HOST_EXIT_GET_LAST_ERROR;
    }

    const std::wstring media = HostSettings::kTestMedia;
    jstring mediaPath = env->NewString(reinterpret_cast<const jchar*>(media.c_str()), static_cast<jsize>(media.size()));
    if (mediaPath)
    {
        java.mediaPath = static_cast<jstring>(env->NewGlobalRef(mediaPath));
        env->DeleteLocalRef(mediaPath);
    }
    if (!java.mediaPath)
    {
        Log("wWinMain [ERROR]", "media path string not made");
        return HOST_EXIT_MEDIA_PATH;
    }
    return 0;
}

void ReleaseJavaObjects(JavaObjects& java, JNIEnv* env)
{
    if (!java.vm || !env)
        return;
    DeleteGlobal(env, java.mediaPath);
    DeleteGlobal(env, java.callbackClass);
    DeleteGlobal(env, java.callback);
    java.getLastError = nullptr;
    const jint destroyed = java.vm->DestroyJavaVM();
    if (destroyed != JNI_OK)
    {
        std::ostringstream text;
        text << "DestroyJavaVM failed, " << destroyed;
        Log("wWinMain [ERROR]", text);
    }
    java.vm = nullptr;
}

std::string CallGetLastError(JNIEnv* env, const JavaObjects& java)
{
    if (!env || !java.callback || !java.getLastError)
        return std::string();
    auto text = static_cast<jstring>(env->CallObjectMethod(java.callback, java.getLastError));
    if (!text)
        return std::string();
    std::string result;
    if (const char* chars = env->GetStringUTFChars(text, nullptr))
    {
        result = chars;
        env->ReleaseStringUTFChars(text, chars);
    }
    env->DeleteLocalRef(text);
    return result;
}

JvmThreadScope::JvmThreadScope(JavaVM* vm) : m_vm(vm)
{
    if (!m_vm)
        return;
    void* env = nullptr;
    const jint got = m_vm->GetEnv(&env, JNI_VERSION_1_8);
    if (got == JNI_EDETACHED)
    {
        env = nullptr;
        if (m_vm->AttachCurrentThread(&env, nullptr) == JNI_OK && env)
            m_attachedHere = true;
        else
            env = nullptr;
    }
    else if (got != JNI_OK)
    {
        env = nullptr;
    }
    m_env = static_cast<JNIEnv*>(env);
}

JvmThreadScope::~JvmThreadScope()
{
    if (m_attachedHere)
        m_vm->DetachCurrentThread();
}
