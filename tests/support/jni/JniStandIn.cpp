#include "JniStandIn.h"

#include "JniEnvSlots.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <utility>

// A Java string of the stand-in: the opaque JNI type with its text. Strings
// made from UTF-8 keep the exact bytes too.
struct StandInString : _jstring
{
    std::wstring text;
    std::string utf8;
    bool fromUtf8 = false;
};

struct StandInMethod
{
    StandInClass* owner;
    std::string name;
    std::string signature;
    JniStandIn::MethodHandler handler;
};

struct StandInClass : _jclass
{
    std::string name;
    std::vector<std::unique_ptr<StandInMethod>> methods;
};

struct StandInObject : _jobject
{
    StandInClass* cls;
    std::vector<JavaCall> calls;
};

struct StandInLongArray : _jlongArray
{
    std::vector<jlong> values;
};

// A global reference is a handle of its own, as in a JVM, so that deleting
// the wrong kind of reference shows.
struct StandInGlobalRef : _jobject
{
    jobject target;
};

namespace
{
#define QV_JNI_VM_SLOTS(X)                                                                                            \
    X(reserved0)                                                                                                       \
    X(reserved1)                                                                                                       \
    X(reserved2)                                                                                                       \
    X(DestroyJavaVM)                                                                                                   \
    X(AttachCurrentThread)                                                                                             \
    X(DetachCurrentThread)                                                                                             \
    X(GetEnv)                                                                                                          \
    X(AttachCurrentThreadAsDaemon)

#define QV_SLOT_INDEX(name) kEnvSlot_##name,
enum EnvSlot
{
    QV_JNI_ENV_SLOTS(QV_SLOT_INDEX) kEnvSlotCount
};
#undef QV_SLOT_INDEX
#define QV_SLOT_INDEX(name) kVmSlot_##name,
enum VmSlot
{
    QV_JNI_VM_SLOTS(QV_SLOT_INDEX) kVmSlotCount
};
#undef QV_SLOT_INDEX

// The lists above must match the JDK's tables slot for slot.
static_assert(kEnvSlotCount * sizeof(void*) == sizeof(JNINativeInterface_), "JNIEnv slot list is incomplete");
static_assert(kVmSlotCount * sizeof(void*) == sizeof(JNIInvokeInterface_), "JavaVM slot list is incomplete");
#define QV_CHECK_ENV_SLOT(name)                                                                                       \
    static_assert(offsetof(JNINativeInterface_, name) == kEnvSlot_##name * sizeof(void*), #name);
QV_JNI_ENV_SLOTS(QV_CHECK_ENV_SLOT)
#define QV_CHECK_VM_SLOT(name)                                                                                        \
    static_assert(offsetof(JNIInvokeInterface_, name) == kVmSlot_##name * sizeof(void*), #name);
QV_JNI_VM_SLOTS(QV_CHECK_VM_SLOT)

#define QV_SLOT_NAME(name) #name,
const char* const kEnvSlotNames[] = {QV_JNI_ENV_SLOTS(QV_SLOT_NAME)};
const char* const kVmSlotNames[] = {QV_JNI_VM_SLOTS(QV_SLOT_NAME)};
#undef QV_SLOT_NAME

void PrintUnimplemented(const char* name)
{
    std::fprintf(stderr, "JNI stand-in: %s is called but not implemented\n", name);
    std::fflush(stderr);
}

void PrintMisuse(const char* text)
{
    std::fprintf(stderr, "JNI stand-in: %s\n", text);
    std::fflush(stderr);
}

std::atomic<JniStandIn::UnimplementedHandler> g_defaultUnimplemented{&PrintUnimplemented};
std::atomic<JniStandIn::MisuseHandler> g_defaultMisuse{&PrintMisuse};
std::atomic<JniStandIn::UnimplementedHandler> g_unimplementedHandler{&PrintUnimplemented};
std::atomic<JniStandIn::MisuseHandler> g_misuseHandler{&PrintMisuse};

// One stub per slot, so that each knows which function was called. Every
// slot type is called with the x64 calling convention, so a variadic stub
// can stand in any slot; it returns zero (null, false) to the caller.
template <size_t Slot>
intptr_t UnimplementedEnvFunction(void*, ...)
{
    g_unimplementedHandler.load()(kEnvSlotNames[Slot]);
    return 0;
}

template <size_t Slot>
intptr_t UnimplementedVmFunction(void*, ...)
{
    g_unimplementedHandler.load()(kVmSlotNames[Slot]);
    return 0;
}

template <typename Table, size_t... Slots>
void FillEnvStubs(Table& table, std::index_sequence<Slots...>)
{
    void* slots[] = {reinterpret_cast<void*>(&UnimplementedEnvFunction<Slots>)...};
    static_assert(sizeof(slots) == sizeof(Table), "one stub per slot");
    std::memcpy(&table, slots, sizeof(slots));
}

template <typename Table, size_t... Slots>
void FillVmStubs(Table& table, std::index_sequence<Slots...>)
{
    void* slots[] = {reinterpret_cast<void*>(&UnimplementedVmFunction<Slots>)...};
    static_assert(sizeof(slots) == sizeof(Table), "one stub per slot");
    std::memcpy(&table, slots, sizeof(slots));
}

std::wstring WideFromUtf8(const std::string& bytes)
{
    if (bytes.empty())
        return std::wstring();
    const int size = MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    std::wstring text(size > 0 ? size : 0, L'\0');
    if (size > 0)
        MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), &text[0], size);
    return text;
}

std::string Utf8FromWide(const std::wstring& text)
{
    if (text.empty())
        return std::string();
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(size > 0 ? size : 0, '\0');
    if (size > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &bytes[0], size, nullptr,
                            nullptr);
    return bytes;
}

std::string Utf8Of(const StandInString* text)
{
    if (!text)
        return std::string();
    return text->fromUtf8 ? text->utf8 : Utf8FromWide(text->text);
}

// The return type of a method signature: the character after ')'.
char ReturnKind(const std::string& signature)
{
    const size_t close = signature.find(')');
    return close != std::string::npos && close + 1 < signature.size() ? signature[close + 1] : '?';
}
} // namespace

