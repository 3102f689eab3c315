// KQString: construction, buffer handling, comparison, search and editing.
#include "KQOString.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <utility>

#include "KQPlatform.h"

namespace {

const KQChar emptyText[1] = {0};

// The runtime's narrow or wide functions, for the width this build uses.
#ifdef KQ_UNICODE
inline int32 TextLength(const wchar_t* s)
{
    return static_cast<int32>(wcslen(s));
}
inline int UpperOf(wchar_t c)
{
    return static_cast<int>(KQ_towupper(static_cast<wint_t>(c)));
}
inline int LowerOf(wchar_t c)
{
    return static_cast<int>(KQ_towlower(static_cast<wint_t>(c)));
}
// CompareNoCase takes wide units as they are, without a sign to mind.
inline int SignedUpperOf(wchar_t c)
{
    return UpperOf(c);
}
inline int NCompare(const wchar_t* a, const wchar_t* b, size_t n)
{
    return wcsncmp(a, b, n);
}
inline int ScanInt(const wchar_t* s, int* v)
{
    return swscanf(s, L" %d ", v);
}
#else
inline int32 TextLength(const char* s)
{
    return static_cast<int32>(strlen(s));
}
// Narrow characters go to toupper as unsigned values (a negative argument
// is undefined there).
inline int UpperOf(char c)
{
    return toupper(static_cast<unsigned char>(c));
}
inline int LowerOf(char c)
{
    return tolower(static_cast<unsigned char>(c));
}
// Upper case with the byte taken as a signed value: bytes of 0x80 and above
// stay negative and so sort before ASCII in CompareNoCase.
inline int SignedUpperOf(char c)
{
    int v = static_cast<signed char>(c);
    return v >= 0 ? toupper(v) : v;
}
inline int NCompare(const char* a, const char* b, size_t n)
{
    return strncmp(a, b, n);
}
inline int ScanInt(const char* s, int* v)
{
    return sscanf(s, " %d ", v);
}
#endif

inline bool IsLowAscii(KQChar c)
{
    return static_cast<uint32>(static_cast<KQUChar>(c)) < 0x80;
}

// Characters the trims remove: ASCII white space, and with alsoControl the
// ASCII control characters. The terminator is never one of them.
inline bool IsTrimmed(KQChar c, bool alsoControl)
{
    if (c == 0 || !IsLowAscii(c))
        return false;
    int v = static_cast<int>(c);
    return isspace(v) || (alsoControl && iscntrl(v));
}

// Three-way compare of unsigned characters up to the first difference or
// the common terminator.
int UnsignedCompare(const KQChar* a, const KQChar* b)
{
    for (;; ++a, ++b) {
        uint32 x = static_cast<uint32>(static_cast<KQUChar>(*a));
        uint32 y = static_cast<uint32>(static_cast<KQUChar>(*b));
        if (x != y)
            return x < y ? -1 : 1;
        if (x == 0)
            return 0;
    }
}

KQChar* AllocateText(int64 n)
{
    if (n < 0 || n > 0x7FFFFFFF)
        return nullptr;
    return static_cast<KQChar*>(malloc(static_cast<size_t>(n) * sizeof(KQChar)));
}

}  // namespace

KQString::KQString() : text(nullptr), length(0), capacity(0), tokenPos(0) {}

KQString::KQString(const KQChar* src) : text(nullptr), length(0), capacity(0), tokenPos(0)
{
    Assign(src, -1);
}

#ifdef KQ_UNICODE
KQString::KQString(const char* src) : text(nullptr), length(0), capacity(0), tokenPos(0)
{
    if (!src)
        return;
    size_t n = KQ_mbstowcs(nullptr, src, 0);
    if (n == static_cast<size_t>(-1))
        return;
    KQChar* buffer = AllocateText(static_cast<int64>(n) + 1);
    if (!buffer)
        return;
    n = KQ_mbstowcs(buffer, src, n + 1);
    buffer[n] = 0;
    text = buffer;
    length = static_cast<int32>(n);
    capacity = static_cast<int32>(n) + 1;
}
#endif

KQString::KQString(const KQString& other) : text(nullptr), length(0), capacity(0), tokenPos(0)
{
    Assign(other.text, -1);
}

KQString::~KQString()
{
    free(text);
}

