#include "VideoPlayerMsg.h"

#include "TestProcess.h"

#include <gtest/gtest.h>

#include <cstring>

TEST(BlockNames, SuffixIsProcessIdOrLowWindowBits)
{
    const HWND window = reinterpret_cast<HWND>(static_cast<uintptr_t>(0x000A0B0C));
    EXPECT_EQ("qv_d3d_framedata_662332", frameBlockName(0x1234, window));
    EXPECT_EQ("qv_d3d_errdata_662332", errorBlockName(0x1234, window));
    // Only the low 32 bits of the handle take part.
    const HWND high = reinterpret_cast<HWND>(static_cast<uintptr_t>(0x1FFFFFFFFull));
    EXPECT_EQ("qv_d3d_framedata_4294967295", frameBlockName(0, high));
}

TEST(SharedMemory, BlockCreatedHereIsOpenedReadAndWrittenByAnotherProcess)
{
    const std::string name = frameBlockName(GetCurrentProcessId(), reinterpret_cast<HWND>(0x5A5A0));
    SharedMemory block;
    ASSERT_TRUE(block.create(name, 16));
    EXPECT_EQ(16u, block.size());
    const uint32_t value = 0x1234567;
    std::memcpy(block.data(), &value, sizeof(value));

    EXPECT_EQ(value, RunProgram(L"qv-test-child.exe", L"read-block " + std::wstring(name.begin(), name.end())));
    uint32_t answer = 0;
    std::memcpy(&answer, static_cast<uint8_t*>(block.data()) + 4, sizeof(answer));
    EXPECT_EQ(value + 1, answer);
}

TEST(SharedMemory, OpenKeepsTheViewAliveAfterTheCreatorCloses)
{
    SharedMemory creator, reader;
    ASSERT_TRUE(creator.create("qv_test_block_keep", 16));
    const FrameParams frame{0x1122334455667788ull, 1280, 720, 22};
    std::memcpy(creator.data(), &frame, sizeof(frame));
    ASSERT_TRUE(reader.open("qv_test_block_keep", 16));
    creator.close();
    EXPECT_EQ(nullptr, creator.data());
    EXPECT_EQ(0u, creator.size());
    FrameParams copy{};
    std::memcpy(&copy, reader.data(), sizeof(copy));
    EXPECT_EQ(0x1122334455667788ull, copy.textureHandle);
    EXPECT_EQ(1280, copy.width);
    EXPECT_EQ(720, copy.height);
    EXPECT_EQ(22u, copy.format);
}

TEST(SharedMemory, OpeningAMissingBlockFailsAndHoldsNothing)
{
    SharedMemory block;
    ASSERT_TRUE(block.create("qv_test_block_replaced", 16));
    EXPECT_FALSE(block.open("qv_test_block_missing", 16));
    EXPECT_EQ(nullptr, block.data());
    EXPECT_EQ(0u, block.size());
}

TEST(FrameParams, UsableOnlyWithARealHandleAndASize)
{
    EXPECT_TRUE(IsUsableFrame({0x40000042, 1280, 720, 22}));
    EXPECT_FALSE(IsUsableFrame({0, 1280, 720, 22}));
    EXPECT_FALSE(IsUsableFrame({UINT64_MAX, 1280, 720, 22}));
    EXPECT_FALSE(IsUsableFrame({0x40000042, 0, 720, 22}));
    EXPECT_FALSE(IsUsableFrame({0x40000042, 1280, 0, 22}));
}
