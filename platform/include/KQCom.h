// COM and shell interfaces of the host: the system's on Windows, the
// stand-in elsewhere (already part of KQPlatform.h there).
#ifndef KQCOM_H
#define KQCOM_H

#include "KQPlatform.h"

#ifdef _WIN32
#include <objbase.h>
#include <oleauto.h>
#include <olectl.h>
#include <shobjidl.h>
#endif

// The HRESULT of a system error code, and the kind of system the type
// library is registered for: the DLL's own width (32-bit Windows on every
// host but a 64-bit Windows build).
inline HRESULT KQHResultFromSystemError(DWORD code)
{
    return HRESULT_FROM_WIN32(code);
}
#ifdef _WIN64
const SYSKIND KQ_TYPELIB_SYSKIND = SYS_WIN64;
#else
const SYSKIND KQ_TYPELIB_SYSKIND = SYS_WIN32;
#endif

#endif
