// RGB images: buffer rules, flipping, copying out of DIB sections of every
// depth and, in the wide build, resampling and the thumbnail fit.
#include <gtest/gtest.h>

#include <vector>

#include "KQImageTestUtil.h"
#include "KQOImage.h"
#include "KQOImageDIB.h"

using namespace kqtest;

// The refusals below are expected; their console reports would only be noise.
static const bool kQuietReports = (KQSetErrorReporting(false), true);

namespace {

struct RGB3 {
    int r, g, b;
};

RGB3 PixelAt(const KQRGBImage& image, int x, int y)
{
    const ubyte* p = image.Pixels() + (static_cast<size_t>(y) * image.Size().x + x) * 3;
    return RGB3{p[0], p[1], p[2]};
}

#define EXPECT_PIXEL(image, x, y, R, G, B)                                                                             \
    do {                                                                                                               \
        RGB3 px_ = PixelAt(image, x, y);                                                                               \
        EXPECT_EQ(px_.r, R) << "(" << x << "," << y << ")";                                                            \
        EXPECT_EQ(px_.g, G) << "(" << x << "," << y << ")";                                                            \
        EXPECT_EQ(px_.b, B) << "(" << x << "," << y << ")";                                                            \
    } while (0)

#ifdef KQ_UNICODE
const int32 kSetNoDataLine = 1074, kSetOriginXLine = 1087, kSetOriginYLine = 1088, kSetExtentLine = 1089;
const int32 kFlipLine = 684;
#else
const int32 kSetNoDataLine = 1036, kSetOriginXLine = 1049, kSetOriginYLine = 1050, kSetExtentLine = 1051;
const int32 kFlipLine = 646;
#endif

// 10 x 4 24-bit section whose pixel (x, y) is (x * 10, y * 50, 7).
void MakeRamp(KQDIBSection& dib)
{
    PackedDib p(10, 4, 24);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 10; ++x) {
            uint8_t* q = p.Row(y) + 3 * x;
            q[0] = 7;
            q[1] = static_cast<uint8_t>(y * 50);
            q[2] = static_cast<uint8_t>(x * 10);
        }
    ASSERT_TRUE(p.CreateIn(dib));
}

}  // namespace

TEST(RGBImageAlloc, SizesAndBuffers)
{
    KQRGBImage image;
    EXPECT_STREQ(image.GetClassName(), KQ_TEXT("KQRGBImage"));
    EXPECT_EQ(image.BytesPerPixel(), 3);
    EXPECT_EQ(image.Pixels(), nullptr);
    ASSERT_TRUE(image.Alloc(4, 4, true));
    EXPECT_EQ(image.ByteSize(), 48);
    for (int i = 0; i < 48; ++i)
        EXPECT_EQ(image.Pixels()[i], 0);

    // Same size without clear: buffer and contents kept, still a change.
    image.Pixels()[5] = 99;
    ubyte* before = image.Pixels();
    int32 changes = image.GetChangeCount();
    ASSERT_TRUE(image.Alloc(4, 4, false));
    EXPECT_EQ(image.Pixels(), before);
    EXPECT_EQ(image.Pixels()[5], 99);
    EXPECT_EQ(image.GetChangeCount(), changes + 1);
    ASSERT_TRUE(image.Alloc(4, 4, true));
    EXPECT_EQ(image.Pixels()[5], 0);

    // A side of 0 frees the buffer but records the size.
    ASSERT_TRUE(image.Alloc(0, 5, true));
    EXPECT_EQ(image.Pixels(), nullptr);
    EXPECT_EQ(image.Size().x, 0);
    EXPECT_EQ(image.Size().y, 5);
    EXPECT_FALSE(image.HasError());

    image.Free();
    EXPECT_TRUE(image.Size().IsZero());
}