JniStandIn::JniStandIn()
{
    FillEnvStubs(m_envFunctions, std::make_index_sequence<kEnvSlotCount>());
    FillVmStubs(m_vmFunctions, std::make_index_sequence<kVmSlotCount>());

    m_envFunctions.GetVersion = &JniStandIn::GetVersion;
    m_envFunctions.FindClass = &JniStandIn::FindClass;
    m_envFunctions.ThrowNew = &JniStandIn::ThrowNew;
    m_envFunctions.ExceptionOccurred = &JniStandIn::ExceptionOccurred;
    m_envFunctions.ExceptionDescribe = &JniStandIn::ExceptionDescribe;
    m_envFunctions.ExceptionClear = &JniStandIn::ExceptionClear;
    m_envFunctions.ExceptionCheck = &JniStandIn::ExceptionCheck;
    m_envFunctions.NewGlobalRef = &JniStandIn::NewGlobalRef;
    m_envFunctions.DeleteGlobalRef = &JniStandIn::DeleteGlobalRef;
    m_envFunctions.DeleteLocalRef = &JniStandIn::DeleteLocalRef;
    m_envFunctions.NewObject = &JniStandIn::NewObjectJni;
    m_envFunctions.NewObjectV = &JniStandIn::NewObjectV;
    m_envFunctions.GetObjectClass = &JniStandIn::GetObjectClass;
    m_envFunctions.GetMethodID = &JniStandIn::GetMethodID;
    m_envFunctions.CallObjectMethod = &JniStandIn::CallObjectMethod;
    m_envFunctions.CallObjectMethodV = &JniStandIn::CallObjectMethodV;
    m_envFunctions.CallVoidMethod = &JniStandIn::CallVoidMethod;
    m_envFunctions.CallVoidMethodV = &JniStandIn::CallVoidMethodV;
    m_envFunctions.NewString = &JniStandIn::NewString;
    m_envFunctions.GetStringLength = &JniStandIn::GetStringLength;
    m_envFunctions.GetStringChars = &JniStandIn::GetStringChars;
    m_envFunctions.ReleaseStringChars = &JniStandIn::ReleaseStringChars;
    m_envFunctions.NewStringUTF = &JniStandIn::NewStringUTF;
    m_envFunctions.GetStringUTFChars = &JniStandIn::GetStringUTFChars;
    m_envFunctions.ReleaseStringUTFChars = &JniStandIn::ReleaseStringUTFChars;
    m_envFunctions.GetArrayLength = &JniStandIn::GetArrayLength;
    m_envFunctions.NewLongArray = &JniStandIn::NewLongArrayJni;
    m_envFunctions.GetLongArrayRegion = &JniStandIn::GetLongArrayRegion;
    m_envFunctions.SetLongArrayRegion = &JniStandIn::SetLongArrayRegion;
    m_envFunctions.GetJavaVM = &JniStandIn::GetJavaVM;
    m_vmFunctions.DestroyJavaVM = &JniStandIn::DestroyJavaVM;
    m_vmFunctions.AttachCurrentThread = &JniStandIn::AttachCurrentThread;
    m_vmFunctions.DetachCurrentThread = &JniStandIn::DetachCurrentThread;
    m_vmFunctions.GetEnv = &JniStandIn::GetEnv;

    m_vmBlock.vm.functions = &m_vmFunctions;
    m_vmBlock.owner = this;

    // The classes that native code looks up by name.
    AddClass("java/lang/Object", {});
    AddClass("java/lang/String", {});
    AddClass("java/lang/Exception", {});

    Env(); // the constructing thread is Java's own
}

JniStandIn::~JniStandIn()
{
    for (const void* chars : m_pinned)
        delete[] static_cast<const char*>(chars);
}

JniStandIn* JniStandIn::Owner(JNIEnv* env)
{
    return reinterpret_cast<EnvBlock*>(env)->owner;
}

JniStandIn* JniStandIn::Owner(JavaVM* vm)
{
    return reinterpret_cast<VmBlock*>(vm)->owner;
}

void JniStandIn::Misuse(const std::string& text)
{
    g_misuseHandler.load()(text.c_str());
}

