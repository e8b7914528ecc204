#pragma once

#include <windows.h>

// Debug traces of the video path: debugger output only, at most 512 wide
// characters each, never the log file.
void DebugTrace(const wchar_t* format, ...);
void DebugTraceGuid(const wchar_t* prefix, REFGUID guid);