TEST(RGBImageAlloc, ImpossibleSizesFailCleanly)
{
    // Negative sides (even two, whose product is positive) and sizes that
    // wrap 32 bits give no buffer and an allocation error.
    const int32 sizes[][2] = {{-2, -3}, {-1, 4}, {65536, 65536}, {0x7FFFFFFF, 2}, {0x7FFFFFFF, 0x7FFFFFFF}};
    for (const auto& s : sizes) {
        KQRGBImage image;
        EXPECT_FALSE(image.Alloc(s[0], s[1], true)) << s[0] << "x" << s[1];
        EXPECT_EQ(image.Pixels(), nullptr);
        EXPECT_TRUE(image.Size().IsZero());
        ErrorSite site = SiteOf(image);
        EXPECT_EQ(site.code, 1002);
        EXPECT_EQ(site.line, 189);
        EXPECT_EQ(site.function, "KQRGBImage::Alloc()");
    }
}

TEST(RGBImageData, SetDataAndFlip)
{
    const ubyte data[18] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18};
    KQRGBImage image;
    ASSERT_TRUE(image.SetData(data, 2, 3));
    EXPECT_EQ(std::memcmp(image.Pixels(), data, 18), 0);
    int32 changes = image.GetChangeCount();
    ASSERT_TRUE(image.FlipVertical());
    EXPECT_EQ(image.GetChangeCount(), changes + 1);
    const ubyte flipped[18] = {13, 14, 15, 16, 17, 18, 7, 8, 9, 10, 11, 12, 1, 2, 3, 4, 5, 6};
    EXPECT_EQ(std::memcmp(image.Pixels(), flipped, 18), 0);

    // Height 1: the row stays, and the flip still counts as a change.
    ASSERT_TRUE(image.SetData(data, 6, 1));
    changes = image.GetChangeCount();
    ASSERT_TRUE(image.FlipVertical());
    EXPECT_EQ(image.GetChangeCount(), changes + 1);
    EXPECT_EQ(std::memcmp(image.Pixels(), data, 18), 0);

    // An odd height leaves the middle row where it is.
    const ubyte three[9] = {1, 1, 1, 2, 2, 2, 3, 3, 3};
    ASSERT_TRUE(image.SetData(three, 1, 3));
    ASSERT_TRUE(image.FlipVertical());
    const ubyte threeFlipped[9] = {3, 3, 3, 2, 2, 2, 1, 1, 1};
    EXPECT_EQ(std::memcmp(image.Pixels(), threeFlipped, 9), 0);

    KQRGBImage empty;
    changes = empty.GetChangeCount();
    EXPECT_TRUE(empty.FlipVertical());
    EXPECT_EQ(empty.GetChangeCount(), changes);
    (void)kFlipLine;
}

TEST(RGBImageSet, TrueColourDepths)
{
    // 24 bits, bottom row first in both.
    KQDIBSection ramp;
    MakeRamp(ramp);
    KQRGBImage image;
    ASSERT_TRUE(image.Set(&ramp, nullptr, nullptr));
    EXPECT_EQ(image.Size().x, 10);
    EXPECT_EQ(image.Size().y, 4);
    EXPECT_PIXEL(image, 0, 0, 0, 0, 7);
    EXPECT_PIXEL(image, 9, 3, 90, 150, 7);

    // 32-bit BI_RGB: B, G, R, X.
    PackedDib p32(2, 1, 32);
    const uint8_t row32[8] = {1, 2, 3, 99, 40, 50, 60, 99};
    std::memcpy(p32.Row(0), row32, 8);
    KQDIBSection d32;
    ASSERT_TRUE(p32.CreateIn(d32));
    ASSERT_TRUE(image.Set(&d32, nullptr, nullptr));
    EXPECT_PIXEL(image, 0, 0, 3, 2, 1);
    EXPECT_PIXEL(image, 1, 0, 60, 50, 40);

    // 32-bit BI_BITFIELDS with red in the low byte: R, G, B, X order.
    PackedDib pbf(1, 1, 32, BI_BITFIELDS);
    pbf.SetMasks(0xFF, 0xFF00, 0xFF0000);
    const uint8_t rowbf[4] = {200, 100, 50, 0};
    std::memcpy(pbf.Row(0), rowbf, 4);
    KQDIBSection dbf;
    ASSERT_TRUE(pbf.CreateIn(dbf));
    ASSERT_TRUE(image.Set(&dbf, nullptr, nullptr));
    EXPECT_PIXEL(image, 0, 0, 200, 100, 50);
}

