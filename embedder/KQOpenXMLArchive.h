// Office Open XML packages as Corvessa edits them: a zip archive plus the
// names of the package's main parts and the operations that embed the model
// files that the viewer's ActiveX controls name.
//
// Entry names are written with backslashes, as the zip layer takes and
// reports them; names written into XML parts (Target, PartName) use
// forward slashes.
#ifndef KQOPENXMLARCHIVE_H
#define KQOPENXMLARCHIVE_H

#include <memory>
#include <set>

#include "KQOArray.h"
#include "KQOString.h"
#include "KQOTemplateArray.h"
#include "KQOTypes.h"
#include "KQOXml.h"
#include "KQOZipArchive.h"
#include "KQOpenXMLRunParts.h"
#include "KQPlatform.h"

// Process-wide texts of the embedder, built before the entry point runs.
extern const KQString KQ_EMBEDDED_TAG;
extern const KQString KQ_EMBEDDED_PREFIX;
extern const KQString KQ_EMBEDDED_URL_TEMPLATE;
extern const KQString KQ_KQFX_PREFIX;
extern const KQString KQ_CONTENT_TYPES_PART;
extern const KQString KQ_APP_PROPERTIES_PART;
extern const KQString KQ_SLIDE_RELATIONSHIP_TYPE;
extern const KQString KQ_ACTIVEX_CONTENT_TYPE;
extern const KQString KQ_WORD_FOLDER;
extern const KQString KQ_PPT_FOLDER;

// What one embedding run did, as its report tells it.
struct KQEmbeddingOutcome {
    int32 embedded = 0;
    int32 total = 0;
    KQStringArray failed;  // FileURL values that could not be embedded, in order
    // Parts of the package that could not be read: the name in quotes and why
    // (a control part among them counts in total, as a file not embedded).
    KQStringArray unread;
    KQString saveFailure;  // why the package could not be saved; empty when it was
};

class KQOpenXMLArchive : public KQZipArchive {
public:
    KQOpenXMLArchive();
    ~KQOpenXMLArchive() override;

    // Presentation operations; a package of another kind has none of them.
    virtual bool CreateFromTemplate(const KQString& templatePath);
    virtual bool RenameControl(const KQString& slideName, const KQString& controlId, const KQString& newName);
    virtual void RemoveAllSlides();

    // Every rId of the reference list; true when there is at least one.
    bool ListReferenceIds(KQStringArray* out);
    // Drops the Override entries whose part the package does not hold.
    void PruneContentTypeOverrides();
    // Counts a new slide titled title in "docProps\app.xml", or with reset
    // sets the counts back to an empty presentation; true when written.
    bool UpdateAppProperties(const KQString& title, bool reset);

    // Viewer controls. Collect appends the FileURL values not yet embedded
    // (embedded false) or the ids of embedded ones (embedded true), keeps
    // urls sorted and free of duplicates and returns how many it added.
    // Set rewrites the FileURL oldValue to newValue in every control part and
    // returns the number of parts written back.
    int32 CollectViewerFileURLs(KQStringArray& urls, bool embedded);
    int32 SetViewerFileURL(const KQString& oldValue, const KQString& newValue);

    // Content types and relationships of the package.
    bool HasContentType(const KQString& attributeName, const KQString& value);
    bool AddContentType(const KQString& value, int kind);
    KQString AddRelationship(const KQString& fileName);
    bool RemoveRelationship(const KQString& partName, const KQString& id);

    // Embedding.
    bool EmbedFile(const KQString& fileURL, KQString& fileName);
    bool UpdateReferenceIds(KQString& id, KQString path, bool add);
    bool RemoveUnreferencedFiles();

    // The whole run on the open package; true when every attempt succeeded.
    bool EmbedAll(bool showReport);
    bool EmbedAll(KQEmbeddingOutcome& outcome);
    // Closes the package, which writes it; false, with the reason in
    // outcome, when the changes did not reach the disk.
    bool Save(KQEmbeddingOutcome& outcome);