JniStandIn::ThreadState& JniStandIn::StateOfThisThread()
{
    const DWORD id = GetCurrentThreadId();
    ThreadState& state = m_threads[id];
    ForgetEndedThread(state);
    if (!state.thread)
        state.thread.reset(OpenThread(SYNCHRONIZE, FALSE, id));
    if (!state.block)
    {
        state.block.reset(new EnvBlock);
        state.block->env.functions = &m_envFunctions;
        state.block->owner = this;
        state.block->threadId = id;
    }
    return state;
}

void JniStandIn::ForgetEndedThread(ThreadState& state)
{
    if (!state.thread || WaitForSingleObject(state.thread.get(), 0) != WAIT_OBJECT_0)
        return;
    if (state.attached && !state.javaThread)
        ++m_endedAttached;
    state.thread.reset();
    state.attached = false;
    state.javaThread = false;
    state.pending.clear();
}

size_t JniStandIn::ThreadsEndedAttached()
{
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    for (auto& entry : m_threads)
        ForgetEndedThread(entry.second);
    return m_endedAttached;
}

JNIEnv* JniStandIn::Env()
{
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    ThreadState& state = StateOfThisThread();
    if (!state.attached)
    {
        state.attached = true;
        state.javaThread = true;
    }
    return &state.block->env;
}

bool JniStandIn::CheckEnv(JNIEnv* env, const char* function, bool exceptionAllowed)
{
    if (!env)
    {
        Misuse(std::string(function) + " without an environment");
        return false;
    }
    const DWORD id = reinterpret_cast<EnvBlock*>(env)->threadId;
    if (id != GetCurrentThreadId())
    {
        Misuse(std::string(function) + " with the environment of another thread");
        return false;
    }
    ThreadState& state = StateOfThisThread();
    if (!state.attached)
    {
        Misuse(std::string(function) + " on a thread that is no longer attached");
        return false;
    }
    if (!exceptionAllowed && !state.pending.empty())
        Misuse(std::string(function) + " while " + state.pending + " is pending");
    return true;
}

void JniStandIn::SetPending(const std::string& className)
{
    ThreadState& state = StateOfThisThread();
    if (state.pending.empty())
        state.pending = className;
}

jobject JniStandIn::AddLocal(jobject object)
{
    if (object)
        m_locals.insert(object);
    return object;
}

jobject JniStandIn::Resolve(jobject reference)
{
    auto* global = static_cast<StandInGlobalRef*>(reference);
    if (m_globalRefs.count(global))
        return global->target;
    for (const auto& deleted : m_deletedGlobalRefs)
    {
        if (deleted.get() == global)
        {
            Misuse("use of a deleted global reference");
            return nullptr;
        }
    }
    return reference;
}

StandInObject* JniStandIn::ObjectOf(jobject reference)
{
    jobject target = Resolve(reference);
    for (const auto& object : m_objects)
    {
        if (object.get() == target)
            return object.get();
    }
    return nullptr;
}

jstring JniStandIn::MakeString(std::wstring text, std::string utf8, bool fromUtf8, bool throughJni)
{
    std::unique_ptr<StandInString> made(new StandInString);
    made->text = std::move(text);
    made->utf8 = std::move(utf8);
    made->fromUtf8 = fromUtf8;
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    m_strings.push_back(std::move(made));
    if (throughJni)
        ++m_madeThroughJni;
    return m_strings.back().get();
}

jstring JniStandIn::NewJavaString(const std::wstring& text)
{
    return MakeString(text, std::string(), false, false);
}

std::wstring JniStandIn::Text(jstring text)
{
    return text ? static_cast<StandInString*>(text)->text : std::wstring();
}

size_t JniStandIn::PinnedStrings()
{
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    return m_pinned.size();
}

size_t JniStandIn::StringsMadeThroughJni()
{
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    return m_madeThroughJni;
}

void JniStandIn::AddClass(const std::string& name, const std::vector<MethodSpec>& methods)
{
    std::unique_ptr<StandInClass> cls(new StandInClass);
    cls->name = name;
    std::vector<MethodSpec> all = methods;
    all.push_back({"<init>", "()V", nullptr});
    for (const MethodSpec& spec : all)
        cls->methods.emplace_back(new StandInMethod{cls.get(), spec.name, spec.signature, spec.handler});
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    m_classes[name] = std::move(cls);
}

void JniStandIn::AddPlayerCallbackClass(const std::string& name, const std::set<std::string>& without,
                                        const std::string& thrown)
{
    MethodHandler throws;
    if (!thrown.empty())
        throws = [thrown](JniStandIn& jvm, jobject, const JavaCall&) -> jobject {
            jvm.ThrowFromJava(thrown);
            return nullptr;
        };
    std::vector<MethodSpec> methods = {{"onError", "(IJJLjava/lang/String;)V", throws},
                                       {"onEvent", "(IJ)V", throws},
                                       {"onReady", "()V", throws},
                                       {"onDestroy", "()V", throws},
                                       {"getLastError", "()Ljava/lang/String;",
                                        [](JniStandIn& jvm, jobject self, const JavaCall&) -> jobject {
                                            std::string last;
                                            for (const JavaCall& call : jvm.Calls(self))
                                            {
                                                if (call.method == "onError" && !call.texts.empty())
                                                    last = call.texts[0];
                                            }
                                            return jvm.MakeString(WideFromUtf8(last), last, true, false);
                                        }}};
    std::vector<MethodSpec> kept;
    for (const MethodSpec& method : methods)
    {
        if (!without.count(method.name))
            kept.push_back(method);
    }
    AddClass(name, kept);
}

