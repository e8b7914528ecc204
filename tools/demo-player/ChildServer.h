// Finds the video server that this process started; the client keeps the
// server's process handle to itself.
#pragma once

#include "Handles.h"

// A handle (wait, query, terminate) to a qvfx-reviv.exe child of this process, or empty.
UniqueHandle OpenChildServer();
