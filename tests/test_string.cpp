#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "KQOString.h"

namespace {

typedef std::basic_string<KQChar> Text;

Text T(const KQString& s)
{
    return Text(s.CStr());
}

// A string whose text pointer is null (default construction) and an
// allocated empty one.
KQString NullString()
{
    return KQString();
}

KQString AllocatedEmpty()
{
    KQString s;
    s.Assign(KQ_TEXT(""), 0);
    return s;
}

bool HasNullText(KQString& s)
{
    return s.GetBuffer() == nullptr;
}

}  // namespace

TEST(KQString, NullAndAllocatedEmptyDifferOnlyForComparison)
{
    KQString n;
    KQString e = AllocatedEmpty();
    EXPECT_EQ(T(n), KQ_TEXT(""));
    EXPECT_EQ(n.GetLength(), 0);
    EXPECT_EQ(n.GetCapacity(), 0);
    EXPECT_TRUE(n.IsEmpty());
    EXPECT_TRUE(n.IsBlank());
    EXPECT_TRUE(e.IsEmpty());
    EXPECT_EQ(e.GetCapacity(), 1);

    EXPECT_EQ(n.Compare(e), -1);
    EXPECT_EQ(e.Compare(n), 1);
    EXPECT_EQ(n.Compare(NullString()), 0);
    EXPECT_EQ(n.CompareNoCase(e), -1);
    EXPECT_FALSE(n.Equals(e));
    EXPECT_TRUE(n.Equals(NullString()));
    EXPECT_TRUE(n.EqualsText(nullptr));
    EXPECT_FALSE(e.EqualsText(nullptr));
    EXPECT_TRUE(e.EqualsText(KQ_TEXT("")));
    EXPECT_FALSE(n < e);
    EXPECT_FALSE(e < n);
    EXPECT_FALSE(n > e);
}

TEST(KQString, AssignAllocatesExactlyAndSurvivesItsOwnText)
{
    KQString s;
    s.Assign(KQ_TEXT("abc"), 10);
    EXPECT_EQ(s.GetLength(), 3);
    EXPECT_EQ(s.GetCapacity(), 11);
    s.Assign(KQ_TEXT("abc"), 0);
    EXPECT_EQ(T(s), KQ_TEXT(""));
    EXPECT_EQ(s.GetCapacity(), 1);
    EXPECT_FALSE(HasNullText(s));
    s.Assign(KQ_TEXT("abcdef"), 2);
    EXPECT_EQ(T(s), KQ_TEXT("ab"));
    EXPECT_EQ(s.GetCapacity(), 3);

    s = KQ_TEXT("abcdef");
    s.Assign(s.CStr() + 2, -1);
    EXPECT_EQ(T(s), KQ_TEXT("cdef"));
    EXPECT_EQ(s.GetCapacity(), 5);
    const KQString& alias = s;
    s = alias;
    EXPECT_EQ(T(s), KQ_TEXT("cdef"));

    s.Assign(nullptr, 5);
    EXPECT_TRUE(HasNullText(s));
    EXPECT_EQ(s.GetCapacity(), 0);

    KQString copy(KQ_TEXT("xyz"));
    KQString other(copy);
    EXPECT_EQ(T(other), KQ_TEXT("xyz"));
    EXPECT_NE(other.CStr(), copy.CStr());
    KQString fromNull((const KQChar*)nullptr);
    EXPECT_TRUE(HasNullText(fromNull));
}

