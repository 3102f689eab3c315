// The parts of a package as the embedding steps read, write and delete
// them. KQOpenXMLRunParts is the one way the steps reach the archive, so
// what it keeps parsed stays in step with the archive in one place.
//
// Within a run (from EmbedAll to the end of RemoveUnreferencedFiles) it
// keeps the parts that every embedding edits (content types, the main
// relationships, the reference list) and the viewer-control parts parsed,
// each read once, with what the walks of each part found. A part written
// during the run goes to the archive as its held document, printed once
// when the archive is saved; since each write still moves the entry to the
// end, the saved entries and their order are those of writing each part at
// once. Outside a run every read is fresh and every write is printed at once.
//
// The archive's change count tells whether anything but these parts touched
// the archive since; if so, everything is read afresh.
#ifndef KQOPENXMLRUNPARTS_H
#define KQOPENXMLRUNPARTS_H

#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "KQOString.h"
#include "KQOTypes.h"
#include "KQOXml.h"

class KQZipArchive;

// One part taken for editing, and what walks of its document found. The
// walks' findings hold only while the document is what they walked: the
// owner forgets them when an element is removed, the part is deleted or
// read afresh. A step that appends an element notes it itself.
struct KQOpenXMLRunPart {
    // The document's root element; null when the part is absent, does not
    // read as XML or has no root.
    TiXmlElement* Root() const { return doc ? doc->RootElement() : nullptr; }

    // Content types: (attribute, value) pairs known to be present.
    std::set<std::pair<std::string, std::string>> presentTypes;

    // Relationships, in the order AddRelationship walks them: the Id of the
    // first Relationship naming each Target, and every Id.
    bool relationsKnown = false;
    std::map<std::string, KQString> idByTarget;
    std::vector<KQString> ids;
    // Per Id prefix: the highest number an Id holding it carries, and
    // whether any does.
    std::map<std::string, std::pair<int32, bool>> prefixes;

    // Reference list: the numbers its ids carry, and the number below which
    // every one is taken by the list or by a present model file.
    bool numbersKnown = false;
    std::set<int32> numbers;
    int32 scannedUpTo = 1;

private:
    friend class KQOpenXMLRunParts;
    void ForgetWalks();
    // Within a run the document that the archive holds for the part: only
    // KQOpenXMLRunParts hands it over.
    std::shared_ptr<KQXmlDocument> doc;
};

// The viewer controls of the package, in the order the listing gave them.
struct KQOpenXMLControls {
    struct Control {
        KQString entry;
        std::shared_ptr<KQXmlDocument> doc;
        // The control's FileURL property element.
        TiXmlElement* property = nullptr;
    };
    bool listed = false;
    std::vector<Control> controls;
    // Parts named as controls that could not be read: whether any of them is
    // a viewer control, and what it names, cannot be told.
    std::vector<KQString> unread;
    // Controls by their FileURL value. Ordered, as idByTarget: the package
    // chooses the keys, and could choose ones that share a hash bucket.
    std::map<std::string, std::vector<size_t>> byValue;
    // FileURL values as a report shows them, of controls whose text the
    // 8-bit build cannot hold exactly: no file is looked up under them.
    std::set<std::string> inexact;
};

// A document handed to the archive within a run stays the archive's to
// print when it saves: its state then is what is stored. Only this class
// hands documents over, and a step changes one only through a part taken
// here and then written (or deleted) here, so what is stored is always
// what was last written.
class KQOpenXMLRunParts {
public:
    explicit KQOpenXMLRunParts(KQZipArchive& archive);

    // Starts a run afresh (forgetting any earlier one) and ends it.
    void Begin();
    void End();
    bool Running() const { return running; }

    // The part to edit, never null; its doc is null when the part does not
    // read as XML or has no root element. absentIsQuiet reads a missing part
    // as unreadable without an error. Within a run the same part comes back
    // until it is written, deleted or the archive changes elsewhere.
    std::shared_ptr<KQOpenXMLRunPart> Edit(const KQString& name, bool absentIsQuiet);
    // A part, not yet in the package, holding a new document for name; it
    // replaces what Edit gave when it is written.
    static std::shared_ptr<KQOpenXMLRunPart> New(const std::shared_ptr<KQXmlDocument>& doc);
    // Takes element out of the part's document; what walks of it found is
    // forgotten.
    void Remove(KQOpenXMLRunPart& part, TiXmlElement* element);
    // Writes the part's document as the entry name; true when written. A
    // part that failed to write is read afresh next time.
    bool Write(const KQString& name, const std::shared_ptr<KQOpenXMLRunPart>& part);
    // Deletes the entry (a part, which is then read afresh, or a model file).
    bool Delete(const KQString& entry);
    // Adds an entry whose bytes the archive reads from the file at path when
    // it is saved.
    bool WriteModel(const KQString& entry, const KQString& path);

    // Parses entry into doc (built without declaration); false when it does
    // not read as XML or has no root element, with why (may be null) in
    // words that follow the part's name. Within a run the parts parsed
    // together may take at most kRunCost (as the XML layer counts a tree):
    // a part past that is refused as one past the bounds of a part.
    bool Read(const KQString& entry, KQXmlDocument& doc, KQString* why = nullptr);
    static const uint64 kRunCost = 160ull * 1024u * 1024u;
    // How many part keys this process has made: a run's count grows with
    // the parts it meets, and the tests hold it to that.
    static uint64 KeysMade();
    // Parts of the run that are in the package but could not be read, with
    // why, in the order met; each once. Kept from Begin to the next Begin.
    void NoteUnread(const KQString& entry, const KQString& why);
    const std::vector<std::pair<KQString, KQString>>& Unread() const { return unread; }
    // The viewer controls: the run's listing, kept until the archive changes
    // elsewhere, or an empty one to fill each time outside a run.
    KQOpenXMLControls& Controls();
    // Writes back a control of the listing that Controls() just gave (which
    // asked Current()); the listing is never forgotten here, as the caller
    // is walking it.
    bool WriteControl(const KQOpenXMLControls::Control& control);

private:
    KQOpenXMLRunParts(const KQOpenXMLRunParts&) = delete;
    KQOpenXMLRunParts& operator=(const KQOpenXMLRunParts&) = delete;

    // Whether what the run keeps may be used: false outside a run and on a
    // closed archive; everything is forgotten when the archive changed since
    // the run last touched it.
    bool Current();
    // After each of our own changes: the change count that the run's parts
    // match. Current() must have been asked before the change, or parts
    // kept from before a change made elsewhere would pass as current.
    void InStep();
    void Forget();
    // The key of a part: names that name the same entry share it.
    static std::string Key(const KQString& name);

    KQZipArchive& archive;
    bool running;
    uint32 changeCount;
    // What the trees of the parts parsed in this run were counted to take.
    uint64 held;
    std::vector<std::pair<KQString, KQString>> unread;
    // The keys of unread's entries. Ordered: names chosen to share a hash
    // bucket cannot make it slow.
    std::set<std::string> unreadKeys;
    // By entry name without regard to case and separator.
    std::map<std::string, std::shared_ptr<KQOpenXMLRunPart>> parts;
    KQOpenXMLControls controls;
};

#endif
