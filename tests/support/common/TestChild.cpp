// A second process for tests. The first argument picks what it does:
//   log N                 write N log lines and end with 0
//   exit CODE             end with CODE
//   read-block NAME       open the 16-byte block NAME, end with its first
//                         32-bit value and store that value + 1 at offset 4
//   parse NAME ...        parse the whole argument tail as the server does and
//                         store the result in the 4096-byte block NAME
#include "Handles.h"
#include "Log.h"
#include "VideoPlayerMsg.h"

#include <windows.h>

#include <cstring>
#include <string>

namespace
{
int ReadBlock(const std::string& name)
{
    SharedMemory block;
    if (!block.open(name, 16))
        return -1;
    uint32_t value = 0;
    std::memcpy(&value, block.data(), sizeof(value));
    const uint32_t answer = value + 1;
    std::memcpy(static_cast<uint8_t*>(block.data()) + 4, &answer, sizeof(answer));
    return static_cast<int>(value);
}

int Parse(const std::string& name, const wchar_t* tail)
{
    SharedMemory block;
    if (!block.open(name, 4096))
        return -1;
    const ServerCommandLine args = ParseServerCommandLine(tail);
    uint8_t* out = static_cast<uint8_t*>(block.data());
    const int64_t fields[] = {args.parentHwnd,
                              args.clientHwnd,
                              args.parentProcessId,
                              FloatToBits(args.startPosition),
                              FloatToBits(args.endPosition),
                              FloatToBits(args.soundVolume),
                              args.isLoopEnabled,
                              args.hStubTexture,
                              static_cast<int64_t>(args.mediaFile.size())};
    std::memcpy(out, fields, sizeof(fields));
    std::memcpy(out + sizeof(fields), args.mediaFile.data(), args.mediaFile.size() * sizeof(wchar_t));
    return 0;
}
} // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR tail, int)
{
    const UniqueArgv argv(GetCommandLineW());
    const int argc = argv.Count();
    if (argc < 2)
        return 2;
    const std::wstring mode = argv[1];
    const std::wstring arg = argc > 2 ? argv[2] : L"";
    const std::string narrowArg(arg.begin(), arg.end());
    int result = 3;
    if (mode == L"log")
    {
        for (int i = 0; i < _wtoi(arg.c_str()); ++i)
            Log("child", "line " + std::to_string(i));
        result = 0;
    }
    else if (mode == L"exit")
        result = _wtoi(arg.c_str());
    else if (mode == L"read-block")
        result = ReadBlock(narrowArg);
    else if (mode == L"parse")
        result = Parse(narrowArg, tail);
    return result;
}
