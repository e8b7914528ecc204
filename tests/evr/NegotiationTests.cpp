// The presenter's COM face, its media type negotiation with the mixer, its
// services and its answers after shutdown.
#include "EvrFixture.h"

#include <dxva2api.h>

#include <evcode.h>
#include <mferror.h>

#include <gtest/gtest.h>

#include <cfloat>

using Microsoft::WRL::ComPtr;

namespace
{
D3DFORMAT FormatOf(IMFMediaType* type)
{
    GUID subtype{};
    EXPECT_HRESULT_SUCCEEDED(type->GetGUID(MF_MT_SUBTYPE, &subtype));
    return static_cast<D3DFORMAT>(subtype.Data1);
}

VideoTypeSpec Spec(D3DFORMAT format, UINT32 width, UINT32 height)
{
    VideoTypeSpec spec;
    spec.format = format;
    spec.width = width;
    spec.height = height;
    return spec;
}
} // namespace

TEST_F(PresenterTest, AnswersItsInterfacesThroughOneReferenceCount)
{
    const IID answered[] = {__uuidof(IUnknown),        __uuidof(IMFVideoDeviceID),
                            __uuidof(IMFVideoPresenter), __uuidof(IMFClockStateSink),
                            __uuidof(IMFRateSupport),  __uuidof(IMFGetService),
                            __uuidof(IMFTopologyServiceLookupClient), __uuidof(IMFVideoDisplayControl)};
    const ULONG before = RefCountOf(m_presenter.Get());
    for (const IID& iid : answered)
    {
        ComPtr<IUnknown> unknown;
        ASSERT_HRESULT_SUCCEEDED(m_presenter->QueryInterface(iid, reinterpret_cast<void**>(unknown.GetAddressOf())));
        EXPECT_EQ(before + 1, RefCountOf(m_presenter.Get()));
    }
    {
        ComPtr<IUnknown> identity1;
        ComPtr<IUnknown> identity2;
        m_presenter.As(&identity1);
        m_videoPresenter.As(&identity2);
        EXPECT_EQ(identity1.Get(), identity2.Get()) << "one IUnknown whichever interface is asked";
    }

    void* none = reinterpret_cast<void*>(1);
    EXPECT_EQ(E_NOINTERFACE, m_presenter->QueryInterface(__uuidof(IMFTransform), &none));
    EXPECT_EQ(nullptr, none);
    EXPECT_EQ(E_POINTER, m_presenter->QueryInterface(__uuidof(IUnknown), nullptr));

    IID device{};
    ASSERT_HRESULT_SUCCEEDED(m_presenter->GetDeviceID(&device));
    EXPECT_EQ(__uuidof(IDirect3DDevice9), device);

    {
        ComPtr<IMFVideoDisplayControl> display;
        ASSERT_HRESULT_SUCCEEDED(m_presenter.As(&display));
        EXPECT_EQ(E_NOTIMPL, display->SetAspectRatioMode(MFVideoARMode_PreservePicture));
    }
    EXPECT_EQ(before, RefCountOf(m_presenter.Get()));
}

TEST(PresenterCreateTest, APresenterWithoutADeviceIsNotHandedOut)
{
    DiagnosticRecorder diagnostics;
    IEvrD3DPresenter* presenter = reinterpret_cast<IEvrD3DPresenter*>(1);
    EXPECT_EQ(MF_E_NOT_INITIALIZED, IEvrD3DPresenter::Create(nullptr, &presenter)) << "no window, no device";
    EXPECT_EQ(nullptr, presenter);
    EXPECT_EQ(E_POINTER, IEvrD3DPresenter::Create(nullptr, nullptr));
    EXPECT_EQ(std::vector<std::string>{}, diagnostics.Unexpected()) << "the failed presenter was released to zero";
}

TEST_F(PresenterTest, ServesTheDeviceManagerForRenderAndAccelerationServices)
{
    ComPtr<IMFGetService> service;
    ASSERT_HRESULT_SUCCEEDED(m_presenter.As(&service));
    ComPtr<IDirect3DDeviceManager9> manager;
    ASSERT_HRESULT_SUCCEEDED(service->GetService(MR_VIDEO_ACCELERATION_SERVICE, IID_PPV_ARGS(&manager)));
    ASSERT_NE(nullptr, manager.Get());
    ComPtr<IDirect3DDeviceManager9> same;
    ASSERT_HRESULT_SUCCEEDED(service->GetService(MR_VIDEO_RENDER_SERVICE, IID_PPV_ARGS(&same)));
    EXPECT_EQ(manager.Get(), same.Get());

    ComPtr<IMFVideoDisplayControl> display;
    EXPECT_HRESULT_SUCCEEDED(service->GetService(MR_VIDEO_RENDER_SERVICE, IID_PPV_ARGS(&display)))
        << "other interfaces of the render service come from the presenter itself";
    ComPtr<IDirect3DDeviceManager9> none;
    EXPECT_EQ(MF_E_UNSUPPORTED_SERVICE, service->GetService(MR_VIDEO_MIXER_SERVICE, IID_PPV_ARGS(&none)));
    EXPECT_EQ(nullptr, none.Get());
}

