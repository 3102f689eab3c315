// Host interface of the library: the Windows names the code calls.
// On Windows this is the real thing; on other hosts the stand-in.
#ifndef KQPLATFORM_H
#define KQPLATFORM_H

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// Lean windows.h leaves out COM, which the stand-in has (KQStandInCom.h);
// the shell interfaces come with KQCom.h.
#include <ole2.h>
// Runtime names the stand-in provides on other hosts (_access, _wfopen,
// _fseeki64, _filelengthi64 ...).
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <io.h>
// Left-overs of 16-bit Windows and of the IDL base types: macros named like
// ordinary words (a variable called far, near or small would vanish or turn
// into char). FAR and NEAR stay defined as the empty qualifiers they are,
// so the system headers included after this one (KQCom.h) still compile.
#undef far
#undef near
#undef FAR
#undef NEAR
#define FAR
#define NEAR
#undef small
#else
#include "KQWinStandIn.h"
#endif

#include "KQRuntime.h"

#endif
