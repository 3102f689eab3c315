// Presentation-only operations: building a package from a template
// presentation, renaming a control together with its VML shape, and taking
// the slides out of the slide list. Also the package edits only they use.
#include "KQOpenXMLArchive.h"

#include <cstdint>
#include <cstdlib>

#include "KQOImage.h"

namespace {

KQString Normalised(const KQString& text)
{
    return text.IsEmpty() ? KQString() : text;
}

// The first child node named name, when that node is an element.
TiXmlElement* HandleChild(TiXmlNode* parent, const char* name)
{
    return TiXmlHandle(parent).FirstChild(name).ToElement();
}

// a + b when it stays in the int32 range.
bool AddChecked(int32 a, int32 b, int32* sum)
{
    int64 wide = (int64)a + b;
    if (wide > INT32_MAX || wide < INT32_MIN)
        return false;
    *sum = (int32)wide;
    return true;
}

// The element's text as a number, one higher; false when it has none higher.
bool TextPlus(TiXmlElement* element, int32 add, bool reset, KQString* text)
{
    int32 value = 0;
    if (!reset && !AddChecked(KQXmlElement::GetElementText(element).ToInt(0), add, &value))
        return false;
    text->Format("%d", value);
    return true;
}

// Takes every slide out of the slide list of presentation, with its
// relationship, and then the relationship of every model file that the
// reference list of listHolder names.
void RemoveSlidesAndModelRelationships(KQOpenXMLPresentation& presentation, KQOpenXMLArchive& listHolder)
{
    KQStringArray ids;
    presentation.ListSlideIds(&ids);
    for (int32 i = 0; i < ids.GetCount(); ++i) {
        presentation.RemoveRelationship(presentation.relsPart, ids[i]);
        presentation.RemoveSlideId(ids[i]);
    }
    KQStringArray references;
    listHolder.ListReferenceIds(&references);
    for (int32 i = 0; i < references.GetCount(); ++i)
        presentation.RemoveRelationship(presentation.relsPart, references[i]);
}

}  // namespace

KQSlideContent::~KQSlideContent() {}

KQSlideContentPtrArray::~KQSlideContentPtrArray() {}

bool KQOpenXMLArchive::ListReferenceIds(KQStringArray* out)
{
    if (!out)
        return false;
    out->RemoveAt(0, -1);
    const KQString listEntry = ReferenceListEntry();
    if (FindFile(listEntry) < 0)
        return false;
    KQXmlDocument doc(false);
    if (!ReadPartRoot(listEntry, doc))
        return false;
    for (TiXmlElement* e = HandleChild(doc.RootElement(), "kqfxPath"); e; e = KQXmlElement::NextSibling(e))
        out->Add(AttributeText(e, "rId"));
    return out->GetCount() > 0;
}

void KQOpenXMLArchive::PruneContentTypeOverrides()
{
    KQXmlDocument doc(false);
    if (!ReadXmlFile(KQ_CONTENT_TYPES_PART, &doc))
        return;
    if (TiXmlElement* root = doc.RootElement()) {
        TiXmlElement* e = KQXmlElement::FindChild(root, KQString("Override"));
        while (e) {
            TiXmlElement* next = KQXmlElement::NextSibling(e);
            KQString entry = AttributeText(e, "PartName");
            entry.Replace(KQString("/"), KQString("\\"));
            // Part names begin with "/"; one that does not is taken whole
            // rather than losing its first letter.
            if (entry.FindChar('\\') == 0)
                entry = entry.Mid(1);
            if (!entry.IsEmpty() && FindFile(entry) == -1)
                root->RemoveChild(e);
            e = next;
        }
    }
    WriteXmlFile(KQ_CONTENT_TYPES_PART, &doc, true);
}

