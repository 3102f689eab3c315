// Zip archives over libzip.
//
// libzip reads the data of added entries only when the archive is closed,
// and it refuses to read back an entry changed since opening. So every added
// entry keeps what it is made of here, shared between the libzip source that
// writes it at Close and the reads of this session: its own copy of the
// bytes, a document printed when it is written, or the name of a file read
// when it is written (so a model of any size costs no memory).
#include "KQOZipArchive.h"

#include <zip.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "KQAnsiText.h"
#include "KQFileSystem.h"
#include "KQOFile.h"
#include "KQOImage.h"
#include "KQOJpeg.h"
#include "KQOKeyedHash.h"
#include "KQOZipDirectoryBounds.h"
#include "KQOZipEntryReader.h"

namespace {

const char* const kSourceFile = ".\\KQOZipArchive";
const char* const kLibraryPrefix = "Error returned from file access library : ";

const int32 kErrGeneral = 1001;
const int32 kErrIllegalParameters = 1004;
const int32 kErrNoData = 1006;
const int32 kErrFileNotFound = 1101;
const int32 kErrFileCreation = 1102;
const int32 kErrNoFileName = 1103;
const int32 kErrFileOpen = 1104;
const int32 kErrFileRead = 1105;
const int32 kErrFileWrite = 1106;
const int32 kErrReadOnly = 1254;

// Lines that name the reporting sites, not lines of this file: stored
// reports and callers know the sites by them.
const int32 kLineOpenWhileOpen = 290;
const int32 kLineOpenNoPath = 291;
const int32 kLineOpenMissingForUpdate = 309;
const int32 kLineOpenMissingForReading = 316;
const int32 kLineOpenLibrary = 336;
const int32 kLineOpenStillClosed = 340;
const int32 kLineOpenSourceWhileOpen = 366;
const int32 kLineOpenSourceLibrary = 395;
const int32 kLineOpenSourceStillClosed = 399;
const int32 kLineClose = 440;
const int32 kLineFindClosed = 549;
const int32 kLineFindNoName = 555;
const int32 kLineFindLibrary = 576;
const int32 kLineFindFilesNoArray = 650;
const int32 kLineReadRawNotFound = 799;
const int32 kLineReadRawLibrary = 823;
const int32 kLineWriteRawClosed = 1379;
const int32 kLineWriteRawReadOnly = 1380;
const int32 kLineWriteRawNoName = 1381;
const int32 kLineWriteRawRefused = 1398;
const int32 kLineWriteRawEmptyRefused = 1404;
const int32 kLineWriteRawLibrary = 1412;
const int32 kLineWriteXmlClosed = 1475;
const int32 kLineWriteXmlReadOnly = 1476;
const int32 kLineWriteXmlNoName = 1477;
const int32 kLineWriteXmlNoDocument = 1478;
const int32 kLineWriteXmlExists = 1486;
const int32 kLineWriteXmlRefused = 1502;
const int32 kLineWriteXmlLibrary = 1509;
const int32 kLineReadXmlNoDocument = 1535;
const int32 kLineReadXmlUnread = 1544;
const int32 kLineReadXmlParse = 1578;
const int32 kLineReadImageNoImage = 1611;
const int32 kLineReadImageUnread = 1615;
const int32 kLineReadImageShortRaw = 1622;
const int32 kLineReadImageUndecoded = 1630;
const int32 kLineDeleteAfterError = 1703;
const int32 kLineDeleteLibrary = 1715;

KQString Location(const char* label, int32 line)
{
    return KQErrorLocation(kSourceFile, label, line);
}

// libzip's description of one of its error codes.
KQString LibraryText(int code)
{
    zip_error_t error;
    zip_error_init_with_code(&error, code);
    KQString text(zip_error_strerror(&error));
    zip_error_fini(&error);
    return text;
}

// The text a whole read that failed reports: the source's own (why) when it
// failed, else the library's for what went wrong; empty after a read.
template <typename Why>
KQString ReadFailure(KQEntryReadResult result, int mismatch, Why why)
{
    switch (result) {
    case KQ_ENTRY_READ:
        return KQString();
    case KQ_ENTRY_READ_FAILED:
        return why();
    case KQ_ENTRY_SIZE_MISMATCH:
        return LibraryText(mismatch);
    case KQ_ENTRY_BAD_CRC:
        return LibraryText(ZIP_ER_CRC);
    default:
        return LibraryText(ZIP_ER_MEMORY);
    }
}

}  // namespace

// What an entry added in this session is made of: bytes, a document to
// print, or a file to read. mtime is the entry's time stamp.
struct KQZipPending {
    std::vector<ubyte> bytes;
    std::shared_ptr<const TiXmlDocument> document;
    // The entry a document is printed for, as a failure to print names it
    // (in UTF-8).
    std::string name;
    // The file, named in UTF-8, with what it was when the entry was added: a
    // file that is no longer that (another size, time or change time, or
    // another file under the name) is not what the caller added, and writing
    // it fails.
    std::string path;
    KQFileStamp fileStamp;
    bool fromFile = false;
    time_t mtime = 0;
};

