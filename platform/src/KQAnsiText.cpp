// Names in the ANSI code page, refused where the code page would hold only a
// look-alike.
#include "KQAnsiText.h"

#include "KQPlatform.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

// Whether the ANSI code page gives the text back unchanged from bytes;
// bytes that do not form text in it are not held either.
bool ReadsBackAs(const std::string& bytes, const wchar_t* text, size_t length)
{
    const int n = static_cast<int>(bytes.size());
    int units = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, bytes.data(), n, nullptr, 0);
    if (units <= 0 || static_cast<size_t>(units) != length)
        return false;
    std::vector<wchar_t> back(static_cast<size_t>(units));
    if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, bytes.data(), n, back.data(), units) != units)
        return false;
    return std::equal(back.begin(), back.end(), text);
}

// The bytes of text without best fit; false when a default character took
// the place of one that the code page lacks.
bool WithoutBestFit(const wchar_t* text, int length, std::string* bytes)
{
    DWORD flags = WC_NO_BEST_FIT_CHARS;
    BOOL usedDefault = FALSE;
    BOOL* used = &usedDefault;
    int size = WideCharToMultiByte(CP_ACP, flags, text, length, nullptr, 0, nullptr, used);
    if (size <= 0 && GetLastError() == ERROR_INVALID_PARAMETER) {
        // A code page without default characters (UTF-8 as the ANSI code
        // page) takes neither; the way back then decides alone.
        flags = 0;
        used = nullptr;
        size = WideCharToMultiByte(CP_ACP, flags, text, length, nullptr, 0, nullptr, used);
    }
    if (size <= 0 || usedDefault)
        return false;
    bytes->assign(static_cast<size_t>(size), '\0');
    return WideCharToMultiByte(CP_ACP, flags, text, length, &(*bytes)[0], size, nullptr, used) == size && !usedDefault;
}

}  // namespace

bool KQWideToAnsiExactly(const wchar_t* text, size_t length, std::string* out)
{
    out->clear();
    if (length == 0)
        return true;
    if (!text || length > static_cast<size_t>(INT_MAX))
        return false;
    for (size_t i = 0; i < length; ++i) {
        const uint32_t unit = static_cast<uint32_t>(text[i]);
        if (unit == 0 || (unit >= 0x80 && unit <= 0x9F))
            return false;
    }
    std::string bytes;
    if (!WithoutBestFit(text, static_cast<int>(length), &bytes) || !ReadsBackAs(bytes, text, length))
        return false;
    *out = bytes;
    return true;
}

bool KQUtf8ToAnsiExactly(const std::string& utf8, std::string* out)
{
    out->clear();
    if (utf8.empty())
        return true;
    if (utf8.size() > static_cast<size_t>(INT_MAX))
        return false;
    const int n = static_cast<int>(utf8.size());
    int units = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), n, nullptr, 0);
    if (units <= 0)
        return false;
    std::vector<wchar_t> wide(static_cast<size_t>(units));
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), n, wide.data(), units) != units)
        return false;
    return KQWideToAnsiExactly(wide.data(), wide.size(), out);
}

std::string KQUtf8ShownInAnsi(const std::string& utf8)
{
    std::string shown;
    const size_t n = utf8.size();
    for (size_t i = 0; i < n;) {
        // One character's bytes: a lead byte and its continuation bytes.
        const unsigned char lead = static_cast<unsigned char>(utf8[i]);
        size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
        size_t end = i + 1;
        while (end < n && end < i + length && (static_cast<unsigned char>(utf8[end]) & 0xC0) == 0x80)
            ++end;
        // NUL converts as any character, and the code page is not said to
        // hold it: it is shown as U+0000.
        std::string held;
        wchar_t units[2];
        const int count = end - i == length ? MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data() + i,
                                                                  static_cast<int>(length), units, 2)
                                            : 0;
        if (count <= 0) {
            shown += '?';
        } else if (KQWideToAnsiExactly(units, static_cast<size_t>(count), &held)) {
            shown += held;
        } else {
            uint32_t code = static_cast<uint32_t>(units[0]) & 0xFFFF;
            if (count == 2)
                code = 0x10000 + ((code - 0xD800) << 10) + ((static_cast<uint32_t>(units[1]) & 0xFFFF) - 0xDC00);
            char text[16];
            std::snprintf(text, sizeof(text), "U+%04X", static_cast<unsigned>(code));
            shown += text;
        }
        i = end;
    }
    return shown;
}

#ifdef _WIN32

bool KQFullPathNameAnsi(const std::string& name, std::string* out)
{
    // The system works on wide names: the name goes there exactly, and the
    // working folder comes back as it is named, to be held exactly or not
    // at all. GetFullPathNameA would give the folder's best-fit look-alike.
    out->clear();
    if (name.empty() || name.size() > static_cast<size_t>(INT_MAX))
        return false;
    const int n = static_cast<int>(name.size());
    int units = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, name.data(), n, nullptr, 0);
    if (units <= 0)
        return false;
    std::wstring wide(static_cast<size_t>(units), L'\0');
    if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, name.data(), n, &wide[0], units) != units)
        return false;
    DWORD size = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (size == 0)
        return false;
    std::vector<wchar_t> full(size);
    DWORD length = GetFullPathNameW(wide.c_str(), size, full.data(), nullptr);
    if (length == 0 || length >= size)
        return false;
    return KQWideToAnsiExactly(full.data(), length, out);
}

#else  // not _WIN32

bool KQFullPathNameAnsi(const std::string& name, std::string* out)
{
    // The stand-in refuses a working folder that the code page cannot hold.
    out->clear();
    if (name.empty())
        return false;
    DWORD size = GetFullPathNameA(name.c_str(), 0, nullptr, nullptr);
    if (size == 0)
        return false;
    std::vector<char> full(size);
    DWORD length = GetFullPathNameA(name.c_str(), size, full.data(), nullptr);
    if (length == 0 || length >= size)
        return false;
    out->assign(full.data(), length);
    return true;
}

#endif
