// Content types and relationships: the two places where a package declares
// its parts. Each operation reads the part, edits the document and writes
// it back whole.
#include "KQOpenXMLArchive.h"

#include <cstdint>

namespace {

const char* const kKqfxRelationshipType = "http://kqfxRelationship";
const char* const kReferenceId = "kqfxReference";

}  // namespace

bool KQOpenXMLArchive::HasContentType(const KQString& attributeName, const KQString& value)
{
    KQXmlDocument doc(false);
    TiXmlElement* root = ReadPartRoot(KQ_CONTENT_TYPES_PART, doc);
    if (!root)
        return false;
    for (TiXmlElement* e = KQXmlElement::FirstChild(root); e; e = KQXmlElement::NextSibling(e)) {
        KQString found = AttributeText(e, attributeName.CStr());
        if (!found.IsEmpty() && found.Equals(value))
            return true;
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

    KQXmlDocument doc(false);
    TiXmlElement* root = ReadPartRoot(KQ_CONTENT_TYPES_PART, doc);
    if (!root)
        return false;

    KQString key(value);
    key.ReplaceChar('\\', '/');
    if (HasContentType(KQString(keyAttribute), key))
        return true;

    TiXmlElement* entry = KQXmlElement::AddChildElement(root, KQString(elementName), -1, KQString());
    if (!entry)
        return false;
    KQXmlElement::SetAttributeString(entry, KQString(keyAttribute), key);
    KQXmlElement::SetAttributeString(entry, KQString("ContentType"), contentType);
    return WriteXmlFile(KQ_CONTENT_TYPES_PART, &doc, true);
}

KQString KQOpenXMLArchive::AddRelationship(const KQString& fileName)
{
    int32 dot = fileName.FindChar('.', -1, false);
    KQString extension = dot >= 0 ? fileName.Mid(dot + 1) : fileName;
    extension.MakeUpper();

    bool modelFile;
    KQString prefix, type, target;
    if (extension.EqualsText("KQFX") || extension.EqualsText("KQF")) {
        modelFile = true;
        prefix = KQ_KQFX_PREFIX;
        type = kKqfxRelationshipType;
        target = KQString("kqfxFiles/") + fileName;
    } else if (extension.EqualsText("XML")) {
        modelFile = false;
        prefix = "rId";
        type = KQ_SLIDE_RELATIONSHIP_TYPE;
        target = KQString("slides/") + fileName;
    } else {
        return KQString();
    }

    KQXmlDocument doc(false);
    TiXmlElement* root = ReadPartRoot(relsPart, doc);
    if (!root)
        return KQString();

    int32 highest = 0;
    bool referencePresent = false;
    const int32 prefixLength = prefix.GetLength();
    for (TiXmlElement* e = KQXmlElement::FindChild(root, KQString("Relationship")); e; e = KQXmlElement::NextSibling(e)) {
        KQString existingTarget = AttributeText(e, "Target");
        KQString id = AttributeText(e, "Id");
        if (!existingTarget.IsEmpty() && existingTarget.Equals(target))
            return id;
        if (id.Contains(prefix)) {
            int32 number = id.Mid(prefixLength).ToInt(0);
            if (number > highest)
                highest = number;
            referencePresent = true;
        }
    }

    if (modelFile && !referencePresent) {
        TiXmlElement* reference = KQXmlElement::AddChildElement(root, KQString("Relationship"), -1, KQString());
        if (!reference)
            return KQString();
        KQXmlElement::SetAttributeString(reference, KQString("Id"), KQString(kReferenceId));
        KQXmlElement::SetAttributeString(reference, KQString("Type"), KQString(kKqfxRelationshipType));
        KQXmlElement::SetAttributeString(reference, KQString("Target"), KQString(kReferenceTarget));
    }

    // An Id holding the largest number leaves no successor to hand out.
    if (highest == INT32_MAX)
        return KQString();
    KQString newId = prefix.ConcatInt(highest + 1);
    TiXmlElement* relationship = KQXmlElement::AddChildElement(root, KQString("Relationship"), -1, KQString());
    if (!relationship)
        return KQString();
    KQXmlElement::SetAttributeString(relationship, KQString("Id"), newId);
    KQXmlElement::SetAttributeString(relationship, KQString("Type"), type);
    KQXmlElement::SetAttributeString(relationship, KQString("Target"), target);
    if (!WriteXmlFile(relsPart, &doc, true))
        return KQString();
    return newId;
}

bool KQOpenXMLArchive::RemoveRelationship(const KQString& partName, const KQString& id)
{
    KQXmlDocument doc(false);
    TiXmlElement* root = ReadPartRoot(partName, doc);
    if (!root)
        return false;
    for (TiXmlElement* e = KQXmlElement::FindChild(root, KQString("Relationship")); e; e = KQXmlElement::NextSibling(e)) {
        KQString existing = AttributeText(e, "Id");
        if (!existing.IsEmpty() && existing.Equals(id)) {
            root->RemoveChild(e);
            break;
        }
    }
    return WriteXmlFile(partName, &doc, true);
}

bool KQOpenXMLArchive::RemoveRelationshipsTo(const KQString& partName, const KQString& target)
{
    KQXmlDocument doc(false);
    TiXmlElement* root = ReadPartRoot(partName, doc);
    if (!root)
        return false;
    // Part names are compared without regard to case in a package, so a
    // Target in another case still names the removed part.
    bool removed = false;
    TiXmlElement* e = KQXmlElement::FindChild(root, KQString("Relationship"));
    while (e) {
        TiXmlElement* next = KQXmlElement::NextSibling(e);
        KQString existing = AttributeText(e, "Target");
        if (!existing.IsEmpty() && existing.CompareNoCase(target) == 0) {
            root->RemoveChild(e);
            removed = true;
        }
        e = next;
    }
    if (!removed)
        return true;
    return WriteXmlFile(partName, &doc, true);
}
