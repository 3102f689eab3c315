// Memory streams and JPEG decoding. The JPEG data is encoded here with the
// library's own compressor.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "KQPlatform.h"

#include "KQOImage.h"
#include "KQHostileInputs.h"
#include "KQOJpeg.h"
#include "KQTestInputWriter.h"

namespace {

typedef std::vector<uint8_t> Bytes;

// Encodes top-row-first samples; 3 components are given as R, G, B and
// stored without chroma subsampling.
Bytes Encode(int width, int height, int components, const std::vector<uint8_t>& samples, int quality = 100)
{
    kqinput::JpegSettings settings;
    settings.quality = quality;
    settings.components = components;
    settings.fullChroma = true;
    return kqinput::EncodeJpeg(samples, width, height, settings);
}

// A smooth colour picture, top row first.
std::vector<uint8_t> Gradient(int width, int height)
{
    std::vector<uint8_t> s(static_cast<size_t>(width * height * 3));
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            uint8_t* p = &s[static_cast<size_t>((y * width + x) * 3)];
            p[0] = static_cast<uint8_t>(x * 255 / (width - 1));
            p[1] = static_cast<uint8_t>(y * 255 / (height - 1));
            p[2] = 128;
        }
    return s;
}

bool Decode(KQRGBImage& image, Bytes data)
{
    int32 size = static_cast<int32>(data.size());
    return KQDecodeJPEGFromMemory(&image, data.empty() ? nullptr : data.data(), &size);
}

const ubyte* Pixel(const KQRGBImage& image, int x, int y)
{
    return image.Pixels() + (static_cast<size_t>(y) * image.Size().x + x) * 3;
}

// A stream that hands out at most 7 bytes per read, to show the decoder
// needs nothing but the read entry of the table.
struct Dribble {
    const Bytes* data;
    size_t position;
};

uint32 DribbleRead(void* buffer, int32 itemSize, uint32 count, KQStreamHandle handle)
{
    Dribble* d = static_cast<Dribble*>(handle);
    size_t want = static_cast<size_t>(itemSize) * count;
    size_t n = std::min<size_t>({want, 7, d->data->size() - d->position});
    std::memcpy(buffer, d->data->data() + d->position, n);
    d->position += n;
    return static_cast<uint32>(n / static_cast<size_t>(itemSize));
}

}  // namespace

TEST(MemoryStream, ReadSeekTell)
{
    ubyte bytes[10] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    KQStreamHandle h = KQMemoryStreamCreate(bytes, 10);
    ASSERT_NE(h, nullptr);
    KQMemoryStream* s = KQMemoryStreamRecord(h);
    EXPECT_EQ(s->ownsData, 0);
    EXPECT_EQ(s->size, 10);
    EXPECT_EQ(s->capacity, 10);

    ubyte out[12] = {0};
    EXPECT_EQ(KQMemoryStreamRead(out, 4, 3, h), 2u);  // the partial item is dropped
    EXPECT_EQ(KQMemoryStreamTell(h), 10);
    EXPECT_EQ(out[7], 7);
    EXPECT_EQ(out[8], 0);

    EXPECT_EQ(KQMemoryStreamSeek(h, -11, 2), -1);
    EXPECT_EQ(KQMemoryStreamTell(h), 10);
    EXPECT_EQ(KQMemoryStreamSeek(h, 3, 7), 0);  // unknown whence: from the start
    EXPECT_EQ(KQMemoryStreamTell(h), 3);
    EXPECT_EQ(KQMemoryStreamSeek(h, 2, 1), 0);
    EXPECT_EQ(KQMemoryStreamTell(h), 5);
    EXPECT_EQ(KQMemoryStreamSeek(h, -1, 2), 0);
    EXPECT_EQ(KQMemoryStreamTell(h), 9);
    EXPECT_EQ(KQMemoryStreamSeek(h, 0x7FFFFFFF, 1), -1);  // would pass the int32 range
    EXPECT_EQ(KQMemoryStreamRead(out, -1, 3, h), 0u);
    KQMemoryStreamDestroy(h);
    EXPECT_EQ(bytes[9], 9);  // the caller's bytes stay

    // No data, or no size, gives an empty stream of its own.
    for (int32 size : {0, -5}) {
        KQStreamHandle e = KQMemoryStreamCreate(bytes, size);
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(KQMemoryStreamRecord(e)->ownsData, 1);
        EXPECT_EQ(KQMemoryStreamRecord(e)->size, 0);
        EXPECT_EQ(KQMemoryStreamRead(out, 1, 1, e), 0u);
        KQMemoryStreamDestroy(e);
    }
}