jobject JniStandIn::NewObject(const std::string& className)
{
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    auto found = m_classes.find(className);
    if (found == m_classes.end())
        return nullptr;
    std::unique_ptr<StandInObject> object(new StandInObject);
    object->cls = found->second.get();
    m_objects.push_back(std::move(object));
    return m_objects.back().get();
}

void JniStandIn::ForgetRecords()
{
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    for (const std::unique_ptr<StandInObject>& object : m_objects)
        std::vector<JavaCall>().swap(object->calls);
    std::vector<std::string>().swap(m_journal);
    std::vector<ThrownException>().swap(m_thrown);
    for (auto entry = m_threads.begin(); entry != m_threads.end();)
    {
        ForgetEndedThread(entry->second);
        entry = entry->second.thread ? std::next(entry) : m_threads.erase(entry);
    }
}

std::vector<JavaCall> JniStandIn::Calls(jobject object)
{
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    StandInObject* target = ObjectOf(object);
    return target ? target->calls : std::vector<JavaCall>();
}

std::vector<std::string> JniStandIn::Journal()
{
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    return m_journal;
}

size_t JniStandIn::LiveGlobalRefs()
{
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    return m_globalRefs.size();
}

size_t JniStandIn::LiveLocalRefs()
{
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    return m_locals.size();
}

size_t JniStandIn::Attaches()
{
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    return m_attaches;
}

size_t JniStandIn::Detaches()
{
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    return m_detaches;
}

bool JniStandIn::IsAttached()
{
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    auto found = m_threads.find(GetCurrentThreadId());
    return found != m_threads.end() && found->second.attached;
}

void JniStandIn::SetAttachFails(bool fails)
{
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    m_attachFails = fails;
}

std::vector<ThrownException> JniStandIn::Thrown()
{
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    return m_thrown;
}

std::string JniStandIn::PendingException()
{
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    return StateOfThisThread().pending;
}

void JniStandIn::ClearException()
{
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    StateOfThisThread().pending.clear();
}

void JniStandIn::ThrowFromJava(const std::string& className)
{
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    SetPending(className);
}

jlongArray JniStandIn::NewLongArray(const std::vector<jlong>& values)
{
    std::unique_ptr<StandInLongArray> array(new StandInLongArray);
    array->values = values;
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    m_arrays.push_back(std::move(array));
    return m_arrays.back().get();
}

std::vector<jlong> JniStandIn::LongArray(jlongArray array)
{
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    return array ? static_cast<StandInLongArray*>(array)->values : std::vector<jlong>();
}

void JniStandIn::SetUnimplementedHandler(UnimplementedHandler handler)
{
    g_unimplementedHandler = handler ? handler : g_defaultUnimplemented.load();
}

void JniStandIn::SetMisuseHandler(MisuseHandler handler)
{
    g_misuseHandler = handler ? handler : g_defaultMisuse.load();
}

void JniStandIn::SetDefaultHandlers(UnimplementedHandler unimplemented, MisuseHandler misuse)
{
    g_defaultUnimplemented = unimplemented ? unimplemented : &PrintUnimplemented;
    g_defaultMisuse = misuse ? misuse : &PrintMisuse;
    g_unimplementedHandler = g_defaultUnimplemented.load();
    g_misuseHandler = g_defaultMisuse.load();
}

jobject JniStandIn::Invoke(JNIEnv* env, const char* function, jobject object, jmethodID id, va_list args)
{
    MethodHandler handler;
    JavaCall call;
    jobject self = nullptr;
    {
        std::lock_guard<std::recursive_mutex> lock(m_lock);
        if (!CheckEnv(env, function))
            return nullptr;
        StandInObject* target = ObjectOf(object);
        auto* method = reinterpret_cast<StandInMethod*>(id);
        if (!target || !method)
        {
            Misuse(std::string(function) + (target ? " without a method id" : " on something that is no object"));
            return nullptr;
        }
        if (method->owner != target->cls)
        {
            Misuse(std::string(function) + " with a method id of another class");
            return nullptr;
        }
        call.className = target->cls->name;
        call.method = method->name;
        call.signature = method->signature;
        call.threadId = GetCurrentThreadId();
        // Variadic arguments arrive promoted: small integers as int, float as double.
        const std::string& signature = method->signature;
        for (size_t at = 1; at < signature.size() && signature[at] != ')'; ++at)
        {
            switch (signature[at])
            {
            case 'Z':
            case 'B':
            case 'C':
            case 'S':
            case 'I':
                call.integers.push_back(va_arg(args, int));
                break;
            case 'J':
                call.integers.push_back(va_arg(args, jlong));
                break;
            case 'F':
            case 'D':
                call.reals.push_back(va_arg(args, double));
                break;
            case 'L':
            {
                const size_t end = signature.find(';', at);
                const bool isString = signature.compare(at, end - at + 1, "Ljava/lang/String;") == 0;
                jobject argument = va_arg(args, jobject);
                if (isString)
                    call.texts.push_back(Utf8Of(static_cast<StandInString*>(Resolve(argument))));
                at = end;
                break;
            }
            case '[':
            {
                (void)va_arg(args, jobject);
                while (signature[at] == '[')
                    ++at;
                if (signature[at] == 'L')
                    at = signature.find(';', at);
                break;
            }
            default:
                Misuse(std::string(function) + ": cannot read the signature " + signature);
                return nullptr;
            }
        }
        target->calls.push_back(call);
        m_journal.push_back("call " + call.className + "." + call.method);
        handler = method->handler;
        self = target;
    }
    jobject result = handler ? handler(*this, self, call) : nullptr;
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    return AddLocal(result);
}

