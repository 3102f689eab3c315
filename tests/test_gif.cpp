// The GIF writer: the exact stream of a small image, the palette and the
// dithering, and LZW data checked by decoding it again.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "KQImageTestUtil.h"
#include "KQOError.h"
#include "KQOImage.h"
#include "KQOImageGIF.h"

using namespace kqtest;

namespace {

const int kThreshold[16] = {0, 8, 2, 10, 12, 4, 14, 6, 3, 11, 1, 9, 15, 7, 13, 5};

// What a GIF file holds, taken apart.
struct Gif {
    uint32_t width = 0, height = 0;
    Bytes header;      // the 13 bytes up to the colour table
    Bytes palette;     // 768 bytes
    Bytes descriptor;  // 10 bytes
    int minCodeSize = 0;
    Bytes data;  // the sub-blocks' bytes joined
    std::vector<size_t> blockSizes;
    bool trailer = false;
};

bool ParseGif(const Bytes& b, Gif& g)
{
    if (b.size() < 13 + 768 + 10 + 1)
        return false;
    g.header.assign(b.begin(), b.begin() + 13);
    g.width = b[6] | (b[7] << 8);
    g.height = b[8] | (b[9] << 8);
    g.palette.assign(b.begin() + 13, b.begin() + 13 + 768);
    size_t at = 13 + 768;
    g.descriptor.assign(b.begin() + at, b.begin() + at + 10);
    at += 10;
    g.minCodeSize = b[at++];
    while (at < b.size()) {
        const size_t n = b[at++];
        if (n == 0)
            break;
        if (at + n > b.size())
            return false;
        g.blockSizes.push_back(n);
        g.data.insert(g.data.end(), b.begin() + at, b.begin() + at + n);
        at += n;
    }
    g.trailer = at + 1 == b.size() && b[at] == ';';
    return true;
}

// A plain GIF LZW decoder, independent of the writer's coder.
struct Decoded {
    bool ok = false;
    std::vector<int> indices;
    std::vector<int> clearWidths;  // code width at which each clear code was read
};

Decoded DecodeLZW(const Bytes& data, int minCodeSize)
{
    Decoded d;
    const int clear = 1 << minCodeSize, end = clear + 1;
    int width = minCodeSize + 1, next = end + 1, prev = -1;
    std::vector<int> prefix(4096, -1), suffix(4096, 0), length(4096, 1);
    for (int i = 0; i < clear; ++i)
        suffix[i] = i;
    size_t bitPos = 0;
    auto expand = [&](int code, std::vector<int>& out) {
        std::vector<int> s(static_cast<size_t>(length[code]));
        for (int k = length[code] - 1, c = code; k >= 0; --k, c = prefix[c])
            s[static_cast<size_t>(k)] = suffix[c];
        out.insert(out.end(), s.begin(), s.end());
        return s[0];
    };
    for (;;) {
        if (bitPos + width > data.size() * 8)
            return d;
        int code = 0;
        for (int i = 0; i < width; ++i, ++bitPos)
            if (data[bitPos / 8] & (1 << (bitPos % 8)))
                code |= 1 << i;
        if (code == clear) {
            d.clearWidths.push_back(width);
            width = minCodeSize + 1;
            next = end + 1;
            prev = -1;
            continue;
        }
        if (code == end)
            break;
        if (prev < 0) {
            if (code >= clear)
                return d;
            d.indices.push_back(code);
            prev = code;
            continue;
        }
        int first;
        if (code < next) {
            first = expand(code, d.indices);
        } else if (code == next) {
            first = expand(prev, d.indices);
            d.indices.push_back(first);
        } else {
            return d;
        }
        if (next < 4096) {
            prefix[next] = prev;
            suffix[next] = first;
            length[next] = length[prev] + 1;
            ++next;
            if (next == (1 << width) && width < 12)
                ++width;
        }
        prev = code;
    }
    d.ok = true;
    return d;
}

// Pixel sources for the encoder driven directly.
std::vector<int> gSourceIndices;
int32 gSourceWidth = 1;
int32 VectorSource(int32 x, int32 y)
{
    return gSourceIndices[static_cast<size_t>(y) * gSourceWidth + x];
}

Bytes EncodeIndices(const std::vector<int>& indices, int32 w, int32 h)
{
    gSourceIndices = indices;
    gSourceWidth = w;
    int32 red[256], green[256], blue[256];
    for (int i = 0; i < 256; ++i)
        red[i] = green[i] = blue[i] = i;
    FILE* f = std::fopen("gif_direct.gif", "wb");
    EXPECT_NE(f, nullptr);
    if (!f)
        return Bytes();
    EXPECT_TRUE(KQGIFEncode(f, w, h, 0, 8, red, green, blue, VectorSource));
    std::fclose(f);
    return ReadFile("gif_direct.gif");
}

uint32_t gRandom = 12345;
int NextRandom()
{
    gRandom = gRandom * 1103515245u + 12345u;
    return static_cast<int>((gRandom >> 16) & 0x7FFF);
}

using GifWriter = QuietReports;

}  // namespace

