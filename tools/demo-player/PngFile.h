// Writes 32-bit pixels read back from a frame texture as a PNG file.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

// pixels: width * height values 0x00RRGGBB, row after row from the top.
// Needs COM initialised on the calling thread.
HRESULT WritePng(const std::wstring& path, UINT width, UINT height, const std::vector<uint32_t>& pixels);