jint JNICALL JniStandIn::GetVersion(JNIEnv*)
{
    return JNI_VERSION_1_8;
}

jclass JNICALL JniStandIn::FindClass(JNIEnv* env, const char* name)
{
    JniStandIn* owner = Owner(env);
    std::lock_guard<std::recursive_mutex> lock(owner->m_lock);
    if (!owner->CheckEnv(env, "FindClass"))
        return nullptr;
    auto found = name ? owner->m_classes.find(name) : owner->m_classes.end();
    if (found == owner->m_classes.end())
    {
        owner->SetPending("java/lang/NoClassDefFoundError");
        return nullptr;
    }
    return static_cast<jclass>(owner->AddLocal(found->second.get()));
}

jint JNICALL JniStandIn::ThrowNew(JNIEnv* env, jclass cls, const char* text)
{
    JniStandIn* owner = Owner(env);
    std::lock_guard<std::recursive_mutex> lock(owner->m_lock);
    if (!owner->CheckEnv(env, "ThrowNew"))
        return JNI_ERR;
    auto* thrownClass = static_cast<StandInClass*>(static_cast<jobject>(owner->Resolve(cls)));
    if (!thrownClass)
    {
        Misuse("ThrowNew without a class");
        return JNI_ERR;
    }
    owner->m_thrown.push_back({thrownClass->name, text ? text : "", GetCurrentThreadId()});
    owner->SetPending(thrownClass->name);
    return JNI_OK;
}

jthrowable JNICALL JniStandIn::ExceptionOccurred(JNIEnv* env)
{
    JniStandIn* owner = Owner(env);
    std::lock_guard<std::recursive_mutex> lock(owner->m_lock);
    if (!owner->CheckEnv(env, "ExceptionOccurred", true))
        return nullptr;
    if (owner->StateOfThisThread().pending.empty())
        return nullptr;
    // The exception object itself is not modelled; its class stands for it.
    return reinterpret_cast<jthrowable>(owner->m_classes["java/lang/Exception"].get());
}

// A JVM prints the exception and its stack and clears it as a side effect.
void JNICALL JniStandIn::ExceptionDescribe(JNIEnv* env)
{
    JniStandIn* owner = Owner(env);
    std::lock_guard<std::recursive_mutex> lock(owner->m_lock);
    if (!owner->CheckEnv(env, "ExceptionDescribe", true))
        return;
    ThreadState& state = owner->StateOfThisThread();
    if (state.pending.empty())
        return;
    std::fprintf(stderr, "JNI stand-in: Exception in thread %lu: %s\n", GetCurrentThreadId(), state.pending.c_str());
    owner->m_journal.push_back("ExceptionDescribe " + state.pending);
    state.pending.clear();
}

void JNICALL JniStandIn::ExceptionClear(JNIEnv* env)
{
    JniStandIn* owner = Owner(env);
    std::lock_guard<std::recursive_mutex> lock(owner->m_lock);
    if (owner->CheckEnv(env, "ExceptionClear", true))
        owner->StateOfThisThread().pending.clear();
}

jboolean JNICALL JniStandIn::ExceptionCheck(JNIEnv* env)
{
    JniStandIn* owner = Owner(env);
    std::lock_guard<std::recursive_mutex> lock(owner->m_lock);
    if (!owner->CheckEnv(env, "ExceptionCheck", true))
        return JNI_FALSE;
    return owner->StateOfThisThread().pending.empty() ? JNI_FALSE : JNI_TRUE;
}

jobject JNICALL JniStandIn::NewGlobalRef(JNIEnv* env, jobject object)
{
    JniStandIn* owner = Owner(env);
    std::lock_guard<std::recursive_mutex> lock(owner->m_lock);
    if (!owner->CheckEnv(env, "NewGlobalRef") || !object)
        return nullptr;
    jobject target = owner->Resolve(object);
    if (!target)
        return nullptr;
    auto* global = new StandInGlobalRef;
    global->target = target;
    owner->m_globalRefs.insert(global);
    return global;
}

