// A stand-in for the Java virtual machine, for testing the library's JNI
// exports where no Windows JVM exists. Test-only; grows with the library.
#pragma once

#include <jni.h>

#include <mutex>
#include <set>
#include <string>
#include <vector>

struct StandInString;

// A JNIEnv and a JavaVM whose function tables hold the functions the library
// calls; every other slot reports its own name as not implemented.
class JniStandIn
{
public:
    JniStandIn();
    ~JniStandIn();

    JniStandIn(const JniStandIn&) = delete;
    JniStandIn& operator=(const JniStandIn&) = delete;

    JNIEnv* Env() { return &m_envBlock.env; }
    JavaVM* Vm() { return &m_vmBlock.vm; }

    // A Java string, alive as long as the stand-in.
    jstring NewJavaString(const std::wstring& text);
    // The text of a string made by the stand-in (for a test or by the library).
    static std::wstring Text(jstring text);

    // Characters handed out by GetStringChars and not released yet.
    size_t PinnedStrings();
    // Strings made through the NewString function (by the code under test).
    size_t StringsMadeThroughJni();

    // Called with the slot name when an unimplemented JNI function is called.
    // By default it prints the name and fails the running test.
    using UnimplementedHandler = void (*)(const char* name);
    static void SetUnimplementedHandler(UnimplementedHandler handler);

private:
    struct EnvBlock
    {
        JNIEnv env;
        JniStandIn* owner;
    };
    struct VmBlock
    {
        JavaVM vm;
        JniStandIn* owner;
    };
    static JniStandIn* Owner(JNIEnv* env);
    static JniStandIn* Owner(JavaVM* vm);

    // Implemented JNIEnv functions.
    static jint JNICALL GetVersion(JNIEnv* env);
    static jstring JNICALL NewString(JNIEnv* env, const jchar* chars, jsize length);
    static jsize JNICALL GetStringLength(JNIEnv* env, jstring text);
    static const jchar* JNICALL GetStringChars(JNIEnv* env, jstring text, jboolean* isCopy);
    static void JNICALL ReleaseStringChars(JNIEnv* env, jstring text, const jchar* chars);
    // Implemented JavaVM functions.
    static jint JNICALL GetEnv(JavaVM* vm, void** env, jint version);

    jstring MakeString(std::wstring text, bool throughJni);

    JNINativeInterface_ m_envFunctions;
    JNIInvokeInterface_ m_vmFunctions;
    EnvBlock m_envBlock;
    VmBlock m_vmBlock;

    std::mutex m_lock; // the library calls from several threads
    std::vector<StandInString*> m_strings;
    std::set<const jchar*> m_pinned;
    size_t m_madeThroughJni = 0;
};
