// The part of this process's log written after a point in a test.
#pragma once

#include "QvfxLibrary.h"

#include <string>

class VideoLogMark
{
public:
    VideoLogMark() : m_start(ReadLogFile().size()) {}
    std::string NewText() const
    {
        const std::string text = ReadLogFile();
        return text.size() > m_start ? text.substr(m_start) : std::string();
    }

private:
    size_t m_start;
};
