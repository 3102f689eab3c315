// Image file writers and the SGI RGB reader. The reader takes files from
// anywhere, so every size that comes out of a header is computed in 64 bits
// and checked against the file before anything is allocated or read.
#include "KQOImageImpExp.h"

#include <climits>
#include <cstring>

#include "KQOError.h"
#include "KQOFile.h"
#include "KQOImage.h"
#include "KQPlatform.h"
#include "KQRuntime.h"

namespace {

const char* const kSourceFile = ".\\KQOImageImpExp";

// Lines of the allocation report sites.
const int32 kLineBMPRow = 1519;
const int32 kLineTIFFStrips = 1002;
const int32 kLineSGIBuffers = 636;
const int32 kLineSGIOpenHandle = 230;
const int32 kLineSGIOpenRows = 285;
const int32 kLineSGIOpenTables = 306;
const int32 kLineSGIGetData = 404;

const uint16_t kSGIMagic = 474;
const int64 kSGIHeaderBytes = 512;

// Callers pass a KQRGBImage's block, whose byte count is an int32; anything
// else is refused before a file is created.
bool UsableImage(const ubyte* pixels, const KQIntPair& size)
{
    return pixels && size.x >= 1 && size.y >= 1 && static_cast<int64>(size.x) * size.y * 3 <= INT32_MAX;
}

// Buffered data only reaches the disk at the close: a failing close is a
// failed write.
bool CloseStream(FILE* file)
{
    const bool streamError = std::ferror(file) != 0;
    const bool closed = std::fclose(file) == 0;
    return closed && !streamError;
}

bool WriteBytes(FILE* file, const void* data, size_t n)
{
    return std::fwrite(data, 1, n, file) == n;
}

bool WriteBE16(FILE* file, uint32 value)
{
    const ubyte b[2] = {static_cast<ubyte>(value >> 8), static_cast<ubyte>(value)};
    return WriteBytes(file, b, 2);
}

bool WriteBE32(FILE* file, uint32 value)
{
    const ubyte b[4] = {static_cast<ubyte>(value >> 24), static_cast<ubyte>(value >> 16),
                        static_cast<ubyte>(value >> 8), static_cast<ubyte>(value)};
    return WriteBytes(file, b, 4);
}

bool WriteBE32Array(FILE* file, const uint32* values, int32 n)
{
    bool ok = true;
    for (int32 i = 0; i < n; ++i)
        ok = WriteBE32(file, values[i]) && ok;
    return ok;
}

// In-place conversion of big-endian values as read from a file.
void ConvertBE16(uint16_t* values, int64 n)
{
    for (int64 i = 0; i < n; ++i) {
        const ubyte* b = reinterpret_cast<const ubyte*>(values + i);
        values[i] = static_cast<uint16_t>((b[0] << 8) | b[1]);
    }
}

void ConvertBE32(uint32* values, int64 n)
{
    for (int64 i = 0; i < n; ++i) {
        const ubyte* b = reinterpret_cast<const ubyte*>(values + i);
        values[i] = (static_cast<uint32>(b[0]) << 24) | (static_cast<uint32>(b[1]) << 16) |
                    (static_cast<uint32>(b[2]) << 8) | b[3];
    }
}

void PutLE16(ubyte* at, uint32 value)
{
    at[0] = static_cast<ubyte>(value);
    at[1] = static_cast<ubyte>(value >> 8);
}

void PutLE32(ubyte* at, uint32 value)
{
    PutLE16(at, value & 0xFFFF);
    PutLE16(at + 2, value >> 16);
}

// Host-order writers of the TIFF file.
void WriteHost16(FILE* file, uint32 value)
{
    const uint16_t v = static_cast<uint16_t>(value);
    std::fwrite(&v, sizeof(v), 1, file);
}

void WriteHost32(FILE* file, uint32 value)
{
    std::fwrite(&value, sizeof(value), 1, file);
}

bool HostIsLittleEndian()
{
    const uint16_t probe = 1;
    ubyte first;
    std::memcpy(&first, &probe, 1);
    return first == 1;
}

// One channel of one row in SGI run-length packets, terminator included.
// Returns the encoded length, or -1 when it would not fit into capacity.
int32 EncodeSGIRow(const ubyte* samples, int32 count, ubyte* out, int32 capacity)
{
    int32 n = 0;
    bool overflow = false;
    auto put = [&](ubyte b) {
        if (n < capacity)
            out[n++] = b;
        else
            overflow = true;
    };
    int32 p = 0;
    while (p < count) {
        // Where the next run of three begins; the last two samples of a row
        // that start no such run always go out as repeats.
        int32 q = p;
        if (count - p >= 3) {
            q = -1;
            for (int32 i = p; i + 2 < count; ++i) {
                if (samples[i] == samples[i + 1] && samples[i + 1] == samples[i + 2]) {
                    q = i;
                    break;
                }
            }
            if (q < 0)
                q = count - 2;
        }
        while (p < q) {
            const int32 k = q - p < 126 ? q - p : 126;
            put(static_cast<ubyte>(0x80 | k));
            for (int32 j = 0; j < k; ++j)
                put(samples[p + j]);
            p += k;
        }
        int32 r = q + 1;
        while (r < count && samples[r] == samples[q])
            ++r;
        for (int32 left = r - q; left > 0;) {
            const int32 k = left < 126 ? left : 126;
            put(static_cast<ubyte>(k));
            put(samples[q]);
            left -= k;
        }
        p = r;
    }
    put(0);
    return overflow ? -1 : n;
}

// What KQRawSGIImageOpen hands out for a file that passes the probe.
KQSGIImageHandle gProbeToken;

void ReleaseSGIBuffers(KQSGIImageHandle* h)
{
    KQFree(h->packetBuffer);
    KQFree(h->rowRed);
    KQFree(h->rowGreen);
    KQFree(h->rowBlue);
    KQFree(h->rowStart);
    KQFree(h->rowSize);
    h->packetBuffer = h->rowRed = h->rowGreen = h->rowBlue = nullptr;
    h->rowStart = h->rowSize = nullptr;
}

KQSGIImageHandle* AbandonSGI(KQSGIImageHandle* h)
{
    if (h->file)
        std::fclose(h->file);
    ReleaseSGIBuffers(h);
    KQFree(h);
    return nullptr;
}

}  // namespace