namespace {

// The text of a document as WriteXmlFile stores it. A part that would not
// read again as the same tree, or only beyond the bounds of a part read, is
// not written: false, with why in words after the part's name (empty when
// memory ran out).
bool PrintDocument(const TiXmlDocument& document, std::string& text, std::string& why)
{
    why.clear();
    const KQXmlBounds& bounds = KQ_XML_PART_BOUNDS;
    KQXmlShape shape;
    bool tooLarge = false;
    std::string unwritable;
    if (!KQXmlPrint(document, text, bounds.bytes, &tooLarge, &unwritable)) {
        if (!unwritable.empty()) {
            why = unwritable;
            return false;
        }
        if (!tooLarge)
            return false;
        shape.verdict = KQ_XML_TOO_LARGE;
    } else {
        // Read back as the next run reads it, with white space kept (a run
        // may read it either way; condensing only takes from texts).
        TiXmlDocument again;
        shape = KQXmlParse(text.c_str(), text.size(), bounds, again, false);
        if (shape.verdict == KQ_XML_NO_MEMORY)
            return false;
        if (shape.verdict == KQ_XML_ADMITTED) {
            if (KQXmlSameTree(document, again))
                return true;
            text.clear();
            text.shrink_to_fit();
            why = "would not read back as the same document";
            return false;
        }
    }
    text.clear();
    text.shrink_to_fit();
    why = std::string("would be written as a part that ") + KQXmlVerdictText(shape, bounds).CStr();
    return false;
}

const zip_uint64_t kNotPrinted = ~static_cast<zip_uint64_t>(0);

// State of one libzip source serving a KQZipPending.
struct PendingSource {
    std::shared_ptr<const KQZipPending> data;
    zip_uint64_t offset = 0;
    zip_error_t error;
    // A document's text, printed when the entry is read, and let go when it
    // has been read; its size is kept.
    std::string printed;
    bool isPrinted = false;
    zip_uint64_t printedSize = kNotPrinted;
    // The open file of a file entry.
    FILE* file = nullptr;
    // Where the reason of a failure is told in words; may be null.
    std::shared_ptr<std::string> note;
};

// Takes over the error that a source of libzip reported.
void CopyError(zip_error_t* to, zip_error_t* from)
{
    zip_error_set(to, zip_error_code_zip(from), zip_error_code_system(from));
}

void CloseFile(PendingSource* state)
{
    if (state->file) {
        fclose(state->file);
        state->file = nullptr;
    }
}

// Fails the read of a file entry whose file is no longer what was added,
// naming the file.
zip_int64_t FileChanged(PendingSource* state)
{
    zip_error_set(&state->error, ZIP_ER_CHANGED, 0);
    if (state->note)
        *state->note = "File '" + state->data->path + "' changed since it was added";
    return -1;
}

// Opens a file entry's file, refusing one that changed since it was added.
// What is compared is the open file itself, so nothing can come between
// the comparison and the reading.
bool OpenFile(PendingSource* state)
{
    const KQZipPending& data = *state->data;
    CloseFile(state);
    FILE* file = KQOpenFileForReadingUtf8(data.path);
    if (!file) {
        zip_error_set(&state->error, errno == ENOENT ? ZIP_ER_NOENT : ZIP_ER_OPEN, errno);
        return false;
    }
    KQFileStamp now;
    if (!KQFileStampOfStream(file, &now) || now != data.fileStamp) {
        fclose(file);
        FileChanged(state);
        return false;
    }
    state->file = file;
    return true;
}

// Prints a document entry's text unless it is printed.
bool PrintPending(PendingSource* state)
{
    const KQZipPending& data = *state->data;
    if (state->isPrinted)
        return true;
    std::string why;
    if (!PrintDocument(*data.document, state->printed, why)) {
        zip_error_set(&state->error, why.empty() ? ZIP_ER_MEMORY : ZIP_ER_INCONS, 0);
        if (state->note && !why.empty())
            *state->note = "Xml file '" + data.name + "' " + why;
        return false;
    }
    state->isPrinted = true;
    state->printedSize = state->printed.size();
    return true;
}

// The entry's size; a document is printed for it the first time.
bool PendingSize(PendingSource* state, zip_uint64_t& size)
{
    const KQZipPending& data = *state->data;
    if (data.fromFile) {
        size = data.fileStamp.size;
        return true;
    }
    if (data.document) {
        if (state->printedSize == kNotPrinted && !PrintPending(state))
            return false;
        size = state->printedSize;
        return true;
    }
    size = data.bytes.size();
    return true;
}

zip_int64_t ReadPendingFile(PendingSource* state, void* out, zip_uint64_t len)
{
    const KQZipPending& data = *state->data;
    if (!state->file) {
        zip_error_set(&state->error, ZIP_ER_INTERNAL, 0);
        return -1;
    }
    // Asking for one byte more than is left shows a file that grew.
    zip_uint64_t left = data.fileStamp.size - state->offset;
    zip_uint64_t want = len <= left ? len : left + 1;
    size_t n = fread(out, 1, static_cast<size_t>(want), state->file);
    if (n < want && ferror(state->file)) {
        zip_error_set(&state->error, ZIP_ER_READ, errno);
        return -1;
    }
    if (n > left || (n == 0 && left > 0 && len > 0))
        return FileChanged(state);
    // A file rewritten while it was read shows in its stamp at the end.
    KQFileStamp now;
    if (n == left && (!KQFileStampOfStream(state->file, &now) || now != data.fileStamp))
        return FileChanged(state);
    state->offset += n;
    return static_cast<zip_int64_t>(n);
}

zip_int64_t PendingSourceCallback(void* userdata, void* out, zip_uint64_t len, zip_source_cmd_t cmd)
{
    PendingSource* state = static_cast<PendingSource*>(userdata);
    switch (cmd) {
    case ZIP_SOURCE_OPEN: {
        state->offset = 0;
        zip_uint64_t size = 0;
        if (!PendingSize(state, size))
            return -1;
        if (state->data->document && !PrintPending(state))
            return -1;
        if (state->data->fromFile && !OpenFile(state))
            return -1;
        return 0;
    }
    case ZIP_SOURCE_READ: {
        if (len > static_cast<zip_uint64_t>(ZIP_INT64_MAX))
            len = static_cast<zip_uint64_t>(ZIP_INT64_MAX);
        const KQZipPending& data = *state->data;
        if (data.fromFile)
            return ReadPendingFile(state, out, len);
        const ubyte* bytes = data.bytes.data();
        zip_uint64_t size = data.bytes.size();
        if (data.document) {
            bytes = reinterpret_cast<const ubyte*>(state->printed.data());
            size = state->printed.size();
        }
        zip_uint64_t n = size - state->offset;
        if (n > len)
            n = len;
        if (n > 0)
            memcpy(out, bytes + state->offset, static_cast<size_t>(n));
        state->offset += n;
        return static_cast<zip_int64_t>(n);
    }
    case ZIP_SOURCE_CLOSE:
        CloseFile(state);
        // One document's text at a time: printed again if read again.
        if (state->data->document) {
            state->printed.clear();
            state->printed.shrink_to_fit();
            state->isPrinted = false;
        }
        return 0;
    case ZIP_SOURCE_STAT: {
        if (len < sizeof(zip_stat_t)) {
            zip_error_set(&state->error, ZIP_ER_INVAL, 0);
            return -1;
        }
        zip_uint64_t size = 0;
        if (!PendingSize(state, size))
            return -1;
        zip_stat_t* st = static_cast<zip_stat_t*>(out);
        zip_stat_init(st);
        st->size = size;
        st->mtime = state->data->mtime;
        st->valid |= ZIP_STAT_SIZE | ZIP_STAT_MTIME;
        return sizeof(zip_stat_t);
    }
    case ZIP_SOURCE_ERROR:
        return zip_error_to_data(&state->error, out, len);
    case ZIP_SOURCE_FREE:
        CloseFile(state);
        zip_error_fini(&state->error);
        delete state;
        return 0;
    case ZIP_SOURCE_SUPPORTS:
        return zip_source_make_command_bitmap(ZIP_SOURCE_OPEN, ZIP_SOURCE_READ, ZIP_SOURCE_CLOSE, ZIP_SOURCE_STAT,
                                              ZIP_SOURCE_ERROR, ZIP_SOURCE_FREE, -1);
    default:
        zip_error_set(&state->error, ZIP_ER_OPNOTSUPP, 0);
        return -1;
    }
}

// A package opened for update is saved through a temporary file of our own
// beside the file it replaces: libzip's own temporary gets a random name,
// so one left behind by a killed run could never be told apart from a file
// of the user's. Ours has one fixed name per package and carries a mark
// until it has replaced the package; a leftover is removed only when it
// bears that mark and no live save holds it. The package is held from the
// opening to the end of the save, so no two runs ever write the temporary
// at once.
// The package's bytes are read through libzip's file source.
const char* const kSaveSuffix = ".kqsave";

struct SaveSource {
    zip_source_t* reader;  // libzip's source of the file's present bytes
    std::string target;    // the file replaced at commit, links resolved
    std::string temporary;
    KQHeldFile* held;  // the package, held until the source is freed
    KQSaveFile* out;   // the temporary while it is ours
    std::shared_ptr<std::string> note;
    zip_error_t error;
};

// Sets a library error code together with the text a failed Close or Open
// reports instead of the library's own.
zip_int64_t FailWithNote(zip_error_t* error, const std::shared_ptr<std::string>& note, int code,
                         const std::string& text)
{
    zip_error_set(error, code, 0);
    if (note)
        *note = text;
    return -1;
}

zip_int64_t FromReader(SaveSource* state, zip_int64_t result)
{
    if (result < 0)
        CopyError(&state->error, zip_source_error(state->reader));
    return result;
}

// Closes and removes a temporary that will not replace the file.
void AbandonTemporary(SaveSource* state)
{
    KQAbandonSaveFile(state->out);
    state->out = nullptr;
}

KQZipSaveHook saveHook = nullptr;

// A right or attribute of the archive that the new file could not be given.
zip_int64_t NotKept(SaveSource* state, const std::string& what, int code)
{
    return FailWithNote(&state->error, state->note, ZIP_ER_WRITE,
                        "The " + what + " of the archive could not be kept (" + strerror(code) +
                            "); the archive is left as it was");
}

// What a save says of a file under a name it needs that it will not remove.
std::string InTheWay(const std::string& name, KQLeftover leftover)
{
    switch (leftover) {
    case KQ_LEFTOVER_IN_USE:
        return "The file '" + name + "' that the save needs is in use by another save; run again when it has ended";
    case KQ_LEFTOVER_FOREIGN:
        return "The file '" + name +
               "' is in the way of the save. Corvessa did not write it, so it is left alone; remove it if you do "
               "not need it, then run again";
    default:
        return "The file '" + name +
               "' is in the way of the save. Corvessa cannot prove that it wrote it, so it is left alone; remove "
               "it if you do not need it, then run again";
    }
}

// A write that failed: a full disk or a size limit is told by its cause,
// anything else as the library tells a write error.
zip_int64_t WriteFailed(SaveSource* state, int code)
{
    const char* what = nullptr;
    switch (code) {
    case ENOSPC:
        what = "The disk is full: the new archive does not fit on it";
        break;
#ifdef EDQUOT
    case EDQUOT:
        what = "The disk quota is used up: the new archive does not fit in it";
        break;
#endif
    case EFBIG:
        what = "The new archive is larger than this system lets a file grow";
        break;
    default:
        zip_error_set(&state->error, ZIP_ER_WRITE, code);
        return -1;
    }
    return FailWithNote(&state->error, state->note, ZIP_ER_WRITE, std::string(what) + " (" + strerror(code) + ")");
}

// Puts the written temporary in the place of the package.
zip_int64_t CommitTemporary(SaveSource* state)
{
    // libzip has read all it needs of the package and closed it: the reader
    // lets go of the file now. On Windows a file that a reader holds can be
    // neither replaced by this save nor by another program's rename, which
    // the check after the last one must meet rather than have refused.
    zip_source_free(state->reader);
    state->reader = nullptr;
    if (saveHook)
        saveHook(state->target.c_str());
    int code = 0;
    KQSaveResult result = KQCommitSaveFileUtf8(state->out, state->target, state->held, &code);
    const std::string detail = KQSaveFileDetail(state->out);
    switch (result) {
    case KQ_SAVE_DONE:
        AbandonTemporary(state);
        return 0;
    case KQ_SAVE_WRITE_FAILED:
        return WriteFailed(state, code);
    case KQ_SAVE_TEMPORARY_REPLACED:
        return FailWithNote(&state->error, state->note, ZIP_ER_RENAME,
                            "Temporary file '" + state->temporary + "' was replaced by another program");
    case KQ_SAVE_TARGET_CHANGED:
        return FailWithNote(&state->error, state->note, ZIP_ER_CHANGED,
                            "Archive was changed by another program since it was opened");
    case KQ_SAVE_NOT_KEPT:
        return NotKept(state, detail, code);
    case KQ_SAVE_DOCUMENT_ELSEWHERE:
        // Where the swap could not be undone the new archive has the
        // archive's name and the replaced one the temporary's.
        return FailWithNote(&state->error, state->note, ZIP_ER_RENAME,
                            "The archive could not be put in place (" + std::string(strerror(code)) +
                                "): the archive as it was is now the file '" + detail +
                                "', and the new archive the file '" +
                                (detail == state->temporary ? state->target : state->temporary) + "'");
    case KQ_SAVE_BACKUP_REFUSED:
        return FailWithNote(&state->error, state->note, ZIP_ER_WRITE,
                            "The archive can only be written in place here, behind a copy that its owner may read "
                            "and nobody else, and that copy cannot be made so: " +
                                detail + " (" + strerror(code) + "); nothing was written");
    case KQ_SAVE_WRITTEN_MEANWHILE:
        return FailWithNote(&state->error, state->note, ZIP_ER_CHANGED,
                            "Archive was written by another program while this save wrote into it; the archive as "
                            "it was before this save is in the file '" +
                                detail + "', and the new archive in the file '" + state->temporary + "'");
    default:
        if (code == EEXIST && !detail.empty())
            return FailWithNote(&state->error, state->note, ZIP_ER_RENAME, InTheWay(detail, KQ_LEFTOVER_UNPROVEN));
        zip_error_set(&state->error, ZIP_ER_RENAME, code);
        return -1;
    }
}

// Reading the package as it is now is the job of libzip's file source;
// any command that is neither reading nor writing is not supported.
zip_int64_t ReadPackage(SaveSource* state, void* data, zip_uint64_t len, zip_source_cmd_t cmd)
{
    if (!state->reader) {
        // Let go at the commit: nothing is read after it.
        if (cmd == ZIP_SOURCE_CLOSE)
            return 0;
        zip_error_set(&state->error, ZIP_ER_INTERNAL, 0);
        return -1;
    }
    switch (cmd) {
    case ZIP_SOURCE_OPEN:
        return FromReader(state, zip_source_open(state->reader));
    case ZIP_SOURCE_READ:
        return FromReader(state, zip_source_read(state->reader, data, len));
    case ZIP_SOURCE_SEEK: {
        zip_source_args_seek_t* args = ZIP_SOURCE_GET_ARGS(zip_source_args_seek_t, data, len, &state->error);
        if (!args)
            return -1;
        return FromReader(state, zip_source_seek(state->reader, args->offset, args->whence));
    }
    case ZIP_SOURCE_TELL:
        return FromReader(state, zip_source_tell(state->reader));
    case ZIP_SOURCE_STAT:
        if (len < sizeof(zip_stat_t)) {
            zip_error_set(&state->error, ZIP_ER_INVAL, 0);
            return -1;
        }
        if (FromReader(state, zip_source_stat(state->reader, static_cast<zip_stat_t*>(data))) < 0)
            return -1;
        return sizeof(zip_stat_t);
    case ZIP_SOURCE_CLOSE:
        return FromReader(state, zip_source_close(state->reader));
    default:
        zip_error_set(&state->error, ZIP_ER_OPNOTSUPP, 0);
        return -1;
    }
}

// Creates the temporary that the new archive is written to.
zip_int64_t BeginTemporary(SaveSource* state)
{
    // A replace would give each name of a file with several its own file:
    // the names would drift apart without anyone noticing.
    if (state->held && KQHeldFileStamp(state->held).links > 1)
        return FailWithNote(&state->error, state->note, ZIP_ER_TMPOPEN,
                            "Archive has more than one name (hard links); saving would separate them");
    KQLeftover leftover = KQReclaimLeftoverUtf8(state->temporary, state->held);
    int code = 0;
    std::string what;
    state->out = KQCreateSaveFileUtf8(state->temporary, state->held, &code, &what);
    if (!state->out) {
        if (!what.empty())
            return NotKept(state, what, code);
        if (code == EEXIST && leftover != KQ_LEFTOVER_NONE)
            return FailWithNote(&state->error, state->note, ZIP_ER_TMPOPEN, InTheWay(state->temporary, leftover));
        if (code == ENOSPC || code == EFBIG)
            return WriteFailed(state, code);
        zip_error_set(&state->error, ZIP_ER_TMPOPEN, code);
        return -1;
    }
    return 0;
}

zip_int64_t WriteTemporary(SaveSource* state, const void* data, zip_uint64_t len)
{
    int code = KQWriteSaveFile(state->out, data, static_cast<size_t>(len));
    if (code != 0)
        return WriteFailed(state, code);
    return static_cast<zip_int64_t>(len);
}

zip_int64_t SeekTemporary(SaveSource* state, void* data, zip_uint64_t len)
{
    zip_source_args_seek_t* args = ZIP_SOURCE_GET_ARGS(zip_source_args_seek_t, data, len, &state->error);
    if (!args)
        return -1;
    // A move writes out what is buffered; a failure of that is the write's.
    int code = KQFlushSaveFileBuffer(state->out);
    if (code != 0)
        return WriteFailed(state, code);
    if (_fseeki64(KQSaveFileStream(state->out), args->offset, args->whence) != 0) {
        zip_error_set(&state->error, ZIP_ER_SEEK, errno);
        return -1;
    }
    return 0;
}

zip_int64_t TellTemporary(SaveSource* state)
{
    int64 position = _ftelli64(KQSaveFileStream(state->out));
    if (position < 0)
        zip_error_set(&state->error, ZIP_ER_TELL, errno);
    return position;
}

// Removes the package, as libzip does when the last entry is deleted; not
// one that another program changed meanwhile.
zip_int64_t RemovePackage(SaveSource* state)
{
    if (state->held && !KQHeldFileUnchangedUtf8(state->held, state->target))
        return FailWithNote(&state->error, state->note, ZIP_ER_CHANGED,
                            "Archive was changed by another program since it was opened");
    int code = KQRemoveFileUtf8(state->target);
    if (code != 0) {
        zip_error_set(&state->error, ZIP_ER_REMOVE, code);
        return -1;
    }
    return 0;
}

void FreeSaveSource(SaveSource* state)
{
    AbandonTemporary(state);
    KQReleaseFile(state->held);
    zip_source_free(state->reader);
    zip_error_fini(&state->error);
    delete state;
}

zip_int64_t SaveSourceCallback(void* userdata, void* data, zip_uint64_t len, zip_source_cmd_t cmd)
{
    SaveSource* state = static_cast<SaveSource*>(userdata);
    switch (cmd) {
    case ZIP_SOURCE_ACCEPT_EMPTY:
        // An empty file is not an archive, as with libzip's own file source.
        return 0;
    case ZIP_SOURCE_BEGIN_WRITE:
        return BeginTemporary(state);
    case ZIP_SOURCE_WRITE:
        return WriteTemporary(state, data, len);
    case ZIP_SOURCE_SEEK_WRITE:
        return SeekTemporary(state, data, len);
    case ZIP_SOURCE_TELL_WRITE:
        return TellTemporary(state);
    case ZIP_SOURCE_COMMIT_WRITE:
        return CommitTemporary(state);
    case ZIP_SOURCE_ROLLBACK_WRITE:
        AbandonTemporary(state);
        return 0;
    case ZIP_SOURCE_REMOVE:
        return RemovePackage(state);
    case ZIP_SOURCE_ERROR:
        return zip_error_to_data(&state->error, data, len);
    case ZIP_SOURCE_FREE:
        FreeSaveSource(state);
        return 0;
    case ZIP_SOURCE_SUPPORTS:
        return ZIP_SOURCE_SUPPORTS_WRITABLE | zip_source_make_command_bitmap(ZIP_SOURCE_ACCEPT_EMPTY, -1);
    default:
        // The rest reads the package, or is not supported.
        return ReadPackage(state, data, len, cmd);
    }
}

// The package opened for reading alone, as libzip's source, from the one
// descriptor that is checked to be a regular file: what is checked is what
// libzip reads.
zip_source_t* ReadingSource(const std::string& path, zip_error_t* error)
{
    FILE* stream = KQOpenFileForReadingUtf8(path);
    if (!stream) {
        zip_error_set(error, errno == ENOENT ? ZIP_ER_NOENT : errno == EINVAL ? ZIP_ER_OPNOTSUPP : ZIP_ER_OPEN, errno);
        return nullptr;
    }
    zip_source_t* source = zip_source_filep_create(stream, 0, -1, error);
    if (!source)
        std::fclose(stream);
    return source;
}

// The source of a package opened for update or created, named in UTF-8. A
// link is followed, so that the file it names is replaced and the link
// stays. A read-only file is refused, as libzip refuses to change a
// read-only archive, and so is anything but a regular file. An existing
// file is held until the source is freed; one that another run holds is
// refused.
zip_source_t* SaveSourceCreate(const std::string& path, zip_error_t* error, const std::shared_ptr<std::string>& note)
{
    const std::string target = KQResolveLinksUtf8(path);
    KQFileKind kind = KQFileKindUtf8(target);
    if (kind == KQ_FILE_OTHER) {
        zip_error_set(error, ZIP_ER_OPNOTSUPP, 0);
        return nullptr;
    }
    if (kind == KQ_FILE_REGULAR && KQIsReadOnlyFileUtf8(target)) {
        zip_error_set(error, ZIP_ER_RDONLY, 0);
        return nullptr;
    }
    KQHeldFile* held = nullptr;
    if (kind == KQ_FILE_REGULAR) {
        int code = 0;
        bool locking = false;
        held = KQHoldFileUtf8(target, &code, &locking);
        if (!held && code == EBUSY) {
            FailWithNote(error, note, ZIP_ER_OPEN, "Archive is open for update elsewhere");
            return nullptr;
        }
        if (!held && locking) {
            FailWithNote(error, note, ZIP_ER_OPEN, std::string(KQ_ZIP_LOCK_REFUSED) + strerror(code));
            return nullptr;
        }
        if (!held) {
            zip_error_set(error, ZIP_ER_OPEN, code);
            return nullptr;
        }
    }
    // An existing package is read through the descriptor checked to be a
    // regular file; a missing one is left to libzip, which starts it empty.
    zip_source_t* reader =
        kind == KQ_FILE_REGULAR ? ReadingSource(target, error) : zip_source_file_create(target.c_str(), 0, -1, error);
    if (!reader) {
        KQReleaseFile(held);
        return nullptr;
    }
    SaveSource* state = new (std::nothrow) SaveSource;
    if (!state) {
        zip_source_free(reader);
        KQReleaseFile(held);
        zip_error_set(error, ZIP_ER_MEMORY, 0);
        return nullptr;
    }
    state->reader = reader;
    state->target = target;
    state->temporary = target + kSaveSuffix;
    state->held = held;
    state->out = nullptr;
    state->note = note;
    zip_error_init(&state->error);
    // What a run stopped while saving left behind goes now.
    if (held)
        KQReclaimLeftoverUtf8(state->temporary, held);
    zip_source_t* source = zip_source_function_create(SaveSourceCallback, state, error);
    if (!source) {
        zip_source_free(reader);
        KQReleaseFile(held);
        zip_error_fini(&state->error);
        delete state;
    }
    return source;
}

PendingSource* NewPendingSource(const std::shared_ptr<const KQZipPending>& data,
                                const std::shared_ptr<std::string>& note = nullptr)
{
    PendingSource* state = new (std::nothrow) PendingSource;
    if (!state)
        return nullptr;
    state->data = data;
    state->note = note;
    zip_error_init(&state->error);
    return state;
}

int64 ReadPendingData(void* context, void* out, uint64 len)
{
    return PendingSourceCallback(context, out, len, ZIP_SOURCE_READ);
}

// The whole of an added entry, as KQReadEntryWhole gives it; a byte missing
// or one beyond means the entry's file changed.
ubyte* ReadPending(const std::shared_ptr<const KQZipPending>& data, int32* size, KQString& failure)
{
    std::shared_ptr<std::string> note(new (std::nothrow) std::string);
    PendingSource* state = NewPendingSource(data, note);
    if (!state) {
        failure = LibraryText(ZIP_ER_MEMORY);
        return nullptr;
    }
    auto why = [state, note] {
        return KQString(note && !note->empty() ? KQUtf8ShownInAnsi(*note).c_str() : zip_error_strerror(&state->error));
    };
    ubyte* block = nullptr;
    zip_uint64_t length = 0;
    if (PendingSourceCallback(state, nullptr, 0, ZIP_SOURCE_OPEN) != 0 || !PendingSize(state, length)) {
        failure = why();
    } else if (length > static_cast<zip_uint64_t>(INT32_MAX)) {
        failure = LibraryText(ZIP_ER_MEMORY);
    } else {
        KQEntryReadResult result = KQReadEntryWhole(ReadPendingData, state, length, true, &block, size);
        failure = ReadFailure(result, ZIP_ER_CHANGED, why);
    }
    PendingSourceCallback(state, nullptr, 0, ZIP_SOURCE_FREE);
    return block;
}

// Presented names use '\', stored names '/'.
KQString StoredName(const KQString& name)
{
    KQString stored(name);
    stored.ReplaceChar('\\', '/');
    return stored;
}

KQString PresentedName(const char* stored)
{
    KQString name(stored);
    name.ReplaceChar('/', '\\');
    return name;
}

inline unsigned char FoldNameChar(unsigned char c)
{
    if (c == '/')
        return '\\';
    if (c >= 'A' && c <= 'Z')
        return static_cast<unsigned char>(c - 'A' + 'a');
    return c;
}

// The key under which the name index files an entry: names that compare
// alike without regard to ASCII case and separator share it.
std::string IndexKey(const char* name)
{
    std::string key(name);
    for (char& c : key)
        c = static_cast<char>(FoldNameChar(static_cast<unsigned char>(c)));
    return key;
}

// Folder part of a presented entry name: without the file name and without
// leading or trailing separators.
KQString EntryFolder(const KQString& entryName)
{
    int32 last = entryName.FindChar('\\', -1, false);
    if (last < 0)
        return KQString();
    const KQChar* text = entryName.CStr();
    int32 begin = 0;
    int32 end = last;
    while (begin < end && text[begin] == '\\')
        ++begin;
    while (end > begin && text[end - 1] == '\\')
        --end;
    return entryName.Mid(begin, end - begin);
}

// libzip takes UTF-8 paths; ours are in the local code page.
KQString LibraryPath(const KQString& path)
{
    int32 size = 0;
    char* utf8 = KQToUTF8(path, size);
    if (!utf8)
        return path;
    KQString converted(utf8);
    free(utf8);
    return converted;
}

// libzip's open flags for an open mode; -1 for a mode that opens nothing.
int OpenFlags(int32 mode)
{
    switch (mode) {
    case 0:
        return 0;
    case 1:
        return ZIP_RDONLY;
    case 2:
        return ZIP_CREATE | ZIP_TRUNCATE;
    default:
        return -1;
    }
}

int32 LittleEndianInt(const ubyte* p)
{
    return static_cast<int32>(static_cast<uint32>(p[0]) | static_cast<uint32>(p[1]) << 8 |
                              static_cast<uint32>(p[2]) << 16 | static_cast<uint32>(p[3]) << 24);
}

}  // namespace

