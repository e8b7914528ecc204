// The present engine on Wine's real Direct3D 9Ex: device, shared
// render-target textures, video samples and the frame descriptor.
#include "EvrDoubles.h"
#include "EvrFixture.h"
#include "PresentEngine.h"
#include "Scheduler.h"

#include <mferror.h>

#include <gtest/gtest.h>

#include <memory>

using Microsoft::WRL::ComPtr;

namespace
{
class EngineTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_HRESULT_SUCCEEDED(m_mf.Result());
        ASSERT_HRESULT_SUCCEEDED(m_window.Result());
        HRESULT hr = E_FAIL;
        m_engine = std::make_unique<D3DPresentEngine>(hr, m_window.Hwnd());
        ASSERT_HRESULT_SUCCEEDED(hr);
        m_clock.Attach(new ClockDouble);
    }
    void TearDown() override
    {
        m_queue.SetClock(nullptr);
        m_queue.Flush();
        m_samples.Clear();
        m_engine.reset();
        EXPECT_EQ(std::vector<std::string>{}, m_diagnostics.Unexpected());
    }

    void Allocate(int count, UINT32 width = 64, UINT32 height = 32)
    {
        VideoTypeSpec spec;
        spec.width = width;
        spec.height = height;
        ASSERT_HRESULT_SUCCEEDED(m_engine->AllocateSamples(MakeVideoType(spec).Get(), m_samples, count));
    }

    ComPtr<IMFSample> Take()
    {
        ComPtr<IMFSample> sample;
        EXPECT_HRESULT_SUCCEEDED(m_samples.RemoveFront(sample.GetAddressOf()));
        return sample;
    }

    void Fill(IMFSample* sample, D3DCOLOR colour)
    {
        ComPtr<SampleData> data = GetSampleData(sample);
        ComPtr<IDirect3DSurface9> surface;
        ASSERT_HRESULT_SUCCEEDED(data->GetTextureData().m_pTexture->GetSurfaceLevel(0, &surface));
        ASSERT_HRESULT_SUCCEEDED(m_engine->GetDevice()->ColorFill(surface.Get(), nullptr, colour));
    }

    FramePtr Poll() { return FramePtr(m_engine->GetFrameData(m_queue)); }

    static IDirect3DTexture9* TextureOf(IMFSample* sample)
    {
        return GetSampleData(sample)->GetTextureData().m_pTexture.Get();
    }

    MfSession m_mf;
    DeviceWindow m_window;
    DiagnosticRecorder m_diagnostics;
    std::unique_ptr<D3DPresentEngine> m_engine;
    ComPtr<ClockDouble> m_clock;
    SampleQueue m_queue;
    ComPtrList<IMFSample> m_samples;
};
} // namespace

TEST_F(EngineTest, OffersItsDeviceManagerAndChecksTextureFormats)
{
    ASSERT_NE(nullptr, m_engine->GetDevice());
    ComPtr<IDirect3DDeviceManager9> manager;
    ASSERT_HRESULT_SUCCEEDED(m_engine->GetService(GUID_NULL, IID_PPV_ARGS(&manager)));

    HANDLE hDevice = nullptr;
    ASSERT_HRESULT_SUCCEEDED(manager->OpenDeviceHandle(&hDevice));
    ComPtr<IDirect3DDevice9> device;
    EXPECT_HRESULT_SUCCEEDED(manager->LockDevice(hDevice, &device, TRUE));
    EXPECT_EQ(static_cast<IDirect3DDevice9*>(m_engine->GetDevice()), device.Get())
        << "the mixer draws on the engine's own device";
    manager->UnlockDevice(hDevice, FALSE);
    manager->CloseDeviceHandle(hDevice);

    ComPtr<IDirect3DDevice9> notAManager;
    EXPECT_EQ(MF_E_UNSUPPORTED_SERVICE, m_engine->GetService(GUID_NULL, IID_PPV_ARGS(&notAManager)));
    EXPECT_HRESULT_SUCCEEDED(m_engine->CheckTextureFormat(D3DFMT_X8R8G8B8));
    // A texture the mixer could not render into is no format for the samples.
    EXPECT_EQ(D3DERR_NOTAVAILABLE, m_engine->CheckTextureFormat(D3DFMT_DXT1));
}

