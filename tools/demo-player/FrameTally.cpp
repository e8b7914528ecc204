#include "FrameTally.h"

#include <cmath>
#include <cstring>

void FrameTally::StartSpan(double seconds)
{
    m_spanStart = seconds;
    m_delivered = 0;
    m_polls = 0;
    m_haveLast = false;
}

bool FrameTally::Observe(const FrameParams& frame)
{
    ++m_polls;
    if (frame.textureHandle == 0)
        return false;
    const bool isNew = !m_haveLast || std::memcmp(&frame, &m_last, sizeof(frame)) != 0;
    m_last = frame;
    m_haveLast = true;
    if (isNew)
        ++m_delivered;
    return isNew;
}

int FrameTally::Expected(double seconds) const
{
    const double elapsed = seconds - m_spanStart;
    if (elapsed <= 0.0)
        return 0;
    // The small allowance keeps an exact multiple of the frame time from rounding down.
    return static_cast<int>(std::floor(elapsed * m_mediaFps + 1e-6));
}

int FrameTally::Dropped(double seconds) const
{
    const int missing = Expected(seconds) - m_delivered;
    return missing > 0 ? missing : 0;
}

double FrameTally::DeliveredPerSecond(double seconds) const
{
    const double elapsed = seconds - m_spanStart;
    return elapsed > 0.0 ? m_delivered / elapsed : 0.0;
}