struct KQZipHandle {
    zip_t* za = nullptr;
    std::map<zip_uint64_t, std::shared_ptr<const KQZipPending>> pending;
    // Indices of the live entries by IndexKey, lowest first; built on the
    // first lookup and kept in step with every add and delete after it.
    std::unordered_map<std::string, std::vector<zip_uint64_t>, KQKeyedHash> byName;
    bool indexed = false;
    uint32 changes = 0;
    // Why the last open or save failed, in words, where the library's code
    // alone would not say it; null when memory ran out.
    std::shared_ptr<std::string> note;

    void Forget()
    {
        pending.clear();
        byName.clear();
        indexed = false;
        ++changes;
    }
    void Added(zip_uint64_t index, const char* stored)
    {
        ++changes;
        if (indexed)
            byName[IndexKey(stored)].push_back(index);
    }
    // Before the entry is deleted: its name is still there.
    void Removing(zip_uint64_t index)
    {
        ++changes;
        pending.erase(index);
        if (!indexed)
            return;
        const char* stored = zip_get_name(za, index, ZIP_FL_ENC_RAW);
        auto found = stored ? byName.find(IndexKey(stored)) : byName.end();
        if (found == byName.end())
            return;
        std::vector<zip_uint64_t>& indices = found->second;
        for (size_t i = 0; i < indices.size(); ++i) {
            if (indices[i] == index) {
                indices.erase(indices.begin() + static_cast<std::ptrdiff_t>(i));
                break;
            }
        }
        if (indices.empty())
            byName.erase(found);
    }
};

