// Image files: the PPM, BMP, TIFF, SGI RGB and EPS writers byte for byte,
// the SGI reader against well-formed and hostile files, the probes, and
// loading and saving by type code.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "KQImageTestUtil.h"
#include "KQOError.h"
#include "KQOFile.h"
#include "KQOImage.h"
#include "KQOImageImpExp.h"

using namespace kqtest;

namespace {

#ifdef KQ_UNICODE
const int32 kLoadDetectLine = 1470, kLoadBMPLine = 1488, kLoadTypeLine = 1513, kSaveNameLine = 1540;
#else
const int32 kLoadDetectLine = 1399, kLoadBMPLine = 1417, kLoadTypeLine = 1442, kSaveNameLine = 1469;
#endif

std::string AsText(const Bytes& b)
{
    return std::string(b.begin(), b.end());
}

// Saves the image in the given format and reads the file back; empty when the
// save fails.
Bytes SaveAndRead(KQRGBImage& image, int32 type, const char* name)
{
    if (!image.Save(type, name))
        return Bytes();
    return ReadFile(name);
}

uint32_t LE16(const Bytes& b, size_t at)
{
    return b[at] | (b[at + 1] << 8);
}
uint32_t LE32(const Bytes& b, size_t at)
{
    return LE16(b, at) | (LE16(b, at + 2) << 16);
}
uint32_t BE16(const Bytes& b, size_t at)
{
    return (b[at] << 8) | b[at + 1];
}
uint32_t BE32(const Bytes& b, size_t at)
{
    return (BE16(b, at) << 16) | BE16(b, at + 2);
}
void PutBE16(Bytes& b, size_t at, uint32_t v)
{
    b[at] = static_cast<uint8_t>(v >> 8);
    b[at + 1] = static_cast<uint8_t>(v);
}
void PutBE32(Bytes& b, size_t at, uint32_t v)
{
    PutBE16(b, at, v >> 16);
    PutBE16(b, at + 2, v & 0xFFFF);
}

// An image whose pixel (x, y) is (x * 7 + y, y * 13 + 1, x ^ y).
void MakePattern(KQRGBImage& image, int32 w, int32 h)
{
    std::vector<ubyte> data(static_cast<size_t>(w) * h * 3);
    for (int32 y = 0; y < h; ++y)
        for (int32 x = 0; x < w; ++x) {
            ubyte* p = &data[(static_cast<size_t>(y) * w + x) * 3];
            p[0] = static_cast<ubyte>(x * 7 + y);
            p[1] = static_cast<ubyte>(y * 13 + 1);
            p[2] = static_cast<ubyte>(x ^ y);
        }
    ASSERT_TRUE(image.SetData(data.data(), w, h));
}

using ImageFiles = QuietReports;

// ---------------------------------------------------------- TIFF parsing

struct TiffEntry {
    uint32_t tag, type, count, value;
};

std::vector<TiffEntry> TiffEntries(const Bytes& b, uint32_t* ifdOut)
{
    std::vector<TiffEntry> out;
    const uint32_t ifd = LE32(b, 4);
    if (ifdOut)
        *ifdOut = ifd;
    const uint32_t n = LE16(b, ifd);
    for (uint32_t i = 0; i < n; ++i) {
        const size_t at = ifd + 2 + 12 * i;
        out.push_back(TiffEntry{LE16(b, at), LE16(b, at + 2), LE32(b, at + 4), LE32(b, at + 8)});
    }
    return out;
}

const TiffEntry* Tag(const std::vector<TiffEntry>& entries, uint32_t tag)
{
    for (const TiffEntry& e : entries)
        if (e.tag == tag)
            return &e;
    return nullptr;
}

// Strip offsets and byte counts, in or out of their entries.
void Strips(const Bytes& b, const std::vector<TiffEntry>& e, std::vector<uint32_t>& offsets,
            std::vector<uint32_t>& counts)
{
    const TiffEntry* so = Tag(e, 273);
    const TiffEntry* sc = Tag(e, 279);
    ASSERT_TRUE(so && sc);
    ASSERT_EQ(so->count, sc->count);
    offsets.clear();
    counts.clear();
    for (uint32_t i = 0; i < so->count; ++i) {
        offsets.push_back(so->count == 1 ? so->value : LE32(b, so->value + 4 * i));
        counts.push_back(sc->count == 1 ? sc->value : LE32(b, sc->value + 4 * i));
    }
}

// ----------------------------------------------------------- SGI files

// A hand-made SGI header of 512 bytes.
Bytes SgiHeader(uint32_t storage, uint32_t bpc, uint32_t x, uint32_t y, uint32_t z, uint32_t magic = 474)
{
    Bytes b(512, 0);
    PutBE16(b, 0, magic);
    b[2] = static_cast<uint8_t>(storage);
    b[3] = static_cast<uint8_t>(bpc);
    PutBE16(b, 4, 3);
    PutBE16(b, 6, x);
    PutBE16(b, 8, y);
    PutBE16(b, 10, z);
    return b;
}

// A run-length file of one row per channel whose rows are the given packets.
Bytes SgiRleFile(uint32_t xsize, const std::vector<Bytes>& rows)
{
    Bytes b = SgiHeader(1, 1, xsize, 1, 3);
    b.resize(512 + 8 * rows.size(), 0);
    uint32_t at = static_cast<uint32_t>(b.size());
    for (size_t c = 0; c < rows.size(); ++c) {
        PutBE32(b, 512 + 4 * c, at);
        PutBE32(b, 512 + 4 * rows.size() + 4 * c, static_cast<uint32_t>(rows[c].size()));
        b.insert(b.end(), rows[c].begin(), rows[c].end());
        at += static_cast<uint32_t>(rows[c].size());
    }
    return b;
}

bool LoadSgi(const char* name, const Bytes& file, KQRGBImage& image)
{
    WriteFile(name, file);
    return KQLoadSGIImage(KQString(name), image);
}

}  // namespace

