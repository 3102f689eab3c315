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

#endif
