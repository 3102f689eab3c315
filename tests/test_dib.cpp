// DIB sections: the BMP reader and its refusals, palettes, and depth
// conversion through GDI.
#include <gtest/gtest.h>

#include "KQImageTestUtil.h"
#include "KQOImage.h"
#include "KQOImageDIB.h"

using namespace kqtest;

// The refusals below are expected; their console reports would only be noise.
static const bool kQuietReports = (KQSetErrorReporting(false), true);

namespace {

std::vector<PALETTEENTRY> Entries(HPALETTE palette)
{
    std::vector<PALETTEENTRY> out(256);
    UINT n = GetPaletteEntries(palette, 0, 256, out.data());
    out.resize(n);
    return out;
}

void ExpectEntry(const PALETTEENTRY& e, int r, int g, int b)
{
    EXPECT_EQ(e.peRed, r);
    EXPECT_EQ(e.peGreen, g);
    EXPECT_EQ(e.peBlue, b);
}

// A 3 x 2 24-bit BMP: bottom row red, green, blue; top row white, black, grey.
BmpLayout Bmp24()
{
    BmpLayout s;
    s.width = 3;
    s.height = 2;
    s.bitCount = 24;
    const uint8_t rows[2][12] = {{0, 0, 255, 0, 255, 0, 255, 0, 0, 0, 0, 0},
                                 {255, 255, 255, 0, 0, 0, 128, 128, 128, 0, 0, 0}};
    for (auto& r : rows)
        s.pixels.insert(s.pixels.end(), r, r + 12);
    return s;
}

// A 4 x 2 8-bit BMP with a full table (entry i = (i, 255 - i, i / 2)).
BmpLayout Bmp8()
{
    BmpLayout s;
    s.width = 4;
    s.height = 2;
    s.bitCount = 8;
    for (int i = 0; i < 256; ++i)
        AddColor(s.colors, static_cast<uint8_t>(i), static_cast<uint8_t>(255 - i), static_cast<uint8_t>(i / 2));
    s.pixels = {1, 2, 3, 4, 250, 251, 252, 253};
    return s;
}

ErrorSite LoadSite(const BmpLayout& layout, const char* name)
{
    WriteFile(name, BuildBmp(layout));
    KQDIBSection dib;
    EXPECT_FALSE(dib.Load(name));
    EXPECT_EQ(dib.GetBitmap(), nullptr);
    return SiteOf(dib);
}

}  // namespace

TEST(DIBHelpers, StridePaletteSizeColorCount)
{
    EXPECT_EQ(KQDIBStride(3, 24), 12);
    EXPECT_EQ(KQDIBStride(1, 1), 4);
    EXPECT_EQ(KQDIBStride(33, 1), 8);
    EXPECT_EQ(KQDIBStride(0x7FFFFFFF, 32), -1);
    EXPECT_EQ(KQDIBPaletteSize(1), 2);
    EXPECT_EQ(KQDIBPaletteSize(4), 16);
    EXPECT_EQ(KQDIBPaletteSize(8), 256);
    EXPECT_EQ(KQDIBPaletteSize(24), 0);

    BITMAPINFOHEADER h{};
    h.biBitCount = 8;
    EXPECT_EQ(KQDIBColorCount(&h), 256);
    h.biClrUsed = 7;
    EXPECT_EQ(KQDIBColorCount(&h), 7);
    h.biClrUsed = 0xFFFFFFFF;  // a hostile count stays positive
    EXPECT_GT(KQDIBColorCount(&h), 256);
    h.biClrUsed = 0;
    h.biBitCount = 16;
    EXPECT_EQ(KQDIBColorCount(&h), 0);
    h.biCompression = BI_BITFIELDS;
    EXPECT_EQ(KQDIBColorCount(&h), 3);
    h.biBitCount = 24;
    EXPECT_EQ(KQDIBColorCount(&h), 0);
}