void JNICALL JniStandIn::DeleteGlobalRef(JNIEnv* env, jobject object)
{
    JniStandIn* owner = Owner(env);
    std::lock_guard<std::recursive_mutex> lock(owner->m_lock);
    if (!owner->CheckEnv(env, "DeleteGlobalRef", true) || !object)
        return;
    auto* global = static_cast<StandInGlobalRef*>(object);
    if (!owner->m_globalRefs.erase(global))
    {
        Misuse("DeleteGlobalRef of something that is no live global reference");
        return;
    }
    StandInObject* target = owner->ObjectOf(global->target);
    owner->m_journal.push_back("DeleteGlobalRef " + (target ? target->cls->name : std::string("?")));
    owner->m_deletedGlobalRefs.emplace_back(global);
}

void JNICALL JniStandIn::DeleteLocalRef(JNIEnv* env, jobject object)
{
    JniStandIn* owner = Owner(env);
    std::lock_guard<std::recursive_mutex> lock(owner->m_lock);
    if (!owner->CheckEnv(env, "DeleteLocalRef", true) || !object)
        return;
    if (owner->m_globalRefs.count(static_cast<StandInGlobalRef*>(object)))
    {
        Misuse("DeleteLocalRef of a global reference");
        return;
    }
    auto found = owner->m_locals.find(object);
    if (found != owner->m_locals.end())
        owner->m_locals.erase(found);
}

jobject JNICALL JniStandIn::NewObjectJni(JNIEnv* env, jclass cls, jmethodID id, ...)
{
    va_list args;
    va_start(args, id);
    jobject made = NewObjectV(env, cls, id, args);
    va_end(args);
    return made;
}

jobject JNICALL JniStandIn::NewObjectV(JNIEnv* env, jclass cls, jmethodID id, va_list)
{
    JniStandIn* owner = Owner(env);
    std::lock_guard<std::recursive_mutex> lock(owner->m_lock);
    if (!owner->CheckEnv(env, "NewObject"))
        return nullptr;
    auto* madeClass = static_cast<StandInClass*>(static_cast<jobject>(owner->Resolve(cls)));
    auto* constructor = reinterpret_cast<StandInMethod*>(id);
    if (!madeClass || !constructor || constructor->owner != madeClass || constructor->name != "<init>")
    {
        Misuse("NewObject without the class's constructor id");
        return nullptr;
    }
    std::unique_ptr<StandInObject> object(new StandInObject);
    object->cls = madeClass;
    owner->m_objects.push_back(std::move(object));
    return owner->AddLocal(owner->m_objects.back().get());
}

jclass JNICALL JniStandIn::GetObjectClass(JNIEnv* env, jobject object)
{
    JniStandIn* owner = Owner(env);
    std::lock_guard<std::recursive_mutex> lock(owner->m_lock);
    if (!owner->CheckEnv(env, "GetObjectClass"))
        return nullptr;
    StandInObject* target = owner->ObjectOf(object);
    if (!target)
    {
        Misuse("GetObjectClass of something that is no object (a JVM would crash)");
        return nullptr;
    }
    return static_cast<jclass>(owner->AddLocal(target->cls));
}

jmethodID JNICALL JniStandIn::GetMethodID(JNIEnv* env, jclass cls, const char* name, const char* signature)
{
    JniStandIn* owner = Owner(env);
    std::lock_guard<std::recursive_mutex> lock(owner->m_lock);
    if (!owner->CheckEnv(env, "GetMethodID"))
        return nullptr;
    auto* target = static_cast<StandInClass*>(static_cast<jobject>(owner->Resolve(cls)));
    if (!target || !name || !signature)
    {
        Misuse("GetMethodID without a class, name or signature (a JVM would crash)");
        return nullptr;
    }
    for (const auto& method : target->methods)
    {
        if (method->name == name && method->signature == signature)
            return reinterpret_cast<jmethodID>(method.get());
    }
    owner->SetPending("java/lang/NoSuchMethodError");
    return nullptr;
}

jobject JNICALL JniStandIn::CallObjectMethod(JNIEnv* env, jobject object, jmethodID id, ...)
{
    va_list args;
    va_start(args, id);
    jobject result = CallObjectMethodV(env, object, id, args);
    va_end(args);
    return result;
}

jobject JNICALL JniStandIn::CallObjectMethodV(JNIEnv* env, jobject object, jmethodID id, va_list args)
{
    auto* method = reinterpret_cast<StandInMethod*>(id);
    if (method && ReturnKind(method->signature) != 'L' && ReturnKind(method->signature) != '[')
        Misuse("CallObjectMethod of a method that returns no object: " + method->name);
    return Owner(env)->Invoke(env, "CallObjectMethod", object, id, args);
}

void JNICALL JniStandIn::CallVoidMethod(JNIEnv* env, jobject object, jmethodID id, ...)
{
    va_list args;
    va_start(args, id);
    CallVoidMethodV(env, object, id, args);
    va_end(args);
}

void JNICALL JniStandIn::CallVoidMethodV(JNIEnv* env, jobject object, jmethodID id, va_list args)
{
    auto* method = reinterpret_cast<StandInMethod*>(id);
    if (method && ReturnKind(method->signature) != 'V')
        Misuse("CallVoidMethod of a method that returns a value: " + method->name);
    Owner(env)->Invoke(env, "CallVoidMethod", object, id, args);
}

