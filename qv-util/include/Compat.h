// Differences between MinGW-w64 and Microsoft's compiler, kept in one place.
#pragma once

#if defined(_MSC_VER)
#define QV_NOINLINE __declspec(noinline)
#else
#define QV_NOINLINE __attribute__((noinline))
#endif

#if defined(__MINGW32__)
// MinGW's CRT declares the secure time functions only with this switch on.
#ifndef MINGW_HAS_SECURE_API
#define MINGW_HAS_SECURE_API 1
#endif
#endif