// ------------------------------------------------------------------- PPM

TEST_F(ImageFiles, PPMHeaderAndRowsFromTheTop)
{
    KQRGBImage image;
    const ubyte data[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};  // 2 x 2, bottom row first
    ASSERT_TRUE(image.SetData(data, 2, 2));
    ASSERT_TRUE(image.Save(KQ_IMAGE_TYPE_PPM, "fmt_2x2.ppm"));
    const std::string expected = std::string("P6\n# Image dump, Quendrix ASA\n2 2\n255\n") +
                                 std::string("\x07\x08\x09\x0a\x0b\x0c\x01\x02\x03\x04\x05\x06", 12);
    EXPECT_EQ(AsText(ReadFile("fmt_2x2.ppm")), expected);

    ASSERT_TRUE(image.SetData(data, 1, 1));
    EXPECT_EQ(AsText(SaveAndRead(image, KQ_IMAGE_TYPE_PPM, "fmt_1x1.ppm")),
              std::string("P6\n# Image dump, Quendrix ASA\n1 1\n255\n\x01\x02\x03"));
}

// ------------------------------------------------------------------- BMP

TEST_F(ImageFiles, BMPHeadersPaddingAndPixelOrder)
{
    KQRGBImage image;
    const ubyte one[] = {10, 20, 30};
    ASSERT_TRUE(image.SetData(one, 1, 1));
    Bytes b = SaveAndRead(image, KQ_IMAGE_TYPE_BMP, "fmt_1x1.bmp");
    ASSERT_EQ(b.size(), 58u);
    EXPECT_EQ(b[0], 'B');
    EXPECT_EQ(b[1], 'M');
    EXPECT_EQ(LE32(b, 2), 58u);
    EXPECT_EQ(LE32(b, 6), 0u);
    EXPECT_EQ(LE32(b, 10), 54u);
    EXPECT_EQ(LE32(b, 14), 40u);
    EXPECT_EQ(LE32(b, 18), 1u);
    EXPECT_EQ(LE32(b, 22), 1u);
    EXPECT_EQ(LE16(b, 26), 1u);
    EXPECT_EQ(LE16(b, 28), 24u);
    for (size_t i = 30; i < 54; ++i)
        EXPECT_EQ(b[i], 0) << i;
    EXPECT_EQ(b[54], 30);
    EXPECT_EQ(b[55], 20);
    EXPECT_EQ(b[56], 10);
    EXPECT_EQ(b[57], 0);

    // Width 2: 6 pixel bytes and 2 zero bytes a row, bottom row first.
    MakePattern(image, 2, 3);
    b = SaveAndRead(image, KQ_IMAGE_TYPE_BMP, "fmt_2x3.bmp");
    ASSERT_EQ(b.size(), 54u + 8 * 3);
    EXPECT_EQ(LE32(b, 2), 54u + 8 * 3);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 2; ++x) {
            const ubyte* p = image.Pixels() + (y * 2 + x) * 3;
            const size_t at = 54 + 8 * y + 3 * x;
            EXPECT_EQ(b[at], p[2]);
            EXPECT_EQ(b[at + 1], p[1]);
            EXPECT_EQ(b[at + 2], p[0]);
        }
    for (int y = 0; y < 3; ++y) {
        EXPECT_EQ(b[54 + 8 * y + 6], 0);
        EXPECT_EQ(b[54 + 8 * y + 7], 0);
    }
}

TEST_F(ImageFiles, BMPAndSGIRoundTripThroughDetection)
{
    KQRGBImage image;
    MakePattern(image, 5, 4);
    ASSERT_TRUE(image.Save(KQ_IMAGE_TYPE_BMP, "fmt_rt.bmp"));
    ASSERT_TRUE(image.Save(KQ_IMAGE_TYPE_SGI, "fmt_rt.rgb"));
    EXPECT_EQ(image.DetectFileType("fmt_rt.bmp"), KQ_IMAGE_TYPE_BMP);
    EXPECT_EQ(image.DetectFileType("fmt_rt.rgb"), KQ_IMAGE_TYPE_SGI);

    for (const char* name : {"fmt_rt.bmp", "fmt_rt.rgb"}) {
        KQRGBImage back;
        int32 loaded = -1;
        ASSERT_TRUE(back.Load(name, KQ_IMAGE_TYPE_NONE, &loaded)) << name;
        EXPECT_EQ(loaded, std::string(name) == "fmt_rt.bmp" ? KQ_IMAGE_TYPE_BMP : KQ_IMAGE_TYPE_SGI);
        EXPECT_EQ(back.Size().x, 5);
        EXPECT_EQ(back.Size().y, 4);
        EXPECT_EQ(Bytes(back.Pixels(), back.Pixels() + back.ByteSize()),
                  Bytes(image.Pixels(), image.Pixels() + image.ByteSize()))
            << name;
        EXPECT_FALSE(back.HasError());
    }
}

