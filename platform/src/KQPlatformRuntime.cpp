// Runtime wrappers with Windows semantics.
#include "KQPlatform.h"

#ifdef _WIN32

#include <cstdio>
#include <cstdlib>
#include <cwctype>

int KQ_vsnprintf(char* buffer, size_t count, const char* format, va_list args)
{
    return _vsnprintf(buffer, count, format, args);
}

int KQ_vsnwprintf(wchar_t* buffer, size_t count, const wchar_t* format, va_list args)
{
    return _vsnwprintf(buffer, count, format, args);
}

size_t KQ_mbstowcs(wchar_t* dest, const char* src, size_t count)
{
    return mbstowcs(dest, src, count);
}

wint_t KQ_towupper(wint_t c)
{
    return towupper(c);
}

wint_t KQ_towlower(wint_t c)
{
    return towlower(c);
}

#else  // not _WIN32

#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <type_traits>

namespace {

// glibc's printf family differs from the Windows one in the meaning of %s
// in wide formats, in the I64 prefix, in how a null text is cut by a
// precision, in its multibyte handling of the "C" locale (bytes of 0x80 and
// above fail), in exponent digits and in the look of %p. So the conversions
// that carry text are done here, and only numbers go to glibc, one
// conversion at a time, in a narrow format.

template <typename C>
struct Sink {
    C* buffer;
    size_t count;
    size_t pos;