TEST(DIBPalette, DefaultPalette)
{
    HPALETTE palette = nullptr;
    ASSERT_TRUE(KQBuildDefaultPalette(&palette, 20));
    std::vector<PALETTEENTRY> e = Entries(palette);
    ASSERT_EQ(e.size(), 20u);
    ExpectEntry(e[0], 0, 0, 0);
    ExpectEntry(e[1], 255, 255, 255);
    ExpectEntry(e[2], 0, 0, 255);
    ExpectEntry(e[5], 255, 0, 0);
    ExpectEntry(e[15], 192, 192, 192);
    ExpectEntry(e[16], 0, 0, 0);
    ExpectEntry(e[17], 51, 0, 0);
    ExpectEntry(e[18], 102, 0, 0);
    ExpectEntry(e[19], 153, 0, 0);
    for (const PALETTEENTRY& x : e)
        EXPECT_EQ(x.peFlags, 0);

    // Rebuilding replaces the palette; out-of-range counts mean 256.
    ASSERT_TRUE(KQBuildDefaultPalette(&palette, 0));
    e = Entries(palette);
    ASSERT_EQ(e.size(), 256u);
    ExpectEntry(e[22], 0, 51, 0);  // 16 + 6: green level 1
    ExpectEntry(e[52], 0, 0, 51);  // 16 + 36: blue level 1
    ExpectEntry(e[231], 255, 255, 255);
    ExpectEntry(e[232], 0, 0, 0);
    ExpectEntry(e[233], 11, 11, 11);
    ExpectEntry(e[254], 243, 243, 243);
    ExpectEntry(e[255], 255, 255, 255);
    ASSERT_TRUE(KQBuildDefaultPalette(&palette, 300));
    EXPECT_EQ(Entries(palette).size(), 256u);
    DeleteObject(palette);
    EXPECT_FALSE(KQBuildDefaultPalette(nullptr, 4));
}

TEST(DIBLoad, TwentyFourBitGetsDefaultPalette)
{
    WriteFile("dib24.bmp", BuildBmp(Bmp24()));
    KQDIBSection dib;
    ASSERT_TRUE(dib.Load("dib24.bmp"));
    EXPECT_FALSE(dib.HasError());
    const BITMAPINFOHEADER& h = dib.GetHeader();
    EXPECT_EQ(h.biWidth, 3);
    EXPECT_EQ(h.biHeight, 2);
    EXPECT_EQ(h.biBitCount, 24);
    EXPECT_EQ(h.biSizeImage, 24u);
    EXPECT_EQ(dib.GetColorCount(), 0);
    ASSERT_NE(dib.GetBits(), nullptr);
    EXPECT_EQ(std::memcmp(dib.GetBits(), Bmp24().pixels.data(), 24), 0);
    std::vector<PALETTEENTRY> e = Entries(dib.GetPalette());
    ASSERT_EQ(e.size(), 256u);
    ExpectEntry(e[16], 0, 0, 0);
    ExpectEntry(e[231], 255, 255, 255);
    ExpectEntry(e[232], 0, 0, 0);
    ExpectEntry(e[255], 255, 255, 255);

    // Free empties the section; a second load works on the same object.
    dib.Free();
    EXPECT_EQ(dib.GetBitmap(), nullptr);
    EXPECT_EQ(dib.GetPalette(), nullptr);
    EXPECT_EQ(dib.GetHeader().biWidth, 0);
    EXPECT_TRUE(dib.Load("dib24.bmp"));
}

TEST(DIBLoad, EightBitTableBecomesPalette)
{
    WriteFile("dib8.bmp", BuildBmp(Bmp8()));
    KQDIBSection dib;
    ASSERT_TRUE(dib.Load("dib8.bmp"));
    EXPECT_EQ(dib.GetColorCount(), 256);
    EXPECT_EQ(dib.GetHeader().biClrUsed, 256u);
    std::vector<PALETTEENTRY> e = Entries(dib.GetPalette());
    ASSERT_EQ(e.size(), 256u);
    ExpectEntry(e[0], 0, 255, 0);
    ExpectEntry(e[200], 200, 55, 100);
    ExpectEntry(e[255], 255, 0, 127);
    EXPECT_EQ(static_cast<const uint8_t*>(dib.GetBits())[4], 250);
}

