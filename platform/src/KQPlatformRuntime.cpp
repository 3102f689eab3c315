// Runtime wrappers with Windows semantics.
#include "KQPlatform.h"
