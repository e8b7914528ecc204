// Exports of com.quorvane.player.platform.util.win.WinUtil.
#include "com_quorvane_player_platform_util_win_WinUtil.h"

#include "EnvPath.h"
#include "Handles.h"
#include "JniString.h"
#include "Log.h"
#include "Utf8.h"

#include <windows.h>
#include <psapi.h>

#include <cstring>
#include <memory>
#include <sstream>

namespace
{
const jsize kMaxTextUnits = 2047;

// A Java time-out: negative waits without limit; values too large for a
// 32-bit wait do too, instead of wrapping to a short one.
DWORD WaitTimeout(jlong timeoutMs)
{
    if (timeoutMs < 0 || timeoutMs >= static_cast<jlong>(INFINITE))
        return INFINITE;
    return static_cast<DWORD>(timeoutMs);
}
} // namespace

extern "C" JNIEXPORT jboolean JNICALL Java_com_quorvane_player_platform_util_win_WinUtil_nAddEnvironmentPath(
    JNIEnv* env, jclass, jstring path)
{
    Log("nAddEnvironmentPath", "adding path");
    try
    {
        if (!env || !path)
            return JNI_FALSE;
        JniString text(env, path);
        const jsize length = text.Length();
        if (length == 0 || length > kMaxTextUnits)
            return JNI_FALSE;
        const DWORD size = GetEnvironmentVariableW(L"PATH", nullptr, 0);
        if (size == 0)
            return JNI_FALSE;
        std::unique_ptr<wchar_t[]> pEnvPath(new wchar_t[size + length]);
        pEnvPath[0] = 0;
        const DWORD copied = GetEnvironmentVariableW(L"PATH", pEnvPath.get(), size);
        // Empty, or grown beyond the buffer between the two reads.
        if (copied == 0 || copied >= size || pEnvPath[0] == 0)
            return JNI_FALSE;
        const wchar_t* chars = text.Chars();
        if (!chars)
            return JNI_FALSE;
        std::memcpy(pEnvPath.get() + copied, chars, length * sizeof(wchar_t));
        pEnvPath[copied + length] = 0;
        SetEnvironmentVariableW(L"PATH", pEnvPath.get()); // the read-back below shows what happened

        std::ostringstream logout;
        logout << "added path='" << ToUtf8OrPlaceholder(std::wstring(chars, length)) << "'\n   result='"
               << ToUtf8OrPlaceholder(pEnvPath.get()) << "\n   updated='" << ToUtf8OrPlaceholder(GetEnvPath());
        Log("nAddEnvironmentPath", logout);
        return JNI_TRUE;
    }
    catch (...)
    {
        Log("nAddEnvironmentPath [ERROR]", "out of memory");
        return JNI_FALSE;
    }
}

extern "C" JNIEXPORT jlong JNICALL Java_com_quorvane_player_platform_util_win_WinUtil_nGetIdleTime(JNIEnv*, jclass)
{
    LASTINPUTINFO info = {};
    info.cbSize = sizeof(info);
    if (!GetLastInputInfo(&info))
        return -1;
    // Unsigned 32-bit difference: right across a wrap of the tick counter.
    const DWORD idle = GetTickCount() - info.dwTime;
    return static_cast<jlong>(idle);
}

extern "C" JNIEXPORT jstring JNICALL Java_com_quorvane_player_platform_util_win_WinUtil_nGetProcessCommandLine(
    JNIEnv* env, jclass)
{
    if (!env)
        return nullptr;
    const wchar_t* commandLine = GetCommandLineW();
    return NewJavaString(env, commandLine, wcslen(commandLine));
}

extern "C" JNIEXPORT jlong JNICALL Java_com_quorvane_player_platform_util_win_WinUtil_nGetProcessMemory(JNIEnv*,
                                                                                                       jclass)
{
    PROCESS_MEMORY_COUNTERS pmc = {};
    pmc.cb = sizeof(pmc);
    if (!K32GetProcessMemoryInfo(GetCurrentProcess(), &pmc, sizeof(pmc)))
        return 0;
    return static_cast<jlong>(pmc.WorkingSetSize);
}

extern "C" JNIEXPORT jint JNICALL Java_com_quorvane_player_platform_util_win_WinUtil_nStartProcess(
    JNIEnv* env, jclass, jstring commandLine, jboolean waitInputIdle, jlong inputIdleTimeoutMs, jboolean waitExit,
    jlong exitTimeoutMs)
{
    // 0 stands for "nothing started because of the command line", as for one too long.
    if (!env || !commandLine)
        return 0;
    wchar_t cmdLine[kMaxTextUnits + 1];
    {
        JniString text(env, commandLine);
        const jsize length = text.Length();
        if (length > kMaxTextUnits)
            return 0;
        const wchar_t* chars = text.Chars();
        if (!chars)
            return 0;
        std::memcpy(cmdLine, chars, length * sizeof(wchar_t));
        cmdLine[length] = 0;
    }

    STARTUPINFOW startupInfo = {};
    startupInfo.cb = sizeof(startupInfo);
    startupInfo.dwFlags = STARTF_FORCEOFFFEEDBACK;
    PROCESS_INFORMATION processInfo = {};
    if (!CreateProcessW(nullptr, cmdLine, nullptr, nullptr, FALSE, CREATE_UNICODE_ENVIRONMENT, nullptr, nullptr,
                        &startupInfo, &processInfo))
    {
        const DWORD error = GetLastError();
        return error != 0 ? static_cast<jint>(error) : -1;
    }
    UniqueHandle process(processInfo.hProcess);
    UniqueHandle(processInfo.hThread).Reset();

    // The waits' results are not needed: the exit code below tells whether it ended.
    if (waitInputIdle)
        WaitForInputIdle(process.Get(), WaitTimeout(inputIdleTimeoutMs));
    if (waitExit)
        WaitForSingleObject(process.Get(), WaitTimeout(exitTimeoutMs));
    DWORD exitCode = 0;
    GetExitCodeProcess(process.Get(), &exitCode);
    return static_cast<jint>(exitCode);
}