TEST_F(ImageFiles, BMPProbeWantsExactSizeAndZeroReserved)
{
    KQRGBImage image;
    MakePattern(image, 3, 2);
    ASSERT_TRUE(image.Save(KQ_IMAGE_TYPE_BMP, "fmt_probe.bmp"));
    EXPECT_TRUE(KQIsBMPFile("fmt_probe.bmp"));
    Bytes b = ReadFile("fmt_probe.bmp");

    Bytes shortSize = b;
    shortSize[2] = static_cast<uint8_t>(shortSize[2] - 1);
    WriteFile("fmt_probe_size.bmp", shortSize);
    EXPECT_FALSE(KQIsBMPFile("fmt_probe_size.bmp"));
    EXPECT_EQ(image.DetectFileType("fmt_probe_size.bmp"), KQ_IMAGE_TYPE_NONE);

    Bytes reserved = b;
    reserved[8] = 1;
    WriteFile("fmt_probe_res.bmp", reserved);
    EXPECT_FALSE(KQIsBMPFile("fmt_probe_res.bmp"));

    WriteFile("fmt_probe_tiny.bmp", Bytes(b.begin(), b.begin() + 13));
    EXPECT_FALSE(KQIsBMPFile("fmt_probe_tiny.bmp"));
    EXPECT_FALSE(KQIsBMPFile("fmt_no_such_file.bmp"));
}

// ------------------------------------------------------------------ TIFF

TEST_F(ImageFiles, TIFFOnePixelLayout)
{
    KQRGBImage image;
    const ubyte one[] = {10, 20, 30};
    ASSERT_TRUE(image.SetData(one, 1, 1));
    Bytes b = SaveAndRead(image, KQ_IMAGE_TYPE_TIFF, "fmt_1x1.tif");
    ASSERT_GE(b.size(), 8u);
    ASSERT_EQ(b[0], 'I');  // the x86 hosts this library runs on
    ASSERT_EQ(b[1], 'I');
    EXPECT_EQ(LE16(b, 2), 42u);
    uint32_t ifd = 0;
    std::vector<TiffEntry> e = TiffEntries(b, &ifd);
    EXPECT_EQ(ifd, 12u);
    EXPECT_EQ(b[8], 10);
    EXPECT_EQ(b[9], 20);
    EXPECT_EQ(b[10], 30);
    EXPECT_EQ(b[11], 0);
    ASSERT_EQ(b.size(), 12u + 150 + 6 + 8 + 8);
    ASSERT_EQ(e.size(), 12u);
    const uint32_t tags[12] = {256, 257, 258, 259, 262, 273, 277, 278, 279, 282, 283, 296};
    const uint32_t types[12] = {4, 4, 3, 3, 3, 4, 3, 4, 4, 5, 5, 3};
    const uint32_t countsOf[12] = {1, 1, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1};
    const uint32_t values[12] = {1, 1, 162, 1, 2, 8, 3, 2730, 3, 168, 176, 1};
    for (int i = 0; i < 12; ++i) {
        EXPECT_EQ(e[i].tag, tags[i]) << i;
        EXPECT_EQ(e[i].type, types[i]) << i;
        EXPECT_EQ(e[i].count, countsOf[i]) << i;
        EXPECT_EQ(e[i].value, values[i]) << i;
    }
    EXPECT_EQ(LE32(b, 12 + 2 + 144), 0u);  // no next directory
    EXPECT_EQ(LE16(b, 162), 8u);
    EXPECT_EQ(LE16(b, 164), 8u);
    EXPECT_EQ(LE16(b, 166), 8u);
    EXPECT_EQ(LE32(b, 168), 1u);
    EXPECT_EQ(LE32(b, 172), 1u);
    EXPECT_EQ(LE32(b, 176), 1u);
    EXPECT_EQ(LE32(b, 180), 1u);
}

