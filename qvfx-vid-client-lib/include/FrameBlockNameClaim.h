#pragma once

#include <string>

// A frame block name chosen by one of this process's players. Between a
// player's choice and its server's creation of the block the name is not yet
// visible as a block, so two players starting at once could both find it
// free; the second server would then fail to make its block. A claim makes
// the choice exclusive within the process (names differ between processes).
class FrameBlockNameClaim
{
public:
    FrameBlockNameClaim() = default;
    ~FrameBlockNameClaim() { Release(); }
    FrameBlockNameClaim(const FrameBlockNameClaim&) = delete;
    FrameBlockNameClaim& operator=(const FrameBlockNameClaim&) = delete;

    // True when no other claim of this process holds the name; the claim then
    // holds it instead of the one it held before.
    bool Claim(const std::string& name);
    void Release();

private:
    std::string m_name;
};
