#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "KQAnsiText.h"
#include "KQOString.h"
#include "KQPlatform.h"

namespace {

typedef std::basic_string<KQChar> Text;

Text T(const KQString& s)
{
    return Text(s.CStr());
}

KQString ViaList(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    KQString s = KQString::FromFormatV(format, args);
    va_end(args);
    return s;
}

}  // namespace

TEST(KQStringFormat, ResultIsFittedToTheText)
{
    KQString five = KQString::FromFormat("%d", 5);
    EXPECT_EQ(T(five), KQ_TEXT("5"));
    EXPECT_EQ(five.GetCapacity(), 2);

    KQString null = KQString::FromFormat("%s", (const KQChar*)nullptr);
    EXPECT_EQ(T(null), KQ_TEXT("(null)"));
    EXPECT_EQ(null.GetCapacity(), 7);

    EXPECT_EQ(T(KQString::FromFormat("%.3s", KQ_TEXT("abcdef"))), KQ_TEXT("abc"));
    KQString padded = KQString::FromFormat("%-10s|", KQ_TEXT("ab"));
    EXPECT_EQ(T(padded), KQ_TEXT("ab        |"));
    EXPECT_EQ(padded.GetCapacity(), 12);
    EXPECT_EQ(T(KQString::FromFormat("%5.2s", KQ_TEXT("abc"))), KQ_TEXT("   ab"));
    EXPECT_EQ(T(KQString::FromFormat("%3c%-3c|", 'x', 'y')), KQ_TEXT("  xy  |"));

    EXPECT_EQ(T(KQString::FromFormat("plain text")), KQ_TEXT("plain text"));
    EXPECT_EQ(T(KQString::FromFormat("100%%")), KQ_TEXT("100%"));
    KQString empty = KQString::FromFormat("");
    EXPECT_EQ(T(empty), KQ_TEXT(""));
    EXPECT_EQ(empty.GetCapacity(), 1);

    // A lone '%' at the end is not read past.
    KQString tail = KQString::FromFormat("abc%");
    EXPECT_EQ(Text(tail.CStr()).substr(0, 3), KQ_TEXT("abc"));
    KQString cut = KQString::FromFormat("x%-5");
    EXPECT_EQ(Text(cut.CStr()).substr(0, 1), KQ_TEXT("x"));
}

TEST(KQStringFormat, NumbersAndArgumentOrder)
{
    EXPECT_EQ(T(KQString::FromFormat("%d|%5d|%-5d|%05d", -3, 42, 42, 42)), KQ_TEXT("-3|   42|42   |00042"));
    EXPECT_EQ(T(KQString::FromFormat("%x %X %o %u", 255, 255, 8, 4000000000u)), KQ_TEXT("ff FF 10 4000000000"));
    EXPECT_EQ(T(KQString::FromFormat("%#x", 255)), KQ_TEXT("0xff"));
    EXPECT_EQ(T(KQString::FromFormat("%.2f %.0f", 3.14159, 2.7)), KQ_TEXT("3.14 3"));
    EXPECT_EQ(T(KQString::FromFormat("%8.3f|", -1.5)), KQ_TEXT("  -1.500|"));
    EXPECT_EQ(T(KQString::FromFormat("%g", 0.5)), KQ_TEXT("0.5"));
    // Exponents have at least three digits, as the Windows runtime writes them.
    EXPECT_EQ(T(KQString::FromFormat("%e|%g|%G", 12345.678, 1e-5, 2e20)), KQ_TEXT("1.234568e+004|1e-005|2E+020"));
    EXPECT_EQ(T(KQString::FromFormat("%11.2e|%-10.1e|%010.1e", 1.5, 1.5, -1.5)),
              KQ_TEXT("  1.50e+000|1.5e+000  |-01.5e+000"));
    EXPECT_EQ(T(KQString::FromFormat("%e", 1e300)), KQ_TEXT("1.000000e+300"));

    // The 64-bit prefix keeps the arguments after it in step.
    int64 big = (int64)1 << 40;
    EXPECT_EQ(T(KQString::FromFormat("%I64d|%s|%d", big, KQ_TEXT("t"), 7)), KQ_TEXT("1099511627776|t|7"));
    EXPECT_EQ(T(KQString::FromFormat("%I64u", (uint64)-1)), KQ_TEXT("18446744073709551615"));
    EXPECT_EQ(T(KQString::FromFormat("%I64x", (int64)0x123456789A)), KQ_TEXT("123456789a"));
    // So do the 32-bit and pointer-sized prefixes: a number left unread by the
    // estimate would be taken for the text pointer that follows it.
    EXPECT_EQ(T(KQString::FromFormat("%I32d|%s|%d", -5, KQ_TEXT("t"), 7)), KQ_TEXT("-5|t|7"));
    EXPECT_EQ(T(KQString::FromFormat("%Iu|%s|%Ix", (size_t)12, KQ_TEXT("t"), (size_t)255)), KQ_TEXT("12|t|ff"));

    // Width and precision from the arguments; a negative width aligns left.
    EXPECT_EQ(T(KQString::FromFormat("%*d|%.*f", 4, 7, 1, 0.26)), KQ_TEXT("   7|0.3"));
    KQString left = KQString::FromFormat("%*d|", -40, 7);
    EXPECT_EQ(left.GetLength(), 41);
    EXPECT_EQ(Text(left.CStr()).substr(0, 2), KQ_TEXT("7 "));

    EXPECT_EQ(T(KQString::FromFormat("%c%c", 'o', 'k')), KQ_TEXT("ok"));
    EXPECT_EQ(T(ViaList("%s=%d", KQ_TEXT("n"), 12)), KQ_TEXT("n=12"));
}

