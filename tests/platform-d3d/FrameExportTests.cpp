// The frame exports through the JVM stand-in: a player's descriptor into a
// Java array, and a shared texture opened on a consumer device and bound.
#include "D3dTestContext.h"
#include "ShareTestDevice.h"
#include "JniStandIn.h"
#include "VideoPlayerClient.h"
#include "VideoTextures.h"

#include "com_quorvane_player_platform_impl_ui_view_win_d3d_WinNativeVideo.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

using Microsoft::WRL::ComPtr;

namespace
{
constexpr UINT kWidth = 320;
constexpr UINT kHeight = 240;
constexpr jint kStage = 1;
constexpr D3DCOLOR kBlue = 0xFF0000FF;
constexpr D3DCOLOR kYellow = 0xFFFFFF00;

jlong Address(const void* pointer)
{
    return static_cast<jlong>(reinterpret_cast<intptr_t>(pointer));
}

jlong HandleValue(HANDLE handle)
{
    return static_cast<jlong>(reinterpret_cast<uintptr_t>(handle));
}

// Counts the references a texture's private data holds on it; destroyed
// with the texture.
class DestructionWitness final : public IUnknown
{
public:
    explicit DestructionWitness(bool* destroyed) : m_destroyed(destroyed) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override
    {
        if (!object)
            return E_POINTER;
        *object = nullptr;
        if (riid != __uuidof(IUnknown))
            return E_NOINTERFACE;
        *object = static_cast<IUnknown*>(this);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&m_refs)); }
    ULONG STDMETHODCALLTYPE Release() override
    {
        const LONG left = InterlockedDecrement(&m_refs);
        if (left == 0)
        {
            *m_destroyed = true;
            delete this;
        }
        return static_cast<ULONG>(left);
    }

private:
    LONG m_refs = 1;
    bool* m_destroyed;
};

// {5B0D6F3E-7A51-4C8B-9E1D-2F4A6C8E0B13}
const GUID kWitnessGuid = {0x5b0d6f3e, 0x7a51, 0x4c8b, {0x9e, 0x1d, 0x2f, 0x4a, 0x6c, 0x8e, 0x0b, 0x13}};

// Texts written to the debugger output while it lives, seen as the notices
// that the output functions raise.
class DebugOutputCapture
{
public:
    DebugOutputCapture() : m_handler(AddVectoredExceptionHandler(1, &Record)) { s_texts.clear(); }
    ~DebugOutputCapture()
    {
        if (m_handler)
            RemoveVectoredExceptionHandler(m_handler);
    }
    DebugOutputCapture(const DebugOutputCapture&) = delete;
    DebugOutputCapture& operator=(const DebugOutputCapture&) = delete;

    static std::string All()
    {
        std::string all;
        for (const std::string& text : s_texts)
            all += text + "\n";
        return all;
    }

private:
    static LONG CALLBACK Record(EXCEPTION_POINTERS* info)
    {
        const EXCEPTION_RECORD* record = info->ExceptionRecord;
        if (record->ExceptionCode == DBG_PRINTEXCEPTION_C && record->NumberParameters >= 2)
            s_texts.emplace_back(reinterpret_cast<const char*>(record->ExceptionInformation[1]));
        else if (record->ExceptionCode == 0x4001000A /* DBG_PRINTEXCEPTION_WIDE_C */ && record->NumberParameters >= 2)
        {
            const auto* wide = reinterpret_cast<const wchar_t*>(record->ExceptionInformation[1]);
            s_texts.emplace_back(std::string(wide, wide + wcslen(wide)));
        }
        return EXCEPTION_CONTINUE_SEARCH;
    }

    static std::vector<std::string> s_texts;
    void* m_handler;
};
std::vector<std::string> DebugOutputCapture::s_texts;

