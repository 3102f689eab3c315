// KQString formatting, the name hash and the UTF-8 conversions.
#include "KQOString.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "KQPlatform.h"

namespace {

// The runtime's bounded formatter of this build's width.
inline int BoundedFormat(KQChar* buffer, size_t count, const KQChar* format, va_list args)
{
#ifdef KQ_UNICODE
    return KQ_vsnwprintf(buffer, count, format, args);
#else
    return KQ_vsnprintf(buffer, count, format, args);
#endif
}

// Length of one %f conversion, measured by writing it into a scratch buffer.
int64 MeasureFixed(double value, int32 width, int32 precision)
{
    // One unit more than the nominal size of the scratch buffer, so that a
    // result that fills it still has room for its terminator.
    int64 size = (width > static_cast<int64>(precision) + 318 ? width : static_cast<int64>(precision) + 318) + 1;
    if (size > 0x7FFFFFFF)
        return size;
    KQChar* scratch = static_cast<KQChar*>(malloc(static_cast<size_t>(size) * sizeof(KQChar)));
    if (!scratch)
        return size;
#ifdef KQ_UNICODE
    int n = KQ_swprintf(scratch, static_cast<size_t>(size), L"%*.*f", width, precision + 6, value);
#else
    int n = KQ_snprintf(scratch, static_cast<size_t>(size), "%*.*f", width, precision + 6, value);
#endif
    free(scratch);
    return n < 0 ? size : n;
}

// Decimal number at the cursor, saturated so that absurd widths cannot
// overflow the estimate.
int32 ReadDecimal(const KQChar*& p)
{
    int64 v = 0;
    while (*p >= '0' && *p <= '9') {
        if (v < 0x7FFFFFFF)
            v = v * 10 + (*p - '0');
        ++p;
    }
    return v > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int32>(v);
}

// How much room the formatter needs for format with args: the sum of the
// literal characters and of a per-conversion estimate. Reads the arguments
// in the order the formatter will.
int64 EstimateFormat(const KQChar* p, va_list args)
{
#ifdef KQ_UNICODE
    const bool wideBuild = true;
#else
    const bool wideBuild = false;
#endif
    int64 total = 0;
    while (*p) {
        if (*p != '%') {
            ++total;
            ++p;
            continue;
        }
        if (p[1] == '%') {
            total += 2;
            p += 2;
            continue;
        }
        ++p;
        int64 width = 0;
        int64 precision = 0;
        int64 item = 0;
        for (; *p == '-' || *p == '+' || *p == '0' || *p == ' ' || *p == '#' || *p == '*'; ++p) {
            if (*p == '#')
                total += 2;
            else if (*p == '*')
                width = va_arg(args, int32);
        }
        // A negative width asks for left alignment in that many characters.
        if (width < 0)
            width = -width;
        if (width == 0)
            width = ReadDecimal(p);
        if (*p == '.') {
            ++p;
            if (*p == '*') {
                precision = va_arg(args, int32);
                ++p;
                // The formatter ignores a negative precision.
                if (precision < 0)
                    precision = 0;
            } else {
                precision = ReadDecimal(p);
            }
        }
        bool is64 = false;
        char textSize = 0;  // 'h' narrow, 'l' wide, 0 by conversion
        // Every prefix the formatter knows is passed here too: one it does
        // not know would leave its argument unread and shift every later
        // argument (a number then read as a text pointer).
        if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
            is64 = true;
            p += 3;
        } else if (p[0] == 'I' && p[1] == '3' && p[2] == '2') {
            p += 3;
        } else if (p[0] == 'I') {
            is64 = sizeof(void*) == 8;  // pointer-sized
            ++p;
        } else if (p[0] == 'l' && p[1] == 'l') {
            is64 = true;
            p += 2;
        } else if (p[0] == 'h' && p[1] == 'h') {
            textSize = 'h';
            p += 2;
        } else if (*p == 'h') {
            textSize = 'h';
            ++p;
        } else if (*p == 'l' || *p == 'w') {
            textSize = 'l';
            ++p;
        } else if (*p == 'F' || *p == 'L' || *p == 'N') {
            ++p;
        }
        KQChar conversion = *p;
        if (!conversion)
            break;
        bool sized = false;
        switch (conversion) {
        case 'C':
        case 'c':
            (void)va_arg(args, int32);
            item = 2;
            sized = true;
            break;
        case 'S':
        case 's': {
            // Measure the text in the width the formatter reads it in.
            bool upper = conversion == 'S';
            bool wideArg = textSize == 'h' ? false : textSize == 'l' ? true : (upper ? !wideBuild : wideBuild);
            if (wideArg) {
                const wchar_t* t = va_arg(args, const wchar_t*);
                item = t ? static_cast<int64>(wcslen(t)) : 6;
            } else {
                const char* t = va_arg(args, const char*);
                item = t ? static_cast<int64>(strlen(t)) : 6;
            }
            if (item < 1)
                item = 1;
            sized = true;
            break;
        }
        case 'E':
        case 'e':
        case 'G':
        case 'g':
            (void)va_arg(args, double);
            item = width + precision > 128 ? width + precision : 128;
            break;
        case 'p':
            (void)va_arg(args, void*);
            item = width + precision > 32 ? width + precision : 32;
            break;
        case 'X':
        case 'd':
        case 'i':
        case 'o':
        case 'u':
        case 'x':
            if (is64)
                (void)va_arg(args, int64);
            else
                (void)va_arg(args, int32);
            item = width + precision > 32 ? width + precision : 32;
            break;
        case 'f':
            item = MeasureFixed(va_arg(args, double), static_cast<int32>(width), static_cast<int32>(precision));
            break;
        case 'n':
            (void)va_arg(args, void*);
            break;
        default:
            break;
        }
        if (sized) {
            if (precision != 0 && item >= precision)
                item = precision;
            if (width > item)
                item = width;
        }
        total += item;
        ++p;
    }
    return total;
}

}  // namespace