TEST(MemoryStream, WriteGrowsByDoubling)
{
    KQStreamHandle h = KQMemoryStreamCreate(nullptr, 0);
    KQMemoryStream* s = KQMemoryStreamRecord(h);
    EXPECT_EQ(KQMemoryStreamWrite("", 1, 0, h), 0);
    EXPECT_EQ(s->capacity, 4096);
    std::vector<ubyte> block(5000, 0xAB);
    EXPECT_EQ(KQMemoryStreamWrite(block.data(), 1, 5000, h), 5000);
    EXPECT_EQ(s->capacity, 8192);
    EXPECT_EQ(s->size, 5000);
    EXPECT_EQ(KQMemoryStreamWrite(block.data(), 1000, 3, h), 3);
    EXPECT_EQ(s->capacity, 8192);
    EXPECT_EQ(s->size, 8000);
    EXPECT_EQ(KQMemoryStreamWrite(block.data(), 1, 192, h), 192);  // ends on the capacity: it grows
    EXPECT_EQ(s->capacity, 16384);

    // Past the end by a seek: the gap reads as zero.
    ASSERT_EQ(KQMemoryStreamSeek(h, 10, 2), 0);
    const ubyte one = 1;
    EXPECT_EQ(KQMemoryStreamWrite(&one, 1, 1, h), 1);
    EXPECT_EQ(s->size, 8203);
    EXPECT_EQ(s->data[8195], 0);
    EXPECT_EQ(s->data[8202], 1);

    // Counts that wrap or exceed 32 bits write nothing.
    EXPECT_EQ(KQMemoryStreamWrite(block.data(), 0x10000, 0x10000, h), 0);
    EXPECT_EQ(KQMemoryStreamWrite(block.data(), -1, 4, h), 0);
    EXPECT_EQ(s->size, 8203);
    KQMemoryStreamDestroy(h);

    // A wrapped buffer that must grow is copied, not reallocated.
    ubyte mine[4] = {1, 2, 3, 4};
    KQStreamHandle w = KQMemoryStreamCreate(mine, 4);
    ASSERT_EQ(KQMemoryStreamSeek(w, 0, 2), 0);
    EXPECT_EQ(KQMemoryStreamWrite(block.data(), 1, 10, w), 10);
    EXPECT_EQ(KQMemoryStreamRecord(w)->ownsData, 1);
    EXPECT_EQ(KQMemoryStreamRecord(w)->data[0], 1);
    EXPECT_EQ(KQMemoryStreamRecord(w)->size, 14);
    KQMemoryStreamDestroy(w);
    EXPECT_EQ(mine[3], 4);

    KQStreamCallbacks table;
    EXPECT_EQ(KQMemoryStreamInitCallbacks(&table), &table);
    EXPECT_EQ(table.read, &KQMemoryStreamRead);
    EXPECT_EQ(table.tell, &KQMemoryStreamTell);
}

TEST(JPEGDecode, RowOrderIsBottomUp)
{
    // Top-left red, the rest blue.
    const std::vector<uint8_t> samples = {255, 0, 0, 0, 0, 255, 0, 0, 255, 0, 0, 255};
    KQRGBImage image;
    ASSERT_TRUE(Decode(image, Encode(2, 2, 3, samples)));
    EXPECT_EQ(image.Size().x, 2);
    EXPECT_EQ(image.Size().y, 2);
    const ubyte* topLeft = Pixel(image, 0, 1);
    EXPECT_GT(topLeft[0], 200);
    EXPECT_LT(topLeft[1], 60);
    EXPECT_LT(topLeft[2], 60);
    const ubyte* bottomLeft = Pixel(image, 0, 0);
    EXPECT_LT(bottomLeft[0], 60);
    EXPECT_GT(bottomLeft[2], 200);
}