TEST(DIBLoad, OneAndFourBitAndShortTables)
{
    // 1 bit: biClrUsed 0 reads two entries.
    BmpLayout one;
    one.width = 9;
    one.height = 1;
    one.bitCount = 1;
    AddColor(one.colors, 10, 20, 30);
    AddColor(one.colors, 200, 210, 220);
    one.pixels = {0xA5, 0x80, 0, 0};
    WriteFile("dib1.bmp", BuildBmp(one));
    KQDIBSection dib;
    ASSERT_TRUE(dib.Load("dib1.bmp"));
    EXPECT_EQ(dib.GetColorCount(), 2);
    std::vector<PALETTEENTRY> e = Entries(dib.GetPalette());
    ASSERT_EQ(e.size(), 2u);
    ExpectEntry(e[1], 200, 210, 220);

    // 4 bits with biClrUsed 3: only three entries are read and used.
    BmpLayout four;
    four.width = 2;
    four.height = 2;
    four.bitCount = 4;
    four.clrUsed = 3;
    AddColor(four.colors, 255, 0, 0);
    AddColor(four.colors, 0, 255, 0);
    AddColor(four.colors, 0, 0, 255);
    four.pixels = {0x01, 0, 0, 0, 0x20, 0, 0, 0};
    WriteFile("dib4.bmp", BuildBmp(four));
    ASSERT_TRUE(dib.Load("dib4.bmp"));
    EXPECT_EQ(dib.GetColorCount(), 3);
    EXPECT_EQ(Entries(dib.GetPalette()).size(), 3u);

    // A count beyond every table is cut to 256 entries.
    BmpLayout huge = Bmp8();
    huge.clrUsed = 0xFFFFFFFF;
    WriteFile("dib8huge.bmp", BuildBmp(huge));
    ASSERT_TRUE(dib.Load("dib8huge.bmp"));
    EXPECT_EQ(dib.GetColorCount(), 256);
}

TEST(DIBLoad, DataRightAfterTableWhenOffsetIsZero)
{
    BmpLayout s = Bmp24();
    s.zeroOffset = true;
    WriteFile("dib24z.bmp", BuildBmp(s));
    KQDIBSection dib;
    ASSERT_TRUE(dib.Load("dib24z.bmp"));
    EXPECT_EQ(std::memcmp(dib.GetBits(), s.pixels.data(), 24), 0);
}

TEST(DIBLoad, RefusedFiles)
{
    KQDIBSection missing;
    EXPECT_FALSE(missing.Load("no-such-file.bmp"));
    ErrorSite site = SiteOf(missing);
    EXPECT_EQ(site.code, 1104);
    EXPECT_EQ(site.line, 752);
    EXPECT_EQ(site.function, "KQDIBSection::Load()");

    Bytes shortFile = {'B', 'M', 1, 2};
    WriteFile("dibshort.bmp", shortFile);
    KQDIBSection dib;
    EXPECT_FALSE(dib.Load("dibshort.bmp"));
    EXPECT_EQ(SiteOf(dib).line, 768);
    EXPECT_EQ(SiteOf(dib).code, 1105);

    BmpLayout s = Bmp24();
    s.sizeDelta = -1;
    site = LoadSite(s, "dibsize.bmp");
    EXPECT_EQ(site.code, 1109);
    EXPECT_EQ(site.line, 779);

    s = Bmp24();
    s.type = 0x4D43;
    EXPECT_EQ(LoadSite(s, "dibtype.bmp").line, 779);
    s = Bmp24();
    s.reserved1 = 1;
    EXPECT_EQ(LoadSite(s, "dibres.bmp").line, 779);

    // Only the file header and part of the info header.
    Bytes cut = BuildBmp(Bmp24());
    cut.resize(30);
    cut[2] = 30;
    WriteFile("dibcut.bmp", cut);
    KQDIBSection cutDib;
    EXPECT_FALSE(cutDib.Load("dibcut.bmp"));
    EXPECT_EQ(SiteOf(cutDib).line, 788);

    s = Bmp8();
    s.compression = BI_RLE8;
    site = LoadSite(s, "dibrle.bmp");
    EXPECT_EQ(site.code, 1109);
    EXPECT_EQ(site.line, 798);
    s = Bmp24();
    s.bitCount = 32;
    s.compression = BI_BITFIELDS;
    EXPECT_EQ(LoadSite(s, "dibbf.bmp").line, 798);
    s = Bmp24();
    s.infoSize = 108;
    EXPECT_EQ(LoadSite(s, "dibv4.bmp").line, 798);
    s = Bmp24();
    s.planes = 2;
    EXPECT_EQ(LoadSite(s, "dibplanes.bmp").line, 798);

    // A colour table that the file does not hold.
    s = Bmp8();
    s.colors.resize(40);
    s.pixels.clear();
    site = LoadSite(s, "dibtable.bmp");
    EXPECT_EQ(site.code, 1105);
    EXPECT_EQ(site.line, 813);

    // Top-down, and pixel data larger than the file.
    s = Bmp24();
    s.height = -2;
    site = LoadSite(s, "dibtopdown.bmp");
    EXPECT_EQ(site.code, 1105);
    EXPECT_EQ(site.line, 827);
    s = Bmp24();
    s.pixels.resize(20);
    EXPECT_EQ(LoadSite(s, "dibtrunc.bmp").line, 827);
}

