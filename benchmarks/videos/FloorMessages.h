#pragma once

#include <windows.h>

#include <string>

// Between videos-bench and qv-bench-platform. wParam carries the run's index
// (from the floor's command line) times 16 plus the kind of figure.
const UINT kFloorFigure = WM_APP + 11; // lParam = microseconds, or -1: not observable
const UINT kFloorFailed = WM_APP + 12; // lParam = the failing HRESULT

enum FloorKind : int
{
    FLOOR_KIND_HELLO = 0,       // the program's first message; lParam 0
    FLOOR_KIND_DEVICE = 1,      // Direct3D 9Ex object and device creation, in the program
    FLOOR_KIND_GRAPH = 2,       // graph built on the file and paused, in the program
    FLOOR_KIND_FIRST_FRAME = 3, // Run to the renderer's first drawn frame
    FLOOR_KIND_SAMPLE_AFTER_RUN = 4,  // Run to the next video sample reaching the renderer
    FLOOR_KIND_SAMPLE_AFTER_SEEK = 5, // a seek to the start while running, to the next sample
    FLOOR_KIND_PLAYED_SAMPLES = 6,    // played to the end: video samples that reached the renderer
    FLOOR_KIND_PLAYED_DRAWN = 7,      // played to the end: frames the renderer drew, or -1
    FLOOR_KIND_PLAYED_SHOWN = 8,      // played to the end: frames a 60 Hz poll of its current image saw, or -1
};

// The event that starts the play mode's graphs together, named after the
// benchmark's window.
inline std::wstring FloorGoName(HWND client)
{
    return L"QvBenchFloorGo" + std::to_wstring(reinterpret_cast<intptr_t>(client));
}

inline WPARAM FloorTag(int index, int kind)
{
    return static_cast<WPARAM>(index * 16 + kind);
}
