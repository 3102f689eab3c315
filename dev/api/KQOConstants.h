// Constants of the library's shared vocabulary.
//
// The markers below have internal linkage on purpose: every source file that
// includes this header carries its own copy, built by its own static
// initialiser, so no file depends on another file's initialisation order.
#ifndef KQOCONSTANTS_H
#define KQOCONSTANTS_H

#include "KQOObject.h"
#include "KQOString.h"
#include "KQOTypes.h"

// "Undefined" position or size.
static const KQIntPair KQ_NOT_SET_PAIR(-1, -1);

// "Undefined" matrix: every element the largest finite 32-bit float
// (bit pattern 0x7F7FFFFF).
static const KQMatrix4x4 KQ_NOT_SET_MATRIX(3.4028235e38f);

// Base of the shared-header identifiers; each identifier is defined once, by
// the source file that owns it.
static const int32 KQ_HEADER_ID_BASE = 0;
extern const int32 KQ_HEADER_ID_101;
extern const int32 KQ_HEADER_ID_102;
extern const int32 KQ_HEADER_ID_103;
extern const int32 KQ_HEADER_ID_199;

// printf format for numbers shown to the user.
extern const KQString KQ_NUMBER_FORMAT;

#endif
