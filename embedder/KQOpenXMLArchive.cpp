// Package classes, the embedder's shared texts and the viewer controls'
// FileURL property.
#include "KQOpenXMLArchive.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "KQAnsiText.h"
#include "KQOpenXMLRunParts.h"

// Built in this order before the entry point runs; the template is made of
// the two texts above it.
const KQString KQ_EMBEDDED_TAG("%embedded%");
const KQString KQ_EMBEDDED_PREFIX("Embedded[");
const KQString KQ_EMBEDDED_URL_TEMPLATE(KQ_EMBEDDED_PREFIX + KQ_EMBEDDED_TAG + KQString("]"));
const KQString KQ_KQFX_PREFIX("kqfx");
const KQString KQ_CONTENT_TYPES_PART("[Content_Types].xml");
const KQString KQ_APP_PROPERTIES_PART("docProps\\app.xml");
const KQString KQ_SLIDE_RELATIONSHIP_TYPE("http://schemas.openxmlformats.org/officeDocument/2006/relationships/slide");
const KQString KQ_ACTIVEX_CONTENT_TYPE("application/vnd.ms-office.activeX+xml");
const KQString KQ_WORD_FOLDER("word");
const KQString KQ_PPT_FOLDER("ppt");

namespace {

// Class id of the viewer's ActiveX control, compared byte for byte.
const char* const kViewerClassId = "{5C2E9A41-7B3D-4F08-9E6A-2D71C0B4F853}";

}  // namespace

const char* const KQOpenXMLArchive::kReferenceTarget = "kqfxFiles/kqfxReferenceIds.xml";

KQOpenXMLArchive::KQOpenXMLArchive() : parts(*this) {}

KQOpenXMLArchive::~KQOpenXMLArchive() {}

bool KQOpenXMLArchive::CreateFromTemplate(const KQString& templatePath)
{
    (void)templatePath;
    return true;
}

bool KQOpenXMLArchive::RenameControl(const KQString& slideName, const KQString& controlId, const KQString& newName)
{
    (void)slideName;
    (void)controlId;
    (void)newName;
    return false;
}

void KQOpenXMLArchive::RemoveAllSlides() {}

KQOpenXMLPresentation::KQOpenXMLPresentation()
    : presentationPart("ppt\\presentation.xml"), lastRemovedSlideId(255),
      slideContents(new (std::nothrow) KQSlideContentPtrArray)
{
    slideContentType = "application/vnd.openxmlformats-officedocument.presentationml.slide+xml";
    tagsContentType = "application/vnd.openxmlformats-officedocument.presentationml.tags+xml";
    relsPart = "ppt\\_rels\\presentation.xml.rels";
    kqfxFolder = "ppt\\kqfxFiles\\";
    rootFolder = KQ_PPT_FOLDER;
    mediaFolder = "ppt\\media\\";
}

KQOpenXMLPresentation::~KQOpenXMLPresentation()
{
    delete slideContents;
}

KQOpenXMLWordArchive::KQOpenXMLWordArchive()
{
    relsPart = "word\\_rels\\document.xml.rels";
    kqfxFolder = "word\\kqfxFiles\\";
    rootFolder = KQ_WORD_FOLDER;
    mediaFolder = "word\\media\\";
}

KQOpenXMLWordArchive::~KQOpenXMLWordArchive() {}

KQString KQOpenXMLArchive::AttributeText(const TiXmlElement* element, const char* name)
{
    // A null default: every missing value compares equal to every other, and
    // an empty value sorts first in the URL list.
    return KQXmlElement::GetAttributeString(element, KQString(name), KQString(), nullptr);
}

TiXmlElement* KQOpenXMLArchive::ReadPartRoot(const KQString& part, KQXmlDocument& doc)
{
    return parts.Read(part, doc) ? doc.RootElement() : nullptr;
}

KQString KQOpenXMLArchive::ReferenceListEntry() const
{
    return kqfxFolder + KQString("kqfxReferenceIds.xml");
}

TiXmlElement* KQOpenXMLArchive::FileURLProperty(TiXmlElement* root)
{
    for (TiXmlElement* p = KQXmlElement::FindChild(root, KQString("ax:ocxPr")); p; p = KQXmlElement::NextSibling(p)) {
        if (AttributeText(p, "ax:name").EqualsText("FileURL"))
            return p;
    }
    return nullptr;
}

KQString KQOpenXMLArchive::FileURLText(const TiXmlElement* property, bool* exact)
{
    if (exact)
        *exact = true;
    // The value whole: a character reference can put a NUL inside it, and
    // cut there it would name another file.
    const std::string* written = property ? property->Attribute(std::string("ax:value")) : nullptr;
    if (!written)
        return KQString();
    std::string held;
    KQString value;
    if (KQUtf8ToAnsiExactly(*written, &held)) {
        value = KQString(held.c_str());
    } else {
        // The code page holds only a look-alike of it, if anything.
        if (exact)
            *exact = false;
        value = KQString(KQUtf8ShownInAnsi(*written).c_str());
    }
    return value.IsBlank() ? KQString() : value;
}