TEST(JPEGDecode, PictureMatchesWithinJPEGError)
{
    const int w = 37, h = 23;  // not multiples of the block size
    std::vector<uint8_t> samples = Gradient(w, h);
    KQRGBImage image;
    ASSERT_TRUE(Decode(image, Encode(w, h, 3, samples, 95)));
    ASSERT_EQ(image.Size().x, w);
    ASSERT_EQ(image.Size().y, h);
    int worst = 0;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int c = 0; c < 3; ++c) {
                int want = samples[static_cast<size_t>(((h - 1 - y) * w + x) * 3 + c)];
                int got = Pixel(image, x, y)[c];
                worst = std::max(worst, std::abs(want - got));
            }
    EXPECT_LE(worst, 12);

    // Decoding again into the same image replaces its picture.
    ASSERT_TRUE(Decode(image, Encode(4, 3, 3, Gradient(4, 3))));
    EXPECT_EQ(image.Size().x, 4);
    EXPECT_EQ(image.Size().y, 3);
}

TEST(JPEGDecode, TruncatedAfterScanHeaderDecodesFullSize)
{
    Bytes jpeg = Encode(64, 48, 3, Gradient(64, 48), 90);
    size_t sos = 0;
    for (size_t i = 2; i + 3 < jpeg.size(); ++i)
        if (jpeg[i] == 0xFF && jpeg[i + 1] == 0xDA) {
            sos = i;
            break;
        }
    ASSERT_NE(sos, 0u);
    size_t headerEnd = sos + 2 + (static_cast<size_t>(jpeg[sos + 2]) << 8 | jpeg[sos + 3]);
    jpeg.resize(headerEnd + 20);
    KQRGBImage image;
    ASSERT_TRUE(Decode(image, jpeg));
    EXPECT_EQ(image.Size().x, 64);
    EXPECT_EQ(image.Size().y, 48);
}

TEST(JPEGDecode, RefusesWhatIsNotColourJPEG)
{
    const ubyte keep[3] = {1, 2, 3};
    KQRGBImage image;
    ASSERT_TRUE(image.SetData(keep, 1, 1));
    const ubyte* before = image.Pixels();

    // Nothing to read.
    int32 zero = 0;
    ubyte byte = 0xFF;
    EXPECT_FALSE(KQDecodeJPEGFromMemory(&image, &byte, &zero));
    EXPECT_FALSE(KQDecodeJPEGFromMemory(&image, nullptr, &zero));
    EXPECT_FALSE(KQDecodeJPEGFromMemory(&image, &byte, nullptr));
    EXPECT_FALSE(KQDecodeJPEGFromMemory(nullptr, &byte, &zero));
    EXPECT_FALSE(KQDecodeJPEG(nullptr, nullptr, &image));

    // Grey scale: refused after the trace line.
    std::remove("APItrace.txt");
    std::vector<uint8_t> grey(16 * 16, 90);
    EXPECT_FALSE(Decode(image, Encode(16, 16, 1, grey)));
    std::string trace = kqinput::ReadFile<std::string>("APItrace.txt");
    std::string wanted = "Input JPEG image is not 24 bit.";
    std::string wantedWide;
    for (char c : wanted) {
        wantedWide.push_back(c);
        wantedWide.push_back('\0');
    }
    EXPECT_TRUE(trace.find(wanted) != std::string::npos || trace.find(wantedWide) != std::string::npos) << trace;

    // Four components (CMYK) and data that is no JPEG at all.
    std::vector<uint8_t> cmyk(8 * 8 * 4, 30);
    EXPECT_FALSE(Decode(image, Encode(8, 8, 4, cmyk)));
    EXPECT_FALSE(Decode(image, Bytes{'n', 'o', 't', ' ', 'j', 'p', 'e', 'g'}));
    EXPECT_FALSE(Decode(image, Bytes{0xFF, 0xD8}));

    // None of it touched the image.
    EXPECT_EQ(image.Pixels(), before);
    EXPECT_EQ(image.Pixels()[2], 3);
    EXPECT_FALSE(image.HasError());
}

// The first frame header's height and width replaced: a few bytes that
// announce a picture of any size.
Bytes Announce(Bytes jpeg, int width, int height)
{
    for (size_t i = 2; i + 8 < jpeg.size();) {
        const unsigned marker = jpeg[i + 1];
        if (marker == 0xC0 || marker == 0xC2) {
            jpeg[i + 5] = static_cast<uint8_t>(height >> 8);
            jpeg[i + 6] = static_cast<uint8_t>(height);
            jpeg[i + 7] = static_cast<uint8_t>(width >> 8);
            jpeg[i + 8] = static_cast<uint8_t>(width);
            break;
        }
        i += 2 + (static_cast<size_t>(jpeg[i + 2]) << 8 | jpeg[i + 3]);
    }
    return jpeg;
}