bool KQOpenXMLArchive::UpdateAppProperties(const KQString& title, bool reset)
{
    KQXmlDocument doc(false);
    TiXmlElement* root = ReadPartRoot(KQ_APP_PROPERTIES_PART, doc);
    if (!root)
        return false;

    // Every change is made in memory first: nothing is written unless all
    // the counts could be updated.
    if (TiXmlElement* titles = KQXmlElement::FindChild(root, KQString("TitlesOfParts"))) {
        TiXmlElement* vector = KQXmlElement::FirstChild(titles);
        if (!vector)
            return false;
        int32 size = 1;
        if (reset) {
            TiXmlElement* first = KQXmlElement::FirstChild(vector);
            // A size of 1 over an empty vector would be a false count.
            if (!first)
                return false;
            TiXmlElement* e = KQXmlElement::NextSibling(first);
            while (e) {
                TiXmlElement* next = KQXmlElement::NextSibling(e);
                vector->RemoveChild(e);
                e = next;
            }
        } else {
            if (!AddChecked(AttributeText(vector, "size").ToInt(0), 1, &size))
                return false;
            if (!KQXmlElement::AddTextElement(vector, KQString("vt:lpstr"), title))
                return false;
        }
        KQXmlElement::SetAttributeInt(vector, KQString("size"), size);
    }

    TiXmlElement* words = KQXmlElement::FindChild(root, KQString("Words"));
    if (!words)
        return false;
    KQString simplified(title);
    simplified.Simplify();
    KQString text;
    if (!TextPlus(words, simplified.CountWords(), reset, &text))
        return false;
    KQXmlElement::SetElementText(words, text);

    const char* const counted[] = {"Paragraphs", "Slides"};
    for (const char* name : counted) {
        TiXmlElement* element = KQXmlElement::FindChild(root, KQString(name));
        if (!element || !TextPlus(element, 1, reset, &text))
            return false;
        KQXmlElement::SetElementText(element, text);
    }

    TiXmlElement* variant =
        TiXmlHandle(root).FirstChild("HeadingPairs").FirstChild("vt:vector").FirstChild("vt:variant").ToElement();
    if (!variant)
        return false;
    while (variant) {
        TiXmlElement* heading = KQXmlElement::FirstChild(variant);
        if (heading && KQXmlElement::GetElementText(heading).EqualsText("Slide Titles"))
            break;
        variant = KQXmlElement::NextSibling(variant);
    }
    TiXmlElement* countVariant = variant ? KQXmlElement::NextSibling(variant) : nullptr;
    TiXmlElement* count = countVariant ? KQXmlElement::FirstChild(countVariant) : nullptr;
    if (!count || !TextPlus(count, 1, reset, &text))
        return false;
    KQXmlElement::SetElementText(count, text);

    return WriteXmlFile(KQ_APP_PROPERTIES_PART, &doc, true);
}

bool KQOpenXMLPresentation::CollectRelationshipTargets(const KQString& path, int32 kind, KQStringArray* out)
{
    if (!out)
        return false;
    out->RemoveAt(0, -1);
    KQString search;
    switch (kind) {
    case 1:
        search = rootFolder.Equals(KQ_WORD_FOLDER) ? "activeX" : "../activeX";
        break;
    case 2:
        search = "../media/image";
        break;
    case 3:
        search = "tags/tag";
        break;
    case 4:
        search = "drawings/vmlDrawing";
        break;
    default:
        return false;
    }
    KQXmlDocument doc(false);
    if (!ReadPartRoot(path, doc))
        return false;
    for (TiXmlElement* e = HandleChild(doc.RootElement(), "Relationship"); e; e = KQXmlElement::NextSibling(e)) {
        KQString target = AttributeText(e, "Target");
        if (target.Contains(search))
            out->Add(target);
    }
    return out->GetCount() > 0;
}

TiXmlElement* KQOpenXMLPresentation::ReadSlideIdList(KQXmlDocument& doc)
{
    TiXmlElement* root = ReadPartRoot(presentationPart, doc);
    return root ? HandleChild(root, "p:sldIdLst") : nullptr;
}

bool KQOpenXMLPresentation::ListSlideIds(KQStringArray* out)
{
    if (!out)
        return false;
    out->RemoveAt(0, -1);
    KQXmlDocument doc(false);
    TiXmlElement* list = ReadSlideIdList(doc);
    if (!list)
        return false;
    for (TiXmlElement* e = KQXmlElement::FirstChild(list); e; e = KQXmlElement::NextSibling(e))
        out->Add(AttributeText(e, "r:id"));
    return out->GetCount() > 0;
}

bool KQOpenXMLPresentation::RemoveSlideId(const KQString& id)
{
    if (id.IsEmpty())
        return false;
    KQXmlDocument doc(false);
    TiXmlElement* list = ReadSlideIdList(doc);
    if (!list)
        return false;
    TiXmlElement* e = KQXmlElement::FirstChild(list);
    while (e) {
        TiXmlElement* next = KQXmlElement::NextSibling(e);
        if (AttributeText(e, "r:id").Equals(id)) {
            lastRemovedSlideId = KQXmlElement::GetAttributeInt(e, KQString("id"), 255, nullptr);
            list->RemoveChild(e);
        }
        e = next;
    }
    return WriteXmlFile(presentationPart, &doc, true);
}

