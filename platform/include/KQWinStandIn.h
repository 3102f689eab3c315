// Stand-in for the Windows interfaces on hosts that are not Windows. Each
// area has a header of its own under standin/.
#ifndef KQWINSTANDIN_H
#define KQWINSTANDIN_H

#include "standin/KQStandInBase.h"
#include "standin/KQStandInGdi.h"
#include "standin/KQStandInConsole.h"
#include "standin/KQStandInFile.h"
#include "standin/KQStandInUser.h"
#include "standin/KQStandInText.h"
#include "standin/KQStandInCom.h"
#include "standin/KQStandInRegistry.h"

#endif