TEST(JPEGDecode, SizeBoundFromTheHeaderAlike)
{
    EXPECT_TRUE(KQJPEGSizeWithinBound(8192, 8192));
    EXPECT_TRUE(KQJPEGSizeWithinBound(65535, 1024));
    EXPECT_FALSE(KQJPEGSizeWithinBound(8193, 8192));
    EXPECT_FALSE(KQJPEGSizeWithinBound(65535, 65535));
    EXPECT_FALSE(KQJPEGSizeWithinBound(0, 5));

    // Past the bound, baseline and progressive data alike are refused from
    // the header: nothing of the announced size is allocated or decoded
    // (which took tens of seconds and gigabytes), the image keeps its picture.
    const ubyte keep[3] = {1, 2, 3};
    KQRGBImage image;
    ASSERT_TRUE(image.SetData(keep, 1, 1));
    for (bool progressive : {false, true}) {
        kqinput::JpegSettings settings;
        settings.progressive = progressive;
        const Bytes small = kqinput::EncodeJpeg(Gradient(48, 48), 48, 48, settings);
        for (const auto& size : {std::make_pair(26000, 26000), std::make_pair(16000, 16000),
                                 std::make_pair(62982, 9489), std::make_pair(8193, 8192)}) {
            EXPECT_FALSE(Decode(image, Announce(small, size.first, size.second)))
                << size.first << "x" << size.second << (progressive ? " progressive" : "");
            EXPECT_EQ(image.Size().x, 1);
            EXPECT_EQ(image.Pixels()[2], 3);
        }
        // Within it, a header-only picture decodes to its full size whether
        // or not the data is progressive.
        ASSERT_TRUE(Decode(image, Announce(small, 4000, 3000))) << progressive;
        EXPECT_EQ(image.Size().x, 4000);
        EXPECT_EQ(image.Size().y, 3000);
        ASSERT_TRUE(image.SetData(keep, 1, 1));
    }
    EXPECT_FALSE(image.HasError());
}

// Limits a caller may set; fields left 0 set none.
KQJPEGLimits Limits(int32 scans, int64 memory, int64 beyond)
{
    KQJPEGLimits limits = {};
    limits.maxScans = scans;
    limits.maxMemory = memory;
    limits.maxInputBeyondPicture = beyond;
    return limits;
}

bool DecodeWithin(KQRGBImage& image, Bytes data, const KQJPEGLimits& limits)
{
    int32 size = static_cast<int32>(data.size());
    return KQDecodeJPEGFromMemory(&image, data.data(), &size, &limits);
}

TEST(JPEGDecode, ScanLimitEndsARunOfEmptyScans)
{
    // Every empty scan walks the whole picture: without a limit, ten
    // thousand of them in a few hundred bytes took most of a minute.
    for (bool progressive : {true, false}) {
        KQRGBImage image;
        EXPECT_TRUE(DecodeWithin(image, kqhostile::FloodJpeg(64, 48, progressive, false, 100), Limits(100, 0, 0)))
            << progressive;
        EXPECT_EQ(image.Size().x, 64);
        KQRGBImage over;
        EXPECT_FALSE(DecodeWithin(over, kqhostile::FloodJpeg(64, 48, progressive, false, 101), Limits(100, 0, 0)))
            << progressive;
        // The shared decoder sets no limit of its own.
        KQRGBImage any;
        EXPECT_TRUE(Decode(any, kqhostile::FloodJpeg(64, 48, progressive, false, 101))) << progressive;
    }
    // Real multi-scan data stays well inside a limit of a few dozen scans.
    kqinput::JpegSettings settings;
    settings.progressive = true;
    KQRGBImage real;
    EXPECT_TRUE(DecodeWithin(real, kqinput::EncodeJpeg(Gradient(40, 30), 40, 30, settings), Limits(12, 0, 0)));
}