TEST_F(PresenterTest, InitialisesFromTheLookupAndRefusesWhileActive)
{
    Attach();
    MFVideoNormalizedRect zoom{};
    UINT32 size = 0;
    ASSERT_HRESULT_SUCCEEDED(m_mixer->Attributes()->GetBlob(VIDEO_ZOOM_RECT,
                                                            reinterpret_cast<UINT8*>(&zoom), sizeof(zoom), &size));
    EXPECT_EQ(1.0f, zoom.right);
    EXPECT_EQ(1.0f, zoom.bottom);

    ASSERT_HRESULT_SUCCEEDED(m_videoPresenter->OnClockStart(0, 0));
    ComPtr<ServiceLookupDouble> lookup;
    lookup.Attach(new ServiceLookupDouble(m_clock.Get(), m_mixer.Get(), m_sink.Get()));
    EXPECT_EQ(MF_E_INVALIDREQUEST, m_lookupClient->InitServicePointers(lookup.Get()));
    ASSERT_HRESULT_SUCCEEDED(m_videoPresenter->OnClockPause(0));
    EXPECT_EQ(MF_E_INVALIDREQUEST, m_lookupClient->InitServicePointers(lookup.Get()));
    ASSERT_HRESULT_SUCCEEDED(m_videoPresenter->OnClockStop(0));
    EXPECT_HRESULT_SUCCEEDED(m_lookupClient->InitServicePointers(lookup.Get()));

    m_mixer->SetDeviceID(IID_IUnknown);
    ASSERT_HRESULT_SUCCEEDED(m_lookupClient->ReleaseServicePointers());
    EXPECT_EQ(MF_E_INVALIDREQUEST, m_lookupClient->InitServicePointers(lookup.Get()))
        << "a mixer that draws on another kind of device is refused";
}

TEST_F(PresenterTest, RejectsA8R8G8B8AndAcceptsTheNextOfferedFormat)
{
    Attach();
    const size_t logStart = LogText().size();
    ASSERT_HRESULT_SUCCEEDED(Negotiate({Spec(D3DFMT_A8R8G8B8, 320, 240), Spec(D3DFMT_X8R8G8B8, 320, 240)}));
    const std::string log = LogTextSince(logStart);
    for (const char* line : {"[EVRCustomPresenter::RenegotiateMediaType] mixer format 1 320x240 f=21 ",
                             "[EVRCustomPresenter::RenegotiateMediaType] mixer format 2 320x240 f=22 ",
                             "[EVRCustomPresenter::IsMediaTypeSupported] format 21 - rejected",
                             "[EVRCustomPresenter::RenegotiateMediaType] format 1 rejected render state 2",
                             "[D3DPresentEngine::CreateD3DSample] creating sample 0 texture 320x240 -> 0x0 f=22",
                             "[D3DPresentEngine::CreateD3DSample] creating sample 1 texture 320x240 -> 0x0 f=22",
                             "[EVRCustomPresenter::SetMediaType] new sample  1 0 :  ",
                             "[EVRCustomPresenter::SetMediaType] new sample  1 1 :  ",
                             "[EVRCustomPresenter::RenegotiateMediaType] format 2 accepted render state 2"})
        EXPECT_NE(std::string::npos, log.find(line)) << line;
    ComPtr<IMFMediaType> output = m_mixer->OutputType();
    ASSERT_NE(nullptr, output.Get());
    EXPECT_EQ(D3DFMT_X8R8G8B8, FormatOf(output.Get()));

    ComPtr<IMFVideoMediaType> current;
    ASSERT_HRESULT_SUCCEEDED(m_videoPresenter->GetCurrentMediaType(&current));
    EXPECT_EQ(D3DFMT_X8R8G8B8, FormatOf(current.Get()));
    EXPECT_EQ(0u, m_sink->Count(EC_ERRORABORT));
}

