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
// library is registered for (32-bit Windows on every host).
inline HRESULT KQHResultFromSystemError(DWORD code) { return HRESULT_FROM_WIN32(code); }
const SYSKIND KQ_TYPELIB_SYSKIND = SYS_WIN32;

#endif