//----------------------------------------------------------------------------
// KQZipMemorySource

KQZipMemorySource::KQZipMemorySource() : source(zip_source_buffer_create(nullptr, 0, 0, nullptr)) {}

KQZipMemorySource::~KQZipMemorySource()
{
    if (source)
        zip_source_free(source);
}

bool KQZipMemorySource::SetData(const void* data, uint32 size)
{
    if (source)
        zip_source_free(source);
    source = nullptr;
    void* copy = nullptr;
    if (data && size > 0) {
        copy = malloc(size);
        if (!copy) {
            source = zip_source_buffer_create(nullptr, 0, 0, nullptr);
            return false;
        }
        memcpy(copy, data, size);
    }
    source = zip_source_buffer_create(copy, copy ? size : 0, 1, nullptr);
    if (!source) {
        free(copy);
        return false;
    }
    return true;
}

ubyte* KQZipMemorySource::CopyData(uint32* size) const
{
    if (size)
        *size = 0;
    if (!source || zip_source_open(source) < 0)
        return nullptr;
    std::vector<ubyte> bytes;
    ubyte chunk[65536];
    bool ok = true;
    for (;;) {
        zip_int64_t n = zip_source_read(source, chunk, sizeof(chunk));
        if (n < 0) {
            ok = false;
            break;
        }
        if (n == 0)
            break;
        if (bytes.size() + static_cast<size_t>(n) > UINT32_MAX) {
            ok = false;
            break;
        }
        bytes.insert(bytes.end(), chunk, chunk + n);
    }
    zip_source_close(source);
    if (!ok || bytes.empty())
        return nullptr;
    ubyte* block = static_cast<ubyte*>(malloc(bytes.size()));
    if (!block)
        return nullptr;
    memcpy(block, bytes.data(), bytes.size());
    if (size)
        *size = static_cast<uint32>(bytes.size());
    return block;
}