TEST_F(GifWriter, OneBlackPixelByteForByte)
{
    KQRGBImage image;
    const ubyte black[3] = {0, 0, 0};
    ASSERT_TRUE(image.SetData(black, 1, 1));
    ASSERT_TRUE(image.Save(KQ_IMAGE_TYPE_GIF, "gif_1x1.gif"));

    Bytes expected = {'G', 'I', 'F', '8', '7', 'a', 0x01, 0x00, 0x01, 0x00, 0xF7, 0x00, 0x00};
    const int levels8[8] = {0, 36, 72, 109, 145, 182, 218, 255};
    for (int i = 0; i < 256; ++i) {
        expected.push_back(static_cast<uint8_t>(levels8[i & 7]));
        expected.push_back(static_cast<uint8_t>(levels8[(i >> 3) & 7]));
        expected.push_back(static_cast<uint8_t>(((i >> 6) & 3) * 85));
    }
    const Bytes tail = {0x2C, 0, 0, 0, 0, 0x01, 0, 0x01, 0, 0x00, 0x08, 0x04, 0x00, 0x01, 0x04, 0x04, 0x00, 0x3B};
    expected.insert(expected.end(), tail.begin(), tail.end());
    const Bytes got = ReadFile("gif_1x1.gif");
    EXPECT_EQ(got, expected);
    ASSERT_EQ(got.size(), 13u + 768 + 18);
    EXPECT_EQ(Bytes(got.begin() + 13 + 3, got.begin() + 13 + 6), (Bytes{36, 0, 0}));
    EXPECT_EQ(Bytes(got.end() - 18 - 3, got.end() - 18), (Bytes{255, 255, 255}));
}

