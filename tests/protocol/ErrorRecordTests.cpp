#include "VideoPlayerMsg.h"

#include "Diagnostics.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace
{
std::vector<std::string> g_diagnostics;

// Places bytes at the very end of a readable page followed by a guard page,
// so that any read past them faults.
class GuardedBytes
{
public:
    explicit GuardedBytes(const std::vector<uint8_t>& bytes)
    {
        m_base = static_cast<uint8_t*>(VirtualAlloc(nullptr, 2 * kPage, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        DWORD old = 0;
        VirtualProtect(m_base + kPage, kPage, PAGE_NOACCESS, &old);
        m_data = m_base + kPage - bytes.size();
        if (!bytes.empty())
            std::memcpy(m_data, bytes.data(), bytes.size());
    }
    ~GuardedBytes() { VirtualFree(m_base, 0, MEM_RELEASE); }
    const uint8_t* data() const { return m_data; }

private:
    static const size_t kPage = 4096;
    uint8_t* m_base;
    uint8_t* m_data;
};

class ErrorRecord : public ::testing::Test
{
protected:
    void SetUp() override
    {
        g_diagnostics.clear();
        SetDiagnosticSink([](const char* text) { g_diagnostics.push_back(text); });
    }
    void TearDown() override { SetDiagnosticSink(nullptr); }
};

std::vector<uint8_t> Record(const std::string& text)
{
    VideoErrorMsg msg;
    msg.code = static_cast<int32_t>(VE_INIT_ERROR);
    msg.param1 = -2147024894; // 0x80070002
    msg.param2 = 0;
    msg.text = text;
    return msg.Serialize();
}
} // namespace

TEST_F(ErrorRecord, LayoutIsCodeTwoParametersTextAndNul)
{
    const auto bytes = Record("abc");
    ASSERT_EQ(24u, bytes.size());
    const uint8_t expected[] = {0x00, 0x00, 0x20, 0xF0, 0x02, 0x00, 0x07, 0x80, 0xFF, 0xFF, 0xFF, 0xFF,
                                0,    0,    0,    0,    0,    0,    0,    0,    'a',  'b',  'c',  0};
    EXPECT_EQ(0, std::memcmp(expected, bytes.data(), sizeof(expected)));
    EXPECT_EQ(21u, Record("").size());
}

TEST_F(ErrorRecord, WellFormedRecordsOfEveryLengthReadBackWithoutDiagnostics)
{
    for (size_t n : {0u, 1u, 3u, 255u, 4075u})
    {
        const std::string text(n, 'x');
        GuardedBytes block(Record(text));
        const VideoErrorMsg msg = ReadVideoErrorMsg(block.data(), static_cast<int>(21 + n));
        EXPECT_EQ(static_cast<int32_t>(VE_INIT_ERROR), msg.code);
        EXPECT_EQ(-2147024894, msg.param1);
        EXPECT_EQ(0, msg.param2);
        EXPECT_EQ(text, msg.text);
    }
    EXPECT_TRUE(g_diagnostics.empty());
}

TEST_F(ErrorRecord, TruncatedRecordsNeverReadPastTheBlock)
{
    const auto full = Record("media file does not exist");
    for (size_t size = 0; size < full.size(); ++size)
    {
        g_diagnostics.clear();
        GuardedBytes block(std::vector<uint8_t>(full.begin(), full.begin() + size));
        const VideoErrorMsg msg = ReadVideoErrorMsg(block.data(), static_cast<int>(size));
        EXPECT_FALSE(g_diagnostics.empty()) << "size " << size;
        if (size >= 4)
        {
            EXPECT_EQ(static_cast<int32_t>(VE_INIT_ERROR), msg.code);
        }
        if (size < 20)
            EXPECT_EQ("", msg.text) << "size " << size;
        else
            EXPECT_EQ(std::string("media file does not exist").substr(0, size - 20), msg.text) << "size " << size;
    }
}

TEST_F(ErrorRecord, ShortHeaderLeavesLaterFieldsUnwrittenAndSaysWhy)
{
    GuardedBytes block(std::vector<uint8_t>{1, 0, 0, 0, 9, 9});
    const VideoErrorMsg msg = ReadVideoErrorMsg(block.data(), 6);
    EXPECT_EQ(1, msg.code);
    EXPECT_EQ(0, msg.param1);
    EXPECT_EQ(0, msg.param2);
    EXPECT_EQ((std::vector<std::string>{"dataLen>=(int)len", "dataLen>=(int)len", "readBuf.remaining()>0"}),
              g_diagnostics);
}

TEST_F(ErrorRecord, TextWithoutNulStopsAtTheEndOfTheBlock)
{
    auto bytes = Record("abc");
    bytes.pop_back();
    GuardedBytes block(bytes);
    const VideoErrorMsg msg = ReadVideoErrorMsg(block.data(), static_cast<int>(bytes.size()));
    EXPECT_EQ("abc", msg.text);
    EXPECT_EQ(std::vector<std::string>{"dataLen>=0"}, g_diagnostics);
}

TEST_F(ErrorRecord, BytesAfterTheTextAreReported)
{
    auto bytes = Record("abc");
    bytes.push_back('z');
    GuardedBytes block(bytes);
    const VideoErrorMsg msg = ReadVideoErrorMsg(block.data(), static_cast<int>(bytes.size()));
    EXPECT_EQ("abc", msg.text);
    EXPECT_EQ(std::vector<std::string>{"readBuf.remaining()==0"}, g_diagnostics);
}

TEST_F(ErrorRecord, ReaderOfANullOrNegativeSizeReadsNothing)
{
    EXPECT_EQ("", ReadVideoErrorMsg(nullptr, 24).text);
    GuardedBytes block(Record("abc"));
    EXPECT_EQ(0, ReadVideoErrorMsg(block.data(), -5).code);
}
