#include "VideoPlayerMsg.h"

#include "Diagnostics.h"
#include "Handles.h"

#include <climits>
#include <cstring>
#include <cwchar>

namespace
{
template <typename T>
void AppendBytes(std::vector<uint8_t>& out, T value)
{
    uint8_t bytes[sizeof(T)];
    std::memcpy(bytes, &value, sizeof(T));
    out.insert(out.end(), bytes, bytes + sizeof(T));
}

std::string BlockName(const char* prefix, DWORD processId, HWND windowHandle)
{
    const uint32_t suffix = static_cast<uint32_t>(processId) |
                            static_cast<uint32_t>(reinterpret_cast<uintptr_t>(windowHandle));
    return std::string(prefix) + std::to_string(suffix);
}

const std::wstring& ValueOf(const std::map<std::wstring, std::wstring>& args, const wchar_t* key)
{
    static const std::wstring empty;
    auto it = args.find(key);
    return it == args.end() ? empty : it->second;
}
} // namespace

bool IsUsableFrame(const FrameParams& frame)
{
    return frame.textureHandle != 0 && frame.textureHandle != UINT64_MAX && frame.width != 0 && frame.height != 0;
}

std::vector<uint8_t> VideoErrorMsg::Serialize() const
{
    std::vector<uint8_t> out;
    out.reserve(kVideoErrorHeaderSize + text.size() + 1);
    AppendBytes(out, code);
    AppendBytes(out, param1);
    AppendBytes(out, param2);
    out.insert(out.end(), text.begin(), text.end());
    out.push_back(0);
    return out;
}

MsgReadBuffer::MsgReadBuffer(const void* data, int len)
    : cursor(static_cast<const uint8_t*>(data)), dataLen(data && len > 0 ? len : 0)
{
}

bool MsgReadBuffer::read(void* out, int len)
{
    if (dataLen < len)
    {
        ReportDiagnostic("dataLen>=(int)len");
        dataLen = 0;
        return false;
    }
    std::memcpy(out, cursor, static_cast<size_t>(len));
    cursor += len;
    dataLen -= len;
    return true;
}

std::string MsgReadBuffer::readString()
{
    if (dataLen <= 0)
    {
        ReportDiagnostic("remaining()>0");
        return std::string();
    }
    const void* nul = std::memchr(cursor, 0, static_cast<size_t>(dataLen));
    if (!nul)
    {
        // No terminator inside the block: take what is there and stop at its end.
        ReportDiagnostic("dataLen>=0");
        std::string text(reinterpret_cast<const char*>(cursor), static_cast<size_t>(dataLen));
        cursor += dataLen;
        dataLen = 0;
        return text;
    }
    const size_t length = static_cast<size_t>(static_cast<const uint8_t*>(nul) - cursor);
    std::string text(reinterpret_cast<const char*>(cursor), length);
    cursor += length + 1;
    dataLen -= static_cast<int>(length + 1);
    return text;
}

VideoErrorMsg ReadVideoErrorMsg(const void* data, int dataLen)
{
    VideoErrorMsg msg;
    MsgReadBuffer readBuf(data, dataLen);
    readBuf.read(&msg.code, sizeof(msg.code));
    readBuf.read(&msg.param1, sizeof(msg.param1));
    readBuf.read(&msg.param2, sizeof(msg.param2));
    if (readBuf.remaining() <= 0)
        ReportDiagnostic("readBuf.remaining()>0");
    else
        msg.text = readBuf.readString();
    if (readBuf.remaining() != 0)
        ReportDiagnostic("readBuf.remaining()==0");
    return msg;
}

bool SharedMemory::create(const std::string& name, size_t size)
{
    return Make(name, size, false);
}

bool SharedMemory::Make(const std::string& name, size_t size, bool mustBeNew)
{
    close();
    m_size = size;
    const ULONGLONG size64 = size;
    m_mapping.Reset(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, static_cast<DWORD>(size64 >> 32),
                                       static_cast<DWORD>(size64), name.c_str()));
    if (!m_mapping || (mustBeNew && GetLastError() == ERROR_ALREADY_EXISTS))
    {
        close();
        return false;
    }
    m_view.Reset(MapViewOfFile(m_mapping.Get(), FILE_MAP_ALL_ACCESS, 0, 0, size));
    if (!m_view)
    {
        close();
        return false;
    }
    return true;
}

bool SharedMemory::createNew(const std::string& name, size_t size)
{
    return Make(name, size, true);
}

