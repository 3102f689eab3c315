// Stand-in for the Windows interfaces on hosts that are not Windows. Each
// area has a header of its own under standin/.
#ifndef KQWINSTANDIN_H
#define KQWINSTANDIN_H

#include "standin/KQStandInBase.h"

#endif
