// GIF87a writer. The pixels are brightened, dithered to the fixed 256-colour
// palette one row at a time (each row once, when its first pixel is asked
// for) and compressed with GIF's LZW variant.
#include "KQOImageGIF.h"

#include <climits>
#include <cmath>
#include <cstring>

#include "KQOError.h"
#include "KQOFile.h"
#include "KQPlatform.h"

namespace {

const char* const kSourceFile = ".\\KQOImageGIF";
const char* const kLabel = "KQImageSaveRGBDataToGIF()";

// Lines of the report sites.
const int32 kLineAlloc = 142;
const int32 kLineCreate = 170;
const int32 kLineClose = 191;

const float kGamma = 0.6666667f;

const int32 kMaxBits = 12;
const int32 kCodeLimit = 1 << kMaxBits;  // 4096
const int32 kHashSize = 5003;
const int32 kHashShift = 4;

const int32 kThreshold[16] = {0, 8, 2, 10, 12, 4, 14, 6, 3, 11, 1, 9, 15, 7, 13, 5};

struct Picture {
    int32 width = 0;
    int32 height = 0;
    const ubyte* pixels = nullptr;
    ubyte* red = nullptr;
    ubyte* green = nullptr;
    ubyte* blue = nullptr;
    uint16_t* indices = nullptr;
    int32 cachedRow = -1;
};

struct Scan {
    int32 column = 0;
    int32 row = 0;
    int64 left = 0;
    int32 width = 0;
};

struct Coder {
    int32 bits = 9;
    int32 maxCode = 511;
    int32 initialBits = 9;
    int32 clearCode = 256;
    int32 endCode = 257;
    int32 freeCode = 258;
    bool clearFlag = false;
    int32 hash[kHashSize];
    uint16_t code[kHashSize];
    uint32 accumulator = 0;
    int32 accumulatorBits = 0;
    ubyte block[256];
    int32 blockCount = 0;
    FILE* stream = nullptr;
};

Picture gPicture;
Scan gScan;
Coder gCoder;

KQGIFDitherTable gDitherRed;
KQGIFDitherTable gDitherGreen;
KQGIFDitherTable gDitherBlue;
bool gDitherBuilt = false;

ubyte gGammaTable[256];
float gGammaBuiltFor = 0.0f;

int32 MaxCodeOf(int32 bits)
{
    return (1 << bits) - 1;
}

void ReleaseRows()
{
    KQFree(gPicture.red);
    KQFree(gPicture.green);
    KQFree(gPicture.blue);
    KQFree(gPicture.indices);
    gPicture = Picture();
}

void FlushBlock()
{
    if (gCoder.blockCount > 0) {
        std::fputc(gCoder.blockCount, gCoder.stream);
        std::fwrite(gCoder.block, 1, static_cast<size_t>(gCoder.blockCount), gCoder.stream);
        gCoder.blockCount = 0;
    }
}

// Sub-blocks carry 254 data bytes, not the 255 the format allows.
void PutByte(int32 b)
{
    gCoder.block[gCoder.blockCount++] = static_cast<ubyte>(b);
    if (gCoder.blockCount >= 254)
        FlushBlock();
}

void ClearHash()
{
    for (int32 i = 0; i < kHashSize; ++i)
        gCoder.hash[i] = -1;
}

void PutWord(FILE* stream, int32 value)
{
    std::fputc(value & 0xFF, stream);
    std::fputc((value >> 8) & 0xFF, stream);
}

}  // namespace

KQGIFDitherTable KQGIFBuildDitherTable(int32 levels, int32 weight, int32 offset)
{
    KQGIFDitherTable table;
    const int32 k = 16 * levels - 15;
    for (int32 p = 0; p < 4; ++p) {
        for (int32 c = 0; c < 4; ++c) {
            const int32 d = kThreshold[4 * c + p];
            for (int32 v = 0; v < 256; ++v) {
                int32 f = v * k / 255;
                if (f == k)
                    f = k - 1;
                const int32 level = f / 16 + (f % 16 > d ? 1 : 0);
                table.entry[p][c][v] = static_cast<uint16_t>(offset + weight * level);
            }
        }
    }
    return table;
}

void KQGIFDitherRow(uint16_t indices[], const ubyte red[], const ubyte green[], const ubyte blue[], int32 count,
                    int32 row)
{
    if (!gDitherBuilt) {
        gDitherRed = KQGIFBuildDitherTable(8, 1, 0);
        gDitherGreen = KQGIFBuildDitherTable(8, 8, 0);
        gDitherBlue = KQGIFBuildDitherTable(4, 64, 0);
        gDitherBuilt = true;
    }
    const int32 p = row & 3;
    for (int32 x = 0; x < count; ++x) {
        const int32 c = x & 3;
        indices[x] = static_cast<uint16_t>(gDitherRed.entry[p][c][red[x]] + gDitherGreen.entry[p][c][green[x]] +
                                           gDitherBlue.entry[p][c][blue[x]]);
    }
}

