// Windows DIB section with its colour table and logical palette: the BMP
// reader of the library and the bridge that brings DIBs of any depth to
// 24 bits for KQRGBImage.
#ifndef KQOIMAGEDIB_H
#define KQOIMAGEDIB_H

#include "KQPlatform.h"

#include "KQOError.h"
#include "KQOObject.h"
#include "KQOString.h"
#include "KQOTypes.h"

class KQRGBImage;

// BITMAPINFO with room for a full colour table. With BI_BITFIELDS the first
// three entries hold the red, green and blue masks.
struct KQDIBInfo {
    BITMAPINFOHEADER bmiHeader;
    RGBQUAD bmiColors[256];
};

class KQDIBSection : public KQObject, public KQErrorBase {
public:
    KQDIBSection();
    ~KQDIBSection() override;
    KQDIBSection(const KQDIBSection&) = delete;
    KQDIBSection& operator=(const KQDIBSection&) = delete;

    // Releases the bitmap and the palette and zeroes the header.
    void Free();
    HPALETTE GetPalette() const { return palette; }

    // New section from a packed header, colour table and pixel bits.
    bool CreateFromPacked(const BITMAPINFO* info, const void* bits);
    // New section of bitCount bits (0: the source's) holding the source's
    // picture; colors, when given, is a table of 256 entries.
    bool ConvertFrom(const KQDIBSection* source, int32 bitCount, const RGBQUAD* colors);
    // Logical palette from the colour table, or the default palette.
    bool BuildPalette();
    // Reads an uncompressed bottom-up BMP file.
    bool Load(const KQString& fileName);

#ifdef KQ_UNICODE
    // New empty bottom-up 24-bit section of the given size.
    bool Create24(const KQIntPair& size);
    // New 24-bit section of the image's size holding its pixels (B, G, R).
    bool CreateFromImage(const KQRGBImage& image);
#endif

    // The header followed by the colour table (or the masks).
    const BITMAPINFO* GetInfo() const
    {
        return reinterpret_cast<const BITMAPINFO*>(&bmi);
    }
    const BITMAPINFOHEADER& GetHeader() const
    {
        return bmi.bmiHeader;
    }
    const RGBQUAD* GetColors() const
    {
        return bmi.bmiColors;
    }
    HBITMAP GetBitmap() const
    {
        return bitmap;
    }
    void* GetBits() const
    {
        return bits;
    }
    uint32 GetColorUsage() const
    {
        return colorUsage;
    }
    int32 GetColorCount() const
    {
        return colorCount;
    }

private:
    KQDIBInfo bmi;
    HBITMAP bitmap;
    void* bits;
    uint32 colorUsage;
    int32 colorCount;
    HPALETTE palette;
    [[maybe_unused]] int32 reserved;
};

// Bytes per row: (width * bitCount + 31) / 32 * 4; -1 when the result does
// not fit in 32 bits.
int32 KQDIBStride(int32 width, int32 bitCount);
// 2, 16 or 256 entries for 1, 4 or 8 bits, else 0.
int32 KQDIBPaletteSize(int32 bitCount);
// Colour-table entries a header asks for: biClrUsed when set, else the
// full table for 1, 4 and 8 bits, 3 masks for 16/32 bits that are not
// BI_RGB, else 0.
int32 KQDIBColorCount(const BITMAPINFOHEADER* header);
bool KQHasPaletteDevice(HDC dc);
// Replaces *palette by the library's default palette cut after count
// entries (a count outside 1..256 means 256).
bool KQBuildDefaultPalette(HPALETTE* palette, int32 count);
// Entry i (0..255) of the default palette.
PALETTEENTRY KQDefaultPaletteEntry(int32 index);
// Colour table of a conversion target, chosen by the target's bit count.
// The source header is followed in memory by its colour table. Returns
// false for a 1-bit target (black and white written).
bool KQSetConversionColorTable(const BITMAPINFOHEADER* source, BITMAPINFO* target);

#endif