TEST(JPEGDecode, ScanWorkBoundsBlocksTimesScans)
{
    // Each scan of progressive or multi-scan data walks every block of its
    // components again: the scans together may ask for at most the work
    // allowed, counted as each starts (a block's band of coefficients plus
    // 8 to reach it), so that many scans over a large picture end before
    // they cost more than a real picture at the limits.
    KQJPEGLimits limits = Limits(0, 0, 0);
    auto admittedAtExactly = [&limits](const Bytes& data, int64 work, const char* what) {
        KQRGBImage image;
        limits.maxScanWork = work;
        EXPECT_TRUE(DecodeWithin(image, data, limits)) << what;
        limits.maxScanWork = work - 1;
        KQRGBImage over;
        EXPECT_FALSE(DecodeWithin(over, data, limits)) << what;
        EXPECT_EQ(over.Pixels(), nullptr) << what;
    };
    // DC scans of all components: 8 x 6 blocks of each, 1 coefficient.
    admittedAtExactly(kqhostile::FloodJpeg(64, 48, true, false, 30), 30 * 3 * 48 * (1 + 8), "4:4:4 DC scans");
    // 4:2:0: 4 x 3 units of 6 blocks, the edges padded to whole units.
    admittedAtExactly(kqhostile::FloodJpeg(60, 40, true, true, 20), 20 * 12 * 6 * (1 + 8), "4:2:0 DC scans");
    // Sequential scans of one component decode all 64 coefficients.
    admittedAtExactly(kqhostile::FloodJpeg(64, 48, false, false, 5), 5 * 48 * (64 + 8), "baseline scans");
    // Scans that refine all 63 AC coefficients of component 1, with data.
    kqhostile::ScanFlood refined;
    refined.width = 64;
    refined.height = 48;
    refined.refined = true;
    refined.scans = 12;
    admittedAtExactly(kqhostile::FloodJpeg(refined), 3 * 48 * 9 + 11 * 48 * (63 + 8), "refined AC scans");
    // A band of a scan script.
    kqhostile::ScanFlood script;
    script.width = 64;
    script.height = 48;
    script.script = {{{1, 2, 3}, 0, 0, 0, 1}, {{1}, 1, 5, 0, 2}, {{2}, 6, 63, 0, 0}, {{1, 2, 3}, 0, 0, 1, 0}};
    admittedAtExactly(kqhostile::FloodJpeg(script), 2 * 144 * 9 + 48 * (5 + 8) + 48 * (58 + 8), "scan script");

    // Single-scan data reads each block once, as its rows are read out:
    // none of it is counted.
    limits.maxScanWork = 1;
    KQRGBImage single;
    EXPECT_TRUE(DecodeWithin(single, kqinput::EncodeJpeg(Gradient(64, 48), 64, 48), limits));
    EXPECT_EQ(single.Size().x, 64);
}

TEST(JPEGDecode, MemoryBudgetCountsPictureAndCoefficientsFromTheHeader)
{
    // The picture takes 3 bytes a pixel. Progressive data, and baseline data
    // whose first scan leaves components out, add 128 bytes a block of each
    // component, its blocks rounded up to whole sampling units.
    struct Case {
        int width, height;
        bool progressive, subsampled;
        int64 bytes;
    } cases[] = {
        {64, 48, false, false, 64 * 48 * 3 + 3 * 8 * 6 * 128},  // multi-scan baseline: coefficients kept
        {64, 48, true, false, 64 * 48 * 3 + 3 * 8 * 6 * 128},
        {64, 48, true, true, 64 * 48 * 3 + (8 * 6 + 2 * 4 * 3) * 128},
        {6096, 4576, true, true, 6LL * 6096 * 4576},  // the largest 4:2:0 picture of Lintomel's budget
        {20, 20, true, true, 20 * 20 * 3 + (4 * 4 + 2 * 2 * 2) * 128},
    };
    for (const Case& c : cases) {
        const Bytes data = kqhostile::FloodJpeg(c.width, c.height, c.progressive, c.subsampled, 1);
        KQRGBImage image;
        EXPECT_FALSE(DecodeWithin(image, data, Limits(0, c.bytes - 1, 0))) << c.width << "x" << c.height;
        EXPECT_EQ(image.Pixels(), nullptr);
        if (c.bytes < (1 << 20)) {
            EXPECT_TRUE(DecodeWithin(image, data, Limits(0, c.bytes, 0))) << c.width << "x" << c.height;
        }
    }
    // Single-scan baseline data needs the picture alone.
    const Bytes baseline = kqinput::EncodeJpeg(Gradient(64, 48), 64, 48);
    KQRGBImage image;
    EXPECT_TRUE(DecodeWithin(image, baseline, Limits(0, 64 * 48 * 3, 0)));
    EXPECT_FALSE(DecodeWithin(image, baseline, Limits(0, 64 * 48 * 3 - 1, 0)));
}

