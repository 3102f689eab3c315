// Copying model files into the package, the reference list that remembers
// where each copy came from, and the removal of copies no control uses.
#include "KQOpenXMLArchive.h"

#include <cctype>
#include <cstdint>

#include "KQFileSystem.h"
#include "KQOFile.h"
#include "KQOpenXMLRunParts.h"

namespace {

// The maker's namespace of the reference list.
const char* const kReferenceNamespace = "http://schemas.trevak.com/kqfx/2010/referencedFiles";

// Whether a value written with '/' is an absolute path: from the root, a
// drive or a share.
bool IsAbsolutePath(const KQString& path)
{
    const char* text = path.CStr();
    return text[0] == '/' || (std::isalpha(static_cast<unsigned char>(text[0])) && text[1] == ':');
}

// Whether a relative value names a file beside the package: a bare name, a
// value that starts at "./" or "../", or one that climbs with "..".
bool BesideThePackage(const KQString& path)
{
    if (path.FindChar('/') < 0)
        return true;
    if (path.Compare(KQString("./"), 2) == 0 || path.Compare(KQString("../"), 3) == 0)
        return true;
    return (KQString("/") + path + KQString("/")).Contains(KQString("/../"));
}

// What every model file is: a zip archive whose directory lists the
// snapshot entry (either separator, any case, as Lintomel looks it up). Any
// other file a control names, however it got there, is not copied into a
// package that will be passed on. Only the directory is read; the model is
// still copied byte for byte.
bool IsModelContainer(const KQString& path)
{
    return KQZipListsEntry(path, KQString("Case001\\Snapshot.jpeg"), KQ_MODEL_DIRECTORY_BOUNDS);
}

// The number an id of the reference list carries after the prefix; -1 for
// one that carries none that can be handed out.
int32 IdNumber(const KQString& id)
{
    int32 number = id.Mid(KQ_KQFX_PREFIX.GetLength()).ToInt(0);
    return number >= 0 ? number : -1;
}

}  // namespace

KQString KQOpenXMLArchive::ResolveModelPath(const KQString& fileURL, const KQString& packagePath)
{
    // A backslash and a slash are alike in every rule.
    KQString path(fileURL);
    path.ReplaceChar('\\', '/');
    if (IsAbsolutePath(path) || !BesideThePackage(path))
        return path;

    // A package named relative to the working folder has fewer folders in its
    // name than "../" can climb; its absolute name has them all.
    KQString package;
    if (!KQFullPathName(packagePath, package) || package.IsEmpty())
        package = packagePath;
    package.ReplaceChar('\\', '/');
    KQString joined = package.Mid(0, package.FindChar('/', -1, false) + 1) + path;
    // "." and ".." are segments, read as the system reads them.
    KQString full;
    if (!KQFullPathName(joined, full) || full.IsEmpty())
        return joined;
    full.ReplaceChar('\\', '/');
    return full;
}

bool KQOpenXMLArchive::EmbeddedId(const KQString& value, KQString* id)
{
    // The whole value and nothing else: a path may hold "[", "]" and even
    // the prefix.
    const int32 prefix = KQ_EMBEDDED_PREFIX.GetLength();
    const int32 length = value.GetLength();
    if (length < prefix + 2 || value.Compare(KQ_EMBEDDED_PREFIX, prefix) != 0 || value.CStr()[length - 1] != ']')
        return false;
    KQString inner = value.Mid(prefix, length - prefix - 1);
    for (const char c : {'[', ']', '/', '\\'})
        if (inner.FindChar(c) >= 0)
            return false;
    if (id)
        *id = inner;
    return true;
}

int32 KQOpenXMLArchive::FreeModelNumber(const std::set<int32>& numbers, int32* from)
{
    for (int64 number = *from; number <= INT32_MAX; ++number) {
        if (numbers.count(static_cast<int32>(number)))
            continue;
        // A model file of that name without a list entry (a list that was lost
        // or replaced) must not be overwritten by the next embedding.
        if (FindFile(kqfxFolder + KQ_KQFX_PREFIX.ConcatInt(static_cast<int32>(number)) + KQString(".kqfx")) >= 0)
            continue;
        *from = static_cast<int32>(number);
        return *from;
    }
    return -1;
}