TEST(DIBLoad, HostileSizesAreRefusedBeforeReading)
{
    // Width x height x depth that wraps 32 bits, and a negative width.
    BmpLayout s = Bmp24();
    s.width = 0x40000000;
    s.height = 8;
    EXPECT_EQ(LoadSite(s, "dibwrap.bmp").line, 827);
    s.width = 0x7FFFFFFF;
    s.height = 0x7FFFFFFF;
    s.bitCount = 0xFFFF;
    EXPECT_EQ(LoadSite(s, "dibwrap2.bmp").line, 827);
    s = Bmp24();
    s.width = -3;
    EXPECT_EQ(LoadSite(s, "dibnegwidth.bmp").line, 827);

    // An offset past the end of the file: the pixel data cannot be read.
    s = Bmp24();
    s.offsetDelta = 1000;
    ErrorSite past = LoadSite(s, "diboffset.bmp");
    EXPECT_EQ(past.line, 855);
    EXPECT_EQ(past.code, 1105);

    // No pixels to hold (a side of 0, or both sides negative): the reader
    // passes them on and no section is made of them, with nothing recorded.
    const int32 empties[][2] = {{0, 2}, {3, 0}, {-3, -2}};
    for (const auto& e : empties) {
        s = Bmp24();
        s.width = e[0];
        s.height = e[1];
        WriteFile("dibempty.bmp", BuildBmp(s));
        KQDIBSection dib;
        EXPECT_FALSE(dib.Load("dibempty.bmp")) << e[0] << "x" << e[1];
        EXPECT_FALSE(dib.HasError()) << e[0] << "x" << e[1];
        EXPECT_EQ(dib.GetBitmap(), nullptr);
    }

    // Offset 0 and pixel data shorter than the header claims, the size
    // field being right: the read fails, nothing is overrun.
    s = Bmp24();
    s.zeroOffset = true;
    s.pixels.resize(20);
    ErrorSite site = LoadSite(s, "dibshortread.bmp");
    EXPECT_EQ(site.line, 855);
    EXPECT_EQ(site.code, 1105);

    // An odd bit count passes the reader but no section is made of it.
    s = Bmp24();
    s.bitCount = 7;
    WriteFile("dib7.bmp", BuildBmp(s));
    KQDIBSection dib;
    EXPECT_FALSE(dib.Load("dib7.bmp"));
    EXPECT_FALSE(dib.HasError());
}

