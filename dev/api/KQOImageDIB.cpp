// DIB sections: creation from packed DIBs, depth conversion through GDI,
// palettes and the BMP reader.
#include "KQOImageDIB.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "KQOFile.h"
#include "KQOImage.h"

namespace {

const char* const kSourceFile = ".\\KQOImageDIB";

const int32 kErrAllocation = 1002;
const int32 kErrFileOpen = 1104;
const int32 kErrFileRead = 1105;
const int32 kErrFilePosition = 1108;
const int32 kErrFileFormat = 1109;

// Lines of the raising sites of the BMP reader.
const int32 kLineLoadOpen = 752;
const int32 kLineLoadFileHeader = 768;
const int32 kLineLoadFileHeaderFormat = 779;
const int32 kLineLoadInfoHeader = 788;
const int32 kLineLoadInfoHeaderFormat = 798;
const int32 kLineLoadColors = 813;
const int32 kLineLoadImageSize = 827;
const int32 kLineLoadAlloc = 835;
const int32 kLineLoadSeek = 846;
const int32 kLineLoadPixels = 855;

// Logical palette with room for every entry a section can have.
struct KQLogPalette256 {
    WORD palVersion;
    WORD palNumEntries;
    PALETTEENTRY palPalEntry[256];
};

const LOGPALETTE* AsLogPalette(const KQLogPalette256& p)
{
    return reinterpret_cast<const LOGPALETTE*>(&p);
}

// The colour table that follows a header in memory.
RGBQUAD* ColorsAfter(BITMAPINFO* info)
{
    return reinterpret_cast<RGBQUAD*>(reinterpret_cast<ubyte*>(info) + sizeof(BITMAPINFOHEADER));
}
const RGBQUAD* ColorsAfter(const BITMAPINFOHEADER* header)
{
    return reinterpret_cast<const RGBQUAD*>(reinterpret_cast<const ubyte*>(header) + sizeof(BITMAPINFOHEADER));
}

// Stride times height of a bitmap, signs included, in 64 bits: -1 when
// exactly one of the two is negative, INT64_MAX past 32 bits.
int64 ImageBytes(int64 width, int64 height, int64 bitCount)
{
    const int64 stride = (width * bitCount + 31) / 32 * 4;  // int32 width times a 16-bit depth fits
    if (stride == 0 || height == 0)
        return 0;
    if ((stride < 0) != (height < 0))
        return -1;
    const int64 a = stride < 0 ? -stride : stride;
    const int64 b = height < 0 ? -height : height;
    return a > INT32_MAX / b ? INT64_MAX : a * b;
}

// Header of a new uncompressed section on a zeroed header: resolutions and
// colour counts stay 0.
void SetPlainHeader(BITMAPINFOHEADER& h, LONG width, LONG height, int32 bitCount, int64 imageBytes)
{
    h.biSize = sizeof(BITMAPINFOHEADER);
    h.biWidth = width;
    h.biHeight = height;
    h.biPlanes = 1;
    h.biBitCount = static_cast<WORD>(bitCount);
    h.biCompression = BI_RGB;
    h.biSizeImage = static_cast<DWORD>(imageBytes);
}

void FromPaletteEntries(const PALETTEENTRY* entries, UINT n, RGBQUAD* colors)
{
    for (UINT i = 0; i < n; ++i) {
        colors[i].rgbRed = entries[i].peRed;
        colors[i].rgbGreen = entries[i].peGreen;
        colors[i].rgbBlue = entries[i].peBlue;
        colors[i].rgbReserved = entries[i].peFlags;
    }
}

}  // namespace

// ---------------------------------------------------------------------------
// Free functions

int32 KQDIBStride(int32 width, int32 bitCount)
{
    int64 stride = (static_cast<int64>(width) * bitCount + 31) / 32 * 4;
    return (stride > INT32_MAX || stride < INT32_MIN) ? -1 : static_cast<int32>(stride);
}

int32 KQDIBPaletteSize(int32 bitCount)
{
    switch (bitCount) {
    case 1:
        return 2;
    case 4:
        return 16;
    case 8:
        return 256;
    default:
        return 0;
    }
}

