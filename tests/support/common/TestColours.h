// Telling the test clip's solid colours apart in pixels read back from a texture.
#pragma once

#include <cstdint>

// 'r', 'g' or 'b' for a clearly red, green or blue X8R8G8B8 pixel, '?' otherwise.
inline char ClassifyColour(uint32_t colour)
{
    const uint32_t r = (colour >> 16) & 0xFF, g = (colour >> 8) & 0xFF, b = colour & 0xFF;
    if (r > 0xC0 && g < 0x40 && b < 0x40)
        return 'r';
    if (g > 0xC0 && r < 0x40 && b < 0x40)
        return 'g';
    if (b > 0xC0 && r < 0x40 && g < 0x40)
        return 'b';
    return '?';
}
