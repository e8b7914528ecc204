// The server's DirectShow player: states, commands and queries around one
// filter graph, reporting through VideoPlayer.
#pragma once

#include "VideoPlayer.h"
#include "VideoRenderer.h"

#include <windows.h>
#include <dshow.h>
#include <wrl/client.h>

#include <memory>
#include <string>

enum : int
{
    PLAYER_STATE_NONE = 0,
    PLAYER_STATE_PLAYING = 1,
    PLAYER_STATE_PAUSED = 2,
    PLAYER_STATE_STOPPED = 3,
    PLAYER_STATE_CLOSED = 4,
    PLAYER_STATE_SHUTDOWN = 6,
};

// HRESULT_FROM_WIN32(ERROR_INVALID_STATE).
const HRESULT kPlayerInvalidState = static_cast<HRESULT>(0x8007139F);
// The message with which the graph announces its events to the helper window.
const UINT kGraphEventMessage = WM_APP + 100;

class DShowPlayer : public VideoPlayer, public WndMessageHandler
{
public:
    DShowPlayer();
    ~DShowPlayer() override;

    HRESULT Initialize(HWND serverWindow, LONG_PTR value) override;
    HRESULT Close(bool stop) override;
    HRESULT Open(const std::wstring& path, int loop, float startPosition, uint32_t endPositionBits,
                 uint32_t volumeBits) override;
    HRESULT Play() override;
    HRESULT Stop() override;
    HRESULT Pause() override;
    HRESULT Resume() override;
    bool HasVideo() override;
    int GetState() override { return m_state; }
    IFrameData* GetFrameData() override;
    HRESULT SetMute(int mute) override;
    int GetMute() override { return m_mute; }
    HRESULT SetVolume(float volume) override;
    float GetVolume() override { return m_volume; }
    bool CanSeek() override;
    HRESULT SetPosition(double seconds) override;
    double GetDuration() override;
    double GetPosition() override;
    void SetLoopEnabled(int enabled) override;
    int GetLoopEnabled() override { return m_loop ? 1 : 0; }

    BOOL OnWindowMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) override;

    float GetStartPosition() const { return m_startPosition; }

private:
    HRESULT InitializeGraph();
    HRESULT RenderStreams(IBaseFilter* pSource);
    HRESULT CreateVideoRenderer();
    HRESULT ApplyVolume();
    void HandleEvent(long eventCode, LONG_PTR param1, LONG_PTR param2);
    bool CountPerFrameEvent(long eventCode);
    void RestartLoop();
    void LogFilters();
    void TearDown();
    void Report(uint32_t code, int64_t param, const wchar_t* text);

    int m_state = PLAYER_STATE_NONE;
    DWORD m_seekCaps = 0;
    bool m_audioPresent = false;
    float m_volume = 1.0f;
    int m_mute = 0;
    float m_startPosition = 0.0f;
    uint32_t m_endPosition = 0; // float bits, kept as given
    Microsoft::WRL::ComPtr<IGraphBuilder> m_pGraph;
    Microsoft::WRL::ComPtr<IMediaControl> m_pControl;
    Microsoft::WRL::ComPtr<IMediaEventEx> m_pEvents;
    Microsoft::WRL::ComPtr<IMediaSeeking> m_pSeeking;
    Microsoft::WRL::ComPtr<IBasicAudio> m_pAudio;
    std::unique_ptr<BaseVideoRenderer> m_pVideoRenderer;
    bool m_loop = true;
    uint64_t m_perFrameEvents[3] = {}; // EC_SAMPLE_NEEDED to EC_SAMPLE_LATENCY, for the current graph
};
