// The platform's basic types. Handles are 32-bit values and 0 means none; pixel addresses are
// pointer-sized because a 32-bit value cannot hold one here.
#pragma once

#include <cstdint>

using BOOL = std::int32_t;
using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using LONG = std::int32_t;
using UINT = std::uint32_t;
using LONG_PTR = std::intptr_t;

using HANDLE32 = std::uint32_t;
using HWND = HANDLE32;
using HDC = HANDLE32;
using HGDIOBJ = HANDLE32;
using HBITMAP = HANDLE32;
using HPALETTE = HANDLE32;
using HKEY = HANDLE32;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#define PLATFORM_API __attribute__((visibility("default")))
