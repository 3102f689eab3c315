// UTF-8 <-> wide text for the COM, registry and module areas of the stand-in.
// Wide text is UTF-16 in wchar_t units, as Windows has it: a character
// beyond U+FFFF is a surrogate pair. Reading wide text, a whole code point
// in one unit (a wide literal of the host's compiler) is taken as well;
// invalid input becomes U+FFFD.
#ifndef KQSTANDINWIDETEXT_H
#define KQSTANDINWIDETEXT_H

#include <cstdint>
#include <string>

namespace kqstandin {

// The UTF-16 units of code point c in units; returns their number (1 or 2).
template <typename Unit>
inline int PutUtf16(uint32_t c, Unit* units)
{
    if (c < 0x10000 || c > 0x10FFFF) {
        units[0] = (Unit)(c > 0x10FFFF ? 0xFFFD : c);
        return 1;
    }
    c -= 0x10000;
    units[0] = (Unit)(0xD800 + (c >> 10));
    units[1] = (Unit)(0xDC00 + (c & 0x3FF));
    return 2;
}

inline std::string ToUtf8(const std::wstring& w)
{
    std::string out;
    out.reserve(w.size());
    for (size_t i = 0; i < w.size(); ++i) {
        uint32_t c = (uint32_t)w[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < w.size() && (uint32_t)w[i + 1] >= 0xDC00 &&
            (uint32_t)w[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + ((uint32_t)w[i + 1] - 0xDC00);
            ++i;
        } else if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            out += (char)c;
        } else if (c < 0x800) {
            out += (char)(0xC0 | (c >> 6));
            out += (char)(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += (char)(0xE0 | (c >> 12));
            out += (char)(0x80 | ((c >> 6) & 0x3F));
            out += (char)(0x80 | (c & 0x3F));
        } else {
            out += (char)(0xF0 | (c >> 18));
            out += (char)(0x80 | ((c >> 12) & 0x3F));
            out += (char)(0x80 | ((c >> 6) & 0x3F));
            out += (char)(0x80 | (c & 0x3F));
        }
    }
    return out;
}

inline std::wstring FromUtf8(const std::string& s)
{
    std::wstring out;
    out.reserve(s.size());
    size_t i = 0;
    while (i < s.size()) {
        unsigned char b = (unsigned char)s[i];
        uint32_t c;
        int extra;
        if (b < 0x80) {
            c = b;
            extra = 0;
        } else if ((b & 0xE0) == 0xC0) {
            c = b & 0x1F;
            extra = 1;
        } else if ((b & 0xF0) == 0xE0) {
            c = b & 0x0F;
            extra = 2;
        } else if ((b & 0xF8) == 0xF0) {
            c = b & 0x07;
            extra = 3;
        } else {
            out += (wchar_t)0xFFFD;
            i++;
            continue;
        }
        if (i + extra >= s.size()) {
            out += (wchar_t)0xFFFD;
            break;
        }
        bool ok = true;
        for (int k = 1; k <= extra; k++) {
            unsigned char cb = (unsigned char)s[i + k];
            if ((cb & 0xC0) != 0x80) {
                ok = false;
                break;
            }
            c = (c << 6) | (cb & 0x3F);
        }
        if (!ok) {
            out += (wchar_t)0xFFFD;
            i++;
            continue;
        }
        wchar_t units[2];
        out.append(units, (size_t)PutUtf16(c, units));
        i += extra + 1;
    }
    return out;
}

inline std::string ToUtf8(const wchar_t* w)
{
    return w ? ToUtf8(std::wstring(w)) : std::string();
}

// Narrow text of the Windows names is in the ANSI code page; the host's
// names and terminals take UTF-8. Characters the code page lacks become '?',
// as Windows' conversion without best fit gives them.
std::string AnsiToUtf8(const char* text);
std::string AnsiToUtf8(const char* text, size_t length);
std::string Utf8ToAnsi(const std::string& text);
// The same without the '?': false when the code page does not hold text
// exactly (the bytes do not read back as text, or it holds a C1 control,
// U+0080-U+009F).
bool Utf8ToAnsiExactly(const std::string& text, std::string* out);

}  // namespace kqstandin

#endif