TEST_F(ImageFiles, TIFFStripsCoverTheImageTopRowFirst)
{
    struct Case {
        int32 w, h;
        uint32_t rowsPerStrip, strips, lastBytes;
    };
    const Case cases[] = {{100, 54, 27, 2, 8100}, {100, 55, 27, 3, 300}, {2730, 3, 1, 3, 8190}, {3000, 2, 1, 2, 9000}};
    for (const Case& c : cases) {
        KQRGBImage image;
        MakePattern(image, c.w, c.h);
        Bytes b = SaveAndRead(image, KQ_IMAGE_TYPE_TIFF, "fmt_strips.tif");
        uint32_t ifd = 0;
        std::vector<TiffEntry> e = TiffEntries(b, &ifd);
        ASSERT_EQ(e.size(), 12u);
        const uint32_t total = static_cast<uint32_t>(c.w * c.h * 3);
        EXPECT_EQ(ifd, 8 + total + (total & 1)) << c.w;
        EXPECT_EQ(Tag(e, 278)->value, c.rowsPerStrip) << c.w;
        std::vector<uint32_t> offsets, counts;
        Strips(b, e, offsets, counts);
        ASSERT_EQ(offsets.size(), c.strips) << c.w << "x" << c.h;
        EXPECT_EQ(counts.back(), c.lastBytes);
        uint32_t at = 8;
        for (size_t k = 0; k < offsets.size(); ++k) {
            EXPECT_EQ(offsets[k], at);
            at += counts[k];
        }
        EXPECT_EQ(at, 8 + total);
        // The out-of-line values follow the directory in entry order.
        uint32_t next = ifd + 150;
        EXPECT_EQ(Tag(e, 258)->value, next);
        next += 6;
        if (c.strips > 1) {
            EXPECT_EQ(Tag(e, 273)->value, next);
            EXPECT_EQ(Tag(e, 279)->value, next + 4 * c.strips);
            next += 8 * c.strips;
        }
        EXPECT_EQ(Tag(e, 282)->value, next);
        EXPECT_EQ(LE32(b, next), static_cast<uint32_t>(c.w));
        EXPECT_EQ(Tag(e, 283)->value, next + 8);
        EXPECT_EQ(LE32(b, next + 8), static_cast<uint32_t>(c.h));
        EXPECT_EQ(b.size(), next + 16);
        // Strip data: the picture's top row first.
        const size_t rowBytes = static_cast<size_t>(c.w) * 3;
        for (int32 i = 0; i < c.h; ++i)
            ASSERT_EQ(Bytes(b.begin() + 8 + rowBytes * i, b.begin() + 8 + rowBytes * (i + 1)),
                      Bytes(image.Pixels() + rowBytes * (c.h - 1 - i), image.Pixels() + rowBytes * (c.h - i)));
    }
}

// --------------------------------------------------------------- SGI RGB

TEST_F(ImageFiles, SGIHeaderTablesAndRowEncoding)
{
    // Red rows 5 5 5 5 7 / 1 2 3 4 9 (no run: the last two as repeats); green constant; blue a single run.
    const ubyte data[] = {5, 0, 200, 5, 0, 200, 5, 0, 200, 5, 0, 200, 7, 0, 200,
                          1, 3, 200, 2, 3, 200, 3, 3, 200, 4, 3, 200, 9, 3, 200};
    KQRGBImage image;
    ASSERT_TRUE(image.SetData(data, 5, 2));
    Bytes b = SaveAndRead(image, KQ_IMAGE_TYPE_SGI, "fmt_enc.rgb");
    ASSERT_GE(b.size(), 512u + 48);
    EXPECT_EQ(BE16(b, 0), 474u);
    EXPECT_EQ(b[2], 1);
    EXPECT_EQ(b[3], 1);
    EXPECT_EQ(BE16(b, 4), 3u);
    EXPECT_EQ(BE16(b, 6), 5u);
    EXPECT_EQ(BE16(b, 8), 2u);
    EXPECT_EQ(BE16(b, 10), 3u);
    EXPECT_EQ(BE32(b, 12), 0u);
    EXPECT_EQ(BE32(b, 16), 255u);
    EXPECT_EQ(BE32(b, 20), 0u);
    EXPECT_EQ(AsText(Bytes(b.begin() + 24, b.begin() + 48)), "Image dump, Quendrix ASA");
    for (size_t i = 48; i < 512; ++i)
        ASSERT_EQ(b[i], 0) << i;

    const Bytes expected[6] = {
        {0x04, 5, 0x01, 7, 0},                 // row 0 red
        {0x83, 1, 2, 3, 0x01, 4, 0x01, 9, 0},  // row 1 red
        {0x05, 0, 0},                          // row 0 green
        {0x05, 3, 0},                          // row 1 green
        {0x05, 200, 0},                        // row 0 blue
        {0x05, 200, 0},                        // row 1 blue
    };
    // Table index y + c * height; rows written row by row, red green blue.
    const int order[6] = {0, 2, 4, 1, 3, 5};
    uint32_t at = 512 + 24 * 2;
    for (int k = 0; k < 6; ++k) {
        const int i = order[k];
        EXPECT_EQ(BE32(b, 512 + 4 * i), at) << i;
        EXPECT_EQ(BE32(b, 512 + 24 + 4 * i), expected[i].size()) << i;
        ASSERT_LE(at + expected[i].size(), b.size());
        EXPECT_EQ(Bytes(b.begin() + at, b.begin() + at + expected[i].size()), expected[i]) << i;
        at += static_cast<uint32_t>(expected[i].size());
    }
    EXPECT_EQ(b.size(), at);

    // A single sample, and rows too long for one packet.
    ASSERT_TRUE(image.SetData(data + 12, 1, 1));
    b = SaveAndRead(image, KQ_IMAGE_TYPE_SGI, "fmt_one.rgb");
    ASSERT_EQ(b.size(), 512u + 24 + 9);
    EXPECT_EQ(Bytes(b.begin() + 536, b.begin() + 539), (Bytes{1, 7, 0}));

    const ubyte four[] = {1, 0, 0, 2, 0, 0, 3, 0, 0, 4, 0, 0};
    ASSERT_TRUE(image.SetData(four, 4, 1));
    b = SaveAndRead(image, KQ_IMAGE_TYPE_SGI, "fmt_four.rgb");
    ASSERT_EQ(BE32(b, 524), 8u);
    EXPECT_EQ(Bytes(b.begin() + 536, b.begin() + 544), (Bytes{0x82, 1, 2, 0x01, 3, 0x01, 4, 0}));

    std::vector<ubyte> wide(300 * 3);
    for (int x = 0; x < 300; ++x) {
        wide[x * 3] = static_cast<ubyte>(x);  // no runs: literals of 126
        wide[x * 3 + 1] = 9;                  // one run of 300
        wide[x * 3 + 2] = static_cast<ubyte>(x < 150 ? 1 : x);
    }
    ASSERT_TRUE(image.SetData(wide.data(), 300, 1));
    b = SaveAndRead(image, KQ_IMAGE_TYPE_SGI, "fmt_wide.rgb");
    const uint32_t redAt = BE32(b, 512), redLen = BE32(b, 524);
    EXPECT_EQ(redLen, 1 + 126 + 1 + 126 + 1 + 46 + 2 + 2 + 1);
    EXPECT_EQ(b[redAt], 0x80 | 126);
    EXPECT_EQ(b[redAt + 127], 0x80 | 126);
    EXPECT_EQ(b[redAt + 254], 0x80 | 46);
    const uint32_t greenAt = BE32(b, 516), greenLen = BE32(b, 528);
    EXPECT_EQ(Bytes(b.begin() + greenAt, b.begin() + greenAt + greenLen), (Bytes{126, 9, 126, 9, 48, 9, 0}));
    KQRGBImage back;
    ASSERT_TRUE(back.Load("fmt_wide.rgb", KQ_IMAGE_TYPE_SGI, nullptr));
    EXPECT_EQ(Bytes(back.Pixels(), back.Pixels() + back.ByteSize()), Bytes(wide.begin(), wide.end()));
}

