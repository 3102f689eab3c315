// File-system operations of the host that the C runtime does not offer alike
// on every host.
//
// Names: KQ_fopen takes a name in the ANSI code page, as the Windows
// runtime's narrow functions do (elsewhere it becomes the host's UTF-8
// name). Functions ending in Utf8 take UTF-8 names, the form the zip library
// takes on every host; those ending in W take wide names.
#ifndef KQFILESYSTEM_H
#define KQFILESYSTEM_H

#include <cstdio>
#include <string>

FILE* KQ_fopen(const char* name, const char* mode);

enum KQFileKind {
    KQ_FILE_MISSING,  // nothing there, or nothing that can be asked about
    KQ_FILE_REGULAR,
    KQ_FILE_OTHER  // a folder, a device, a pipe, a socket (or, unfollowed, a link)
};
// What name designates, found without opening it (so a pipe cannot block
// the caller). followLinks false tells a link apart from what it names.
KQFileKind KQFileKindUtf8(const std::string& name, bool followLinks = true);
KQFileKind KQFileKindA(const char* name);  // name in the ANSI code page
KQFileKind KQFileKindW(const wchar_t* name);

// The file that name finally designates when name is a symbolic link;
// otherwise name itself.
std::string KQResolveLinksUtf8(const std::string& name);
// True when the existing file may not be changed: its read-only attribute
// (Windows), or no write permission for anyone or for this user.
bool KQIsReadOnlyFileUtf8(const std::string& name);

// A regular file opened for reading ("rb"); anything else (a folder, a
// device, a pipe, which could block the open) is refused with EINVAL
// without waiting. The name in UTF-8, in the ANSI code page, or wide.
FILE* KQOpenFileForReadingUtf8(const std::string& name);
FILE* KQOpenFileForReadingA(const char* name);
FILE* KQOpenFileForReadingW(const wchar_t* name);
// 0 or an error number.
int KQRemoveFileUtf8(const std::string& name);

// What tells one state of a file from another: which file it is (device and
// index), its size, and its modification and change times in the finest
// grain the host keeps (nanoseconds; 100 ns on Windows). A rewrite of the
// same size within one second, or a file renamed over another with its
// modification time set back, still differs in change time or identity.
struct KQFileStamp {
    unsigned long long device = 0;
    unsigned long long index = 0;
    unsigned long long size = 0;
    long long modified = 0;
    long long changed = 0;
    unsigned long links = 0;

    bool SameFile(const KQFileStamp& other) const { return device == other.device && index == other.index; }
    // A name added or removed tells a change as well: the file then has
    // names that a save cannot keep together.
    // The same file with the bytes and names it had; its change time aside,
    // which a rename sets.
    bool SameContent(const KQFileStamp& other) const
    {
        return SameFile(other) && size == other.size && modified == other.modified && links == other.links;
    }
    bool operator==(const KQFileStamp& other) const { return SameContent(other) && changed == other.changed; }
    bool operator!=(const KQFileStamp& other) const { return !(*this == other); }
};
// False when name (links followed) cannot be asked about.
bool KQFileStampUtf8(const std::string& name, KQFileStamp* stamp);
bool KQFileStampOfStream(FILE* stream, KQFileStamp* stamp);

// A file that a run holds because it will replace it. While one run holds
// it no other run does: on Windows the open handle keeps other writers out
// and a claim on the file's name (taken first, kept until the release, also
// while a replace has moved the file aside) keeps other runs out, elsewhere an advisory lock that every run takes keeps
// other runs out (on a descriptor open for writing where this user may write the file, as network file systems lock
// only such). Readers are not kept out.
struct KQHeldFile;
// Holds the existing regular file name (links resolved by the caller). Null
// with *error EBUSY when another run holds it, else what opening or locking
// it gave; *locking is set when the lock itself was refused (the file did
// open), so that the caller can say so.
KQHeldFile* KQHoldFileUtf8(const std::string& name, int* error, bool* locking = nullptr);
void KQReleaseFile(KQHeldFile* held);
// The file as it was when it was held.
const KQFileStamp& KQHeldFileStamp(const KQHeldFile* held);
// True when name still designates the held file and its stamp is the one it
// had when it was held (size, times, names).
bool KQHeldFileUnchangedUtf8(const KQHeldFile* held, const std::string& name);

// The temporary that a save writes and that then replaces the held file.
// It is created marked as a save's temporary, so that a leftover of a run
// stopped while saving can be told apart from anyone else's file.
struct KQSaveFile;
// Creates name, which must not exist yet, for binary writing, readable and
// writable by this user only until the commit gives it the rights of model
// (null for a new file). Null on failure, with the C runtime's error number
// in *error and, where a right of model could not be given, its name in
// *what.
KQSaveFile* KQCreateSaveFileUtf8(const std::string& name, const KQHeldFile* model, int* error,
                                 std::string* what = nullptr);
FILE* KQSaveFileStream(KQSaveFile* file);
// Writes to, or moves in, the temporary; 0 or an error number. A move
// first writes out what is buffered, so that a full disk is told as such.
int KQWriteSaveFile(KQSaveFile* file, const void* data, size_t size);
int KQFlushSaveFileBuffer(KQSaveFile* file);

