// What one embedding run keeps parsed: the parts that every embedding edits
// (content types, the main relationships, the reference list) and the
// viewer-control parts, each read and parsed once. A part written during
// the run goes to the archive as its live document, printed once when the
// archive is saved; since each write still moves the entry to the end, the
// saved entries and their order are those of writing each part at once.
//
// The archive's change count tells whether anything but the run touched the
// archive since; if so, everything is read afresh.
#ifndef KQOPENXMLRUNPARTS_H
#define KQOPENXMLRUNPARTS_H

#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "KQOString.h"
#include "KQOTypes.h"
#include "KQOXml.h"

struct KQOpenXMLRunPart {
    // Null when the part is absent, does not read as XML or has no root.
    std::shared_ptr<KQXmlDocument> doc;

    // Content types: (attribute, value) pairs known to be present.
    std::set<std::pair<std::string, std::string>> presentTypes;

    // Relationships, in the order AddRelationship walks them: the Id of the
    // first Relationship naming each Target, and every Id.
    bool relationsKnown = false;
    std::unordered_map<std::string, KQString> idByTarget;
    std::vector<KQString> ids;
    // Per Id prefix: the highest number an Id holding it carries, and
    // whether any does.
    std::map<std::string, std::pair<int32, bool>> prefixes;

    // Reference list: the numbers its ids carry, and the number below which
    // every one is taken by the list or by a present model file.
    bool numbersKnown = false;
    std::set<int32> numbers;
    int32 scannedUpTo = 1;
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
    // Controls by their FileURL value.
    std::unordered_map<std::string, std::vector<size_t>> byValue;
};

struct KQOpenXMLRunParts {
    uint32 changeCount = 0;
    // By entry name without regard to case and separator.
    std::map<std::string, KQOpenXMLRunPart> parts;
    KQOpenXMLControls controls;

    void Forget()
    {
        parts.clear();
        controls = KQOpenXMLControls();
    }
    // The key of a part: names that name the same entry share it.
    static std::string Key(const KQString& part)
    {
        KQString key(part);
        key.ReplaceChar('/', '\\');
        key.MakeLower();
        return std::string(key.CStr());
    }
};

#endif