TEST(KQStringFormat, FixedConversionHasRoomForEveryDigit)
{
    KQString s = KQString::FromFormat("%f", 1e300);
    Text t = T(s);
    ASSERT_EQ(t.size(), 308u);
    EXPECT_EQ(t.substr(0, 17), KQ_TEXT("10000000000000000"));
    EXPECT_EQ(t.substr(301), KQ_TEXT(".000000"));
    EXPECT_EQ(s.GetCapacity(), 309);

    KQString neg = KQString::FromFormat("[%.2f]", -1e300);
    EXPECT_EQ(neg.GetLength(), 1 + 1 + 301 + 3 + 1);

    KQString wide = KQString::FromFormat("%400f", 1.0);
    EXPECT_EQ(wide.GetLength(), 400);
}

TEST(KQStringFormat, TextWidthFollowsTheWindowsRuntime)
{
    // %s takes text of the build's width, %S the other width.
#ifdef KQ_UNICODE
    EXPECT_EQ(T(KQString::FromFormat("%s/%S", L"wide", "narrow")), L"wide/narrow");
    EXPECT_EQ(T(KQString::FromFormat("%c%C", L'w', 'n')), L"wn");
    EXPECT_EQ(T(KQString::FromFormat("%S", "\xE9")), L"\xE9");
#else
    EXPECT_EQ(T(KQString::FromFormat("%s/%S", "narrow", L"wide")), "narrow/wide");
    EXPECT_EQ(T(KQString::FromFormat("%c%C", 'n', L'w')), "nw");
#endif
    EXPECT_EQ(T(KQString::FromFormat("%hs|%ls", "h", L"l")), KQ_TEXT("h|l"));
    KQString arg(KQ_TEXT("value"));
    EXPECT_EQ(T(KQString::FromFormat("[%s]", arg.CStr())), KQ_TEXT("[value]"));
}

TEST(KQStringFormat, FormatMayReadItsOwnText)
{
    KQString s(KQ_TEXT("ab"));
    KQString& r = s.Format("%s%s%d", s.CStr(), s.CStr(), 1);
    EXPECT_EQ(&r, &s);
    EXPECT_EQ(T(s), KQ_TEXT("abab1"));
    EXPECT_EQ(s.GetCapacity(), 6);

    // The token cursor is kept: formatting replaces the text only.
    KQString tok(KQ_TEXT("a,b"));
    tok.FirstToken(',');
    tok.Format("x,y,z");
    EXPECT_EQ(T(tok.NextToken(',')), KQ_TEXT("y"));
}

TEST(KQStringFormat, HashDependsOnTheCharacterWidth)
{
    EXPECT_EQ(KQHashString(KQString(KQ_TEXT("abc"))), 0xB1012AACu);
    EXPECT_EQ(KQHashString(KQString()), 0u);
    KQString e;
    e.Assign(KQ_TEXT(""), 0);
    EXPECT_EQ(KQHashString(e), 0u);
    EXPECT_NE(KQHashString(KQString(KQ_TEXT("ab"))), KQHashString(KQString(KQ_TEXT("ba"))));
#ifdef KQ_UNICODE
    EXPECT_EQ(KQHashString(KQString(L"\xE9")), 0xE9u);
    EXPECT_EQ(KQHashString(KQString("\xE9")), 0xE9u);
#else
    EXPECT_EQ(KQHashString(KQString("\xE9")), 0xFFFFFFE9u);
#endif
    // Only the measured length counts.
    KQString cut(KQ_TEXT("abcdef"));
    cut.Truncate(3);
    EXPECT_EQ(KQHashString(cut), 0xB1012AACu);
}

