#pragma once

#include <cstdint>
#include <sstream>
#include <string>
#include <type_traits>

// Hexadecimal texts for logs and error texts: lower case, no prefix, no
// padding, a negative value shown in its own width ("ffffffff" for -1).
template <typename T>
std::string Hex(T value)
{
    static_assert(std::is_integral<T>::value || std::is_enum<T>::value, "Hex takes an integer");
    std::ostringstream text;
    text << std::hex << static_cast<unsigned long long>(static_cast<std::make_unsigned_t<T>>(value));
    return text.str();
}

template <typename T>
std::wstring HexW(T value)
{
    static_assert(std::is_integral<T>::value || std::is_enum<T>::value, "HexW takes an integer");
    std::wostringstream text;
    text << std::hex << static_cast<unsigned long long>(static_cast<std::make_unsigned_t<T>>(value));
    return text.str();
}

// An address in upper case, padded to the width of a pointer.
inline std::wstring HexPointerW(const void* value)
{
    std::wostringstream text;
    text.width(static_cast<std::streamsize>(sizeof(void*) * 2));
    text.fill(L'0');
    text << std::hex << std::uppercase << reinterpret_cast<uintptr_t>(value);
    return text.str();
}
