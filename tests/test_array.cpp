#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "KQOArray.h"
#include "KQOError.h"
#include "KQOTemplateArray.h"

namespace {

struct Item {
    int v;
};
typedef KQOArray<Item*, Item*> ItemArray;

}  // namespace

// ---------------------------------------------------------------- both builds

TEST(UbyteArray, AllocSetSizeFree)
{
    KQUbyteArray a;
    // Alloc(0) without a block succeeds; with one it releases it and fails.
    EXPECT_TRUE(a.Alloc(0, -1, true));
    ASSERT_TRUE(a.Alloc(6, -1, true));
    EXPECT_EQ(a.count, 6);
    for (int i = 0; i < 6; ++i)
        a.data[i] = (ubyte)(i + 10);

    // Same size: the block and its bytes stay, only count and step change.
    ubyte* block = a.data;
    ASSERT_TRUE(a.Alloc(6, 3, false));
    EXPECT_EQ(a.data, block);
    EXPECT_EQ(a.count, 0);
    EXPECT_EQ(a.growBy, 3);
    EXPECT_EQ(a.data[5], 15);

    // Resizing keeps the leading bytes and clamps the count.
    ASSERT_TRUE(a.SetSize(10, -1, true));
    EXPECT_EQ(a.capacity, 10);
    EXPECT_EQ(a.count, 10);
    EXPECT_EQ(a.data[5], 15);
    ASSERT_TRUE(a.SetSize(4, 7, false));
    EXPECT_EQ(a.capacity, 4);
    EXPECT_EQ(a.count, 4);
    EXPECT_EQ(a.growBy, 7);
    EXPECT_EQ(a.data[3], 13);
    a.count = 2;  // a negative size means the count
    ASSERT_TRUE(a.SetSize(-1, -1, false));
    EXPECT_EQ(a.capacity, 2);
    EXPECT_EQ(a.data[1], 11);

    EXPECT_FALSE(a.Alloc(0, -1, true));
    EXPECT_EQ(a.count, 0);
    EXPECT_EQ(a.capacity, 0);
    EXPECT_EQ(a.data, nullptr);
    EXPECT_FALSE(a.Alloc(-3));
    ASSERT_TRUE(a.SetSize(3));
    a.Free();
    EXPECT_EQ(a.data, nullptr);
    EXPECT_EQ(a.capacity, 0);
}

TEST(OArray, GrowthZeroFillAndShrink)
{
    ItemArray a;
    ASSERT_TRUE(a.SetSize(10));
    EXPECT_EQ(a.capacity, 10);
    EXPECT_EQ(a.count, 10);
    EXPECT_EQ(a.data[0], nullptr);
    EXPECT_EQ(a.data[9], nullptr);

    Item items[2];
    a.data[9] = &items[0];
    ASSERT_TRUE(a.SetSize(11));
    EXPECT_EQ(a.capacity, 14);  // 10 + max(10 / 8, 4)
    EXPECT_EQ(a.data[9], &items[0]);
    EXPECT_EQ(a.data[10], nullptr);

    ASSERT_TRUE(a.SetSize(5));
    EXPECT_EQ(a.capacity, 14);
    EXPECT_EQ(a.count, 5);
    // Slots brought back under the count read as null again.
    a.data[6] = &items[1];
    ASSERT_TRUE(a.SetSize(8));
    EXPECT_EQ(a.data[6], nullptr);

    ASSERT_TRUE(a.SetSize(0));
    EXPECT_EQ(a.data, nullptr);
    EXPECT_EQ(a.capacity, 0);
}

TEST(OArray, SetAtGrowStepsAndStoredStep)
{
    ItemArray a;
    Item it;
    std::vector<int> caps;
    for (int i = 0; i < 200; ++i) {
        ASSERT_TRUE(a.SetAtGrow(a.count, &it));
        if (caps.empty() || caps.back() != a.capacity)
            caps.push_back(a.capacity);
    }
    // The first block is exact; later steps are an eighth of the count.
    std::vector<int> expected = {1,  5,  9,  13, 17, 21,  25,  29,  33,  37,  41,  46, 51,
                                 57, 64, 72, 81, 91, 102, 114, 128, 144, 162, 182, 204};
    EXPECT_EQ(caps, expected);
    EXPECT_EQ(a.count, 200);

    // A large jump goes straight to the requested size; between count and
    // index the slots are null.
    ASSERT_TRUE(a.SetAtGrow(1000, &it));
    EXPECT_EQ(a.capacity, 1001);
    EXPECT_EQ(a.count, 1001);
    EXPECT_EQ(a.data[500], nullptr);
    EXPECT_EQ(a.data[1000], &it);

    // A stored step replaces the automatic one; -1 keeps it.
    ItemArray b;
    ASSERT_TRUE(b.SetSize(2, 100));
    ASSERT_TRUE(b.SetSize(3, -1));
    EXPECT_EQ(b.capacity, 102);
    EXPECT_EQ(b.growBy, 100);

    // Writing below the count does not grow.
    ASSERT_TRUE(b.SetAtGrow(0, &it));
    EXPECT_EQ(b.count, 3);
    EXPECT_FALSE(b.SetAtGrow(-1, &it));
    EXPECT_FALSE(b.SetAtGrow(INT32_MAX, &it));
}