jstring JNICALL JniStandIn::NewString(JNIEnv* env, const jchar* chars, jsize length)
{
    JniStandIn* owner = Owner(env);
    {
        std::lock_guard<std::recursive_mutex> lock(owner->m_lock);
        if (!owner->CheckEnv(env, "NewString"))
            return nullptr;
    }
    if (!chars && length > 0)
    {
        Misuse("NewString without characters");
        return nullptr;
    }
    std::wstring text(reinterpret_cast<const wchar_t*>(chars), reinterpret_cast<const wchar_t*>(chars) + length);
    jstring made = owner->MakeString(std::move(text), std::string(), false, true);
    std::lock_guard<std::recursive_mutex> lock(owner->m_lock);
    return static_cast<jstring>(owner->AddLocal(made));
}

jsize JNICALL JniStandIn::GetStringLength(JNIEnv* env, jstring text)
{
    JniStandIn* owner = Owner(env);
    std::lock_guard<std::recursive_mutex> lock(owner->m_lock);
    owner->CheckEnv(env, "GetStringLength");
    if (!text)
    {
        Misuse("GetStringLength of null (a JVM would crash)");
        return 0;
    }
    return static_cast<jsize>(Text(static_cast<jstring>(owner->Resolve(text))).size());
}

const jchar* JNICALL JniStandIn::GetStringChars(JNIEnv* env, jstring text, jboolean* isCopy)
{
    JniStandIn* owner = Owner(env);
    std::lock_guard<std::recursive_mutex> lock(owner->m_lock);
    owner->CheckEnv(env, "GetStringChars");
    if (!text)
    {
        Misuse("GetStringChars of null (a JVM would crash)");
        return nullptr;
    }
    const std::wstring value = Text(static_cast<jstring>(owner->Resolve(text)));
    // A copy that is not terminated, as a JVM gives it.
    auto* bytes = new char[(value.size() + 1) * sizeof(jchar)];
    auto* chars = reinterpret_cast<jchar*>(bytes);
    std::memcpy(chars, value.data(), value.size() * sizeof(jchar));
    chars[value.size()] = 0xFFFF;
    if (isCopy)
        *isCopy = JNI_TRUE;
    owner->m_pinned.insert(bytes);
    return chars;
}

void JNICALL JniStandIn::ReleaseStringChars(JNIEnv* env, jstring, const jchar* chars)
{
    JniStandIn* owner = Owner(env);
    std::lock_guard<std::recursive_mutex> lock(owner->m_lock);
    owner->CheckEnv(env, "ReleaseStringChars", true);
    if (owner->m_pinned.erase(chars) == 0)
    {
        Misuse("ReleaseStringChars of characters that were not handed out");
        return;
    }
    delete[] reinterpret_cast<const char*>(chars);
}

jstring JNICALL JniStandIn::NewStringUTF(JNIEnv* env, const char* bytes)
{
    JniStandIn* owner = Owner(env);
    {
        std::lock_guard<std::recursive_mutex> lock(owner->m_lock);
        if (!owner->CheckEnv(env, "NewStringUTF"))
            return nullptr;
    }
    if (!bytes)
        return nullptr;
    jstring made = owner->MakeString(WideFromUtf8(bytes), bytes, true, true);
    std::lock_guard<std::recursive_mutex> lock(owner->m_lock);
    return static_cast<jstring>(owner->AddLocal(made));
}

const char* JNICALL JniStandIn::GetStringUTFChars(JNIEnv* env, jstring text, jboolean* isCopy)
{
    JniStandIn* owner = Owner(env);
    std::lock_guard<std::recursive_mutex> lock(owner->m_lock);
    owner->CheckEnv(env, "GetStringUTFChars");
    if (!text)
    {
        Misuse("GetStringUTFChars of null (a JVM would crash)");
        return nullptr;
    }
    const std::string value = Utf8Of(static_cast<StandInString*>(owner->Resolve(text)));
    auto* chars = new char[value.size() + 1];
    std::memcpy(chars, value.c_str(), value.size() + 1);
    if (isCopy)
        *isCopy = JNI_TRUE;
    owner->m_pinned.insert(chars);
    return chars;
}

void JNICALL JniStandIn::ReleaseStringUTFChars(JNIEnv* env, jstring, const char* chars)
{
    JniStandIn* owner = Owner(env);
    std::lock_guard<std::recursive_mutex> lock(owner->m_lock);
    owner->CheckEnv(env, "ReleaseStringUTFChars", true);
    if (owner->m_pinned.erase(chars) == 0)
    {
        Misuse("ReleaseStringUTFChars of characters that were not handed out");
        return;
    }
    delete[] chars;
}

jsize JNICALL JniStandIn::GetArrayLength(JNIEnv* env, jarray array)
{
    JniStandIn* owner = Owner(env);
    std::lock_guard<std::recursive_mutex> lock(owner->m_lock);
    owner->CheckEnv(env, "GetArrayLength");
    if (!array)
    {
        Misuse("GetArrayLength of null (a JVM would crash)");
        return 0;
    }
    // Long arrays are the only arrays the stand-in makes.
    auto* longs = static_cast<StandInLongArray*>(static_cast<jobject>(owner->Resolve(array)));
    return static_cast<jsize>(longs->values.size());
}