bool KQOpenXMLPresentation::RenameControl(const KQString& slideName, const KQString& controlId, const KQString& newName)
{
    // The slides always live in the presentation's own folder.
    const KQString slidePath = KQString("ppt\\slides\\") + slideName;
    KQXmlDocument slide(false);
    if (!ReadPartRoot(slidePath, slide))
        return false;
    TiXmlElement* controls = TiXmlHandle(slide.RootElement()).FirstChild("p:cSld").FirstChild("p:controls").ToElement();
    if (!controls)
        return false;

    const KQString wanted = Normalised(controlId);
    for (TiXmlElement* control = KQXmlElement::FindChild(controls, KQString("p:control")); control;
         control = KQXmlElement::NextSibling(control)) {
        if (!AttributeText(control, "r:id").Equals(wanted))
            continue;
        const KQString oldName = AttributeText(control, "name");
        KQXmlElement::SetAttributeString(control, KQString("name"), newName);
        // A control without a name is tied to no shape; renaming every shape
        // without an id would give them all the control's name.
        if (oldName.IsEmpty())
            continue;

        KQStringArray drawings;
        CollectRelationshipTargets(KQString("ppt\\slides\\_rels\\") + slideName + KQString(".rels"), 4, &drawings);
        for (int32 i = 0; i < drawings.GetCount(); ++i) {
            KQString entry(drawings[i]);
            entry.Replace(KQString(".."), rootFolder);
            entry.Replace(KQString("/"), KQString("\\"));
            // A drawing that cannot be read is not replaced by an empty one;
            // the rename stops short, as for one that cannot be written.
            KQXmlDocument drawing(false);
            if (!ReadPartRoot(entry, drawing))
                return false;
            for (TiXmlElement* shape = HandleChild(drawing.RootElement(), "v:shape"); shape;
                 shape = KQXmlElement::NextSibling(shape)) {
                if (AttributeText(shape, "id").Equals(oldName))
                    KQXmlElement::SetAttributeString(shape, KQString("id"), newName);
            }
            if (!WriteXmlFile(entry, &drawing, true))
                return false;
        }
    }
    return WriteXmlFile(slidePath, &slide, true);
}

void KQOpenXMLPresentation::RemoveAllSlides()
{
    RemoveSlidesAndModelRelationships(*this, *this);
    // Reopen does not close first: on the open archive it is refused and
    // records why, and the package stays open with every change in it.
    Reopen();
}

bool KQOpenXMLPresentation::CreateFromTemplate(const KQString& templatePath)
{
    // Every copy below would fail quietly into a package that cannot be
    // written.
    if (IsClosed() || IsReadOnly())
        return false;
    KQOpenXMLPresentation source;
    if (!source.Open(templatePath, 1))
        return false;

    const KQString root = rootFolder;
    const KQString fixedParts[] = {
        KQ_CONTENT_TYPES_PART,
        KQString("_rels\\.rels"),
        root + KQString("\\presentation.xml"),
        root + KQString("\\_rels\\presentation.xml.rels"),
        root + KQString("\\presProps.xml"),
        root + KQString("\\viewProps.xml"),
        root + KQString("\\tableStyles.xml"),
    };
    for (const KQString& part : fixedParts) {
        KQXmlDocument doc(false);
        if (source.ReadXmlFile(part, &doc))
            WriteXmlFile(part, &doc, false);
    }

    const KQString folders[] = {
        KQString("docProps"),
        root + KQString("\\slideLayouts"),
        root + KQString("\\slideMasters"),
        root + KQString("\\theme"),
    };
    for (const KQString& folder : folders) {
        KQStringArray entries;
        if (!source.FindFiles(folder, true, &entries))
            return false;
        for (int32 i = 0; i < entries.GetCount(); ++i) {
            const KQString& name = entries[i];
            // A folder entry, as zip tools store them, is no part.
            if (name.IsEmpty() || name.FindChar('\\', -1, false) == name.GetLength() - 1)
                continue;
            if (name.Contains(KQString(".jpeg"))) {
                KQRGBImage image;
                if (!source.ReadImage(name, &image))
                    return false;
                int32 size = 0;
                ubyte* bytes = source.ReadDataRaw(name, &size);
                if (!bytes)
                    return false;
                WriteDataRaw(name, bytes, (uint32)size);
                free(bytes);
                continue;
            }
            KQXmlDocument doc(false);
            if (!source.ReadXmlFile(name, &doc))
                return false;
            WriteXmlFile(name, &doc, false);
        }
    }

    PruneContentTypeOverrides();
    UpdateAppProperties(KQString(), true);

    // This package has no reference list yet: the template's names the model
    // relationships that came along with its relationships part.
    RemoveSlidesAndModelRelationships(*this, source);
    RemoveRelationship(relsPart, KQString("kqfxReference"));

    source.Close();
    return true;
}