TEST(RGBImageSet, SixteenBit555And565)
{
    PackedDib p(4, 1, 16);
    const uint16_t px[4] = {0x7FFF, 0x7C00, 0x03E0, 0x0421};  // white, red, green, (1,1,1)
    std::memcpy(p.Row(0), px, 8);
    KQDIBSection d;
    ASSERT_TRUE(p.CreateIn(d));
    KQRGBImage image;
    ASSERT_TRUE(image.Set(&d, nullptr, nullptr));
    EXPECT_PIXEL(image, 0, 0, 255, 255, 255);
    EXPECT_PIXEL(image, 1, 0, 255, 0, 0);
    EXPECT_PIXEL(image, 2, 0, 0, 255, 0);
    EXPECT_PIXEL(image, 3, 0, 8, 8, 8);

    PackedDib q(4, 1, 16, BI_BITFIELDS);
    q.SetMasks(0xF800, 0x07E0, 0x001F);
    const uint16_t qx[4] = {0xFFFF, 0xF800, 0x07E0, 0x0841};  // white, red, green, (1,2,1)
    std::memcpy(q.Row(0), qx, 8);
    KQDIBSection e;
    ASSERT_TRUE(q.CreateIn(e));
    ASSERT_TRUE(image.Set(&e, nullptr, nullptr));
    EXPECT_PIXEL(image, 0, 0, 255, 255, 255);
    EXPECT_PIXEL(image, 1, 0, 255, 0, 0);
    EXPECT_PIXEL(image, 2, 0, 0, 255, 0);
    EXPECT_PIXEL(image, 3, 0, 8, 8, 8);

    // 555 given as bitfields takes the 5-bit green.
    PackedDib r(1, 1, 16, BI_BITFIELDS);
    r.SetMasks(0x7C00, 0x03E0, 0x001F);
    const uint16_t rx = 0x03E0;
    std::memcpy(r.Row(0), &rx, 2);
    KQDIBSection f;
    ASSERT_TRUE(r.CreateIn(f));
    ASSERT_TRUE(image.Set(&f, nullptr, nullptr));
    EXPECT_PIXEL(image, 0, 0, 0, 255, 0);
}