TEST_F(PresenterTest, RejectsInterlacedAndCompressedProposals)
{
    Attach();
    VideoTypeSpec interlaced = Spec(D3DFMT_X8R8G8B8, 320, 240);
    interlaced.interlace = MFVideoInterlace_FieldInterleavedUpperFirst;
    VideoTypeSpec compressed = Spec(D3DFMT_X8R8G8B8, 320, 240);
    compressed.compressed = true;

    // Outside the normal mode the failure of the search itself comes back.
    m_presenter->SetPresenterMode(PRESENTER_MODE_ONE_TEXTURE);
    EXPECT_EQ(MF_E_NO_MORE_TYPES, Negotiate({interlaced}));
    EXPECT_EQ(MF_E_NO_MORE_TYPES, Negotiate({compressed}));
    ComPtr<IMFVideoMediaType> current;
    EXPECT_EQ(MF_E_NOT_INITIALIZED, m_videoPresenter->GetCurrentMediaType(&current));
    EXPECT_EQ(nullptr, m_mixer->OutputType().Get());

    // In the normal mode the graph is told, and the mixer keeps its first type.
    m_presenter->SetPresenterMode(PRESENTER_MODE_PLAYBACK);
    EXPECT_EQ(S_OK, Negotiate({interlaced, compressed}));
    std::vector<RecordedEvent> aborts = m_sink->Events(EC_ERRORABORT);
    ASSERT_EQ(1u, aborts.size());
    EXPECT_EQ(MF_E_INVALIDMEDIATYPE, static_cast<HRESULT>(aborts[0].param1));
    ASSERT_NE(nullptr, m_mixer->OutputType().Get());
    UINT32 interlace = 0;
    m_mixer->OutputType()->GetUINT32(MF_MT_INTERLACE_MODE, &interlace);
    EXPECT_EQ(static_cast<UINT32>(MFVideoInterlace_FieldInterleavedUpperFirst), interlace);
    EXPECT_EQ(MF_E_NOT_INITIALIZED, m_videoPresenter->GetCurrentMediaType(&current));
}

TEST_F(PresenterTest, WidePixelsWidenTheOutputToSquarePixels)
{
    Attach();
    VideoTypeSpec pal = Spec(D3DFMT_X8R8G8B8, 720, 576);
    pal.parNumerator = 4;
    pal.parDenominator = 3;
    ASSERT_HRESULT_SUCCEEDED(Negotiate({pal}));

    ComPtr<IMFMediaType> output = m_mixer->OutputType();
    UINT32 width = 0, height = 0, parN = 0, parD = 0;
    ASSERT_HRESULT_SUCCEEDED(MFGetAttributeSize(output.Get(), MF_MT_FRAME_SIZE, &width, &height));
    EXPECT_EQ(960u, width);
    EXPECT_EQ(576u, height);
    ASSERT_HRESULT_SUCCEEDED(MFGetAttributeRatio(output.Get(), MF_MT_PIXEL_ASPECT_RATIO, &parN, &parD));
    EXPECT_EQ(1u, parN);
    EXPECT_EQ(1u, parD);
    MFVideoArea area{};
    UINT32 size = 0;
    ASSERT_HRESULT_SUCCEEDED(output->GetBlob(MF_MT_MINIMUM_DISPLAY_APERTURE, reinterpret_cast<UINT8*>(&area),
                                             sizeof(area), &size));
    EXPECT_EQ(960, area.Area.cx);
    EXPECT_EQ(FALSE, MFGetAttributeUINT32(output.Get(), MF_MT_PAN_SCAN_ENABLED, TRUE));

    // The textures follow the negotiated size.
    m_mixer->AddFrame({kBlue, 0, 40 * kMs});
    ASSERT_HRESULT_SUCCEEDED(m_videoPresenter->OnClockStart(0, 0));
    FramePtr frame = Poll();
    ASSERT_NE(nullptr, frame->GetTexture());
    EXPECT_EQ(960u, frame->GetWidth());
    EXPECT_EQ(576u, frame->GetHeight());
    EXPECT_EQ(kBlue, PixelOf(frame));
}

