// Reading, writing and deleting the parts of a package for the embedding
// steps, with the run's parsed parts kept in step here alone.
#include "KQOpenXMLRunParts.h"

#include <new>

#include "KQOZipArchive.h"

void KQOpenXMLRunPart::ForgetWalks()
{
    presentTypes.clear();
    relationsKnown = false;
    idByTarget.clear();
    ids.clear();
    prefixes.clear();
    // A number given back may be handed out again.
    numbersKnown = false;
    numbers.clear();
    scannedUpTo = 1;
}

KQOpenXMLRunParts::KQOpenXMLRunParts(KQZipArchive& archive) : archive(archive), running(false), changeCount(0), held(0)
{}

void KQOpenXMLRunParts::Begin()
{
    End();
    running = true;
    held = 0;
    unread.clear();
    unreadKeys.clear();
    InStep();
}

void KQOpenXMLRunParts::End()
{
    Forget();
    running = false;
}

void KQOpenXMLRunParts::Forget()
{
    parts.clear();
    controls = KQOpenXMLControls();
}

namespace {

uint64 keysMade = 0;

}  // namespace

uint64 KQOpenXMLRunParts::KeysMade()
{
    return keysMade;
}

std::string KQOpenXMLRunParts::Key(const KQString& name)
{
    ++keysMade;
    KQString key(name);
    key.ReplaceChar('/', '\\');
    key.MakeLower();
    return std::string(key.CStr());
}

bool KQOpenXMLRunParts::Current()
{
    if (!running)
        return false;
    // A closed archive has no parts to keep: every operation fails as it
    // would outside a run.
    if (archive.IsClosed()) {
        Forget();
        return false;
    }
    if (changeCount != archive.ChangeCount()) {
        Forget();
        InStep();
    }
    return true;
}

void KQOpenXMLRunParts::InStep()
{
    if (running)
        changeCount = archive.ChangeCount();
}

std::shared_ptr<KQOpenXMLRunPart> KQOpenXMLRunParts::Edit(const KQString& name, bool absentIsQuiet)
{
    const bool kept = Current();
    std::string key;
    if (kept) {
        key = Key(name);
        auto found = parts.find(key);
        if (found != parts.end())
            return found->second;
    }
    std::shared_ptr<KQOpenXMLRunPart> part = std::make_shared<KQOpenXMLRunPart>();
    part->doc.reset(new (std::nothrow) KQXmlDocument(false));
    KQString why;
    if (part->doc && ((absentIsQuiet && archive.FindFile(name) < 0) || !Read(name, *part->doc, &why))) {
        part->doc.reset();
        // A part that is there and cannot be read is named in the report; a
        // part that may be missing is made anew.
        if (!absentIsQuiet && !why.IsEmpty() && archive.FindFile(name) >= 0)
            NoteUnread(name, why);
    }
    if (kept)
        parts[key] = part;
    return part;
}

std::shared_ptr<KQOpenXMLRunPart> KQOpenXMLRunParts::New(const std::shared_ptr<KQXmlDocument>& doc)
{
    std::shared_ptr<KQOpenXMLRunPart> part = std::make_shared<KQOpenXMLRunPart>();
    part->doc = doc;
    return part;
}

void KQOpenXMLRunParts::Remove(KQOpenXMLRunPart& part, TiXmlElement* element)
{
    element->Parent()->RemoveChild(element);
    part.ForgetWalks();
}

bool KQOpenXMLRunParts::Write(const KQString& name, const std::shared_ptr<KQOpenXMLRunPart>& part)
{
    if (!Current())
        return archive.WriteXmlFile(name, part->doc.get(), true);
    const std::string key = Key(name);
    // From here on the archive prints this document when it saves.
    bool written = archive.WriteXmlFileAtClose(name, part->doc, true);
    auto found = parts.find(key);
    if (!written) {
        // Read afresh next time, whatever the failure left.
        if (found != parts.end())
            parts.erase(found);
    } else if (found == parts.end() || found->second != part) {
        parts[key] = part;
    }
    InStep();
    return written;
}

bool KQOpenXMLRunParts::Delete(const KQString& entry)
{
    Current();
    bool deleted = archive.Delete(entry);
    // Read afresh next time: the part is gone, or not what was edited.
    parts.erase(Key(entry));
    InStep();
    return deleted;
}

bool KQOpenXMLRunParts::WriteModel(const KQString& entry, const KQString& path)
{
    Current();
    bool written = archive.WriteDataFromFile(entry, path);
    InStep();
    return written;
}

bool KQOpenXMLRunParts::Read(const KQString& entry, KQXmlDocument& doc, KQString* why)
{
    KQXmlBounds bounds = KQ_XML_PART_BOUNDS;
    // Outside a run a part is let go as soon as it has been used.
    const bool counted = running && !archive.IsClosed();
    const uint64 left = held < kRunCost ? kRunCost - held : 0;
    if (counted && left < bounds.cost)
        bounds.cost = left;
    KQXmlShape seen;
    KQString reason;
    if (!archive.ReadXmlFile(entry, &doc, bounds, &reason, &seen)) {
        if (counted && bounds.cost < KQ_XML_PART_BOUNDS.cost && seen.verdict == KQ_XML_TOO_COSTLY)
            reason = KQString::FromFormat("would take the parts parsed in this run past %d MiB",
                                          static_cast<int>(kRunCost >> 20));
        if (why)
            *why = reason;
        return false;
    }
    if (counted)
        held += seen.cost;
    if (!doc.RootElement()) {
        if (why)
            *why = "holds no element";
        return false;
    }
    return true;
}

void KQOpenXMLRunParts::NoteUnread(const KQString& entry, const KQString& why)
{
    // By key, so that noting each of many parts costs no walk of the others.
    if (!unreadKeys.insert(Key(entry)).second)
        return;
    unread.emplace_back(entry, why);
}

KQOpenXMLControls& KQOpenXMLRunParts::Controls()
{
    if (!Current())
        controls = KQOpenXMLControls();
    return controls;
}

bool KQOpenXMLRunParts::WriteControl(const KQOpenXMLControls::Control& control)
{
    bool written = running && !archive.IsClosed() ? archive.WriteXmlFileAtClose(control.entry, control.doc, true)
                                                  : archive.WriteXmlFile(control.entry, control.doc.get(), true);
    InStep();
    return written;
}