// ------------------------------------------------------------------ PPM

bool KQImageSaveRGBDataToPPM(const ubyte* pixels, const KQIntPair& size, const KQString& fileName)
{
    if (!UsableImage(pixels, size))
        return false;
    FILE* file = KQOpenStream(fileName, "wb");
    if (!file)
        return false;
    WriteBytes(file, "P6\n", 3);
    char text[64];
    const char* comment = "# Image dump, Quendrix ASA\n";
    bool ok = WriteBytes(file, comment, std::strlen(comment));
    int n = KQ_snprintf(text, sizeof(text), "%d %d\n", size.x, size.y);
    ok = ok && n > 0 && WriteBytes(file, text, static_cast<size_t>(n));
    n = KQ_snprintf(text, sizeof(text), "%d\n", 255);
    ok = ok && n > 0 && WriteBytes(file, text, static_cast<size_t>(n));
    const size_t rowBytes = static_cast<size_t>(size.x) * 3;
    for (int32 y = size.y - 1; ok && y >= 0; --y)
        ok = WriteBytes(file, pixels + rowBytes * y, rowBytes);
    if (!ok) {
        std::fclose(file);
        return false;
    }
    return CloseStream(file);
}

// ------------------------------------------------------------------ BMP

bool KQImageSaveRGBDataToBMP(const ubyte* pixels, const KQIntPair& size, const KQString& fileName)
{
    if (!UsableImage(pixels, size))
        return false;
    const int64 rowBytes = (static_cast<int64>(size.x) * 3 + 3) & ~static_cast<int64>(3);
    const int64 fileSize = 54 + rowBytes * size.y;
    if (fileSize > UINT32_MAX)
        return false;
    FILE* file = KQOpenStream(fileName, "wb");
    if (!file)
        return false;

    ubyte header[54];
    std::memset(header, 0, sizeof(header));
    header[0] = 'B';
    header[1] = 'M';
    PutLE32(header + 2, static_cast<uint32>(fileSize));
    PutLE32(header + 10, 54);
    PutLE32(header + 14, 40);
    PutLE32(header + 18, static_cast<uint32>(size.x));
    PutLE32(header + 22, static_cast<uint32>(size.y));
    PutLE16(header + 26, 1);
    PutLE16(header + 28, 24);
    if (!WriteBytes(file, header, 14) || !WriteBytes(file, header + 14, 40)) {
        std::fclose(file);
        return false;
    }

    ubyte* row = static_cast<ubyte*>(KQMalloc(static_cast<int32>(rowBytes)));
    if (!row) {
        std::fclose(file);
        return KQAllocError("KQImageSaveRGBDataToBMP()", kSourceFile, kLineBMPRow);
    }
    std::memset(row, 0, static_cast<size_t>(rowBytes));
    for (int32 y = 0; y < size.y; ++y) {
        const ubyte* src = pixels + static_cast<size_t>(y) * size.x * 3;
        for (int32 x = 0; x < size.x; ++x) {
            row[x * 3] = src[x * 3 + 2];
            row[x * 3 + 1] = src[x * 3 + 1];
            row[x * 3 + 2] = src[x * 3];
        }
        if (!WriteBytes(file, row, static_cast<size_t>(rowBytes))) {
            std::fclose(file);
            KQFree(row);
            return false;
        }
    }
    KQFree(row);
    return CloseStream(file);
}

