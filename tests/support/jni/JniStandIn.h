// A stand-in for the Java virtual machine, for testing the library's JNI
// exports where no Windows JVM exists. Test-only; grows with the library.
//
// Java objects are entries of a small registry: a test defines a class with
// named methods (name and signature), makes objects of it and reads back
// every call that native code made on them. Threads are attached per thread
// as in a JVM; references, pins and thrown exceptions are counted so that a
// test sees leaks and misuse. Misuse that a JVM would punish (a crash, an
// undefined result) is reported to the misuse handler instead.
#pragma once

#include <jni.h>

#include <windows.h>

#include <cstdarg>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

struct StandInString;
struct StandInClass;
struct StandInObject;
struct StandInLongArray;
struct StandInGlobalRef;
struct StandInMethod;

// One call of a Java method by native code, with its arguments by kind, in order.
struct JavaCall
{
    std::string className;
    std::string method;
    std::string signature;
    DWORD threadId = 0;
    std::vector<jlong> integers;    // int, long, boolean, byte, char, short arguments
    std::vector<double> reals;      // float and double arguments
    std::vector<std::string> texts; // String arguments as UTF-8 ("" for null)
};

// An exception thrown by native code with ThrowNew.
struct ThrownException
{
    std::string className;
    std::string text;
    DWORD threadId = 0;
};

// A JNIEnv per thread and a JavaVM whose function tables hold the functions
// the library calls; every other slot reports its own name as not implemented.
class JniStandIn
{
public:
    // Computes the result of a call (null for void methods and by default).
    using MethodHandler = std::function<jobject(JniStandIn& jvm, jobject self, const JavaCall& call)>;
    struct MethodSpec
    {
        std::string name;
        std::string signature;
        MethodHandler handler;
    };

    // The constructing thread is a Java thread (as the JVM's main thread).
    JniStandIn();
    ~JniStandIn();

    JniStandIn(const JniStandIn&) = delete;
    JniStandIn& operator=(const JniStandIn&) = delete;

    // The calling thread's environment; the thread becomes a Java thread (one
    // that Java started, not counted as an attach) when it is not attached.
    JNIEnv* Env();
    JavaVM* Vm() { return &m_vmBlock.vm; }

    // A Java string, alive as long as the stand-in.
    jstring NewJavaString(const std::wstring& text);
    // The text of a string made by the stand-in (for a test or by the library).
    static std::wstring Text(jstring text);

    // Characters handed out by GetStringChars/GetStringUTFChars and not released yet.
    size_t PinnedStrings();
    // Strings made through NewString or NewStringUTF (by the code under test).
    size_t StringsMadeThroughJni();

    // A class with the given instance methods; every class also has "<init>" "()V".
    void AddClass(const std::string& name, const std::vector<MethodSpec>& methods);
    // The player callback class, by default "TestWinPlayerCallback": onError,
    // onEvent, onReady, onDestroy, and getLastError returning the text of the
    // object's last onError call. A method named in `without` is left out;
    // with `thrown` set, the four void methods throw an exception of that class.
    void AddPlayerCallbackClass(const std::string& name = "TestWinPlayerCallback",
                                const std::set<std::string>& without = {}, const std::string& thrown = "");
    // A new object of a class added before (null for an unknown class).
    jobject NewObject(const std::string& className);
    // The calls made on the object, in order.
    std::vector<JavaCall> Calls(jobject object);
    // Method calls, global reference deletions, attach/detach and described
    // exceptions in order: "call <class>.<method>", "DeleteGlobalRef <class>",
    // "AttachCurrentThread", "DetachCurrentThread", "ExceptionDescribe <class>".
    std::vector<std::string> Journal();
    // Drops the recorded calls, journal, thrown exceptions and ended threads,
    // so that a long run measures the library and not the records of its calls.
    void ForgetRecords();

    // Global references made and not deleted.
    size_t LiveGlobalRefs();
    // Local references made by JNI functions and not deleted yet.
    size_t LiveLocalRefs();
    // Threads attached and detached through the VM (Java threads not counted).
    size_t Attaches();
    size_t Detaches();
    bool IsAttached(); // the calling thread
    // Threads that native code attached and that ended without detaching (a
    // JVM would wait for them for ever at its end).
    size_t ThreadsEndedAttached();
    // Makes AttachCurrentThread fail with JNI_ERR.
    void SetAttachFails(bool fails);

    // Exceptions thrown with ThrowNew, in order.
    std::vector<ThrownException> Thrown();
    // The class name of the calling thread's pending exception, or "".
    std::string PendingException();
    // Clears the calling thread's pending exception, as a Java catch would.
    void ClearException();
    // Makes an exception of the class pending on the calling thread, as a Java
    // method that throws leaves it for its native caller.
    void ThrowFromJava(const std::string& className);

    jlongArray NewLongArray(const std::vector<jlong>& values);
    std::vector<jlong> LongArray(jlongArray array);

    // Called with the slot name when an unimplemented JNI function is called.
    using UnimplementedHandler = void (*)(const char* name);
    // Called with a description when native code misuses JNI.
    using MisuseHandler = void (*)(const char* text);
    // nullptr restores the default (printing; the test library fails the running test).
    static void SetUnimplementedHandler(UnimplementedHandler handler);
    static void SetMisuseHandler(MisuseHandler handler);
    // The defaults that nullptr restores; the GoogleTest layer installs its own.
    static void SetDefaultHandlers(UnimplementedHandler unimplemented, MisuseHandler misuse);

private:
    struct EnvBlock
    {
        JNIEnv env;
        JniStandIn* owner;
        DWORD threadId;
    };
    struct VmBlock
    {
        JavaVM vm;
        JniStandIn* owner;
    };
    struct HandleClose
    {
        void operator()(void* handle) const { CloseHandle(handle); }
    };
    struct ThreadState
    {
        std::unique_ptr<EnvBlock> block;
        std::unique_ptr<void, HandleClose> thread; // tells a reused thread id from the thread that had it
        bool attached = false;
        bool javaThread = false;
        std::string pending; // class of the pending exception
    };
    static JniStandIn* Owner(JNIEnv* env);
    static JniStandIn* Owner(JavaVM* vm);
    static void Misuse(const std::string& text);

