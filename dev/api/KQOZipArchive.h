// Zip archives over libzip: open (update, read-only, create), find and list
// entries, read and write entries as byte buffers, XML documents or images,
// delete entries, close.
//
// Entry names are presented with '\' between folders; they are stored with
// '/', as the zip format and every office suite expect. Every failure of the
// zip library becomes an error recorded on the archive and a false, -1 or
// null result; after such a failure the archive is closed without being
// written.
//
// Changes are written by Close through a temporary file beside the archive
// (its name with ".kqsave" added) that then replaces it, so a failed save
// leaves the original file as it was; the next opening for update removes
// such a file left by a save that was killed, and no other file of that
// name. An archive opened for update is held until it is closed: another
// opening for update, here or in another process, fails meanwhile (1105,
// "Archive is open for update elsewhere"); openings for reading do not. The
// temporary is flushed to the disk before it replaces the archive, and it
// takes over the archive's owner and group, extended attributes and ACL,
// and then its mode (on Windows, attributes, ACL, creation time and
// streams); one that cannot be given fails the save. Where this user cannot
// give the temporary the owner and group, its bytes are written into the
// archive itself instead, behind a flushed copy (".kqbackup" added) that
// only this user and the archive's owner may read. Should that save be
// stopped, KQRecoverStoppedSave puts the copy back only in this user's next
// run and only when the archive holds nothing but that save's bytes;
// otherwise it names the copy and changes nothing. A failed
// Close records 1106 and returns false; so does a save that finds the
// archive changed by another program since it was opened, an archive with
// more than one name (hard links), or a file added with WriteDataFromFile
// that changed. An archive opened through a symbolic
// link is written to the file the link names; a read-only file does not
// open for update.
#ifndef KQOZIPARCHIVE_H
#define KQOZIPARCHIVE_H

#include "KQOTypes.h"
#include "KQOString.h"
#include "KQOObject.h"
#include "KQOError.h"
#include "KQOArray.h"
#include "KQOXml.h"
#include "KQOZipDirectoryBounds.h"

#include <memory>
#include <string>

struct zip_source;
struct zip_error;
struct KQZipHandle;
struct KQZipPending;
class KQRGBImage;

// An archive held in memory, which OpenAbstractFile opens instead of a file.
// It owns its bytes; a Close that writes the archive replaces them with the
// new archive. Not to be changed while an archive is open on it.
class KQZipMemorySource {
public:
    KQZipMemorySource();
    ~KQZipMemorySource();
    KQZipMemorySource(const KQZipMemorySource&) = delete;
    KQZipMemorySource& operator=(const KQZipMemorySource&) = delete;

    // Replaces the content with a copy of size bytes. False when memory runs
    // out; the source is then empty.
    bool SetData(const void* data, uint32 size);
    // A copy of the current bytes from malloc, released by the caller with
    // free; null with *size 0 when the source is empty.
    ubyte* CopyData(uint32* size) const;

    zip_source* GetSource() const { return source; }

private:
    zip_source* source;
};

class KQZipArchive : public KQObject, public KQErrorBase {
public:
    KQZipArchive();
    ~KQZipArchive() override;

    // Only level is kept: libzip has no smartness nor buffer sizes to take the rest.
    void SetAddFileSettings(int32 level, int32 smartness, int32 addBufferSize, int32 otherBufferSize);

    // Modes: 0 open an existing archive for update, 1 open it read-only,
    // 2 create a new archive; any other mode opens nothing.
    virtual bool OpenAbstractFile(KQZipMemorySource* source, int32 mode);
    virtual bool Open(const KQString& path, int32 mode);
    // Writes a changed archive. True when closed already or when the write
    // succeeded; false with error 1106 when it failed (the archive is closed
    // anyway and the file on disk is left as it was).
    virtual bool Close();

    // Opens again what was opened last: read-only stays read-only, anything
    // else reopens for update. The caller closes first.
    bool Reopen();
    bool IsClosed() const;
    bool IsReadOnly() const { return readOnly; }

    // Index of the entry, comparing names without regard to ASCII case and
    // with '/' and '\' alike; -1 when absent.
    int32 FindFile(const KQString& name);
    // No hash table is kept, so always -1: FindFile serves every lookup.
    int32 FindFileHash(const KQString& name);
    // Appends the names of the entries in folder (and, when recursive, in
    // its subfolders) to names, in archive order. folder is compared byte for
    // byte as a prefix of each entry's folder part.
    bool FindFiles(const KQString& folder, bool recursive, KQStringArray* names);