#ifndef KQ_UNICODE

namespace {

std::string Bytes(const char* p, int32 size)
{
    return std::string(p, p + size);
}

}  // namespace

TEST(KQStringUTF8, ToUTF8)
{
    int32 size = 0;
    char* u = KQToUTF8(KQString("abc"), size);
    ASSERT_NE(u, nullptr);
    EXPECT_EQ(Bytes(u, size), std::string("abc", 4));
    free(u);

    u = KQToUTF8(KQString(), size);
    ASSERT_NE(u, nullptr);
    EXPECT_EQ(size, 1);
    EXPECT_EQ(u[0], 0);
    free(u);
    KQString e;
    e.Assign("", 0);
    u = KQToUTF8(e, size);
    ASSERT_NE(u, nullptr);
    EXPECT_EQ(size, 1);
    free(u);

    u = KQToUTF8(KQString("\t"), size);
    ASSERT_NE(u, nullptr);
    EXPECT_EQ(Bytes(u, size), std::string("\t", 2));
    free(u);

    u = KQToUTF8(KQString("\xE9"), size);
    ASSERT_NE(u, nullptr);
    EXPECT_EQ(Bytes(u, size), std::string("\xC3\xA9", 3));
    free(u);

    // Windows-1252's euro sign and one of its undefined bytes.
    u = KQToUTF8(KQString("a\x80\x81"), size);
    ASSERT_NE(u, nullptr);
    EXPECT_EQ(Bytes(u, size), std::string("a\xE2\x82\xAC\xC2\x81", 7));
    free(u);
}

TEST(KQStringUTF8, FromUTF8)
{
    KQString s = KQFromUTF8("\xC3\xA9", 2);
    EXPECT_EQ(std::string(s.CStr()), "\xE9");
    EXPECT_EQ(s.GetCapacity(), 2);
    EXPECT_EQ(std::string(KQFromUTF8("\xE2\x82\xAC", 3).CStr()), "_");
    EXPECT_EQ(std::string(KQFromUTF8("\xC3\xBF", 2).CStr()), "_");
    EXPECT_EQ(std::string(KQFromUTF8("x\xC3\xA9y", 4).CStr()), "x\xE9y");
    EXPECT_EQ(std::string(KQFromUTF8("a\tb", 3).CStr()), "a\tb");
    // Invalid UTF-8 becomes the replacement character, which the code page
    // cannot hold.
    EXPECT_EQ(std::string(KQFromUTF8("\xFF", 1).CStr()), "_");
    // A character beyond U+FFFF (an emoji in a model's name) is two UTF-16
    // units, so two '_', on every host.
    EXPECT_EQ(std::string(KQFromUTF8("a\xF0\x9F\x9A\x80"
                                     "b",
                                     6)
                              .CStr()),
              "a__b");
    EXPECT_EQ(std::string(KQFromUTF8("\xF0\x9F\x9A\x80", 4).CStr()), "__");
    // Plain ASCII is taken whole, whatever the count; a count beyond the
    // text does not read past it.
    EXPECT_EQ(std::string(KQFromUTF8("abcdef", 2).CStr()), "abcdef");
    EXPECT_EQ(std::string(KQFromUTF8("ab", 100).CStr()), "ab");
    EXPECT_EQ(std::string(KQFromUTF8("abc", 0).CStr()), "abc");

    KQString round = KQFromUTF8("\xC3\xA0 la \xC3\xA9t\xC3\xA9", 12);
    int32 size = 0;
    char* u = KQToUTF8(round, size);
    ASSERT_NE(u, nullptr);
    EXPECT_EQ(std::string(u), "\xC3\xA0 la \xC3\xA9t\xC3\xA9");
    free(u);
}

#endif