namespace {

std::string ReadReport(const char* name)
{
    std::string text;
    if (FILE* f = fopen(name, "r")) {
        char buf[512];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, f)) > 0)
            text.append(buf, n);
        fclose(f);
    }
    return text;
}

std::string AllocBlock(int line)
{
    return "\n" + std::string(79, '-') +
           "\n!!!ALLOC ERROR  message : \nMemory allocation error.\n"
           "  Function:   KQOArray::SetSize()\n  File:       dev\\api\\KQOTemplateArray\n"
           "  Line:       " +
           std::to_string(line) + "\n\n";
}

}  // namespace

TEST(OArray, AllocationFailureIsReportedAndLeavesArrayUnchanged)
{
    const char* name = "test_array_report.txt";
    remove(name);
    KQString oldName = KQ_REPORT_FILE_NAME;
    KQ_REPORT_FILE_NAME = name;
    KQ_REPORT_TO_FILE = true;
    KQ_ALLOC_ERROR_OCCURRED = false;

    // No block yet: the request is beyond any block the array will hold.
    ItemArray a;
    EXPECT_FALSE(a.SetSize(INT32_MAX));
    EXPECT_TRUE(KQ_ALLOC_ERROR_OCCURRED);
    EXPECT_EQ(ReadReport(name), AllocBlock(649));
    EXPECT_EQ(a.data, nullptr);
    EXPECT_EQ(a.count, 0);
    EXPECT_EQ(a.capacity, 0);

    Item it;
    ASSERT_TRUE(a.SetAtGrow(2, &it));
    Item** block = a.data;
    remove(name);
    EXPECT_FALSE(a.SetSize(INT32_MAX - 5));
    EXPECT_EQ(ReadReport(name), AllocBlock(699));
    EXPECT_FALSE(a.SetAtGrow(INT32_MAX - 6, &it));
    EXPECT_EQ(a.data, block);
    EXPECT_EQ(a.count, 3);
    EXPECT_EQ(a.capacity, 3);
    EXPECT_EQ(a.data[2], &it);

    KQ_REPORT_TO_FILE = false;
    KQ_REPORT_FILE_NAME = oldName;
    remove(name);
}

// ---------------------------------------------------------------- 8-bit build only

#ifndef KQ_UNICODE

namespace {

std::vector<std::string> Texts(const KQStringArray& a)
{
    std::vector<std::string> out;
    for (int32 i = 0; i < a.count; ++i)
        out.push_back(a.data[i].CStr());
    return out;
}

}  // namespace

TEST(IntArray, AddGrowthSteps)
{
    KQIntArray a;
    std::vector<int> caps;
    for (int i = 0; i < 9000; ++i) {
        ASSERT_TRUE(a.Add(i));
        if (caps.empty() || caps.back() != a.capacity)
            caps.push_back(a.capacity);
    }
    std::vector<int> head(caps.begin(), caps.begin() + 17);
    std::vector<int> expected = {4, 8, 12, 16, 20, 24, 28, 32, 36, 40, 45, 50, 56, 63, 70, 78, 87};
    EXPECT_EQ(head, expected);
    // Past 8192 the step stays at 1024.
    size_t n = caps.size();
    ASSERT_GE(n, 3u);
    EXPECT_EQ(caps[n - 3], 7337);
    EXPECT_EQ(caps[n - 2], 8254);
    EXPECT_EQ(caps[n - 1], 9278);
    EXPECT_EQ(a.data[8999], 8999);

    KQIntArray b;
    ASSERT_TRUE(b.SetAt(100, 7));
    EXPECT_EQ(b.capacity, 104);
    EXPECT_EQ(b.count, 101);
    EXPECT_EQ(b.data[100], 7);
    EXPECT_FALSE(b.SetAt(-1, 7));

    // The arrays are only given automatic steps, but a step of 0 must still
    // leave room for the element.
    KQIntArray c;
    ASSERT_TRUE(c.SetSize(2, 0, false));
    ASSERT_TRUE(c.SetAt(5, 1));
    EXPECT_EQ(c.capacity, 6);
}