bool SharedMemory::open(const std::string& name, size_t size)
{
    close();
    m_size = size;
    UniqueHandle mapping(OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, name.c_str()));
    if (!mapping)
    {
        close();
        return false;
    }
    // The view keeps the block alive; the mapping handle is not needed past it.
    m_view.Reset(MapViewOfFile(mapping.Get(), FILE_MAP_ALL_ACCESS, 0, 0, size));
    if (!m_view)
    {
        close();
        return false;
    }
    return true;
}

void SharedMemory::close()
{
    m_view.Reset();
    m_mapping.Reset();
    m_size = 0;
}

std::string frameBlockName(DWORD processId, HWND windowHandle)
{
    return BlockName("qv_d3d_framedata_", processId, windowHandle);
}

std::string errorBlockName(DWORD processId, HWND windowHandle)
{
    return BlockName("qv_d3d_errdata_", processId, windowHandle);
}

bool BlockNameInUse(const std::string& name)
{
    UniqueHandle block(OpenFileMappingA(FILE_MAP_READ, FALSE, name.c_str()));
    return block || GetLastError() != ERROR_FILE_NOT_FOUND;
}

uint32_t FloatToBits(float value)
{
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof(bits));
    return bits;
}

float BitsToFloat(uint32_t bits)
{
    float value;
    std::memcpy(&value, &bits, sizeof(value));
    return value;
}

std::wstring BuildServerCommandLine(const ServerCommandLine& args)
{
    std::wstring line = kVideoServerExe;
    line += L" parentHwnd=" + std::to_wstring(args.parentHwnd);
    line += L" clientHwnd=" + std::to_wstring(args.clientHwnd);
    line += L" parentProcessId=" + std::to_wstring(args.parentProcessId);
    line += L" \"mediaFile=" + args.mediaFile + L"\"";
    line += L" startPosition=" + std::to_wstring(FloatToBits(args.startPosition));
    line += L" endPosition=" + std::to_wstring(FloatToBits(args.endPosition));
    line += L" soundVolume=" + std::to_wstring(FloatToBits(args.soundVolume));
    line += L" isLoopEnabled=" + std::to_wstring(args.isLoopEnabled ? 1 : 0);
    if (args.hStubTexture != 0)
        line += L" hStubTexture=" + std::to_wstring(args.hStubTexture);
    line += L" ";
    return line;
}

int64_t ReadInt64(const std::wstring& value)
{
    // wcstoll saturates at the range's ends, as the CRT's _wtoi64 does.
    long long result = std::wcstoll(value.c_str(), nullptr, 10);
    return static_cast<int64_t>(result);
}

int32_t ReadInt32(const std::wstring& value)
{
    const int64_t wide = ReadInt64(value);
    if (wide > INT32_MAX)
        return INT32_MAX;
    if (wide < INT32_MIN)
        return INT32_MIN;
    return static_cast<int32_t>(wide);
}

std::map<std::wstring, std::wstring> SplitServerArgs(const wchar_t* tail)
{
    std::map<std::wstring, std::wstring> args;
    // CommandLineToArgvW turns an empty line into the program's own path.
    if (!tail || !*tail)
        return args;
    const UniqueArgv argv(tail);
    for (int i = 0; i < argv.Count(); ++i)
    {
        std::wstring arg = argv[i];
        const size_t eq = arg.find(L'=');
        if (eq == std::wstring::npos)
            continue;
        args.emplace(arg.substr(0, eq), arg.substr(eq + 1));
    }
    return args;
}

ServerCommandLine ParseServerCommandLine(const wchar_t* tail)
{
    const auto args = SplitServerArgs(tail);
    ServerCommandLine parsed;
    parsed.parentHwnd = ReadInt64(ValueOf(args, L"parentHwnd"));
    parsed.clientHwnd = ReadInt64(ValueOf(args, L"clientHwnd"));
    parsed.parentProcessId = ReadInt64(ValueOf(args, L"parentProcessId"));
    parsed.mediaFile = ValueOf(args, L"mediaFile");
    parsed.startPosition = BitsToFloat(static_cast<uint32_t>(ReadInt32(ValueOf(args, L"startPosition"))));
    parsed.endPosition = BitsToFloat(static_cast<uint32_t>(ReadInt32(ValueOf(args, L"endPosition"))));
    if (args.count(L"soundVolume"))
        parsed.soundVolume = BitsToFloat(static_cast<uint32_t>(ReadInt32(ValueOf(args, L"soundVolume"))));
    parsed.isLoopEnabled = ReadInt32(ValueOf(args, L"isLoopEnabled"));
    parsed.hStubTexture = ReadInt64(ValueOf(args, L"hStubTexture"));
    return parsed;
}