// ----------------------------------------------------------------- TIFF

bool KQImageSaveRGBDataToTIFF(const ubyte* pixels, const KQIntPair& size, const KQString& fileName)
{
    if (!UsableImage(pixels, size))
        return false;
    const int64 rowBytes = static_cast<int64>(size.x) * 3;
    const int64 total = rowBytes * size.y;
    // Rows wider than 8192 bytes still need a whole row per strip.
    int64 rowsPerStrip = 8192 / rowBytes;
    if (rowsPerStrip < 1)
        rowsPerStrip = 1;
    const int64 stripBytes = rowsPerStrip * rowBytes;
    const int64 stripCount = total / stripBytes + (total % stripBytes ? 1 : 0);

    FILE* file = KQOpenStream(fileName, "wb");
    if (!file)
        return false;
    uint32* offsets = static_cast<uint32*>(KQMalloc(static_cast<int32>(stripCount * 4)));
    uint32* counts = static_cast<uint32*>(KQMalloc(static_cast<int32>(stripCount * 4)));
    if (!offsets || !counts) {
        KQFree(offsets);
        KQFree(counts);
        std::fclose(file);
        return KQAllocError("KQImageSaveRGBDataToTIFF()", kSourceFile, kLineTIFFStrips);
    }
    for (int64 k = 0; k < stripCount; ++k) {
        offsets[k] = static_cast<uint32>(8 + k * stripBytes);
        counts[k] = static_cast<uint32>(k + 1 < stripCount ? stripBytes : total - k * stripBytes);
    }
    const uint32 ifd = static_cast<uint32>(8 + total + (total & 1));

    // Header in the host's byte order; the strips follow it top row first.
    WriteBytes(file, HostIsLittleEndian() ? "II" : "MM", 2);
    WriteHost16(file, 42);
    WriteHost32(file, ifd);
    for (int32 i = 0; i < size.y; ++i)
        WriteBytes(file, pixels + static_cast<size_t>(size.y - 1 - i) * static_cast<size_t>(rowBytes),
                   static_cast<size_t>(rowBytes));
    if (total & 1)
        WriteBytes(file, "", 1);

    // Values that do not fit into an entry follow the 150-byte directory.
    const uint32 bitsAt = ifd + 150;
    uint32 next = bitsAt + 6;
    uint32 offsetsAt = 0, countsAt = 0;
    if (stripCount > 1) {
        offsetsAt = next;
        countsAt = offsetsAt + static_cast<uint32>(stripCount * 4);
        next = countsAt + static_cast<uint32>(stripCount * 4);
    }
    const uint32 xResAt = next;
    const uint32 yResAt = xResAt + 8;

    auto entryLong = [&](uint32 tag, uint32 count, uint32 value) {
        WriteHost16(file, tag);
        WriteHost16(file, 4);
        WriteHost32(file, count);
        WriteHost32(file, value);
    };
    auto entryShort = [&](uint32 tag, uint32 count, uint32 value) {
        WriteHost16(file, tag);
        WriteHost16(file, 3);
        WriteHost32(file, count);
        if (count == 1) {
            WriteHost16(file, value);
            WriteHost16(file, 0);
        } else {
            WriteHost32(file, value);
        }
    };
    auto entryRational = [&](uint32 tag, uint32 at) {
        WriteHost16(file, tag);
        WriteHost16(file, 5);
        WriteHost32(file, 1);
        WriteHost32(file, at);
    };
    const uint32 n = static_cast<uint32>(stripCount);
    WriteHost16(file, 12);
    entryLong(256, 1, static_cast<uint32>(size.x));
    entryLong(257, 1, static_cast<uint32>(size.y));
    entryShort(258, 3, bitsAt);
    entryShort(259, 1, 1);
    entryShort(262, 1, 2);
    entryLong(273, n, n > 1 ? offsetsAt : offsets[0]);
    entryShort(277, 1, 3);
    entryLong(278, 1, static_cast<uint32>(rowsPerStrip));
    entryLong(279, n, n > 1 ? countsAt : counts[0]);
    entryRational(282, xResAt);
    entryRational(283, yResAt);
    entryShort(296, 1, 1);
    WriteHost32(file, 0);

    for (int i = 0; i < 3; ++i)
        WriteHost16(file, 8);
    if (n > 1) {
        std::fwrite(offsets, 4, n, file);
        std::fwrite(counts, 4, n, file);
    }
    WriteHost32(file, static_cast<uint32>(size.x));
    WriteHost32(file, 1);
    WriteHost32(file, static_cast<uint32>(size.y));
    WriteHost32(file, 1);

    KQFree(offsets);
    KQFree(counts);
    return CloseStream(file);
}