TEST_F(EngineTest, TheClientsParentWindowChoosesTheAdapterWhileItIsAWindow)
{
    DeviceWindow parent;
    HWND gone = nullptr;
    {
        DeviceWindow closed;
        gone = closed.Hwnd();
    }
    const HWND video = m_window.Hwnd();
    EXPECT_EQ(parent.Hwnd(), AdapterWindow(parent.Hwnd(), video));
    EXPECT_EQ(video, AdapterWindow(nullptr, video));
    EXPECT_EQ(video, AdapterWindow(gone, video));

    HRESULT hr = E_FAIL;
    D3DPresentEngine engine(hr, video, parent.Hwnd());
    EXPECT_HRESULT_SUCCEEDED(hr);
}

TEST_F(EngineTest, AllocatesShareableRenderTargetSamplesNumberedFromZero)
{
    EXPECT_EQ(MF_E_UNEXPECTED, m_engine->AllocateSamples(nullptr, m_samples, 2));

    Allocate(0, 96, 48);
    ASSERT_EQ(6u, m_samples.GetCount()) << "a count of 0 means six samples";
    LONG expectedNumber = 0;
    m_samples.ForEach([&](IMFSample* sample) {
        ComPtr<SampleData> data = GetSampleData(sample);
        EXPECT_NE(nullptr, data.Get());
        if (!data)
            return E_FAIL;
        EXPECT_EQ(expectedNumber++, data->GetSampleNumber());
        EXPECT_EQ(SAMPLE_STATE_CREATED, data->GetState());
        EXPECT_EQ(-1, data->GetToken());
        const TextureData& texture = data->GetTextureData();
        EXPECT_EQ(96u, texture.m_Width);
        EXPECT_EQ(48u, texture.m_Height);
        EXPECT_EQ(D3DFMT_X8R8G8B8, texture.m_Format);
        D3DSURFACE_DESC desc{};
        EXPECT_HRESULT_SUCCEEDED(texture.m_pTexture->GetLevelDesc(0, &desc));
        EXPECT_EQ(96u, desc.Width);
        EXPECT_EQ(D3DUSAGE_RENDERTARGET, desc.Usage & D3DUSAGE_RENDERTARGET);
        EXPECT_EQ(D3DPOOL_DEFAULT, desc.Pool);
        EXPECT_EQ(1u, texture.m_pTexture->GetLevelCount());
        ComPtr<IMFTrackedSample> tracked;
        EXPECT_HRESULT_SUCCEEDED(sample->QueryInterface(IID_PPV_ARGS(&tracked)));
        return S_OK;
    });

    m_samples.Clear();
    Allocate(1);
    ASSERT_EQ(1u, m_samples.GetCount());
    ComPtr<IMFSample> sample = Take();
    EXPECT_EQ(0, GetSampleData(sample.Get())->GetSampleNumber()) << "numbers restart with each set";
}

TEST_F(EngineTest, PollMakesTheDueSampleCurrentAndDescribesItsTexture)
{
    FramePtr empty = Poll();
    ASSERT_NE(nullptr, empty.get());
    EXPECT_FALSE(empty->HasFrame());
    EXPECT_EQ(nullptr, empty->GetTexture());

    Allocate(2);
    ComPtr<IMFSample> a = Take();
    Fill(a.Get(), kBlue);
    m_queue.Enqueue(a.Get(), false);

    FramePtr frame = Poll();
    ASSERT_NE(nullptr, frame->GetTexture());
    EXPECT_EQ(TextureOf(a.Get()), frame->GetTexture());
    EXPECT_EQ(64u, frame->GetWidth());
    EXPECT_EQ(32u, frame->GetHeight());
    EXPECT_EQ(D3DFMT_X8R8G8B8, frame->GetFormat());
    EXPECT_EQ(GetSampleData(a.Get())->GetTextureData().m_hSharedHandle, frame->GetSharedHandle());
    EXPECT_EQ(frame->GetSharedHandle() != nullptr, frame->HasFrame());
    D3DCOLOR colour = 0;
    ASSERT_HRESULT_SUCCEEDED(ReadPixel(frame->GetTexture(), &colour));
    EXPECT_EQ(kBlue, colour);
    EXPECT_EQ(SAMPLE_STATE_PRESENTED, GetSampleData(a.Get())->GetState());
    EXPECT_EQ(2u, RefCountOf(a.Get())) << "the engine keeps the current sample";
}

