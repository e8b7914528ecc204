#include "JniStandIn.h"

#include "JniEnvSlots.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <utility>

// A Java string of the stand-in: the opaque JNI type with its text.
struct StandInString : _jstring
{
    std::wstring text;
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

void DefaultUnimplementedHandler(const char* name)
{
    std::fprintf(stderr, "JNI stand-in: %s is called but not implemented\n", name);
    std::fflush(stderr);
    ADD_FAILURE() << "JNI stand-in: " << name << " is called but not implemented";
}

std::atomic<JniStandIn::UnimplementedHandler> g_unimplementedHandler{&DefaultUnimplementedHandler};

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
} // namespace

JniStandIn::JniStandIn()
{
    FillEnvStubs(m_envFunctions, std::make_index_sequence<kEnvSlotCount>());
    FillVmStubs(m_vmFunctions, std::make_index_sequence<kVmSlotCount>());

    m_envFunctions.GetVersion = &JniStandIn::GetVersion;
    m_envFunctions.NewString = &JniStandIn::NewString;
    m_envFunctions.GetStringLength = &JniStandIn::GetStringLength;
    m_envFunctions.GetStringChars = &JniStandIn::GetStringChars;
    m_envFunctions.ReleaseStringChars = &JniStandIn::ReleaseStringChars;
    m_vmFunctions.GetEnv = &JniStandIn::GetEnv;

    m_envBlock.env.functions = &m_envFunctions;
    m_envBlock.owner = this;
    m_vmBlock.vm.functions = &m_vmFunctions;
    m_vmBlock.owner = this;
}

JniStandIn::~JniStandIn()
{
    for (StandInString* text : m_strings)
        delete text;
    for (const jchar* chars : m_pinned)
        delete[] chars;
}

JniStandIn* JniStandIn::Owner(JNIEnv* env)
{
    return reinterpret_cast<EnvBlock*>(env)->owner;
}

JniStandIn* JniStandIn::Owner(JavaVM* vm)
{
    return reinterpret_cast<VmBlock*>(vm)->owner;
}

jstring JniStandIn::MakeString(std::wstring text, bool throughJni)
{
    auto* made = new StandInString;
    made->text = std::move(text);
    std::lock_guard<std::mutex> lock(m_lock);
    m_strings.push_back(made);
    if (throughJni)
        ++m_madeThroughJni;
    return made;
}

jstring JniStandIn::NewJavaString(const std::wstring& text)
{
    return MakeString(text, false);
}

std::wstring JniStandIn::Text(jstring text)
{
    return text ? static_cast<StandInString*>(text)->text : std::wstring();
}

size_t JniStandIn::PinnedStrings()
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_pinned.size();
}

size_t JniStandIn::StringsMadeThroughJni()
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_madeThroughJni;
}

void JniStandIn::SetUnimplementedHandler(UnimplementedHandler handler)
{
    g_unimplementedHandler = handler ? handler : &DefaultUnimplementedHandler;
}

jint JNICALL JniStandIn::GetVersion(JNIEnv*)
{
    return JNI_VERSION_1_8;
}

jstring JNICALL JniStandIn::NewString(JNIEnv* env, const jchar* chars, jsize length)
{
    if (!chars && length > 0)
    {
        ADD_FAILURE() << "JNI stand-in: NewString without characters";
        return nullptr;
    }
    std::wstring text(reinterpret_cast<const wchar_t*>(chars), reinterpret_cast<const wchar_t*>(chars) + length);
    return Owner(env)->MakeString(std::move(text), true);
}

jsize JNICALL JniStandIn::GetStringLength(JNIEnv*, jstring text)
{
    if (!text)
    {
        ADD_FAILURE() << "JNI stand-in: GetStringLength of null (a JVM would crash)";
        return 0;
    }
    return static_cast<jsize>(Text(text).size());
}

const jchar* JNICALL JniStandIn::GetStringChars(JNIEnv* env, jstring text, jboolean* isCopy)
{
    if (!text)
    {
        ADD_FAILURE() << "JNI stand-in: GetStringChars of null (a JVM would crash)";
        return nullptr;
    }
    const std::wstring& value = static_cast<StandInString*>(text)->text;
    // A copy that is not terminated, as a JVM gives it.
    auto* chars = new jchar[value.size() + 1];
    std::memcpy(chars, value.data(), value.size() * sizeof(jchar));
    chars[value.size()] = 0xFFFF;
    if (isCopy)
        *isCopy = JNI_TRUE;
    JniStandIn* owner = Owner(env);
    std::lock_guard<std::mutex> lock(owner->m_lock);
    owner->m_pinned.insert(chars);
    return chars;
}

void JNICALL JniStandIn::ReleaseStringChars(JNIEnv* env, jstring, const jchar* chars)
{
    JniStandIn* owner = Owner(env);
    std::lock_guard<std::mutex> lock(owner->m_lock);
    if (owner->m_pinned.erase(chars) == 0)
    {
        ADD_FAILURE() << "JNI stand-in: ReleaseStringChars of characters that were not handed out";
        return;
    }
    delete[] chars;
}

jint JNICALL JniStandIn::GetEnv(JavaVM* vm, void** env, jint)
{
    if (!env)
        return JNI_ERR;
    *env = Owner(vm)->Env();
    return JNI_OK;
}