TEST(KQString, CapacityRoomIsUsedByAppendUntilFull)
{
    KQString s(KQ_TEXT("abcdef"));
    EXPECT_FALSE(s.SetCapacity(0));
    EXPECT_EQ(s.GetCapacity(), 7);
    EXPECT_TRUE(s.SetCapacity(10));
    EXPECT_EQ(T(s), KQ_TEXT("abcdef"));
    s.Append(KQString(KQ_TEXT("xyz")));
    EXPECT_EQ(T(s), KQ_TEXT("abcdefxyz"));
    EXPECT_EQ(s.GetCapacity(), 10);
    EXPECT_EQ(s.GetLength(), 9);
    s.Append(KQString(KQ_TEXT("w")));
    EXPECT_EQ(T(s), KQ_TEXT("abcdefxyzw"));
    EXPECT_EQ(s.GetCapacity(), 11);

    // Shrinking cuts the text, and what follows sees the cut length.
    EXPECT_TRUE(s.SetCapacity(3));
    EXPECT_EQ(T(s), KQ_TEXT("ab"));
    EXPECT_EQ(s.GetLength(), 2);
    s.Append(KQString(KQ_TEXT("c")));
    EXPECT_EQ(T(s), KQ_TEXT("abc"));
    EXPECT_EQ(T(s + KQString(KQ_TEXT("d"))), KQ_TEXT("abcd"));

    // Writing through the buffer leaves the length to be measured again.
    KQString b(KQ_TEXT("hello"));
    b.GetBuffer()[2] = 0;
    EXPECT_EQ(b.GetLength(), 2);
    b.FitToLength();
    EXPECT_EQ(b.GetCapacity(), 3);
    b.Truncate(1);
    EXPECT_EQ(T(b), KQ_TEXT("h"));
    // Positions outside the buffer are not written.
    b.SetAt(-1, 'x');
    b.SetAt(b.GetCapacity(), 'x');
    EXPECT_EQ(T(b), KQ_TEXT("h"));

    KQString self(KQ_TEXT("ab"));
    self.Append(self);
    EXPECT_EQ(T(self), KQ_TEXT("abab"));
    EXPECT_TRUE(self.SetCapacity(20));
    self.Append(self);
    EXPECT_EQ(T(self), KQ_TEXT("abababab"));

    KQString n;
    n.Append(KQString());
    EXPECT_TRUE(HasNullText(n));
    n.AppendText(KQ_TEXT("q"));
    n.AppendInt(-5);
    EXPECT_EQ(T(n), KQ_TEXT("q-5"));
    EXPECT_EQ(n.GetCapacity(), 4);
}

TEST(KQString, ComparisonRules)
{
    KQString abc(KQ_TEXT("abc"));
    EXPECT_EQ(abc.CompareNoCase(KQString(KQ_TEXT("ABD"))), -1);
    EXPECT_EQ(abc.CompareNoCase(KQString(KQ_TEXT("ABC"))), 0);
    EXPECT_EQ(KQString(KQ_TEXT("abx")).CompareNoCase(KQString(KQ_TEXT("ABY")), 2), 0);
    EXPECT_EQ(abc.CompareNoCase(KQString(KQ_TEXT("AB"))), 1);
    EXPECT_EQ(abc.Compare(KQString(KQ_TEXT("abd"))), -1);
    EXPECT_EQ(abc.Compare(KQString(KQ_TEXT("abd")), 2), 0);
    EXPECT_LT(abc.Compare(KQString(KQ_TEXT("abd")), 3), 0);
    EXPECT_EQ(abc.Compare(KQString(KQ_TEXT("ab"))), 1);
    EXPECT_TRUE(abc.Equals(KQString(KQ_TEXT("abc"))));
    EXPECT_FALSE(abc.EqualsText(KQ_TEXT("abcd")));

    // Characters of 0x80 and above: unsigned in Compare; in CompareNoCase
    // a signed byte in the 8-bit build, an unsigned unit in the wide one.
    KQString high(KQ_TEXT("\xE9"));
    KQString a(KQ_TEXT("a"));
    EXPECT_EQ(high.Compare(a), 1);
    EXPECT_TRUE(a < high);
#ifdef KQ_UNICODE
    EXPECT_EQ(high.CompareNoCase(a), 1);
#else
    EXPECT_EQ(high.CompareNoCase(a), -1);
#endif

    std::vector<KQString> v;
    v.push_back(KQString(KQ_TEXT("a")));
    v.push_back(KQString(KQ_TEXT("B")));
    v.push_back(AllocatedEmpty());
    v.push_back(KQString(KQ_TEXT("A")));
    v.push_back(NullString());
    std::stable_sort(v.begin(), v.end());
    EXPECT_TRUE(v[0].IsEmpty());
    EXPECT_TRUE(v[1].IsEmpty());
    EXPECT_EQ(T(v[2]), KQ_TEXT("A"));
    EXPECT_EQ(T(v[3]), KQ_TEXT("B"));
    EXPECT_EQ(T(v[4]), KQ_TEXT("a"));
    EXPECT_TRUE(v[4] > v[3]);
    EXPECT_TRUE(v[3] > v[0]);
    EXPECT_FALSE(v[0] > v[3]);
}

