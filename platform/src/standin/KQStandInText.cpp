// Code-page conversions of the stand-in.
#include "KQPlatform.h"
