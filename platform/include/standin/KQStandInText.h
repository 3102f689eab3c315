// Code-page conversions of the stand-in: the ANSI code page (taken to be
// Windows-1252) and UTF-8, to and from the platform's wide characters. On
// this host wchar_t is 32-bit and holds code points, not UTF-16 units.
#ifndef KQSTANDINTEXT_H
#define KQSTANDINTEXT_H

#include "KQStandInBase.h"

typedef const CHAR* LPCCH;
typedef const WCHAR* LPCWCH;

#define CP_ACP 0
#define CP_UTF8 65001

#define MB_PRECOMPOSED 0x00000001
#define MB_ERR_INVALID_CHARS 0x00000008
#define WC_ERR_INVALID_CHARS 0x00000080
// The stand-in's code page has no best-fit mapping: a character it lacks
// always becomes the default character, with or without this flag.
#define WC_NO_BEST_FIT_CHARS 0x00000400

#ifndef ERROR_INVALID_PARAMETER
#define ERROR_INVALID_PARAMETER 87L
#endif
#ifndef ERROR_INSUFFICIENT_BUFFER
#define ERROR_INSUFFICIENT_BUFFER 122L
#endif
#ifndef ERROR_INVALID_FLAGS
#define ERROR_INVALID_FLAGS 1004L
#endif
#ifndef ERROR_NO_UNICODE_TRANSLATION
#define ERROR_NO_UNICODE_TRANSLATION 1113L
#endif

// Source lengths of -1 mean NUL-terminated, the terminator included in the
// conversion and in the count. A destination size of 0 asks for the size
// needed. A destination too small gets what fits, the result is 0 and the
// last error ERROR_INSUFFICIENT_BUFFER. Invalid UTF-8 becomes U+FFFD unless
// MB_ERR_INVALID_CHARS is given.
int WINAPI MultiByteToWideChar(UINT codePage, DWORD flags, LPCCH multiByte, int multiByteCount, LPWSTR wide,
                               int wideCount);
int WINAPI WideCharToMultiByte(UINT codePage, DWORD flags, LPCWCH wide, int wideCount, LPSTR multiByte,
                               int multiByteCount, LPCCH defaultChar, LPBOOL usedDefaultChar);

DWORD GetLastError();
void SetLastError(DWORD error);

#endif
