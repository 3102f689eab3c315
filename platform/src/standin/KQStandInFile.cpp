// File-system and file-runtime names of the stand-in.
#include "KQPlatform.h"
#include "KQStandInWideText.h"

#include <cerrno>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>
#include <vector>

namespace {

std::string ToHost(const wchar_t* text)
{
    return kqstandin::ToUtf8(text);
}

// Host names are UTF-8 by convention; a byte that does not start a valid
// sequence is taken as a character of its own.
std::wstring FromHost(const std::string& bytes)
{
    std::wstring out;
    size_t i = 0;
    const size_t n = bytes.size();
    while (i < n) {
        unsigned char b = static_cast<unsigned char>(bytes[i]);
        uint32_t c = b;
        size_t extra = 0;
        if (b >= 0xF0 && b < 0xF5) {
            c = b & 0x07;
            extra = 3;
        } else if (b >= 0xE0 && b < 0xF0) {
            c = b & 0x0F;
            extra = 2;
        } else if (b >= 0xC2 && b < 0xE0) {
            c = b & 0x1F;
            extra = 1;
        }
        bool valid = i + extra < n || extra == 0;
        for (size_t k = 1; valid && k <= extra; ++k) {
            unsigned char t = static_cast<unsigned char>(bytes[i + k]);
            if ((t & 0xC0) != 0x80)
                valid = false;
            else
                c = (c << 6) | (t & 0x3F);
        }
        if (!valid) {
            c = b;
            extra = 0;
        }
        out += static_cast<wchar_t>(c);
        i += extra + 1;
    }
    return out;
}

bool CurrentFolder(std::string& out)
{
    std::vector<char> buffer(256);
    for (;;) {
        if (::getcwd(buffer.data(), buffer.size())) {
            out = buffer.data();
            return true;
        }
        if (errno != ERANGE || buffer.size() > (1u << 20))
            return false;
        buffer.resize(buffer.size() * 2);
    }
}

// The absolute form of name with "." and ".." steps and repeated
// separators removed; a trailing separator stays. Sets filePart to the
// offset of the last component, or npos when the path ends in a separator.
bool FullPath(const std::string& name, std::string& out, size_t& filePart)
{
    if (name.empty())
        return false;
    std::string path;
    if (name[0] == '/') {
        path = name;
    } else {
        if (!CurrentFolder(path))
            return false;
        path += '/';
        path += name;
    }
    std::vector<std::string> parts;
    size_t pos = 0;
    bool trailing = false;
    while (pos <= path.size()) {
        size_t end = path.find('/', pos);
        if (end == std::string::npos)
            end = path.size();
        std::string part = path.substr(pos, end - pos);
        bool last = end == path.size();
        if (part == "..") {
            if (!parts.empty())
                parts.pop_back();
            trailing = false;
        } else if (part == ".") {
            trailing = false;
        } else if (part.empty()) {
            if (last)
                trailing = true;
        } else {
            parts.push_back(part);
            trailing = false;
        }
        pos = end + 1;
    }
    out = "/";
    filePart = std::string::npos;
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i > 0)
            out += '/';
        filePart = out.size();
        out += parts[i];
    }
    if (trailing && !parts.empty()) {
        out += '/';
        filePart = std::string::npos;
    }
    return true;
}

int AccessMode(int mode)
{
    switch (mode) {
    case 0:
        return F_OK;
    case 2:
        return W_OK;
    case 4:
        return R_OK;
    case 6:
        return R_OK | W_OK;
    default:
        return -1;
    }
}

}  // namespace

DWORD WINAPI GetFullPathNameA(LPCSTR name, DWORD bufferLength, LPSTR buffer, LPSTR* filePart)
{
    if (filePart)
        *filePart = nullptr;
    std::string full;
    size_t part = 0;
    if (!name || !FullPath(kqstandin::AnsiToUtf8(name), full, part))
        return 0;
    // The working folder comes from the host in UTF-8; one that the code
    // page cannot hold has no name in it (a '?' in its place would name
    // another folder).
    std::string ansi;
    if (!kqstandin::Utf8ToAnsiExactly(full, &ansi)) {
        SetLastError(ERROR_NO_UNICODE_TRANSLATION);
        return 0;
    }
    if (part != std::string::npos)
        part = kqstandin::Utf8ToAnsi(full.substr(0, part)).size();
    full = ansi;
    if (full.size() + 1 > bufferLength || !buffer)
        return static_cast<DWORD>(full.size() + 1);
    std::memcpy(buffer, full.c_str(), full.size() + 1);
    if (filePart && part != std::string::npos)
        *filePart = buffer + part;
    return static_cast<DWORD>(full.size());
}

DWORD WINAPI GetFullPathNameW(LPCWSTR name, DWORD bufferLength, LPWSTR buffer, LPWSTR* filePart)
{
    if (filePart)
        *filePart = nullptr;
    std::string full;
    size_t part = 0;
    if (!name || !FullPath(ToHost(name), full, part))
        return 0;
    std::wstring wide = FromHost(full);
    if (wide.size() + 1 > bufferLength || !buffer)
        return static_cast<DWORD>(wide.size() + 1);
    std::wmemcpy(buffer, wide.c_str(), wide.size() + 1);
    if (filePart && part != std::string::npos)
        *filePart = buffer + FromHost(full.substr(0, part)).size();
    return static_cast<DWORD>(wide.size());
}

int _access(const char* path, int mode)
{
    int how = AccessMode(mode);
    if (!path || how < 0) {
        errno = EINVAL;
        return -1;
    }
    return ::access(kqstandin::AnsiToUtf8(path).c_str(), how) == 0 ? 0 : -1;
}

int _waccess(const wchar_t* path, int mode)
{
    int how = AccessMode(mode);
    if (!path || how < 0) {
        errno = EINVAL;
        return -1;
    }
    return ::access(ToHost(path).c_str(), how) == 0 ? 0 : -1;
}

int _fileno(FILE* stream)
{
    if (!stream) {
        errno = EINVAL;
        return -1;
    }
    return ::fileno(stream);
}

int64_t _filelengthi64(int fd)
{
    struct stat info;
    if (fd < 0 || ::fstat(fd, &info) != 0) {
        errno = EBADF;
        return -1;
    }
    return static_cast<int64_t>(info.st_size);
}

FILE* _wfopen(const wchar_t* name, const wchar_t* mode)
{
    if (!name || !mode) {
        errno = EINVAL;
        return nullptr;
    }
    return ::fopen(ToHost(name).c_str(), ToHost(mode).c_str());
}

int _fseeki64(FILE* stream, int64_t offset, int origin)
{
    if (!stream) {
        errno = EINVAL;
        return -1;
    }
    return ::fseeko(stream, static_cast<off_t>(offset), origin);
}

int64_t _ftelli64(FILE* stream)
{
    if (!stream) {
        errno = EINVAL;
        return -1;
    }
    return static_cast<int64_t>(::ftello(stream));
}