TEST_F(GifWriter, GammaAndDitherTables)
{
    ubyte v[6] = {0, 1, 64, 128, 254, 255};
    KQGIFApplyGamma(v, 0.6666667f, 6);
    EXPECT_EQ(Bytes(v, v + 6), (Bytes{0, 6, 101, 161, 254, 255}));
    // A second pass with the same gamma maps again through the same table.
    ubyte w[2] = {6, 101};
    KQGIFApplyGamma(w, 0.6666667f, 2);
    EXPECT_EQ(w[0], 21);  // pow(6/255, 2/3) * 255 + 0.5
    EXPECT_EQ(w[1], 138);

    const KQGIFDitherTable red = KQGIFBuildDitherTable(8, 1, 0);
    const KQGIFDitherTable blue = KQGIFBuildDitherTable(4, 64, 0);
    for (int p = 0; p < 4; ++p)
        for (int c = 0; c < 4; ++c) {
            EXPECT_EQ(red.entry[p][c][0], 0);
            EXPECT_EQ(red.entry[p][c][255], 7);
            EXPECT_EQ(blue.entry[p][c][255], 192);
            // 161 * 113 / 255 = 71 = 4 * 16 + 7: level 5 where the threshold is below 7.
            EXPECT_EQ(red.entry[p][c][161], kThreshold[4 * c + p] < 7 ? 5 : 4) << p << "," << c;
        }

    // Whole rows: white is 255 and black 0 in every phase.
    ubyte white[8], dark[8];
    for (int i = 0; i < 8; ++i) {
        white[i] = 255;
        dark[i] = 0;
    }
    uint16_t idx[8];
    for (int row = 0; row < 4; ++row) {
        KQGIFDitherRow(idx, white, white, white, 8, row);
        for (int i = 0; i < 8; ++i)
            EXPECT_EQ(idx[i], 255);
        KQGIFDitherRow(idx, dark, dark, dark, 8, row);
        for (int i = 0; i < 8; ++i)
            EXPECT_EQ(idx[i], 0);
    }
    // Grey 161: red level + 8 x green level + 64 x blue level.
    ubyte grey[4] = {161, 161, 161, 161};
    KQGIFDitherRow(idx, grey, grey, grey, 4, 1);
    const KQGIFDitherTable green = KQGIFBuildDitherTable(8, 8, 0);
    for (int c = 0; c < 4; ++c)
        EXPECT_EQ(idx[c], red.entry[1][c][161] + green.entry[1][c][161] + blue.entry[1][c][161]);
}

TEST_F(GifWriter, RowsGoTopFirstThroughGammaAndDither)
{
    // 6 x 5: bottom row black, top row white, the rest random colours.
    const int32 w = 6, h = 5;
    std::vector<ubyte> data(static_cast<size_t>(w) * h * 3);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<ubyte>(NextRandom());
    for (int x = 0; x < w * 3; ++x) {
        data[static_cast<size_t>(x)] = 0;
        data[static_cast<size_t>((h - 1) * w * 3 + x)] = 255;
    }
    KQRGBImage image;
    ASSERT_TRUE(image.SetData(data.data(), w, h));
    ASSERT_TRUE(image.Save(KQ_IMAGE_TYPE_GIF, "gif_rows.gif"));
    Gif g;
    ASSERT_TRUE(ParseGif(ReadFile("gif_rows.gif"), g));
    EXPECT_EQ(g.width, 6u);
    EXPECT_EQ(g.height, 5u);
    EXPECT_EQ(g.descriptor, (Bytes{0x2C, 0, 0, 0, 0, 6, 0, 5, 0, 0}));
    EXPECT_EQ(g.minCodeSize, 8);
    EXPECT_TRUE(g.trailer);
    Decoded d = DecodeLZW(g.data, 8);
    ASSERT_TRUE(d.ok);
    ASSERT_EQ(d.indices.size(), static_cast<size_t>(w * h));
    for (int x = 0; x < w; ++x) {
        EXPECT_EQ(d.indices[static_cast<size_t>(x)], 255);
        EXPECT_EQ(d.indices[static_cast<size_t>((h - 1) * w + x)], 0);
    }
    // Row y of the file is memory row h - 1 - y, dithered with row phase y.
    for (int y = 0; y < h; ++y) {
        ubyte r[6], gr[6], b[6];
        for (int x = 0; x < w; ++x) {
            const ubyte* p = &data[(static_cast<size_t>(h - 1 - y) * w + x) * 3];
            r[x] = p[0];
            gr[x] = p[1];
            b[x] = p[2];
        }
        KQGIFApplyGamma(r, 0.6666667f, w);
        KQGIFApplyGamma(gr, 0.6666667f, w);
        KQGIFApplyGamma(b, 0.6666667f, w);
        uint16_t idx[6];
        KQGIFDitherRow(idx, r, gr, b, w, y);
        for (int x = 0; x < w; ++x)
            EXPECT_EQ(d.indices[static_cast<size_t>(y * w + x)], idx[x]) << x << "," << y;
    }
}

