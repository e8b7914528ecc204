#pragma once

#include <string>

// Strict UTF-16 to UTF-8: text that is not valid UTF-16 (a lone surrogate)
// throws std::range_error("bad conversion").
std::string ToUtf8(const std::wstring& text);