bool KQOpenXMLArchive::UpdateReferenceIds(KQString& id, KQString path, bool add)
{
    return add ? AddReferenceId(id, path) : RemoveReferenceId(id);
}

void KQOpenXMLArchive::WalkReferenceNumbers(KQOpenXMLRunPart& list)
{
    // Every entry counts, so that no id that the list holds is handed out
    // again. A run walks the list once and counts the entries it adds.
    if (list.numbersKnown)
        return;
    list.numbers.clear();
    list.scannedUpTo = 1;
    for (TiXmlElement* e = KQXmlElement::FindChild(list.Root(), KQString("kqfxPath")); e;
         e = KQXmlElement::NextSibling(e)) {
        int32 number = IdNumber(AttributeText(e, "rId"));
        if (number >= 0)
            list.numbers.insert(number);
    }
    list.numbersKnown = true;
}

bool KQOpenXMLArchive::AddReferenceId(KQString& id, const KQString& path)
{
    const KQString listEntry = ReferenceListEntry();
    std::shared_ptr<KQOpenXMLRunPart> list = parts.Edit(listEntry, true);

    TiXmlElement* root = list->Root();
    if (root) {
        WalkReferenceNumbers(*list);
    } else {
        // Missing, not XML, or without a root element: a new list replaces it.
        std::shared_ptr<KQXmlDocument> doc(new (std::nothrow) KQXmlDocument(true));
        if (!doc)
            return false;
        root = KQXmlElement::AddChildElement(doc.get(), KQString("kqfxReferencedFiles"), -1,
                                             KQString(kReferenceNamespace));
        if (!root)
            return false;
        list = KQOpenXMLRunParts::New(doc);
    }

    int32 number = FreeModelNumber(list->numbers, &list->scannedUpTo);
    if (number < 0)
        return false;
    TiXmlElement* entry = KQXmlElement::AddChildElement(root, KQString("kqfxPath"), -1, KQString());
    if (!entry)
        return false;
    id = KQ_KQFX_PREFIX.ConcatInt(number);
    KQXmlElement::SetAttributeString(entry, KQString("rId"), id);
    KQXmlElement::SetAttributeString(entry, KQString("originalPath"), path);
    list->numbers.insert(number);
    return parts.Write(listEntry, list);
}

bool KQOpenXMLArchive::RemoveReferenceId(const KQString& id)
{
    const KQString listEntry = ReferenceListEntry();
    std::shared_ptr<KQOpenXMLRunPart> list = parts.Edit(listEntry, true);
    if (!list->Root())
        return true;
    TiXmlElement* root = list->Root();
    for (TiXmlElement* e = KQXmlElement::FindChild(root, KQString("kqfxPath")); e; e = KQXmlElement::NextSibling(e)) {
        KQString rId = AttributeText(e, "rId");
        if (!rId.IsEmpty() && rId.Equals(id)) {
            parts.Remove(*list, e);
            break;
        }
    }
    if (KQXmlElement::FirstChild(root))
        return parts.Write(listEntry, list);
    // Stale errors of earlier operations would make the delete refuse.
    ClearError();
    if (!parts.Delete(listEntry))
        return false;
    // The list is gone; a relationship to it would name a missing part.
    return RemoveRelationshipsTo(relsPart, KQString(kReferenceTarget));
}