TEST_F(PresenterTest, ASecondNegotiationWithTheSameFormatAndSizeKeepsTheTextures)
{
    Attach();
    ASSERT_HRESULT_SUCCEEDED(Negotiate({Spec(D3DFMT_X8R8G8B8, 320, 240)}));
    m_mixer->AddFrame({kRed, 0, 40 * kMs});
    ASSERT_HRESULT_SUCCEEDED(m_videoPresenter->OnClockStart(0, 0));
    ASSERT_EQ(1u, m_mixer->Outputs().size());
    const MixerOutput first = m_mixer->Outputs()[0];

    VideoTypeSpec sameSize = Spec(D3DFMT_X8R8G8B8, 320, 240);
    sameSize.frameRateNumerator = 30;
    ASSERT_HRESULT_SUCCEEDED(Negotiate({sameSize}));
    ComPtr<IMFVideoMediaType> current;
    ASSERT_HRESULT_SUCCEEDED(m_videoPresenter->GetCurrentMediaType(&current));
    UINT32 rateN = 0, rateD = 0;
    ASSERT_HRESULT_SUCCEEDED(MFGetAttributeRatio(current.Get(), MF_MT_FRAME_RATE, &rateN, &rateD));
    EXPECT_EQ(25u, rateN) << "the type in use stays the one the textures were made for";

    FramePtr frame = Poll();
    EXPECT_EQ(first.texture, frame->GetTexture()) << "the queued frame survived the negotiation";
    m_mixer->AddFrame({kGreen, 0, 40 * kMs});
    ASSERT_HRESULT_SUCCEEDED(InputNotify());
    ASSERT_EQ(2u, m_mixer->Outputs().size());
    EXPECT_EQ(first.token, m_mixer->Outputs()[1].token) << "still the same sample set";
}

TEST_F(PresenterTest, ReportsRatesFromTheFrameRateAndTheDisplay)
{
    Attach();
    ComPtr<IMFRateSupport> rates;
    ASSERT_HRESULT_SUCCEEDED(m_presenter.As(&rates));
    float rate = -1;
    ASSERT_HRESULT_SUCCEEDED(rates->GetSlowestRate(MFRATE_FORWARD, FALSE, &rate));
    EXPECT_EQ(0.0f, rate);
    ASSERT_HRESULT_SUCCEEDED(rates->GetFastestRate(MFRATE_REVERSE, FALSE, &rate));
    EXPECT_EQ(-FLT_MAX, rate) << "no output type: no limit";

    float nearest = 0;
    EXPECT_EQ(S_OK, rates->IsRateSupported(FALSE, -2.5f, &nearest));
    EXPECT_EQ(-2.5f, nearest);
    EXPECT_EQ(S_OK, rates->IsRateSupported(FALSE, 4.0f, nullptr));
}

TEST_F(PresenterTest, AnswersShutdownAfterReleasingItsServices)
{
    Attach();
    ASSERT_HRESULT_SUCCEEDED(Negotiate({Spec(D3DFMT_X8R8G8B8, 320, 240)}));
    ASSERT_HRESULT_SUCCEEDED(m_lookupClient->ReleaseServicePointers());

    ComPtr<IMFRateSupport> rates;
    ASSERT_HRESULT_SUCCEEDED(m_presenter.As(&rates));
    ComPtr<IMFVideoMediaType> current;
    float rate = 0;
    EXPECT_EQ(MF_E_SHUTDOWN, m_videoPresenter->ProcessMessage(MFVP_MESSAGE_FLUSH, 0));
    EXPECT_EQ(MF_E_SHUTDOWN, m_videoPresenter->ProcessMessage(MFVP_MESSAGE_PROCESSINPUTNOTIFY, 0));
    EXPECT_EQ(MF_E_SHUTDOWN, m_videoPresenter->GetCurrentMediaType(&current));
    EXPECT_EQ(MF_E_SHUTDOWN, m_videoPresenter->OnClockStart(0, 0));
    EXPECT_EQ(MF_E_SHUTDOWN, m_videoPresenter->OnClockStop(0));
    EXPECT_EQ(MF_E_SHUTDOWN, m_videoPresenter->OnClockPause(0));
    EXPECT_EQ(MF_E_SHUTDOWN, m_videoPresenter->OnClockRestart(0));
    EXPECT_EQ(MF_E_SHUTDOWN, m_videoPresenter->OnClockSetRate(0, 2.0f));
    EXPECT_EQ(MF_E_SHUTDOWN, rates->GetFastestRate(MFRATE_FORWARD, FALSE, &rate));
    EXPECT_EQ(MF_E_SHUTDOWN, rates->IsRateSupported(FALSE, 1.0f, &rate));
    EXPECT_EQ(S_OK, rates->GetSlowestRate(MFRATE_FORWARD, FALSE, &rate));

    FramePtr frame = Poll();
    ASSERT_NE(nullptr, frame.get());
    EXPECT_FALSE(frame->HasFrame());
    EXPECT_EQ(nullptr, frame->GetTexture()) << "the samples went with the shutdown";
}