// The platform's code-page conversions, as the library calls them.
TEST(KQTextConversion, UTF8ToWide)
{
    wchar_t w[8];
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "a\xC3\xA9", -1, nullptr, 0), 3);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "a\xC3\xA9", -1, w, 8), 3);
    EXPECT_EQ((unsigned)w[0], 0x61u);
    EXPECT_EQ((unsigned)w[1], 0xE9u);
    EXPECT_EQ((unsigned)w[2], 0u);
    // Counted source: no terminator converted.
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abc", 2, w, 8), 2);

    // Ill-formed sequences become U+FFFD.
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0,
                                  "\xFF"
                                  "a\xC3",
                                  3, w, 8),
              3);
    EXPECT_EQ((unsigned)w[0], 0xFFFDu);
    EXPECT_EQ((unsigned)w[1], 0x61u);
    EXPECT_EQ((unsigned)w[2], 0xFFFDu);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0,
                                  "\xE2\x82"
                                  "a",
                                  3, w, 8),
              2);
    EXPECT_EQ((unsigned)w[0], 0xFFFDu);
    EXPECT_EQ((unsigned)w[1], 0x61u);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, "\xFF", 1, w, 8), 0);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NO_UNICODE_TRANSLATION);

    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abcdef", -1, w, 3), 0);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);

    // Beyond U+FFFF: a surrogate pair, counted as two units; back to UTF-8
    // it is the one character again.
    const char* rocket = "\xF0\x9F\x9A\x80";
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, rocket, -1, nullptr, 0), 3);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, rocket, -1, w, 8), 3);
    EXPECT_EQ((unsigned)w[0], 0xD83Du);
    EXPECT_EQ((unsigned)w[1], 0xDE80u);
    EXPECT_EQ((unsigned)w[2], 0u);
    char back[8];
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, w, -1, back, 8, nullptr, nullptr), 5);
    EXPECT_EQ(std::string(back), rocket);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abc", 0, w, 8), 0);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
}

TEST(KQTextConversion, WideToUTF8AndAnsi)
{
    char b[16];
    const wchar_t text[] = {0x61, 0xE9, 0x20AC, 0};
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr), 7);
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, text, -1, b, 16, nullptr, nullptr), 7);
    EXPECT_EQ(std::string(b), "a\xC3\xA9\xE2\x82\xAC");
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, text, -1, b, 4, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    const wchar_t lone[] = {0xD800, 0x62, 0};
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, lone, -1, b, 16, nullptr, nullptr), 5);
    EXPECT_EQ(std::string(b), "\xEF\xBF\xBD"
                              "b");

    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, text, -1, b, 16, nullptr, nullptr), 4);
    EXPECT_EQ(std::string(b), "a\xE9\x80");
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, "\x80\x81\x9F\xFF", 4, (wchar_t*)nullptr, 0), 4);
    wchar_t w[4];
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, "\x80\x81\x9F\xFF", 4, w, 4), 4);
    EXPECT_EQ((unsigned)w[0], 0x20ACu);
    EXPECT_EQ((unsigned)w[1], 0x81u);
    EXPECT_EQ((unsigned)w[2], 0x178u);
    EXPECT_EQ((unsigned)w[3], 0xFFu);
}