void KQString::Assign(const KQChar* src, int32 n)
{
    if (!src) {
        free(text);
        text = nullptr;
        capacity = 0;
        length = 0;
        return;
    }
    if (n < 0)
        n = TextLength(src);
    // The old buffer is released only after the copy: src may point into it.
    KQChar* buffer = AllocateText(static_cast<int64>(n) + 1);
    if (!buffer) {
        free(text);
        text = nullptr;
        capacity = 0;
        length = 0;
        return;
    }
    int32 i = 0;
    for (; i < n && src[i]; ++i)
        buffer[i] = src[i];
    for (; i <= n; ++i)
        buffer[i] = 0;
    free(text);
    text = buffer;
    capacity = n + 1;
    length = TextLength(text);
}

KQString& KQString::AssignString(const KQString& other)
{
    Assign(other.text, -1);
    tokenPos = 0;
    return *this;
}

void KQString::TakeText(KQString& other)
{
    std::swap(text, other.text);
    std::swap(length, other.length);
    std::swap(capacity, other.capacity);
    tokenPos = 0;
    other.tokenPos = 0;
}

KQString& KQString::AssignText(const KQChar* src)
{
    Assign(src, -1);
    tokenPos = 0;
    return *this;
}

int32 KQString::GetLength() const
{
    if (!text)
        return 0;
    return length >= 0 ? length : TextLength(text);
}

const KQChar* KQString::CStr() const
{
    return text ? text : emptyText;
}

KQChar* KQString::GetBuffer()
{
    length = -1;
    return text;
}

void KQString::SetAt(int32 pos, KQChar c)
{
    // Callers are trusted to stay inside the buffer; a write outside it is
    // dropped rather than corrupting the heap.
    if (!text || pos < 0 || pos >= capacity)
        return;
    text[pos] = c;
    length = -1;
}

bool KQString::SetCapacity(int32 n)
{
    if (n == capacity)
        return true;
    if (n < 1)
        return false;
    KQChar* buffer = AllocateText(n);
    if (!buffer)
        return false;
    int32 i = 0;
    if (text)
        for (; i < n && text[i]; ++i)
            buffer[i] = text[i];
    for (; i < n; ++i)
        buffer[i] = 0;
    buffer[n - 1] = 0;
    free(text);
    text = buffer;
    capacity = n;
    // A cut text no longer has the cached length: left as it was, Append and
    // Concat would copy that many characters out of the smaller buffer.
    if (length > n - 1)
        length = -1;
    return true;
}

void KQString::FitToLength()
{
    Assign(text, -1);
}

bool KQString::IsEmpty() const
{
    return !text || GetLength() == 0;
}

bool KQString::IsBlank() const
{
    if (IsEmpty())
        return true;
    for (const KQChar* p = text; *p; ++p)
        if (*p != '\t' && *p != '\n' && *p != '\r' && *p != ' ')
            return false;
    return true;
}

bool KQString::Equals(const KQString& other) const
{
    if (text && other.text)
        return UnsignedCompare(text, other.text) == 0;
    return !text && !other.text;
}

bool KQString::EqualsText(const KQChar* other) const
{
    if (text && other)
        return UnsignedCompare(text, other) == 0;
    return !text && !other;
}

int32 KQString::Compare(const KQString& other, int32 n) const
{
    if (!text || !other.text) {
        if (!text && !other.text)
            return 0;
        return text ? 1 : -1;
    }
    if (n == -1)
        return UnsignedCompare(text, other.text);
    return NCompare(text, other.text, static_cast<size_t>(static_cast<uint32>(n)));
}

int32 KQString::CompareNoCase(const KQString& other, int32 n) const
{
    if (!text || !other.text) {
        if (!text && !other.text)
            return 0;
        return text ? 1 : -1;
    }
    for (int32 i = 0; n == -1 || i < n; ++i) {
        int a = SignedUpperOf(text[i]);
        int b = SignedUpperOf(other.text[i]);
        if (a == 0 || b == 0) {
            if (a == 0 && b == 0)
                return 0;
            return a != 0 ? 1 : -1;
        }
        if (a != b)
            return a < b ? -1 : 1;
    }
    return 0;
}

bool KQString::operator<(const KQString& other) const
{
    bool emptyA = IsEmpty();
    bool emptyB = other.IsEmpty();
    if (emptyA || emptyB)
        return emptyA && !emptyB;
    return UnsignedCompare(text, other.text) < 0;
}

bool KQString::operator>(const KQString& other) const
{
    if (IsEmpty())
        return false;
    if (other.IsEmpty())
        return true;
    return UnsignedCompare(text, other.text) > 0;
}