// -------------------------------------------------------------- SGI RGB

bool KQImageSaveRGBDataToSGIRGB(const ubyte* pixels, const KQIntPair& size, const KQString& fileName)
{
    // The header holds 16-bit sizes: larger images would be stored wrapped.
    if (!UsableImage(pixels, size) || size.x > 65535 || size.y > 65535)
        return false;
    const int32 w = size.x;
    const int32 h = size.y;
    FILE* file = KQOpenStream(fileName, "wb");
    if (!file)
        return false;

    ubyte zeros[512];
    std::memset(zeros, 0, sizeof(zeros));
    WriteBytes(file, zeros, sizeof(zeros));
    std::fseek(file, 0, SEEK_SET);
    WriteBE16(file, kSGIMagic);
    const ubyte storage[2] = {1, 1};  // run-length, one byte per channel
    WriteBytes(file, storage, 2);
    WriteBE16(file, 3);
    WriteBE16(file, static_cast<uint32>(w));
    WriteBE16(file, static_cast<uint32>(h));
    WriteBE16(file, 3);
    WriteBE32(file, 0);
    WriteBE32(file, 255);
    WriteBE32(file, 0);
    WriteBytes(file, "Image dump, Quendrix ASA", 24);
    if (std::ferror(file)) {
        std::fclose(file);
        return false;
    }

    const int32 entries = 3 * h;
    const int32 capacity = 2 * w + 10;
    uint32* start = static_cast<uint32*>(KQMalloc(entries * 4));
    uint32* length = static_cast<uint32*>(KQMalloc(entries * 4));
    ubyte* encoded = static_cast<ubyte*>(KQMalloc(capacity));
    ubyte* samples = static_cast<ubyte*>(KQMalloc(w));
    auto release = [&]() {
        KQFree(start);
        KQFree(length);
        KQFree(encoded);
        KQFree(samples);
    };
    if (!start || !length || !encoded || !samples) {
        release();
        std::fclose(file);
        return KQAllocError("KQImageSaveRGBDataToSGIRGB()", kSourceFile, kLineSGIBuffers);
    }

    int64 position = kSGIHeaderBytes + 8 * static_cast<int64>(entries);
    std::fseek(file, static_cast<long>(position), SEEK_SET);
    for (int32 y = 0; y < h; ++y) {
        const ubyte* row = pixels + static_cast<size_t>(y) * w * 3;
        for (int32 c = 0; c < 3; ++c) {
            for (int32 x = 0; x < w; ++x)
                samples[x] = row[x * 3 + c];
            const int32 n = EncodeSGIRow(samples, w, encoded, capacity);
            // The tables hold 32-bit offsets.
            if (n < 0 || position + n > UINT32_MAX) {
                release();
                std::fclose(file);
                return false;
            }
            WriteBytes(file, encoded, static_cast<size_t>(n));
            start[y + c * h] = static_cast<uint32>(position);
            length[y + c * h] = static_cast<uint32>(n);
            position += n;
        }
    }
    std::fseek(file, static_cast<long>(kSGIHeaderBytes), SEEK_SET);
    WriteBE32Array(file, start, entries);
    WriteBE32Array(file, length, entries);
    release();
    return CloseStream(file);
}