int32 KQDIBColorCount(const BITMAPINFOHEADER* header)
{
    if (!header)
        return 0;
    // A count read from a file may exceed every table; keep it positive so
    // that callers limiting it to 256 stay in bounds.
    if (header->biClrUsed != 0)
        return header->biClrUsed > INT32_MAX ? INT32_MAX : static_cast<int32>(header->biClrUsed);
    switch (header->biBitCount) {
    case 16:
    case 32:
        return header->biCompression != BI_RGB ? 3 : 0;
    default:
        return KQDIBPaletteSize(header->biBitCount);
    }
}

bool KQHasPaletteDevice(HDC dc)
{
    return (GetDeviceCaps(dc, RASTERCAPS) & RC_PALETTE) != 0;
}

PALETTEENTRY KQDefaultPaletteEntry(int32 index)
{
    static const BYTE system[16][3] = {
        {0, 0, 0},     {255, 255, 255}, {0, 0, 255},     {0, 255, 0},     {0, 255, 255}, {255, 0, 0},
        {255, 0, 255}, {255, 255, 0},   {0, 0, 128},     {0, 128, 0},     {0, 128, 128}, {128, 0, 0},
        {128, 0, 128}, {128, 128, 0},   {128, 128, 128}, {192, 192, 192},
    };
    PALETTEENTRY e = {0, 0, 0, 0};
    if (index < 0 || index > 255)
        return e;
    if (index < 16) {
        e.peRed = system[index][0];
        e.peGreen = system[index][1];
        e.peBlue = system[index][2];
    } else if (index < 232) {
        int32 cube = index - 16;  // red varies fastest, blue slowest
        e.peRed = static_cast<BYTE>(cube % 6 * 51);
        e.peGreen = static_cast<BYTE>(cube / 6 % 6 * 51);
        e.peBlue = static_cast<BYTE>(cube / 36 * 51);
    } else {
        BYTE grey = static_cast<BYTE>((index - 232) * 255 / 23);
        e.peRed = e.peGreen = e.peBlue = grey;
    }
    return e;
}

bool KQBuildDefaultPalette(HPALETTE* palette, int32 count)
{
    if (!palette)
        return false;
    if (*palette) {
        DeleteObject(*palette);
        *palette = nullptr;
    }
    if (count <= 0 || count > 256)
        count = 256;
    KQLogPalette256 log;
    log.palVersion = 0x300;
    log.palNumEntries = static_cast<WORD>(count);
    for (int32 i = 0; i < count; ++i)
        log.palPalEntry[i] = KQDefaultPaletteEntry(i);
    *palette = CreatePalette(AsLogPalette(log));
    return *palette != nullptr;
}

bool KQSetConversionColorTable(const BITMAPINFOHEADER* source, BITMAPINFO* target)
{
    if (!source || !target)
        return false;
    RGBQUAD* colors = ColorsAfter(target);
    switch (target->bmiHeader.biBitCount) {
    case 1:
        std::memset(colors, 0, 2 * sizeof(RGBQUAD));
        colors[1].rgbRed = colors[1].rgbGreen = colors[1].rgbBlue = 255;
        return false;
    case 4:
        if (source->biBitCount == 4) {
            std::memcpy(colors, ColorsAfter(source), 16 * sizeof(RGBQUAD));
        } else {
            PALETTEENTRY entries[16];
            std::memset(entries, 0, sizeof(entries));
            HPALETTE stock = static_cast<HPALETTE>(GetStockObject(DEFAULT_PALETTE));
            GetPaletteEntries(stock, 0, 16, entries);
            FromPaletteEntries(entries, 16, colors);
        }
        return true;
    case 8:
        if (source->biBitCount > 8) {
            PALETTEENTRY entries[256];
            std::memset(entries, 0, sizeof(entries));
            HDC screen = GetDC(nullptr);
            HPALETTE halftone = CreateHalftonePalette(screen);
            if (halftone) {
                GetPaletteEntries(halftone, 0, 256, entries);
                DeleteObject(halftone);
            }
            if (screen)
                ReleaseDC(nullptr, screen);
            FromPaletteEntries(entries, 256, colors);
        } else {
            std::memcpy(colors, ColorsAfter(source), 256 * sizeof(RGBQUAD));
        }
        return true;
    default:
        return true;
    }
}

// ---------------------------------------------------------------------------
// KQDIBSection

KQDIBSection::KQDIBSection() : KQObject(), KQErrorBase(false), bitmap(nullptr), palette(nullptr), reserved(0)
{
    SetClassName("KQDIBSection");
    bits = nullptr;
    Free();
}

