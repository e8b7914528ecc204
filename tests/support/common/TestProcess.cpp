#include "TestProcess.h"

#include <vector>

std::wstring BinDirectory()
{
    wchar_t path[MAX_PATH] = {};
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir(path, length);
    const size_t slash = dir.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring(L".") : dir.substr(0, slash);
}

std::wstring TestMedia(const std::wstring& name)
{
    return BinDirectory() + L"\\..\\test-data\\" + name;
}

bool HaveTestMedia(const std::wstring& name)
{
    return GetFileAttributesW(TestMedia(name).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool TestProcess::Start(const std::wstring& program, const std::wstring& arguments)
{
    const std::wstring path = BinDirectory() + L"\\" + program;
    std::wstring line = L"\"" + path + L"\" " + arguments;
    std::vector<wchar_t> buffer(line.begin(), line.end());
    buffer.push_back(0);
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(path.c_str(), buffer.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return false;
    UniqueHandle thread(pi.hThread);
    m_process.Reset(pi.hProcess);
    m_processId = pi.dwProcessId;
    return true;
}

DWORD TestProcess::Wait(DWORD timeoutMs)
{
    if (!m_process)
        return STILL_ACTIVE;
    WaitForSingleObject(m_process.Get(), timeoutMs);
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(m_process.Get(), &code);
    return code;
}

void TestProcess::Terminate(UINT code)
{
    if (m_process)
        TerminateProcess(m_process.Get(), code);
}

DWORD RunProgram(const std::wstring& program, const std::wstring& arguments, DWORD timeoutMs)
{
    TestProcess process;
    if (!process.Start(program, arguments))
        return GetLastError() | 0x80000000;
    DWORD code = process.Wait(timeoutMs);
    if (code == STILL_ACTIVE)
        process.Terminate(1);
    return code;
}
