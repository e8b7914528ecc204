// jvm.dll for tests under Wine, where no Windows JVM exists: JNI_CreateJavaVM
// hands out the JNI stand-in with the player callback class
// "TestWinPlayerCallback". When the VM is destroyed it writes what happened
// (options, Java calls, references, attaches, misuse) to a report file.
//
// Environment switches:
//   QV_TEST_JVM_REPORT  the report file (default "jvm-standin.log" in the current directory)
//   QV_TEST_JVM_FAIL    "create": JNI_CreateJavaVM fails; "class": the callback class is
//                       missing; "getLastError": the class lacks that method
//   QV_TEST_JVM_LEAVE_OUT  a callback method the class lacks, e.g. "onReady" (the library
//                       then starts each video by itself, as without a receiver)
// This DLL defines the invocation function that jni.h declares as imported.
#define _JNI_IMPLEMENTATION_

#include "JniStandIn.h"

#include <windows.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace
{
const char* const kCallbackClass = "TestWinPlayerCallback";

std::mutex g_reportLock;
std::unique_ptr<JniStandIn> g_jvm;
JNIInvokeInterface_ g_vmFunctions; // the stand-in's table with the reporting DestroyJavaVM
jint(JNICALL* g_standInDestroy)(JavaVM*) = nullptr;

std::wstring EnvironmentValue(const wchar_t* name)
{
    wchar_t value[1024] = {};
    const DWORD length = GetEnvironmentVariableW(name, value, 1024);
    return length > 0 && length < 1024 ? std::wstring(value, length) : std::wstring();
}

std::wstring ReportPath()
{
    const std::wstring path = EnvironmentValue(L"QV_TEST_JVM_REPORT");
    return path.empty() ? std::wstring(L"jvm-standin.log") : path;
}

void AppendReport(const std::string& text)
{
    std::lock_guard<std::mutex> lock(g_reportLock);
    std::ofstream report(ReportPath().c_str(), std::ios::out | std::ios::app);
    if (report.is_open())
        report << text << "\n";
}

// Written at once, so that a host that never destroys its VM still leaves them.
void ReportUnimplemented(const char* name)
{
    AppendReport(std::string("unimplemented ") + name);
}

void ReportMisuse(const char* text)
{
    AppendReport(std::string("misuse ") + text);
}

jint JNICALL ReportingDestroyJavaVM(JavaVM* vm)
{
    std::ostringstream report;
    report << "DestroyJavaVM\n";
    for (const std::string& line : g_jvm->Journal())
        report << "journal " << line << "\n";
    report << "live global refs " << g_jvm->LiveGlobalRefs() << "\n";
    report << "pinned strings " << g_jvm->PinnedStrings() << "\n";
    report << "attaches " << g_jvm->Attaches() << "\n";
    report << "detaches " << g_jvm->Detaches() << "\n";
    report << "end of report";
    AppendReport(report.str());
    return g_standInDestroy(vm);
}
} // namespace

extern "C" _JNI_IMPORT_OR_EXPORT_ jint JNICALL JNI_CreateJavaVM(JavaVM** vm, void** env, void* arguments)
{
    if (!vm || !env)
        return JNI_EINVAL;
    *vm = nullptr;
    *env = nullptr;
    {
        // A fresh report per VM.
        std::lock_guard<std::mutex> lock(g_reportLock);
        std::ofstream truncate(ReportPath().c_str(), std::ios::out | std::ios::trunc);
    }
    if (g_jvm)
    {
        AppendReport("JNI_CreateJavaVM called twice");
        return JNI_EEXIST; // a process holds one VM, as with a real JVM
    }
    std::ostringstream header;
    if (const auto* init = static_cast<const JavaVMInitArgs*>(arguments))
    {
        header << "version 0x" << std::hex << init->version << std::dec << "\n";
        header << "ignoreUnrecognized " << static_cast<int>(init->ignoreUnrecognized) << "\n";
        for (jint i = 0; i < init->nOptions; ++i)
        {
            const char* option = init->options[i].optionString;
            header << "option " << (option ? option : "") << "\n";
        }
    }
    const std::wstring fail = EnvironmentValue(L"QV_TEST_JVM_FAIL");
    header << "JNI_CreateJavaVM" << (fail == L"create" ? " failing on request" : "");
    AppendReport(header.str());
    if (fail == L"create")
        return JNI_ERR;

    JniStandIn::SetDefaultHandlers(&ReportUnimplemented, &ReportMisuse);
    g_jvm.reset(new JniStandIn());
    std::set<std::string> without;
    if (fail == L"getLastError")
        without.insert("getLastError");
    const std::wstring leaveOut = EnvironmentValue(L"QV_TEST_JVM_LEAVE_OUT");
    if (!leaveOut.empty())
        without.insert(std::string(leaveOut.begin(), leaveOut.end())); // method names are ASCII
    if (fail != L"class")
        g_jvm->AddPlayerCallbackClass(kCallbackClass, without);

    JavaVM* standInVm = g_jvm->Vm();
    g_vmFunctions = *standInVm->functions;
    g_standInDestroy = g_vmFunctions.DestroyJavaVM;
    g_vmFunctions.DestroyJavaVM = &ReportingDestroyJavaVM;
    standInVm->functions = &g_vmFunctions;

    *vm = standInVm;
    *env = g_jvm->Env();
    return JNI_OK;
}
