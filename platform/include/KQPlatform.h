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
#else
#include "KQWinStandIn.h"
#endif

#include "KQRuntime.h"

#endif