TEST(KQString, FindAndCount)
{
    KQString s(KQ_TEXT("abcabc"));
    KQString bc(KQ_TEXT("bc"));
    EXPECT_EQ(s.Find(bc, -1, false), 4);
    EXPECT_EQ(s.Find(bc, 0, true), 1);
    EXPECT_EQ(s.Find(bc, 2, true), 4);
    EXPECT_EQ(s.Find(bc, 3, false), 1);
    EXPECT_EQ(s.Find(bc, 5, true), -1);
    EXPECT_EQ(s.Find(KQString(), 0, true), -1);
    EXPECT_EQ(s.Find(KQString(KQ_TEXT("BC")), 0, true), -1);
    EXPECT_EQ(s.Find(KQString(KQ_TEXT("BC")), 0, true, false), 1);
    EXPECT_EQ(s.Find(KQString(KQ_TEXT("abcabcx")), 0, true), -1);
    EXPECT_EQ(KQString().Find(bc, 0, true), -1);
    EXPECT_TRUE(s.Contains(KQString(KQ_TEXT("ca"))));
    EXPECT_FALSE(s.Contains(KQString(KQ_TEXT("cb"))));

    // Start -1 going forward looks at the last character only.
    EXPECT_EQ(s.FindChar('c', -1, true), 5);
    EXPECT_EQ(s.FindChar('a', -1, true), -1);
    EXPECT_EQ(s.FindChar('a', -1, false), 3);
    EXPECT_EQ(s.FindChar('b', 2, true), 4);
    EXPECT_EQ(s.FindChar('B', 0, true), -1);
    EXPECT_EQ(s.FindChar('B', 0, true, false), 1);
    EXPECT_EQ(s.FindChar('a', 6, true), -1);

    EXPECT_EQ(s.CountChar('a', 0, true), 2);
    EXPECT_EQ(s.CountChar('a', 2, false), 1);
    EXPECT_EQ(s.CountChar('c', -1, false), 2);
    EXPECT_EQ(s.CountChar('a', 9, true), 0);

    EXPECT_EQ(KQString(KQ_TEXT("a,,b")).CountWords(), 3);
    EXPECT_EQ(KQString(KQ_TEXT("  a  b ")).CountWords(), 2);
    EXPECT_EQ(KQString(KQ_TEXT("a, b")).CountWords(), 2);
    EXPECT_EQ(KQString(KQ_TEXT("a\nb")).CountWords(), 1);
    EXPECT_EQ(AllocatedEmpty().CountWords(), 0);
    EXPECT_EQ(KQString().CountWords(), 0);
}

TEST(KQString, TrimStopsAtHighCharacters)
{
    KQString s(KQ_TEXT("abc \xE9 "));
    s.TrimRight();
    EXPECT_EQ(T(s), KQ_TEXT("abc \xE9"));
    EXPECT_EQ(s.GetLength(), 5);

    KQString l(KQ_TEXT(" \xA0x"));
    l.TrimLeft();
    EXPECT_EQ(T(l), KQ_TEXT("\xA0x"));

    KQString c(KQ_TEXT("ab\x1A"));
    c.TrimRight(false);
    EXPECT_EQ(T(c), KQ_TEXT("ab\x1A"));
    c.TrimRight(true);
    EXPECT_EQ(T(c), KQ_TEXT("ab"));

    KQString all(KQ_TEXT("\x01\x02 \t"));
    all.TrimLeft(true);
    EXPECT_EQ(T(all), KQ_TEXT(""));
    EXPECT_FALSE(HasNullText(all));

    KQString both(KQ_TEXT("\t\v\f x y \r\n"));
    both.Trim();
    EXPECT_EQ(T(both), KQ_TEXT("x y"));

    KQString n;
    n.Trim(true);
    EXPECT_TRUE(HasNullText(n));

    KQString blank(KQ_TEXT(" \t\r\n"));
    EXPECT_TRUE(blank.IsBlank());
    EXPECT_FALSE(KQString(KQ_TEXT(" \v")).IsBlank());
}