TEST_F(EngineTest, EachSharedTextureHasItsOwnHandleWhereThePlatformSharesTextures)
{
    Allocate(2);
    ComPtr<IMFSample> a = Take();
    ComPtr<IMFSample> b = Take();
    const HANDLE handleA = GetSampleData(a.Get())->GetTextureData().m_hSharedHandle;
    const HANDLE handleB = GetSampleData(b.Get())->GetTextureData().m_hSharedHandle;
    if (!ExpectSharedHandles())
        GTEST_SKIP() << "Wine 8 leaves shared handles NULL; evr-tests-shared checks them with the stand-in";

    ASSERT_NE(nullptr, handleA);
    ASSERT_NE(nullptr, handleB);
    EXPECT_NE(handleA, handleB);
    m_queue.Enqueue(a.Get(), false);
    FramePtr frame = Poll();
    EXPECT_TRUE(frame->HasFrame());
    EXPECT_EQ(handleA, frame->GetSharedHandle());
}

TEST_F(EngineTest, AnEarlyNextSampleKeepsThePreviousFrame)
{
    m_queue.SetClock(m_clock.Get());
    Allocate(2);
    ComPtr<IMFSample> a = Take();
    ComPtr<IMFSample> b = Take();
    a->SetSampleTime(100 * kMs);
    a->SetSampleDuration(40 * kMs);
    b->SetSampleTime(140 * kMs);
    b->SetSampleDuration(40 * kMs);
    m_queue.Enqueue(a.Get(), false);
    m_clock->SetTime(100 * kMs);
    ASSERT_EQ(TextureOf(a.Get()), Poll()->GetTexture());

    m_queue.Enqueue(b.Get(), false);
    m_clock->SetTime(90 * kMs); // b is 50 ms ahead
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(TextureOf(a.Get()), Poll()->GetTexture()) << "poll " << i;
    EXPECT_EQ(2u, RefCountOf(a.Get())) << "an early sample waiting is not idleness";

    m_clock->SetTime(140 * kMs);
    EXPECT_EQ(TextureOf(b.Get()), Poll()->GetTexture());
    EXPECT_EQ(2u, RefCountOf(a.Get())) << "the replaced sample is held back";
}

// The client may still draw the frame it was given before the current one.
TEST_F(EngineTest, AReplacedSampleIsHeldUntilTheNextReplacementAndIdlePollsReleaseAll)
{
    Allocate(3);
    ComPtr<IMFSample> a = Take();
    ComPtr<IMFSample> b = Take();
    ComPtr<IMFSample> c = Take();
    m_queue.Enqueue(a.Get(), false);
    Poll();
    m_queue.Enqueue(b.Get(), false);
    ASSERT_EQ(TextureOf(b.Get()), Poll()->GetTexture());
    EXPECT_EQ(2u, RefCountOf(a.Get()));

    m_queue.Enqueue(c.Get(), false);
    ASSERT_EQ(TextureOf(c.Get()), Poll()->GetTexture());
    EXPECT_EQ(1u, RefCountOf(a.Get())) << "replaced twice: back to the pool";
    EXPECT_EQ(2u, RefCountOf(b.Get()));

    for (int i = 0; i < 5; ++i)
        Poll();
    EXPECT_EQ(1u, RefCountOf(b.Get())) << "the fifth idle poll lets the replaced sample go too";
    EXPECT_EQ(1u, RefCountOf(c.Get()));
}

TEST_F(EngineTest, FiveIdlePollsReleaseTheCurrentSampleButKeepDescribingIt)
{
    Allocate(1);
    ComPtr<IMFSample> a = Take();
    m_queue.Enqueue(a.Get(), false);
    ASSERT_EQ(TextureOf(a.Get()), Poll()->GetTexture());

    for (int i = 1; i <= 4; ++i)
        EXPECT_EQ(TextureOf(a.Get()), Poll()->GetTexture());
    EXPECT_EQ(2u, RefCountOf(a.Get())) << "four idle polls keep the sample";
    FramePtr fifth = Poll();
    EXPECT_EQ(1u, RefCountOf(a.Get())) << "the fifth idle poll lets it go";
    EXPECT_EQ(TextureOf(a.Get()), fifth->GetTexture()) << "the client goes on showing the last frame";
}