TEST(RGBImageSet, PaletteDepthsGoThroughConversion)
{
    // 8 bits from a BMP file.
    BmpLayout s;
    s.width = 3;
    s.height = 2;
    s.bitCount = 8;
    for (int i = 0; i < 256; ++i)
        AddColor(s.colors, static_cast<uint8_t>(i), 0, static_cast<uint8_t>(255 - i));
    s.pixels = {0, 128, 255, 0, 1, 2, 3, 0};
    WriteFile("img8.bmp", BuildBmp(s));
    KQDIBSection d8;
    ASSERT_TRUE(d8.Load("img8.bmp"));
    KQRGBImage image;
    ASSERT_TRUE(image.Set(&d8, nullptr, nullptr));
    EXPECT_PIXEL(image, 0, 0, 0, 0, 255);
    EXPECT_PIXEL(image, 1, 0, 128, 0, 127);
    EXPECT_PIXEL(image, 2, 0, 255, 0, 0);
    EXPECT_PIXEL(image, 2, 1, 3, 0, 252);

    // 4 bits.
    PackedDib p4(3, 1, 4);
    p4.SetColor(5, 11, 22, 33);
    p4.SetColor(15, 250, 240, 230);
    p4.Row(0)[0] = 0x5F;
    p4.Row(0)[1] = 0x50;
    KQDIBSection d4;
    ASSERT_TRUE(p4.CreateIn(d4));
    ASSERT_TRUE(image.Set(&d4, nullptr, nullptr));
    EXPECT_PIXEL(image, 0, 0, 11, 22, 33);
    EXPECT_PIXEL(image, 1, 0, 250, 240, 230);
    EXPECT_PIXEL(image, 2, 0, 11, 22, 33);

    // 1 bit, 10 pixels wide (the bits run over a byte).
    BmpLayout one;
    one.width = 10;
    one.height = 1;
    one.bitCount = 1;
    AddColor(one.colors, 0, 0, 0);
    AddColor(one.colors, 255, 128, 0);
    one.pixels = {0x81, 0x40, 0, 0};
    WriteFile("img1.bmp", BuildBmp(one));
    KQDIBSection d1;
    ASSERT_TRUE(d1.Load("img1.bmp"));
    ASSERT_TRUE(image.Set(&d1, nullptr, nullptr));
    EXPECT_PIXEL(image, 0, 0, 255, 128, 0);
    EXPECT_PIXEL(image, 1, 0, 0, 0, 0);
    EXPECT_PIXEL(image, 7, 0, 255, 128, 0);
    EXPECT_PIXEL(image, 9, 0, 255, 128, 0);
    EXPECT_PIXEL(image, 8, 0, 0, 0, 0);

    // 24 and 32 bits from files too.
    BmpLayout t;
    t.width = 1;
    t.height = 2;
    t.bitCount = 32;
    t.pixels = {10, 20, 30, 0, 40, 50, 60, 0};
    WriteFile("img32.bmp", BuildBmp(t));
    KQDIBSection d32;
    ASSERT_TRUE(d32.Load("img32.bmp"));
    ASSERT_TRUE(image.Set(&d32, nullptr, nullptr));
    EXPECT_PIXEL(image, 0, 1, 60, 50, 40);
}

TEST(RGBImageSet, OriginAndSize)
{
    KQDIBSection ramp;
    MakeRamp(ramp);
    KQRGBImage image;
    KQIntPair origin(2, 0);
    ASSERT_TRUE(image.Set(&ramp, &origin, nullptr));
    EXPECT_EQ(image.Size().x, 8);
    EXPECT_EQ(image.Size().y, 4);
    EXPECT_PIXEL(image, 0, 0, 20, 0, 7);
    EXPECT_PIXEL(image, 7, 3, 90, 150, 7);

    // A rectangle clipped at the top right.
    KQIntPair o2(8, 1), extent(5, 9);
    ASSERT_TRUE(image.Set(&ramp, &o2, &extent));
    EXPECT_EQ(image.Size().x, 2);
    EXPECT_EQ(image.Size().y, 3);
    EXPECT_PIXEL(image, 0, 0, 80, 50, 7);
    EXPECT_PIXEL(image, 1, 2, 90, 150, 7);

    // Size alone takes the origin (0, 0); an extent that would wrap 32 bits
    // is clipped like any other.
    KQIntPair small(1, 1);
    ASSERT_TRUE(image.Set(&ramp, nullptr, &small));
    EXPECT_EQ(image.Size().x, 1);
    KQIntPair far(3, 2), huge(0x7FFFFFFF, 0x7FFFFFFF);
    ASSERT_TRUE(image.Set(&ramp, &far, &huge));
    EXPECT_EQ(image.Size().x, 7);
    EXPECT_EQ(image.Size().y, 2);
}