    // The entry's bytes in a block from malloc that the caller releases with
    // free; null on failure and for an empty entry. size may be null.
    ubyte* ReadDataRaw(const KQString& name, int32* size);
    // Adds an entry with a copy of the data (the caller keeps its block). An
    // entry of that name must not exist yet: delete it first to replace it.
    bool WriteDataRaw(const KQString& name, const void* data, uint32 size);
    // Adds an entry whose bytes are read from the file at path when the
    // archive is written, so the file is never held in memory. Close fails
    // (1106, the archive on disk as it was) when the file is gone or no
    // longer has the size and time it had here.
    bool WriteDataFromFile(const KQString& name, const KQString& path);
    // Parses the entry into doc, adding to what doc holds (KQXmlParse). A
    // part beyond KQ_XML_PART_BOUNDS (or bounds) is refused by the parse
    // that builds it, as one that does not parse is, and doc keeps what it
    // held; why (may be null) receives the reason in words that follow the
    // part's name, empty on success; seen (may be null) what the parse
    // found (its verdict, and for a part parsed what its tree holds).
    bool ReadXmlFile(const KQString& name, KQXmlDocument* doc);
    bool ReadXmlFile(const KQString& name, KQXmlDocument* doc, const KQXmlBounds& bounds, KQString* why,
                     KQXmlShape* seen = nullptr);
    // Prints doc with one tab per level into the entry; an existing entry is
    // replaced only when overwrite is set.
    bool WriteXmlFile(const KQString& name, KQXmlDocument* doc, bool overwrite);
    // Like WriteXmlFile, but doc is printed only when the entry is read or
    // the archive is written: a document rewritten many times in one session
    // is printed and compressed once. Its state then is what is stored, so
    // the caller changes it only to write it again.
    bool WriteXmlFileAtClose(const KQString& name, const std::shared_ptr<const TiXmlDocument>& doc, bool overwrite);
    // A ".raw" entry (int32 width, int32 height, little-endian, then the
    // pixel bytes) or a JPEG picture.
    bool ReadImage(const KQString& name, KQRGBImage* image);
    bool Delete(const KQString& name);
    // Grows with every entry added or deleted and every open and close: a
    // caller that keeps what it read can tell whether anything changed since.
    uint32 ChangeCount() const;

    // Process-wide flag per name: flag 255 asks for the stored flag (255 when
    // none is stored), any other value stores it and is returned.
    static ubyte NameFlag(const KQString& name, ubyte flag);

protected:
    KQString fileName;
    KQZipMemorySource* memorySource;
    bool readOnly;
    KQZipHandle* zip;
    int32 compressionLevel;

private:
    KQZipArchive(const KQZipArchive&) = delete;
    KQZipArchive& operator=(const KQZipArchive&) = delete;

    enum AddResult { ADD_OK, ADD_REFUSED, ADD_LIBRARY_ERROR };
    AddResult AddEntry(const KQString& name, const void* data, uint32 size, int32 level, KQString& libraryText);
    AddResult AddPending(const KQString& name, const std::shared_ptr<KQZipPending>& pendingData, int32 level,
                         KQString& libraryText);
    // True, with the error recorded, when no data entry may be added now.
    bool RefuseDataWrite(const KQString& name);
    bool DataWritten(AddResult result, const KQString& libraryText, const KQString& name, bool empty);
    bool WriteXml(const KQString& name, const TiXmlDocument* doc, const std::shared_ptr<const TiXmlDocument>& shared,
                  bool overwrite);
    // Opens the library archive on source (whose reference it takes, also
    // on failure); error holds why a source could not be made.
    bool OpenOn(zip_source* source, zip_error* error, int32 mode, int32 failureLine, int32 closedLine);
    void Discard();
    // What a failed open or save reports: the reason the archive's sources
    // gave in words (in the local code page, as reports are), or the
    // library's text for its error.
    std::string FailureText(zip_error* error) const;
    bool LibraryFailure(const char* label, int32 line, int32 code, const char* description);
};

char KQPathSeparator();

// Whether the file at path is a zip archive, its directory within bounds,
// that lists an entry of that name, compared as FindFile compares names.
// Only the end records and the directory are read, never an entry's data.
bool KQZipListsEntry(const KQString& path, const KQString& name, const KQZipDirectoryBounds& bounds);

// Puts back what a save of the archive at path left when it was stopped
// while it wrote into the file itself (as a save does where the runner may
// write the file but not give a new one its owner), when this user's own
// save left it and nothing else happened since. KQ_STOPPED_SAVE_NONE when
// nothing was left, it was put back, or the archive is being saved by
// another run right now. KQ_STOPPED_SAVE_ELSEWHERE when the archive may be
// incomplete: *document names the file that holds the archive as it was
// before that save and *written the one that save wrote; nothing was
// changed. KQ_STOPPED_SAVE_MISSING when the archive is missing from its
// name beside what a save stopped while it replaced the archive left (as
// on Windows, between the replace's two renames): the same two names,
// either empty when it is not there; those files are not touched. Names
// are in the local code page, as a report shows them.
enum KQStoppedSave { KQ_STOPPED_SAVE_NONE, KQ_STOPPED_SAVE_ELSEWHERE, KQ_STOPPED_SAVE_MISSING };
KQStoppedSave KQRecoverStoppedSave(const KQString& path, KQString* document, KQString* written);

// When set, called by every save just before its written temporary takes
// the place of the archive (named in UTF-8, links resolved): tests act
// there as another program would while a save is under way.
typedef void (*KQZipSaveHook)(const char* archive);
// How the message of an Open for update begins when the archive could not
// be held for a reason other than another holder (the reason follows): the
// archive may be on a file system that does not lock.
#define KQ_ZIP_LOCK_REFUSED "Archive could not be locked against other programs' saves: "

void KQSetZipSaveHook(KQZipSaveHook hook);

#endif
