// The catalogue of the viewer's programming-interface properties: one record
// per property with its id, name, value type, default and help text.
#ifndef KQOAPIPROPERTIES_H
#define KQOAPIPROPERTIES_H

#include "KQOMaterial.h"
#include "KQOObject.h"
#include "KQOString.h"
#include "KQOTemplateArray.h"
#include "KQOTypes.h"

// One property. The type is derived from the name's second "_" token:
// 1 PI integer, 2 PF float, 3 PB boolean, 4 PV vector, 5 PM matrix, 6 PS text,
// 7 PC colour, 8 PR result id(s), 9 PP/PN/PG pointer, 11 PT colour with
// alpha, 12 PA integer tuple, 0 anything else.
class KQAPIProperty {
public:
    KQAPIProperty();
    ~KQAPIProperty();

    KQAPIProperty(const KQAPIProperty&) = delete;
    KQAPIProperty& operator=(const KQAPIProperty&) = delete;

    int32 id;
    int32 type;
    KQString name;
    KQString defaultValue;  // display text only, never parsed
    KQString description;   // may hold "<br>" as a line break
    uint32 nameHash;        // KQHashString(name)
};

class KQAPIProperties : public KQObject {
public:
    KQAPIProperties();
    ~KQAPIProperties() override;

    // The records in catalogue order; the catalogue owns them.
    KQOArray<KQAPIProperty*, KQAPIProperty*> records;

protected:
    void AddAllProperties();
    void AddProperty(int32 id, int32 type, KQString name, KQString defaultValue, KQString description);
    void ResolveTypes();
};

// The process-wide catalogue, built before the entry point runs and
// destroyed at exit.
extern KQAPIProperties KQ_API_PROPERTIES;

// The rows the catalogue is built from, in catalogue order.
struct KQAPIPropertyRow {
    int32 id;
    const KQChar* name;
    const KQChar* defaultValue;
    const KQChar* description;
};
extern const KQAPIPropertyRow KQ_API_PROPERTY_ROWS[];
extern const int32 KQ_API_PROPERTY_ROW_COUNT;

// Nothing in either deliverable refers to the catalogue or to the material
// constants, and a static library contributes only the objects a program
// refers to. Each deliverable writes KQ_LINK_STATIC_TABLES(); once, at
// namespace scope, in one of its own sources: the anchor it defines keeps
// both objects, and so their static initialisers, in the binary.
#define KQ_LINK_STATIC_TABLES()                                                                                        \
    extern const void* const KQStaticTablesAnchor[2];                                                                  \
    const void* const KQStaticTablesAnchor[2] = {&KQ_API_PROPERTIES, &KQ_MATERIAL_DEFAULT}

#endif