KQString& KQString::FormatV(const KQChar* format, va_list args)
{
    if (!format) {
        Assign(nullptr, 0);
        return *this;
    }
    va_list cursor;
    va_copy(cursor, args);
    int64 total = EstimateFormat(format, cursor);
    va_end(cursor);

    // Written into a fresh string and moved in at the end, so that the format
    // or an argument may be this string's own text.
    KQString result;
    if (total + 2 > 0x7FFFFFFF || !result.SetCapacity(static_cast<int32>(total + 2))) {
        Assign(nullptr, 0);
        return *this;
    }
    KQChar* buffer = result.GetBuffer();
    BoundedFormat(buffer, static_cast<size_t>(total) + 1, format, args);
    buffer[total + 1] = 0;
    result.FitToLength();

    free(text);
    text = result.text;
    length = result.length;
    capacity = result.capacity;
    result.text = nullptr;
    result.length = 0;
    result.capacity = 0;
    return *this;
}

KQString& KQString::Format(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    FormatV(format, args);
    va_end(args);
    return *this;
}

KQString KQString::FromFormat(const char* format, ...)
{
    KQString result;
    va_list args;
    va_start(args, format);
    result.FormatV(format, args);
    va_end(args);
    return result;
}

KQString KQString::FromFormatV(const char* format, va_list args)
{
    KQString result;
    result.FormatV(format, args);
    return result;
}

#ifdef KQ_UNICODE
KQString& KQString::FormatV(const char* format, va_list args)
{
    if (!format)
        return FormatV(static_cast<const wchar_t*>(nullptr), args);
    KQString wide(format);
    return FormatV(wide.CStr(), args);
}

KQString KQString::FromFormatV(const wchar_t* format, va_list args)
{
    KQString result;
    result.FormatV(format, args);
    return result;
}
#endif

