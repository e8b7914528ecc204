#include "MemoryWatch.h"

#include <cstdio>
#include <cstdlib>

void MemoryWatch::Sample(int64_t workingSet, uint64_t elapsedMs)
{
    if (m_hasSample && elapsedMs > kSettleMs)
    {
        m_changesCounted = true;
        const int64_t change = workingSet - m_before;
        if (change != 0)
        {
            ++m_changeCount;
            m_cumulativeChange += change;
            const int64_t size = std::llabs(change);
            if (size > m_maxChange)
            {
                m_maxChange = size;
                m_maxChangeCount = 1;
            }
            else if (size == m_maxChange)
            {
                ++m_maxChangeCount;
            }
        }
    }
    m_hasSample = true;
    m_before = workingSet;
    if (workingSet > m_beforeMax)
        m_beforeMax = workingSet;
}

namespace
{
std::string Format(const char* format, long long value)
{
    char line[96] = {};
    std::snprintf(line, sizeof(line), format, value);
    return line;
}
} // namespace

std::vector<std::string> OverlayLines(const OverlayFigures& figures, const MemoryWatch& memory)
{
    std::vector<std::string> lines;
    lines.push_back("Render Thread:");
    char fps[64] = {};
    std::snprintf(fps, sizeof(fps), "FPS: %0.2f", figures.lastFrameSeconds > 0.0 ? 1.0 / figures.lastFrameSeconds : 0.0);
    lines.push_back(fps);
    lines.push_back(Format("Present Refresh Count: %lld", figures.presentRefreshCount));
    lines.push_back(Format("Sync Refresh Count: %lld", figures.syncRefreshCount));
    lines.push_back(Format("Player Count: %lld", figures.playerCount));
    lines.push_back(Format("%lld memory before", memory.Before()));
    if (memory.BeforeMax() != 0)
        lines.push_back(Format("%lld memory before max", memory.BeforeMax()));
    lines.push_back(Format("%lld memory current", figures.memoryCurrent));
    if (memory.ChangesCounted())
    {
        lines.push_back(Format("%lld memory change count", memory.ChangeCount()));
        lines.push_back(Format("%lld memory cumultative change", memory.CumulativeChange()));
        lines.push_back(Format("%lld memory max change count", memory.MaxChangeCount()));
        lines.push_back(Format("%lld memory max change", memory.MaxChange()));
    }
    return lines;
}
