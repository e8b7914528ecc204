// Counts what a steady frame poll sees: which descriptors are new frames,
// how many frames arrive per span of time and how many fell short of the
// media's frame rate.
#pragma once

#include "VideoPlayerMsg.h"

#include <cstdint>
#include <set>

class FrameTally
{
public:
    explicit FrameTally(double mediaFps) : m_mediaFps(mediaFps) {}

    // Starts a measured span (after a start, a seek or a resume): frames seen
    // before it do not count, and the next descriptor counts as a new frame.
    void StartSpan(double seconds);

    // Returns true when frame is a frame that the previous poll did not show.
    // A poll without a frame (all zero) leaves the last one in place.
    bool Observe(const FrameParams& frame);

    // True once per texture handle: the first time the poll shows it.
    bool IsFirstSighting(const FrameParams& frame) const { return m_seenHandles.count(frame.textureHandle) == 0; }
    void NoteSighting(const FrameParams& frame) { m_seenHandles.insert(frame.textureHandle); }
    size_t DistinctTextures() const { return m_seenHandles.size(); }

    int Delivered() const { return m_delivered; }
    int Polls() const { return m_polls; }
    // Media frames due between the span's start and seconds.
    int Expected(double seconds) const;
    // Due frames that never showed; never negative.
    int Dropped(double seconds) const;
    double DeliveredPerSecond(double seconds) const;

private:
    double m_mediaFps;
    double m_spanStart = 0.0;
    int m_delivered = 0;
    int m_polls = 0;
    bool m_haveLast = false;
    FrameParams m_last{};
    std::set<uint64_t> m_seenHandles;
};