KQDIBSection::~KQDIBSection()
{
    Free();
}

void KQDIBSection::Free()
{
    if (bitmap)
        DeleteObject(bitmap);
    if (palette)
        DeleteObject(palette);
    bitmap = nullptr;
    palette = nullptr;
    bits = nullptr;
    std::memset(&bmi, 0, sizeof(bmi));
    colorUsage = DIB_RGB_COLORS;
    colorCount = 0;
}

bool KQDIBSection::CreateFromPacked(const BITMAPINFO* info, const void* source)
{
    Free();
    if (!info || !source)
        return false;
    const BITMAPINFOHEADER& header = info->bmiHeader;
    // Smaller (core) headers have another layout; larger ones would make
    // GDI look for the colour table past the 40 bytes copied here.
    if (header.biSize < sizeof(BITMAPINFOHEADER))
        return false;
    int32 n = KQDIBColorCount(&header);
    colorCount = n < 0 ? 0 : (n > 256 ? 256 : n);
    std::memcpy(&bmi.bmiHeader, &header, sizeof(BITMAPINFOHEADER));
    bmi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    std::memcpy(bmi.bmiColors, ColorsAfter(&header), static_cast<size_t>(colorCount) * sizeof(RGBQUAD));

    HDC screen = GetDC(nullptr);
    if (!screen) {
        Free();
        return false;
    }
    bitmap = CreateDIBSection(screen, GetInfo(), colorUsage, &bits, nullptr, 0);
    ReleaseDC(nullptr, screen);
    if (!bitmap || !bits) {
        Free();
        return false;
    }

    // Never copy more than the section holds, whatever biSizeImage claims.
    const int64 height = header.biHeight < 0 ? -static_cast<int64>(header.biHeight) : header.biHeight;
    const int64 sectionBytes = ImageBytes(header.biWidth, height, header.biBitCount);
    int64 count = header.biSizeImage ? static_cast<int64>(header.biSizeImage) : sectionBytes;
    if (count > sectionBytes)
        count = sectionBytes;
    GdiFlush();
    if (count > 0)
        std::memcpy(bits, source, static_cast<size_t>(count));

    if (!BuildPalette()) {
        Free();
        return false;
    }
    return true;
}

bool KQDIBSection::ConvertFrom(const KQDIBSection* source, int32 bitCount, const RGBQUAD* colors)
{
    Free();
    if (!source || !source->bitmap)
        return false;
    const BITMAPINFOHEADER& from = source->bmi.bmiHeader;
    if (bitCount == 0)
        bitCount = from.biBitCount;
    const LONG width = from.biWidth;
    const LONG height = from.biHeight;
    const int64 rows = height < 0 ? -static_cast<int64>(height) : height;
    const int64 imageBytes = ImageBytes(width, rows, bitCount);
    if (bitCount <= 0 || bitCount > 32 || imageBytes < 0 || imageBytes > INT32_MAX)
        return false;

    SetPlainHeader(bmi.bmiHeader, width, height, bitCount, imageBytes);
    colorCount = KQDIBPaletteSize(bitCount);
    if (colors) {
        std::memcpy(bmi.bmiColors, colors, sizeof(bmi.bmiColors));
    } else {
        // A 1-bit target gets black and white (the false result) and is
        // converted like any other.
        KQSetConversionColorTable(&from, reinterpret_cast<BITMAPINFO*>(&bmi));
    }

    HDC screen = GetDC(nullptr);
    if (!screen) {
        Free();
        return false;
    }
    bitmap = CreateDIBSection(screen, GetInfo(), colorUsage, &bits, nullptr, 0);
    HDC sourceDC = CreateCompatibleDC(screen);
    HDC targetDC = CreateCompatibleDC(screen);
    if (!bitmap || !bits || !sourceDC || !targetDC) {
        ReleaseDC(nullptr, screen);
        if (sourceDC)
            DeleteDC(sourceDC);
        if (targetDC)
            DeleteDC(targetDC);
        Free();
        return false;
    }

    HPALETTE oldPalette = nullptr;
    if (source->palette && KQHasPaletteDevice(sourceDC)) {
        oldPalette = SelectPalette(sourceDC, source->palette, FALSE);
        RealizePalette(sourceDC);
    }
    GdiFlush();
    HGDIOBJ oldSource = SelectObject(sourceDC, source->bitmap);
    HGDIOBJ oldTarget = SelectObject(targetDC, bitmap);
    if (bitCount <= 8)
        SetDIBColorTable(targetDC, 0, 1u << bitCount, bmi.bmiColors);
    // A blit that did not happen leaves a black picture: report it.
    bool copied =
        oldSource && oldTarget && BitBlt(targetDC, 0, 0, width, static_cast<int>(rows), sourceDC, 0, 0, SRCCOPY);
    GdiFlush();
    if (oldSource)
        SelectObject(sourceDC, oldSource);
    if (oldTarget)
        SelectObject(targetDC, oldTarget);
    if (oldPalette)
        SelectPalette(sourceDC, oldPalette, FALSE);
    DeleteDC(sourceDC);
    DeleteDC(targetDC);
    ReleaseDC(nullptr, screen);

    if (!copied || !BuildPalette()) {
        Free();
        return false;
    }
    return true;
}