//----------------------------------------------------------------------------
// KQZipArchive

KQZipArchive::KQZipArchive()
    : KQObject(), KQErrorBase(true), memorySource(nullptr), readOnly(false), zip(new (std::nothrow) KQZipHandle),
      compressionLevel(-1)
{
    SetClassName("KQZipArchive");
}

KQZipArchive::~KQZipArchive()
{
    KQZipArchive::Close();
    delete zip;
}

void KQZipArchive::SetAddFileSettings(int32 level, int32, int32, int32)
{
    compressionLevel = level;
}

bool KQZipArchive::IsClosed() const
{
    return !zip || !zip->za;
}

void KQZipArchive::Discard()
{
    if (!zip)
        return;
    if (zip->za)
        zip_discard(zip->za);
    zip->za = nullptr;
    zip->Forget();
}

bool KQZipArchive::LibraryFailure(const char* label, int32 line, int32 code, const char* description)
{
    Discard();
    KQString message(kLibraryPrefix);
    message.AppendText(description ? description : "");
    return SetError(Location(label, line), code, message);
}

bool KQZipArchive::Open(const KQString& path, int32 mode)
{
    const char* label = "KQZipArchive::Open";
    if (!IsClosed())
        return SetError(Location(label, kLineOpenWhileOpen), kErrFileOpen,
                        "The archive is open, close it before opening.");
    if (path.IsBlank())
        return SetError(Location(label, kLineOpenNoPath), kErrNoFileName, KQString());
    fileName = path;
    memorySource = nullptr;
    bool exists = KQFileAccess(path.CStr(), 3);
    if (mode == 0 && !exists)
        return SetError(Location(label, kLineOpenMissingForUpdate), kErrFileNotFound, "File name '%s'", path.CStr());
    if (mode == 1 && !exists)
        return SetError(Location(label, kLineOpenMissingForReading), kErrFileNotFound, "File name '%s'", path.CStr());

    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* source = nullptr;
    if (OpenFlags(mode) >= 0 && zip) {
        zip->note.reset(new (std::nothrow) std::string);
        if (mode == 1)
            source = ReadingSource(LibraryPath(path).CStr(), &error);
        else
            source = SaveSourceCreate(LibraryPath(path).CStr(), &error, zip->note);
    }
    return OpenOn(source, &error, mode, kLineOpenLibrary, kLineOpenStillClosed);
}

bool KQZipArchive::OpenAbstractFile(KQZipMemorySource* source, int32 mode)
{
    if (!IsClosed())
        return SetError(Location("KQZipArchive::Open", kLineOpenSourceWhileOpen), kErrFileOpen,
                        "The archive is open, close it before opening.");
    fileName = KQString();
    memorySource = source;

    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* librarySource = nullptr;
    if (OpenFlags(mode) >= 0 && zip && source && source->GetSource()) {
        zip->note.reset(new (std::nothrow) std::string);
        // The archive takes a reference of its own; the memory source keeps
        // its reference and so the bytes written at Close.
        librarySource = source->GetSource();
        zip_source_keep(librarySource);
    }
    return OpenOn(librarySource, &error, mode, kLineOpenSourceLibrary, kLineOpenSourceStillClosed);
}

bool KQZipArchive::OpenOn(zip_source* source, zip_error* error, int32 mode, int32 failureLine, int32 closedLine)
{
    const char* label = "KQZipArchive::Open";
    zip_t* za = nullptr;
    if (source && (mode == 0 || mode == 1)) {
        // What libzip's opening costs follows from the end records and the
        // names; an archive that asks far more of it than any real one is
        // refused first, whether it is read from a file or from memory. One
        // that cannot be read is left to libzip to report.
        const KQZipDirectoryVerdict verdict = KQZipDirectoryCheck(source, KQ_PACKAGE_DIRECTORY_BOUNDS);
        if (verdict != KQ_ZIP_DIRECTORY_PLAUSIBLE && verdict != KQ_ZIP_DIRECTORY_UNREADABLE) {
            zip_source_free(source);
            zip_error_fini(error);
            KQString message(kLibraryPrefix);
            message.AppendText(KQZipDirectoryVerdictText(verdict));
            return SetError(Location(label, failureLine), kErrFileRead, message);
        }
    }
    if (source) {
        za = zip_open_from_source(source, OpenFlags(mode), error);
        if (!za)
            zip_source_free(source);
    }
    bool result = true;
    if (za) {
        // Indices and pending entries of an earlier session mean nothing now.
        zip->Forget();
        zip->za = za;
        readOnly = (mode == 1);
    } else if (source || zip_error_code_zip(error) != ZIP_ER_OK) {
        result =
            LibraryFailure(label, failureLine, mode == 2 ? kErrFileCreation : kErrFileRead, FailureText(error).c_str());
    }
    zip_error_fini(error);
    if (result && IsClosed())
        return SetError(Location(label, closedLine), kErrFileOpen, "File still closed after opening it.");
    return result;
}