bool KQOpenXMLArchive::EmbedFile(const KQString& fileURL, KQString& embeddedName)
{
    if (EmbeddedId(fileURL, nullptr))
        return true;
    // A name the control wrote outside the code page: no other file in its
    // place.
    if (!HoldsFileURLExactly(fileURL))
        return false;

    KQString filePath = ResolveModelPath(fileURL, KQZipArchive::fileName);

    // Only a regular file is a model: a pipe would block the open, and a
    // device reads as whatever it yields.
    if (KQFileKindA(filePath.CStr()) != KQ_FILE_REGULAR)
        return false;
    KQBinaryFile file(KQString(), 0, false);
    if (!file.Open(filePath, KQFile::READ))
        return false;

    // The archive reads the file when it is saved, so no model is held in
    // memory; a file that changes before then fails the save. Entries are
    // read back as one block, which bounds a model's size.
    int64 size = file.FileSize();
    file.Close();
    if (size < 0 || size > INT32_MAX)
        return false;
    if (!IsModelContainer(filePath))
        return false;
    // A package whose content types or relationships cannot be read is left
    // as it is: nothing would declare or reach the model.
    if (!parts.Edit(KQ_CONTENT_TYPES_PART, false)->Root() || !parts.Edit(relsPart, false)->Root())
        return false;

    // Only a file that was read gets an entry in the list, which keeps the
    // path the control held.
    KQString id;
    UpdateReferenceIds(id, fileURL, true);
    if (id.IsEmpty())
        return false;
    embeddedName = id + KQString(".kqfx");
    const KQString entry = kqfxFolder + embeddedName;

    if (FindFile(entry) >= 0) {
        ClearError();
        parts.Delete(entry);
    }
    bool written = parts.WriteModel(entry, filePath);
    // Declaring or pointing controls at an entry that is not there would
    // leave the package naming a missing part.
    bool embedded = written && AddContentType(KQ_KQFX_PREFIX, 4) && !AddRelationship(embeddedName).IsEmpty();
    if (embedded) {
        KQString newValue(KQ_EMBEDDED_URL_TEMPLATE);
        newValue.Replace(KQ_EMBEDDED_TAG, id);
        embedded = SetViewerFileURL(fileURL, newValue) > 0;
    }
    if (!embedded)
        ForgetModel(id, embeddedName);
    return embedded;
}

void KQOpenXMLArchive::ForgetModel(const KQString& id, const KQString& fileName)
{
    // The list remembers only what was embedded, whichever step failed; the
    // copy and its relationship go with its entry. Each step is tried even
    // when an earlier one fails: a damaged part must not keep the others.
    ClearError();
    const KQString entry = kqfxFolder + fileName;
    if (FindFile(entry) >= 0)
        parts.Delete(entry);
    RemoveRelationshipsTo(relsPart, KQString("kqfxFiles/") + fileName);
    KQString forgotten(id);
    UpdateReferenceIds(forgotten, KQString(), false);
}

bool KQOpenXMLArchive::RemoveUnreferencedFiles()
{
    // The run that EmbedAll began ends here; alone, this is a run of its own.
    struct RunScope {
        KQOpenXMLRunParts& parts;
        ~RunScope() { parts.End(); }
    } scope{parts};
    if (!parts.Running())
        parts.Begin();

    KQStringArray referenced;
    CollectViewerFileURLs(referenced, true);
    // A control that could not be read may reference any of them.
    if (!parts.Controls().unread.empty())
        return false;

    KQStringArray entries;
    if (!FindFiles(rootFolder + KQString("\\kqfxFiles"), true, &entries))
        return false;

    KQStringArray removedIds, removedTargets;
    const int32 folderLength = kqfxFolder.GetLength();
    for (int32 i = 0; i < entries.GetCount(); ++i) {
        const KQString& name = entries[i];
        // The listing matches the folder as a plain prefix; a sibling folder
        // such as kqfxFilesOld is not ours.
        if (name.Compare(kqfxFolder, folderLength) != 0)
            continue;
        int32 start = name.FindChar('\\', -1, false) + 1;
        int32 end = name.Find(KQString(".kqfx"), start);
        if (end < 0)
            continue;
        KQString base = name.Mid(start, end - start);
        if (base.IsEmpty())
            base = KQString();
        if (referenced.FindSorted(base) >= 0)
            continue;
        ClearError();
        if (!parts.Delete(name))
            return false;
        KQString target = KQString("kqfxFiles/") + name.Mid(folderLength);
        target.ReplaceChar('\\', '/');
        removedIds.Add(base);
        removedTargets.Add(target);
    }

    for (int32 i = 0; i < removedIds.GetCount(); ++i) {
        // By Target: the relationship's Id need not equal the file's id once
        // an id has been handed out again.
        if (!RemoveRelationshipsTo(relsPart, removedTargets[i]))
            return false;
        if (!UpdateReferenceIds(removedIds[i], KQString(), false))
            return false;
    }
    return true;
}