enum KQSaveResult {
    KQ_SAVE_DONE,
    KQ_SAVE_WRITE_FAILED,        // the data did not reach the disk
    KQ_SAVE_TEMPORARY_REPLACED,  // the name no longer designates the file written
    KQ_SAVE_TARGET_CHANGED,      // target is no longer what was held
    KQ_SAVE_NOT_KEPT,            // a right or attribute of target could not be given to the new file
    KQ_SAVE_REPLACE_FAILED,
    KQ_SAVE_DOCUMENT_ELSEWHERE,  // the replace failed midway: the document is only under another name
    // The backup copy of an in-place save cannot be given exactly the
    // rights it needs (readable by the file's owner, by nobody else who may
    // not read the file); nothing was written, KQSaveFileDetail says why.
    KQ_SAVE_BACKUP_REFUSED,
    // Another program wrote into target while an in-place save overwrote
    // it: what target held before is under KQSaveFileDetail, the new file
    // under the temporary's name.
    KQ_SAVE_WRITTEN_MEANWHILE
};
// Makes the written file durable, gives it what the held file carries that
// an in-place save keeps (owner and group, extended attributes and ACL,
// then the mode; on Windows attributes, ACL, creation time and streams),
// checks that name and target still are what they were, and puts it in the
// place of target in one step. held may be null for a target that did not
// exist. The error number of a failed step is in *error, and
// KQSaveFileDetail names what could not be kept (KQ_SAVE_NOT_KEPT) or
// where the document is (KQ_SAVE_DOCUMENT_ELSEWHERE). On any other failure
// target is as it was; the written file is left to KQAbandonSaveFile.
KQSaveResult KQCommitSaveFileUtf8(KQSaveFile* file, const std::string& target, KQHeldFile* held, int* error);
const std::string& KQSaveFileDetail(const KQSaveFile* file);
// Closes the file and removes it while it still is the one created, then
// releases it. Null is allowed.
void KQAbandonSaveFile(KQSaveFile* file);

// What is under a temporary's name when a save needs it.
enum KQLeftover {
    KQ_LEFTOVER_NONE,      // nothing, or what a stopped save left, now removed
    KQ_LEFTOVER_FOREIGN,   // a file that no save wrote
    KQ_LEFTOVER_UNPROVEN,  // a file that no save can be proven to have written
    KQ_LEFTOVER_IN_USE     // a live save's temporary
};
// Removes name when it is a temporary that a save left when it was
// stopped (held: the file it was to replace, held by the caller, or null);
// anything else stays, and the result says what it is. The file removed is
// the one checked: one moved under name meanwhile stays.
KQLeftover KQReclaimLeftoverUtf8(const std::string& name, KQHeldFile* held = nullptr);

// What a save of target that was stopped while it wrote into the file
// itself left behind (a copy of the file's bytes beside it, and the new
// file under the name temporary). Nothing is looked at unless target can
// be held: while another run holds it the result is KQ_RECOVERY_NONE. The
// copy is put back only when this user wrote both and nobody else could
// write them since, and target holds nothing but the new file's bytes up to
// some point and the copy's after it; where target is the copy or the new
// file whole, a copy of this user's goes. Anything else is left as it is,
// and KQ_RECOVERY_ELSEWHERE names the copy in *document.
// KQ_RECOVERY_MISSING: target is not there and no save of it is under way
// (a replace stopped between its renames leaves it so, on Windows):
// *document names the copy of it that such a replace keeps beside it, or
// is empty when there is none. Nothing is touched.
enum KQRecovery { KQ_RECOVERY_NONE, KQ_RECOVERY_RESTORED, KQ_RECOVERY_ELSEWHERE, KQ_RECOVERY_MISSING };
KQRecovery KQRecoverStoppedSaveUtf8(const std::string& target, const std::string& temporary,
                                    std::string* document);

// Test seam: every step of a save asks the hook first, with the file it
// acts on. A hook returns 0 to let the step run (it may act as another
// program would, just before it), or an error number that the step then
// fails with. None is set unless a test sets one.
enum KQSaveStep {
    KQ_STEP_CREATE,        // creating the temporary
    KQ_STEP_WRITE,         // each write to the temporary
    KQ_STEP_FLUSH,         // each flush of a file to the disk
    KQ_STEP_OWNER,         // giving the temporary the owner and group
    KQ_STEP_ATTRIBUTE,     // each extended attribute other than the ACL
    KQ_STEP_ACL,           // the access ACL
    KQ_STEP_MODE,          // the permission bits
    KQ_STEP_REPLACE,       // after the last check (on Windows, once the file is let go): the rename or replace
    KQ_STEP_FOLDER_FLUSH,  // making the rename durable
    KQ_STEP_BACKUP,        // each write of the backup copy of an in-place save
    KQ_STEP_IN_PLACE,      // each write into the package of an in-place save
    KQ_STEP_RENAME         // each rename or link that must not replace a file (the file: the new name)
};
typedef int (*KQSaveStepHook)(KQSaveStep step, const char* file);
void KQSetSaveStepHook(KQSaveStepHook hook);
int KQSaveStepError(KQSaveStep step, const std::string& file);

#endif