std::string KQZipArchive::FailureText(zip_error* error) const
{
    // The reasons name files in UTF-8, as libzip and the host take them.
    if (zip && zip->note && !zip->note->empty())
        return KQUtf8ShownInAnsi(*zip->note);
    return zip_error_strerror(error);
}

bool KQZipArchive::Close()
{
    if (IsClosed())
        return true;
    if (readOnly) {
        Discard();
        return true;
    }
    if (zip_close(zip->za) == 0) {
        zip->za = nullptr;
        zip->pending.clear();
        return true;
    }
    // libzip leaves the original in place and the handle open on failure.
    KQString message(kLibraryPrefix);
    message.AppendText(FailureText(zip_get_error(zip->za)).c_str());
    Discard();
    return SetError(Location("KQZipArchive::Close", kLineClose), kErrFileWrite, message);
}

namespace {

// The archive at name (UTF-8), opened read-only within bounds; null when it
// is no regular file, or not an archive within them.
zip_t* OpenForReading(const std::string& name, const KQZipDirectoryBounds& bounds)
{
    FILE* stream = KQOpenFileForReadingUtf8(name);
    return stream ? KQZipOpenWithinBounds(stream, bounds) : nullptr;
}

// True when target is an archive whose every entry reads back whole, its
// checksum met: a package that a stopped save left half overwritten does
// not, whatever files stand beside it.
bool ArchiveReadsWhole(const std::string& target)
{
    zip_t* archive = OpenForReading(target, KQ_PACKAGE_DIRECTORY_BOUNDS);
    if (!archive)
        return false;
    bool whole = true;
    std::vector<char> buffer(1 << 16);
    const zip_int64_t count = zip_get_num_entries(archive, 0);
    for (zip_int64_t i = 0; i < count && whole; ++i) {
        zip_file_t* entry = zip_fopen_index(archive, static_cast<zip_uint64_t>(i), 0);
        zip_int64_t n = entry ? 1 : -1;
        while (n > 0)
            n = zip_fread(entry, buffer.data(), buffer.size());
        whole = n == 0;
        if (entry)
            zip_fclose(entry);
    }
    zip_discard(archive);
    return whole;
}

}  // namespace

KQStoppedSave KQRecoverStoppedSave(const KQString& path, KQString* document, KQString* written)
{
    const std::string target = KQResolveLinksUtf8(LibraryPath(path).CStr());
    const std::string saved = target + kSaveSuffix;
    std::string left;
    const KQRecovery recovery = KQRecoverStoppedSaveUtf8(target, saved, &left);
    std::string temporary;
    if (recovery == KQ_RECOVERY_MISSING) {
        if (KQFileKindUtf8(saved, false) != KQ_FILE_MISSING)
            temporary = saved;
        // A package missing with nothing beside it is one that does not open.
        if (left.empty() && temporary.empty())
            return KQ_STOPPED_SAVE_NONE;
    } else {
        // Files beside a package that is whole tell of no stopped save (they
        // may be anyone's): the run goes on, and a save that needs their
        // names says so.
        if (recovery != KQ_RECOVERY_ELSEWHERE || ArchiveReadsWhole(target))
            return KQ_STOPPED_SAVE_NONE;
        temporary = saved;
    }
    // The names are shown in a report, which is text in the local code page.
    *document = KQString(KQUtf8ShownInAnsi(left).c_str());
    *written = KQString(KQUtf8ShownInAnsi(temporary).c_str());
    return recovery == KQ_RECOVERY_MISSING ? KQ_STOPPED_SAVE_MISSING : KQ_STOPPED_SAVE_ELSEWHERE;
}

bool KQZipArchive::Reopen()
{
    int32 mode = readOnly ? 1 : 0;
    if (memorySource)
        return OpenAbstractFile(memorySource, mode);
    return Open(fileName, mode);
}

int32 KQZipArchive::FindFile(const KQString& name)
{
    const char* label = "KQZipArchive::FindFile";
    KQString key;
    KQBackslashPath(key, name);
    if (IsClosed()) {
        SetError(Location(label, kLineFindClosed), kErrFileOpen, "Archive is not open.");
        return -1;
    }
    if (key.IsBlank()) {
        SetError(Location(label, kLineFindNoName), kErrNoFileName, "No such file name: '%s'", name.CStr());
        return -1;
    }
    if (!zip->indexed) {
        zip_int64_t count = zip_get_num_entries(zip->za, 0);
        if (count > INT32_MAX)
            count = INT32_MAX;
        try {
            std::unordered_map<std::string, std::vector<zip_uint64_t>, KQKeyedHash> byName;
            for (zip_int64_t i = 0; i < count; ++i) {
                // Deleted entries keep their index and have no name.
                const char* stored = zip_get_name(zip->za, static_cast<zip_uint64_t>(i), ZIP_FL_ENC_RAW);
                if (stored)
                    byName[IndexKey(stored)].push_back(static_cast<zip_uint64_t>(i));
            }
            zip->byName.swap(byName);
            zip->indexed = true;
        } catch (const std::bad_alloc&) {
            LibraryFailure(label, kLineFindLibrary, kErrFileRead, LibraryText(ZIP_ER_MEMORY).CStr());
            return -1;
        }
    }
    auto found = zip->byName.find(IndexKey(key.CStr()));
    if (found == zip->byName.end() || found->second.empty())
        return -1;
    // The lowest of the names that compare alike, as a scan would find it.
    zip_uint64_t index = found->second.front();
    return index > static_cast<zip_uint64_t>(INT32_MAX) ? -1 : static_cast<int32>(index);
}

uint32 KQZipArchive::ChangeCount() const
{
    return zip ? zip->changes : 0;
}

int32 KQZipArchive::FindFileHash(const KQString&)
{
    return -1;
}

bool KQZipArchive::FindFiles(const KQString& folder, bool recursive, KQStringArray* names)
{
    if (!names)
        return SetError(Location("KQZipArchive::FindFiles", kLineFindFilesNoArray), kErrNoData,
                        "Array with filenames is NULL");
    if (IsClosed())
        return true;
    const KQChar separator = KQPathSeparator();
    int32 nFolder = folder.CountChar(separator, 0, true);
    int32 folderLength = folder.GetLength();
    zip_int64_t count = zip_get_num_entries(zip->za, 0);
    if (count > INT32_MAX)
        count = INT32_MAX;
    for (zip_int64_t i = 0; i < count; ++i) {
        const char* stored = zip_get_name(zip->za, static_cast<zip_uint64_t>(i), ZIP_FL_ENC_RAW);
        if (!stored)
            continue;
        KQString entryName = PresentedName(stored);
        KQString entryFolder = EntryFolder(entryName);
        int32 nEntry = entryFolder.CountChar(separator, 0, true);
        bool take;
        if (folder.IsEmpty())
            take = recursive || nEntry == 0;
        else
            take = entryFolder.GetLength() >= folderLength &&
                   memcmp(entryFolder.CStr(), folder.CStr(), static_cast<size_t>(folderLength)) == 0 &&
                   (recursive || nFolder == nEntry);
        if (take)
            names->Add(entryName);
    }
    return true;
}

