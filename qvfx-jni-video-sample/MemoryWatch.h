// Working-set figures taken at every player start, to make growth across
// many player cycles visible.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class MemoryWatch
{
public:
    // Changes in the first moments are the program settling, not leaks.
    static const uint64_t kSettleMs = 5000;

    // One "memory before" sample; elapsedMs counts from the program's start time.
    void Sample(int64_t workingSet, uint64_t elapsedMs);

    int64_t Before() const { return m_before; }
    int64_t BeforeMax() const { return m_beforeMax; }
    bool ChangesCounted() const { return m_changesCounted; }
    int64_t ChangeCount() const { return m_changeCount; }
    int64_t CumulativeChange() const { return m_cumulativeChange; }
    // The largest change by size (either sign) and how often a change of that size was seen.
    int64_t MaxChange() const { return m_maxChange; }
    int64_t MaxChangeCount() const { return m_maxChangeCount; }

private:
    bool m_hasSample = false;
    int64_t m_before = 0;
    int64_t m_beforeMax = 0;
    bool m_changesCounted = false;
    int64_t m_changeCount = 0;
    int64_t m_cumulativeChange = 0;
    int64_t m_maxChange = 0;
    int64_t m_maxChangeCount = 0;
};

// What the overlay shows besides the memory figures.
struct OverlayFigures
{
    double lastFrameSeconds = 0.0;
    unsigned presentRefreshCount = 0;
    unsigned syncRefreshCount = 0;
    int playerCount = 0;
    int64_t memoryCurrent = 0;
};

// The overlay's lines, top to bottom, without the last player error.
std::vector<std::string> OverlayLines(const OverlayFigures& figures, const MemoryWatch& memory);
