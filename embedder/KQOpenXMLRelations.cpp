// Content types and relationships: the two places where a package declares
// its parts. Each operation reads the part, edits the document and writes
// it back whole; within a run the part stays parsed, with what the walks
// below found in it, so an embedding costs the same however many came
// before.
#include "KQOpenXMLArchive.h"

#include <cstdint>

#include "KQOpenXMLRunParts.h"

namespace {

const char* const kKqfxRelationshipType = "http://kqfxRelationship";
const char* const kReferenceId = "kqfxReference";

// An Id that holds the prefix anywhere takes part in the numbering with the
// number after as many characters as the prefix has.
void CountPrefixedId(const KQString& id, const std::string& prefix, std::pair<int32, bool>& found)
{
    if (!id.Contains(KQString(prefix.c_str())))
        return;
    int32 number = id.Mid(static_cast<int32>(prefix.size())).ToInt(0);
    if (number > found.first)
        found.first = number;
    found.second = true;
}

// Takes one Relationship into what a walk of the relationships found: its
// Id by its Target, when it is the first to name that Target, and its Id,
// also in the numbering of every prefix counted so far.
void NoteRelationship(KQOpenXMLRunPart& relations, const KQString& target, const KQString& id)
{
    if (!target.IsEmpty())
        relations.idByTarget.emplace(target.CStr(), id);
    relations.ids.push_back(id);
    for (auto& counted : relations.prefixes)
        CountPrefixedId(id, counted.first, counted.second);
}

// What AddRelationship adds for a file: the kind of relationship its
// extension names.
struct RelationshipKind {
    bool modelFile = false;
    KQString prefix, type, target;
};

// The kind by the file name's extension, the text after its last "." (all
// of it without one) in any case; false for an extension of no kind.
bool ChooseRelationshipKind(const KQString& fileName, RelationshipKind& kind)
{
    int32 dot = fileName.FindChar('.', -1, false);
    KQString extension = dot >= 0 ? fileName.Mid(dot + 1) : fileName;
    extension.MakeUpper();

    if (extension.EqualsText("KQFX") || extension.EqualsText("KQF")) {
        kind.modelFile = true;
        kind.prefix = KQ_KQFX_PREFIX;
        kind.type = kKqfxRelationshipType;
        kind.target = KQString("kqfxFiles/") + fileName;
    } else if (extension.EqualsText("XML")) {
        kind.modelFile = false;
        kind.prefix = "rId";
        kind.type = KQ_SLIDE_RELATIONSHIP_TYPE;
        kind.target = KQString("slides/") + fileName;
    } else {
        return false;
    }
    return true;
}

// The highest number that the walked Ids holding prefix carry, and whether
// any does; counted once per prefix and kept with the walk.
std::pair<int32, bool> PrefixNumbering(KQOpenXMLRunPart& relations, const std::string& prefix)
{
    auto stats = relations.prefixes.find(prefix);
    if (stats == relations.prefixes.end()) {
        std::pair<int32, bool> found(0, false);
        for (const KQString& id : relations.ids)
            CountPrefixedId(id, prefix, found);
        stats = relations.prefixes.emplace(prefix, found).first;
    }
    return stats->second;
}

// Appends a Relationship with its attributes in their order; null when it
// could not be added.
TiXmlElement* AppendRelationship(TiXmlElement* root, const KQString& id, const KQString& type, const KQString& target)
{
    TiXmlElement* relationship = KQXmlElement::AddChildElement(root, KQString("Relationship"), -1, KQString());
    if (!relationship)
        return nullptr;
    KQXmlElement::SetAttributeString(relationship, KQString("Id"), id);
    KQXmlElement::SetAttributeString(relationship, KQString("Type"), type);
    KQXmlElement::SetAttributeString(relationship, KQString("Target"), target);
    return relationship;
}

}  // namespace

void KQOpenXMLArchive::WalkRelationships(KQOpenXMLRunPart& relations)
{
    // The walk starts at the first Relationship and takes every element
    // after it.
    if (relations.relationsKnown)
        return;
    relations.idByTarget.clear();
    relations.ids.clear();
    relations.prefixes.clear();
    for (TiXmlElement* e = KQXmlElement::FindChild(relations.Root(), KQString("Relationship")); e;
         e = KQXmlElement::NextSibling(e)) {
        NoteRelationship(relations, AttributeText(e, "Target"), AttributeText(e, "Id"));
    }
    relations.relationsKnown = true;
}

bool KQOpenXMLArchive::HasContentType(const KQString& attributeName, const KQString& value)
{
    std::shared_ptr<KQOpenXMLRunPart> types = parts.Edit(KQ_CONTENT_TYPES_PART, false);
    if (!types->Root())
        return false;
    // Present stays present until an element is removed.
    const std::pair<std::string, std::string> key(attributeName.CStr(), value.CStr());
    if (types->presentTypes.count(key))
        return true;
    for (TiXmlElement* e = KQXmlElement::FirstChild(types->Root()); e; e = KQXmlElement::NextSibling(e)) {
        KQString found = AttributeText(e, attributeName.CStr());
        if (!found.IsEmpty() && found.Equals(value)) {
            types->presentTypes.insert(key);
            return true;
        }
    }
    return false;
}