TEST(IntArray, SetSizeStoresStepStringArrayDoesNot)
{
    KQIntArray a;
    ASSERT_TRUE(a.Alloc(4, -1, false));
    ASSERT_TRUE(a.SetSize(4, 9, false));
    EXPECT_EQ(a.growBy, 9);
    EXPECT_EQ(a.count, 0);
    ASSERT_TRUE(a.SetSize(4, 9, true));
    EXPECT_EQ(a.count, 4);

    KQStringArray s;
    ASSERT_TRUE(s.Alloc(4, -1, false));
    ASSERT_TRUE(s.SetSize(4, 9, false));
    EXPECT_EQ(s.growBy, -1);
    ASSERT_TRUE(s.SetSize(6, 9, false));
    EXPECT_EQ(s.growBy, 9);

    // Too large for any block: refused without touching the array.
    ASSERT_TRUE(a.SetAt(1, 5));
    EXPECT_FALSE(a.SetSize(0x40000000, -1, false));
    EXPECT_EQ(a.capacity, 4);
    EXPECT_EQ(a.data[1], 5);
    EXPECT_FALSE(a.SetAt(INT32_MAX, 1));
}

TEST(IntArray, FindSorted)
{
    const int32 v[] = {1, 3, 5};
    int32 pos = -9;
    EXPECT_EQ(KQFindSortedInt(v, 3, 0, 2, &pos), 1);
    EXPECT_EQ(pos, 1);
    EXPECT_EQ(KQFindSortedInt(v, 4, 0, 2, &pos), -1);
    EXPECT_EQ(pos, 2);
    EXPECT_EQ(KQFindSortedInt(v, 0, 0, 2, &pos), -1);
    EXPECT_EQ(pos, 0);
    EXPECT_EQ(KQFindSortedInt(v, 6, 0, 2, &pos), -1);
    EXPECT_EQ(pos, 3);
    EXPECT_EQ(KQFindSortedInt(v, 5, 0, 2, nullptr), 2);
    EXPECT_EQ(KQFindSortedInt(nullptr, 5, 0, 2, &pos), -1);
    EXPECT_EQ(pos, 0);

    KQIntArray a;
    pos = -9;
    EXPECT_EQ(a.FindSorted(3, 0, -1, &pos), -1);
    EXPECT_EQ(pos, 0);
    for (int i = 0; i < 50; ++i)
        a.Add(i * 2);
    for (int i = 0; i < 50; ++i) {
        EXPECT_EQ(a.FindSorted(i * 2, 0, -1, &pos), i);
        EXPECT_EQ(a.FindSorted(i * 2 + 1, 0, -1, &pos), -1);
        EXPECT_EQ(pos, i + 1);
    }
    // A hi past the end is held to the last element.
    EXPECT_EQ(a.FindSorted(98, 0, 500, &pos), 49);
}

TEST(IntArray, Sort)
{
    KQIntArray a;
    for (int32 v : {3, 1, 2})
        a.Add(v);
    EXPECT_FALSE(a.IsSorted());
    a.Sort(true);
    EXPECT_EQ(std::vector<int32>(a.data, a.data + 3), (std::vector<int32>{1, 2, 3}));

    // Patterns that trouble quicksorts: sorted, reversed, organ pipe, few
    // values, and a pseudo-random spread, each checked against std::sort.
    const int n = 20000;
    std::vector<std::vector<int32>> inputs(5, std::vector<int32>(n));
    uint32 seed = 12345;
    for (int i = 0; i < n; ++i) {
        inputs[0][i] = i;
        inputs[1][i] = n - i;
        inputs[2][i] = i < n / 2 ? i : n - i;
        inputs[3][i] = i % 3 - 1;
        seed = seed * 1103515245u + 12345u;
        inputs[4][i] = (int32)(seed >> 1) - 0x3FFFFFFF;
    }
    for (auto& in : inputs) {
        std::vector<int32> want = in;
        std::sort(want.begin(), want.end());
        KQSortInts(in.data(), n);
        EXPECT_EQ(in, want);
    }

    // 100 000 equal values: each partition splits at the middle, so this
    // finishes quickly and shallowly.
    std::vector<int32> same(100000, 7);
    KQSortInts(same.data(), (int32)same.size());
    EXPECT_EQ(same, std::vector<int32>(100000, 7));
    KQSortInts(nullptr, 0);
}

TEST(StringArray, SetAtRemoveAt)
{
    KQStringArray a;
    for (const char* t : {"a", "b", "c"})
        ASSERT_TRUE(a.Add(t));
    // A gap in a new block holds empty strings.
    ASSERT_TRUE(a.SetAt(6, "g"));
    EXPECT_EQ(a.count, 7);
    EXPECT_TRUE(a.data[4].IsEmpty());
    a.RemoveAt(3, -1);
    EXPECT_EQ(Texts(a), (std::vector<std::string>{"a", "b", "c"}));
    // Appending one of the array's own elements across a growth.
    a.SetSize(4, -1, false);
    a.count = 4;
    ASSERT_TRUE(a.Add(a.data[1]));
    EXPECT_STREQ(a.data[4].CStr(), "b");
    a.RemoveAt(3, -1);

    a.RemoveAt(0, 1);
    EXPECT_EQ(Texts(a), (std::vector<std::string>{"b", "c"}));
    a.RemoveAt(1, -1);
    EXPECT_EQ(a.count, 1);
    a.RemoveAt(0, 5);  // held to what is there
    EXPECT_EQ(a.count, 0);
}

