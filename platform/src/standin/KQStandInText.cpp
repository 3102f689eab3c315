// Code-page conversions of the stand-in.
#include "KQPlatform.h"
#include "KQStandInWideText.h"

#include <cstdint>
#include <cstring>
#include <cwchar>

namespace {

// Windows-1252 from 0x80 to 0x9F. The five bytes the code page leaves
// undefined map to the C1 control of the same value, as Windows maps them.
const uint16_t cp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

const uint32_t replacement = 0xFFFD;

// Collects output units: counts only when there is no destination, and
// notes when the destination is full.
template <typename T>
struct Output {
    T* buffer;
    int size;
    int count = 0;
    bool full = false;

    Output(T* b, int s) : buffer(b), size(s) {}

    // Writes n units as a whole or not at all.
    void Put(const T* units, int n)
    {
        if (full)
            return;
        if (size > 0) {
            if (count + n > size) {
                full = true;
                return;
            }
            for (int i = 0; i < n; ++i)
                buffer[count + i] = units[i];
        }
        count += n;
    }
};

int Fail(DWORD error)
{
    SetLastError(error);
    return 0;
}

template <typename T>
int Finish(const Output<T>& out)
{
    if (out.full)
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    return out.count;
}

bool IsContinuation(unsigned char b, unsigned char low = 0x80, unsigned char high = 0xBF)
{
    return b >= low && b <= high;
}

// Decodes one UTF-8 sequence at s (n bytes left). Returns the bytes used;
// an ill-formed sequence yields U+FFFD for its longest valid beginning (at
// least one byte), as current Windows does.
int DecodeUtf8(const unsigned char* s, int n, uint32_t& code, bool& valid)
{
    unsigned char b = s[0];
    valid = true;
    if (b < 0x80) {
        code = b;
        return 1;
    }
    int need;
    unsigned char low = 0x80, high = 0xBF;
    if (b >= 0xC2 && b <= 0xDF) {
        need = 1;
        code = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
        need = 2;
        code = b & 0x0F;
        if (b == 0xE0)
            low = 0xA0;
        else if (b == 0xED)
            high = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
        need = 3;
        code = b & 0x07;
        if (b == 0xF0)
            low = 0x90;
        else if (b == 0xF4)
            high = 0x8F;
    } else {
        valid = false;
        code = replacement;
        return 1;
    }
    int used = 1;
    for (int i = 0; i < need; ++i) {
        bool ok = used < n && IsContinuation(s[used], i == 0 ? low : 0x80, i == 0 ? high : 0xBF);
        if (!ok) {
            valid = false;
            code = replacement;
            return used;
        }
        code = (code << 6) | (s[used] & 0x3F);
        ++used;
    }
    return used;
}

int EncodeUtf8(uint32_t c, char* out)
{
    if (c < 0x80) {
        out[0] = (char)c;
        return 1;
    }
    if (c < 0x800) {
        out[0] = (char)(0xC0 | (c >> 6));
        out[1] = (char)(0x80 | (c & 0x3F));
        return 2;
    }
    if (c < 0x10000) {
        out[0] = (char)(0xE0 | (c >> 12));
        out[1] = (char)(0x80 | ((c >> 6) & 0x3F));
        out[2] = (char)(0x80 | (c & 0x3F));
        return 3;
    }
    out[0] = (char)(0xF0 | (c >> 18));
    out[1] = (char)(0x80 | ((c >> 12) & 0x3F));
    out[2] = (char)(0x80 | ((c >> 6) & 0x3F));
    out[3] = (char)(0x80 | (c & 0x3F));
    return 4;
}

// The Windows-1252 byte of a code point, or -1 when it has none.
int Cp1252Byte(uint32_t c)
{
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF))
        return (int)c;
    for (int i = 0; i < 32; ++i)
        if (cp1252High[i] == c)
            return 0x80 + i;
    return -1;
}

thread_local DWORD lastError = 0;

}  // namespace

// Weak, so that another area of the stand-in may own the last error.
__attribute__((weak)) DWORD GetLastError()
{
    return lastError;
}

__attribute__((weak)) void SetLastError(DWORD error)
{
    lastError = error;
}