class ApplyFrameTexture : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_FALSE(LoadedD3d9IsWines()) << "this test needs WINEDLLOVERRIDES with d3d9=n,b";
        ASSERT_EQ(S_OK, m_producer.Create());
        ASSERT_EQ(S_OK, m_consumer.Create());
        ASSERT_EQ(S_OK, m_producer.CreateShared(kWidth, kHeight, D3DFMT_X8R8G8B8, &m_shared, &m_handle));
        ASSERT_NE(nullptr, m_handle);
        ASSERT_EQ(S_OK, m_producer.Fill(m_shared.Get(), kBlue, kYellow));
        ASSERT_EQ(S_OK, m_producer.Synchronise());
        m_context.SetPlainDevice(m_consumer.Get());
    }
    void TearDown() override { ReleaseStubTexture("StubTextureTest"); }

    jlongArray Frame(jlong width, jlong height, jlong format, jlong handle)
    {
        return m_jvm.NewLongArray({width, height, format, handle});
    }
    jlongArray GoodFrame() { return Frame(kWidth, kHeight, D3DFMT_X8R8G8B8, HandleValue(m_handle)); }

    jint Apply(jlong player, jlong context, jlong device, jfloat opacity, jlongArray frame, jint renderWidth = kWidth,
               jint renderHeight = kHeight)
    {
        return Java_com_quorvane_player_platform_impl_ui_view_win_d3d_WinNativeVideo__1nApplyFrameTexture(
            m_jvm.Env(), nullptr, player, context, device, kStage, renderWidth, renderHeight, opacity, frame);
    }
    jint ApplyOnConsumer(jfloat opacity, jlongArray frame, jint renderWidth = kWidth, jint renderHeight = kHeight)
    {
        return Apply(kPlayer, 0, Address(m_consumer.Get()), opacity, frame, renderWidth, renderHeight);
    }

    ComPtr<IDirect3DTexture9> Bound()
    {
        ComPtr<IDirect3DBaseTexture9> base;
        ComPtr<IDirect3DTexture9> texture;
        if (SUCCEEDED(m_consumer.Get()->GetTexture(kStage, &base)) && base)
            base.As(&texture);
        return texture;
    }
    DWORD Sampler(D3DSAMPLERSTATETYPE type)
    {
        DWORD value = 0xFFFF;
        m_consumer.Get()->GetSamplerState(kStage, type, &value);
        return value;
    }

    // The player is only checked for presence.
    const jlong kPlayer = 0x1000;
    JniStandIn m_jvm;
    ShareTestDevice m_producer;
    ShareTestDevice m_consumer;
    ComPtr<IDirect3DTexture9> m_shared;
    HANDLE m_handle = nullptr;
    FakeD3DContext m_context;
};
} // namespace

TEST_F(ApplyFrameTexture, ArgumentsAreCheckedInOrder)
{
    const jlong device = Address(m_consumer.Get());
    EXPECT_EQ(-1, Apply(kPlayer, 0, device, 1.0f, nullptr));
    EXPECT_EQ(-1, Apply(kPlayer, 0, device, 1.0f, m_jvm.NewLongArray({kWidth, kHeight, 22})));
    // The device arguments come before the player.
    EXPECT_EQ(-200, Apply(0, m_context.Address(), device, 1.0f, GoodFrame()));
    EXPECT_EQ(-1, Apply(kPlayer, 0, 0, 1.0f, GoodFrame()));
    FakeD3DContext noDevice;
    EXPECT_EQ(200, Apply(0, noDevice.Address(), 0, 1.0f, GoodFrame()));
    EXPECT_EQ(-1, Apply(0, 0, device, 1.0f, GoodFrame()));
    EXPECT_EQ(nullptr, Bound());
}

TEST_F(ApplyFrameTexture, FramesBelowThreePercentOpacityAreNotDrawn)
{
    EXPECT_EQ(18, ApplyOnConsumer(0.02f, GoodFrame()));
    // The float nearest 0.03 lies just below the double 0.03.
    ASSERT_LT(static_cast<double>(0.03f), 0.03);
    EXPECT_EQ(18, ApplyOnConsumer(0.03f, GoodFrame()));
    // Opacity is checked before the descriptor.
    EXPECT_EQ(18, ApplyOnConsumer(0.0f, Frame(0, 0, 0, 0)));
    EXPECT_EQ(nullptr, Bound());
    EXPECT_EQ(0, ApplyOnConsumer(0.031f, GoodFrame()));
    EXPECT_NE(nullptr, Bound());
}

TEST_F(ApplyFrameTexture, UnusableDescriptorsAreRefused)
{
    EXPECT_EQ(19, ApplyOnConsumer(1.0f, Frame(kWidth, kHeight, 22, -1)));
    EXPECT_EQ(19, ApplyOnConsumer(1.0f, Frame(kWidth, kHeight, 22, 0)));
    EXPECT_EQ(19, ApplyOnConsumer(1.0f, Frame(0, kHeight, 22, HandleValue(m_handle))));
    EXPECT_EQ(19, ApplyOnConsumer(1.0f, Frame(kWidth, 0, 22, HandleValue(m_handle))));
    // Width and height are their low 16 bits.
    EXPECT_EQ(19, ApplyOnConsumer(1.0f, Frame(0x10000, kHeight, 22, HandleValue(m_handle))));
    EXPECT_EQ(nullptr, Bound());
}