void KQGIFApplyGamma(ubyte* bytes, float gamma, int32 count)
{
    if (gamma != gGammaBuiltFor) {
        for (int32 i = 0; i < 256; ++i) {
            const float base = static_cast<float>(i) / 255.0f;
            const float power = static_cast<float>(std::pow(static_cast<double>(base), static_cast<double>(gamma)));
            gGammaTable[i] = static_cast<ubyte>(static_cast<int32>(power * 255.0 + 0.5));
        }
        gGammaBuiltFor = gamma;
    }
    for (int32 i = 0; i < count; ++i)
        bytes[i] = gGammaTable[bytes[i]];
}

int32 KQGIFGetPixel(int32 x, int32 y)
{
    Picture& pic = gPicture;
    if (!pic.pixels || !pic.indices || x < 0 || x >= pic.width || y < 0 || y >= pic.height)
        return 0;
    if (y != pic.cachedRow) {
        const ubyte* src = pic.pixels + static_cast<size_t>(pic.height - 1 - y) * static_cast<size_t>(pic.width) * 3;
        for (int32 i = 0; i < pic.width; ++i) {
            pic.red[i] = src[i * 3];
            pic.green[i] = src[i * 3 + 1];
            pic.blue[i] = src[i * 3 + 2];
        }
        KQGIFApplyGamma(pic.red, kGamma, pic.width);
        KQGIFApplyGamma(pic.green, kGamma, pic.width);
        KQGIFApplyGamma(pic.blue, kGamma, pic.width);
        KQGIFDitherRow(pic.indices, pic.red, pic.green, pic.blue, pic.width, y);
        pic.cachedRow = y;
    }
    return pic.indices[x];
}

int32 KQGIFNextPixel(KQGIFPixelSource source)
{
    if (gScan.left <= 0 || !source)
        return -1;
    --gScan.left;
    const int32 index = source(gScan.column, gScan.row);
    if (++gScan.column >= gScan.width) {
        gScan.column = 0;
        ++gScan.row;
    }
    return index;
}

bool KQGIFOutputCode(int32 code)
{
    Coder& k = gCoder;
    k.accumulator &= (1u << k.accumulatorBits) - 1;
    k.accumulator |= static_cast<uint32>(code) << k.accumulatorBits;
    k.accumulatorBits += k.bits;
    while (k.accumulatorBits >= 8) {
        PutByte(static_cast<int32>(k.accumulator & 0xFF));
        k.accumulator >>= 8;
        k.accumulatorBits -= 8;
    }
    if (k.freeCode > k.maxCode || k.clearFlag) {
        if (k.clearFlag) {
            k.bits = k.initialBits;
            k.maxCode = MaxCodeOf(k.bits);
            k.clearFlag = false;
        } else {
            ++k.bits;
            k.maxCode = k.bits == kMaxBits ? kCodeLimit : MaxCodeOf(k.bits);
        }
    }
    if (code == k.endCode) {
        while (k.accumulatorBits > 0) {
            PutByte(static_cast<int32>(k.accumulator & 0xFF));
            k.accumulator >>= 8;
            k.accumulatorBits -= 8;
        }
        k.accumulatorBits = 0;
        FlushBlock();
        std::fflush(k.stream);
        if (std::ferror(k.stream))
            return false;
    }
    return true;
}