ubyte* KQZipArchive::ReadDataRaw(const KQString& name, int32* size)
{
    const char* label = "KQZipArchive::ReadDataRaw";
    if (size)
        *size = 0;
    int32 index = FindFile(name);
    if (index < 0) {
        PushError(Location(label, kLineReadRawNotFound), kErrFileRead,
                  "Unable to read raw data from '%s', file not found.", name.CStr());
        return nullptr;
    }

    // Entries added in this session are served from what they are made of.
    auto pendingEntry = zip->pending.find(static_cast<zip_uint64_t>(index));
    if (pendingEntry != zip->pending.end()) {
        KQString failure;
        ubyte* block = ReadPending(pendingEntry->second, size, failure);
        if (!failure.IsEmpty())
            LibraryFailure(label, kLineReadRawLibrary, kErrFileRead, failure.CStr());
        return block;
    }

    ubyte* block = nullptr;
    KQString failure;
    {
        KQZipEntryReader entry;
        if (!entry.Stat(zip->za, static_cast<zip_uint64_t>(index))) {
            LibraryFailure(label, kLineReadRawLibrary, kErrFileRead, zip_strerror(zip->za));
            return nullptr;
        }
        // The header's size is a claim: it bounds what is read, and blocks
        // grow only as bytes actually arrive.
        if (entry.SizeKnown() && entry.Size() > static_cast<zip_uint64_t>(INT32_MAX)) {
            LibraryFailure(label, kLineReadRawLibrary, kErrFileRead, LibraryText(ZIP_ER_MEMORY).CStr());
            return nullptr;
        }
        if (!entry.Open()) {
            LibraryFailure(label, kLineReadRawLibrary, kErrFileRead, zip_strerror(zip->za));
            return nullptr;
        }
        // The texts are taken before the entry is closed: they may be its own.
        KQEntryReadResult result = entry.ReadWhole(static_cast<zip_uint64_t>(INT32_MAX), &block, size);
        failure = ReadFailure(result, ZIP_ER_INCONS, [&entry] { return KQString(entry.ErrorText()); });
    }
    // Only now that the entry is closed may a failure discard the archive.
    if (!failure.IsEmpty())
        LibraryFailure(label, kLineReadRawLibrary, kErrFileRead, failure.CStr());
    return block;
}

KQZipArchive::AddResult KQZipArchive::AddEntry(const KQString& name, const void* data, uint32 size, int32 level,
                                               KQString& libraryText)
{
    std::shared_ptr<KQZipPending> pendingData;
    try {
        pendingData = std::make_shared<KQZipPending>();
        if (data && size > 0) {
            const ubyte* bytes = static_cast<const ubyte*>(data);
            pendingData->bytes.assign(bytes, bytes + size);
        }
    } catch (const std::bad_alloc&) {
        libraryText = LibraryText(ZIP_ER_MEMORY);
        return ADD_REFUSED;
    }
    return AddPending(name, pendingData, level, libraryText);
}

KQZipArchive::AddResult KQZipArchive::AddPending(const KQString& name, const std::shared_ptr<KQZipPending>& pendingData,
                                                 int32 level, KQString& libraryText)
{
    pendingData->mtime = time(nullptr);
    PendingSource* state = NewPendingSource(pendingData, zip->note);
    if (!state) {
        libraryText = LibraryText(ZIP_ER_MEMORY);
        return ADD_REFUSED;
    }
    zip_source_t* source = zip_source_function(zip->za, PendingSourceCallback, state);
    if (!source) {
        zip_error_fini(&state->error);
        delete state;
        libraryText = zip_strerror(zip->za);
        return ADD_REFUSED;
    }
    KQString stored = StoredName(name);
    zip_int64_t index = zip_file_add(zip->za, stored.CStr(), source, ZIP_FL_ENC_GUESS);
    if (index < 0) {
        int code = zip_error_code_zip(zip_get_error(zip->za));
        libraryText = zip_strerror(zip->za);
        zip_source_free(source);
        // A name already taken or one libzip cannot store is refused; any
        // other failure is the library's own.
        return (code == ZIP_ER_EXISTS || code == ZIP_ER_INVAL || code == ZIP_ER_RDONLY) ? ADD_REFUSED
                                                                                        : ADD_LIBRARY_ERROR;
    }
    // Level -1 is zlib's default level; 0 stores the bytes.
    zip_int32_t method = ZIP_CM_DEFLATE;
    zip_uint32_t flags = 6;
    if (level == 0)
        method = ZIP_CM_STORE, flags = 0;
    else if (level >= 1 && level <= 9)
        flags = static_cast<zip_uint32_t>(level);
    else if (level > 9)
        flags = 9;
    zip_set_file_compression(zip->za, static_cast<zip_uint64_t>(index), method, flags);
    zip->pending[static_cast<zip_uint64_t>(index)] = pendingData;
    zip->Added(static_cast<zip_uint64_t>(index), stored.CStr());
    return ADD_OK;
}

bool KQZipArchive::RefuseDataWrite(const KQString& name)
{
    const char* label = "KQZipArchive::WriteDataRaw";
    if (IsClosed())
        return !SetError(Location(label, kLineWriteRawClosed), kErrFileOpen, "Archive is not open.");
    if (readOnly)
        return !SetError(Location(label, kLineWriteRawReadOnly), kErrReadOnly, KQString());
    if (name.IsBlank())
        return !SetError(Location(label, kLineWriteRawNoName), kErrNoFileName, KQString());
    return false;
}

bool KQZipArchive::DataWritten(AddResult result, const KQString& libraryText, const KQString& name, bool empty)
{
    const char* label = "KQZipArchive::WriteDataRaw";
    if (result == ADD_LIBRARY_ERROR)
        return LibraryFailure(label, kLineWriteRawLibrary, kErrFileRead, libraryText.CStr());
    if (result != ADD_OK && empty)
        return SetError(Location(label, kLineWriteRawEmptyRefused), kErrFileWrite,
                        "Could not add empty file '%s' to archive", name.CStr());
    if (result != ADD_OK)
        return SetError(Location(label, kLineWriteRawRefused), kErrFileWrite, "Could not add file '%s' to archive",
                        name.CStr());
    return true;
}

bool KQZipArchive::WriteDataRaw(const KQString& name, const void* data, uint32 size)
{
    if (RefuseDataWrite(name))
        return false;
    KQString libraryText;
    if (data && size > 0)
        return DataWritten(AddEntry(name, data, size, compressionLevel, libraryText), libraryText, name, false);
    // Empty entries always take the default settings.
    return DataWritten(AddEntry(name, nullptr, 0, -1, libraryText), libraryText, name, true);
}

bool KQZipArchive::WriteDataFromFile(const KQString& name, const KQString& path)
{
    if (RefuseDataWrite(name))
        return false;
    KQString libraryText;
    AddResult result = ADD_REFUSED;
    try {
        std::shared_ptr<KQZipPending> pendingData = std::make_shared<KQZipPending>();
        pendingData->fromFile = true;
        pendingData->path = LibraryPath(path).CStr();
        // What the file is now is what Close must find.
        if (KQFileStampUtf8(pendingData->path, &pendingData->fileStamp)) {
            // Empty entries always take the default settings.
            result =
                AddPending(name, pendingData, pendingData->fileStamp.size > 0 ? compressionLevel : -1, libraryText);
        }
    } catch (const std::bad_alloc&) {
        libraryText = LibraryText(ZIP_ER_MEMORY);
    }
    return DataWritten(result, libraryText, name, false);
}

bool KQZipArchive::ReadXmlFile(const KQString& name, KQXmlDocument* doc)
{
    return ReadXmlFile(name, doc, KQ_XML_PART_BOUNDS, nullptr);
}

bool KQZipArchive::ReadXmlFile(const KQString& name, KQXmlDocument* doc, const KQXmlBounds& bounds, KQString* why,
                               KQXmlShape* seen)
{
    const char* label = "KQZipArchive::ReadXmlFile";
    if (why)
        *why = KQString();
    if (seen)
        *seen = KQXmlShape();
    if (!doc)
        return SetError(Location(label, kLineReadXmlNoDocument), kErrIllegalParameters,
                        "Destination Xml Document is NULL");
    KQString key(name);
    key.ReplaceChar('/', '\\');
    // Refused before anything is read, so the archive stays open for the
    // other parts. Entries added in this session are ours; what they print
    // is bounded when they are written.
    const int32 index = FindFile(key);
    zip_stat_t st;
    if (index >= 0 && zip->pending.count(static_cast<zip_uint64_t>(index)) == 0 &&
        zip_stat_index(zip->za, static_cast<zip_uint64_t>(index), 0, &st) == 0 && (st.valid & ZIP_STAT_SIZE) &&
        st.size > bounds.bytes) {
        KQXmlShape large;
        large.verdict = KQ_XML_TOO_LARGE;
        const KQString reason = KQXmlVerdictText(large, bounds);
        if (why)
            *why = reason;
        if (seen)
            *seen = large;
        return SetError(Location(label, kLineReadXmlUnread), kErrFileRead, "Could not read Xml file: '%s' %s",
                        key.CStr(), reason.CStr());
    }
    int32 size = 0;
    ubyte* data = ReadDataRaw(key, &size);
    if (!data) {
        if (why)
            *why = "could not be read";
        return PushError(Location(label, kLineReadXmlUnread), kErrFileRead, "Could not read Xml file");
    }

    // The entry's last byte is normally its closing line break; it is not
    // read unless it ends the markup itself, as parts have always been read.
    // The parse is given the length, so the entry needs no terminator.
    size_t length = static_cast<size_t>(size);
    if (length > 0 && data[length - 1] != '>')
        --length;

    // One parse builds the tree and keeps the bounds as it goes.
    const KQXmlShape shape = KQXmlParse(reinterpret_cast<const char*>(data), length, bounds, *doc);
    free(data);
    if (seen)
        *seen = shape;
    if (shape.verdict == KQ_XML_MALFORMED) {
        KQString message = KQString::FromFormat("Expat error code %d for file '%s': %s at line %llu, column %llu",
                                                static_cast<int>(shape.error), key.CStr(), shape.errorText,
                                                static_cast<unsigned long long>(shape.line),
                                                static_cast<unsigned long long>(shape.column));
        if (why)
            *why = KQXmlVerdictText(shape, bounds);
        return SetError(Location(label, kLineReadXmlParse), kErrFileRead, message);
    }
    if (shape.verdict != KQ_XML_ADMITTED) {
        const KQString reason = KQXmlVerdictText(shape, bounds);
        if (why)
            *why = reason;
        return SetError(Location(label, kLineReadXmlUnread), kErrFileRead, "Could not read Xml file: '%s' %s",
                        key.CStr(), reason.CStr());
    }
    return true;
}