// ------------------------------------------------------------------ EPS

bool KQImageSaveRGBDataToEPS(const ubyte* pixels, const KQIntPair& size, const KQString& fileName, int32 bytesPerPixel)
{
    // More samples per pixel than the block holds would read past its end.
    if (!UsableImage(pixels, size) || bytesPerPixel < 1 || bytesPerPixel > 3)
        return false;
    const int32 w = size.x;
    const int32 h = size.y;
    // Text mode: every line ends with the platform's line end.
    FILE* file = KQOpenStream(fileName, "w");
    if (!file)
        return false;

    const KQIntRect box(0, 0, w - 1, h - 1);
    std::fputs("%!PS-Adobe-2.0 EPSF-2.0\n", file);
    std::fputs("%%Title: \n", file);
    std::fputs("%%Creator: \n", file);
    std::fprintf(file, "%%%%BoundingBox: %d %d %d %d\n", box.x0, box.y0, box.x1, box.y1);
    static const char* const kProlog[] = {"%%Pages: 1",
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
                                          ""};
    for (const char* line : kProlog) {
        std::fputs(line, file);
        std::fputc('\n', file);
    }
    std::fprintf(file, "/picstr %d string def\n\n", bytesPerPixel * w);
    std::fprintf(file, "%d %d scale\n\n", w, h);
    std::fprintf(file, "%d %d %d\n", w, h, 8);
    std::fprintf(file, "[%d 0 0 %d 0 0]\n", w, h);
    std::fputs("{currentfile picstr readhexstring pop}\n", file);
    std::fprintf(file, "false %d\n", bytesPerPixel);
    std::fputs("colorimage\n", file);

    static const char kHex[] = "0123456789abcdef";
    const int64 count = static_cast<int64>(bytesPerPixel) * w * h;
    char line[2 * 32 + 2];
    int32 used = 0;
    for (int64 i = 0; i < count; ++i) {
        line[used++] = kHex[pixels[i] >> 4];
        line[used++] = kHex[pixels[i] & 15];
        if (used == 64 || i + 1 == count) {
            line[used++] = '\n';
            line[used] = 0;
            used = 0;
            if (std::fputs(line, file) == EOF) {
                std::fclose(file);
                return false;
            }
        }
    }
    std::fputs("\nshowpage\n\nend\n\ngrestore\n\n", file);
    const bool lastWritten = std::fputc('\n', file) != EOF;
    return CloseStream(file) && lastWritten;
}