bool KQDIBSection::BuildPalette()
{
    if (palette) {
        DeleteObject(palette);
        palette = nullptr;
    }
    if (!bitmap)
        return false;
    if (colorCount == 0)
        return KQBuildDefaultPalette(&palette, 256);

    HDC screen = GetDC(nullptr);
    if (!screen)
        return false;
    RGBQUAD* table = static_cast<RGBQUAD*>(std::malloc(static_cast<size_t>(colorCount) * sizeof(RGBQUAD)));
    HDC memory = CreateCompatibleDC(screen);
    ReleaseDC(nullptr, screen);
    UINT read = 0;
    if (table && memory) {
        HGDIOBJ previous = SelectObject(memory, bitmap);
        if (previous) {
            read = GetDIBColorTable(memory, 0, static_cast<UINT>(colorCount), table);
            SelectObject(memory, previous);
        }
    }
    if (read == 0) {
        std::free(table);
        if (memory)
            DeleteDC(memory);
        return KQBuildDefaultPalette(&palette, colorCount);
    }

    KQLogPalette256 log;
    log.palVersion = 0x300;
    log.palNumEntries = static_cast<WORD>(colorCount);
    for (int32 i = 0; i < colorCount; ++i) {
        PALETTEENTRY& e = log.palPalEntry[i];
        if (static_cast<UINT>(i) < read) {
            e.peRed = table[i].rgbRed;
            e.peGreen = table[i].rgbGreen;
            e.peBlue = table[i].rgbBlue;
        } else {
            e.peRed = e.peGreen = e.peBlue = 0;
        }
        e.peFlags = 0;
    }
    std::free(table);
    DeleteDC(memory);
    palette = CreatePalette(AsLogPalette(log));
    return palette != nullptr;
}

