// The shared set-up of the presenter's tests: Media Foundation, a hidden
// device window, diagnostics recording, and a presenter wired to doubles.
#pragma once

#include "EvrDoubles.h"
#include "FrameData.h"
#include "HelperWindow.h"
#include "Presenter.h"
#include "RendererSession.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

// True in the run with the test-only shared-texture d3d9.dll, which gives
// shared textures real handles (QV_EXPECT_SHARED_HANDLES=1).
bool ExpectSharedHandles();

// Diagnostics the code under test reported since the recorder was made.
class DiagnosticRecorder
{
public:
    DiagnosticRecorder();
    ~DiagnosticRecorder();
    std::vector<std::string> Texts();
    // Reports other than the ones this platform causes (see Unexpected's comment).
    std::vector<std::string> Unexpected();
};

struct FrameDeleter
{
    void operator()(IFrameData* frame) const
    {
        if (frame)
            frame->Dispose();
    }
};
using FramePtr = std::unique_ptr<IFrameData, FrameDeleter>;

constexpr D3DCOLOR kRed = 0xFF0000;
constexpr D3DCOLOR kGreen = 0x00FF00;
constexpr D3DCOLOR kBlue = 0x0000FF;
constexpr LONGLONG kMs = 10000; // 100-ns units per millisecond

class PresenterTest : public ::testing::Test
{
protected:
    void SetUp() override;
    void TearDown() override;

    // Wires the presenter to the doubles; withClock false leaves it without a clock.
    void Attach(bool withClock = true);
    // The mixer offers these types and asks the presenter to negotiate.
    HRESULT Negotiate(const std::vector<VideoTypeSpec>& specs);
    HRESULT InputNotify();
    FramePtr Poll();
    D3DCOLOR PixelOf(const FramePtr& frame);
    LONG Calls() { return m_mixer->ProcessOutputCalls(); }

    MfSession m_mf;
    DeviceWindow m_window;
    DiagnosticRecorder m_diagnostics;
    Microsoft::WRL::ComPtr<IEvrD3DPresenter> m_presenter;
    Microsoft::WRL::ComPtr<IMFVideoPresenter> m_videoPresenter;
    Microsoft::WRL::ComPtr<IMFTopologyServiceLookupClient> m_lookupClient;
    Microsoft::WRL::ComPtr<ClockDouble> m_clock;
    Microsoft::WRL::ComPtr<MixerDouble> m_mixer;
    Microsoft::WRL::ComPtr<EventSinkDouble> m_sink;
};

// The log file as written so far, and what was appended after an offset.
std::string LogText();
std::string LogTextSince(size_t offset);

// A presenter's current reference count, read without changing it.
ULONG RefCountOf(IUnknown* object);
