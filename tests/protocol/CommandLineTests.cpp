#include "VideoPlayerMsg.h"

#include "TestProcess.h"

#include <gtest/gtest.h>

#include <cstring>

namespace
{
ServerCommandLine Sample()
{
    ServerCommandLine args;
    args.parentHwnd = 0x30F02;
    args.clientHwnd = 0x40A1C;
    args.parentProcessId = 4321;
    args.mediaFile = L"C:\\my videos\\a clip.mp4";
    args.startPosition = 1.5f;
    args.endPosition = 0.0f;
    args.soundVolume = 0.5f;
    args.isLoopEnabled = 1;
    return args;
}
} // namespace

TEST(CommandLine, ClientWritesEveryItemInOrderEachFollowedByOneBlank)
{
    EXPECT_EQ(L"qvfx-reviv.exe parentHwnd=200450 clientHwnd=264732 parentProcessId=4321 "
              L"\"mediaFile=C:\\my videos\\a clip.mp4\" startPosition=1069547520 endPosition=0 "
              L"soundVolume=1056964608 isLoopEnabled=1 ",
              BuildServerCommandLine(Sample()));

    ServerCommandLine stub = Sample();
    stub.hStubTexture = -1073741758;
    const std::wstring line = BuildServerCommandLine(stub);
    EXPECT_EQ(L"isLoopEnabled=1 hStubTexture=-1073741758 ", line.substr(line.find(L"isLoopEnabled")));
}

TEST(CommandLine, ServerReadsBackWhatTheClientWrote)
{
    ServerCommandLine args = Sample();
    args.hStubTexture = 0x7FFFFFFF12345678;
    const std::wstring line = BuildServerCommandLine(args);
    const ServerCommandLine parsed = ParseServerCommandLine(line.c_str() + line.find(L' ') + 1);
    EXPECT_EQ(args.parentHwnd, parsed.parentHwnd);
    EXPECT_EQ(args.clientHwnd, parsed.clientHwnd);
    EXPECT_EQ(args.parentProcessId, parsed.parentProcessId);
    EXPECT_EQ(args.mediaFile, parsed.mediaFile);
    EXPECT_EQ(1.5f, parsed.startPosition);
    EXPECT_EQ(0.5f, parsed.soundVolume);
    EXPECT_EQ(1, parsed.isLoopEnabled);
    EXPECT_EQ(args.hStubTexture, parsed.hStubTexture);
}

TEST(CommandLine, MediaPathWithBlanksSurvivesARealProcessStart)
{
    SharedMemory result;
    ASSERT_TRUE(result.create("qv_test_parse_result", 4096));
    ServerCommandLine args = Sample();
    const std::wstring line = BuildServerCommandLine(args);
    // The child parses its whole tail; "parse" and the block name carry no "=" and are ignored.
    ASSERT_EQ(0u, RunProgram(L"qv-test-child.exe", L"parse qv_test_parse_result " + line.substr(line.find(L' ') + 1)));

    int64_t fields[9];
    std::memcpy(fields, result.data(), sizeof(fields));
    EXPECT_EQ(args.parentHwnd, fields[0]);
    EXPECT_EQ(args.clientHwnd, fields[1]);
    EXPECT_EQ(4321, fields[2]);
    EXPECT_EQ(1069547520, fields[3]);
    EXPECT_EQ(0, fields[4]);
    EXPECT_EQ(1056964608, fields[5]);
    EXPECT_EQ(1, fields[6]);
    EXPECT_EQ(0, fields[7]);
    ASSERT_EQ(static_cast<int64_t>(args.mediaFile.size()), fields[8]);
    std::wstring media(static_cast<size_t>(fields[8]), L'\0');
    std::memcpy(&media[0], static_cast<uint8_t*>(result.data()) + sizeof(fields), media.size() * sizeof(wchar_t));
    EXPECT_EQ(args.mediaFile, media);
}

TEST(CommandLine, FirstOccurrenceWinsAndArgumentsWithoutEqualsAreIgnored)
{
    const auto args = SplitServerArgs(L"loose clientHwnd=5 clientHwnd=6 key=a=b empty= =novalue");
    EXPECT_EQ(L"5", args.at(L"clientHwnd"));
    EXPECT_EQ(L"a=b", args.at(L"key"));
    EXPECT_EQ(L"", args.at(L"empty"));
    EXPECT_EQ(L"novalue", args.at(L""));
    EXPECT_EQ(0u, args.count(L"loose"));
    EXPECT_EQ(4u, args.size());
    EXPECT_TRUE(SplitServerArgs(L"").empty());
}

TEST(CommandLine, KeysAreCaseSensitiveAndMissingValuesReadAsZero)
{
    const ServerCommandLine parsed = ParseServerCommandLine(L"ClientHwnd=5 endPosition= isLoopEnabled=7");
    EXPECT_EQ(0, parsed.clientHwnd);
    EXPECT_EQ(0.0f, parsed.endPosition);
    EXPECT_EQ(0.0f, parsed.startPosition);
    EXPECT_EQ(7, parsed.isLoopEnabled);
    EXPECT_EQ(L"", parsed.mediaFile);
    EXPECT_EQ(0, parsed.hStubTexture);
}

TEST(CommandLine, MissingVolumeKeepsTheDefaultButAnEmptyOneIsZero)
{
    EXPECT_EQ(0x3F733333u, FloatToBits(ParseServerCommandLine(L"startPosition=0").soundVolume));
    EXPECT_EQ(0.0f, ParseServerCommandLine(L"soundVolume=").soundVolume);
}

TEST(CommandLine, NumbersSaturateAtTheirRange)
{
    // Every negative float's bits lie above INT32_MAX and read as 0x7FFFFFFF, a NaN.
    const ServerCommandLine parsed =
        ParseServerCommandLine(L"startPosition=3212836864 soundVolume=99999999999 clientHwnd=99999999999999999999 "
                               L"hStubTexture=-99999999999999999999 isLoopEnabled=-5000000000");
    EXPECT_EQ(0x7FFFFFFFu, FloatToBits(parsed.startPosition));
    EXPECT_TRUE(parsed.startPosition != parsed.startPosition);
    EXPECT_EQ(0x7FFFFFFFu, FloatToBits(parsed.soundVolume));
    EXPECT_EQ(INT64_MAX, parsed.clientHwnd);
    EXPECT_EQ(INT64_MIN, parsed.hStubTexture);
    EXPECT_EQ(INT32_MIN, parsed.isLoopEnabled);
    EXPECT_EQ(12, ReadInt32(L"12abc"));
    EXPECT_EQ(0, ReadInt32(L"abc"));
}

TEST(FloatBits, TravelUnconverted)
{
    EXPECT_EQ(1065353216u, FloatToBits(1.0f));
    EXPECT_EQ(0u, FloatToBits(0.0f));
    EXPECT_EQ(1069547520u, FloatToBits(1.5f));
    EXPECT_EQ(0.5f, BitsToFloat(1056964608u));
}