TEST_F(ApplyFrameTexture, SharedTextureIsBoundWithTheProducersPixels)
{
    // Bits above the low 16 (width, height) and 32 (format) are ignored.
    jlongArray frame = Frame(kWidth | 0x70000, kHeight | 0x10000, D3DFMT_X8R8G8B8 | (jlong(1) << 40),
                             HandleValue(m_handle));
    ASSERT_EQ(0, ApplyOnConsumer(1.0f, frame));
    ComPtr<IDirect3DTexture9> bound = Bound();
    ASSERT_NE(nullptr, bound);
    std::vector<uint32_t> pixels;
    ASSERT_EQ(S_OK, m_consumer.ReadPixels(bound.Get(), &pixels));
    ASSERT_EQ(size_t(kWidth) * kHeight, pixels.size());
    EXPECT_EQ(kYellow & 0xFFFFFF, pixels[0]);
    EXPECT_EQ(kBlue & 0xFFFFFF, pixels[size_t(kWidth) * 20 + 40]);
    EXPECT_EQ(static_cast<DWORD>(D3DTEXF_POINT), Sampler(D3DSAMP_MAGFILTER));
    EXPECT_EQ(static_cast<DWORD>(D3DTEXF_POINT), Sampler(D3DSAMP_MINFILTER));
    // The array is only read.
    EXPECT_EQ(kWidth | 0x70000, m_jvm.LongArray(frame)[0]);
}

TEST_F(ApplyFrameTexture, FilterFollowsTheRenderSize)
{
    ASSERT_EQ(0, ApplyOnConsumer(1.0f, GoodFrame(), kWidth + 21, kHeight));
    EXPECT_EQ(static_cast<DWORD>(D3DTEXF_POINT), Sampler(D3DSAMP_MAGFILTER));
    EXPECT_EQ(static_cast<DWORD>(D3DTEXF_POINT), Sampler(D3DSAMP_MINFILTER));
    ASSERT_EQ(0, ApplyOnConsumer(1.0f, GoodFrame(), 1280, 720));
    EXPECT_EQ(static_cast<DWORD>(D3DTEXF_LINEAR), Sampler(D3DSAMP_MAGFILTER));
    EXPECT_EQ(static_cast<DWORD>(D3DTEXF_LINEAR), Sampler(D3DSAMP_MINFILTER));
}

TEST_F(ApplyFrameTexture, ContextsPlainDeviceIsUsedWhenNoDeviceIsGiven)
{
    ASSERT_EQ(0, Apply(kPlayer, m_context.Address(), 0, 1.0f, GoodFrame()));
    EXPECT_NE(nullptr, Bound());
}

TEST_F(ApplyFrameTexture, OnlyTheStageKeepsTheOpenedTexture)
{
    ASSERT_EQ(0, ApplyOnConsumer(1.0f, GoodFrame()));
    bool destroyed = false;
    {
        ComPtr<IDirect3DTexture9> bound = Bound();
        ASSERT_NE(nullptr, bound);
        auto* witness = new DestructionWitness(&destroyed);
        ASSERT_EQ(S_OK, bound->SetPrivateData(kWitnessGuid, witness, sizeof(IUnknown*), D3DSPD_IUNKNOWN));
        witness->Release();
    }
    EXPECT_FALSE(destroyed);
    ASSERT_EQ(S_OK, m_consumer.Get()->SetTexture(kStage, nullptr));
    EXPECT_TRUE(destroyed) << "the opened texture outlived its stage binding";
}

TEST_F(ApplyFrameTexture, TextureThatCannotBeOpenedIsARenderError)
{
    DebugOutputCapture output;
    // A handle nobody made.
    EXPECT_EQ(-11, ApplyOnConsumer(1.0f, Frame(kWidth, kHeight, 22, 0x7FFF0000)));
    EXPECT_NE(std::string::npos,
              output.All().find("WinNativeVideo__1nApplyFrameTexture render error, CreateTexture has failed"))
        << output.All();
    EXPECT_EQ(nullptr, Bound());
    // The producer's texture with a size it does not have.
    EXPECT_EQ(-11, ApplyOnConsumer(1.0f, Frame(kWidth * 2, kHeight, 22, HandleValue(m_handle))));
    EXPECT_EQ(nullptr, Bound());
}

