#include "EvrFixture.h"

#include "Diagnostics.h"
#include "Log.h"

#include <mferror.h>

#include <fstream>
#include <mutex>
#include <sstream>

using Microsoft::WRL::ComPtr;

namespace
{
std::mutex g_diagnosticsLock;
std::vector<std::string> g_diagnostics;

void RecordDiagnostic(const char* text)
{
    std::lock_guard<std::mutex> lock(g_diagnosticsLock);
    g_diagnostics.emplace_back(text);
}
} // namespace

DiagnosticRecorder::DiagnosticRecorder()
{
    {
        std::lock_guard<std::mutex> lock(g_diagnosticsLock);
        g_diagnostics.clear();
    }
    SetDiagnosticSink(RecordDiagnostic);
}

DiagnosticRecorder::~DiagnosticRecorder()
{
    SetDiagnosticSink(nullptr);
}

std::vector<std::string> DiagnosticRecorder::Texts()
{
    std::lock_guard<std::mutex> lock(g_diagnosticsLock);
    return g_diagnostics;
}

bool ExpectSharedHandles()
{
    wchar_t value[8] = {};
    return GetEnvironmentVariableW(L"QV_EXPECT_SHARED_HANDLES", value, 8) > 0 && value[0] == L'1';
}

std::vector<std::string> DiagnosticRecorder::Unexpected()
{
    // Wine 8 leaves the shared handle of a shared texture NULL, which the
    // texture record reports as "hTexture"; on Windows and with the
    // shared-texture stand-in it never fires.
    const bool handlesAreReal = ExpectSharedHandles();
    std::vector<std::string> unexpected;
    for (const std::string& text : Texts())
        if (handlesAreReal || text != "hTexture")
            unexpected.push_back(text);
    return unexpected;
}

std::string LogText()
{
    std::ifstream file(LogFileName().c_str(), std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

std::string LogTextSince(size_t offset)
{
    const std::string text = LogText();
    return offset < text.size() ? text.substr(offset) : std::string();
}

ULONG RefCountOf(IUnknown* object)
{
    object->AddRef();
    return object->Release();
}

void PresenterTest::SetUp()
{
    ASSERT_HRESULT_SUCCEEDED(m_mf.Result());
    ASSERT_HRESULT_SUCCEEDED(m_window.Result());
    ASSERT_HRESULT_SUCCEEDED(IEvrD3DPresenter::Create(m_window.Hwnd(), &m_presenter));
    ASSERT_HRESULT_SUCCEEDED(m_presenter.As(&m_videoPresenter));
    ASSERT_HRESULT_SUCCEEDED(m_presenter.As(&m_lookupClient));
    m_clock.Attach(new ClockDouble);
    m_mixer.Attach(new MixerDouble);
    m_sink.Attach(new EventSinkDouble);
}

void PresenterTest::TearDown()
{
    if (m_lookupClient)
    {
        EXPECT_HRESULT_SUCCEEDED(m_lookupClient->ReleaseServicePointers());
    }
    m_videoPresenter.Reset();
    m_lookupClient.Reset();
    if (m_presenter)
    {
        // Samples still out hold the presenter through their release
        // callback until the platform has delivered it.
        EXPECT_TRUE(WaitUntil([&] { return RefCountOf(m_presenter.Get()) == 1; }))
            << "references left: " << RefCountOf(m_presenter.Get());
        EXPECT_EQ(0u, m_presenter.Reset());
    }
    EXPECT_EQ(std::vector<std::string>{}, m_diagnostics.Unexpected());
}

void PresenterTest::Attach(bool withClock)
{
    ComPtr<ServiceLookupDouble> lookup;
    lookup.Attach(new ServiceLookupDouble(withClock ? m_clock.Get() : nullptr, m_mixer.Get(), m_sink.Get()));
    ASSERT_HRESULT_SUCCEEDED(m_lookupClient->InitServicePointers(lookup.Get()));
}

HRESULT PresenterTest::Negotiate(const std::vector<VideoTypeSpec>& specs)
{
    std::vector<ComPtr<IMFMediaType>> types;
    for (const VideoTypeSpec& spec : specs)
        types.push_back(MakeVideoType(spec));
    m_mixer->OfferTypes(types);
    return m_videoPresenter->ProcessMessage(MFVP_MESSAGE_INVALIDATEMEDIATYPE, 0);
}

HRESULT PresenterTest::InputNotify()
{
    return m_videoPresenter->ProcessMessage(MFVP_MESSAGE_PROCESSINPUTNOTIFY, 0);
}

FramePtr PresenterTest::Poll()
{
    return FramePtr(m_presenter->GetFrameData());
}

D3DCOLOR PresenterTest::PixelOf(const FramePtr& frame)
{
    D3DCOLOR colour = 0xDEADBEEF;
    if (ExpectSharedHandles())
    {
        EXPECT_TRUE(frame->HasFrame()) << "a shown frame names its shared texture";
    }
    EXPECT_HRESULT_SUCCEEDED(ReadPixel(frame->GetTexture(), &colour));
    return colour;
}
