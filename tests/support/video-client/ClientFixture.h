// Shared fixtures of the server and client tests.
#pragma once

#include "Handles.h"
#include "HelperWindow.h"
#include "TestProcess.h"
#include "VideoPlayerClient.h"

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// What a recording callback saw; outlives the callback, which the client deletes.
struct CallbackLog
{
    struct Error
    {
        uint32_t code;
        int64_t param1;
        int64_t param2;
        std::string text;
    };
    std::vector<Error> errors;
    std::vector<std::pair<int32_t, int64_t>> events;
    int readyCount = 0;
    HWND readyServer = nullptr;
    bool released = false;
};

class RecordingCallback : public IVideoCallback
{
public:
    explicit RecordingCallback(std::shared_ptr<CallbackLog> log) : m_log(std::move(log)) {}
    void onError(VideoPlayerClient*, uint32_t code, int64_t param1, int64_t param2, const std::string& text) override
    {
        m_log->errors.push_back({code, param1, param2, text});
    }
    void onEvent(VideoPlayerClient*, int32_t code, int64_t value) override { m_log->events.emplace_back(code, value); }
    void onReady(VideoPlayerClient*, HWND serverWindow) override
    {
        ++m_log->readyCount;
        m_log->readyServer = serverWindow;
    }
    void Release() override
    {
        m_log->released = true;
        delete this;
    }

private:
    std::shared_ptr<CallbackLog> m_log;
};

// A made-up shared handle: the protocol only carries the number.
const HANDLE kFakeStubTexture = reinterpret_cast<HANDLE>(static_cast<intptr_t>(0x1234));

// A VideoPlayerClient with a recording callback, pumped on the test's thread.
struct ClientRun
{
    std::shared_ptr<CallbackLog> log = std::make_shared<CallbackLog>();
    std::unique_ptr<VideoPlayerClient> client{new VideoPlayerClient(new RecordingCallback(log))};

    // Init and Open with the given media file (default: an existing file).
    bool Start(HANDLE stubTexture, bool clientStub, const std::wstring& mediaFile = ExistingFile());
    // Init and Open with the given parameters; a failure says why on stderr.
    bool Open(const OpenParameters& parameters);
    bool WaitReady(DWORD timeoutMs = 10000);
    bool WaitErrors(size_t count, DWORD timeoutMs = 10000);
    // Pumps for a while so that late messages would arrive.
    void Settle(DWORD ms = 300);

    static std::wstring ExistingFile();
};

// The server process behind a server window, opened to wait, read and end it.
UniqueHandle OpenServerProcess(HWND serverWindow);

// Waits for a process while answering messages sent to this thread.
DWORD PumpUntilExit(HANDLE process, DWORD timeoutMs = 15000);

// A client window of the test's own, for driving the server by hand.
class RawClientWindow : public WndMessageHandler
{
public:
    explicit RawClientWindow(LRESULT createdAnswer = 1);
    BOOL OnWindowMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) override;
    HWND Hwnd() const { return m_window.GetHwnd(); }

    std::vector<UINT> messages;
    std::vector<VideoErrorMsg> errors; // read synchronously from the error block
    HWND serverHwnd = nullptr;

private:
    HelperWindow m_window;
    LRESULT m_createdAnswer;
};

// Arguments of the server for a hand-made client window.
std::wstring ServerArgs(HWND client, DWORD processId, const std::wstring& mediaFile, int64_t stubTexture);

// A scratch folder that is removed with its files.
class ScratchFolder
{
public:
    ScratchFolder();
    ~ScratchFolder();
    const std::wstring& Path() const { return m_path; }
    bool CopyIn(const std::wstring& fromBin, const std::wstring& asName);

private:
    std::wstring m_path;
    std::vector<std::wstring> m_files;
};

// What qv-sc-host writes into the block named on its command line.
#pragma pack(push, 1)
struct HostReport
{
    int32_t openResult;
    int32_t readyCount;
    int64_t serverHwnd;
    uint32_t errorCode;
    int32_t errorCount;
    int64_t param1;
    char text[256];
};
#pragma pack(pop)

// Starts folder\program with folder as the current directory.
UniqueHandle StartProgramIn(const std::wstring& folder, const std::wstring& program, const std::wstring& arguments);