TEST(JPEGDecode, MarkersBeyondThePictureAreNotReadPastTheLimit)
{
    // Markers that nothing reads are skipped, not kept; a flood of them
    // ends the decode once it passes what the caller allows.
    const Bytes small = kqinput::EncodeJpeg(Gradient(32, 32), 32, 32);
    const Bytes flooded = kqhostile::WithMarkerFlood(small, 20);
    KQRGBImage image;
    EXPECT_TRUE(Decode(image, flooded));
    EXPECT_TRUE(DecodeWithin(image, flooded, Limits(0, 0, 2 << 20)));
    EXPECT_EQ(image.Size().x, 32);
    KQRGBImage refused;
    EXPECT_FALSE(DecodeWithin(refused, flooded, Limits(0, 0, 1 << 20)));
}

TEST(JPEGDecode, ArithmeticCodedDataHasItsOwnPixelLimit)
{
    // Arithmetic decoding takes about ten times the work of Huffman
    // decoding for each coefficient: such data is held to a pixel limit of
    // its own, from its header, baseline and progressive alike.
    KQJPEGLimits limits = Limits(64, 0, 0);
    limits.maxArithmeticPixels = 64 * 48;
    for (bool progressive : {false, true}) {
        kqhostile::ScanFlood s;
        s.width = 64;
        s.height = 48;
        s.progressive = progressive;
        s.arithmetic = true;
        KQRGBImage image;
        EXPECT_TRUE(DecodeWithin(image, kqhostile::FloodJpeg(s), limits)) << progressive;
        EXPECT_EQ(image.Size().x, 64);
        s.height = 49;
        KQRGBImage over;
        EXPECT_FALSE(DecodeWithin(over, kqhostile::FloodJpeg(s), limits)) << progressive;
        EXPECT_EQ(over.Pixels(), nullptr);
        // Huffman-coded data of that size is not held to it.
        s.arithmetic = false;
        EXPECT_TRUE(DecodeWithin(over, kqhostile::FloodJpeg(s), limits)) << progressive;
    }
    // Within its limit, arithmetic-coded data gives the very picture that
    // Huffman-coded data of the same quantisation gives.
    kqinput::JpegSettings settings;
    settings.quality = 85;
    const Bytes huffman = kqinput::EncodeJpeg(Gradient(64, 48), 64, 48, settings);
    settings.arithmetic = true;
    const Bytes arithmetic = kqinput::EncodeJpeg(Gradient(64, 48), 64, 48, settings);
    KQRGBImage a, h;
    ASSERT_TRUE(DecodeWithin(a, arithmetic, limits));
    ASSERT_TRUE(Decode(h, huffman));
    ASSERT_EQ(a.Size().x, h.Size().x);
    EXPECT_EQ(0, std::memcmp(a.Pixels(), h.Pixels(), 64 * 48 * 3));
}

TEST(JPEGDecode, EveryPrefixAndCorruptionEndsCleanly)
{
    Bytes jpeg = Encode(24, 16, 3, Gradient(24, 16), 75);
    KQRGBImage image;
    int decoded = 0;
    for (size_t n = 0; n <= jpeg.size(); ++n) {
        Bytes cut(jpeg.begin(), jpeg.begin() + static_cast<long>(n));
        if (Decode(image, cut)) {
            ++decoded;
            EXPECT_EQ(image.Size().x, 24);
            EXPECT_EQ(image.Size().y, 16);
        }
    }
    EXPECT_GT(decoded, 0);

    // Bytes overwritten one at a time (headers, tables and scan).
    for (size_t i = 2; i < jpeg.size(); i += 3) {
        for (ubyte v : {0x00, 0xFF, 0x7F}) {
            Bytes bad = jpeg;
            bad[i] = v;
            Decode(image, bad);
        }
    }
    SUCCEED();
}

TEST(JPEGDecode, AnyStreamWithAReadEntry)
{
    Bytes jpeg = Encode(9, 5, 3, Gradient(9, 5));
    Dribble d{&jpeg, 0};
    KQStreamCallbacks table = {DribbleRead, nullptr, nullptr, nullptr};
    KQRGBImage image;
    ASSERT_TRUE(KQDecodeJPEG(&d, &table, &image));
    EXPECT_EQ(image.Size().x, 9);
    EXPECT_EQ(image.Size().y, 5);
    EXPECT_GT(d.position, jpeg.size() / 2);
}