TEST(DIBSection, KeepsFirstError)
{
    KQDIBSection dib;
    EXPECT_FALSE(dib.Load("no-such-file.bmp"));
    BmpLayout s = Bmp24();
    s.sizeDelta = 5;
    WriteFile("dibsize2.bmp", BuildBmp(s));
    EXPECT_FALSE(dib.Load("dibsize2.bmp"));
    EXPECT_EQ(SiteOf(dib).code, 1104);
    EXPECT_STREQ(dib.GetClassName(), KQ_TEXT("KQDIBSection"));
}

TEST(DIBCreate, PackedCopiesAtMostTheSection)
{
    PackedDib p(2, 2, 24);
    p.Row(0)[0] = 7;
    p.bits.resize(4096, 0xEE);
    p.info.bmiHeader.biSizeImage = 4096;  // more than the 16-byte section
    KQDIBSection dib;
    ASSERT_TRUE(p.CreateIn(dib));
    EXPECT_EQ(static_cast<const uint8_t*>(dib.GetBits())[0], 7);
    EXPECT_FALSE(dib.CreateFromPacked(nullptr, p.bits.data()));
    EXPECT_FALSE(dib.CreateFromPacked(reinterpret_cast<const BITMAPINFO*>(&p.info), nullptr));
    EXPECT_EQ(dib.GetBitmap(), nullptr);
}

TEST(DIBConvert, FourBitToTwentyFour)
{
    PackedDib p(3, 2, 4);
    p.SetColor(0, 0, 0, 0);
    p.SetColor(1, 255, 0, 0);
    p.SetColor(2, 0, 0, 255);
    p.SetColor(3, 10, 20, 30);
    p.Row(0)[0] = 0x12;  // bottom row: 1, 2, 3
    p.Row(0)[1] = 0x30;
    p.Row(1)[0] = 0x00;  // top row: 0, 0, 1
    p.Row(1)[1] = 0x10;
    KQDIBSection source, target;
    ASSERT_TRUE(p.CreateIn(source));
    EXPECT_EQ(source.GetColorCount(), 16);
    ASSERT_TRUE(target.ConvertFrom(&source, 24, nullptr));
    EXPECT_EQ(target.GetHeader().biWidth, 3);
    EXPECT_EQ(target.GetHeader().biHeight, 2);
    EXPECT_EQ(target.GetHeader().biBitCount, 24);
    EXPECT_EQ(target.GetColorCount(), 0);
    EXPECT_EQ(Entries(target.GetPalette()).size(), 256u);
    const uint8_t* bits = static_cast<const uint8_t*>(target.GetBits());
    const uint8_t bottom[9] = {0, 0, 255, 255, 0, 0, 30, 20, 10};
    EXPECT_EQ(std::memcmp(bits, bottom, 9), 0);
    const uint8_t top[9] = {0, 0, 0, 0, 0, 0, 0, 0, 255};
    EXPECT_EQ(std::memcmp(bits + 12, top, 9), 0);
}

