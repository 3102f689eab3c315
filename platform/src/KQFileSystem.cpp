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
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <vector>

#ifdef _WIN32

namespace {

// text in the code page (UTF-8 unless told otherwise) as wide text; empty
// when it does not convert.
std::wstring Wide(const std::string& text, UINT codePage = CP_UTF8)
{
    if (text.empty())
        return std::wstring();
    int n = MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (n <= 0)
        return std::wstring();
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), &wide[0], n);
    return wide;
}

std::string Utf8(const std::wstring& wide)
{
    if (wide.empty())
        return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
    if (n <= 0)
        return std::string();
    std::string utf8(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), &utf8[0], n, nullptr, nullptr);
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

} // namespace

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
    HANDLE handle = CreateFileW(wide.c_str(), 0, kShareAll, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
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

FILE* KQCreateNewFileUtf8(const std::string& name, const std::string& model, int* error)
{
    (void)model;
    const std::wstring wide = Wide(name);
    int fd = _wopen(wide.c_str(), _O_CREAT | _O_EXCL | _O_WRONLY | _O_BINARY, _S_IREAD | _S_IWRITE);
    if (fd < 0) {
        *error = errno;
        return nullptr;
    }
    FILE* stream = _fdopen(fd, "wb");
    if (!stream) {
        *error = errno;
        _close(fd);
        _wremove(wide.c_str());
    }
    return stream;
}

FILE* KQOpenFileForReadingUtf8(const std::string& name)
{
    return _wfopen(Wide(name).c_str(), L"rb");
}

int KQReplaceFileUtf8(const std::string& source, const std::string& target)
{
    if (MoveFileExW(Wide(source).c_str(), Wide(target).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return 0;
    return ErrorNumber(GetLastError());
}

int KQRemoveFileUtf8(const std::string& name)
{
    return _wremove(Wide(name).c_str()) == 0 ? 0 : errno;
}

#else // not _WIN32

#include <climits>
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

} // namespace

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

FILE* KQCreateNewFileUtf8(const std::string& name, const std::string& model, int* error)
{
    struct stat info;
    const bool like = ::stat(model.c_str(), &info) == 0;
    int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, like ? 0600 : 0666);
    if (fd < 0) {
        *error = errno;
        return nullptr;
    }
    if (like)
        (void)::fchmod(fd, info.st_mode & 0777);
    FILE* stream = ::fdopen(fd, "wb");
    if (!stream) {
        *error = errno;
        ::close(fd);
        ::unlink(name.c_str());
    }
    return stream;
}

FILE* KQOpenFileForReadingUtf8(const std::string& name)
{
    return std::fopen(name.c_str(), "rb");
}

int KQReplaceFileUtf8(const std::string& source, const std::string& target)
{
    return ::rename(source.c_str(), target.c_str()) == 0 ? 0 : errno;
}

int KQRemoveFileUtf8(const std::string& name)
{
    return ::unlink(name.c_str()) == 0 ? 0 : errno;
}

#endif