namespace {

// Whether entry ends in suffix (given in lower case), without regard to case.
bool EndsWithText(const KQString& entry, const char* suffix)
{
    KQString lower(entry);
    lower.MakeLower();
    const int32 n = lower.GetLength();
    const int32 k = static_cast<int32>(strlen(suffix));
    return n >= k && lower.Mid(n - k).EqualsText(suffix);
}

// Only parts named as XML are expected to be XML; the controls' .bin parts
// are binary.
bool NamedAsXml(const KQString& entry)
{
    return EndsWithText(entry, ".xml") || EndsWithText(entry, ".rels");
}

// The controls' own parts are named so; their relationship parts are not
// controls.
bool NamedAsControl(const KQString& entry)
{
    return EndsWithText(entry, ".xml");
}

}  // namespace

bool KQOpenXMLArchive::ReadViewerControl(const KQString& entry, KQXmlDocument& doc, KQString* why)
{
    // The controls' binary .bin parts and anything else that is not XML are
    // simply not controls, and not worth an error report; a part named as
    // XML that does not parse is.
    bool read = false;
    if (NamedAsXml(entry)) {
        read = parts.Read(entry, doc, why);
    } else {
        const bool reporting = KQGetErrorReporting();
        KQSetErrorReporting(false);
        read = parts.Read(entry, doc);
        KQSetErrorReporting(reporting);
    }
    if (!read)
        return false;
    return AttributeText(doc.RootElement(), "ax:classid").EqualsText(kViewerClassId);
}

bool KQOpenXMLArchive::ListControls(KQOpenXMLControls& controls)
{
    if (controls.listed)
        return true;
    KQStringArray entries;
    if (!FindFiles(rootFolder + KQString("\\activeX"), true, &entries))
        return false;
    for (int32 i = 0; i < entries.GetCount(); ++i) {
        KQOpenXMLControls::Control control;
        control.entry = entries[i];
        control.doc.reset(new (std::nothrow) KQXmlDocument(false));
        KQString why;
        if (!control.doc || !ReadViewerControl(entries[i], *control.doc, &why)) {
            // It may be the viewer's control: what it names is neither
            // embedded nor known to be referenced.
            if (!why.IsEmpty() && NamedAsControl(entries[i])) {
                controls.unread.push_back(entries[i]);
                parts.NoteUnread(entries[i], why);
            }
            continue;
        }
        control.property = FileURLProperty(control.doc->RootElement());
        if (!control.property)
            continue;
        bool exact = true;
        const KQString value = FileURLText(control.property, &exact);
        if (!exact)
            controls.inexact.insert(value.CStr());
        controls.byValue[value.CStr()].push_back(controls.controls.size());
        controls.controls.push_back(control);
    }
    controls.listed = true;
    return true;
}

bool KQOpenXMLArchive::HoldsFileURLExactly(const KQString& fileURL)
{
    // Controls whose texts differ may share the look-alike value; it then
    // stands for none of them, and no file is looked up under it.
    KQOpenXMLControls& controls = parts.Controls();
    return !ListControls(controls) || controls.inexact.count(fileURL.CStr()) == 0;
}

int32 KQOpenXMLArchive::CollectViewerFileURLs(KQStringArray& urls, bool embedded)
{
    KQOpenXMLControls& controls = parts.Controls();
    if (!ListControls(controls))
        return 0;

    // Values new to urls, each once; urls itself is searched sorted.
    std::set<std::string> seen;
    KQStringArray found;
    urls.Sort(true);
    for (const KQOpenXMLControls::Control& control : controls.controls) {
        KQString value = FileURLText(control.property);
        KQString id;
        if (EmbeddedId(value, &id) != embedded)
            continue;
        if (embedded)
            value = id;
        if (urls.FindSorted(value) < 0 && seen.insert(value.CStr()).second)
            found.Add(value);
    }
    for (int32 i = 0; i < found.GetCount(); ++i)
        urls.Add(found[i]);
    urls.Sort(true);
    return found.GetCount();
}

int32 KQOpenXMLArchive::SetViewerFileURL(const KQString& oldValue, const KQString& newValue)
{
    KQOpenXMLControls& controls = parts.Controls();
    if (!ListControls(controls))
        return 0;

    auto named = controls.byValue.find(oldValue.CStr());
    if (named == controls.byValue.end())
        return 0;
    // In archive order, as a listing now would give them: parts written
    // before have moved to the end.
    std::vector<std::pair<int32, size_t>> order;
    for (size_t i : named->second) {
        // Only the property that CollectViewerFileURLs read is rewritten;
        // another property that happens to hold the same text keeps it.
        if (FileURLText(controls.controls[i].property).Equals(oldValue))
            order.emplace_back(FindFile(controls.controls[i].entry), i);
    }
    std::sort(order.begin(), order.end());

    const std::string oldKey(oldValue.CStr());
    int32 written = 0;
    std::vector<size_t> moved;
    for (const std::pair<int32, size_t>& o : order) {
        KQOpenXMLControls::Control& control = controls.controls[o.second];
        KQXmlElement::SetAttributeString(control.property, KQString("ax:value"), newValue);
        if (parts.WriteControl(control))
            ++written;
        const std::string newKey(FileURLText(control.property).CStr());
        if (newKey != oldKey) {
            controls.byValue[newKey].push_back(o.second);
            moved.push_back(o.second);
        }
    }
    // The controls that hold the new value now are found under it. One pass:
    // thousands of controls may have held the old value.
    std::sort(moved.begin(), moved.end());
    std::vector<size_t>& left = controls.byValue[oldKey];
    left.erase(std::remove_if(left.begin(), left.end(),
                              [&moved](size_t i) { return std::binary_search(moved.begin(), moved.end(), i); }),
               left.end());
    if (left.empty())
        controls.byValue.erase(oldKey);
    return written;
}
