#pragma once

#include <windows.h>

// Between protocol-bench and qv-bench-echo.
const UINT kEchoHello = WM_APP + 1; // echo to bench, wParam = echo window
const UINT kEchoPing = WM_APP + 2;  // bench to echo, answered with 1