int32 KQString::Find(const KQString& sub, int32 start, bool forward, bool caseSensitive) const
{
    int32 L = GetLength();
    int32 M = sub.GetLength();
    if (start == -1)
        start = L - M;
    if (start >= L || start < 0 || L == 0 || M <= 0 || static_cast<int64>(start) + M > L)
        return -1;
    const KQChar* s = sub.text;
    int32 step = forward ? 1 : -1;
    int32 last = forward ? L - M : 0;
    for (int32 p = start;; p += step) {
        int32 i = 0;
        if (caseSensitive) {
            while (i < M && text[p + i] == s[i])
                ++i;
        } else {
            while (i < M && UpperOf(text[p + i]) == UpperOf(s[i]))
                ++i;
        }
        if (i == M)
            return p;
        if (p == last)
            return -1;
    }
}

bool KQString::Contains(const KQString& sub) const
{
    return Find(sub, 0, true, true) >= 0;
}

int32 KQString::FindChar(KQChar c, int32 start, bool forward, bool caseSensitive) const
{
    int32 L = GetLength();
    if (start == -1)
        start = L - 1;
    if (start >= L || start < 0)
        return -1;
    int lower = LowerOf(c);
    int32 step = forward ? 1 : -1;
    for (int32 p = start; p >= 0 && p < L; p += step) {
        if (caseSensitive ? text[p] == c : LowerOf(text[p]) == lower)
            return p;
    }
    return -1;
}

int32 KQString::CountChar(KQChar c, int32 start, bool forward) const
{
    int32 L = GetLength();
    if (start == -1)
        start = L - 1;
    if (start >= L || start < 0)
        return 0;
    int32 count = 0;
    int32 step = forward ? 1 : -1;
    for (int32 p = start; p >= 0 && p < L; p += step)
        if (text[p] == c)
            ++count;
    return count;
}

int32 KQString::CountWords() const
{
    if (!text)
        return 0;
    int32 count = 0;
    KQChar previous = ' ';
    for (const KQChar* p = text; *p; ++p) {
        KQChar c = *p;
        bool afterGap = previous == '\t' || previous == ' ' || previous == ',';
        bool startsWord = c != '\t' && c != '\n' && c != '\r' && c != ' ';
        if (afterGap && startsWord)
            ++count;
        previous = c;
    }
    return count;
}

int32 KQString::RemoveChar(KQChar c)
{
    if (IsEmpty())
        return 0;
    int32 L = GetLength();
    int32 kept = 0;
    for (int32 i = 0; i < L; ++i)
        if (text[i] != c)
            text[kept++] = text[i];
    int32 removed = L - kept;
    if (removed == 0)
        return 0;
    text[kept] = 0;
    Assign(text, kept);
    return removed;
}

int32 KQString::ReplaceChar(KQChar from, KQChar to, int32 max, bool caseSensitive)
{
    if (!text)
        return 0;
    length = TextLength(text);
    if (length == 0)
        return 0;
    int lower = LowerOf(from);
    int32 count = 0;
    for (int32 i = 0; i < length; ++i) {
        if (caseSensitive ? text[i] == from : LowerOf(text[i]) == lower) {
            text[i] = to;
            ++count;
            if (max > 0 && count == max)
                break;
        }
    }
    return count;
}

int32 KQString::Replace(const KQString& find, const KQString& with, int32 max, bool caseSensitive)
{
    int32 p = Find(find, 0, true, caseSensitive);
    if (p < 0)
        return 0;
    int32 L = GetLength();
    int32 M = find.GetLength();
    KQString result;
    int32 copyFrom = 0;
    int32 count = 0;
    while (count < max || max == 0) {
        if (p > 0)
            result.Append(MidRange(copyFrom, p - 1));
        result.Append(with);
        copyFrom = p + M;
        p = Find(find, copyFrom, true, caseSensitive);
        ++count;
        if (p < 0)
            break;
    }
    result.Append(MidRange(copyFrom, L - 1));
    Assign(result.text, -1);
    return count;
}

void KQString::MakeLower()
{
    if (!text)
        return;
    length = TextLength(text);
    for (int32 i = 0; i < length; ++i)
        text[i] = static_cast<KQChar>(LowerOf(text[i]));
}

void KQString::MakeUpper()
{
    if (!text)
        return;
    length = TextLength(text);
    for (int32 i = 0; i < length; ++i)
        text[i] = static_cast<KQChar>(UpperOf(text[i]));
}