TEST(DIBConvert, TrueColourToPaletteDepths)
{
    PackedDib p(4, 1, 24);
    const uint8_t row[12] = {0, 0, 255, 0, 0, 0, 255, 255, 255, 0, 0, 200};  // red, black, white, dark red
    std::memcpy(p.Row(0), row, 12);
    KQDIBSection source;
    ASSERT_TRUE(p.CreateIn(source));

    // 8 bits: the halftone palette holds the primaries, black and white.
    KQDIBSection eight;
    ASSERT_TRUE(eight.ConvertFrom(&source, 8, nullptr));
    EXPECT_EQ(eight.GetColorCount(), 256);
    const uint8_t* idx = static_cast<const uint8_t*>(eight.GetBits());
    const RGBQUAD* table = eight.GetColors();
    EXPECT_EQ(table[idx[0]].rgbRed, 255);
    EXPECT_EQ(table[idx[0]].rgbGreen, 0);
    EXPECT_EQ(table[idx[0]].rgbBlue, 0);
    EXPECT_EQ(table[idx[1]].rgbRed + table[idx[1]].rgbGreen + table[idx[1]].rgbBlue, 0);
    EXPECT_EQ(table[idx[2]].rgbRed + table[idx[2]].rgbGreen + table[idx[2]].rgbBlue, 3 * 255);

    // Back to 24 bits through the same path KQRGBImage uses.
    KQDIBSection back;
    ASSERT_TRUE(back.ConvertFrom(&eight, 24, nullptr));
    const uint8_t* bits = static_cast<const uint8_t*>(back.GetBits());
    EXPECT_EQ(bits[2], 255);
    EXPECT_EQ(bits[0] + bits[1], 0);

    // 4 bits: the first 16 entries of the stock palette.
    KQDIBSection four;
    ASSERT_TRUE(four.ConvertFrom(&source, 4, nullptr));
    EXPECT_EQ(four.GetColorCount(), 16);
    PALETTEENTRY stock[16];
    ASSERT_EQ(GetPaletteEntries(static_cast<HPALETTE>(GetStockObject(DEFAULT_PALETTE)), 0, 16, stock), 16u);
    const RGBQUAD* t4 = four.GetColors();
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(t4[i].rgbRed, stock[i].peRed) << i;
    const uint8_t first = static_cast<const uint8_t*>(four.GetBits())[0];
    EXPECT_EQ(t4[first >> 4].rgbRed, 255);  // red is entry 13 of the stock palette
    EXPECT_EQ(t4[first & 15].rgbRed + t4[first & 15].rgbGreen + t4[first & 15].rgbBlue, 0);

    // A given table is used as it is. Blits match the centre of each
    // colour's 5-bit cell: black finds grey 4, white grey 252.
    RGBQUAD grey[256];
    for (int i = 0; i < 256; ++i)
        grey[i] = RGBQUAD{static_cast<BYTE>(i), static_cast<BYTE>(i), static_cast<BYTE>(i), 0};
    KQDIBSection greys;
    ASSERT_TRUE(greys.ConvertFrom(&source, 8, grey));
    EXPECT_EQ(static_cast<const uint8_t*>(greys.GetBits())[1], 4);
    EXPECT_EQ(static_cast<const uint8_t*>(greys.GetBits())[2], 252);
}

TEST(DIBConvert, OneBitTargetIsBlackAndWhite)
{
    PackedDib p(2, 1, 24);
    const uint8_t row[6] = {255, 255, 255, 0, 0, 0};
    std::memcpy(p.Row(0), row, 6);
    KQDIBSection source, mono;
    ASSERT_TRUE(p.CreateIn(source));
    ASSERT_TRUE(mono.ConvertFrom(&source, 1, nullptr));
    ASSERT_NE(mono.GetBitmap(), nullptr);
    EXPECT_EQ(mono.GetColorCount(), 2);
    EXPECT_EQ(static_cast<const uint8_t*>(mono.GetBits())[0] & 0xC0, 0x80);

    KQDIBSection empty, target;
    EXPECT_FALSE(target.ConvertFrom(&empty, 24, nullptr));
    EXPECT_FALSE(target.ConvertFrom(nullptr, 24, nullptr));
}

TEST(DIBConvert, ConversionTableChoice)
{
    KQDIBInfo src{}, dst{};
    src.bmiHeader.biBitCount = 4;
    src.bmiColors[3] = RGBQUAD{1, 2, 3, 0};
    dst.bmiHeader.biBitCount = 4;
    EXPECT_TRUE(KQSetConversionColorTable(&src.bmiHeader, reinterpret_cast<BITMAPINFO*>(&dst)));
    EXPECT_EQ(dst.bmiColors[3].rgbRed, 3);
    dst.bmiHeader.biBitCount = 1;
    EXPECT_FALSE(KQSetConversionColorTable(&src.bmiHeader, reinterpret_cast<BITMAPINFO*>(&dst)));
    EXPECT_EQ(dst.bmiColors[0].rgbRed, 0);
    EXPECT_EQ(dst.bmiColors[1].rgbBlue, 255);
    dst.bmiHeader.biBitCount = 8;
    src.bmiHeader.biBitCount = 8;
    src.bmiColors[200] = RGBQUAD{9, 8, 7, 0};
    EXPECT_TRUE(KQSetConversionColorTable(&src.bmiHeader, reinterpret_cast<BITMAPINFO*>(&dst)));
    EXPECT_EQ(dst.bmiColors[200].rgbRed, 7);
    dst.bmiHeader.biBitCount = 24;
    EXPECT_TRUE(KQSetConversionColorTable(&src.bmiHeader, reinterpret_cast<BITMAPINFO*>(&dst)));
}