TEST(RGBImageSet, Refusals)
{
    KQDIBSection ramp;
    MakeRamp(ramp);
    struct Case {
        KQIntPair origin, extent;
        int32 line;
    } cases[] = {
        {KQIntPair(10, 0), KQIntPair(1, 1), kSetOriginXLine}, {KQIntPair(-1, 0), KQIntPair(1, 1), kSetOriginXLine},
        {KQIntPair(0, 4), KQIntPair(1, 1), kSetOriginYLine},  {KQIntPair(0, 0), KQIntPair(0, 1), kSetExtentLine},
        {KQIntPair(0, 0), KQIntPair(1, -1), kSetExtentLine},
    };
    for (const Case& c : cases) {
        KQRGBImage image;
        ASSERT_TRUE(image.Alloc(2, 2, true));
        EXPECT_FALSE(image.Set(&ramp, &c.origin, &c.extent));
        EXPECT_EQ(image.Pixels(), nullptr);  // emptied
        ErrorSite site = SiteOf(image);
        EXPECT_EQ(site.code, 1005);
        EXPECT_EQ(site.line, c.line);
        EXPECT_EQ(site.function, "KQRGBImage::Set()");
    }

    // Top-down section: no data.
    PackedDib top(2, -2, 24);
    KQDIBSection topDown;
    ASSERT_TRUE(top.CreateIn(topDown));
    KQRGBImage image;
    EXPECT_FALSE(image.Set(&topDown, nullptr, nullptr));
    EXPECT_EQ(SiteOf(image).code, 1006);
    EXPECT_EQ(SiteOf(image).line, kSetNoDataLine);

    // The first error stays.
    EXPECT_FALSE(image.Set(&ramp, &cases[0].origin, nullptr));
    EXPECT_EQ(SiteOf(image).code, 1006);

    // Null or empty sources record nothing.
    KQRGBImage other;
    KQDIBSection empty;
    EXPECT_FALSE(other.Set(nullptr, nullptr, nullptr));
    EXPECT_FALSE(other.Set(&empty, nullptr, nullptr));
    EXPECT_FALSE(other.HasError());
}

#ifdef KQ_UNICODE
TEST(RGBImageScale, BranchesAndEdges)
{
    KQRGBImage image;
    const ubyte four[12] = {10, 20, 30, 11, 21, 31, 12, 22, 32, 14, 24, 35};
    ASSERT_TRUE(image.SetData(four, 2, 2));
    ASSERT_TRUE(image.Scale(1, 1));  // box branch: mean of four, truncated
    EXPECT_PIXEL(image, 0, 0, 11, 21, 32);

    const ubyte one[3] = {200, 100, 50};
    ASSERT_TRUE(image.SetData(one, 1, 1));
    ASSERT_TRUE(image.Scale(4, 4));  // bilinear: copies
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x)
            EXPECT_PIXEL(image, x, y, 200, 100, 50);

    // Same size: each pixel the mean of its 2 x 2 neighbourhood.
    const ubyte row[9] = {0, 0, 0, 90, 90, 90, 30, 30, 30};
    ASSERT_TRUE(image.SetData(row, 3, 1));
    ASSERT_TRUE(image.Scale(3, 1));
    EXPECT_PIXEL(image, 0, 0, 45, 45, 45);
    EXPECT_PIXEL(image, 1, 0, 60, 60, 60);
    EXPECT_PIXEL(image, 2, 0, 30, 30, 30);  // last column: itself only

    // 4 x 4 up to 8 x 8: the corner pixel is kept.
    ubyte grid[48];
    for (int i = 0; i < 48; ++i)
        grid[i] = static_cast<ubyte>(i * 5);
    ASSERT_TRUE(image.SetData(grid, 4, 4));
    ASSERT_TRUE(image.Scale(8, 8));
    EXPECT_PIXEL(image, 0, 0, 0, 5, 10);
    EXPECT_EQ(image.Size().x, 8);

    // A uniform picture stays uniform when shrunk.
    ubyte flat[300];
    std::memset(flat, 77, sizeof(flat));
    ASSERT_TRUE(image.SetData(flat, 10, 10));
    ASSERT_TRUE(image.Scale(3, 3));
    for (int i = 0; i < 27; ++i)
        EXPECT_EQ(image.Pixels()[i], 77);

    KQRGBImage empty;
    EXPECT_FALSE(empty.Scale(4, 4));
    EXPECT_FALSE(empty.HasError());

    // An impossible target is an allocation failure; the image stays.
    const int32 targets[][2] = {{-4, 4}, {0x7FFFFFFF, 0x7FFFFFFF}, {0x10000, 0x10000}};
    for (const auto& t : targets) {
        KQRGBImage small;
        ASSERT_TRUE(small.SetData(one, 1, 1));
        EXPECT_FALSE(small.Scale(t[0], t[1])) << t[0] << "x" << t[1];
        EXPECT_EQ(SiteOf(small).code, 1002);
        EXPECT_EQ(SiteOf(small).line, 484);
        EXPECT_EQ(SiteOf(small).function, "KQRGBImage::Scale()");
        EXPECT_EQ(small.Size().x, 1);
        EXPECT_EQ(small.Pixels()[0], 200);
    }
}