// ----------------------------------------------------------- SGI reader

KQSGIImageHandle* KQRawSGIImageOpen(const KQChar* fileName, bool probeOnly)
{
    KQSGIImageHandle* h = static_cast<KQSGIImageHandle*>(KQMalloc(sizeof(KQSGIImageHandle)));
    if (!h) {
        KQAllocError("KQRawSGIImageOpen()", kSourceFile, kLineSGIOpenHandle);
        return nullptr;
    }
    std::memset(h, 0, sizeof(*h));
    h->file = KQOpenStream(fileName, "rb");
    if (!h->file)
        return AbandonSGI(h);

    uint16_t header[6];
    if (std::fread(header, 1, sizeof(header), h->file) != sizeof(header))
        return AbandonSGI(h);
    ConvertBE16(header, 6);
    h->magic = header[0];
    h->storage = header[1];
    h->dimension = header[2];
    h->xsize = header[3];
    h->ysize = header[4];
    h->zsize = header[5];
    if (h->magic != kSGIMagic)
        return AbandonSGI(h);
    if (probeOnly) {
        AbandonSGI(h);
        return &gProbeToken;
    }

    // Only three-channel files of one byte per channel are read; the rest is
    // refused before anything is allocated.
    h->fileSize = KQFileLength(h->file);
    if ((h->storage & 0xFF) != 1 || h->zsize < 3 || h->fileSize < kSGIHeaderBytes)
        return AbandonSGI(h);
    const bool runLength = (h->storage >> 8) == 1;
    const int64 entries = static_cast<int64>(h->ysize) * h->zsize;
    if (runLength) {
        if (entries * 4 > INT32_MAX || kSGIHeaderBytes + 8 * entries > h->fileSize)
            return AbandonSGI(h);
    } else if (kSGIHeaderBytes + 3 * static_cast<int64>(h->xsize) * h->ysize > h->fileSize) {
        return AbandonSGI(h);
    }

    const int32 bufferBytes = 256 * static_cast<int32>(h->xsize);
    h->packetBuffer = static_cast<ubyte*>(KQMalloc(bufferBytes));
    h->rowRed = static_cast<ubyte*>(KQMalloc(bufferBytes));
    h->rowGreen = static_cast<ubyte*>(KQMalloc(bufferBytes));
    h->rowBlue = static_cast<ubyte*>(KQMalloc(bufferBytes));
    if (!h->packetBuffer || !h->rowRed || !h->rowGreen || !h->rowBlue) {
        AbandonSGI(h);
        KQAllocError("KQRawSGIImageOpen()", kSourceFile, kLineSGIOpenRows);
        return nullptr;
    }
    if (!runLength)
        return h;

    h->rowStart = static_cast<uint32*>(KQMalloc(static_cast<int32>(entries * 4)));
    h->rowSize = static_cast<uint32*>(KQMalloc(static_cast<int32>(entries * 4)));
    if (!h->rowStart || !h->rowSize) {
        AbandonSGI(h);
        KQAllocError("KQRawSGIImageOpen()", kSourceFile, kLineSGIOpenTables);
        return nullptr;
    }
    const size_t tableBytes = static_cast<size_t>(entries) * 4;
    if (!KQSetFilePosition(h->file, kSGIHeaderBytes) || std::fread(h->rowStart, 1, tableBytes, h->file) != tableBytes ||
        std::fread(h->rowSize, 1, tableBytes, h->file) != tableBytes)
        return AbandonSGI(h);
    ConvertBE32(h->rowStart, entries);
    ConvertBE32(h->rowSize, entries);
    return h;
}