TEST_F(ImageFiles, SGIVerbatimFilesAreReadPlaneByPlane)
{
    Bytes b = SgiHeader(0, 1, 2, 2, 3);
    // All rows of red, then green, then blue; row 0 is the bottom.
    const uint8_t planes[12] = {1, 2, 3, 4, 11, 12, 13, 14, 21, 22, 23, 24};
    b.insert(b.end(), planes, planes + 12);
    KQRGBImage image;
    ASSERT_TRUE(LoadSgi("fmt_verb.rgb", b, image));
    ASSERT_EQ(image.ByteSize(), 12);
    EXPECT_EQ(Bytes(image.Pixels(), image.Pixels() + 12), (Bytes{1, 11, 21, 2, 12, 22, 3, 13, 23, 4, 14, 24}));

    // One byte short of the last plane: refused before reading.
    b.pop_back();
    EXPECT_FALSE(LoadSgi("fmt_verb_short.rgb", b, image));
}

TEST_F(ImageFiles, SGIFilesThatAreNoSGIFiles)
{
    KQRGBImage image;
    Bytes wrongMagic = SgiHeader(1, 1, 1, 1, 3, 475);
    WriteFile("fmt_magic.rgb", wrongMagic);
    EXPECT_FALSE(KQIsSGIFile("fmt_magic.rgb"));
    EXPECT_EQ(image.DetectFileType("fmt_magic.rgb"), KQ_IMAGE_TYPE_NONE);
    EXPECT_FALSE(KQLoadSGIImage("fmt_magic.rgb", image));

    WriteFile("fmt_short.rgb", Bytes{0x01, 0xDA, 1, 1, 0, 3, 0, 1, 0, 1, 0});
    EXPECT_FALSE(KQIsSGIFile("fmt_short.rgb"));
    EXPECT_FALSE(KQLoadSGIImage("fmt_short.rgb", image));

    // Exactly 12 bytes with the magic: a probe accepts it, a read does not.
    WriteFile("fmt_12.rgb", Bytes{0x01, 0xDA, 1, 1, 0, 3, 0, 1, 0, 1, 0, 3});
    EXPECT_TRUE(KQIsSGIFile("fmt_12.rgb"));
    EXPECT_FALSE(KQLoadSGIImage("fmt_12.rgb", image));
    EXPECT_EQ(image.Pixels(), nullptr);
    EXPECT_FALSE(KQIsSGIFile("fmt_no_such_file.rgb"));
}

