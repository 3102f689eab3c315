// Basic types shared by every file of the foundation library.
//
// The library is compiled twice from the same sources: with 8-bit characters
// for Corvessa and, when KQ_UNICODE is defined, with wide characters for
// Lintomel. Everything that depends on the width goes through KQChar.
#ifndef KQOTYPES_H
#define KQOTYPES_H

#include <cstddef>
#include <cstdint>

typedef int32_t int32;
typedef uint32_t uint32;
typedef int64_t int64;
typedef uint64_t uint64;
typedef unsigned char ubyte;

#ifdef KQ_UNICODE
typedef wchar_t KQChar;
// Unsigned view of one character, used where characters are compared as
// unsigned values or fed to the hash zero-extended.
typedef wchar_t KQUChar;
#define KQ_TEXT(s) L##s
#else
typedef char KQChar;
typedef unsigned char KQUChar;
#define KQ_TEXT(s) s
#endif

#endif