TEST(StringArray, FindNullAndCase)
{
    KQStringArray a;
    EXPECT_EQ(a.Find("x", 0, true), -1);
    ASSERT_TRUE(a.Alloc(4, -1, true));
    a.data[0] = "abc";
    a.data[1] = "";     // allocated empty text
    a.data[2] = "ABC";  // data[3] stays null
    EXPECT_EQ(a.Find("ABC", 0, true), 2);
    EXPECT_EQ(a.Find("ABC", 0, false), 0);
    EXPECT_EQ(a.Find("abc", 1, false), 2);
    EXPECT_EQ(a.Find(KQString(), 0, true), 3);
    EXPECT_EQ(a.Find(KQString(), 0, false), 3);
    EXPECT_EQ(a.Find(KQString(""), 0, true), 1);
    EXPECT_EQ(a.Find("abd", 0, false), -1);
}

TEST(StringArray, SortOrderAndSearch)
{
    KQStringArray a;
    for (const char* t : {"b", "", "a", "B"})
        a.Add(t);
    a.Sort(false);
    EXPECT_EQ(Texts(a), (std::vector<std::string>{"", "B", "a", "b"}));
    EXPECT_TRUE(a.IsSorted());

    KQStringArray s;
    s.Add("");
    s.Add("a");
    EXPECT_TRUE(s.IsSorted());
    s.RemoveAt(0, -1);
    s.Add("a");
    s.Add("");
    EXPECT_FALSE(s.IsSorted());

    // Unsigned character order: bytes above 0x7F come after ASCII.
    KQStringArray u;
    u.Add("\xE9t\xE9");
    u.Add("zz");
    u.Sort(false);
    EXPECT_STREQ(u.data[0].CStr(), "zz");

    KQStringArray f;
    f.Add("abc");
    f.Add("xyz");
    EXPECT_EQ(f.FindSorted("ab", 2, 0, -1), 0);
    // A prefix search meets whichever matching element the bisection probes.
    f.SetAt(1, "abd");
    f.Add("xyz");
    EXPECT_EQ(f.FindSorted("ab", 2, 0, -1), 1);
    EXPECT_EQ(f.FindSorted("ab", -1, 0, -1), -1);
    EXPECT_EQ(f.FindSorted("xyz", -1, 0, -1), 2);
    EXPECT_EQ(f.FindSorted("b", -1, 0, -1), -1);
    EXPECT_EQ(f.FindSorted("abc", -1, 2, 1), -1);
    KQStringArray empty;
    EXPECT_EQ(empty.FindSorted("a", -1, 0, -1), -1);
}

TEST(StringArray, LargeSorts)
{
    // Under 33 elements insertion sort alone runs: equal strings keep their
    // order, seen here through null versus allocated empty texts.
    KQString items[3];
    items[0] = "x";
    items[1] = "";  // allocated empty, before the null one
    KQSortStrings(items, 3);
    EXPECT_TRUE(items[0].IsEmpty());
    EXPECT_EQ(items[0].GetCapacity(), 1);
    EXPECT_EQ(items[1].GetCapacity(), 0);
    EXPECT_STREQ(items[2].CStr(), "x");

    const int n = 5000;
    std::vector<std::string> want;
    KQStringArray a;
    for (int i = 0; i < n; ++i) {
        std::string t = i % 10 == 0 ? "" : std::to_string((i * 7919) % 1000);
        want.push_back(t);
        a.Add(t.c_str());
    }
    std::sort(want.begin(), want.end());
    a.Sort(true);
    EXPECT_EQ(Texts(a), want);
    EXPECT_TRUE(a.IsSorted());

    std::vector<KQString> same(100000, KQString("same"));
    KQSortStrings(same.data(), (int32)same.size());
    EXPECT_STREQ(same[99999].CStr(), "same");
}

TEST(Sorter, IndexModeLeavesBaseAlone)
{
    KQSorterString sorter;
    std::vector<KQString> many;
    std::vector<int32> idx;
    for (int i = 0; i < 300; ++i) {
        many.push_back(KQString::FromFormat("%03d", (i * 37) % 300));
        idx.push_back(i);
    }
    sorter.SortIndexed(many.data(), idx.data(), 300);
    for (int i = 0; i < 300; ++i)
        ASSERT_STREQ(many[idx[i]].CStr(), KQString::FromFormat("%03d", i).CStr());
    EXPECT_STREQ(many[1].CStr(), "037");
}

#endif
