// Everything that crosses the process boundary between the library (client)
// and the video server: messages, codes, records, block names, command line.
#pragma once

#include "Handles.h"

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

// Window messages. Commands go client to server, notifications server to client.
enum : UINT
{
    WM_VP_PAUSE = WM_APP + 201,
    WM_VP_RESUME = WM_APP + 202,
    WM_VP_CLOSE = WM_APP + 203,
    WM_VP_GET_FRAME = WM_APP + 204,
    WM_VP_GET_DURATION = WM_APP + 205,
    WM_VP_GET_POSITION = WM_APP + 206,
    WM_VP_SET_POSITION = WM_APP + 207,
    WM_VP_GET_LOOP = WM_APP + 208,
    WM_VP_SET_LOOP = WM_APP + 209,
    WM_VP_NOOP = WM_APP + 210,
    WM_VP_GET_STATE = WM_APP + 211,
    WM_VP_ON_CREATED = WM_APP + 212,
    WM_VP_ON_READY = WM_APP + 213,
    WM_VP_ON_CLOSED = WM_APP + 214,
    WM_VP_ON_ERROR = WM_APP + 215,
    WM_VP_ON_EVENT = WM_APP + 216,
};
static_assert(WM_VP_PAUSE == 0x80C9 && WM_VP_ON_EVENT == 0x80D8, "protocol message numbers");

// Every synchronous exchange of the protocol uses these.
const UINT kVpSendFlags = SMTO_ABORTIFHUNG | SMTO_ERRORONEXIT;
const UINT kVpSendTimeoutMs = 3000;

// Event and error codes share one 32-bit space.
enum : uint32_t
{
    VE_PLAY_COMPLETE = 1,
    VE_PLAY_PAUSED = 3,
    VE_CLOCK_SET = 4,
    VE_PLAY_LOOP_RESTART = 6,
    VE_UNKNOWN_EVENT = 0xFFFF,
    VE_COMMAND_FAILED = 0x000F1000,
    VE_PLAY_ERROR = 0xF0000000,
    VE_PLAY_ERROR_WRONG_STATE = 0xF0100000,
    VE_INIT_ERROR = 0xF0200000,
};
// Player notifications at or above this code (unsigned) travel as errors.
const uint32_t kVeErrorThreshold = 0x10000000;
// wParam of WM_VP_ON_ERROR when the error block could not be created.
const WPARAM kVeNoErrorBlock = 1000;

// Exit codes of the server.
enum : int
{
    VSRV_EXIT_OK = 0,
    VSRV_EXIT_FAILURE = -1,
    VSRV_EXIT_NOT_CREATED = -2,
    VSRV_EXIT_NO_MEDIA_FILE = -3,
    VSRV_EXIT_NO_TIMER = -4,
    VSRV_EXIT_NOT_READY = -5,
    VSRV_EXIT_OPEN_FAILED = -6,
    VSRV_EXIT_NO_FRAME_BLOCK = -100,
};
const DWORD kStatusStillActive = 259;
const DWORD kStatusDllNotFound = 0xC0000135;

// The frame block: 16 bytes, little-endian, no padding.
#pragma pack(push, 1)
struct FrameParams
{
    uint64_t textureHandle;
    uint16_t width;
    uint16_t height;
    uint32_t format;
};
#pragma pack(pop)
static_assert(sizeof(FrameParams) == 16, "FrameParams is 16 bytes");
static_assert(offsetof(FrameParams, textureHandle) == 0, "FrameParams.textureHandle at 0");
static_assert(offsetof(FrameParams, width) == 8, "FrameParams.width at 8");
static_assert(offsetof(FrameParams, height) == 10, "FrameParams.height at 10");
static_assert(offsetof(FrameParams, format) == 12, "FrameParams.format at 12");

// A descriptor names a frame only with a real handle and a non-empty size.
bool IsUsableFrame(const FrameParams& frame);

// The error record: code(4) param1(8) param2(8) text(n) NUL, 21 + n bytes.
const size_t kVideoErrorHeaderSize = 20;
struct VideoErrorMsg
{
    int32_t code = 0;
    int64_t param1 = 0;
    int64_t param2 = 0;
    std::string text;

    std::vector<uint8_t> Serialize() const;
};

// Reads an error record without ever reading past dataLen bytes; violated
// conditions are reported as diagnostics and reading goes on.
class MsgReadBuffer
{
public:
    MsgReadBuffer(const void* data, int dataLen);

    // Copies len bytes into out, or nothing (and empties the buffer) when
    // fewer are left.
    bool read(void* out, int len);
    // The NUL-terminated text at the cursor, bounded by the bytes left.
    std::string readString();
    int remaining() const { return dataLen; }

private:
    const uint8_t* cursor;
    int dataLen;
};

VideoErrorMsg ReadVideoErrorMsg(const void* data, int dataLen);

// A named memory block. The server creates, the client opens.
class SharedMemory
{
public:
    SharedMemory() = default;
    ~SharedMemory() { close(); }
    SharedMemory(const SharedMemory&) = delete;
    SharedMemory& operator=(const SharedMemory&) = delete;

    bool create(const std::string& name, size_t size);
    // As create, but fails when a block of that name exists already.
    bool createNew(const std::string& name, size_t size);
    bool open(const std::string& name, size_t size);
    void close();
    void* data() const { return m_view.Get(); }
    size_t size() const { return m_size; }

private:
    bool Make(const std::string& name, size_t size, bool mustBeNew);

    UniqueHandle m_mapping;
    UniqueView m_view;
    size_t m_size = 0;
};

// Kernel object names; both sides build them here.
std::string frameBlockName(DWORD processId, HWND windowHandle);
std::string errorBlockName(DWORD processId, HWND windowHandle);
// True when a block of that name exists (or cannot be told apart from one).
bool BlockNameInUse(const std::string& name);

// Floats cross the boundary as their IEEE-754 bits, never converted.
uint32_t FloatToBits(float value);
float BitsToFloat(uint32_t bits);

// The server's command line.
const wchar_t* const kVideoServerExe = L"qvfx-reviv.exe";
const size_t kMaxServerCommandLine = 2047;
const float kDefaultSoundVolume = 0.95f;

struct ServerCommandLine
{
    int64_t parentHwnd = 0;
    int64_t clientHwnd = 0;
    int64_t parentProcessId = 0;
    std::wstring mediaFile;
    float startPosition = 0.0f;
    float endPosition = 0.0f;
    float soundVolume = kDefaultSoundVolume;
    int isLoopEnabled = 0;
    int64_t hStubTexture = 0;
};

// Client side: the whole line, program name first, each item followed by one blank.
std::wstring BuildServerCommandLine(const ServerCommandLine& args);

// Server side: the argument tail split into key=value pairs, first occurrence kept.
std::map<std::wstring, std::wstring> SplitServerArgs(const wchar_t* tail);
ServerCommandLine ParseServerCommandLine(const wchar_t* tail);

// The CRT's saturating decimal readers; an empty value reads as 0.
int32_t ReadInt32(const std::wstring& value);
int64_t ReadInt64(const std::wstring& value);