class GetFrameTexture : public testing::Test
{
protected:
    jint Get(jlong player, jlongArray frame)
    {
        return Java_com_quorvane_player_platform_impl_ui_view_win_d3d_WinNativeVideo__1nGetFrameTexture(
            m_jvm.Env(), nullptr, player, frame);
    }
    jlong Player() { return Address(&m_client); }

    const std::vector<jlong> kUntouched{7, 7, 7, 7};
    JniStandIn m_jvm;
    VideoPlayerClient m_client{nullptr};
};

TEST_F(GetFrameTexture, ClientStubModeGivesTheStubDescriptor)
{
    const HANDLE stub = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0xC0DE0004));
    m_client.SetStubMode(stub, true);
    jlongArray frame = m_jvm.NewLongArray({0, 0, 0, 0, 99});
    ASSERT_EQ(0, Get(Player(), frame));
    EXPECT_EQ((std::vector<jlong>{1280, 720, 22, 0xC0DE0004, 99}), m_jvm.LongArray(frame));
}

TEST_F(GetFrameTexture, UnusableDescriptorIsWrittenAndReported)
{
    // An all-ones handle is no texture, yet the player hands it over.
    m_client.SetStubMode(INVALID_HANDLE_VALUE, true);
    jlongArray frame = m_jvm.NewLongArray(kUntouched);
    ASSERT_EQ(19, Get(Player(), frame));
    // Every field widened without sign: the handle's 64 bits are all ones.
    EXPECT_EQ((std::vector<jlong>{1280, 720, 22, -1}), m_jvm.LongArray(frame));
}

TEST_F(GetFrameTexture, PlayerStatusesLeaveTheArrayUntouched)
{
    jlongArray frame = m_jvm.NewLongArray(kUntouched);
    // Not started: no frame block yet.
    EXPECT_EQ(-3, Get(Player(), frame));
    EXPECT_EQ(kUntouched, m_jvm.LongArray(frame));
    m_client.SetStubMode(nullptr, true);
    EXPECT_EQ(-2, Get(Player(), frame));
    EXPECT_EQ(kUntouched, m_jvm.LongArray(frame));
}

TEST_F(GetFrameTexture, NoPlayerOrNoRoomForTheDescriptorIsRefused)
{
    m_client.SetStubMode(reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0xC0DE0004)), true);
    jlongArray frame = m_jvm.NewLongArray(kUntouched);
    EXPECT_EQ(-1, Get(0, frame));
    EXPECT_EQ(kUntouched, m_jvm.LongArray(frame));
    EXPECT_EQ(-1, Get(Player(), nullptr));
    jlongArray shortFrame = m_jvm.NewLongArray({7, 7, 7});
    EXPECT_EQ(-1, Get(Player(), shortFrame));
    EXPECT_EQ((std::vector<jlong>{7, 7, 7}), m_jvm.LongArray(shortFrame));
    EXPECT_EQ("", m_jvm.PendingException());
}

TEST_F(ApplyFrameTexture, StubPlayersFrameIsBoundGreen)
{
    ASSERT_EQ(S_OK, CreateStubTexture());
    VideoPlayerClient client(nullptr);
    client.SetStubMode(StubTextureHandle(), true);
    jlongArray frame = m_jvm.NewLongArray({0, 0, 0, 0});
    ASSERT_EQ(0, Java_com_quorvane_player_platform_impl_ui_view_win_d3d_WinNativeVideo__1nGetFrameTexture(
                     m_jvm.Env(), nullptr, Address(&client), frame));
    EXPECT_EQ(HandleValue(StubTextureHandle()), m_jvm.LongArray(frame)[3]);

    EXPECT_EQ(0, Apply(Address(&client), 0, Address(m_consumer.Get()), 1.0f, frame, 1280, 720));
    ComPtr<IDirect3DTexture9> bound = Bound();
    ASSERT_NE(nullptr, bound);
    std::vector<uint32_t> pixels;
    ASSERT_EQ(S_OK, m_consumer.ReadPixels(bound.Get(), &pixels));
    ASSERT_EQ(size_t(1280) * 720, pixels.size());
    size_t notGreen = 0;
    for (uint32_t pixel : pixels)
        notGreen += pixel != 0x008000;
    EXPECT_EQ(0u, notGreen);
    bound.Reset();
    m_consumer.Get()->SetTexture(kStage, nullptr);
    ReleaseStubTexture("StubTextureTest");
}