    // True when a FileURL value is "Embedded[" + id + "]"; id (may be null)
    // receives the id.
    static bool EmbeddedId(const KQString& value, KQString* id);

    // The file that a control's FileURL value names, for a package opened
    // under packagePath.
    static KQString ResolveModelPath(const KQString& fileURL, const KQString& packagePath);

    KQString slideContentType;
    KQString tagsContentType;
    KQString relsPart;
    KQString kqfxFolder;
    KQString rootFolder;
    KQString mediaFolder;

protected:
    // The attribute's value; the null text when it is absent or blank.
    static KQString AttributeText(const TiXmlElement* element, const char* name);
    // Reads part into doc (built without declaration); its root element, or
    // null when the part does not read as XML or has none.
    TiXmlElement* ReadPartRoot(const KQString& part, KQXmlDocument& doc);
    // Entry name of the reference list, and the Target by which the main
    // document's relationships name it.
    KQString ReferenceListEntry() const;
    static const char* const kReferenceTarget;

private:
    // The only way the embedding steps read, write and delete parts: within
    // a run (from EmbedAll to the end of RemoveUnreferencedFiles) it keeps
    // them parsed, outside one it reads and writes at once.
    KQOpenXMLRunParts parts;
    // Reads entry as XML into doc (built without declaration); true when it
    // is a part of the viewer's control. why gets the reason a part named
    // as XML could not be read (empty for one that was read).
    bool ReadViewerControl(const KQString& entry, KQXmlDocument& doc, KQString* why);
    // Lists and parses the viewer controls into controls once.
    bool ListControls(KQOpenXMLControls& controls);
    // False when a control wrote fileURL as a name that the 8-bit build
    // cannot hold exactly, so that fileURL names another file.
    bool HoldsFileURLExactly(const KQString& fileURL);
    // The control's FileURL property: the first property element named so in
    // the walk that starts at the root's first "ax:ocxPr" child.
    static TiXmlElement* FileURLProperty(TiXmlElement* root);
    // The value of a FileURL property in the 8-bit build, exact when exact
    // is set; otherwise (a character the code page lacks, a C1 control,
    // NUL) the value as a report can show it, never a file to look up.
    // Null when absent or blank.
    static KQString FileURLText(const TiXmlElement* property, bool* exact = nullptr);
    // Removes every Relationship of partName whose Target names target; true
    // when the part needed no change or was written back.
    bool RemoveRelationshipsTo(const KQString& partName, const KQString& target);
    // The two halves of UpdateReferenceIds: hands out a new id for path, or
    // takes id out of the list.
    bool AddReferenceId(KQString& id, const KQString& path);
    bool RemoveReferenceId(const KQString& id);
    // AddReferenceId's walk of the list, made once per run: the numbers its
    // ids carry.
    static void WalkReferenceNumbers(KQOpenXMLRunPart& list);
    // AddRelationship's walk of the relationships, made once per run: what
    // relations says about them, brought up to date.
    static void WalkRelationships(KQOpenXMLRunPart& relations);
    // Lowest number from *from on that numbers does not hold and that names
    // no model file present in the package; *from becomes that number.
    int32 FreeModelNumber(const std::set<int32>& numbers, int32* from);
    // Takes back what a failed embedding of the model with this id and file
    // name left: its entry, its relationship and its place in the reference
    // list.
    void ForgetModel(const KQString& id, const KQString& fileName);
};

// One slide's controls and related parts. Nothing fills it yet.
struct KQSlideContent {
    KQSlideContent() = default;
    ~KQSlideContent();
    KQSlideContent(const KQSlideContent&) = delete;
    KQSlideContent& operator=(const KQSlideContent&) = delete;

    KQString slideName;
    KQString slidePath;
    KQString relsPath;
    KQString title;
    int32 slideId = 0;
    int32 flags = 0;
    static const int32 listCount = 19;
    KQStringArray lists[listCount];
};

