// Lintomel's snapshot readers against well-formed, odd and hostile files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "KQHostileInputs.h"
#include "KQOImage.h"
#include "kqfxThumbExtractor.h"
#include "test_thumbnail_support.h"

#ifdef KQ_TEST_POSIX
#include <cstdio>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

using namespace thumbtest;
using kqinput::Bytes;
using kqinput::KqfLayout;

namespace {

class KqfReader : public ::testing::Test {
protected:
    void SetUp() override { dir = Scratch("test_thumbnail_readers"); }

    // Writes the file of the layout and reads it back; result of the reader.
    bool ReadLayout(const KqfLayout& layout, KQRGBImage& image, const char* name = "t.kqf")
    {
        return ReadBytes(kqinput::BuildKqf(layout), image, name);
    }
    bool ReadBytes(const Bytes& bytes, KQRGBImage& image, const char* name = "t.kqf")
    {
        fs::path p = dir / name;
        EXPECT_TRUE(kqinput::WriteFile(p, bytes));
        return CkqfxThumbExtractor::ReadKqfSnapshot(Wide(p), image);
    }
    void ExpectPicture(const KQRGBImage& image, const KqfLayout& layout)
    {
        ASSERT_EQ(image.Size().x, layout.width);
        ASSERT_EQ(image.Size().y, layout.height);
        ASSERT_NE(image.Pixels(), nullptr);
        EXPECT_EQ(0, std::memcmp(image.Pixels(), layout.pixels.data(), layout.pixels.size()));
    }
    fs::path dir;
};

struct Layout {
    const char* name;
    bool otherByteOrder, longHeader, form1, compressed, rawInCompressed;
    int32_t extensionLength;
};

class KqfLayouts : public KqfReader, public ::testing::WithParamInterface<Layout> {};

TEST_P(KqfLayouts, ReadsThePictureAsStored)
{
    const Layout& l = GetParam();
    KqfLayout layout = KqfOf(7, 5);
    layout.otherByteOrder = l.otherByteOrder;
    layout.longHeader = l.longHeader;
    layout.form1 = l.form1;
    layout.compressed = l.compressed;
    layout.rawInCompressed = l.rawInCompressed;
    layout.extensionLength = l.extensionLength;
    KQRGBImage image;
    ASSERT_TRUE(ReadLayout(layout, image));
    ExpectPicture(image, layout);
}

INSTANTIATE_TEST_SUITE_P(HeadersAndByteOrders, KqfLayouts,
                         ::testing::Values(Layout{"ShortForm1", false, false, true, false, false, 4},
                                           Layout{"ShortForm1Swapped", true, false, true, false, false, 4},
                                           Layout{"LongForm1", false, true, true, false, false, 4},
                                           Layout{"LongForm1Swapped", true, true, true, false, false, 4},
                                           Layout{"ShortCompressedL4", false, false, false, true, false, 4},
                                           Layout{"ShortCompressedL16Swapped", true, false, false, true, false, 16},
                                           Layout{"LongCompressed", false, true, false, true, false, 4},
                                           Layout{"LongCompressedSwapped", true, true, false, true, false, 12},
                                           Layout{"ShortUncompressedFlag", false, false, false, false, false, 4},
                                           Layout{"CompressedFileRawBlock", false, false, false, true, true, 4},
                                           Layout{"CompressedFileRawBlockSwapped", true, true, false, true, true, 8}),
                         [](const ::testing::TestParamInfo<Layout>& info) { return std::string(info.param.name); });

TEST_F(KqfReader, LeadingSkippedBlockThenImage)
{
    KqfLayout layout = KqfOf(4, 3);
    layout.leading1022 = true;
    KQRGBImage image;
    ASSERT_TRUE(ReadLayout(layout, image));
    ExpectPicture(image, layout);

    layout.otherByteOrder = true;
    KQRGBImage swapped;
    ASSERT_TRUE(ReadLayout(layout, swapped));
    ExpectPicture(swapped, layout);
}

TEST_F(KqfReader, NoImageBlockIsNoPictureButNoError)
{
    KqfLayout layout = KqfOf(4, 3);
    layout.blockId = 1030;
    KQRGBImage image;
    EXPECT_TRUE(ReadLayout(layout, image));
    EXPECT_EQ(image.Pixels(), nullptr);

    // 1022 followed by 1022: only one skipped block is looked past.
    layout.blockId = 1022;
    layout.leading1022 = true;
    KQRGBImage second;
    EXPECT_TRUE(ReadLayout(layout, second));
    EXPECT_EQ(second.Pixels(), nullptr);
}

TEST_F(KqfReader, SideLimits)
{
    KqfLayout layout = KqfOf(3000, 1);
    KQRGBImage image;
    ASSERT_TRUE(ReadLayout(layout, image));
    EXPECT_EQ(image.Size().x, 3000);

    for (int32_t bad : {3001, 0, -1}) {
        KqfLayout s = KqfOf(2, 2);
        s.forceWidth = bad;
        KQRGBImage i1;
        EXPECT_FALSE(ReadLayout(s, i1)) << "width " << bad;
        s.forceWidth = INT32_MIN;
        s.forceHeight = bad;
        KQRGBImage i2;
        EXPECT_FALSE(ReadLayout(s, i2)) << "height " << bad;
        EXPECT_EQ(i2.Pixels(), nullptr);
    }
}

TEST_F(KqfReader, HeaderLengths)
{
    for (int32_t h : {96, 100, 140}) {
        KqfLayout layout = KqfOf(5, 4);
        layout.headerLength = h;
        KQRGBImage image;
        ASSERT_TRUE(ReadLayout(layout, image)) << "H " << h;
        ExpectPicture(image, layout);
    }
    // The word after the height must be 1 when H > 96.
    KqfLayout layout = KqfOf(2, 2);
    layout.form1 = true;
    Bytes bytes = kqinput::BuildKqf(layout);
    // magic..form (16) + id, first, H, D (16) + 80 + width, height = 120.
    bytes[120] = 2;
    KQRGBImage image;
    EXPECT_FALSE(ReadBytes(bytes, image));
}

TEST_F(KqfReader, SizeMismatchesAndShortData)
{
    KqfLayout raw = KqfOf(4, 4);
    raw.form1 = true;
    raw.forceD = 4 * 4 * 3 - 1;
    KQRGBImage a;
    EXPECT_FALSE(ReadLayout(raw, a));

    // A raw block cut short.
    raw.forceD = INT32_MIN;
    Bytes cut = kqinput::BuildKqf(raw);
    cut.resize(cut.size() - 10);
    KQRGBImage b;
    EXPECT_FALSE(ReadBytes(cut, b));

    // U not equal to width x height x 3.
    KqfLayout packed = KqfOf(4, 4);
    packed.forceU = 47;
    KQRGBImage c;
    EXPECT_FALSE(ReadLayout(packed, c));

    // A bzip2 stream that unpacks to fewer bytes than U.
    KqfLayout shortStream = KqfOf(4, 4);
    Bytes fewer(shortStream.pixels.begin(), shortStream.pixels.end() - 3);
    shortStream.forceData = kqinput::Compress(fewer);
    KQRGBImage d;
    EXPECT_FALSE(ReadLayout(shortStream, d));
    EXPECT_EQ(d.Pixels(), nullptr);

    // A stream that unpacks to more than U stops at U and fails.
    KqfLayout longStream = KqfOf(4, 4);
    Bytes more = longStream.pixels;
    more.resize(more.size() + 100, 9);
    longStream.forceData = kqinput::Compress(more);
    KQRGBImage e;
    EXPECT_FALSE(ReadLayout(longStream, e));

    // Not bzip2 at all.
    KqfLayout junk = KqfOf(4, 4);
    junk.forceData = Bytes(30, 0x42);
    KQRGBImage f;
    EXPECT_FALSE(ReadLayout(junk, f));
}

TEST_F(KqfReader, CompressedBlockMayCarryBytesAfterItsStream)
{
    // D covers the whole stored block; the stream ends where bzip2 says, so
    // bytes after it, however many, are no error.
    KqfLayout layout = KqfOf(4, 4);
    Bytes padded = kqinput::Compress(layout.pixels);
    padded.resize(padded.size() + 2000, 0);
    layout.forceData = padded;
    KQRGBImage image;
    ASSERT_TRUE(ReadLayout(layout, image));
    ExpectPicture(image, layout);
}

TEST_F(KqfReader, PackedDataReadInPiecesGivesTheWholePicture)
{
    // Grain that bzip2 cannot shrink much: the packed block spans several
    // of the reader's pieces.
    KqfLayout layout = KqfOf(256, 256);
    uint32_t state = 7;
    for (unsigned char& v : layout.pixels) {
        state = state * 1664525u + 1013904223u;
        v = (unsigned char)(state >> 24);
    }
    ASSERT_GT(kqinput::Compress(layout.pixels).size(), (size_t)3 * 64 * 1024);
    KQRGBImage image;
    ASSERT_TRUE(ReadLayout(layout, image));
    ExpectPicture(image, layout);
}

TEST_F(KqfReader, HostileLengthsEndInFalse)
{
    // Claims of a huge compressed block, a negative one, and a huge skip;
    // none may allocate what it claims or read out of bounds.
    for (int32_t d : {0x7FFFFFFF, 0x7FFFFF00, -1, -2147483647}) {
        KqfLayout s = KqfOf(3000, 1);
        s.forceD = d;
        KQRGBImage image;
        EXPECT_FALSE(ReadLayout(s, image)) << "D " << d;
    }
    Bytes bytes = kqinput::BuildKqf(KqfOf(2, 2));
    // Short header, form 2: put a huge extension length in word 4.
    bytes[16] = 0xF0, bytes[17] = 0xFF, bytes[18] = 0xFF, bytes[19] = 0x7F;
    KQRGBImage image;
    EXPECT_FALSE(ReadBytes(bytes, image));
    // Negative H in the skipped block.
    KqfLayout s = KqfOf(2, 2);
    s.leading1022 = true;
    Bytes b2 = kqinput::BuildKqf(s);
    // The 1022 block starts at 24; its H is at 32.
    b2[32] = 0x00, b2[33] = 0x00, b2[34] = 0x00, b2[35] = 0x80;
    KQRGBImage i2;
    EXPECT_FALSE(ReadBytes(b2, i2));
}

TEST_F(KqfReader, NotAKqfFile)
{
    KQRGBImage image;
    EXPECT_FALSE(ReadBytes(Bytes{'h', 'e', 'l', 'l', 'o', ' ', 'w', 'o', 'r', 'l', 'd', '!', '!',
                                 '!', '!', '!', '!', '!', '!', '!', '!', '!', '!', '!', '!'},
                           image));
    EXPECT_FALSE(ReadBytes(Bytes(23, 0), image));  // fewer than six words
    Bytes wrongSecond = kqinput::BuildKqf(KqfOf(2, 2));
    wrongSecond[4] ^= 1;
    EXPECT_FALSE(ReadBytes(wrongSecond, image));
    EXPECT_EQ(image.Pixels(), nullptr);

    // A file that cannot be opened carries no picture: true, untouched.
    EXPECT_TRUE(CkqfxThumbExtractor::ReadKqfSnapshot(Wide(dir / "missing.kqf"), image));
    EXPECT_EQ(image.Pixels(), nullptr);
}

TEST_F(KqfReader, EveryTruncationFailsCleanly)
{
    Bytes whole = kqinput::BuildKqf(KqfOf(6, 5));
    for (size_t n = 0; n + 4 < whole.size(); n += 3) {
        Bytes cut(whole.begin(), whole.begin() + (long)n);
        KQRGBImage image;
        if (ReadBytes(cut, image)) {
            EXPECT_EQ(image.Pixels(), nullptr) << "length " << n;
        }
    }
}

// ---- KQFx ------------------------------------------------------------------

class KqfxReader : public KqfReader {
protected:
    bool ReadZip(const std::vector<std::pair<std::string, Bytes>>& entries, KQRGBImage& image,
                 const fs::path& name = "t.kqfx")
    {
        fs::path p = dir / name;
        EXPECT_TRUE(kqinput::WriteZip(Utf8(p), entries));
        return CkqfxThumbExtractor::ReadKqfxSnapshot(Wide(p), image);
    }
    Bytes Jpeg(int w, int h) { return kqinput::EncodeJpeg(kqinput::Picture(w, h), w, h); }
};

TEST_F(KqfxReader, ReadsTheSnapshotEntry)
{
    KQRGBImage image;
    ASSERT_TRUE(ReadZip({{"Case001/Model.kqf", Bytes(100, 1)}, {"Case001/Snapshot.jpeg", Jpeg(64, 48)}}, image));
    EXPECT_EQ(image.Size().x, 64);
    EXPECT_EQ(image.Size().y, 48);
    ASSERT_NE(image.Pixels(), nullptr);
    // The picture's top row is blue sky; row 0 of the image is the bottom.
    const ubyte* top = image.Pixels() + (size_t)47 * 64 * 3;
    EXPECT_GT(top[2], top[0]);
}

TEST_F(KqfxReader, NameLookupIgnoresSeparatorAndCase)
{
    KQRGBImage a, b;
    EXPECT_TRUE(ReadZip({{"Case001\\Snapshot.jpeg", Jpeg(8, 8)}}, a));
    EXPECT_EQ(a.Size().x, 8);
    EXPECT_TRUE(ReadZip({{"case001/SNAPSHOT.JPEG", Jpeg(9, 8)}}, b));
    EXPECT_EQ(b.Size().x, 9);
}

TEST_F(KqfxReader, NoSnapshotIsNoPictureButNoError)
{
    KQRGBImage image;
    EXPECT_TRUE(ReadZip({{"Case001/Model.kqf", Bytes(10, 1)}, {"Snapshot.jpeg", Jpeg(8, 8)}}, image));
    EXPECT_EQ(image.Pixels(), nullptr);
}

TEST_F(KqfxReader, DamagedAndForeignFilesEndInFalse)
{
    KQRGBImage image;
    fs::path p = dir / "notzip.kqfx";
    ASSERT_TRUE(kqinput::WriteFile(p, Bytes(300, 'x')));
    EXPECT_FALSE(CkqfxThumbExtractor::ReadKqfxSnapshot(Wide(p), image));
    EXPECT_FALSE(CkqfxThumbExtractor::ReadKqfxSnapshot(Wide(dir / "missing.kqfx"), image));

    // A snapshot that is no JPEG.
    EXPECT_FALSE(ReadZip({{"Case001/Snapshot.jpeg", Bytes(500, 7)}}, image));

    // A container cut in the middle, and one whose entry data is damaged.
    ASSERT_TRUE(ReadZip({{"Case001/Snapshot.jpeg", Jpeg(32, 32)}}, image));
    const Bytes whole = kqinput::ReadFile(dir / "t.kqfx");
    ASSERT_FALSE(whole.empty());
    for (size_t n : {whole.size() / 2, whole.size() - 30, (size_t)40}) {
        Bytes cut(whole.begin(), whole.begin() + (long)n);
        ASSERT_TRUE(kqinput::WriteFile(dir / "cut.kqfx", cut));
        KQRGBImage i;
        EXPECT_FALSE(CkqfxThumbExtractor::ReadKqfxSnapshot(Wide(dir / "cut.kqfx"), i)) << n;
    }
    Bytes flipped = whole;
    flipped[whole.size() / 3] ^= 0x55;  // inside the compressed entry data
    ASSERT_TRUE(kqinput::WriteFile(dir / "flip.kqfx", flipped));
    KQRGBImage i;
    EXPECT_FALSE(CkqfxThumbExtractor::ReadKqfxSnapshot(Wide(dir / "flip.kqfx"), i));
}

TEST_F(KqfxReader, HostileSnapshotsEndInFalseWithoutTheirCost)
{
    // Each of these took seconds to minutes and hundreds of MB before the
    // decode was limited; each must now fail before that work starts.
    const struct {
        const char* name;
        Bytes snapshot;
    } cases[] = {
        {"10,000 empty scans", kqhostile::FloodJpeg(8192, 8192, true, false, 10000)},
        {"65 empty scans of a picture within the budget", kqhostile::FloodJpeg(256, 256, true, false, 65)},
        {"1,000 baseline scans of one component", kqhostile::FloodJpeg(8192, 8192, false, false, 1000)},
        {"progressive 4:4:4 header only", kqhostile::FloodJpeg(8192, 8191, true, false, 1)},
        {"markers past the picture's room", kqhostile::WithMarkerFlood(Jpeg(64, 48), 300)},
    };
    for (const auto& c : cases) {
        fs::path p = dir / "hostile.kqfx";
        ASSERT_TRUE(kqhostile::WriteContainer(Utf8(p), c.snapshot));
        KQRGBImage image;
        EXPECT_FALSE(CkqfxThumbExtractor::ReadKqfxSnapshot(Wide(p), image)) << c.name;
    }
    // Within the limits the same kinds decode.
    fs::path p = dir / "fair.kqfx";
    ASSERT_TRUE(kqhostile::WriteContainer(Utf8(p), kqhostile::FloodJpeg(640, 480, true, false, 64)));
    KQRGBImage fair;
    EXPECT_TRUE(CkqfxThumbExtractor::ReadKqfxSnapshot(Wide(p), fair));
    EXPECT_EQ(fair.Size().x, 640);
}

TEST_F(KqfxReader, ScansTogetherAreBoundedOverTheLargestPictures)
{
    // 34 or 64 scans over the largest progressive 4:4:4 picture took 2.7 to
    // 4.1 s where libjpeg's default 10 scans take 1.1 to 1.7 s: every scan
    // walks the picture's blocks again. The scripts of real encoders stay
    // shown at the largest sizes of the budget.
    using kqhostile::FloodScan;
    const std::vector<FloodScan> libjpeg = {
        {{1, 2, 3}, 0, 0, 0, 1}, {{1}, 1, 5, 0, 2},  {{3}, 1, 63, 0, 1},      {{2}, 1, 63, 0, 1},
        {{1}, 6, 63, 0, 2},      {{1}, 1, 63, 2, 1}, {{1, 2, 3}, 0, 0, 1, 0}, {{3}, 1, 63, 1, 0},
        {{2}, 1, 63, 1, 0},      {{1}, 1, 63, 1, 0}};
    // mozjpeg's costliest choice: luma refined three times, chroma twice.
    std::vector<FloodScan> mozjpeg = {{{1, 2, 3}, 0, 0, 0, 0}, {{1}, 1, 63, 0, 3}};
    for (int bit = 3; bit > 0; --bit)
        mozjpeg.push_back({{1}, 1, 63, bit, bit - 1});
    for (int c = 2; c <= 3; ++c) {
        mozjpeg.push_back({{c}, 1, 63, 0, 2});
        for (int bit = 2; bit > 0; --bit)
            mozjpeg.push_back({{c}, 1, 63, bit, bit - 1});
    }
    // Every bit of the DC and of each component's full band in a scan of
    // its own, over 34 or 64 scans.
    auto deep = [](int dcBits, int acBits, int lumaBands) {
        std::vector<FloodScan> script{{{1, 2, 3}, 0, 0, 0, dcBits - 1}};
        for (int bit = dcBits - 1; bit > 0; --bit)
            script.push_back({{1, 2, 3}, 0, 0, bit, bit - 1});
        for (int c = 1; c <= 3; ++c) {
            for (int band = 1; c == 1 && band < lumaBands; ++band)
                script.push_back({{c}, band, band, 0, acBits - 1});
            script.push_back({{c}, c == 1 ? lumaBands : 1, 63, 0, acBits - 1});
            for (int bit = acBits - 1; bit > 0; --bit)
                script.push_back({{c}, 1, 63, bit, bit - 1});
        }
        return script;
    };
    ASSERT_EQ(deep(4, 10, 1).size(), 34u);
    ASSERT_EQ(deep(11, 11, 21).size(), 64u);
    const fs::path p = dir / "scans.kqfx";
    auto read = [&p](int width, int height, bool subsampled, const std::vector<FloodScan>& script) {
        kqhostile::ScanFlood flood;
        flood.width = width;
        flood.height = height;
        flood.subsampled = subsampled;
        flood.script = script;
        EXPECT_TRUE(kqhostile::WriteContainer(Utf8(p), kqhostile::FloodJpeg(flood)));
        KQRGBImage image;
        return CkqfxThumbExtractor::ReadKqfxSnapshot(Wide(p), image) && image.Size().x == width;
    };
    EXPECT_TRUE(read(5000, 3728, false, libjpeg));
    EXPECT_TRUE(read(6096, 4576, true, libjpeg));
    EXPECT_TRUE(read(6096, 4576, true, mozjpeg));
    EXPECT_FALSE(read(5000, 3728, false, deep(4, 10, 1)));
    EXPECT_FALSE(read(5000, 3728, false, deep(11, 11, 21)));
    // The long scripts still show smaller pictures.
    EXPECT_TRUE(read(2000, 1500, false, deep(11, 11, 21)));
}

TEST_F(KqfxReader, SnapshotIsReadOnlyToTheEndOfItsPicture)
{
    // A picture followed by 64 MiB of zeros, deflated to a small entry: the
    // decode stops at the picture's end, so the rest is never inflated (or
    // held), and the picture shows.
    Bytes padded = Jpeg(64, 48);
    padded.resize(64u << 20, 0);
    fs::path p = dir / "padded.kqfx";
    ASSERT_TRUE(kqhostile::WriteContainer(Utf8(p), padded));
    KQRGBImage image;
    EXPECT_TRUE(CkqfxThumbExtractor::ReadKqfxSnapshot(Wide(p), image));
    EXPECT_EQ(image.Size().x, 64);
    // A little data after the picture is read to the end, where the entry's
    // checksum is checked.
    Bytes tail = Jpeg(64, 48);
    tail.resize(tail.size() + 1000, 0x55);
    ASSERT_TRUE(kqhostile::WriteContainer(Utf8(p), tail));
    Bytes whole = kqinput::ReadFile(p);
    // The CRC field of the entry's central directory record, which libzip
    // checks against.
    const unsigned char record[] = {'P', 'K', 1, 2};
    auto at = std::search(whole.begin(), whole.end(), record, record + 4);
    ASSERT_NE(at, whole.end());
    at[16] ^= 0x01;
    ASSERT_TRUE(kqinput::WriteFile(p, whole));
    KQRGBImage damaged;
    EXPECT_FALSE(CkqfxThumbExtractor::ReadKqfxSnapshot(Wide(p), damaged));
}

TEST_F(KqfxReader, CentralDirectoryOfImplausibleSizeIsRefusedBeforeOpening)
{
    // libzip would read every record (millions of them) before anything
    // else; the count in the end records is enough to refuse it.
    fs::path many = dir / "many.kqfx";
    ASSERT_TRUE(kqhostile::WriteManyEntryZip(Utf8(many), 70000));
    KQRGBImage image;
    EXPECT_FALSE(CkqfxThumbExtractor::ReadKqfxSnapshot(Wide(many), image));
    // A plausible count opens as before (no snapshot: nothing to show).
    fs::path some = dir / "some.kqfx";
    ASSERT_TRUE(kqhostile::WriteManyEntryZip(Utf8(some), 2000));
    EXPECT_TRUE(CkqfxThumbExtractor::ReadKqfxSnapshot(Wide(some), image));
    EXPECT_EQ(image.Pixels(), nullptr);
}

TEST_F(KqfxReader, ContainersThatWouldStallLibzipEndInFalseAtOnce)
{
    // Each took seconds (the second over a quarter of an hour) inside
    // libzip's opening before the directory check refused it.
    const Bytes snapshot = Jpeg(64, 48);
    auto named = [&snapshot](const std::vector<std::string>& names) {
        std::vector<std::pair<std::string, Bytes>> entries{{"Case001/Snapshot.jpeg", snapshot}};
        for (const std::string& name : names)
            entries.emplace_back(name, Bytes());
        return entries;
    };
    std::vector<std::string> parts, ordinary;
    for (int i = 1; i < 65533; ++i)
        parts.push_back("Case001/part" + std::to_string(i) + ".dat");
    for (int i = 0; i < 65534; ++i)
        ordinary.push_back("Case001/Results/step" + std::to_string(i) + "/field.dat");
    const fs::path p = dir / "stall.kqfx";
    auto read = [&p](KQRGBImage& image) { return CkqfxThumbExtractor::ReadKqfxSnapshot(Wide(p), image); };
    KQRGBImage image;

    // The comment holds copies of the end record, each claiming the
    // directory: libzip read that directory once for each of them.
    std::vector<std::string> some(parts.begin(), parts.begin() + 1999);
    ASSERT_TRUE(kqhostile::WriteStoredZip(Utf8(p), named(some)));
    const Bytes plain = kqinput::ReadFile(p);
    ASSERT_TRUE(kqinput::WriteFile(p, kqhostile::WithEchoedEnd(plain, 1000)));
    EXPECT_FALSE(read(image));
    ASSERT_TRUE(kqhostile::WriteStoredZip(Utf8(p), named(parts)));
    ASSERT_TRUE(kqinput::WriteFile(p, kqhostile::WithEchoedEnd(kqinput::ReadFile(p), 2978)));
    EXPECT_FALSE(read(image));
    // Names that libzip's hash takes alike, also behind a long prefix.
    ASSERT_TRUE(kqhostile::WriteStoredZip(Utf8(p), named(kqhostile::CollidingNames(65534))));
    EXPECT_FALSE(read(image));
    ASSERT_TRUE(kqhostile::WriteStoredZip(Utf8(p), named(kqhostile::CollidingNames(65534, std::string(100, 'p')))));
    EXPECT_FALSE(read(image));
    EXPECT_EQ(image.Pixels(), nullptr);

    // As many entries of ordinary names, and a text comment, show the
    // snapshot.
    ASSERT_TRUE(kqhostile::WriteStoredZip(Utf8(p), named(ordinary)));
    EXPECT_TRUE(read(image));
    EXPECT_EQ(image.Size().x, 64);
    Bytes commented = plain;
    const std::string text = "Case 1 of 1";
    commented[commented.size() - 2] = static_cast<unsigned char>(text.size());
    commented.insert(commented.end(), text.begin(), text.end());
    ASSERT_TRUE(kqinput::WriteFile(p, commented));
    KQRGBImage shown;
    EXPECT_TRUE(read(shown));
    EXPECT_EQ(shown.Size().x, 64);
}

TEST_F(KqfxReader, ArithmeticCodedSnapshotsHaveTheirOwnPixelLimit)
{
    // Arithmetic decoding costs about ten times Huffman decoding for each
    // coefficient: a repeated tile of noise over 55.9 MP took 9 to 10 s,
    // real noise at that size 18 s, 64 empty progressive scans over 27.9 MP
    // 1.7 s. Such data is refused from its header past 3 MP.
    const fs::path p = dir / "arithmetic.kqfx";
    auto read = [&p](const Bytes& snapshot, KQRGBImage& image) {
        EXPECT_TRUE(kqhostile::WriteContainer(Utf8(p), snapshot));
        return CkqfxThumbExtractor::ReadKqfxSnapshot(Wide(p), image);
    };
    KQRGBImage image;
    EXPECT_FALSE(read(kqhostile::FloodJpeg(8192, 6826, false, false, 1, true), image));
    EXPECT_FALSE(read(kqhostile::FloodJpeg(6096, 4576, true, true, 64, true), image));
    EXPECT_FALSE(read(kqhostile::FloodJpeg(2048, 1537, false, false, 1, true), image));
    EXPECT_FALSE(read(kqhostile::FloodJpeg(2049, 1536, true, false, 1, true), image));
    EXPECT_EQ(image.Pixels(), nullptr);
    EXPECT_TRUE(read(kqhostile::FloodJpeg(2048, 1536, true, false, 1, true), image));
    EXPECT_EQ(image.Size().x, 2048);

    // Within it, the picture is the one Huffman-coded data gives.
    kqinput::JpegSettings settings;
    settings.progressive = true;
    const Bytes pixels = kqhostile::Noise(320, 240);
    KQRGBImage huffman, arithmetic;
    ASSERT_TRUE(read(kqinput::EncodeJpeg(pixels, 320, 240, settings), huffman));
    settings.arithmetic = true;
    ASSERT_TRUE(read(kqinput::EncodeJpeg(pixels, 320, 240, settings), arithmetic));
    ASSERT_EQ(arithmetic.Size().x, 320);
    EXPECT_EQ(0, std::memcmp(arithmetic.Pixels(), huffman.Pixels(), 320 * 240 * 3));
}

TEST_F(KqfxReader, WideCharacterPaths)
{
    KQRGBImage image;
    // Beyond U+FFFF too: a surrogate pair in the wide name.
    fs::path name = fs::u8path(u8"Mod\u00e8le \u03a9\u6a21\u578b \U0001F680.kqfx");
    ASSERT_TRUE(ReadZip({{"Case001/Snapshot.jpeg", Jpeg(10, 6)}}, image, name));
    EXPECT_EQ(image.Size().y, 6);

    KqfLayout layout = KqfOf(3, 2);
    fs::path kqf = dir / fs::u8path(u8"\u00c5ngstr\u00f6m \u4e2d \U0001F680.kqf");
    ASSERT_TRUE(kqinput::WriteFile(kqf, kqinput::BuildKqf(layout)));
    KQRGBImage k;
    ASSERT_TRUE(CkqfxThumbExtractor::ReadKqfSnapshot(Wide(kqf), k));
    ExpectPicture(k, layout);
}

#ifdef KQ_TEST_POSIX
// A pipe or a device named like a model file is refused at once: opening a
// pipe would wait for a writer. The readers run in a child process that an
// alarm ends should one of them wait.
TEST(SnapshotReaders, PipesAndDevicesEndInFalseAtOnce)
{
    fs::path dir = Scratch("test_thumbnail_readers_pipes");
    for (const char* name : {"pipe.kqf", "pipe.kqfx"}) {
        std::remove((dir / name).c_str());
        ASSERT_EQ(mkfifo((dir / name).c_str(), 0600), 0) << name;
    }
    std::fflush(nullptr);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        alarm(20);
        KQRGBImage image;
        bool read = CkqfxThumbExtractor::ReadKqfSnapshot(Wide(dir / "pipe.kqf"), image) ||
                    CkqfxThumbExtractor::ReadKqfxSnapshot(Wide(dir / "pipe.kqfx"), image) ||
                    CkqfxThumbExtractor::ReadKqfSnapshot(KQString(L"/dev/zero"), image) ||
                    CkqfxThumbExtractor::ReadKqfxSnapshot(KQString(L"/dev/zero"), image);
        _exit(read ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "a reader waited for the pipe";
    EXPECT_EQ(WEXITSTATUS(status), 0);
}
#endif

}  // namespace