TEST(KQString, SimplifyAndReplace)
{
    KQString s(KQ_TEXT("\t a \t\tb  "));
    s.Simplify();
    EXPECT_EQ(T(s), KQ_TEXT("a b"));
    KQString lines(KQ_TEXT("a  \n  b"));
    lines.Simplify();
    EXPECT_EQ(T(lines), KQ_TEXT("a \n b"));

    KQString r(KQ_TEXT("aaaa"));
    EXPECT_EQ(r.Replace(KQString(KQ_TEXT("aa")), KQString(KQ_TEXT("a")), 0, true), 2);
    EXPECT_EQ(T(r), KQ_TEXT("aa"));
    r = KQ_TEXT("aaaa");
    EXPECT_EQ(r.Replace(KQString(KQ_TEXT("aa")), KQString(KQ_TEXT("a")), 1, true), 1);
    EXPECT_EQ(T(r), KQ_TEXT("aaa"));
    EXPECT_EQ(r.GetCapacity(), 4);
    EXPECT_EQ(r.Replace(KQString(KQ_TEXT("x")), KQString(KQ_TEXT("y"))), 0);
    EXPECT_EQ(T(r), KQ_TEXT("aaa"));

    // The search resumes after the replacement, which may contain the pattern.
    KQString grow(KQ_TEXT("a.b.c"));
    EXPECT_EQ(grow.Replace(KQString(KQ_TEXT(".")), KQString(KQ_TEXT("..")), 0, true), 2);
    EXPECT_EQ(T(grow), KQ_TEXT("a..b..c"));
    KQString path(KQ_TEXT("Dir/Sub/File"));
    EXPECT_EQ(path.Replace(KQString(KQ_TEXT("dir/")), KQString(KQ_TEXT("")), 0, false), 1);
    EXPECT_EQ(T(path), KQ_TEXT("Sub/File"));

    KQString rc(KQ_TEXT("aAbA"));
    EXPECT_EQ(rc.ReplaceChar('a', 'x', 0, true), 1);
    EXPECT_EQ(T(rc), KQ_TEXT("xAbA"));
    EXPECT_EQ(rc.ReplaceChar('a', 'y', 1, false), 1);
    EXPECT_EQ(T(rc), KQ_TEXT("xybA"));
    EXPECT_EQ(KQString().ReplaceChar('a', 'b'), 0);

    KQString rm(KQ_TEXT("a-b-c"));
    EXPECT_EQ(rm.RemoveChar('-'), 2);
    EXPECT_EQ(T(rm), KQ_TEXT("abc"));
    EXPECT_EQ(rm.GetCapacity(), 4);
    EXPECT_EQ(rm.RemoveChar('-'), 0);
    EXPECT_EQ(T(rm), KQ_TEXT("abc"));

    KQString cs(KQ_TEXT("MiXeD 1\xE9"));
    cs.MakeUpper();
    EXPECT_EQ(T(cs), KQ_TEXT("MIXED 1\xE9"));
    cs.MakeLower();
    EXPECT_EQ(T(cs), KQ_TEXT("mixed 1\xE9"));
}