TEST(DIBScreen, TrueColourWithoutPalette)
{
    HDC screen = GetDC(nullptr);
    ASSERT_NE(screen, nullptr);
    EXPECT_FALSE(KQHasPaletteDevice(screen));
    EXPECT_EQ(GetDeviceCaps(screen, PLANES), 1);
    EXPECT_GE(GetDeviceCaps(screen, BITSPIXEL), 24);
    HDC memory = CreateCompatibleDC(screen);
    ASSERT_NE(memory, nullptr);
    EXPECT_EQ(GetDeviceCaps(memory, BITSPIXEL), GetDeviceCaps(screen, BITSPIXEL));
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
}

#ifdef KQ_UNICODE
TEST(DIBCreate, Create24AndFromImage)
{
    KQDIBSection dib;
    ASSERT_TRUE(dib.Create24(KQIntPair(5, 3)));
    EXPECT_EQ(dib.GetHeader().biBitCount, 24);
    EXPECT_EQ(dib.GetHeader().biHeight, 3);
    EXPECT_EQ(dib.GetHeader().biSizeImage, 48u);
    EXPECT_EQ(Entries(dib.GetPalette()).size(), 256u);
    EXPECT_FALSE(dib.Create24(KQIntPair(0, 3)));
    EXPECT_EQ(dib.GetBitmap(), nullptr);

    KQRGBImage image;
    ASSERT_TRUE(image.Alloc(3, 2, true));
    for (int i = 0; i < 18; ++i)
        image.Pixels()[i] = static_cast<ubyte>(i + 1);
    ASSERT_TRUE(dib.CreateFromImage(image));
    const uint8_t expected[24] = {3, 2, 1, 6, 5, 4, 9, 8, 7, 0, 0, 0, 12, 11, 10, 15, 14, 13, 18, 17, 16, 0, 0, 0};
    EXPECT_EQ(std::memcmp(dib.GetBits(), expected, 24), 0);

    KQRGBImage empty;
    EXPECT_FALSE(dib.CreateFromImage(empty));
    EXPECT_EQ(dib.GetBitmap(), nullptr);
    ASSERT_TRUE(empty.Alloc(4, 0, true));  // a side of 0: no pixels
    EXPECT_FALSE(dib.CreateFromImage(empty));
}
#endif