TEST_F(ImageFiles, SGIHostileRunLengthFilesAreRefused)
{
    KQRGBImage image;
    const Bytes good = SgiRleFile(4, {{0x04, 10, 0}, {0x82, 1, 2, 0x02, 3, 0}, {0x84, 5, 6, 7, 8, 0}});
    ASSERT_TRUE(LoadSgi("fmt_h_good.rgb", good, image));
    EXPECT_EQ(Bytes(image.Pixels(), image.Pixels() + 12), (Bytes{10, 1, 5, 10, 2, 6, 10, 3, 7, 10, 3, 8}));

    // A row that decodes short is black behind its last sample.
    ASSERT_TRUE(LoadSgi("fmt_h_shortrow.rgb", SgiRleFile(4, {{0x02, 10, 0}, {0x04, 1, 0}, {0x04, 2, 0}}), image));
    EXPECT_EQ(Bytes(image.Pixels(), image.Pixels() + 12), (Bytes{10, 1, 2, 10, 1, 2, 0, 1, 2, 0, 1, 2}));

    struct Bad {
        const char* name;
        Bytes file;
    };
    std::vector<Bad> bad;
    Bytes b = good;
    PutBE32(b, 512, static_cast<uint32_t>(good.size()));  // start at the end of the file
    bad.push_back({"fmt_h_start.rgb", b});
    b = good;
    PutBE32(b, 512, 0xFFFFFFF0u);
    bad.push_back({"fmt_h_far.rgb", b});
    b = good;
    PutBE32(b, 524, static_cast<uint32_t>(good.size()));  // longer than the file behind its start
    bad.push_back({"fmt_h_len.rgb", b});
    // A stored row longer than the packet buffer (256 x xsize).
    Bytes longRow(256 * 1 + 1, 0x01);
    bad.push_back({"fmt_h_packet.rgb", SgiRleFile(1, {longRow, {0x01, 1, 0}, {0x01, 1, 0}})});
    // Literals and a repeat running past the stored row.
    bad.push_back({"fmt_h_lit.rgb", SgiRleFile(4, {{0x84, 1, 2}, {0x04, 1, 0}, {0x04, 1, 0}})});
    bad.push_back({"fmt_h_rep.rgb", SgiRleFile(4, {{0x04}, {0x04, 1, 0}, {0x04, 1, 0}})});
    // Runs that decode to more than the row buffers hold (256 x xsize).
    Bytes flood;
    for (int i = 0; i < 3; ++i)
        flood.insert(flood.end(), {0x7F, 1});
    bad.push_back({"fmt_h_flood.rgb", SgiRleFile(1, {flood, {0x01, 1, 0}, {0x01, 1, 0}})});
    // Fewer than three channels, two bytes per channel, no rows (whose empty
    // run tables are an allocation failure).
    bad.push_back({"fmt_h_z1.rgb", [] {
                       Bytes f = SgiRleFile(4, {{0x04, 10, 0}, {0x04, 1, 0}, {0x04, 1, 0}});
                       PutBE16(f, 10, 1);
                       return f;
                   }()});
    bad.push_back({"fmt_h_bpc.rgb", [&] {
                       Bytes f = good;
                       f[3] = 2;
                       return f;
                   }()});
    bad.push_back({"fmt_h_y0.rgb", [&] {
                       Bytes f = good;
                       PutBE16(f, 8, 0);
                       return f;
                   }()});
    // Tables of 65535 x 65535 entries claimed by a file of a few hundred bytes.
    bad.push_back({"fmt_h_tables.rgb", [&] {
                       Bytes f = good;
                       PutBE16(f, 6, 65535);
                       PutBE16(f, 8, 65535);
                       PutBE16(f, 10, 65535);
                       return f;
                   }()});
    for (const Bad& c : bad) {
        KQRGBImage target;
        EXPECT_FALSE(LoadSgi(c.name, c.file, target)) << c.name;
        EXPECT_EQ(target.Pixels(), nullptr) << c.name;
        EXPECT_FALSE(target.Load(c.name, KQ_IMAGE_TYPE_SGI, nullptr)) << c.name;
        EXPECT_FALSE(target.HasError()) << c.name;
    }
}

TEST_F(ImageFiles, SGIZeroSidesAreAllocationFailures)
{
    // No columns: the row buffers are empty blocks; no rows in a run-length
    // file: the run tables are.
    struct Case {
        const char* name;
        Bytes file;
        const char* line;
    };
    Bytes noRows = SgiRleFile(4, {{0x04, 10, 0}, {0x04, 1, 0}, {0x04, 1, 0}});
    PutBE16(noRows, 8, 0);
    const Case cases[] = {{"fmt_x0.rgb", SgiRleFile(0, {{0}, {0}, {0}}), "285"}, {"fmt_y0.rgb", noRows, "306"}};
    const char* report = "fmt_report.txt";
    for (const Case& c : cases) {
        std::remove(report);
        KQ_REPORT_FILE_NAME = report;
        KQ_REPORT_TO_FILE = true;
        WriteFile(c.name, c.file);
        EXPECT_EQ(KQRawSGIImageOpen(KQString(c.name).CStr(), false), nullptr) << c.name;
        KQ_REPORT_TO_FILE = false;
        const std::string text = AsText(ReadFile(report));
        EXPECT_NE(text.find("ALLOC ERROR"), std::string::npos) << c.name;
        EXPECT_NE(text.find("KQRawSGIImageOpen()"), std::string::npos) << c.name;
        EXPECT_NE(text.find(".\\KQOImageImpExp"), std::string::npos) << c.name;
        EXPECT_NE(text.find(std::string("Line:       ") + c.line), std::string::npos) << c.name;
    }
    std::remove(report);

    // A verbatim file without rows has no tables to allocate: it reads as an
    // image without pixels.
    KQRGBImage image;
    MakePattern(image, 2, 2);
    Bytes verbatim = SgiHeader(0, 1, 3, 0, 3);
    EXPECT_TRUE(LoadSgi("fmt_verb_y0.rgb", verbatim, image));
    EXPECT_EQ(image.Pixels(), nullptr);
    EXPECT_EQ(image.Size().x, 3);
    EXPECT_EQ(image.Size().y, 0);
}