// A name reaches the 8-bit build only as the same text: never as Windows'
// best-fit look-alike (U+0101 as 'a', the full-width reverse solidus as a
// real '\') nor with a default character in place of what the code page
// lacks. The same cases run on the stand-in and on Windows (Windows-1252).
TEST(KQTextConversion, NamesReachTheAnsiCodePageExactlyOrNotAtAll)
{
    struct Case {
        std::vector<wchar_t> wide;  // UTF-16 units, as Windows hands them over
        bool held;
        std::string ansi;
    };
    const Case cases[] = {
        {{L'd', 0x0101, L'.', L'x'}, false, ""},                // a with macron: not in the code page
        {{0xFF21, L'b'}, false, ""},                            // full-width A
        {{L'a', 0xFF3C, L'.', L'.', 0xFF3C, L'b'}, false, ""},  // full-width reverse solidus
        {{0xD83D, 0xDE80}, false, ""},                          // beyond U+FFFF
        {{L'a', 0xD800, L'b'}, false, ""},                      // a lone surrogate
        {{0x85}, false, ""},                                    // C1 controls: their bytes are letters
        {{L'x', 0x81}, false, ""},                              // ... even where the byte reads back
        {{L'p', L'r', 0xE9, L's', L'/', L'm', 0xE8, L'l', L'e', L' ', 0xFC}, true, "pr\xE9s/m\xE8le \xFC"},
        {{0x20AC, 0x2026, 0x178}, true, "\x80\x85\x9F"},  // Windows-1252 letters above 0x7F
        {{L'w', L'h', L'o', L'?', L'.', L'k'}, true, "who?.k"},
        {{}, true, ""},
    };
    for (const Case& c : cases) {
        std::string out = "unchanged";
        EXPECT_EQ(KQWideToAnsiExactly(c.wide.data(), c.wide.size(), &out), c.held) << c.ansi;
        EXPECT_EQ(out, c.ansi);
    }
    std::string out = "unchanged";
    EXPECT_FALSE(KQUtf8ToAnsiExactly("model\xC4\x81.kqfx", &out));
    EXPECT_EQ(out, "");
    EXPECT_FALSE(KQUtf8ToAnsiExactly("c1\xC2\x85.kqfx", &out));
    EXPECT_FALSE(KQUtf8ToAnsiExactly("bad \xFF", &out));
    EXPECT_FALSE(KQUtf8ToAnsiExactly("\xEF\xBC\xA1", &out));
    EXPECT_TRUE(KQUtf8ToAnsiExactly("mod\xC3\xA8le \xC3\xBC \xE2\x82\xAC", &out));
    EXPECT_EQ(out, "mod\xE8le \xFC \x80");
    EXPECT_TRUE(KQUtf8ToAnsiExactly("Bob\xE2\x80\x99s \xC5\xB8\xC3\xBF", &out));
    EXPECT_EQ(out, "Bob\x92s \x9F\xFF");

    // What a report shows of text the code page does not hold: the held
    // characters as themselves, the others by number, NUL included, and
    // bytes that are no UTF-8 as '?'. Never a look-alike such as '_'.
    EXPECT_EQ(KQUtf8ShownInAnsi("model\xC4\x81 \xE2\x80\x99.kqfx"), "modelU+0101 \x92.kqfx");
    EXPECT_EQ(KQUtf8ShownInAnsi(std::string("m.kqfx\0.evil", 12)), "m.kqfxU+0000.evil");
    EXPECT_EQ(KQUtf8ShownInAnsi("c1\xC2\x85 \xF0\x9F\x9A\x80 \xFF\xC3"), "c1U+0085 U+1F680 ??");

    // What the conversion stands on: without best fit a missing character
    // is the default one and says so, on Windows as on the stand-in.
    const wchar_t lookAlike[] = {L'd', 0x0101, 0xFF3C, 0};
    char b[8];
    BOOL usedDefault = FALSE;
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, lookAlike, -1, b, 8, nullptr, &usedDefault), 4);
    EXPECT_EQ(std::string(b), "d??");
    EXPECT_TRUE(usedDefault);
    const wchar_t held[] = {0xE9, 0x20AC, 0};
    usedDefault = TRUE;
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, held, -1, b, 8, nullptr, &usedDefault), 3);
    EXPECT_EQ(std::string(b), "\xE9\x80");
    EXPECT_FALSE(usedDefault);
}

// The runtime's bounded formatters cut without a terminator and say so.
TEST(KQRuntime, BoundedFormattersBehaveAsOnWindows)
{
    char b[8];
    memset(b, 'x', sizeof b);
    EXPECT_EQ(KQ_snprintf(b, 4, "%s", "abcdef"), -1);
    EXPECT_EQ(std::string(b, 5), "abcdx");
    EXPECT_EQ(KQ_snprintf(b, 4, "%d", 1234), 4);
    EXPECT_EQ(std::string(b, 4), "1234");
    EXPECT_EQ(KQ_snprintf(b, 8, "%.3s|%I64d", (const char*)nullptr, (int64)-1), 6);
    EXPECT_EQ(std::string(b), "(nu|-1");

    // A Windows long is 32 bits: %ld and %lu take LONG and DWORD values and
    // keep the arguments after them in step.
    char l[32];
    EXPECT_EQ(KQ_snprintf(l, sizeof l, "%ld|%lu|%lx|%s", (LONG)-5, (DWORD)4000000000u, (DWORD)255, "t"), 18);
    EXPECT_EQ(std::string(l), "-5|4000000000|ff|t");

    wchar_t w[8];
    EXPECT_EQ(KQ_swprintf(w, 8, L"%s%S%d", L"a", "b", 3), 3);
    EXPECT_EQ(std::wstring(w), L"ab3");
    EXPECT_EQ(KQ_swprintf(w, 2, L"%s", L"abc"), -1);
    EXPECT_EQ(std::wstring(w, 2), L"ab");

    wchar_t m[4];
    EXPECT_EQ(KQ_mbstowcs(nullptr, "a\xE9", 0), 2u);
    EXPECT_EQ(KQ_mbstowcs(m, "a\xE9", 4), 2u);
    EXPECT_EQ((unsigned)m[1], 0xE9u);
    EXPECT_EQ(KQ_towupper(L'q'), (wint_t)L'Q');
    EXPECT_EQ(KQ_towlower(L'Q'), (wint_t)L'q');
}
