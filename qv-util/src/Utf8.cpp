#include "Utf8.h"

#include <windows.h>

#include <stdexcept>

std::string ToUtf8(const std::wstring& text)
{
    if (text.empty())
        return std::string();
    if (text.size() > 0x7FFFFFFF)
        throw std::range_error("bad conversion");
    const int length = static_cast<int>(text.size());
    int bytes = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(), length, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0)
        throw std::range_error("bad conversion");
    std::string out(static_cast<size_t>(bytes), '\0');
    if (WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(), length, &out[0], bytes, nullptr, nullptr) != bytes)
        throw std::range_error("bad conversion");
    return out;
}

std::wstring ToUtf16Lenient(const std::string& text)
{
    if (text.empty() || text.size() > 0x7FFFFFFF)
        return std::wstring();
    // Without MB_ERR_INVALID_CHARS the system replaces what is not UTF-8 with U+FFFD.
    const int length = static_cast<int>(text.size());
    const int units = MultiByteToWideChar(CP_UTF8, 0, text.data(), length, nullptr, 0);
    if (units <= 0)
        return std::wstring();
    std::wstring out(static_cast<size_t>(units), L'\0');
    if (MultiByteToWideChar(CP_UTF8, 0, text.data(), length, &out[0], units) != units)
        return std::wstring();
    return out;
}

std::string ToUtf8OrPlaceholder(const std::wstring& text)
{
    try
    {
        return ToUtf8(text);
    }
    catch (...)
    {
        return "(text not valid UTF-16)";
    }
}