TEST(KQString, TokensReportWhetherASeparatorEndedThem)
{
    KQString s(KQ_TEXT("a,,b"));
    bool more = false;
    KQString t = s.FirstToken(',', &more);
    EXPECT_EQ(T(t), KQ_TEXT("a"));
    EXPECT_TRUE(more);
    t = s.NextToken(',', &more);
    EXPECT_EQ(T(t), KQ_TEXT(""));
    EXPECT_FALSE(HasNullText(t));
    EXPECT_TRUE(more);
    t = s.NextToken(',', &more);
    EXPECT_EQ(T(t), KQ_TEXT("b"));
    EXPECT_FALSE(more);
    t = s.NextToken(',', &more);
    EXPECT_TRUE(HasNullText(t));
    EXPECT_FALSE(more);
    t = s.NextToken(',');
    EXPECT_TRUE(HasNullText(t));

    KQString tail(KQ_TEXT("a,"));
    EXPECT_EQ(T(tail.FirstToken(',', &more)), KQ_TEXT("a"));
    EXPECT_TRUE(more);
    t = tail.NextToken(',', &more);
    EXPECT_TRUE(HasNullText(t));
    EXPECT_FALSE(more);

    // Restart, and the cursor is reset by assignment but not by copying.
    EXPECT_EQ(T(s.FirstToken(',', &more)), KQ_TEXT("a"));
    KQString copy(s);
    EXPECT_EQ(T(copy.NextToken(',', &more)), KQ_TEXT("a"));
    s = KQ_TEXT("x;y");
    EXPECT_EQ(T(s.NextToken(';', &more)), KQ_TEXT("x"));
}

TEST(KQString, SubstringsAndConcatenation)
{
    KQString h(KQ_TEXT("hello"));
    EXPECT_EQ(T(h.Mid(2, -1)), KQ_TEXT("llo"));
    EXPECT_EQ(T(h.Mid(1, 2)), KQ_TEXT("el"));
    EXPECT_EQ(T(h.Mid(3, 100)), KQ_TEXT("lo"));
    KQString m = h.Mid(5, 1);
    EXPECT_EQ(T(m), KQ_TEXT(""));
    EXPECT_FALSE(HasNullText(m));
    EXPECT_EQ(T(h.Mid(-1, 2)), KQ_TEXT(""));
    EXPECT_EQ(T(h.MidRange(1, 3)), KQ_TEXT("ell"));
    EXPECT_EQ(T(h.MidRange(2, -1)), KQ_TEXT("llo"));
    KQString r = h.MidRange(3, 1);
    EXPECT_EQ(T(r), KQ_TEXT(""));
    EXPECT_FALSE(HasNullText(r));
    EXPECT_EQ(T(h.MidRange(1, 5)), KQ_TEXT(""));
    KQString fromNull = KQString().Mid(0, 1);
    EXPECT_FALSE(HasNullText(fromNull));

    KQString c = h + KQString(KQ_TEXT(" world"));
    EXPECT_EQ(T(c), KQ_TEXT("hello world"));
    EXPECT_EQ(c.GetCapacity(), 12);
    KQString left = KQString() + h;
    EXPECT_EQ(T(left), KQ_TEXT("hello"));
    KQString right = h + KQString();
    EXPECT_EQ(T(right), KQ_TEXT("hello"));
    KQString none = KQString() + KQString();
    EXPECT_TRUE(HasNullText(none));
    EXPECT_EQ(T(h.ConcatInt(-42)), KQ_TEXT("hello-42"));
}

TEST(KQString, ToIntFallsBackToTheDefault)
{
    EXPECT_EQ(AllocatedEmpty().ToInt(7), 7);
    EXPECT_EQ(KQString().ToInt(7), 7);
    EXPECT_EQ(KQString(KQ_TEXT(" ")).ToInt(7), 7);
    EXPECT_EQ(KQString(KQ_TEXT("x")).ToInt(7), 7);
    EXPECT_EQ(KQString(KQ_TEXT(" -12 ")).ToInt(7), -12);
    EXPECT_EQ(KQString(KQ_TEXT("3.9")).ToInt(7), 3);
    EXPECT_EQ(KQString(KQ_TEXT("12abc")).ToInt(7), 12);
}

TEST(KQString, NarrowTextConstructsInBothBuilds)
{
    KQString s("plain");
    EXPECT_EQ(T(s), KQ_TEXT("plain"));
    EXPECT_EQ(s.GetCapacity(), 6);
    // The "C" locale widens each byte to one character of the same value.
    KQString high("\xE9\x80");
    EXPECT_EQ(high.GetLength(), 2);
    EXPECT_EQ((unsigned)(KQUChar)high.CStr()[0], 0xE9u);
    EXPECT_EQ((unsigned)(KQUChar)high.CStr()[1], 0x80u);
    KQString n((const char*)nullptr);
    EXPECT_TRUE(HasNullText(n));
}