// ------------------------------------------------------------------- EPS

TEST_F(ImageFiles, EPSTextWithPlatformLineEnds)
{
    // The line end this platform's text mode writes.
    FILE* probe = std::fopen("fmt_eol.txt", "w");
    ASSERT_NE(probe, nullptr);
    std::fputs("\n", probe);
    std::fclose(probe);
    const std::string eol = AsText(ReadFile("fmt_eol.txt"));

    std::vector<ubyte> data(17 * 3);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<ubyte>(i * 5 + 1);
    KQRGBImage image;
    ASSERT_TRUE(image.SetData(data.data(), 2, 1));
    ASSERT_TRUE(image.Save(KQ_IMAGE_TYPE_EPS, "fmt_2x1.eps"));
    std::string lines[] = {"%!PS-Adobe-2.0 EPSF-2.0",
                           "%%Title: ",
                           "%%Creator: ",
                           "%%BoundingBox: 0 0 1 0",
                           "%%Pages: 1",
                           "%%EndProlog",
                           "%%EndComments",
                           "",
                           "%%Page: 1 1",
                           "",
                           "gsave",
                           "",
                           "20 dict begin",
                           "",
                           "/bwproc {",
                           "    rgbproc",
                           "    dup length 3 idiv string 0 3 0",
                           "    5 -1 roll {",
                           "    add 2 1 roll 1 sub dup 0 eq",
                           "    { pop 3 idiv 3 -1 roll dup 4 -1 roll dup",
                           "        3 1 roll 5 -1 roll put 1 add 3 0 }",
                           "    { 2 1 roll } ifelse",
                           "    } forall",
                           "    pop pop pop",
                           "} def",
                           "systemdict /colorimage known not {",
                           "    /colorimage {",
                           "        pop",
                           "        pop",
                           "        /rgbproc exch def",
                           "        { bwproc } image",
                           "    } def",
                           "} if",
                           "",
                           "/picstr 6 string def",
                           "",
                           "2 1 scale",
                           "",
                           "2 1 8",
                           "[2 0 0 1 0 0]",
                           "{currentfile picstr readhexstring pop}",
                           "false 3",
                           "colorimage",
                           "01060b10151a",
                           "",
                           "showpage",
                           "",
                           "end",
                           "",
                           "grestore",
                           "",
                           ""};
    std::string expected;
    for (const std::string& l : lines)
        expected += l + eol;
    EXPECT_EQ(AsText(ReadFile("fmt_2x1.eps")), expected);

    // 51 bytes: one full line of 64 digits, then a partial line of 38.
    ASSERT_TRUE(image.SetData(data.data(), 17, 1));
    const std::string text = AsText(SaveAndRead(image, KQ_IMAGE_TYPE_EPS, "fmt_17x1.eps"));
    std::string hex;
    for (size_t i = 0; i < data.size(); ++i) {
        char two[3];
        std::snprintf(two, sizeof(two), "%02x", data[i]);
        hex += two;
    }
    const std::string body =
        eol + "colorimage" + eol + hex.substr(0, 64) + eol + hex.substr(64) + eol + eol + "showpage" + eol;
    EXPECT_NE(text.find(body), std::string::npos);

    // The block holds three samples a pixel: more would be read past its end.
    EXPECT_FALSE(KQImageSaveRGBDataToEPS(image.Pixels(), image.Size(), "fmt_bpp4.eps", 4));
    EXPECT_TRUE(ReadFile("fmt_bpp4.eps").empty());
}

// ------------------------------------------------------ load/save by type