    // Checks that env belongs to the calling, attached thread and, unless
    // exceptionAllowed, that no exception is pending. Lock held by the caller.
    bool CheckEnv(JNIEnv* env, const char* function, bool exceptionAllowed = false);
    ThreadState& StateOfThisThread(); // lock held
    void ForgetEndedThread(ThreadState& state); // lock held
    void SetPending(const std::string& className); // lock held
    jobject AddLocal(jobject object);               // lock held
    jobject Resolve(jobject reference);             // lock held
    StandInObject* ObjectOf(jobject reference);     // lock held
    jobject Invoke(JNIEnv* env, const char* function, jobject object, jmethodID id, va_list args);
    jstring MakeString(std::wstring text, std::string utf8, bool fromUtf8, bool throughJni);

    // Implemented JNIEnv functions.
    static jint JNICALL GetVersion(JNIEnv* env);
    static jclass JNICALL FindClass(JNIEnv* env, const char* name);
    static jint JNICALL ThrowNew(JNIEnv* env, jclass cls, const char* text);
    static jthrowable JNICALL ExceptionOccurred(JNIEnv* env);
    static void JNICALL ExceptionDescribe(JNIEnv* env);
    static void JNICALL ExceptionClear(JNIEnv* env);
    static jboolean JNICALL ExceptionCheck(JNIEnv* env);
    static jobject JNICALL NewGlobalRef(JNIEnv* env, jobject object);
    static void JNICALL DeleteGlobalRef(JNIEnv* env, jobject object);
    static void JNICALL DeleteLocalRef(JNIEnv* env, jobject object);
    static jobject JNICALL NewObjectJni(JNIEnv* env, jclass cls, jmethodID id, ...);
    static jobject JNICALL NewObjectV(JNIEnv* env, jclass cls, jmethodID id, va_list args);
    static jclass JNICALL GetObjectClass(JNIEnv* env, jobject object);
    static jmethodID JNICALL GetMethodID(JNIEnv* env, jclass cls, const char* name, const char* signature);
    static jobject JNICALL CallObjectMethod(JNIEnv* env, jobject object, jmethodID id, ...);
    static jobject JNICALL CallObjectMethodV(JNIEnv* env, jobject object, jmethodID id, va_list args);
    static void JNICALL CallVoidMethod(JNIEnv* env, jobject object, jmethodID id, ...);
    static void JNICALL CallVoidMethodV(JNIEnv* env, jobject object, jmethodID id, va_list args);
    static jstring JNICALL NewString(JNIEnv* env, const jchar* chars, jsize length);
    static jsize JNICALL GetStringLength(JNIEnv* env, jstring text);
    static const jchar* JNICALL GetStringChars(JNIEnv* env, jstring text, jboolean* isCopy);
    static void JNICALL ReleaseStringChars(JNIEnv* env, jstring text, const jchar* chars);
    static jstring JNICALL NewStringUTF(JNIEnv* env, const char* bytes);
    static const char* JNICALL GetStringUTFChars(JNIEnv* env, jstring text, jboolean* isCopy);
    static void JNICALL ReleaseStringUTFChars(JNIEnv* env, jstring text, const char* chars);
    static jsize JNICALL GetArrayLength(JNIEnv* env, jarray array);
    static jlongArray JNICALL NewLongArrayJni(JNIEnv* env, jsize length);
    static void JNICALL GetLongArrayRegion(JNIEnv* env, jlongArray array, jsize start, jsize length, jlong* out);
    static void JNICALL SetLongArrayRegion(JNIEnv* env, jlongArray array, jsize start, jsize length,
                                           const jlong* values);
    static jint JNICALL GetJavaVM(JNIEnv* env, JavaVM** vm);
    // Implemented JavaVM functions.
    static jint JNICALL DestroyJavaVM(JavaVM* vm);
    static jint JNICALL AttachCurrentThread(JavaVM* vm, void** env, void* arguments);
    static jint JNICALL DetachCurrentThread(JavaVM* vm);
    static jint JNICALL GetEnv(JavaVM* vm, void** env, jint version);

    JNINativeInterface_ m_envFunctions;
    JNIInvokeInterface_ m_vmFunctions;
    VmBlock m_vmBlock;

    std::recursive_mutex m_lock; // the library calls from several threads; handlers may call back
    std::map<DWORD, ThreadState> m_threads;
    bool m_attachFails = false;
    size_t m_attaches = 0;
    size_t m_detaches = 0;
    size_t m_endedAttached = 0;

    std::vector<std::unique_ptr<StandInString>> m_strings;
    std::set<const void*> m_pinned;
    size_t m_madeThroughJni = 0;

    std::map<std::string, std::unique_ptr<StandInClass>> m_classes;
    std::vector<std::unique_ptr<StandInObject>> m_objects;
    std::vector<std::unique_ptr<StandInLongArray>> m_arrays;
    std::set<StandInGlobalRef*> m_globalRefs;
    std::vector<std::unique_ptr<StandInGlobalRef>> m_deletedGlobalRefs; // kept so stale use is recognised
    std::multiset<jobject> m_locals;
    std::vector<std::string> m_journal;
    std::vector<ThrownException> m_thrown;
};
