// UTF-8 code-page conversions and the CRT wide-string functions over 16-bit
// WCHAR (char16_t here), so that system code calls the same names as on
// Windows CE. Linux host layer only.
//
// Conversion behaviour (CP_UTF8 is the only code page the host knows):
// - A source count of -1 means "up to and including the terminating NUL";
//   the result then counts the terminator too.
// - An output size of 0 asks for the size needed and writes nothing.
// - Malformed input (bad UTF-8 sequences, lone surrogates in UTF-16): with
//   flags 0 each malformed part becomes U+FFFD, as on desktop Win32; with
//   MB_ERR_INVALID_CHARS / WC_ERR_INVALID_CHARS the call fails with 0 and
//   ERROR_NO_UNICODE_TRANSLATION.
// - Output too small: 0 and ERROR_INSUFFICIENT_BUFFER (the output may hold
//   a partial result).
// - Bad arguments (unknown code page, null source, source count 0, negative
//   output size, default character given for CP_UTF8): 0 and
//   ERROR_INVALID_PARAMETER.
//
// Case mapping of towlower/towupper and the case-insensitive functions
// covers ASCII and Latin-1 (U+00C0-U+00DE <-> U+00E0-U+00FE, without the
// multiplication and division signs, and U+00FF <-> U+0178); every other
// code unit maps to itself.
#pragma once

#ifdef _WIN32
#error "wince/widestr.h is the Linux host layer; use the Windows headers"
#endif

#include <cstddef>

#include "wince/types.h"

#define CP_ACP 0
#define CP_UTF8 65001u
#define MB_ERR_INVALID_CHARS 0x00000008u
#define WC_ERR_INVALID_CHARS 0x00000080u

int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR multiByte, int multiByteCount,
                        LPWSTR wide, int wideCount);
int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wide, int wideCount, LPSTR multiByte,
                        int multiByteCount, LPCSTR defaultChar, LPBOOL usedDefaultChar);

// Comparisons treat code units as unsigned 16-bit values, as on Windows.
std::size_t wcslen(const WCHAR* s);
int wcscmp(const WCHAR* a, const WCHAR* b);
int wcsncmp(const WCHAR* a, const WCHAR* b, std::size_t n);
int _wcsicmp(const WCHAR* a, const WCHAR* b);
int _wcsnicmp(const WCHAR* a, const WCHAR* b, std::size_t n);
WCHAR* _wcslwr(WCHAR* s);
WCHAR* _wcsupr(WCHAR* s);
const WCHAR* wcschr(const WCHAR* s, WCHAR c);
WCHAR* wcschr(WCHAR* s, WCHAR c);
const WCHAR* wcsrchr(const WCHAR* s, WCHAR c);
WCHAR* wcsrchr(WCHAR* s, WCHAR c);
const WCHAR* wcsstr(const WCHAR* haystack, const WCHAR* needle);
WCHAR* wcsstr(WCHAR* haystack, const WCHAR* needle);
WCHAR* wcscpy(WCHAR* dest, const WCHAR* src);
WCHAR* wcsncpy(WCHAR* dest, const WCHAR* src, std::size_t n);
WCHAR* wcscat(WCHAR* dest, const WCHAR* src);
WCHAR towlower(WCHAR c);
WCHAR towupper(WCHAR c);