uint32 KQHashString(const KQString& s)
{
    uint32 h = 0;
    uint32 a = 63689;
    const KQChar* t = s.CStr();
    int32 n = s.GetLength();
    for (int32 i = 0; i < n; ++i) {
#ifdef KQ_UNICODE
        uint32 c = static_cast<uint32>(static_cast<KQUChar>(t[i]));
#else
        uint32 c = static_cast<uint32>(static_cast<int32>(static_cast<signed char>(t[i])));
#endif
        h = h * a + c;
        a = a * 378551u;
    }
    return h;
}

#ifndef KQ_UNICODE

namespace {

inline bool IsPrintableAscii(unsigned char c)
{
    return c >= 0x20 && c <= 0x7E;
}

}  // namespace

char* KQToUTF8(const KQString& s, int32& size)
{
    size = -1;
    int32 L = s.GetLength();
    const char* t = s.CStr();
    bool plain = true;
    for (int32 i = 0; i < L && plain; ++i)
        plain = IsPrintableAscii(static_cast<unsigned char>(t[i]));
    if (plain) {
        char* out = static_cast<char*>(calloc(static_cast<size_t>(L) + 1, 1));
        if (!out)
            return nullptr;
        memcpy(out, t, static_cast<size_t>(L));
        size = L + 1;
        return out;
    }
    wchar_t* wide = static_cast<wchar_t*>(calloc(static_cast<size_t>(L) + 1, sizeof(wchar_t)));
    if (!wide)
        return nullptr;
    char* out = nullptr;
    if (MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, t, -1, wide, L + 1) > 0) {
        int64 outSize = 3 * static_cast<int64>(L) + 4;
        if (outSize <= 0x7FFFFFFF)
            out = static_cast<char*>(calloc(static_cast<size_t>(outSize), 1));
        if (out) {
            if (WideCharToMultiByte(CP_UTF8, 0, wide, -1, out, static_cast<int>(outSize), nullptr, nullptr) > 0) {
                size = static_cast<int32>(strlen(out)) + 1;
            } else {
                free(out);
                out = nullptr;
            }
        }
    } else {
        out = static_cast<char*>(calloc(static_cast<size_t>(L) + 1, 1));
        if (out) {
            int32 n = 0;
            for (int32 i = 0; i < L; ++i)
                if (IsPrintableAscii(static_cast<unsigned char>(t[i])))
                    out[n++] = t[i];
            size = n + 1;
        }
    }
    free(wide);
    return out;
}

KQString KQFromUTF8(const char* utf8, int32 n)
{
    bool plain = true;
    // Stops at the terminator, which counts as a control byte, so a count
    // beyond the text never reads past it.
    for (int32 i = 0; utf8 && i < n && plain; ++i) {
        unsigned char b = static_cast<unsigned char>(utf8[i]);
        plain = b >= 0x20 && b != 0x7F && b < 0x80;
    }
    if (plain)
        return KQString(utf8);

    KQString result;
    if (n >= 0x7FFFFFFF) {
        result.Assign("", 0);
        return result;
    }
    wchar_t* wide = static_cast<wchar_t*>(calloc(static_cast<size_t>(n) + 1, sizeof(wchar_t)));
    if (!wide || !result.SetCapacity(n + 1)) {
        free(wide);
        KQString empty;
        empty.Assign("", 0);
        return empty;
    }
    // The result is deliberately not checked: a buffer too small for the
    // whole text still holds the characters that fitted.
    MultiByteToWideChar(CP_UTF8, 0, utf8, -1, wide, n + 1);
    char* buffer = result.GetBuffer();
    memset(buffer, 0, static_cast<size_t>(n) + 1);
    for (int32 i = 0; i < n && wide[i] != 0; ++i)
        buffer[i] = static_cast<uint32>(wide[i]) < 255 ? static_cast<char>(wide[i]) : '_';
    free(wide);
    return KQString(buffer);
}

#endif
