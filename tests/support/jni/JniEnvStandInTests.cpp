#include "JniStandIn.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace
{
std::vector<std::string> g_reported;

void Collect(const char* name)
{
    g_reported.push_back(name);
}
} // namespace

TEST(JniStandIn, UnimplementedFunctionsReportTheirOwnSlotName)
{
    JniStandIn jni;
    JNIEnv* env = jni.Env();
    JavaVM* vm = jni.Vm();
    g_reported.clear();
    JniStandIn::SetUnimplementedHandler(&Collect);
    EXPECT_EQ(nullptr, env->GetSuperclass(nullptr));
    EXPECT_EQ(nullptr, env->NewIntArray(2));
    EXPECT_EQ(nullptr, env->functions->GetModule(env, nullptr));
    void* attached = nullptr;
    EXPECT_EQ(0, vm->AttachCurrentThreadAsDaemon(&attached, nullptr));
    JniStandIn::SetUnimplementedHandler(nullptr);
    EXPECT_EQ((std::vector<std::string>{"GetSuperclass", "NewIntArray", "GetModule", "AttachCurrentThreadAsDaemon"}), g_reported);
}

TEST(JniStandIn, StringsRoundTripAsUtf16AndPinsAreCounted)
{
    JniStandIn jni;
    JNIEnv* env = jni.Env();
    const std::wstring text = std::wstring(L"a\u00e9") + wchar_t(0xD83D) + wchar_t(0xDE00);
    jstring value = jni.NewJavaString(text);
    EXPECT_EQ(4, env->GetStringLength(value));
    const jchar* chars = env->GetStringChars(value, nullptr);
    EXPECT_EQ(1u, jni.PinnedStrings());
    jstring copy = env->NewString(chars, 4);
    env->ReleaseStringChars(value, chars);
    EXPECT_EQ(0u, jni.PinnedStrings());
    EXPECT_EQ(text, JniStandIn::Text(copy));
    EXPECT_EQ(1u, jni.StringsMadeThroughJni());

    JNIEnv* fromVm = nullptr;
    EXPECT_EQ(JNI_OK, jni.Vm()->GetEnv(reinterpret_cast<void**>(&fromVm), JNI_VERSION_1_8));
    EXPECT_EQ(env, fromVm);
}