int WINAPI MultiByteToWideChar(UINT codePage, DWORD flags, LPCCH multiByte, int multiByteCount, LPWSTR wide,
                               int wideCount)
{
    if (!multiByte || multiByteCount == 0 || wideCount < 0 || (!wide && wideCount != 0))
        return Fail(ERROR_INVALID_PARAMETER);
    bool utf8 = codePage == CP_UTF8;
    if (!utf8 && codePage != CP_ACP && codePage != 1252)
        return Fail(ERROR_INVALID_PARAMETER);
    if (utf8 && (flags & ~(DWORD)MB_ERR_INVALID_CHARS) != 0)
        return Fail(ERROR_INVALID_FLAGS);
    int n = multiByteCount < 0 ? (int)strlen(multiByte) + 1 : multiByteCount;
    const unsigned char* s = (const unsigned char*)multiByte;
    Output<WCHAR> out(wide, wideCount);
    for (int i = 0; i < n && !out.full;) {
        uint32_t code;
        if (utf8) {
            bool valid;
            i += DecodeUtf8(s + i, n - i, code, valid);
            if (!valid && (flags & MB_ERR_INVALID_CHARS))
                return Fail(ERROR_NO_UNICODE_TRANSLATION);
        } else {
            unsigned char b = s[i++];
            code = b >= 0x80 && b <= 0x9F ? cp1252High[b - 0x80] : b;
        }
        // Wide text is UTF-16 as on Windows, whatever the width of wchar_t
        // here: a character beyond U+FFFF takes two units, so that counts,
        // buffer sizes and what becomes of the text are those of Windows.
        WCHAR units[2];
        int n = kqstandin::PutUtf16(code, units);
        out.Put(units, n);
    }
    return Finish(out);
}

int WINAPI WideCharToMultiByte(UINT codePage, DWORD flags, LPCWCH wide, int wideCount, LPSTR multiByte,
                               int multiByteCount, LPCCH defaultChar, LPBOOL usedDefaultChar)
{
    if (!wide || wideCount == 0 || multiByteCount < 0 || (!multiByte && multiByteCount != 0))
        return Fail(ERROR_INVALID_PARAMETER);
    bool utf8 = codePage == CP_UTF8;
    if (!utf8 && codePage != CP_ACP && codePage != 1252)
        return Fail(ERROR_INVALID_PARAMETER);
    if (utf8) {
        if (defaultChar || usedDefaultChar)
            return Fail(ERROR_INVALID_PARAMETER);
        if ((flags & ~(DWORD)WC_ERR_INVALID_CHARS) != 0)
            return Fail(ERROR_INVALID_FLAGS);
    }
    if (usedDefaultChar)
        *usedDefaultChar = FALSE;
    int n = wideCount < 0 ? (int)wcslen(wide) + 1 : wideCount;
    Output<char> out(multiByte, multiByteCount);
    for (int i = 0; i < n && !out.full; ++i) {
        uint32_t c = (uint32_t)wide[i];
        if (utf8) {
            // A surrogate pair (text that came as UTF-16) is one character;
            // a lone surrogate or a value beyond Unicode is not text.
            if (c >= 0xD800 && c <= 0xDBFF && i + 1 < n && (uint32_t)wide[i + 1] >= 0xDC00 &&
                (uint32_t)wide[i + 1] <= 0xDFFF) {
                c = 0x10000 + ((c - 0xD800) << 10) + ((uint32_t)wide[i + 1] - 0xDC00);
                ++i;
            } else if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) {
                if (flags & WC_ERR_INVALID_CHARS)
                    return Fail(ERROR_NO_UNICODE_TRANSLATION);
                c = replacement;
            }
            char bytes[4];
            out.Put(bytes, EncodeUtf8(c, bytes));
        } else {
            int b = Cp1252Byte(c);
            char byte;
            if (b < 0) {
                byte = defaultChar ? *defaultChar : '?';
                if (usedDefaultChar)
                    *usedDefaultChar = TRUE;
            } else {
                byte = (char)b;
            }
            out.Put(&byte, 1);
        }
    }
    return Finish(out);
}

namespace kqstandin {

std::string AnsiToUtf8(const char* text, size_t length)
{
    std::wstring wide;
    wide.reserve(length);
    for (size_t i = 0; i < length; ++i) {
        unsigned char b = static_cast<unsigned char>(text[i]);
        wide += static_cast<wchar_t>(b >= 0x80 && b <= 0x9F ? cp1252High[b - 0x80] : b);
    }
    return ToUtf8(wide);
}

std::string AnsiToUtf8(const char* text)
{
    return text ? AnsiToUtf8(text, strlen(text)) : std::string();
}

std::string Utf8ToAnsi(const std::string& text)
{
    std::string out;
    for (wchar_t c : FromUtf8(text)) {
        int b = Cp1252Byte(static_cast<uint32_t>(c));
        out += b < 0 ? '?' : static_cast<char>(b);
    }
    return out;
}

bool Utf8ToAnsiExactly(const std::string& text, std::string* out)
{
    std::string bytes = Utf8ToAnsi(text);
    for (char byte : bytes) {
        unsigned char b = static_cast<unsigned char>(byte);
        if (b >= 0x80 && b <= 0x9F && cp1252High[b - 0x80] <= 0x9F)
            return false;
    }
    if (AnsiToUtf8(bytes.data(), bytes.size()) != text)
        return false;
    *out = bytes;
    return true;
}

}  // namespace kqstandin
