// File-system operations of the host.
#if defined(_WIN32) && (!defined(_WIN32_WINNT) || _WIN32_WINNT < 0x0600)
// GetFinalPathNameByHandleW came with Windows Vista.
#undef _WIN32_WINNT
#define _WIN32_WINNT 0x0600
#endif

#include "KQFileSystem.h"

#include "KQPlatform.h"

#include <cerrno>
#include <cstdlib>
#include <new>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <vector>

#ifdef _WIN32

namespace {

// text in the code page (UTF-8 unless told otherwise) as wide text; empty
// when it does not convert exactly. A name is never given a replacement
// character for bytes that are not text: that would name another file.
std::wstring Wide(const std::string& text, UINT codePage = CP_UTF8)
{
    if (text.empty())
        return std::wstring();
    const DWORD flags = MB_ERR_INVALID_CHARS;
    int n = MultiByteToWideChar(codePage, flags, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (n <= 0)
        return std::wstring();
    std::wstring wide(static_cast<size_t>(n), L'\0');
    if (MultiByteToWideChar(codePage, flags, text.data(), static_cast<int>(text.size()), &wide[0], n) != n)
        return std::wstring();
    return wide;
}

// The same the other way: a wide name that is not text (a lone surrogate,
// which Windows names may hold) has no UTF-8 form; empty then.
std::string Utf8(const std::wstring& wide)
{
    if (wide.empty())
        return std::string();
    const DWORD flags = WC_ERR_INVALID_CHARS;
    int n =
        WideCharToMultiByte(CP_UTF8, flags, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
    if (n <= 0)
        return std::string();
    std::string utf8(static_cast<size_t>(n), '\0');
    if (WideCharToMultiByte(CP_UTF8, flags, wide.data(), static_cast<int>(wide.size()), &utf8[0], n, nullptr,
                            nullptr) != n)
        return std::string();
    return utf8;
}

int ErrorNumber(DWORD code)
{
    switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
        return EACCES;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
        return EEXIST;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return ENOSPC;
    case ERROR_NOT_SAME_DEVICE:
        return EXDEV;
    case ERROR_FILENAME_EXCED_RANGE:
        return ENAMETOOLONG;
    default:
        return EIO;
    }
}

const DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

KQFileKind KindOf(const wchar_t* name, bool followLinks)
{
    DWORD attributes = GetFileAttributesW(name);
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return KQ_FILE_MISSING;
    if (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE))
        return KQ_FILE_OTHER;
    if (!followLinks && (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return KQ_FILE_OTHER;
    // Device names (CON, NUL, COM1 ...) pass the attribute query as files;
    // opened without access rights they tell what they are.
    HANDLE handle = CreateFileW(name, 0, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return KQ_FILE_MISSING;
    DWORD type = GetFileType(handle);
    CloseHandle(handle);
    return type == FILE_TYPE_DISK ? KQ_FILE_REGULAR : KQ_FILE_OTHER;
}

}  // namespace

FILE* KQ_fopen(const char* name, const char* mode)
{
    return fopen(name, mode);
}

KQFileKind KQFileKindUtf8(const std::string& name, bool followLinks)
{
    return KindOf(Wide(name).c_str(), followLinks);
}

KQFileKind KQFileKindA(const char* name)
{
    if (!name || !*name)
        return KQ_FILE_MISSING;
    const std::wstring wide = Wide(name, CP_ACP);
    return wide.empty() ? KQ_FILE_MISSING : KindOf(wide.c_str(), true);
}

KQFileKind KQFileKindW(const wchar_t* name)
{
    return name ? KindOf(name, true) : KQ_FILE_MISSING;
}

std::string KQResolveLinksUtf8(const std::string& name)
{
    const std::wstring wide = Wide(name);
    DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return name;
    HANDLE handle =
        CreateFileW(wide.c_str(), 0, kShareAll, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return name;
    std::vector<wchar_t> buffer(MAX_PATH);
    DWORD n = GetFinalPathNameByHandleW(handle, buffer.data(), static_cast<DWORD>(buffer.size()), 0);
    if (n >= buffer.size()) {
        buffer.resize(static_cast<size_t>(n) + 1);
        n = GetFinalPathNameByHandleW(handle, buffer.data(), static_cast<DWORD>(buffer.size()), 0);
    }
    CloseHandle(handle);
    if (n == 0 || n >= buffer.size())
        return name;
    std::wstring full(buffer.data(), n);
    if (full.compare(0, 8, L"\\\\?\\UNC\\") == 0)
        full = L"\\\\" + full.substr(8);
    else if (full.compare(0, 4, L"\\\\?\\") == 0)
        full = full.substr(4);
    return Utf8(full);
}

bool KQIsReadOnlyFileUtf8(const std::string& name)
{
    DWORD attributes = GetFileAttributesW(Wide(name).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY);
}

namespace {

// name opened for reading as a stream when it is a file on a disk;
// otherwise null, with EINVAL for a pipe or a device. Shared for deleting
// too: libzip reads a package through such a stream while its save
// replaces the package, and ReplaceFileW cannot move a file that a reader
// holds without that share.
FILE* OpenOnDisk(const std::wstring& name)
{
    if (name.empty()) {
        errno = ENOENT;
        return nullptr;
    }
    HANDLE handle =
        CreateFileW(name.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        errno = ErrorNumber(GetLastError());
        return nullptr;
    }
    if (GetFileType(handle) != FILE_TYPE_DISK) {
        CloseHandle(handle);
        errno = EINVAL;
        return nullptr;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDONLY | _O_BINARY);
    if (fd < 0) {
        CloseHandle(handle);
        errno = EMFILE;
        return nullptr;
    }
    FILE* stream = _fdopen(fd, "rb");
    if (!stream) {
        const int code = errno;
        _close(fd);
        errno = code;
    }
    return stream;
}

}  // namespace

FILE* KQOpenFileForReadingUtf8(const std::string& name)
{
    return OpenOnDisk(Wide(name));
}

FILE* KQOpenFileForReadingA(const char* name)
{
    if (!name) {
        errno = EINVAL;
        return nullptr;
    }
    return OpenOnDisk(Wide(name, CP_ACP));
}

FILE* KQOpenFileForReadingW(const wchar_t* name)
{
    if (!name) {
        errno = EINVAL;
        return nullptr;
    }
    return OpenOnDisk(name);
}

namespace {

bool StampOfHandle(HANDLE handle, KQFileStamp* stamp)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle, &info))
        return false;
    stamp->device = info.dwVolumeSerialNumber;
    stamp->index = (static_cast<unsigned long long>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    stamp->size = (static_cast<unsigned long long>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    stamp->links = info.nNumberOfLinks;
    FILE_BASIC_INFO basic;
    if (GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof(basic))) {
        stamp->modified = basic.LastWriteTime.QuadPart;
        stamp->changed = basic.ChangeTime.QuadPart;
    } else {
        stamp->modified =
            static_cast<long long>((static_cast<unsigned long long>(info.ftLastWriteTime.dwHighDateTime) << 32) |
                                   info.ftLastWriteTime.dwLowDateTime);
        stamp->changed = stamp->modified;
    }
    return true;
}

std::wstring FullName(const std::wstring& name)
{
    DWORD n = GetFullPathNameW(name.c_str(), 0, nullptr, nullptr);
    if (n == 0)
        return name;
    std::wstring full(n, L'\0');
    n = GetFullPathNameW(name.c_str(), n, &full[0], nullptr);
    if (n == 0 || n >= full.size())
        return name;
    full.resize(n);
    return full;
}

// Asking about a file needs no access that sharing could refuse.
bool StampOfName(const std::wstring& name, KQFileStamp* stamp)
{
    HANDLE handle = CreateFileW(name.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    bool known = StampOfHandle(handle, stamp);
    CloseHandle(handle);
    return known;
}

// Opens name, not following a link, for removing or renaming it: what is
// then removed or renamed is the file checked through the handle, whatever
// comes under the name meanwhile. Readers and writers are let in; the
// handle itself is shared with nobody who would delete or rename.
HANDLE OpenToMove(const std::wstring& name)
{
    return CreateFileW(name.c_str(), DELETE | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

// Whether the open file is the file that stamp was taken of, with the
// content it had then.
bool SameContent(HANDLE handle, const KQFileStamp& stamp)
{
    KQFileStamp now;
    return StampOfHandle(handle, &now) && now.SameContent(stamp);
}

// Removes the file open as handle (from OpenToMove); it goes when the
// handle closes. True when it was marked for removal.
bool RemoveOpenFile(HANDLE handle)
{
    FILE_DISPOSITION_INFO dispose = {TRUE};
    return SetFileInformationByHandle(handle, FileDispositionInfo, &dispose, sizeof(dispose)) != 0;
}

// Gives the file open as handle (from OpenToMove) the full name to, which
// must not exist; 0 or the system's error code.
DWORD RenameOpenFile(HANDLE handle, const std::wstring& to)
{
    const size_t bytes = sizeof(FILE_RENAME_INFO) + to.size() * sizeof(wchar_t);
    std::vector<unsigned char> buffer(bytes, 0);
    FILE_RENAME_INFO* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    info->ReplaceIfExists = FALSE;
    info->RootDirectory = nullptr;
    info->FileNameLength = static_cast<DWORD>(to.size() * sizeof(wchar_t));
    std::copy(to.begin(), to.end(), info->FileName);
    return SetFileInformationByHandle(handle, FileRenameInfo, info, static_cast<DWORD>(bytes)) ? 0 : GetLastError();
}

// A run's claim on the name of the file it saves, beside its hold on the
// file itself: while a replace has moved the file aside there is no file to
// hold, and a run that comes then must still meet the live save. It is a
// mutex named after the full name, case-blind as Windows names are; the
// system lets go of it when its holder ends, also when it is stopped. 0
// with the claim, EBUSY when another run holds it, or an error number.
int ClaimName(const std::string& name, HANDLE* claim)
{
    *claim = nullptr;
    std::wstring full = FullName(Wide(name));
    if (full.empty())
        return ENOENT;
    CharUpperBuffW(&full[0], static_cast<DWORD>(full.size()));
    // A mutex's name holds no backslash and at most MAX_PATH characters: the
    // full name goes in as a 64-bit FNV-1a hash (a collision only makes two
    // names wait for each other).
    unsigned long long hash = 14695981039346656037ULL;
    for (wchar_t unit : full) {
        hash ^= static_cast<unsigned short>(unit);
        hash *= 1099511628211ULL;
    }
    std::wstring mutexName = L"Local\\KQSaveClaim.";
    for (int shift = 60; shift >= 0; shift -= 4)
        mutexName += L"0123456789abcdef"[(hash >> shift) & 0xF];
    HANDLE mutex = CreateMutexW(nullptr, FALSE, mutexName.c_str());
    if (!mutex)
        return ErrorNumber(GetLastError());
    // An abandoned mutex is a stopped run's: it is this one's now.
    const DWORD waited = WaitForSingleObject(mutex, 0);
    if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) {
        *claim = mutex;
        return 0;
    }
    CloseHandle(mutex);
    return waited == WAIT_TIMEOUT ? EBUSY : ErrorNumber(GetLastError());
}

void ReleaseClaim(HANDLE claim)
{
    if (!claim)
        return;
    // Fails only on another thread than the claim's, which then lets go of
    // it when it ends.
    ReleaseMutex(claim);
    CloseHandle(claim);
}

}  // namespace

// Where a replace keeps the replaced file until the new one has its name.
const char* const kBackupSuffix = ".kqbackup";

struct KQHeldFile {
    HANDLE handle;
    KQFileStamp stamp;
    HANDLE claim;  // the claim on the file's name
};

struct KQSaveFile {
    std::wstring name;
    FILE* out;
    KQFileStamp stamp;
    bool created;
    bool deleteOnClose;  // the system removes it when its handle closes
    std::string detail;
};

bool KQFileStampUtf8(const std::string& name, KQFileStamp* stamp)
{
    return StampOfName(Wide(name), stamp);
}

bool KQFileStampOfStream(FILE* stream, KQFileStamp* stamp)
{
    if (!stream)
        return false;
    HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    return handle != INVALID_HANDLE_VALUE && StampOfHandle(handle, stamp);
}

KQHeldFile* KQHoldFileUtf8(const std::string& name, int* error, bool* locking)
{
    if (locking)
        *locking = false;
    // The name first, as every run takes it before it looks at anything.
    HANDLE claim = nullptr;
    const int claimed = ClaimName(name, &claim);
    if (claimed != 0) {
        *error = claimed;
        if (locking)
            *locking = claimed != EBUSY;
        return nullptr;
    }
    // Then the file. Asking for writing while sharing only reading: a second
    // run, asking the same, is refused, as is any other writer; readers
    // that let others write are not.
    HANDLE handle = CreateFileW(Wide(name).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        DWORD code = GetLastError();
        *error = code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION ? EBUSY : ErrorNumber(code);
        ReleaseClaim(claim);
        return nullptr;
    }
    KQHeldFile* held = new (std::nothrow) KQHeldFile{handle, KQFileStamp(), claim};
    if (!held || !StampOfHandle(handle, &held->stamp)) {
        *error = held ? ErrorNumber(GetLastError()) : ENOMEM;
        CloseHandle(handle);
        ReleaseClaim(claim);
        delete held;
        return nullptr;
    }
    return held;
}

void KQReleaseFile(KQHeldFile* held)
{
    if (!held)
        return;
    if (held->handle != INVALID_HANDLE_VALUE)
        CloseHandle(held->handle);
    ReleaseClaim(held->claim);
    delete held;
}

const KQFileStamp& KQHeldFileStamp(const KQHeldFile* held)
{
    return held->stamp;
}

bool KQHeldFileUnchangedUtf8(const KQHeldFile* held, const std::string& name)
{
    KQFileStamp now;
    return StampOfName(Wide(name), &now) && now == held->stamp;
}

KQSaveFile* KQCreateSaveFileUtf8(const std::string& name, const KQHeldFile* model, int* error, std::string* what)
{
    (void)model;
    (void)what;
    KQSaveFile* file = new (std::nothrow) KQSaveFile;
    if (!file) {
        *error = ENOMEM;
        return nullptr;
    }
    file->name = Wide(name);
    // Shared with nobody while it is written: no other program can rename
    // or replace it under its name meanwhile.
    const int injected = KQSaveStepError(KQ_STEP_CREATE, name);
    HANDLE handle = injected ? INVALID_HANDLE_VALUE
                             : CreateFileW(file->name.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        *error = injected ? injected : ErrorNumber(GetLastError());
        delete file;
        return nullptr;
    }
    // Removed by the system when its handle closes, also when the process
    // is stopped: a save stopped midway leaves nothing behind. The commit
    // takes that back just before the file replaces the archive.
    FILE_DISPOSITION_INFO dispose = {TRUE};
    file->deleteOnClose = SetFileInformationByHandle(handle, FileDispositionInfo, &dispose, sizeof(dispose)) != 0;
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_BINARY);
    FILE* stream = fd >= 0 ? _fdopen(fd, "wb") : nullptr;
    if (!stream || !StampOfHandle(handle, &file->stamp)) {
        *error = stream ? ErrorNumber(GetLastError()) : errno;
        // Through the handle: once it is closed, the name may be another's.
        // Refused, the file stays, unmarked, and the next save names it.
        RemoveOpenFile(handle);
        if (stream)
            fclose(stream);
        else if (fd >= 0)
            _close(fd);
        else
            CloseHandle(handle);
        delete file;
        return nullptr;
    }
    file->out = stream;
    file->created = true;
    return file;
}

int KQWriteSaveFile(KQSaveFile* file, const void* data, size_t size)
{
    int injected = KQSaveStepError(KQ_STEP_WRITE, Utf8(file->name));
    if (injected)
        return injected;
    return size > 0 && fwrite(data, 1, size, file->out) != size ? (errno ? errno : EIO) : 0;
}

int KQFlushSaveFileBuffer(KQSaveFile* file)
{
    int injected = KQSaveStepError(KQ_STEP_WRITE, Utf8(file->name));
    if (injected)
        return injected;
    return fflush(file->out) != 0 ? (errno ? errno : EIO) : 0;
}

const std::string& KQSaveFileDetail(const KQSaveFile* file)
{
    return file->detail;
}

namespace {

// After the replace: the file under the backup's name must be the package
// that was held, as it was, for the replace to stand. Then it is removed
// (through a handle, so that the file removed is the one checked). A file
// that another program put in the package's place after the last check
// got there instead: it goes back under the package's name and the new
// file under its own, and the save fails as one that found the package
// changed. The save's new file has the package's name on success only.
KQSaveResult FinishReplace(KQSaveFile* file, const std::string& target, const KQHeldFile* held, int* error)
{
    const std::string backupName = target + kBackupSuffix;
    const std::wstring backup = FullName(Wide(backupName));
    HANDLE old = OpenToMove(backup);
    // Gone already, or open in another program that lets nobody delete it:
    // it stays, and the next save names it.
    if (old == INVALID_HANDLE_VALUE)
        return KQ_SAVE_DONE;
    if (SameContent(old, held->stamp)) {
        // Refused, the old package stays under the backup's name, and the
        // next save names it.
        RemoveOpenFile(old);
        CloseHandle(old);
        return KQ_SAVE_DONE;
    }
    const std::wstring fullTarget = FullName(Wide(target));
    HANDLE written = OpenToMove(fullTarget);
    DWORD code = ERROR_FILE_NOT_FOUND;
    if (written != INVALID_HANDLE_VALUE) {
        KQFileStamp now;
        code = StampOfHandle(written, &now) && now.SameFile(file->stamp) ? RenameOpenFile(written, FullName(file->name))
                                                                         : ERROR_FILE_EXISTS;
        CloseHandle(written);
    }
    if (code != 0) {
        // The new file keeps the package's name and the other program's
        // file the backup's, where the next save finds it in its way.
        CloseHandle(old);
        *error = ErrorNumber(code);
        return KQ_SAVE_TARGET_CHANGED;
    }
    file->created = true;
    code = RenameOpenFile(old, fullTarget);
    CloseHandle(old);
    if (code == 0)
        return KQ_SAVE_TARGET_CHANGED;
    *error = ErrorNumber(code);
    file->detail = backupName;
    return KQ_SAVE_DOCUMENT_ELSEWHERE;
}

}  // namespace

KQSaveResult KQCommitSaveFileUtf8(KQSaveFile* file, const std::string& target, KQHeldFile* held, int* error)
{
    *error = 0;
    file->detail.clear();
    const std::string name = Utf8(file->name);
    HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file->out)));
    int injected = KQSaveStepError(KQ_STEP_FLUSH, name);
    if (injected || fflush(file->out) != 0) {
        *error = injected ? injected : errno;
        return KQ_SAVE_WRITE_FAILED;
    }
    injected = KQSaveStepError(KQ_STEP_FLUSH, name);
    if (injected || !FlushFileBuffers(handle)) {
        *error = injected ? injected : ErrorNumber(GetLastError());
        return KQ_SAVE_WRITE_FAILED;
    }
    FILE_DISPOSITION_INFO keep = {FALSE};
    if (file->deleteOnClose && !SetFileInformationByHandle(handle, FileDispositionInfo, &keep, sizeof(keep))) {
        *error = ErrorNumber(GetLastError());
        return KQ_SAVE_WRITE_FAILED;
    }
    file->deleteOnClose = false;
    FILE* out = file->out;
    file->out = nullptr;
    if (fclose(out) != 0) {
        *error = errno;
        return KQ_SAVE_WRITE_FAILED;
    }
    KQFileStamp named;
    if (!StampOfName(file->name, &named) || !named.SameFile(file->stamp))
        return KQ_SAVE_TEMPORARY_REPLACED;
    const std::wstring wideTarget = Wide(target);
    if (!held) {
        injected = KQSaveStepError(KQ_STEP_REPLACE, target);
        if (injected ||
            !MoveFileExW(file->name.c_str(), wideTarget.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            *error = injected ? injected : ErrorNumber(GetLastError());
            return KQ_SAVE_REPLACE_FAILED;
        }
        file->created = false;
        return KQ_SAVE_DONE;
    }
    if (!KQHeldFileUnchangedUtf8(held, target))
        return KQ_SAVE_TARGET_CHANGED;
    // The replaced file is kept under a name of its own until the new one
    // has its name: a replace that fails midway then leaves it there, to be
    // put back, instead of nowhere.
    const std::string backupName = target + kBackupSuffix;
    const std::wstring backup = FullName(Wide(backupName));
    if (GetFileAttributesW(backup.c_str()) != INVALID_FILE_ATTRIBUTES) {
        file->detail = backupName;
        *error = EEXIST;
        return KQ_SAVE_REPLACE_FAILED;
    }
    // The replace needs the file that this handle keeps others from; the
    // claim on the name stays.
    CloseHandle(held->handle);
    held->handle = INVALID_HANDLE_VALUE;
    injected = KQSaveStepError(KQ_STEP_REPLACE, target);
    if (injected) {
        *error = injected;
        return KQ_SAVE_REPLACE_FAILED;
    }
    // Full names: Wine's replace refuses relative ones (ERROR_DIRECTORY).
    const std::wstring fullTarget = FullName(wideTarget);
    const std::wstring fullName = FullName(file->name);
    if (ReplaceFileW(fullTarget.c_str(), fullName.c_str(), backup.c_str(), REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr,
                     nullptr)) {
        file->created = false;
        return FinishReplace(file, target, held, error);
    }
    DWORD code = GetLastError();
    *error = ErrorNumber(code);
    if (code == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2 ||
        (GetFileAttributesW(fullTarget.c_str()) == INVALID_FILE_ATTRIBUTES &&
         GetFileAttributesW(backup.c_str()) != INVALID_FILE_ATTRIBUTES)) {
        // The package went to the backup's name and the new file kept its
        // own: the package goes back if the file there is still it, or the
        // report says where it is.
        HANDLE old = OpenToMove(backup);
        DWORD moved = ERROR_FILE_NOT_FOUND;
        if (old != INVALID_HANDLE_VALUE) {
            moved = SameContent(old, held->stamp) ? RenameOpenFile(old, fullTarget) : ERROR_FILE_EXISTS;
            CloseHandle(old);
        }
        if (moved == 0)
            return KQ_SAVE_REPLACE_FAILED;
        *error = ErrorNumber(moved);
        file->created = false;
        file->detail = backupName;
        return KQ_SAVE_DOCUMENT_ELSEWHERE;
    }
    return KQ_SAVE_REPLACE_FAILED;
}

void KQAbandonSaveFile(KQSaveFile* file)
{
    if (!file)
        return;
    if (file->out)
        fclose(file->out);
    // Through a handle, so that the file removed is the one checked.
    HANDLE named = file->created ? OpenToMove(file->name) : INVALID_HANDLE_VALUE;
    if (named != INVALID_HANDLE_VALUE) {
        KQFileStamp now;
        // Refused, it stays, and the next save names it.
        if (StampOfHandle(named, &now) && now.SameFile(file->stamp))
            RemoveOpenFile(named);
        CloseHandle(named);
    }
    delete file;
}

KQLeftover KQReclaimLeftoverUtf8(const std::string& name, KQHeldFile* held)
{
    // A save's temporary goes with its handle, so a file under its name is
    // someone else's, or a stopped save's where the system refused to remove
    // it on close: it stays, and the save that needs the name says so.
    (void)held;
    return GetFileAttributesW(Wide(name).c_str()) == INVALID_FILE_ATTRIBUTES ? KQ_LEFTOVER_NONE : KQ_LEFTOVER_UNPROVEN;
}

KQRecovery KQRecoverStoppedSaveUtf8(const std::string& target, const std::string& temporary,
                                    std::string* document)
{
    // Saves here always replace the file, and nothing is ever put back: a
    // replace stopped between its two renames leaves the package under the
    // backup's name and the new file under its own, and which of them the
    // user wants is the user's to say. That is looked at under the claim
    // on the name, so that a live save between its renames is not taken for
    // a stopped one: the run then goes on and meets it as a second run does.
    // The new file under temporary is the caller's to look for.
    (void)temporary;
    HANDLE claim = nullptr;
    if (ClaimName(target, &claim) != 0)
        return KQ_RECOVERY_NONE;
    KQRecovery result = KQ_RECOVERY_NONE;
    const std::wstring wide = Wide(target);
    if (!wide.empty() && GetFileAttributesW(wide.c_str()) == INVALID_FILE_ATTRIBUTES &&
        GetLastError() == ERROR_FILE_NOT_FOUND) {
        const std::string backup = target + kBackupSuffix;
        document->clear();
        if (GetFileAttributesW(Wide(backup).c_str()) != INVALID_FILE_ATTRIBUTES)
            *document = backup;
        result = KQ_RECOVERY_MISSING;
    }
    ReleaseClaim(claim);
    return result;
}

int KQRemoveFileUtf8(const std::string& name)
{
    return _wremove(Wide(name).c_str()) == 0 ? 0 : errno;
}

#else  // not _WIN32

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <new>
#include <string>
#include <sys/file.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "standin/KQStandInWideText.h"

namespace {

KQFileKind KindOf(const std::string& name, bool followLinks)
{
    struct stat info;
    if ((followLinks ? ::stat(name.c_str(), &info) : ::lstat(name.c_str(), &info)) != 0)
        return KQ_FILE_MISSING;
    return S_ISREG(info.st_mode) ? KQ_FILE_REGULAR : KQ_FILE_OTHER;
}

}  // namespace

FILE* KQ_fopen(const char* name, const char* mode)
{
    if (!name || !mode) {
        errno = EINVAL;
        return nullptr;
    }
    return std::fopen(kqstandin::AnsiToUtf8(name).c_str(), mode);
}

KQFileKind KQFileKindUtf8(const std::string& name, bool followLinks)
{
    return KindOf(name, followLinks);
}

KQFileKind KQFileKindA(const char* name)
{
    return name ? KindOf(kqstandin::AnsiToUtf8(name), true) : KQ_FILE_MISSING;
}

KQFileKind KQFileKindW(const wchar_t* name)
{
    return name ? KindOf(kqstandin::ToUtf8(name), true) : KQ_FILE_MISSING;
}

std::string KQResolveLinksUtf8(const std::string& name)
{
    struct stat info;
    if (::lstat(name.c_str(), &info) != 0 || !S_ISLNK(info.st_mode))
        return name;
    char* real = ::realpath(name.c_str(), nullptr);
    if (!real)
        return name;
    std::string resolved(real);
    std::free(real);
    return resolved;
}

bool KQIsReadOnlyFileUtf8(const std::string& name)
{
    struct stat info;
    if (::stat(name.c_str(), &info) != 0)
        return false;
    // The administrator may write anything; a file that grants writing to
    // nobody is still read-only to this program.
    return (info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0 || ::access(name.c_str(), W_OK) != 0;
}

FILE* KQOpenFileForReadingUtf8(const std::string& name)
{
    // Opened without waiting, so that a pipe with no writer does not hold
    // the caller, and then asked what it is.
    const int fd = ::open(name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    struct stat info;
    int code = 0;
    if (::fstat(fd, &info) != 0)
        code = errno;
    else if (!S_ISREG(info.st_mode))
        code = EINVAL;
    else {
        const int flags = ::fcntl(fd, F_GETFL);
        if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0)
            code = errno;
    }
    if (code != 0) {
        ::close(fd);
        errno = code;
        return nullptr;
    }
    FILE* stream = ::fdopen(fd, "rb");
    if (!stream) {
        code = errno;
        ::close(fd);
        errno = code;
    }
    return stream;
}

FILE* KQOpenFileForReadingA(const char* name)
{
    if (!name) {
        errno = EINVAL;
        return nullptr;
    }
    return KQOpenFileForReadingUtf8(kqstandin::AnsiToUtf8(name));
}

FILE* KQOpenFileForReadingW(const wchar_t* name)
{
    if (!name) {
        errno = EINVAL;
        return nullptr;
    }
    return KQOpenFileForReadingUtf8(kqstandin::ToUtf8(name));
}

namespace {

// The mark a save's temporary carries from its creation until it has taken
// the place of the file it replaces. Only a save sets it, and a save holds
// a lock on its temporary while it writes: a marked file that nobody holds
// is what a stopped save left, whichever package it was written for (a
// folder copied or restored brings leftovers along).
const char* const kSaveMark = "user.kqsave";
const char kSaveMarkValue[] = "1";

void StampOf(const struct stat& info, KQFileStamp* stamp)
{
    stamp->device = static_cast<unsigned long long>(info.st_dev);
    stamp->index = static_cast<unsigned long long>(info.st_ino);
    stamp->size = static_cast<unsigned long long>(info.st_size);
    stamp->modified = static_cast<long long>(info.st_mtim.tv_sec) * 1000000000LL + info.st_mtim.tv_nsec;
    stamp->changed = static_cast<long long>(info.st_ctim.tv_sec) * 1000000000LL + info.st_ctim.tv_nsec;
    stamp->links = static_cast<unsigned long>(info.st_nlink);
}

bool StampOfDescriptor(int fd, KQFileStamp* stamp)
{
    struct stat info;
    if (::fstat(fd, &info) != 0)
        return false;
    StampOf(info, stamp);
    return true;
}

bool StampOfName(const std::string& name, bool followLinks, KQFileStamp* stamp)
{
    struct stat info;
    if ((followLinks ? ::stat(name.c_str(), &info) : ::lstat(name.c_str(), &info)) != 0)
        return false;
    StampOf(info, stamp);
    return true;
}

// Why a step failed: what the test seam injects, else errno.
int Failed(int injected)
{
    return injected ? injected : (errno ? errno : EIO);
}

// Flushes what the stream buffers, then the file's data or the whole file
// (metadata included) to the disk; 0 or an error number.
int FlushToDisk(FILE* stream, const std::string& name, bool metadata)
{
    int injected = KQSaveStepError(KQ_STEP_FLUSH, name);
    if (injected || std::fflush(stream) != 0)
        return Failed(injected);
    const int fd = ::fileno(stream);
    injected = KQSaveStepError(KQ_STEP_FLUSH, name);
    if (injected || (metadata ? ::fsync(fd) : ::fdatasync(fd)) != 0)
        return Failed(injected);
    return 0;
}

const char* const kAccessAcl = "system.posix_acl_access";

// Gives to the extended attributes of from, the access ACL among them, and
// takes away an ACL that from has not (one inherited from the folder's
// default ACL). Names what could not be kept.
int CopyExtendedAttributes(int from, int to, const std::string& name, std::string* what)
{
    std::vector<char> names;
    ssize_t length = ::flistxattr(from, nullptr, 0);
    if (length > 0) {
        names.resize(static_cast<size_t>(length));
        length = ::flistxattr(from, names.data(), names.size());
    }
    if (length < 0 && errno != ENOTSUP) {
        *what = "extended attributes";
        return errno;
    }
    bool hasAcl = false;
    std::vector<char> value;
    for (const char* at = names.data(); length > 0 && at < names.data() + length; at += std::strlen(at) + 1) {
        if (std::strcmp(at, kSaveMark) == 0)
            continue;
        const bool acl = std::strcmp(at, kAccessAcl) == 0;
        hasAcl = hasAcl || acl;
        *what = acl ? std::string("access control list") : "extended attribute '" + std::string(at) + "'";
        ssize_t size = ::fgetxattr(from, at, nullptr, 0);
        if (size >= 0) {
            value.resize(static_cast<size_t>(size) + 1);
            size = ::fgetxattr(from, at, value.data(), value.size());
        }
        // One removed since it was listed is not there to keep.
        if (size < 0 && errno == ENODATA)
            continue;
        if (size < 0)
            return errno;
        int injected = KQSaveStepError(acl ? KQ_STEP_ACL : KQ_STEP_ATTRIBUTE, name);
        if (injected || ::fsetxattr(to, at, value.data(), static_cast<size_t>(size), 0) != 0)
            return Failed(injected);
    }
    if (!hasAcl) {
        *what = "access control list";
        int injected = KQSaveStepError(KQ_STEP_ACL, name);
        if (injected || (::fremovexattr(to, kAccessAcl) != 0 && errno != ENODATA && errno != ENOTSUP))
            return Failed(injected);
    }
    what->clear();
    return 0;
}

// Creates name anew, open for writing (and reading), held and marked as a
// save's own. Where the file system can, the file is made without a name,
// held and marked, and only then given its name: a run stopped at any moment
// leaves no file under the name that is not marked. Elsewhere it is marked
// right after its creation. -1 with errno on failure (EEXIST: name is taken).
int CreateMarked(const std::string& name, mode_t mode)
{
    size_t slash = name.find_last_of('/');
    const std::string folder = slash == std::string::npos ? std::string(".") : name.substr(0, slash == 0 ? 1 : slash);
    int fd = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, mode);
    if (fd >= 0) {
        (void)::flock(fd, LOCK_EX | LOCK_NB);
        (void)::fsetxattr(fd, kSaveMark, kSaveMarkValue, sizeof(kSaveMarkValue) - 1, 0);
        const std::string self = "/proc/self/fd/" + std::to_string(fd);
        if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0 ||
            (errno != EEXIST && ::linkat(fd, "", AT_FDCWD, name.c_str(), AT_EMPTY_PATH) == 0))
            return fd;
        const int linking = errno;
        ::close(fd);
        if (linking == EEXIST) {
            errno = EEXIST;
            return -1;
        }
    }
    // No unnamed files here (or no way to name one): the plain way.
    fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode);
    if (fd < 0)
        return -1;
    // A new file cannot be held by anyone else yet. Where no attribute can
    // be set the leftover of a stopped save is not proven ours, and the next
    // save says so.
    (void)::flock(fd, LOCK_EX | LOCK_NB);
    (void)::fsetxattr(fd, kSaveMark, kSaveMarkValue, sizeof(kSaveMarkValue) - 1, 0);
    return fd;
}

