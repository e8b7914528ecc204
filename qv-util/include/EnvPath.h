#pragma once

#include <string>

// The PATH of this process, or an empty string when it is undefined or empty.
std::wstring GetEnvPath();

// Appends text to PATH as it stands (callers pass the leading ';'). False when
// PATH is undefined or changed while it was read.
bool AddEnvPath(std::wstring text);
