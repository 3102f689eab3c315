// Identifiers of Lintomel's COM class and type library.
#ifndef KQTHUMBIDS_H
#define KQTHUMBIDS_H

#include "KQCom.h"

extern const CLSID CLSID_kqfxThumbExtractor;
extern const GUID LIBID_KqfxThumbFORMATLib;
extern const IID IID_IkqfxThumbExtractor;

// Resource ids of the registry script and the type library.
#define KQ_IDR_KQFXTHUMBEXTRACTOR 2000
#define KQ_IDR_TYPELIB 1

#endif
