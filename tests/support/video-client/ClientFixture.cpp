#include "ClientFixture.h"

#include <cstdio>
#include <cstring>

bool ClientRun::Start(HANDLE stubTexture, bool clientStub, const std::wstring& mediaFile)
{
    client->SetStubMode(stubTexture, clientStub);
    OpenParameters parameters;
    parameters.mediaFile = mediaFile;
    parameters.soundVolume = 0.5f;
    parameters.isLoopEnabled = 1;
    return Open(parameters);
}

bool ClientRun::Open(const OpenParameters& parameters)
{
    if (!client->Init(0, parameters))
    {
        std::fprintf(stderr, "ClientRun: Init failed (%lu)\n", GetLastError());
        return false;
    }
    if (client->Open())
        return true;
    // Some tests expect the failure; for the others this says why.
    std::fprintf(stderr, "ClientRun: Open failed; %zu error(s)%s%s\n", log->errors.size(),
                 log->errors.empty() ? "" : ", the first: ", log->errors.empty() ? "" : log->errors[0].text.c_str());
    return false;
}

bool ClientRun::WaitReady(DWORD timeoutMs)
{
    return PumpUntil([this] { return log->readyCount > 0 || !log->errors.empty(); }, timeoutMs) &&
           log->readyCount > 0;
}

bool ClientRun::WaitErrors(size_t count, DWORD timeoutMs)
{
    return PumpUntil([this, count] { return log->errors.size() >= count; }, timeoutMs);
}

void ClientRun::Settle(DWORD ms)
{
    PumpUntil([] { return false; }, ms);
}

std::wstring ClientRun::ExistingFile()
{
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return path;
}

UniqueHandle OpenServerProcess(HWND serverWindow)
{
    DWORD processId = 0;
    if (!GetWindowThreadProcessId(serverWindow, &processId))
        return UniqueHandle();
    return UniqueHandle(
        OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE, FALSE, processId));
}

DWORD PumpUntilExit(HANDLE process, DWORD timeoutMs)
{
    PumpUntil([process] { return WaitForSingleObject(process, 0) == WAIT_OBJECT_0; }, timeoutMs);
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(process, &code);
    return code;
}

RawClientWindow::RawClientWindow(LRESULT createdAnswer)
    : m_window(L"QvRawClientWindow", this), m_createdAnswer(createdAnswer)
{
    m_window.Create(nullptr, true);
}

BOOL RawClientWindow::OnWindowMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result)
{
    if (message < WM_VP_PAUSE || message > WM_VP_ON_EVENT)
        return FALSE;
    messages.push_back(message);
    *result = 0;
    if (message == WM_VP_ON_CREATED)
    {
        serverHwnd = reinterpret_cast<HWND>(wParam);
        *result = m_createdAnswer;
    }
    else if (message == WM_VP_ON_ERROR)
    {
        SharedMemory block;
        if (lParam > 0 && block.open(errorBlockName(GetCurrentProcessId(), hwnd), static_cast<size_t>(lParam)))
        {
            errors.push_back(ReadVideoErrorMsg(block.data(), static_cast<int>(lParam)));
            *result = 1;
        }
    }
    return TRUE;
}

std::wstring ServerArgs(HWND client, DWORD processId, const std::wstring& mediaFile, int64_t stubTexture)
{
    ServerCommandLine args;
    args.clientHwnd = static_cast<int64_t>(reinterpret_cast<intptr_t>(client));
    args.parentProcessId = processId;
    args.mediaFile = mediaFile;
    args.hStubTexture = stubTexture;
    const std::wstring line = BuildServerCommandLine(args);
    // TestProcess names the program itself.
    return line.substr(line.find(L' ') + 1);
}

ScratchFolder::ScratchFolder()
{
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    m_path = std::wstring(temp) + L"qv-sc-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
             std::to_wstring(GetTickCount64());
    CreateDirectoryW(m_path.c_str(), nullptr);
}

ScratchFolder::~ScratchFolder()
{
    for (const std::wstring& file : m_files)
        DeleteFileW(file.c_str());
    RemoveDirectoryW(m_path.c_str());
}

bool ScratchFolder::CopyIn(const std::wstring& fromBin, const std::wstring& asName)
{
    const std::wstring target = m_path + L"\\" + asName;
    if (!CopyFileW((BinDirectory() + L"\\" + fromBin).c_str(), target.c_str(), FALSE))
        return false;
    m_files.push_back(target);
    return true;
}

UniqueHandle StartProgramIn(const std::wstring& folder, const std::wstring& program, const std::wstring& arguments)
{
    const std::wstring path = folder + L"\\" + program;
    std::wstring line = L"\"" + path + L"\" " + arguments;
    std::vector<wchar_t> buffer(line.begin(), line.end());
    buffer.push_back(0);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(path.c_str(), buffer.data(), nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(), &startup,
                        &info))
        return UniqueHandle();
    UniqueHandle thread(info.hThread);
    return UniqueHandle(info.hProcess);
}