bool KQZipArchive::WriteXmlFile(const KQString& name, KQXmlDocument* doc, bool overwrite)
{
    return WriteXml(name, doc, nullptr, overwrite);
}

bool KQZipArchive::WriteXmlFileAtClose(const KQString& name, const std::shared_ptr<const TiXmlDocument>& doc,
                                       bool overwrite)
{
    return WriteXml(name, doc.get(), doc, overwrite);
}

bool KQZipArchive::WriteXml(const KQString& name, const TiXmlDocument* doc,
                            const std::shared_ptr<const TiXmlDocument>& shared, bool overwrite)
{
    const char* label = "KQZipArchive::WriteXmlFile";
    if (IsClosed())
        return SetError(Location(label, kLineWriteXmlClosed), kErrFileOpen,
                        "Cannot write Xml file '%s', archive is not open.", name.CStr());
    if (readOnly)
        return SetError(Location(label, kLineWriteXmlReadOnly), kErrReadOnly, KQString());
    if (name.IsBlank())
        return SetError(Location(label, kLineWriteXmlNoName), kErrNoFileName, KQString());
    if (!doc)
        return SetError(Location(label, kLineWriteXmlNoDocument), kErrIllegalParameters, "Source Xml Document is NULL");

    int32 index = FindFile(name);
    if (index >= 0) {
        if (!overwrite)
            return SetError(Location(label, kLineWriteXmlExists), kErrFileCreation,
                            "Xml file '%s' exists in archive, and overwrite flag is not set", name.CStr());
        zip->Removing(static_cast<zip_uint64_t>(index));
        if (zip_delete(zip->za, static_cast<zip_uint64_t>(index)) < 0)
            return LibraryFailure(label, kLineWriteXmlLibrary, kErrFileRead, zip_strerror(zip->za));
    }

    KQString libraryText;
    AddResult result = ADD_REFUSED;
    std::shared_ptr<KQZipPending> pendingData;
    try {
        pendingData = std::make_shared<KQZipPending>();
        if (shared) {
            pendingData->document = shared;
            // In UTF-8, as every name in a failure's reason.
            pendingData->name = LibraryPath(name).CStr();
        } else {
            // Printed now, as a document written at close is printed then.
            std::string text;
            std::string why;
            if (!PrintDocument(*doc, text, why)) {
                if (why.empty())
                    throw std::bad_alloc();
                return SetError(Location(label, kLineWriteXmlRefused), kErrFileWrite,
                                "Could not write Xml file '%s': it %s", name.CStr(), why.c_str());
            }
            pendingData->bytes.assign(text.begin(), text.end());
        }
        result = AddPending(name, pendingData, compressionLevel, libraryText);
    } catch (const std::bad_alloc&) {
        libraryText = LibraryText(ZIP_ER_MEMORY);
    }
    if (result == ADD_LIBRARY_ERROR)
        return LibraryFailure(label, kLineWriteXmlLibrary, kErrFileRead, libraryText.CStr());
    if (result != ADD_OK)
        return SetError(Location(label, kLineWriteXmlRefused), kErrFileWrite,
                        "Could not write Xml file '%s' to archive", name.CStr());
    return true;
}

bool KQZipArchive::ReadImage(const KQString& name, KQRGBImage* image)
{
    const char* label = "KQFxExport::ReadImage()";
    if (!image)
        return SetError(Location(label, kLineReadImageNoImage), kErrIllegalParameters, "Destination image is NULL");
    int32 size = 0;
    ubyte* data = ReadDataRaw(name, &size);
    if (!data)
        return PushError(Location(label, kLineReadImageUnread), kErrFileRead, "Error reading JPEG image from archive");

    KQString extension;
    KQFileExtension(extension, name);
    if (extension.CompareNoCase(".raw") == 0) {
        // Width and height are read little-endian whatever the host.
        int32 width = 0;
        int32 height = 0;
        if (size >= 8) {
            width = LittleEndianInt(data);
            height = LittleEndianInt(data + 4);
        }
        // Unsigned: two sides near 2^31 times three still fit in 64 bits.
        bool fits = size >= 8 && width >= 0 && height >= 0 &&
                    static_cast<uint64>(width) * static_cast<uint64>(height) * 3u <= static_cast<uint64>(size - 8);
        if (!fits) {
            free(data);
            return SetError(Location(label, kLineReadImageShortRaw), kErrGeneral,
                            "Raw image '%s' is shorter than its size", name.CStr());
        }
        image->SetData(data + 8, width, height);
        free(data);
        return true;
    }

    bool decoded = KQDecodeJPEGFromMemory(image, data, &size);
    free(data);
    if (!decoded)
        return SetError(Location(label, kLineReadImageUndecoded), kErrGeneral, "Error decoding JPEG image '%s'",
                        name.CStr());
    return true;
}

bool KQZipArchive::Delete(const KQString& name)
{
    const char* label = "KQZipArchive::Delete";
    int32 index = FindFile(name);
    if (HasError())
        return PushError(Location(label, kLineDeleteAfterError), kErrFileWrite, "Unable to delete file '%s' in archive",
                         name.CStr());
    if (index < 0)
        return false;
    zip->Removing(static_cast<zip_uint64_t>(index));
    if (zip_delete(zip->za, static_cast<zip_uint64_t>(index)) < 0)
        return LibraryFailure(label, kLineDeleteLibrary, kErrFileRead, zip_strerror(zip->za));
    return true;
}

ubyte KQZipArchive::NameFlag(const KQString& name, ubyte flag)
{
    // Built on first use, destroyed at exit.
    static KQStringArray names;
    static KQUbyteArray flags;
    int32 i = names.Find(name, 0, true);
    if (flag == 255)
        return i < 0 ? 255 : flags[i];
    if (i < 0) {
        if (names.Add(name) && !flags.Add(flag))
            names.RemoveAt(names.GetCount() - 1);
    } else {
        flags[i] = flag;
    }
    return flag;
}

void KQSetZipSaveHook(KQZipSaveHook hook)
{
    saveHook = hook;
}

char KQPathSeparator()
{
    return '\\';
}

bool KQZipListsEntry(const KQString& path, const KQString& name, const KQZipDirectoryBounds& bounds)
{
    const std::string key = IndexKey(name.CStr());
    if (key.empty())
        return false;
    zip_t* archive = OpenForReading(LibraryPath(path).CStr(), bounds);
    if (!archive)
        return false;
    bool lists = false;
    const zip_int64_t count = zip_get_num_entries(archive, 0);
    for (zip_int64_t i = 0; i < count && !lists; ++i) {
        const char* stored = zip_get_name(archive, static_cast<zip_uint64_t>(i), ZIP_FL_ENC_RAW);
        lists = stored && IndexKey(stored) == key;
    }
    zip_discard(archive);
    return lists;
}