bool KQOpenXMLArchive::AddContentType(const KQString& value, int kind)
{
    const char* elementName = "Override";
    const char* keyAttribute = "PartName";
    KQString contentType;
    switch (kind) {
    case 1:
        contentType = slideContentType;
        break;
    case 2:
        contentType = KQ_ACTIVEX_CONTENT_TYPE;
        break;
    case 3:
        contentType = tagsContentType;
        break;
    case 4: {
        elementName = "Default";
        keyAttribute = "Extension";
        KQString lower(value);
        lower.MakeLower();
        if (lower.EqualsText("kqfx"))
            contentType = rootFolder + KQString("/kqfxFiles/") + value;
        else if (lower.EqualsText("jpg") || lower.EqualsText("jpeg"))
            contentType = KQString("image/") + value;
        else if (lower.EqualsText("avi"))
            contentType = KQString("video/") + value;
        break;
    }
    default:
        return false;
    }
    // An entry without a content type would make the whole part invalid:
    // an extension of no known kind, or a package kind that has no such
    // parts, declares nothing.
    if (contentType.IsEmpty())
        return false;

    std::shared_ptr<KQOpenXMLRunPart> types = parts.Edit(KQ_CONTENT_TYPES_PART, false);
    if (!types->Root())
        return false;
    TiXmlElement* root = types->Root();

    KQString key(value);
    key.ReplaceChar('\\', '/');
    if (HasContentType(KQString(keyAttribute), key))
        return true;

    TiXmlElement* entry = KQXmlElement::AddChildElement(root, KQString(elementName), -1, KQString());
    if (!entry)
        return false;
    KQXmlElement::SetAttributeString(entry, KQString(keyAttribute), key);
    KQXmlElement::SetAttributeString(entry, KQString("ContentType"), contentType);
    return parts.Write(KQ_CONTENT_TYPES_PART, types);
}

KQString KQOpenXMLArchive::AddRelationship(const KQString& fileName)
{
    RelationshipKind kind;
    if (!ChooseRelationshipKind(fileName, kind))
        return KQString();

    std::shared_ptr<KQOpenXMLRunPart> relations = parts.Edit(relsPart, false);
    if (!relations->Root())
        return KQString();
    TiXmlElement* root = relations->Root();

    // A run walks once and remembers what the walk found.
    WalkRelationships(*relations);
    // The first Relationship that names the file already is its own.
    auto existing = relations->idByTarget.find(kind.target.CStr());
    if (existing != relations->idByTarget.end())
        return existing->second;

    const std::pair<int32, bool> stats = PrefixNumbering(*relations, std::string(kind.prefix.CStr()));
    const int32 highest = stats.first;
    const bool referencePresent = stats.second;
    // An Id holding the largest number leaves no successor to hand out.
    if (highest == INT32_MAX)
        return KQString();

    TiXmlElement* reference = nullptr;
    if (kind.modelFile && !referencePresent) {
        reference = AppendRelationship(root, KQString(kReferenceId), KQString(kKqfxRelationshipType),
                                       KQString(kReferenceTarget));
        if (!reference)
            return KQString();
    }

    KQString newId = kind.prefix.ConcatInt(highest + 1);
    TiXmlElement* relationship = AppendRelationship(root, newId, kind.type, kind.target);
    if (!relationship) {
        // The document must stay what the archive holds.
        if (reference)
            parts.Remove(*relations, reference);
        return KQString();
    }
    // What the walk would find in the two new elements.
    for (TiXmlElement* e : {reference, relationship}) {
        if (e)
            NoteRelationship(*relations, AttributeText(e, "Target"), AttributeText(e, "Id"));
    }
    if (!parts.Write(relsPart, relations))
        return KQString();
    return newId;
}

bool KQOpenXMLArchive::RemoveRelationship(const KQString& partName, const KQString& id)
{
    std::shared_ptr<KQOpenXMLRunPart> relations = parts.Edit(partName, false);
    if (!relations->Root())
        return false;
    TiXmlElement* root = relations->Root();
    for (TiXmlElement* e = KQXmlElement::FindChild(root, KQString("Relationship")); e;
         e = KQXmlElement::NextSibling(e)) {
        KQString existing = AttributeText(e, "Id");
        if (!existing.IsEmpty() && existing.Equals(id)) {
            parts.Remove(*relations, e);
            break;
        }
    }
    return parts.Write(partName, relations);
}

bool KQOpenXMLArchive::RemoveRelationshipsTo(const KQString& partName, const KQString& target)
{
    std::shared_ptr<KQOpenXMLRunPart> relations = parts.Edit(partName, false);
    if (!relations->Root())
        return false;
    TiXmlElement* root = relations->Root();
    // Part names are compared without regard to case in a package, so a
    // Target in another case still names the removed part.
    bool removed = false;
    TiXmlElement* e = KQXmlElement::FindChild(root, KQString("Relationship"));
    while (e) {
        TiXmlElement* next = KQXmlElement::NextSibling(e);
        KQString existing = AttributeText(e, "Target");
        if (!existing.IsEmpty() && existing.CompareNoCase(target) == 0) {
            parts.Remove(*relations, e);
            removed = true;
        }
        e = next;
    }
    if (!removed)
        return true;
    return parts.Write(partName, relations);
}
