// KQString: the library's own text type, one owned heap buffer, a lazily
// measured length, a capacity and a token cursor. A null text is a valid
// empty string.
#ifndef KQOSTRING_H
#define KQOSTRING_H

#include <cstdarg>

#include "KQOTypes.h"

class KQString {
public:
    KQString();
    KQString(const KQChar* text);
#ifdef KQ_UNICODE
    // Widens narrow text with the runtime's multibyte conversion.
    KQString(const char* text);
#endif
    KQString(const KQString& other);
    ~KQString();

    KQString& operator=(const KQString& other)
    {
        return AssignString(other);
    }
    KQString& operator=(const KQChar* text)
    {
        return AssignText(text);
    }

    void Assign(const KQChar* text, int32 n);
    KQString& AssignString(const KQString& other);
    // Takes over other's text and gives it this one's; the position of the
    // token walk starts afresh in both. Costs no copy of either text.
    void TakeText(KQString& other);
    KQString& AssignText(const KQChar* text);

    // Buffer access.
    int32 GetLength() const;
    const KQChar* CStr() const;
    const KQChar* Text() const
    {
        return CStr();
    }
    KQChar* GetBuffer();
    void SetAt(int32 pos, KQChar c);
    void Truncate(int32 pos)
    {
        SetAt(pos, 0);
    }
    int32 GetCapacity() const
    {
        return capacity;
    }
    bool SetCapacity(int32 n);
    void FitToLength();
    bool IsEmpty() const;
    bool IsBlank() const;

    // Comparison.
    bool Equals(const KQString& other) const;
    bool EqualsText(const KQChar* text) const;
    int32 Compare(const KQString& other, int32 n = -1) const;
    int32 CompareNoCase(const KQString& other, int32 n = -1) const;
    bool operator<(const KQString& other) const;
    bool operator>(const KQString& other) const;

    // Search and counting.
    int32 Find(const KQString& sub, int32 start = 0, bool forward = true, bool caseSensitive = true) const;
    bool Contains(const KQString& sub) const;
    int32 FindChar(KQChar c, int32 start = 0, bool forward = true, bool caseSensitive = true) const;
    int32 CountChar(KQChar c, int32 start = 0, bool forward = true) const;
    int32 CountWords() const;

    // Editing in place.
    int32 RemoveChar(KQChar c);
    int32 ReplaceChar(KQChar from, KQChar to, int32 max = 0, bool caseSensitive = true);
    int32 Replace(const KQString& find, const KQString& with, int32 max = 0, bool caseSensitive = true);
    void MakeLower();
    void MakeUpper();
    void TrimLeft(bool alsoControl = false);
    void TrimRight(bool alsoControl = false);
    void Trim(bool alsoControl = false);
    void Simplify();
    void Append(const KQString& other);
    void AppendText(const KQChar* text);
    void AppendInt(int32 n);

    // New strings.
    KQString Concat(const KQString& other) const;
    KQString operator+(const KQString& other) const
    {
        return Concat(other);
    }
    KQString ConcatInt(int32 n) const;
    KQString Mid(int32 pos, int32 count = -1) const;
    KQString MidRange(int32 first, int32 last) const;
    KQString NextToken(KQChar sep, bool* more = nullptr);
    KQString FirstToken(KQChar sep, bool* more = nullptr);

    int32 ToInt(int32 defaultValue = 0) const;

    // Formatting. In the wide build the narrow formats are widened first and
    // %s takes wide text, as in the Windows runtime.
    KQString& Format(const char* format, ...);
    KQString& FormatV(const KQChar* format, va_list args);
    static KQString FromFormat(const char* format, ...);
    static KQString FromFormatV(const char* format, va_list args);
#ifdef KQ_UNICODE
    KQString& FormatV(const char* format, va_list args);
    static KQString FromFormatV(const wchar_t* format, va_list args);
#endif

private:
    KQChar* text;
    int32 length;
    int32 capacity;
    int32 tokenPos;
};

uint32 KQHashString(const KQString& s);

#ifndef KQ_UNICODE
// Returns a malloc'd NUL-terminated UTF-8 copy that the caller frees with
// free(), or null with size -1.
char* KQToUTF8(const KQString& s, int32& size);
KQString KQFromUTF8(const char* utf8, int32 n);
#endif

#endif
