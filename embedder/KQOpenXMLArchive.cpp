// Package classes, the embedder's shared texts and the viewer controls'
// FileURL property.
#include "KQOpenXMLArchive.h"

#include <new>

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

KQOpenXMLArchive::KQOpenXMLArchive() {}

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
    if (!ReadXmlFile(part, &doc))
        return nullptr;
    return doc.RootElement();
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

bool KQOpenXMLArchive::ReadViewerControl(const KQString& entry, KQXmlDocument& doc)
{
    // The controls' binary .bin parts and anything else that is not XML are
    // simply not controls.
    TiXmlElement* root = ReadPartRoot(entry, doc);
    if (!root)
        return false;
    return AttributeText(root, "ax:classid").EqualsText(kViewerClassId);
}

int32 KQOpenXMLArchive::CollectViewerFileURLs(KQStringArray& urls, bool embedded)
{
    KQStringArray entries;
    if (!FindFiles(rootFolder + KQString("\\activeX"), true, &entries))
        return 0;

    int32 added = 0;
    for (int32 i = 0; i < entries.GetCount(); ++i) {
        KQXmlDocument doc(false);
        if (!ReadViewerControl(entries[i], doc))
            continue;
        TiXmlElement* property = FileURLProperty(doc.RootElement());
        if (!property)
            continue;

        KQString value = AttributeText(property, "ax:value");
        KQString id;
        if (EmbeddedId(value, &id) != embedded)
            continue;
        if (embedded)
            value = id;

        urls.Sort(true);
        if (urls.FindSorted(value) < 0) {
            urls.Add(value);
            ++added;
        }
    }
    urls.Sort(true);
    return added;
}

int32 KQOpenXMLArchive::SetViewerFileURL(const KQString& oldValue, const KQString& newValue)
{
    KQStringArray entries;
    if (!FindFiles(rootFolder + KQString("\\activeX"), true, &entries))
        return 0;

    int32 written = 0;
    for (int32 i = 0; i < entries.GetCount(); ++i) {
        KQXmlDocument doc(false);
        if (!ReadViewerControl(entries[i], doc))
            continue;
        // Only the property that CollectViewerFileURLs read is rewritten; another
        // property that happens to hold the same text keeps it.
        TiXmlElement* property = FileURLProperty(doc.RootElement());
        if (!property || !AttributeText(property, "ax:value").Equals(oldValue))
            continue;
        KQXmlElement::SetAttributeString(property, KQString("ax:value"), newValue);
        if (WriteXmlFile(entries[i], &doc, true))
            ++written;
    }
    return written;
}