TEST_F(GifWriter, LZWDecodesAcrossTableResetsAndSubBlocks)
{
    // Noise fills the code table: the clear code must come at width 12 and
    // decoding must reproduce every index.
    const int32 w = 200, h = 150;
    std::vector<int> indices(static_cast<size_t>(w) * h);
    for (size_t i = 0; i < indices.size(); ++i)
        indices[i] = NextRandom() & 0xFF;
    // A long constant stretch exercises the long strings.
    for (size_t i = 1000; i < 9000; ++i)
        indices[i] = 17;
    Gif g;
    ASSERT_TRUE(ParseGif(EncodeIndices(indices, w, h), g));
    Decoded d = DecodeLZW(g.data, g.minCodeSize);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.indices, indices);
    ASSERT_GE(d.clearWidths.size(), 2u);
    EXPECT_EQ(d.clearWidths[0], 9);
    for (size_t i = 1; i < d.clearWidths.size(); ++i)
        EXPECT_EQ(d.clearWidths[i], 12);
    ASSERT_GE(g.blockSizes.size(), 2u);
    for (size_t i = 0; i + 1 < g.blockSizes.size(); ++i)
        ASSERT_EQ(g.blockSizes[i], 254u) << i;
    EXPECT_LE(g.blockSizes.back(), 254u);
    EXPECT_TRUE(g.trailer);

    // A small picture decodes too (no reset, one block).
    std::vector<int> small = {0, 0, 0, 1, 0, 0, 0, 1, 255, 255, 255, 255};
    Gif s;
    ASSERT_TRUE(ParseGif(EncodeIndices(small, 4, 3), s));
    Decoded ds = DecodeLZW(s.data, 8);
    ASSERT_TRUE(ds.ok);
    EXPECT_EQ(ds.indices, small);
    EXPECT_EQ(ds.clearWidths.size(), 1u);
    EXPECT_EQ(s.blockSizes.size(), 1u);
}

TEST_F(GifWriter, ConsecutiveSavesGiveTheSameFile)
{
    std::vector<ubyte> data(40 * 30 * 3);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<ubyte>(i * 31 / 7);
    KQRGBImage image;
    ASSERT_TRUE(image.SetData(data.data(), 40, 30));
    ASSERT_TRUE(image.Save(KQ_IMAGE_TYPE_GIF, "gif_a.gif"));
    ASSERT_TRUE(image.Save(KQ_IMAGE_TYPE_GIF, "gif_b.gif"));
    const Bytes a = ReadFile("gif_a.gif");
    EXPECT_FALSE(a.empty());
    EXPECT_EQ(a, ReadFile("gif_b.gif"));
}

TEST_F(GifWriter, UncreatableFileIsADebugError)
{
    const char* report = "gif_report.txt";
    std::remove(report);
    KQ_REPORT_FILE_NAME = report;
    KQ_REPORT_TO_FILE = true;
    KQRGBImage image;
    const ubyte px[3] = {1, 2, 3};
    ASSERT_TRUE(image.SetData(px, 1, 1));
    EXPECT_FALSE(image.Save(KQ_IMAGE_TYPE_GIF, "gif_no_such_dir/x.gif"));
    EXPECT_FALSE(image.HasError());
    KQ_REPORT_TO_FILE = false;
    const Bytes b = ReadFile(report);
    const std::string text(b.begin(), b.end());
    EXPECT_NE(text.find("DEBUG ERROR"), std::string::npos);
    EXPECT_NE(text.find("Cannot create file: gif_no_such_dir/x.gif"), std::string::npos);
    EXPECT_NE(text.find("KQImageSaveRGBDataToGIF()"), std::string::npos);
    EXPECT_NE(text.find(".\\KQOImageGIF"), std::string::npos);
    EXPECT_NE(text.find("170"), std::string::npos);
    std::remove(report);

    // Sides that do not fit the 16-bit fields are refused.
    EXPECT_FALSE(KQImageSaveRGBDataToGIF(px, KQIntPair(65536, 1), "gif_wide.gif"));
    EXPECT_TRUE(ReadFile("gif_wide.gif").empty());
}