void KQString::TrimLeft(bool alsoControl)
{
    if (!text)
        return;
    int32 i = 0;
    while (IsTrimmed(text[i], alsoControl))
        ++i;
    if (i > 0) {
        int32 rest = TextLength(text + i);
        memmove(text, text + i, (static_cast<size_t>(rest) + 1) * sizeof(KQChar));
    }
    length = TextLength(text);
}

void KQString::TrimRight(bool alsoControl)
{
    if (!text)
        return;
    length = TextLength(text);
    int32 i = length - 1;
    while (i >= 0 && IsTrimmed(text[i], alsoControl))
        --i;
    Truncate(i + 1);
    length = TextLength(text);
}

void KQString::Trim(bool alsoControl)
{
    if (!text)
        return;
    TrimLeft(alsoControl);
    TrimRight(alsoControl);
}

void KQString::Simplify()
{
    Trim(false);
    Replace(KQString(KQ_TEXT("\t")), KQString(KQ_TEXT(" ")), 0, true);
    if (!text)
        return;
    int32 out = 0;
    for (int32 i = 0; text[i]; ++i) {
        if (text[i] == ' ' && out > 0 && text[out - 1] == ' ')
            continue;
        text[out++] = text[i];
    }
    text[out] = 0;
    Assign(text, out);
}

void KQString::Append(const KQString& other)
{
    if (length >= 0) {
        if (other.IsEmpty())
            return;
        int32 n = other.GetLength();
        if (static_cast<int64>(length) + n < capacity) {
            // memmove: other may be this string itself.
            memmove(text + length, other.text, static_cast<size_t>(n) * sizeof(KQChar));
            length += n;
            text[length] = 0;
            return;
        }
    }
    KQString joined = Concat(other);
    Assign(joined.text, -1);
}

void KQString::AppendText(const KQChar* src)
{
    KQString joined = Concat(KQString(src));
    Assign(joined.text, -1);
}

void KQString::AppendInt(int32 n)
{
    KQString joined = ConcatInt(n);
    Assign(joined.text, -1);
}

KQString KQString::Concat(const KQString& other) const
{
    if (!other.text)
        return *this;
    if (!text)
        return other;
    int32 a = GetLength();
    int32 b = other.GetLength();
    KQString result;
    KQChar* buffer = AllocateText(static_cast<int64>(a) + b + 1);
    if (!buffer)
        return result;
    memcpy(buffer, text, static_cast<size_t>(a) * sizeof(KQChar));
    memcpy(buffer + a, other.text, static_cast<size_t>(b) * sizeof(KQChar));
    buffer[a + b] = 0;
    result.text = buffer;
    result.capacity = a + b + 1;
    result.length = TextLength(buffer);
    return result;
}

KQString KQString::ConcatInt(int32 n) const
{
    return Concat(FromFormat("%d", n));
}

KQString KQString::Mid(int32 pos, int32 count) const
{
    KQString result;
    result.Assign(emptyText, 0);
    int32 L = GetLength();
    if (pos >= 0 && pos < L) {
        if (count < 0 || static_cast<int64>(pos) + count > L)
            count = L - pos;
        result.Assign(text + pos, count);
    }
    return result;
}

KQString KQString::MidRange(int32 first, int32 last) const
{
    KQString result;
    result.Assign(emptyText, 0);
    int32 L = GetLength();
    if (last < 0)
        last = L - 1;
    if (first >= 0 && first < L && first <= last && last < L)
        result.Assign(text + first, last - first + 1);
    return result;
}

KQString KQString::NextToken(KQChar sep, bool* more)
{
    if (more)
        *more = true;
    length = text ? TextLength(text) : 0;
    int32 p = tokenPos;
    KQString result;
    if (p >= 0 && p < length) {
        int32 q = FindChar(sep, p, true, true);
        if (q == -1) {
            if (more)
                *more = false;
            q = length;
        }
        result.Assign(text + p, q - p);
        tokenPos = q + 1;
    } else if (more) {
        *more = false;
    }
    return result;
}

KQString KQString::FirstToken(KQChar sep, bool* more)
{
    tokenPos = 0;
    return NextToken(sep, more);
}

int32 KQString::ToInt(int32 defaultValue) const
{
    if (IsEmpty())
        return defaultValue;
    int value = 0;
    if (ScanInt(text, &value) == 1)
        return value;
    return defaultValue;
}