bool KQRawSGIImageGetRow(KQSGIImageHandle* h, int32 channel, int32 row, ubyte* destination)
{
    if (!h || h == &gProbeToken || !h->file || !destination || channel < 0 || channel >= h->zsize || row < 0 ||
        row >= h->ysize)
        return false;
    const int64 xsize = h->xsize;
    const int64 index = row + static_cast<int64>(channel) * h->ysize;
    if (!h->rowStart) {
        const int64 at = kSGIHeaderBytes + xsize * index;
        return at + xsize <= h->fileSize && KQSetFilePosition(h->file, at) &&
               std::fread(destination, 1, static_cast<size_t>(xsize), h->file) == static_cast<size_t>(xsize);
    }

    // The stored row must fit the packet buffer and lie inside the file.
    const int64 bufferBytes = 256 * xsize;
    const int64 at = h->rowStart[index];
    const int64 stored = h->rowSize[index];
    if (stored > bufferBytes || at + stored > h->fileSize)
        return false;
    if (!KQSetFilePosition(h->file, at) ||
        std::fread(h->packetBuffer, 1, static_cast<size_t>(stored), h->file) != static_cast<size_t>(stored))
        return false;

    // A row that decodes short leaves black, not the previous row's samples.
    std::memset(destination, 0, static_cast<size_t>(xsize));
    const ubyte* in = h->packetBuffer;
    int64 pos = 0;
    int64 out = 0;
    while (pos < stored) {
        const ubyte b = in[pos++];
        const int64 n = b & 0x7F;
        if (n == 0)
            break;
        if (out + n > bufferBytes)
            return false;
        if (b & 0x80) {
            if (pos + n > stored)
                return false;
            std::memcpy(destination + out, in + pos, static_cast<size_t>(n));
            pos += n;
        } else {
            if (pos >= stored)
                return false;
            std::memset(destination + out, in[pos++], static_cast<size_t>(n));
        }
        out += n;
    }
    return true;
}

bool KQRawSGIImageGetData(KQSGIImageHandle* h, KQRGBImage& image)
{
    if (!h || h == &gProbeToken)
        return false;
    if (!image.Alloc(h->xsize, h->ysize, true))
        return KQAllocError("KQRawSGIImageGetData()", kSourceFile, kLineSGIGetData);
    ubyte* out = image.Pixels();
    for (int32 y = 0; y < h->ysize; ++y) {
        if (!KQRawSGIImageGetRow(h, 0, y, h->rowRed) || !KQRawSGIImageGetRow(h, 1, y, h->rowGreen) ||
            !KQRawSGIImageGetRow(h, 2, y, h->rowBlue)) {
            image.Free();
            return false;
        }
        for (int32 x = 0; x < h->xsize; ++x) {
            *out++ = h->rowRed[x];
            *out++ = h->rowGreen[x];
            *out++ = h->rowBlue[x];
        }
    }
    return true;
}

void KQRawSGIImageClose(KQSGIImageHandle* h)
{
    if (!h || h == &gProbeToken)
        return;
    AbandonSGI(h);
}

bool KQLoadSGIImage(const KQString& fileName, KQRGBImage& image)
{
    KQSGIImageHandle* h = KQRawSGIImageOpen(fileName.CStr(), false);
    if (!h)
        return false;
    const bool result = KQRawSGIImageGetData(h, image);
    KQRawSGIImageClose(h);
    return result;
}

// --------------------------------------------------------------- probes

bool KQIsBMPFile(const KQString& fileName)
{
    const int64 realSize = KQFileSize(fileName.CStr());
    FILE* file = KQOpenStream(fileName, "rb");
    if (!file)
        return false;
    ubyte b[14];
    const size_t n = std::fread(b, 1, sizeof(b), file);
    std::fclose(file);
    if (n != sizeof(b))
        return false;
    const uint32 sizeField = b[2] | (b[3] << 8) | (b[4] << 16) | (static_cast<uint32>(b[5]) << 24);
    return b[0] == 'B' && b[1] == 'M' && b[6] == 0 && b[7] == 0 && b[8] == 0 && b[9] == 0 &&
           static_cast<int64>(sizeField) == realSize;
}

bool KQIsSGIFile(const KQString& fileName)
{
    return KQRawSGIImageOpen(fileName.CStr(), true) != nullptr;
}