bool KQDIBSection::Load(const KQString& fileName)
{
    Free();
    FILE* file = KQOpenStream(fileName, "rb");
    // Every failure closes the file (when open) and records its site.
    auto fail = [&](int32 line, int32 code) {
        if (file)
            std::fclose(file);
        return SetError(KQErrorLocation(kSourceFile, "KQDIBSection::Load()", line), code, KQString());
    };
    if (!file)
        return fail(kLineLoadOpen, kErrFileOpen);
    const int64 fileSize = KQFileLength(file);

    BITMAPFILEHEADER fileHeader;
    if (std::fread(&fileHeader, sizeof(fileHeader), 1, file) != 1)
        return fail(kLineLoadFileHeader, kErrFileRead);
    if (fileHeader.bfType != 0x4D42 || fileHeader.bfReserved1 != 0 || fileHeader.bfReserved2 != 0 ||
        static_cast<int64>(fileHeader.bfSize) != fileSize)
        return fail(kLineLoadFileHeaderFormat, kErrFileFormat);

    KQDIBInfo packed;
    std::memset(&packed, 0, sizeof(packed));
    BITMAPINFOHEADER& header = packed.bmiHeader;
    if (std::fread(&header, sizeof(header), 1, file) != 1)
        return fail(kLineLoadInfoHeader, kErrFileRead);
    if (header.biSize != sizeof(BITMAPINFOHEADER) || header.biPlanes != 1 || header.biCompression != BI_RGB)
        return fail(kLineLoadInfoHeaderFormat, kErrFileFormat);

    const int32 colors = KQDIBColorCount(&header);
    int64 dataStart = static_cast<int64>(sizeof(fileHeader)) + static_cast<int64>(sizeof(header));
    if (colors > 0) {
        const size_t n = colors > 256 ? 256 : static_cast<size_t>(colors);
        if (std::fread(packed.bmiColors, sizeof(RGBQUAD), n, file) != n)
            return fail(kLineLoadColors, kErrFileRead);
        header.biClrUsed = static_cast<DWORD>(n);
        dataStart += static_cast<int64>(n * sizeof(RGBQUAD));
    }
    if (fileHeader.bfOffBits != 0)
        dataStart = fileHeader.bfOffBits;

    // Stride times height with their signs, but in 64 bits, so that no width,
    // height or depth wraps it into a small positive size. A negative result
    // (a top-down file) never fits; the room after the offset is measured in
    // unsigned 32 bits, as the file header states it.
    const int64 imageBytes = ImageBytes(header.biWidth, header.biHeight, header.biBitCount);
    if (imageBytes < 0 || imageBytes > INT32_MAX ||
        static_cast<uint32>(imageBytes) > static_cast<uint32>(fileHeader.bfSize - fileHeader.bfOffBits))
        return fail(kLineLoadImageSize, kErrFileRead);
    // An offset past the end wraps that room into a huge one. Pixel data the
    // file does not hold from where it starts cannot be read, so it fails as
    // that read would, before a buffer of its claimed size is allocated: a
    // few header bytes must not claim hundreds of megabytes.
    if (dataStart > fileSize || imageBytes > fileSize - dataStart)
        return fail(kLineLoadPixels, kErrFileRead);

    void* data = std::malloc(static_cast<size_t>(imageBytes));
    if (!data)
        return fail(kLineLoadAlloc, kErrAllocation);
    if (fileHeader.bfOffBits != 0 && std::fseek(file, static_cast<long>(fileHeader.bfOffBits), SEEK_SET) != 0) {
        std::free(data);
        return fail(kLineLoadSeek, kErrFilePosition);
    }
    if (std::fread(data, 1, static_cast<size_t>(imageBytes), file) != static_cast<size_t>(imageBytes)) {
        std::free(data);
        return fail(kLineLoadPixels, kErrFileRead);
    }
    std::fclose(file);
    header.biSizeImage = static_cast<DWORD>(imageBytes);
    bool result = CreateFromPacked(reinterpret_cast<const BITMAPINFO*>(&packed), data);
    std::free(data);
    return result;
}

#ifdef KQ_UNICODE

bool KQDIBSection::Create24(const KQIntPair& size)
{
    Free();
    const int64 imageBytes = ImageBytes(size.x, size.y, 24);
    if (size.x < 1 || size.y < 1 || imageBytes > INT32_MAX)
        return false;
    SetPlainHeader(bmi.bmiHeader, size.x, size.y, 24, imageBytes);
    colorCount = KQDIBPaletteSize(24);

    HDC screen = GetDC(nullptr);
    if (screen) {
        bitmap = CreateDIBSection(screen, GetInfo(), DIB_RGB_COLORS, &bits, nullptr, 0);
        ReleaseDC(nullptr, screen);
    }
    if (bitmap && BuildPalette()) {
        GdiFlush();
        return true;
    }
    Free();
    return false;
}

bool KQDIBSection::CreateFromImage(const KQRGBImage& image)
{
    Free();
    const KQIntPair size = image.Size();
    if (size.IsZero())
        return false;
    const ubyte* source = image.Pixels();
    const int32 bytesPerPixel = image.BytesPerPixel();
    if (!source || bytesPerPixel < 3)
        return false;
    if (!Create24(size))
        return false;
    if (!bits) {
        Free();
        return false;
    }
    const size_t stride = static_cast<size_t>(KQDIBStride(size.x, 24));
    ubyte* target = static_cast<ubyte*>(bits);
    for (int32 r = 0; r < size.y; ++r) {
        ubyte* row = target + static_cast<size_t>(r) * stride;
        for (int32 c = 0; c < size.x; ++c) {
            row[3 * c] = source[2];
            row[3 * c + 1] = source[1];
            row[3 * c + 2] = source[0];
            source += bytesPerPixel;
        }
    }
    return true;
}

#endif