// Makes a rename in the folder of name durable; 0 or an error number.
int FlushFolderOf(const std::string& name)
{
    size_t slash = name.find_last_of('/');
    std::string folder = slash == std::string::npos ? std::string(".") : name.substr(0, slash == 0 ? 1 : slash);
    int injected = KQSaveStepError(KQ_STEP_FOLDER_FLUSH, folder);
    if (injected)
        return injected;
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    int result = ::fsync(fd) == 0 ? 0 : errno;
    ::close(fd);
    // Folders of some file systems cannot be flushed, and need not be.
    return result == EINVAL || result == ENOTSUP ? 0 : result;
}

}  // namespace

struct KQHeldFile {
    int fd;
    KQFileStamp stamp;
};

struct KQSaveFile {
    std::string name;
    FILE* out;
    KQFileStamp stamp;  // the file created under name
    bool created;
    bool ownerKept;  // it has the owner and group of the file it replaces
    std::string detail;
};

bool KQFileStampUtf8(const std::string& name, KQFileStamp* stamp)
{
    return StampOfName(name, true, stamp);
}

bool KQFileStampOfStream(FILE* stream, KQFileStamp* stamp)
{
    return stream && StampOfDescriptor(::fileno(stream), stamp);
}

KQHeldFile* KQHoldFileUtf8(const std::string& name, int* error, bool* locking)
{
    if (locking)
        *locking = false;
    // A save replaces the file by a rename: a run that waited for the lock
    // of the file it opened may then hold one that the name no longer
    // designates. It holds what the name designates once both agree.
    for (int attempt = 0; attempt < 8; ++attempt) {
        // NFS emulates the lock with a byte-range lock, which an exclusive
        // lock takes only on a file open for writing. Opening for writing
        // changes nothing of the file.
        int fd = ::open(name.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
        if (fd < 0 && (errno == EACCES || errno == EPERM || errno == EROFS || errno == ETXTBSY))
            fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
        if (fd < 0) {
            *error = errno;
            return nullptr;
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            *error = errno == EWOULDBLOCK ? EBUSY : errno;
            if (locking && *error != EBUSY)
                *locking = true;
            ::close(fd);
            return nullptr;
        }
        KQFileStamp held, named;
        if (!StampOfDescriptor(fd, &held)) {
            *error = errno;
            ::close(fd);
            return nullptr;
        }
        if (StampOfName(name, true, &named) && named.SameFile(held)) {
            KQHeldFile* file = new (std::nothrow) KQHeldFile{fd, held};
            if (!file) {
                ::close(fd);
                *error = ENOMEM;
            }
            return file;
        }
        ::close(fd);
    }
    *error = EBUSY;
    return nullptr;
}

void KQReleaseFile(KQHeldFile* held)
{
    if (!held)
        return;
    if (held->fd >= 0)
        ::close(held->fd);
    delete held;
}

const KQFileStamp& KQHeldFileStamp(const KQHeldFile* held)
{
    return held->stamp;
}

bool KQHeldFileUnchangedUtf8(const KQHeldFile* held, const std::string& name)
{
    KQFileStamp now;
    return StampOfName(name, true, &now) && now == held->stamp;
}

KQSaveFile* KQCreateSaveFileUtf8(const std::string& name, const KQHeldFile* model, int* error, std::string* what)
{
    struct stat info;
    const bool like = model && ::fstat(model->fd, &info) == 0;
    int injected = KQSaveStepError(KQ_STEP_CREATE, name);
    // Readable by this user alone until the commit has given it every right
    // of the file it replaces: no one gains access on the way.
    // Held and marked before any data is written: a leftover without the
    // mark (a file system without extended attributes) is never taken for
    // ours, and one still held is a live save's.
    int fd = injected ? -1 : CreateMarked(name, like ? 0600 : 0666);
    if (fd < 0) {
        *error = Failed(injected);
        return nullptr;
    }
    KQSaveFile* file = new (std::nothrow) KQSaveFile;
    bool ownerKept = !like;
    *error = 0;
    if (file && like) {
        // Root keeps owner and group; the owner keeps them where a member
        // of the group. Anyone else cannot, and the commit then writes into
        // the held file itself.
        injected = KQSaveStepError(KQ_STEP_OWNER, name);
        ownerKept = !injected && ::fchown(fd, info.st_uid, info.st_gid) == 0;
        if (!ownerKept && (injected || errno != EPERM)) {
            *error = Failed(injected);
            if (what)
                *what = "owner and group";
        }
    }
    FILE* stream = file && *error == 0 ? ::fdopen(fd, "wb") : nullptr;
    if (!stream || !StampOfDescriptor(fd, &file->stamp)) {
        *error = !file ? ENOMEM : *error ? *error : errno;
        if (stream)
            std::fclose(stream);
        else
            ::close(fd);
        ::unlink(name.c_str());
        delete file;
        return nullptr;
    }
    file->name = name;
    file->out = stream;
    file->created = true;
    file->ownerKept = ownerKept;
    return file;
}

int KQWriteSaveFile(KQSaveFile* file, const void* data, size_t size)
{
    int injected = KQSaveStepError(KQ_STEP_WRITE, file->name);
    if (injected || (size > 0 && std::fwrite(data, 1, size, file->out) != size))
        return Failed(injected);
    return 0;
}

int KQFlushSaveFileBuffer(KQSaveFile* file)
{
    int injected = KQSaveStepError(KQ_STEP_WRITE, file->name);
    return injected || std::fflush(file->out) != 0 ? Failed(injected) : 0;
}

const std::string& KQSaveFileDetail(const KQSaveFile* file)
{
    return file->detail;
}

namespace {

// Gives the written file the rights of the held one: owner and group were
// given at its creation, then come the extended attributes
// and ACL, and the mode last, which sets the ACL's mask to the group bits
// the held file shows (its own mask). Until the mode is set the file is
// this user's alone, so a step that fails widens nothing.
KQSaveResult GiveRights(KQSaveFile* file, const KQHeldFile* held, int* error)
{
    const int fd = ::fileno(file->out);
    struct stat info;
    if (::fstat(held->fd, &info) != 0) {
        *error = errno;
        file->detail = "permissions";
        return KQ_SAVE_NOT_KEPT;
    }
    *error = CopyExtendedAttributes(held->fd, fd, file->name, &file->detail);
    if (*error != 0)
        return KQ_SAVE_NOT_KEPT;
    int injected = KQSaveStepError(KQ_STEP_MODE, file->name);
    if (injected || ::fchmod(fd, info.st_mode & 07777) != 0) {
        *error = Failed(injected);
        file->detail = "permissions";
        return KQ_SAVE_NOT_KEPT;
    }
    return KQ_SAVE_DONE;
}

// True when the file under name is the held one as it was held: identity,
// size, modification time and names. Its change time is not asked: the
// rename that moved it set it.
bool StillTheHeldFile(const KQHeldFile* held, const std::string& name)
{
    KQFileStamp named, opened;
    return StampOfName(name, false, &named) && StampOfDescriptor(held->fd, &opened) &&
           named.SameContent(held->stamp) && opened.SameContent(held->stamp);
}

// Where an in-place save keeps the package's bytes while it overwrites
// them, and where it writes that copy first.
const char* const kBackupSuffix = ".kqbackup";
const char* const kBackupPartSuffix = ".kqbackup.part";

bool NoSuchRename(int error)
{
    return error == EINVAL || error == ENOSYS || error == ENOTSUP || error == EOPNOTSUPP;
}

// Gives the file named from the name to, which must not exist yet; 0 or an
// error number (EEXIST: to is taken). File systems that cannot rename
// without replacing (exFAT through FUSE, NFS, CIFS) give the file its
// second name and then take the first away; where a file cannot have two
// names, to is made by an exclusive create and only that file of ours is
// replaced.
int RenameNoReplace(const std::string& from, const std::string& to)
{
    int injected = KQSaveStepError(KQ_STEP_RENAME, to);
    if (!injected && ::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return 0;
    int error = Failed(injected);
    if (!NoSuchRename(error))
        return error;
    injected = KQSaveStepError(KQ_STEP_RENAME, to);
    if (!injected && ::link(from.c_str(), to.c_str()) == 0) {
        if (::unlink(from.c_str()) == 0)
            return 0;
        error = errno;
        // Both names are still the file's: the new one goes again.
        (void)::unlink(to.c_str());
        return error;
    }
    error = Failed(injected);
    if (error != EPERM && error != EMLINK && error != ENOSYS && error != ENOTSUP && error != EOPNOTSUPP)
        return error;
    int placeholder = ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (placeholder < 0)
        return errno;
    KQFileStamp made, named;
    const bool ours =
        StampOfDescriptor(placeholder, &made) && StampOfName(to, false, &named) && named.SameFile(made);
    ::close(placeholder);
    if (!ours)
        return EEXIST;
    if (::rename(from.c_str(), to.c_str()) != 0) {
        error = errno;
        if (StampOfName(to, false, &named) && named.SameFile(made))
            (void)::unlink(to.c_str());
        return error;
    }
    return 0;
}

// Removes name when it still is the open file fd. The file is first moved
// to a name of this process's own and checked there, so that a file moved
// under name after fd was checked is never the one removed: such a file is
// put back. True when fd's file is gone.
bool RemoveIfStill(const std::string& name, int fd)
{
    static unsigned long long count = 0;
    struct timespec now;
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const std::string aside = name + ".kqgone-" + std::to_string(::getpid()) + "-" + std::to_string(++count) + "-" +
                              std::to_string(now.tv_nsec);
    const int injected = KQSaveStepError(KQ_STEP_RENAME, aside);
    if (injected || ::renameat2(AT_FDCWD, name.c_str(), AT_FDCWD, aside.c_str(), RENAME_NOREPLACE) != 0) {
        // Where the file system cannot refuse to replace, a name that this
        // process made up, that no one has a reason to use, takes its place.
        if (!NoSuchRename(Failed(injected)) || ::rename(name.c_str(), aside.c_str()) != 0)
            return false;
    }
    KQFileStamp opened, moved;
    if (StampOfDescriptor(fd, &opened) && StampOfName(aside, false, &moved) && moved.SameFile(opened))
        return ::unlink(aside.c_str()) == 0;
    // Should name be taken again meanwhile, the file stays where it is now,
    // under a name that tells where it came from.
    (void)RenameNoReplace(aside, name);
    return false;
}

// The access ACL that lets the user owner read a file that is otherwise
// its owner's alone: owner read and write, owner read, nothing else.
std::string OwnerReadsAcl(uid_t owner)
{
    struct Entry {
        uint16_t tag;
        uint16_t perm;
        uint32_t id;
    };
    const uint32_t version = 2, none = 0xFFFFFFFFu;
    const Entry entries[] = {{0x01, 6, none}, {0x02, 4, static_cast<uint32_t>(owner)}, {0x04, 0, none},
                             {0x10, 4, none}, {0x20, 0, none}};
    std::string acl(reinterpret_cast<const char*>(&version), sizeof(version));
    acl.append(reinterpret_cast<const char*>(entries), sizeof(entries));
    return acl;
}

// The backup copy holds the document, so it grants nobody a right that the
// package does not: it is this user's (who read and writes the package),
// and the package's owner may read it, so that the owner can always take
// the document back. Where the file system cannot give exactly that (no
// ACLs, fixed permissions), nothing is written and *why says so.
int GiveBackupRights(int copy, const struct stat& package, const std::string& name, std::string* why)
{
    const uid_t self = ::geteuid();
    int injected = KQSaveStepError(KQ_STEP_MODE, name);
    if (injected || ::fchmod(copy, 0600) != 0) {
        *why = "its permissions cannot be set";
        return Failed(injected);
    }
    if (package.st_uid != self) {
        const std::string acl = OwnerReadsAcl(package.st_uid);
        injected = KQSaveStepError(KQ_STEP_ACL, name);
        if (injected || ::fsetxattr(copy, kAccessAcl, acl.data(), acl.size(), 0) != 0) {
            *why = "the package's owner cannot be given the right to read it";
            return Failed(injected);
        }
    }
    struct stat info;
    if (::fstat(copy, &info) != 0) {
        *why = "its permissions cannot be read";
        return errno;
    }
    if (info.st_uid != self || (info.st_mode & 07777) != (package.st_uid != self ? 0640u : 0600u)) {
        *why = "the file system gives it other permissions than asked";
        return EPERM;
    }
    return 0;
}

// Copies all of from over to, from the start, and cuts to there; 0 or an
// error number.
int CopyContent(int from, int to, KQSaveStep step, const std::string& name)
{
    std::vector<char> buffer(1 << 20);
    off_t at = 0;
    for (;;) {
        ssize_t n = ::pread(from, buffer.data(), buffer.size(), at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return errno;
        if (n == 0)
            break;
        for (ssize_t done = 0; done < n;) {
            int injected = KQSaveStepError(step, name);
            ssize_t w = injected ? -1 : ::pwrite(to, buffer.data() + done, static_cast<size_t>(n - done), at + done);
            if (w < 0 && !injected && errno == EINTR)
                continue;
            if (w <= 0)
                return Failed(injected);
            done += w;
        }
        at += n;
    }
    return ::ftruncate(to, at) == 0 ? 0 : errno;
}

int FlushDescriptor(int fd, const std::string& name)
{
    int injected = KQSaveStepError(KQ_STEP_FLUSH, name);
    return injected || ::fsync(fd) != 0 ? Failed(injected) : 0;
}

// Reads up to size bytes at at; the count read (short only at the end), or
// -1.
ssize_t ReadAt(int fd, char* into, size_t size, off_t at)
{
    size_t done = 0;
    while (done < size) {
        ssize_t n = ::pread(fd, into + done, size - done, at + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

// What the package holds next to the old bytes (the backup) and the new
// ones (the written file) of an in-place save.
enum Holding {
    HOLDS_OLD,     // the old bytes, whole
    HOLDS_NEW,     // the new bytes, whole
    HOLDS_PARTLY,  // the new bytes up to some point, the old ones after it: an overwrite under way
    HOLDS_OTHER,   // anything else: someone else's bytes
    HOLDS_UNREAD
};

Holding WhatThePackageHolds(int package, int old, int fresh)
{
    struct stat p, o, n;
    if (::fstat(package, &p) != 0 || ::fstat(old, &o) != 0 || ::fstat(fresh, &n) != 0)
        return HOLDS_UNREAD;
    const off_t sizeP = p.st_size, sizeO = o.st_size, sizeN = n.st_size;
    bool sameOld = sizeP == sizeO, sameNew = sizeP == sizeN, prefix = true, tail = true;
    off_t newUpTo = 0;  // the package equals the new bytes before this
    const size_t chunk = 1 << 20;
    std::vector<char> bp(chunk), bo(chunk), bn(chunk);
    for (off_t at = 0; at < sizeP && (sameOld || sameNew || tail); at += static_cast<off_t>(chunk)) {
        const ssize_t np = ReadAt(package, bp.data(), chunk, at), no = ReadAt(old, bo.data(), chunk, at),
                      nn = ReadAt(fresh, bn.data(), chunk, at);
        if (np < 0 || no < 0 || nn < 0)
            return HOLDS_UNREAD;
        for (ssize_t i = 0; i < np; ++i) {
            const char c = bp[static_cast<size_t>(i)];
            const bool hasOld = i < no && bo[static_cast<size_t>(i)] == c;
            const bool hasNew = i < nn && bn[static_cast<size_t>(i)] == c;
            sameOld = sameOld && hasOld;
            sameNew = sameNew && hasNew;
            if (prefix && hasNew) {
                newUpTo = at + i + 1;
                continue;
            }
            prefix = false;
            tail = tail && hasOld;
        }
    }
    if (sameNew)
        return HOLDS_NEW;
    if (sameOld)
        return HOLDS_OLD;
    // The overwrite cuts the package to the new size only at its end.
    return tail && sizeP == std::max(sizeO, newUpTo) ? HOLDS_PARTLY : HOLDS_OTHER;
}

// True when the open file is this user's and nobody else may have written
// it since this user did: a regular file with one name, owned by this user,
// writable by the owner alone (an ACL's named entries are bound by its mask,
// which the group bits show).
bool WrittenByThisUserAlone(int fd)
{
    struct stat info;
    return ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == ::geteuid() && info.st_nlink == 1 &&
           (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// Puts the written file's bytes into the held file itself, for a runner
// that cannot give a new file the owner and group: a rename would hand the
// document to the runner. A flushed copy of the held file's bytes stands
// beside it under the backup's name while it is overwritten, so that a run
// stopped at any moment leaves the document whole in one of them; the next
// run of this user puts the copy back when it can prove that nothing else
// happened (KQRecoverStoppedSaveUtf8), and any other tells where it is.
// Owner, group, mode, ACL, attributes and every name of the file stay as
// they are. The file is checked after the overwrite as the rename is after
// its swap: a file put in its place, or bytes written into it meanwhile,
// fail the save.
KQSaveResult CommitInPlace(KQSaveFile* file, const std::string& target, KQHeldFile* held, int* error)
{
    if ((::fcntl(held->fd, F_GETFL) & O_ACCMODE) != O_RDWR) {
        *error = EACCES;
        return KQ_SAVE_REPLACE_FAILED;
    }
    if (!KQHeldFileUnchangedUtf8(held, target))
        return KQ_SAVE_TARGET_CHANGED;
    struct stat package;
    if (::fstat(held->fd, &package) != 0) {
        *error = errno;
        return KQ_SAVE_REPLACE_FAILED;
    }
    int written = ::open(file->name.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    KQFileStamp opened;
    if (written < 0 || !StampOfDescriptor(written, &opened) || !opened.SameFile(file->stamp)) {
        if (written >= 0)
            ::close(written);
        return KQ_SAVE_TEMPORARY_REPLACED;
    }
    const std::string part = target + kBackupPartSuffix, backup = target + kBackupSuffix;
    KQSaveResult result = KQ_SAVE_WRITE_FAILED;
    bool named = false;  // the copy is under the backup's name
    int injected = KQSaveStepError(KQ_STEP_CREATE, part);
    int copy = injected ? -1 : CreateMarked(part, 0600);
    if (copy < 0) {
        *error = Failed(injected);
        if (*error == EEXIST) {
            file->detail = part;
            result = KQ_SAVE_REPLACE_FAILED;
        }
        ::close(written);
        return result;
    }
    Holding now = HOLDS_OTHER;
    KQFileStamp where;
    if ((*error = GiveBackupRights(copy, package, part, &file->detail)) != 0) {
        result = KQ_SAVE_BACKUP_REFUSED;
        goto failed;
    }
    if ((*error = CopyContent(held->fd, copy, KQ_STEP_BACKUP, part)) != 0 ||
        (*error = FlushDescriptor(copy, part)) != 0)
        goto failed;
    if ((*error = RenameNoReplace(part, backup)) != 0) {
        if (*error == EEXIST)
            file->detail = backup;
        result = KQ_SAVE_REPLACE_FAILED;
        goto failed;
    }
    named = true;
    if ((*error = FlushFolderOf(target)) != 0)
        goto failed;
    // The copy is of the file as it was held only when nobody wrote to it
    // meanwhile.
    if (!KQHeldFileUnchangedUtf8(held, target)) {
        result = KQ_SAVE_TARGET_CHANGED;
        goto failed;
    }
    if ((*error = CopyContent(written, held->fd, KQ_STEP_IN_PLACE, target)) != 0 ||
        (*error = FlushDescriptor(held->fd, target)) != 0) {
        // The package is partly overwritten: its bytes go back at once.
        int restored = CopyContent(copy, held->fd, KQ_STEP_IN_PLACE, target);
        if (restored == 0)
            restored = FlushDescriptor(held->fd, target);
        if (restored != 0) {
            file->detail = backup;
            file->created = false;
            ::close(copy);
            ::close(written);
            return KQ_SAVE_DOCUMENT_ELSEWHERE;
        }
        goto failed;
    }
    // Another program may have put a file in the package's place, or written
    // into it, while it was overwritten.
    if (!StampOfName(target, false, &where) || !where.SameFile(held->stamp) || where.links != held->stamp.links) {
        result = KQ_SAVE_TARGET_CHANGED;
        goto failed;
    }
    now = WhatThePackageHolds(held->fd, copy, written);
    if (now != HOLDS_NEW) {
        file->detail = backup;
        file->created = false;
        *error = 0;
        ::close(copy);
        ::close(written);
        return KQ_SAVE_WRITTEN_MEANWHILE;
    }
    // Overwritten, flushed and checked: the copy goes. Should it stay, the
    // package holds the new bytes whole beside it, and the next run of this
    // user removes it.
    (void)RemoveIfStill(backup, copy);
    ::close(copy);
    ::close(written);
    (void)FlushFolderOf(target);
    return KQ_SAVE_DONE;
failed:
    (void)RemoveIfStill(named ? backup : part, copy);
    ::close(copy);
    ::close(written);
    return result;
}

}  // namespace

KQSaveResult KQCommitSaveFileUtf8(KQSaveFile* file, const std::string& target, KQHeldFile* held, int* error)
{
    *error = 0;
    file->detail.clear();
    const int fd = ::fileno(file->out);
    // The data first: a power cut after the rename must not find a file
    // that has its name but not yet its bytes.
    if ((*error = FlushToDisk(file->out, file->name, false)) != 0)
        return KQ_SAVE_WRITE_FAILED;
    if (held && !file->ownerKept)
        return CommitInPlace(file, target, held, error);
    if (held) {
        KQSaveResult given = GiveRights(file, held, error);
        if (given != KQ_SAVE_DONE)
            return given;
    }
    if ((*error = FlushDescriptor(fd, file->name)) != 0)
        return KQ_SAVE_WRITE_FAILED;
    KQFileStamp named;
    if (!StampOfName(file->name, false, &named) || !named.SameFile(file->stamp))
        return KQ_SAVE_TEMPORARY_REPLACED;
    if (held && !KQHeldFileUnchangedUtf8(held, target))
        return KQ_SAVE_TARGET_CHANGED;
    const int injected = KQSaveStepError(KQ_STEP_REPLACE, target);
    if (injected) {
        *error = injected;
        return KQ_SAVE_REPLACE_FAILED;
    }
    // Swapping the names, where the file system can, leaves the replaced
    // file under the temporary's name: a change made to it after the check
    // above shows there, and the swap is undone.
    bool exchanged = false;
    if (held) {
        exchanged = ::renameat2(AT_FDCWD, file->name.c_str(), AT_FDCWD, target.c_str(), RENAME_EXCHANGE) == 0;
        if (!exchanged && !NoSuchRename(errno)) {
            *error = errno;
            return KQ_SAVE_REPLACE_FAILED;
        }
    }
    if (exchanged && !StillTheHeldFile(held, file->name)) {
        if (::renameat2(AT_FDCWD, file->name.c_str(), AT_FDCWD, target.c_str(), RENAME_EXCHANGE) != 0) {
            *error = errno;
            file->detail = file->name;
            file->created = false;
            return KQ_SAVE_DOCUMENT_ELSEWHERE;
        }
        return KQ_SAVE_TARGET_CHANGED;
    }
    if (!exchanged && ::rename(file->name.c_str(), target.c_str()) != 0) {
        *error = errno;
        return KQ_SAVE_REPLACE_FAILED;
    }
    file->created = false;
    // The replaced file goes, still held, so that no stale copy of the
    // document stays behind. A run stopped just before leaves it under the
    // temporary's name beside a marked package: the next run reclaims it.
    if (exchanged)
        (void)::unlink(file->name.c_str());
    // The mark goes only now: a save stopped before the rename leaves a
    // leftover that the next run can tell for one. One stopped right here
    // leaves the mark on the saved package, which the next run removes.
    (void)::fremovexattr(fd, kSaveMark);
    FILE* out = file->out;
    file->out = nullptr;
    (void)std::fclose(out);  // written and flushed already
    // The package is the new one now, whether or not its name is on the
    // disk yet: failing the save would tell of a package left as it was.
    (void)FlushFolderOf(target);
    return KQ_SAVE_DONE;
}

void KQAbandonSaveFile(KQSaveFile* file)
{
    if (!file)
        return;
    if (file->out)
        std::fclose(file->out);
    KQFileStamp named;
    if (file->created && StampOfName(file->name, false, &named) && named.SameFile(file->stamp))
        ::unlink(file->name.c_str());
    delete file;
}

namespace {

// Whether the open file carries the save mark: 1 yes, 0 no, -1 where no
// mark can be set (so none proves anything).
int Marked(int fd)
{
    char mark[sizeof(kSaveMarkValue)];
    const ssize_t n = ::fgetxattr(fd, kSaveMark, mark, sizeof(mark));
    if (n < 0)
        return errno == ENOTSUP ? -1 : 0;
    return n == static_cast<ssize_t>(sizeof(kSaveMarkValue) - 1) &&
           std::memcmp(mark, kSaveMarkValue, static_cast<size_t>(n)) == 0;
}

}  // namespace

KQLeftover KQReclaimLeftoverUtf8(const std::string& name, KQHeldFile* held)
{
    // A package that still carries the mark is one whose save was stopped
    // after its rename: a file under the temporary's name beside it is the
    // package that the save replaced.
    const bool packageMarked = held && Marked(held->fd) == 1;
    KQLeftover result = KQ_LEFTOVER_NONE;
    int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    if (fd >= 0) {
        KQFileStamp opened, named;
        struct stat info;
        const int marked = Marked(fd);
        // The lock is taken last and kept until the file is gone, so that
        // no save can have begun to write into it in between.
        const bool regular = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && StampOfDescriptor(fd, &opened) &&
                             StampOfName(name, false, &named) && named.SameFile(opened);
        if (!regular || (marked != 1 && !packageMarked))
            result = marked < 0 ? KQ_LEFTOVER_UNPROVEN : KQ_LEFTOVER_FOREIGN;
        else if (::flock(fd, LOCK_EX | LOCK_NB) != 0)
            result = KQ_LEFTOVER_IN_USE;
        else if (!RemoveIfStill(name, fd))
            result = KQ_LEFTOVER_UNPROVEN;
        ::close(fd);
    } else if (errno == EACCES || errno == EPERM) {
        // Another user's (a stopped in-place save's temporary is its writer's
        // alone): whose it is cannot be told from here.
        result = KQ_LEFTOVER_UNPROVEN;
    } else if (errno != ENOENT) {
        result = KQ_LEFTOVER_FOREIGN;
    }
    if (packageMarked && result == KQ_LEFTOVER_NONE && ::fremovexattr(held->fd, kSaveMark) == 0)
        StampOfDescriptor(held->fd, &held->stamp);
    return result;
}

KQRecovery KQRecoverStoppedSaveUtf8(const std::string& target, const std::string& temporary,
                                    std::string* document)
{
    const std::string backup = target + kBackupSuffix;
    // The lock first: a live save holds it, and what it has beside the
    // package is its own business; this run then ends as any run that
    // meets another's save does. Without the lock nothing is looked at.
    int code = 0;
    KQHeldFile* held = KindOf(target, true) == KQ_FILE_REGULAR ? KQHoldFileUtf8(target, &code) : nullptr;
    if (!held)
        return KQ_RECOVERY_NONE;
    // A copy stopped before it had the backup's name holds nothing the
    // package lacks: it goes when it is proven a save's, and anything else
    // under its name stays for the next in-place save to name.
    (void)KQReclaimLeftoverUtf8(target + kBackupPartSuffix);
    KQRecovery result = KQ_RECOVERY_NONE;
    int old = ::open(backup.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    const int oldError = errno;
    // Every save that writes into the package has its temporary beside it
    // until the end: a copy without one is no stopped save's (a user's own
    // file of that name, say), and the package is whole.
    int fresh = old >= 0 || oldError != ENOENT
                    ? ::open(temporary.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY)
                    : -1;
    const bool noTemporary = fresh < 0 && errno == ENOENT;
    if ((old >= 0 || oldError != ENOENT) && !noTemporary) {
        // What is there cannot be read by this user (another's copy) or
        // holds something else: it is left as it is, and the run says where.
        result = KQ_RECOVERY_ELSEWHERE;
        const Holding holds = old >= 0 && fresh >= 0 ? WhatThePackageHolds(held->fd, old, fresh) : HOLDS_UNREAD;
        const bool mine = old >= 0 && WrittenByThisUserAlone(old);
        if (holds == HOLDS_OLD || holds == HOLDS_NEW) {
            // The package is whole; a copy of this user's is no longer
            // needed, anyone else's stays theirs.
            if (mine)
                (void)RemoveIfStill(backup, old);
            result = KQ_RECOVERY_NONE;
        } else if (holds == HOLDS_PARTLY && mine && WrittenByThisUserAlone(fresh) &&
                   (::fcntl(held->fd, F_GETFL) & O_ACCMODE) == O_RDWR &&
                   CopyContent(old, held->fd, KQ_STEP_IN_PLACE, target) == 0 &&
                   FlushDescriptor(held->fd, target) == 0) {
            // This user's own save was stopped while it overwrote the
            // package, and nothing else happened since: its bytes go back.
            // The copy goes only when they went back into the package
            // under its name.
            KQFileStamp named;
            if (StampOfName(target, false, &named) && named.SameFile(held->stamp) &&
                WhatThePackageHolds(held->fd, old, old) == HOLDS_NEW) {
                (void)RemoveIfStill(backup, old);
                (void)FlushFolderOf(target);
                result = KQ_RECOVERY_RESTORED;
            }
        }
    }
    if (result == KQ_RECOVERY_ELSEWHERE)
        *document = backup;
    if (fresh >= 0)
        ::close(fresh);
    if (old >= 0)
        ::close(old);
    KQReleaseFile(held);
    return result;
}

int KQRemoveFileUtf8(const std::string& name)
{
    return ::unlink(name.c_str()) == 0 ? 0 : errno;
}

#endif

FILE* KQSaveFileStream(KQSaveFile* file)
{
    return file->out;
}

namespace {

KQSaveStepHook saveStepHook = nullptr;

}  // namespace

void KQSetSaveStepHook(KQSaveStepHook hook)
{
    saveStepHook = hook;
}

int KQSaveStepError(KQSaveStep step, const std::string& file)
{
    return saveStepHook ? saveStepHook(step, file.c_str()) : 0;
}
