// C runtime calls whose Windows behaviour differs from other hosts.
// They behave as the Windows runtime does on every host.
#ifndef KQRUNTIME_H
#define KQRUNTIME_H

#include <cstdarg>
#include <cstddef>
#include <cwchar>

#endif