jlongArray JNICALL JniStandIn::NewLongArrayJni(JNIEnv* env, jsize length)
{
    JniStandIn* owner = Owner(env);
    {
        std::lock_guard<std::recursive_mutex> lock(owner->m_lock);
        if (!owner->CheckEnv(env, "NewLongArray"))
            return nullptr;
        if (length < 0)
        {
            owner->SetPending("java/lang/NegativeArraySizeException");
            return nullptr;
        }
    }
    jlongArray made = owner->NewLongArray(std::vector<jlong>(static_cast<size_t>(length), 0));
    std::lock_guard<std::recursive_mutex> lock(owner->m_lock);
    return static_cast<jlongArray>(owner->AddLocal(made));
}

void JNICALL JniStandIn::GetLongArrayRegion(JNIEnv* env, jlongArray array, jsize start, jsize length, jlong* out)
{
    JniStandIn* owner = Owner(env);
    std::lock_guard<std::recursive_mutex> lock(owner->m_lock);
    owner->CheckEnv(env, "GetLongArrayRegion");
    if (!array)
    {
        Misuse("GetLongArrayRegion of null (a JVM would crash)");
        return;
    }
    const auto& values = static_cast<StandInLongArray*>(static_cast<jobject>(owner->Resolve(array)))->values;
    if (start < 0 || length < 0 || static_cast<size_t>(start) + static_cast<size_t>(length) > values.size())
    {
        owner->SetPending("java/lang/ArrayIndexOutOfBoundsException");
        return;
    }
    std::memcpy(out, values.data() + start, static_cast<size_t>(length) * sizeof(jlong));
}

void JNICALL JniStandIn::SetLongArrayRegion(JNIEnv* env, jlongArray array, jsize start, jsize length,
                                            const jlong* values)
{
    JniStandIn* owner = Owner(env);
    std::lock_guard<std::recursive_mutex> lock(owner->m_lock);
    owner->CheckEnv(env, "SetLongArrayRegion");
    if (!array)
    {
        Misuse("SetLongArrayRegion of null (a JVM would crash)");
        return;
    }
    auto& stored = static_cast<StandInLongArray*>(static_cast<jobject>(owner->Resolve(array)))->values;
    if (start < 0 || length < 0 || static_cast<size_t>(start) + static_cast<size_t>(length) > stored.size())
    {
        owner->SetPending("java/lang/ArrayIndexOutOfBoundsException");
        return;
    }
    std::memcpy(stored.data() + start, values, static_cast<size_t>(length) * sizeof(jlong));
}

jint JNICALL JniStandIn::GetJavaVM(JNIEnv* env, JavaVM** vm)
{
    JniStandIn* owner = Owner(env);
    std::lock_guard<std::recursive_mutex> lock(owner->m_lock);
    if (!owner->CheckEnv(env, "GetJavaVM", true) || !vm)
        return JNI_ERR;
    *vm = owner->Vm();
    return JNI_OK;
}

jint JNICALL JniStandIn::DestroyJavaVM(JavaVM*)
{
    // The stand-in lives as long as its owner; nothing to tear down early.
    return JNI_OK;
}

jint JNICALL JniStandIn::AttachCurrentThread(JavaVM* vm, void** env, void*)
{
    JniStandIn* owner = Owner(vm);
    std::lock_guard<std::recursive_mutex> lock(owner->m_lock);
    if (!env)
        return JNI_ERR;
    ThreadState& state = owner->StateOfThisThread();
    if (state.attached)
    {
        *env = &state.block->env;
        return JNI_OK;
    }
    if (owner->m_attachFails)
    {
        *env = nullptr;
        return JNI_ERR;
    }
    state.attached = true;
    state.javaThread = false;
    state.pending.clear();
    ++owner->m_attaches;
    owner->m_journal.push_back("AttachCurrentThread");
    *env = &state.block->env;
    return JNI_OK;
}

jint JNICALL JniStandIn::DetachCurrentThread(JavaVM* vm)
{
    JniStandIn* owner = Owner(vm);
    std::lock_guard<std::recursive_mutex> lock(owner->m_lock);
    ThreadState& state = owner->StateOfThisThread();
    if (!state.attached)
        return JNI_OK;
    if (state.javaThread)
    {
        Misuse("DetachCurrentThread of a thread that Java runs");
        return JNI_ERR;
    }
    state.attached = false;
    ++owner->m_detaches;
    owner->m_journal.push_back("DetachCurrentThread");
    return JNI_OK;
}

jint JNICALL JniStandIn::GetEnv(JavaVM* vm, void** env, jint version)
{
    JniStandIn* owner = Owner(vm);
    std::lock_guard<std::recursive_mutex> lock(owner->m_lock);
    if (!env)
        return JNI_ERR;
    *env = nullptr;
    ThreadState& state = owner->StateOfThisThread();
    if (!state.attached)
        return JNI_EDETACHED;
    if (version < JNI_VERSION_1_1 || version > JNI_VERSION_1_8)
        return JNI_EVERSION;
    *env = &state.block->env;
    return JNI_OK;
}