TEST_F(EngineTest, TheMixerTakingTheDescribedSampleWithdrawsTheDescriptor)
{
    Allocate(1);
    ComPtr<IMFSample> a = Take();
    m_queue.Enqueue(a.Get(), false);
    ASSERT_NE(nullptr, Poll()->GetTexture());

    m_engine->OnBeforeSampleProcess(a.Get());
    EXPECT_EQ(1u, RefCountOf(a.Get()));
    FramePtr frame = Poll();
    EXPECT_FALSE(frame->HasFrame());
    EXPECT_EQ(nullptr, frame->GetTexture());
}

TEST_F(EngineTest, TheMixerTakingASampleReleasedByIdlePollsWithdrawsItsTextureToo)
{
    Allocate(1);
    ComPtr<IMFSample> a = Take();
    m_queue.Enqueue(a.Get(), false);
    Poll();
    for (int i = 0; i < 5; ++i)
        Poll();
    ASSERT_EQ(TextureOf(a.Get()), Poll()->GetTexture());

    m_engine->OnBeforeSampleProcess(a.Get());
    EXPECT_EQ(nullptr, Poll()->GetTexture()) << "never describe a texture the mixer is overwriting";
}

TEST_F(EngineTest, ASampleWithoutSampleDataBecomesCurrentWithoutChangingTheDescriptor)
{
    Allocate(1);
    ComPtr<IMFSample> a = Take();
    m_queue.Enqueue(a.Get(), false);
    ASSERT_EQ(TextureOf(a.Get()), Poll()->GetTexture());

    ComPtr<IMFSample> foreign;
    ASSERT_HRESULT_SUCCEEDED(MFCreateSample(&foreign));
    m_queue.Enqueue(foreign.Get(), false);
    EXPECT_EQ(TextureOf(a.Get()), Poll()->GetTexture());
    EXPECT_EQ(2u, RefCountOf(foreign.Get()));
    EXPECT_EQ(2u, RefCountOf(a.Get())) << "still described, and held back as a replaced sample";
}

TEST_F(EngineTest, ReleasingTheSamplesEmptiesTheDescriptor)
{
    Allocate(1);
    ComPtr<IMFSample> a = Take();
    m_queue.Enqueue(a.Get(), false);
    ASSERT_NE(nullptr, Poll()->GetTexture());
    m_engine->ReleaseSamples();
    EXPECT_EQ(1u, RefCountOf(a.Get()));
    EXPECT_EQ(nullptr, Poll()->GetTexture());
}

TEST(EngineDeviceTest, AWindowlessEngineIsNotInitialised)
{
    MfSession mf;
    DiagnosticRecorder diagnostics;
    HRESULT hr = S_OK;
    D3DPresentEngine engine(hr, nullptr);
    EXPECT_EQ(MF_E_NOT_INITIALIZED, hr);
    EXPECT_EQ(nullptr, engine.GetDevice());
}

namespace
{
// Records where and when the platform delivers a tracked sample's release.
class ReleaseRecorder : public DoubleObject<IMFAsyncCallback>
{
public:
    ReleaseRecorder() : m_done(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~ReleaseRecorder() override { CloseHandle(m_done); }
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (riid == __uuidof(IUnknown) || riid == __uuidof(IMFAsyncCallback))
        {
            *ppv = static_cast<IMFAsyncCallback*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP GetParameters(DWORD*, DWORD*) override { return E_NOTIMPL; }
    STDMETHODIMP Invoke(IMFAsyncResult*) override
    {
        m_threadId = GetCurrentThreadId();
        SetEvent(m_done);
        return S_OK;
    }
    HANDLE m_done;
    volatile DWORD m_threadId = 0;
};
} // namespace

TEST_F(EngineTest, ThePlatformReturnsATrackedSampleOnItsOwnThreadAfterTheRelease)
{
    Allocate(1);
    ComPtr<IMFSample> a = Take();
    ComPtr<ReleaseRecorder> recorder;
    recorder.Attach(new ReleaseRecorder);
    ComPtr<IMFTrackedSample> tracked;
    ASSERT_HRESULT_SUCCEEDED(a.As(&tracked));
    ASSERT_HRESULT_SUCCEEDED(tracked->SetAllocator(recorder.Get(), nullptr));
    tracked.Reset();

    a.Reset(); // the last reference of ours
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(recorder->m_done, 5000));
    EXPECT_NE(GetCurrentThreadId(), recorder->m_threadId) << "never inside the releasing call";
}

