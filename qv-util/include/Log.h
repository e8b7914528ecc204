#pragma once

#include <sstream>
#include <string>

// One line "timestamp [tag] text" appended to the process's log file and
// mirrored to the debugger output. Never throws.
void Log(const std::string& tag, const std::string& text);
void Log(const std::string& tag, const std::ostringstream& text);

// "dd-mm-YYYY hh:MM:SS.t" with t the tick counter modulo 1000; empty on failure.
std::string Timestamp();

// The file the log writes to, relative to the current directory.
std::wstring LogFileName();

// Prepares the log file and the 1 ms timer resolution; one static instance
// per process lives in Log.cpp.
class LogInitializer
{
public:
    LogInitializer();
    virtual ~LogInitializer();

    LogInitializer(const LogInitializer&) = delete;
    LogInitializer& operator=(const LogInitializer&) = delete;
};