TEST_F(ImageFiles, LoadRecordsDetectionAndTypeFailures)
{
    KQRGBImage image;
    int32 loaded = 9;
    EXPECT_FALSE(image.Load("fmt_missing.bmp", KQ_IMAGE_TYPE_NONE, &loaded));
    EXPECT_EQ(loaded, 0);
    ErrorSite s = SiteOf(image);
    EXPECT_EQ(s.code, 1303);
    EXPECT_EQ(s.function, "KQRGBImage::Load()");
    EXPECT_EQ(s.line, kLoadDetectLine);
    EXPECT_EQ(N(image.GetError()->fileName), ".\\KQOImage");
    EXPECT_EQ(N(image.GetError()->message), "");

    image.ClearError();
    EXPECT_FALSE(image.Load("fmt_missing.bmp", KQ_IMAGE_TYPE_TIFF, nullptr));
    s = SiteOf(image);
    EXPECT_EQ(s.code, 1805);
    EXPECT_EQ(s.line, kLoadTypeLine);

    // A BMP that the DIB reader refuses: its error becomes the cause.
    image.ClearError();
    BmpLayout layout;
    layout.pixels.assign(4, 0);
    layout.sizeDelta = 1;
    WriteFile("fmt_badsize.bmp", BuildBmp(layout));
    EXPECT_FALSE(image.Load("fmt_badsize.bmp", KQ_IMAGE_TYPE_BMP, &loaded));
    EXPECT_EQ(loaded, 0);
    s = SiteOf(image);
    EXPECT_EQ(s.code, 1109);
    EXPECT_EQ(s.line, kLoadBMPLine);
    ASSERT_NE(image.GetError()->cause, nullptr);
    EXPECT_EQ(image.GetError()->cause->line, 779);
    EXPECT_EQ(N(image.GetError()->cause->functionName), "KQDIBSection::Load()");

    // Keep-first: a later failure does not replace the recorded one.
    EXPECT_FALSE(image.Load("fmt_missing.bmp", KQ_IMAGE_TYPE_NONE, nullptr));
    EXPECT_EQ(SiteOf(image).code, 1109);

    EXPECT_EQ(image.DetectFileType(""), KQ_IMAGE_TYPE_NONE);
    EXPECT_EQ(image.DetectFileType("fmt_missing.bmp"), KQ_IMAGE_TYPE_NONE);
}

TEST_F(ImageFiles, SaveChecksPixelsNameAndType)
{
    KQRGBImage empty;
    EXPECT_FALSE(empty.Save(KQ_IMAGE_TYPE_BMP, ""));
    EXPECT_FALSE(empty.HasError());

    KQRGBImage image;
    MakePattern(image, 2, 2);
    EXPECT_FALSE(image.Save(KQ_IMAGE_TYPE_BMP, ""));
    ErrorSite s = SiteOf(image);
    EXPECT_EQ(s.code, 1103);
    EXPECT_EQ(s.function, "KQRGBImage::Save()");
    EXPECT_EQ(s.line, kSaveNameLine);

    image.ClearError();
    EXPECT_FALSE(image.Save(7, "fmt_type7.img"));
    EXPECT_FALSE(image.Save(0, "fmt_type0.img"));
    EXPECT_FALSE(image.HasError());
    EXPECT_TRUE(ReadFile("fmt_type7.img").empty());

    // Every type code reaches its writer; an unwritable name fails quietly.
    const char* magic[6] = {"P6\n", "\x01\xDA", "II", "BM", "GIF87a", "%!PS"};
    for (int32 t = 1; t <= 6; ++t) {
        ASSERT_TRUE(image.Save(t, "fmt_bytype.img")) << t;
        const std::string head = AsText(ReadFile("fmt_bytype.img"));
        EXPECT_EQ(head.compare(0, std::strlen(magic[t - 1]), magic[t - 1]), 0) << t;
        if (t != KQ_IMAGE_TYPE_GIF) {
            EXPECT_FALSE(image.Save(t, "fmt_no_such_dir/x.img")) << t;
        }
    }
    EXPECT_FALSE(image.HasError());
}

#ifdef KQ_UNICODE
// Two names that differ only outside 8 bits: a writer or reader that narrowed
// a name on its way to the file system would take both for one file.
TEST_F(ImageFiles, WideNamesReachTheFileSystemWhole)
{
    KQRGBImage large, small;
    MakePattern(large, 5, 4);
    MakePattern(small, 2, 1);
    const struct {
        int32 type;
        const wchar_t* first;
        const wchar_t* second;
    } cases[] = {
        {KQ_IMAGE_TYPE_PPM, L"fmt_\u4e2d.ppm", L"fmt_\u6587.ppm"},
        {KQ_IMAGE_TYPE_SGI, L"fmt_\u4e2d.rgb", L"fmt_\u6587.rgb"},
        {KQ_IMAGE_TYPE_TIFF, L"fmt_\u4e2d.tif", L"fmt_\u6587.tif"},
        {KQ_IMAGE_TYPE_BMP, L"fmt_\u4e2d.bmp", L"fmt_\u6587.bmp"},
        {KQ_IMAGE_TYPE_GIF, L"fmt_\u4e2d.gif", L"fmt_\u6587.gif"},
        {KQ_IMAGE_TYPE_EPS, L"fmt_\u4e2d.eps", L"fmt_\u6587.eps"},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(large.Save(c.type, c.first)) << c.type;
        ASSERT_TRUE(small.Save(c.type, c.second)) << c.type;
        EXPECT_GT(KQFileSize(c.first), KQFileSize(c.second)) << c.type;
        if (c.type != KQ_IMAGE_TYPE_BMP && c.type != KQ_IMAGE_TYPE_SGI)
            continue;
        KQRGBImage back;
        int32 loaded = -1;
        ASSERT_TRUE(back.Load(c.first, KQ_IMAGE_TYPE_NONE, &loaded)) << c.type;
        EXPECT_EQ(loaded, c.type);
        EXPECT_EQ(back.Size().x, 5);
        EXPECT_EQ(back.Size().y, 4);
    }
}
#endif
