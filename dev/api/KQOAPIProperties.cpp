#include "KQOAPIProperties.h"

#include <new>

KQAPIProperty::KQAPIProperty() : id(0), type(0), nameHash(0) {}

KQAPIProperty::~KQAPIProperty() {}

KQAPIProperties::KQAPIProperties()
{
    SetClassName("KQAPIProperties");
    AddAllProperties();
    ResolveTypes();
}

KQAPIProperties::~KQAPIProperties()
{
    for (int32 i = 0; i < records.count; ++i) {
        if (records.data[i] != nullptr) {
            delete records.data[i];
            records.data[i] = nullptr;
        }
    }
    // Releases the block and leaves the array empty, so that the array's own
    // destructor has nothing left to free.
    records.SetSize(0);
}

void KQAPIProperties::AddAllProperties()
{
    for (int32 i = 0; i < KQ_API_PROPERTY_ROW_COUNT; ++i) {
        const KQAPIPropertyRow& row = KQ_API_PROPERTY_ROWS[i];
        AddProperty(row.id, 0, row.name, row.defaultValue, row.description);
    }
}

void KQAPIProperties::AddProperty(int32 id, int32 type, KQString name, KQString defaultValue, KQString description)
{
    // Nothing is reported from here: the catalogue is built before anything
    // could show a report, and a record that cannot be had is simply missing.
    KQAPIProperty* property = new (std::nothrow) KQAPIProperty;
    if (property == nullptr)
        return;
    property->id = id;
    property->type = type;
    property->name.AssignString(name);
    property->defaultValue.AssignString(defaultValue);
    property->description.AssignString(description);
    if (!records.SetAtGrow(records.count, property))
        delete property;
}

namespace {

struct TypeToken {
    const KQChar* token;
    int32 code;
};

const TypeToken typeTokens[] = {
    {KQ_TEXT("PI"), 1}, {KQ_TEXT("PF"), 2},  {KQ_TEXT("PB"), 3},  {KQ_TEXT("PV"), 4}, {KQ_TEXT("PM"), 5},
    {KQ_TEXT("PS"), 6}, {KQ_TEXT("PC"), 7},  {KQ_TEXT("PR"), 8},  {KQ_TEXT("PP"), 9}, {KQ_TEXT("PN"), 9},
    {KQ_TEXT("PG"), 9}, {KQ_TEXT("PT"), 11}, {KQ_TEXT("PA"), 12},
};

}  // namespace

void KQAPIProperties::ResolveTypes()
{
    for (int32 i = 0; i < records.count; ++i) {
        KQAPIProperty* property = records.data[i];
        if (property == nullptr)
            continue;
        // Only the second token decides; the first ("KQ") is not looked at.
        property->name.FirstToken(KQ_TEXT('_'));
        KQString token = property->name.NextToken(KQ_TEXT('_'));
        property->type = 0;
        for (const TypeToken& t : typeTokens) {
            if (token.EqualsText(t.token)) {
                property->type = t.code;
                break;
            }
        }
        property->nameHash = KQHashString(property->name);
    }
}

KQAPIProperties KQ_API_PROPERTIES;