bool KQGIFCompress(int32 initialBits, FILE* stream, KQGIFPixelSource source)
{
    Coder& k = gCoder;
    k.stream = stream;
    k.initialBits = initialBits;
    k.bits = initialBits;
    k.maxCode = MaxCodeOf(initialBits);
    k.clearCode = 1 << (initialBits - 1);
    k.endCode = k.clearCode + 1;
    k.freeCode = k.clearCode + 2;
    k.clearFlag = false;
    k.accumulator = 0;
    k.accumulatorBits = 0;
    k.blockCount = 0;

    bool ok = true;
    int32 ent = KQGIFNextPixel(source);
    if (ent < 0)
        ent = 0;
    if (ent >= k.clearCode)
        ent &= k.clearCode - 1;
    ClearHash();
    ok = KQGIFOutputCode(k.clearCode) && ok;
    int32 c;
    while ((c = KQGIFNextPixel(source)) >= 0) {
        // Indices beyond the palette would probe outside the tables.
        if (c >= k.clearCode)
            c &= k.clearCode - 1;
        const int32 fcode = (c << kMaxBits) + ent;
        int32 i = (c << kHashShift) ^ ent;
        if (k.hash[i] == fcode) {
            ent = k.code[i];
            continue;
        }
        if (k.hash[i] >= 0) {
            const int32 step = i == 0 ? 1 : kHashSize - i;
            bool found = false;
            do {
                i -= step;
                if (i < 0)
                    i += kHashSize;
                if (k.hash[i] == fcode) {
                    found = true;
                    break;
                }
            } while (k.hash[i] > 0);
            if (found) {
                ent = k.code[i];
                continue;
            }
        }
        ok = KQGIFOutputCode(ent) && ok;
        ent = c;
        if (k.freeCode < kCodeLimit) {
            k.code[i] = static_cast<uint16_t>(k.freeCode++);
            k.hash[i] = fcode;
        } else {
            ClearHash();
            k.freeCode = k.clearCode + 2;
            k.clearFlag = true;
            ok = KQGIFOutputCode(k.clearCode) && ok;
        }
    }
    ok = KQGIFOutputCode(ent) && ok;
    ok = KQGIFOutputCode(k.endCode) && ok;
    k.stream = nullptr;
    return ok;
}

bool KQGIFEncode(FILE* stream, int32 width, int32 height, int32 background, int32 bitsPerPixel, const int32 red[],
                 const int32 green[], const int32 blue[], KQGIFPixelSource source)
{
    if (!stream || bitsPerPixel < 1 || bitsPerPixel > 8)
        return false;
    gScan = Scan();
    gScan.width = width;
    gScan.left = static_cast<int64>(width) * height;

    const int32 colors = 1 << bitsPerPixel;
    std::fwrite("GIF87a", 1, 6, stream);
    PutWord(stream, width);
    PutWord(stream, height);
    std::fputc(0x80 | ((bitsPerPixel - 1) << 4) | (bitsPerPixel - 1), stream);
    std::fputc(background, stream);
    std::fputc(0, stream);
    for (int32 i = 0; i < colors; ++i) {
        std::fputc(red[i], stream);
        std::fputc(green[i], stream);
        std::fputc(blue[i], stream);
    }
    std::fputc(',', stream);
    PutWord(stream, 0);
    PutWord(stream, 0);
    PutWord(stream, width);
    PutWord(stream, height);
    std::fputc(0, stream);

    const int32 codeSize = bitsPerPixel <= 1 ? 2 : bitsPerPixel;
    std::fputc(codeSize, stream);
    if (!KQGIFCompress(codeSize + 1, stream, source))
        return false;
    std::fputc(0, stream);
    std::fputc(';', stream);
    return true;
}

bool KQImageSaveRGBDataToGIF(const ubyte* pixels, const KQIntPair& size, const KQString& fileName)
{
    // The file's fields are 16 bits wide; a larger side would be stored wrapped.
    if (!pixels || size.x < 1 || size.y < 1 || size.x > 65535 || size.y > 65535)
        return false;
    gPicture = Picture();
    gPicture.width = size.x;
    gPicture.height = size.y;
    gPicture.pixels = pixels;
    gPicture.red = static_cast<ubyte*>(KQMalloc(size.x + 1));
    gPicture.green = static_cast<ubyte*>(KQMalloc(size.x + 1));
    gPicture.blue = static_cast<ubyte*>(KQMalloc(size.x + 1));
    gPicture.indices = static_cast<uint16_t*>(KQMalloc((size.x + 1) * 2));
    if (!gPicture.red || !gPicture.green || !gPicture.blue || !gPicture.indices) {
        ReleaseRows();
        return KQAllocError(kLabel, kSourceFile, kLineAlloc);
    }

    int32 red[256], green[256], blue[256];
    for (int32 i = 0; i < 256; ++i) {
        red[i] = (i & 7) * 255 / 7;
        green[i] = ((i >> 3) & 7) * 255 / 7;
        blue[i] = ((i >> 6) & 3) * 85;
    }
    gPicture.cachedRow = -1;

    FILE* stream = KQOpenStream(fileName, "wb");
    if (!stream) {
        ReleaseRows();
        return KQDebugError(kLabel, kSourceFile, kLineCreate, "Cannot create file: %s", fileName.CStr());
    }
    if (!KQGIFEncode(stream, size.x, size.y, 0, 8, red, green, blue, KQGIFGetPixel)) {
        std::fclose(stream);
        ReleaseRows();
        return false;
    }
    if (std::fclose(stream) != 0) {
        ReleaseRows();
        return KQDebugError(kLabel, kSourceFile, kLineClose, "Cannot close file: %s", fileName.CStr());
    }
    ReleaseRows();
    return true;
}
