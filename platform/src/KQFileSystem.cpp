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

FILE* KQOpenFileForReadingUtf8(const std::string& name)
{
    return _wfopen(Wide(name).c_str(), L"rb");
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

}  // namespace

struct KQHeldFile {
    HANDLE handle;
    KQFileStamp stamp;
};

struct KQSaveFile {
    std::wstring name;
    FILE* out;
    KQFileStamp stamp;
    bool created;
    bool deleteOnClose;  // the system removes it when its handle closes
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

KQHeldFile* KQHoldFileUtf8(const std::string& name, int* error)
{
    // Asking for writing while sharing only reading: a second run, asking
    // the same, is refused, as is any other writer; readers that let others
    // write are not.
    HANDLE handle = CreateFileW(Wide(name).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        DWORD code = GetLastError();
        *error = code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION ? EBUSY : ErrorNumber(code);
        return nullptr;
    }
    KQHeldFile* held = new (std::nothrow) KQHeldFile{handle, KQFileStamp()};
    if (!held || !StampOfHandle(handle, &held->stamp)) {
        *error = held ? ErrorNumber(GetLastError()) : ENOMEM;
        CloseHandle(handle);
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
    delete held;
}

const KQFileStamp& KQHeldFileStamp(const KQHeldFile* held)
{
    return held->stamp;
}

bool KQHeldFileUnchangedUtf8(const KQHeldFile* held, const std::string& name)
{
    KQFileStamp now;
    return StampOfName(Wide(name), &now) && now.SameFile(held->stamp) && now.size == held->stamp.size &&
           now.modified == held->stamp.modified;
}

KQSaveFile* KQCreateSaveFileUtf8(const std::string& name, const KQHeldFile* model, int* error)
{
    (void)model;
    KQSaveFile* file = new (std::nothrow) KQSaveFile;
    if (!file) {
        *error = ENOMEM;
        return nullptr;
    }
    file->name = Wide(name);
    // Shared with nobody while it is written: no other program can rename
    // or replace it under its name meanwhile.
    HANDLE handle =
        CreateFileW(file->name.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        *error = ErrorNumber(GetLastError());
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
        if (stream)
            fclose(stream);
        else if (fd >= 0)
            _close(fd);
        else
            CloseHandle(handle);
        DeleteFileW(file->name.c_str());
        delete file;
        return nullptr;
    }
    file->out = stream;
    file->created = true;
    return file;
}

KQSaveResult KQCommitSaveFileUtf8(KQSaveFile* file, const std::string& target, KQHeldFile* held, int* error)
{
    *error = 0;
    HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file->out)));
    if (fflush(file->out) != 0) {
        *error = errno;
        return KQ_SAVE_WRITE_FAILED;
    }
    if (!FlushFileBuffers(handle)) {
        *error = ErrorNumber(GetLastError());
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
        if (!MoveFileExW(file->name.c_str(), wideTarget.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            *error = ErrorNumber(GetLastError());
            return KQ_SAVE_REPLACE_FAILED;
        }
        file->created = false;
        return KQ_SAVE_DONE;
    }
    if (!KQHeldFileUnchangedUtf8(held, target))
        return KQ_SAVE_TARGET_CHANGED;
    // The replace needs the file that this handle keeps others from.
    CloseHandle(held->handle);
    held->handle = INVALID_HANDLE_VALUE;
    // Full names: Wine's replace refuses relative ones (ERROR_DIRECTORY).
    if (ReplaceFileW(FullName(wideTarget).c_str(), FullName(file->name).c_str(), nullptr,
                     REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr)) {
        file->created = false;
        return KQ_SAVE_DONE;
    }
    DWORD code = GetLastError();
    *error = ErrorNumber(code);
    if (code == ERROR_UNABLE_TO_MOVE_REPLACEMENT) {
        // The replaced file is gone and the new one still has its own
        // name: it is the package now, and must not be removed.
        file->created = false;
        if (MoveFileExW(file->name.c_str(), wideTarget.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            return KQ_SAVE_DONE;
        *error = ErrorNumber(GetLastError());
    }
    return KQ_SAVE_REPLACE_FAILED;
}

void KQAbandonSaveFile(KQSaveFile* file)
{
    if (!file)
        return;
    if (file->out)
        fclose(file->out);
    KQFileStamp named;
    if (file->created && StampOfName(file->name, &named) && named.SameFile(file->stamp))
        DeleteFileW(file->name.c_str());
    delete file;
}

void KQReclaimLeftoverUtf8(const std::string& name)
{
    // A save's temporary goes with its handle, so a file under its name is
    // someone else's (or a stopped save's where the system refused to
    // remove it on close): it stays, and the save that needs the name says so.
    (void)name;
}

int KQRemoveFileUtf8(const std::string& name)
{
    return _wremove(Wide(name).c_str()) == 0 ? 0 : errno;
}

#else  // not _WIN32

#include <climits>
#include <cstring>
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
    return std::fopen(name.c_str(), "rb");
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

// Copies the extended attributes of from onto to, ACLs included
// (system.posix_acl_access), as far as this user may set them.
void CopyExtendedAttributes(int from, int to)
{
    ssize_t length = ::flistxattr(from, nullptr, 0);
    if (length <= 0)
        return;
    std::vector<char> names(static_cast<size_t>(length));
    length = ::flistxattr(from, names.data(), names.size());
    if (length <= 0)
        return;
    std::vector<char> value;
    for (const char* name = names.data(); name < names.data() + length; name += std::strlen(name) + 1) {
        if (std::strcmp(name, kSaveMark) == 0)
            continue;
        ssize_t size = ::fgetxattr(from, name, nullptr, 0);
        if (size < 0)
            continue;
        value.resize(static_cast<size_t>(size) + 1);
        size = ::fgetxattr(from, name, value.data(), value.size());
        if (size >= 0)
            (void)::fsetxattr(to, name, value.data(), static_cast<size_t>(size), 0);
    }
}

// Makes a rename in the folder of name durable.
void FlushFolderOf(const std::string& name)
{
    size_t slash = name.find_last_of('/');
    std::string folder = slash == std::string::npos ? std::string(".") : name.substr(0, slash == 0 ? 1 : slash);
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    (void)::fsync(fd);
    ::close(fd);
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
};

bool KQFileStampUtf8(const std::string& name, KQFileStamp* stamp)
{
    return StampOfName(name, true, stamp);
}

bool KQFileStampOfStream(FILE* stream, KQFileStamp* stamp)
{
    return stream && StampOfDescriptor(::fileno(stream), stamp);
}

KQHeldFile* KQHoldFileUtf8(const std::string& name, int* error)
{
    // A save replaces the file by a rename: a run that waited for the lock
    // of the file it opened may then hold one that the name no longer
    // designates. It holds what the name designates once both agree.
    for (int attempt = 0; attempt < 8; ++attempt) {
        int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
        if (fd < 0) {
            *error = errno;
            return nullptr;
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            *error = errno == EWOULDBLOCK ? EBUSY : errno;
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
    return StampOfName(name, true, &now) && now.SameFile(held->stamp) && now.size == held->stamp.size &&
           now.modified == held->stamp.modified;
}

KQSaveFile* KQCreateSaveFileUtf8(const std::string& name, const KQHeldFile* model, int* error)
{
    struct stat info;
    const bool like = model && ::fstat(model->fd, &info) == 0;
    int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, like ? 0600 : 0666);
    if (fd < 0) {
        *error = errno;
        return nullptr;
    }
    if (like)
        (void)::fchmod(fd, info.st_mode & 0777);
    // Held and marked before any data is written: a leftover without the
    // mark (a file system without extended attributes) is never taken for
    // ours, and one still held is a live save's. A new file cannot be held
    // by anyone else yet.
    (void)::flock(fd, LOCK_EX | LOCK_NB);
    (void)::fsetxattr(fd, kSaveMark, kSaveMarkValue, sizeof(kSaveMarkValue) - 1, 0);
    KQSaveFile* file = new (std::nothrow) KQSaveFile;
    FILE* stream = file ? ::fdopen(fd, "wb") : nullptr;
    if (!stream || !StampOfDescriptor(fd, &file->stamp)) {
        *error = file ? errno : ENOMEM;
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
    return file;
}

KQSaveResult KQCommitSaveFileUtf8(KQSaveFile* file, const std::string& target, KQHeldFile* held, int* error)
{
    *error = 0;
    const int fd = ::fileno(file->out);
    // The data first: a power cut after the rename must not find a file
    // that has its name but not yet its bytes.
    if (std::fflush(file->out) != 0 || ::fdatasync(fd) != 0) {
        *error = errno;
        return KQ_SAVE_WRITE_FAILED;
    }
    if (held) {
        struct stat info;
        if (::fstat(held->fd, &info) == 0) {
            // Root keeps owner and group; a member of the file's group keeps
            // the group; the owner becomes this user otherwise.
            if (::fchown(fd, info.st_uid, info.st_gid) != 0)
                (void)::fchown(fd, static_cast<uid_t>(-1), info.st_gid);
            // After the owner: a change of owner may clear mode bits. Before
            // the ACL, which sets the group bits as the original has them.
            (void)::fchmod(fd, info.st_mode & 0777);
        }
        CopyExtendedAttributes(held->fd, fd);
    }
    if (::fsync(fd) != 0) {
        *error = errno;
        return KQ_SAVE_WRITE_FAILED;
    }
    KQFileStamp named;
    if (!StampOfName(file->name, false, &named) || !named.SameFile(file->stamp))
        return KQ_SAVE_TEMPORARY_REPLACED;
    if (held && !KQHeldFileUnchangedUtf8(held, target))
        return KQ_SAVE_TARGET_CHANGED;
    if (::rename(file->name.c_str(), target.c_str()) != 0) {
        *error = errno;
        return KQ_SAVE_REPLACE_FAILED;
    }
    file->created = false;
    // The mark goes only now: a save stopped before the rename leaves a
    // leftover that the next run can tell for one. One stopped right here
    // leaves the mark on the saved package, where it does no harm and is
    // never carried over.
    (void)::fremovexattr(fd, kSaveMark);
    FILE* out = file->out;
    file->out = nullptr;
    (void)std::fclose(out);  // written and flushed already
    FlushFolderOf(target);
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

void KQReclaimLeftoverUtf8(const std::string& name)
{
    int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return;
    KQFileStamp opened, named;
    char mark[sizeof(kSaveMarkValue)];
    const ssize_t n = ::fgetxattr(fd, kSaveMark, mark, sizeof(mark));
    struct stat info;
    // The lock is taken last and kept until the name is gone, so that no
    // save can have begun to write under it in between.
    const bool ours = n == static_cast<ssize_t>(sizeof(kSaveMarkValue) - 1) &&
                      std::memcmp(mark, kSaveMarkValue, static_cast<size_t>(n)) == 0 && ::fstat(fd, &info) == 0 &&
                      S_ISREG(info.st_mode) && StampOfDescriptor(fd, &opened) && StampOfName(name, false, &named) &&
                      named.SameFile(opened) && ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    if (ours)
        ::unlink(name.c_str());
    ::close(fd);
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