    void Put(C c)
    {
        if (pos < count)
            buffer[pos] = c;
        ++pos;
    }
    void Pad(C c, size_t n)
    {
        for (size_t i = 0; i < n; ++i)
            Put(c);
    }
};

struct Directive {
    bool left = false;
    bool zero = false;
    std::string flags;  // as written, for the numeric conversions
    int width = 0;
    int precision = -1;  // -1: none
    enum { None, Wide, Short, Long, LongLong, LongDouble } size = None;
};

template <typename C>
int ParseNumber(const C*& p)
{
    long long v = 0;
    while (*p >= '0' && *p <= '9') {
        if (v < 0x7FFFFFFF)
            v = v * 10 + (*p - '0');
        ++p;
    }
    return v > 0x7FFFFFFF ? 0x7FFFFFFF : (int)v;
}

template <typename C>
void PutPadded(Sink<C>& out, const Directive& item, const C* text, size_t n)
{
    size_t pad = item.width > 0 && (size_t)item.width > n ? (size_t)item.width - n : 0;
    if (!item.left)
        out.Pad(item.zero ? C('0') : C(' '), pad);
    for (size_t i = 0; i < n; ++i)
        out.Put(text[i]);
    if (item.left)
        out.Pad(C(' '), pad);
}

// One unit of text converted to the output width: bytes widen to their own
// value ("C" locale); wide characters that a byte cannot hold become '?'.
template <typename To, typename From>
To ConvertUnit(From c)
{
    if (sizeof(To) >= sizeof(From))
        return (To)(typename std::make_unsigned<From>::type)c;
    uint32_t u = (uint32_t)c;
    return u <= 0xFF ? (To)u : (To)'?';
}

template <typename C, typename T>
void PutText(Sink<C>& out, const Directive& item, const T* text)
{
    static const T nullText[] = {'(', 'n', 'u', 'l', 'l', ')', 0};
    if (!text)
        text = nullText;
    size_t n = 0;
    while ((item.precision < 0 || n < (size_t)item.precision) && text[n])
        ++n;
    std::basic_string<C> converted;
    converted.reserve(n);
    for (size_t i = 0; i < n; ++i)
        converted.push_back(ConvertUnit<C>(text[i]));
    PutPadded(out, item, converted.data(), n);
}

template <typename T>
std::string NumberText(const std::string& format, T value)
{
    char small[128];
    int n = snprintf(small, sizeof small, format.c_str(), value);
    if (n < 0)
        return std::string();
    if ((size_t)n < sizeof small)
        return std::string(small, (size_t)n);
    std::string big((size_t)n + 1, '\0');
    snprintf(&big[0], big.size(), format.c_str(), value);
    big.resize((size_t)n);
    return big;
}

template <typename C>
void PutAscii(Sink<C>& out, const std::string& s)
{
    for (char c : s)
        out.Put((C)(unsigned char)c);
}

template <typename C, typename T>
void PutNumber(Sink<C>& out, const std::string& format, T value)
{
    PutAscii(out, NumberText(format, value));
}

// Floating conversions. The Windows runtime writes at least three exponent
// digits ("1e+005"); the padding is applied after that widening.
template <typename C, typename T>
void PutFloat(Sink<C>& out, const Directive& item, const char* size, char conversion, T value)
{
    std::string f = "%";
    for (char c : item.flags)
        if (c != '-' && c != '0')
            f += c;
    if (item.precision >= 0)
        f += "." + std::to_string(item.precision);
    f += size;
    f += conversion;
    std::string s = NumberText(f, value);
    if (conversion == 'e' || conversion == 'E' || conversion == 'g' || conversion == 'G') {
        size_t e = s.find_first_of("eE");
        if (e != std::string::npos && e + 4 == s.size() && (s[e + 1] == '+' || s[e + 1] == '-'))
            s.insert(e + 2, "0");
    }
    if (item.width > 0 && (size_t)item.width > s.size()) {
        size_t pad = (size_t)item.width - s.size();
        if (item.left) {
            s.append(pad, ' ');
        } else if (item.zero && std::isfinite((long double)value)) {
            size_t at = !s.empty() && (s[0] == '-' || s[0] == '+' || s[0] == ' ') ? 1 : 0;
            s.insert(at, pad, '0');
        } else {
            s.insert(0, pad, ' ');
        }
    }
    PutAscii(out, s);
}

template <typename C>
std::string NumberFormat(const Directive& item, const char* size, char conversion)
{
    std::string f = "%" + item.flags;
    if (item.width > 0)
        f += std::to_string(item.width);
    if (item.precision >= 0)
        f += "." + std::to_string(item.precision);
    f += size;
    f += conversion;
    return f;
}

template <typename C>
int Format(C* buffer, size_t count, const C* format, va_list args)
{
    const bool wideFormat = sizeof(C) > 1;
    Sink<C> out{buffer, count, 0};
    const C* p = format;
    while (*p) {
        if (*p != '%') {
            out.Put(*p++);
            continue;
        }
        ++p;
        Directive item;
        for (;; ++p) {
            if (*p == '-')
                item.left = true;
            else if (*p == '0')
                item.zero = true;
            else if (*p != '+' && *p != ' ' && *p != '#')
                break;
            item.flags += (char)*p;
        }
        if (*p == '*') {
            item.width = va_arg(args, int);
            if (item.width < 0) {
                item.left = true;
                item.flags += '-';
                item.width = item.width == INT32_MIN ? 0x7FFFFFFF : -item.width;
            }
            ++p;
        } else {
            item.width = ParseNumber(p);
        }
        if (*p == '.') {
            ++p;
            if (*p == '*') {
                item.precision = va_arg(args, int);
                if (item.precision < 0)
                    item.precision = -1;
                ++p;
            } else {
                item.precision = ParseNumber(p);
            }
        }
        if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
            item.size = Directive::LongLong;
            p += 3;
        } else if (p[0] == 'I' && p[1] == '3' && p[2] == '2') {
            p += 3;
        } else if (p[0] == 'I') {
            item.size = sizeof(void*) == 8 ? Directive::LongLong : Directive::None;
            ++p;
        } else if (p[0] == 'l' && p[1] == 'l') {
            item.size = Directive::LongLong;
            p += 2;
        } else if (p[0] == 'h' && p[1] == 'h') {
            item.size = Directive::Short;
            p += 2;
        } else if (*p == 'l') {
            item.size = Directive::Long;
            ++p;
        } else if (*p == 'w') {
            item.size = Directive::Wide;
            ++p;
        } else if (*p == 'h') {
            item.size = Directive::Short;
            ++p;
        } else if (*p == 'L') {
            item.size = Directive::LongDouble;
            ++p;
        } else if (*p == 'F' || *p == 'N') {
            ++p;
        }
        C conversion = *p;
        if (!conversion)
            break;
        ++p;
        // Text width of a character or string argument.
        bool wideArg = false;
        if (conversion == 'c' || conversion == 's' || conversion == 'C' || conversion == 'S') {
            bool upper = conversion == 'C' || conversion == 'S';
            if (item.size == Directive::Short)
                wideArg = false;
            else if (item.size == Directive::Long || item.size == Directive::Wide)
                wideArg = true;
            else
                wideArg = upper ? !wideFormat : wideFormat;
        }
        // A Windows long is 32 bits, so %ld takes an int (LONG and DWORD are
        // 32-bit here too) and goes to glibc without the prefix.
        const char* size = item.size == Directive::LongLong ? "ll" : item.size == Directive::Short ? "h" : "";
        switch (conversion) {
        case 'c':
        case 'C': {
            int v = va_arg(args, int);
            C unit = wideArg ? ConvertUnit<C>((wchar_t)v) : ConvertUnit<C>((char)v);
            PutPadded(out, item, &unit, 1);
            break;
        }
        case 's':
        case 'S':
            if (wideArg)
                PutText(out, item, va_arg(args, const wchar_t*));
            else
                PutText(out, item, va_arg(args, const char*));
            break;
        case 'd':
        case 'i':
        case 'o':
        case 'u':
        case 'x':
        case 'X': {
            std::string f = NumberFormat<C>(item, size, (char)conversion);
            if (item.size == Directive::LongLong)
                PutNumber(out, f, va_arg(args, long long));
            else
                PutNumber(out, f, va_arg(args, int));
            break;
        }
        case 'e':
        case 'E':
        case 'f':
        case 'F':
        case 'g':
        case 'G':
        case 'a':
        case 'A':
            if (item.size == Directive::LongDouble)
                PutFloat(out, item, "L", (char)conversion, va_arg(args, long double));
            else
                PutFloat(out, item, "", (char)conversion, va_arg(args, double));
            break;
        case 'p': {
            // Windows prints a pointer as upper-case hex digits, zero-filled
            // to the pointer's size, without a prefix.
            char digits[32];
            snprintf(digits, sizeof digits, "%0*" PRIXPTR, (int)(2 * sizeof(void*)), (uintptr_t)va_arg(args, void*));
            C wide[32];
            size_t n = strlen(digits);
            for (size_t i = 0; i < n; ++i)
                wide[i] = (C)digits[i];
            Directive padded = item;
            padded.zero = false;
            PutPadded(out, padded, wide, n);
            break;
        }
        case 'n':
            // Writing through the argument is a classic exploit path; the
            // count is not stored.
            (void)va_arg(args, void*);
            break;
        default:
            out.Put(conversion);
            break;
        }
    }
    if (out.pos < count) {
        buffer[out.pos] = 0;
        return (int)out.pos;
    }
    if (out.pos == count)
        return (int)count;
    return -1;
}

}  // namespace

int KQ_vsnprintf(char* buffer, size_t count, const char* format, va_list args)
{
    return Format(buffer, count, format, args);
}

int KQ_vsnwprintf(wchar_t* buffer, size_t count, const wchar_t* format, va_list args)
{
    return Format(buffer, count, format, args);
}

size_t KQ_mbstowcs(wchar_t* dest, const char* src, size_t count)
{
    size_t n = 0;
    if (!dest) {
        while (src[n])
            ++n;
        return n;
    }
    while (n < count && src[n]) {
        dest[n] = (wchar_t)(unsigned char)src[n];
        ++n;
    }
    if (n < count)
        dest[n] = 0;
    return n;
}

wint_t KQ_towupper(wint_t c)
{
    return c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c;
}

wint_t KQ_towlower(wint_t c)
{
    return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c;
}

#endif

// The variadic forms are the same on every host.
int KQ_snprintf(char* buffer, size_t count, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    int n = KQ_vsnprintf(buffer, count, format, args);
    va_end(args);
    return n;
}

int KQ_swprintf(wchar_t* buffer, size_t count, const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    int n = KQ_vsnwprintf(buffer, count, format, args);
    va_end(args);
    return n;
}
