// C runtime calls whose Windows behaviour differs from other hosts.
// They behave as the Windows runtime (msvcrt, "C" locale) does on every host.
//
// Bounded formatters follow _vsnprintf / _vsnwprintf: at most count
// characters are written; the terminating NUL is added only when there is
// room for it; the result is the number of characters written, or -1 when
// the text had to be cut (then the buffer holds count characters and no NUL).
//
// Format language (both widths): the Windows one. "I64" is the 64-bit size
// prefix ("ll" works too). In a narrow format %s / %c take narrow text and
// %S / %C wide text; in a wide format %s / %c take wide text and %S / %C
// narrow text. The prefixes h (narrow) and l or w (wide) force the width.
// A null text prints "(null)". %n writes nothing.
#ifndef KQRUNTIME_H
#define KQRUNTIME_H

#include <cstdarg>
#include <cstddef>
#include <cwchar>

int KQ_vsnprintf(char* buffer, size_t count, const char* format, va_list args);
int KQ_snprintf(char* buffer, size_t count, const char* format, ...);
int KQ_vsnwprintf(wchar_t* buffer, size_t count, const wchar_t* format, va_list args);
// Bounded like KQ_vsnwprintf (the count is in wide characters).
int KQ_swprintf(wchar_t* buffer, size_t count, const wchar_t* format, ...);

// Multibyte to wide in the "C" locale: each byte becomes one wide character
// of the same value. Returns the number of wide characters converted (not
// counting the NUL); with a null destination only counts. Never fails.
size_t KQ_mbstowcs(wchar_t* dest, const char* src, size_t count);

// Case mapping of wide characters as in the "C" locale (ASCII letters only).
wint_t KQ_towupper(wint_t c);
wint_t KQ_towlower(wint_t c);

#endif