// The source column and row of each target pixel follow from the steps and
// positions rounded to 32-bit floats; a build that keeps them in wider
// registers (x87) picks neighbours one off, here in columns 19, 38, 57, 76
// and 95. volatile forces each value through a float in memory, whatever
// the compiler's arithmetic.
static int32 FloatRuleSource(int32 index, int32 from, int32 to)
{
    volatile float step = static_cast<float>(from - 1) / static_cast<float>(to - 1);
    volatile float position = static_cast<float>(index) * step;
    return static_cast<int32>(position);
}

TEST(RGBImageScale, PicksSourcesByFloatSteps)
{
    // Red holds the column and green the row, so the 2 x 2 mean of a target
    // pixel (x0 + 0.5 truncated, or x0 alone at the last column) names the
    // source column x0 and row y0 it started from.
    const int32 w = 196, h = 147, nw = 96, nh = 72;
    std::vector<ubyte> data(static_cast<size_t>(w) * h * 3);
    for (int32 y = 0; y < h; ++y)
        for (int32 x = 0; x < w; ++x) {
            ubyte* p = &data[(static_cast<size_t>(y) * w + x) * 3];
            p[0] = static_cast<ubyte>(x);
            p[1] = static_cast<ubyte>(y);
            p[2] = 9;
        }
    KQRGBImage image;
    ASSERT_TRUE(image.SetData(data.data(), w, h));
    ASSERT_TRUE(image.Scale(nw, nh));
    ASSERT_EQ(image.Size().x, nw);
    ASSERT_EQ(image.Size().y, nh);
    for (int32 i = 0; i < nw; ++i)
        EXPECT_EQ(PixelAt(image, i, 0).r, FloatRuleSource(i, w, nw)) << "column " << i;
    for (int32 j = 0; j < nh; ++j)
        EXPECT_EQ(PixelAt(image, 0, j).g, FloatRuleSource(j, h, nh)) << "row " << j;
    EXPECT_EQ(PixelAt(image, nw - 1, nh - 1).b, 9);
}

TEST(RGBImageScale, FitRule)
{
    struct Case {
        int32 w, h, mw, mh, ew, eh;
    } cases[] = {
        {400, 300, 256, 256, 256, 192},
        {300, 400, 256, 256, 192, 256},
        {100, 50, 256, 256, 100, 50},
        {1000, 100, 96, 96, 96, 9},
        {3000, 1, 96, 96, 96, 0},
        {1024, 768, 96, 96, 96, 72},
        {65000, 60000, 2560, 2560, 2560, 2363},
    };
    for (const Case& c : cases) {
        KQIntPair fit = KQFitImageSize(c.w, c.h, c.mw, c.mh);
        EXPECT_EQ(fit.x, c.ew) << c.w << "x" << c.h;
        EXPECT_EQ(fit.y, c.eh) << c.w << "x" << c.h;
    }
}
#endif