// Policies of KQAEX: compile-time arguments only, without data or code.
template <class T>
struct KQANRC {};
typedef void* KQADP;
template <class T, class P>
struct KQANP {};

// Owning pointer array: the elements it removes are destroyed.
template <class T, class NRC = KQANRC<T>, class DP = KQADP, class NP = KQANP<T, DP>>
class KQAEX : public KQOArray<T, T> {
public:
    KQAEX() : reserved(nullptr) {}
    virtual ~KQAEX()
    {
        RemoveAt(0, -1);
        this->FreeData();
    }

    int DeleteElement(T element)
    {
        delete element;
        return -1;
    }
    // Destroys the elements from start on and keeps the first start ones;
    // start 0 releases the block, a start past the count adds null slots.
    void RemoveAt(int32 start, int32 growBy)
    {
        if (start < 0)
            start = 0;
        for (int32 i = start; i < this->count; ++i) {
            DeleteElement(this->data[i]);
            this->data[i] = nullptr;
        }
        this->SetSize(start, growBy);
    }

    void* reserved;
};

class KQSlideContentPtrArray : public KQAEX<KQSlideContent*> {
public:
    ~KQSlideContentPtrArray() override;
};

class KQOpenXMLPresentation : public KQOpenXMLArchive {
public:
    KQOpenXMLPresentation();
    ~KQOpenXMLPresentation() override;

    bool CreateFromTemplate(const KQString& templatePath) override;
    bool RenameControl(const KQString& slideName, const KQString& controlId, const KQString& newName) override;
    void RemoveAllSlides() override;

    // Target of every relationship in the part at path of one kind: 1 ActiveX
    // controls, 2 media images, 3 tags, 4 VML drawings. True when at least
    // one was found.
    bool CollectRelationshipTargets(const KQString& path, int32 kind, KQStringArray* out);
    // r:id of every entry of the slide list; true when at least one.
    bool ListSlideIds(KQStringArray* out);
    // Removes the slide-list entries with that r:id; true when the
    // presentation part was written back.
    bool RemoveSlideId(const KQString& id);

    KQString presentationPart;
    int32 lastRemovedSlideId;
    KQSlideContentPtrArray* slideContents;

private:
    // Reads presentationPart into doc; the slide list element, or null.
    TiXmlElement* ReadSlideIdList(KQXmlDocument& doc);
};

class KQOpenXMLWordArchive : public KQOpenXMLArchive {
public:
    KQOpenXMLWordArchive();
    ~KQOpenXMLWordArchive() override;
};

// The box that shows the embedding report, MessageBoxA unless replaced: a
// caller without a desktop (the tests) takes the report here instead.
typedef int(WINAPI* KQMessageBoxFunction)(HWND owner, LPCSTR text, LPCSTR caption, UINT type);
extern KQMessageBoxFunction KQReportMessageBox;
// Shows the report of a run in the box.
void KQShowEmbeddingReport(const KQEmbeddingOutcome& outcome);
// The report of a package that opened but could not be held for its update
// (a lock refused for a reason other than another run holding it), with the
// reason: nothing was embedded and the package is as it was.
void KQShowHoldFailureReport(const KQString& reason);
// The report of a package whose earlier save was stopped while it wrote into
// the file and that could not be proven to hold only that save's bytes: it
// names the copy of the package as it was (document) and the file that save
// wrote (written), and says that nothing was changed and what to do.
void KQShowStoppedSaveReport(const KQString& document, const KQString& written);
// The box of a run that found the package missing from its name beside
// what a replace stopped between its renames left: the package as it was
// (before) and the one that save wrote (written), either empty when absent.
void KQShowMissingPackageReport(const KQString& before, const KQString& written);
// True when the failed Open of package was such a refused lock.
bool KQHoldWasRefused(const KQZipArchive& package, KQString* reason);

// 0 for a word-processing package, 1 for a presentation, -1 when the path
// does not open as a package of either kind.
int KQDetectDocumentType(const KQString& path);

#endif