TEST(DIBScreen, DeviceBitmapFromDIB)
{
    // The thumbnail path: a 24-bit DIB drawn into a bitmap of the screen's
    // format through a memory DC.
    PackedDib p(3, 2, 24);
    const uint8_t bottom[9] = {0, 0, 255, 0, 255, 0, 255, 0, 0};  // red, green, blue
    const uint8_t top[9] = {255, 255, 255, 0, 0, 0, 128, 128, 128};
    std::memcpy(p.Row(0), bottom, 9);
    std::memcpy(p.Row(1), top, 9);

    HDC memory = CreateCompatibleDC(nullptr);
    ASSERT_NE(memory, nullptr);
    HBITMAP bitmap = CreateBitmap(3, 2, static_cast<UINT>(GetDeviceCaps(memory, PLANES)),
                                  static_cast<UINT>(GetDeviceCaps(memory, BITSPIXEL)), nullptr);
    ASSERT_NE(bitmap, nullptr);
    BITMAP info;
    ASSERT_EQ(GetObject(bitmap, sizeof(info), &info), static_cast<int>(sizeof(info)));
    EXPECT_EQ(info.bmWidth, 3);
    EXPECT_EQ(info.bmHeight, 2);

    HGDIOBJ previous = SelectObject(memory, bitmap);
    ASSERT_NE(previous, nullptr);
    EXPECT_TRUE(PatBlt(memory, 0, 0, 3, 2, WHITENESS));
    EXPECT_EQ(GetPixel(memory, 1, 1), RGB(255, 255, 255));
    EXPECT_NE(SetStretchBltMode(memory, HALFTONE), 0);
    POINT origin;
    EXPECT_TRUE(SetBrushOrgEx(memory, 0, 0, &origin));
    EXPECT_EQ(StretchDIBits(memory, 0, 0, 3, 2, 0, 0, 3, 2, p.bits.data(), reinterpret_cast<const BITMAPINFO*>(&p.info),
                            DIB_RGB_COLORS, SRCCOPY),
              2);
    // Device rows run top down: the DIB's bottom row is y = 1.
    EXPECT_EQ(GetPixel(memory, 0, 1), RGB(255, 0, 0));
    EXPECT_EQ(GetPixel(memory, 1, 1), RGB(0, 255, 0));
    EXPECT_EQ(GetPixel(memory, 2, 1), RGB(0, 0, 255));
    EXPECT_EQ(GetPixel(memory, 0, 0), RGB(255, 255, 255));
    EXPECT_EQ(GetPixel(memory, 2, 0), RGB(128, 128, 128));
    SelectObject(memory, previous);
    DeleteDC(memory);
    EXPECT_TRUE(DeleteObject(bitmap));
}

TEST(DIBScreen, SectionsAndTables)
{
    // A bitmap lives in one DC at a time; its colour table is reached
    // through the DC it is selected into.
    PackedDib p(8, 8, 8);
    for (int i = 0; i < 256; ++i)
        p.SetColor(i, static_cast<uint8_t>(i), 0, 0);
    KQDIBSection dib;
    ASSERT_TRUE(p.CreateIn(dib));
    HDC a = CreateCompatibleDC(nullptr);
    HDC b = CreateCompatibleDC(nullptr);
    HGDIOBJ old = SelectObject(a, dib.GetBitmap());
    ASSERT_NE(old, nullptr);
    EXPECT_EQ(SelectObject(b, dib.GetBitmap()), nullptr);
    RGBQUAD colors[300];
    EXPECT_EQ(GetDIBColorTable(a, 250, 50, colors), 6u);
    EXPECT_EQ(colors[5].rgbRed, 255);
    RGBQUAD blue = {200, 0, 0, 0};
    EXPECT_EQ(SetDIBColorTable(a, 255, 4, &blue), 1u);
    EXPECT_EQ(GetDIBColorTable(a, 255, 1, colors), 1u);
    EXPECT_EQ(colors[0].rgbBlue, 200);
    SelectObject(a, old);
    DeleteDC(a);
    DeleteDC(b);

    // The stock palette: the 20 system colours.
    HPALETTE stock = static_cast<HPALETTE>(GetStockObject(DEFAULT_PALETTE));
    EXPECT_EQ(GetPaletteEntries(stock, 0, 0, nullptr), 20u);
    PALETTEENTRY e[20];
    ASSERT_EQ(GetPaletteEntries(stock, 0, 20, e), 20u);
    ExpectEntry(e[0], 0, 0, 0);
    ExpectEntry(e[13], 255, 0, 0);
    ExpectEntry(e[19], 255, 255, 255);
    HDC screen = GetDC(nullptr);
    HPALETTE halftone = CreateHalftonePalette(screen);
    EXPECT_EQ(GetPaletteEntries(halftone, 0, 0, nullptr), 256u);
    DeleteObject(halftone);
    ReleaseDC(nullptr, screen);

    // Depths and compressions a DIB section cannot have.
    PackedDib rle(4, 4, 8, BI_RLE8);
    KQDIBSection refused;
    EXPECT_FALSE(rle.CreateIn(refused));
    PackedDib bf24(4, 4, 24, BI_BITFIELDS);
    EXPECT_FALSE(bf24.CreateIn(refused));
    PackedDib two(4, 4, 2);
    EXPECT_FALSE(two.CreateIn(refused));
}
