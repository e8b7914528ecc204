#pragma once

#include <string>

// Strict UTF-16 to UTF-8: text that is not valid UTF-16 (a lone surrogate)
// throws std::range_error("bad conversion").
std::string ToUtf8(const std::wstring& text);

// For logs and messages built from text that may not be valid UTF-16 (Java
// strings can hold lone surrogates): the UTF-8 form, or a placeholder, never
// an exception.
std::string ToUtf8OrPlaceholder(const std::wstring& text);

// UTF-8 to UTF-16 for text that came from outside (another process, a file):
// every valid character arrives intact, each invalid byte becomes U+FFFD.
std::wstring ToUtf16Lenient(const std::string& text);
