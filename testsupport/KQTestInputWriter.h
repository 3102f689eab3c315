// Writers for the files the two products read: JPEG snapshots, zip archives
// (office packages and KQFx containers), binary KQF files with an image
// block, BMP files, and plain files, which it also reads back whole. Used by
// the example generators, the tests (which also build damaged variants), the
// fuzz seeds, the benchmarks and the scripts' checks; built as the
// kqtestinputs library, so that only its sources see libjpeg, bzip2 and
// libzip.
#ifndef KQTESTINPUTWRITER_H
#define KQTESTINPUTWRITER_H

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace kqinput {

typedef std::vector<unsigned char> Bytes;

struct JpegSettings {
    int quality = 90;
    int components = 3;  // 1 grey, 3 R, G, B, 4 CMYK
    bool progressive = false;
    bool fullChroma = false;  // every component at full resolution (no subsampling)
    bool arithmetic = false;  // arithmetic coding in place of Huffman coding
};

// Samples, rows top first, into a JPEG.
Bytes EncodeJpeg(const Bytes& samples, int width, int height, const JpegSettings& settings);
// RGB pixels, rows top first, into a baseline JPEG of 3 components.
Bytes EncodeJpeg(const Bytes& rgb, int width, int height, int quality = 90);

// bzip2 at block size 9; empty when it fails.
Bytes Compress(const Bytes& data);

// What goes into a binary KQF file. Pixels are R, G, B in the image's own
// row order (row 0 at the bottom), stored as they stand.
struct KqfLayout {
    int32_t width = 0;
    int32_t height = 0;
    Bytes pixels;
    bool otherByteOrder = false;  // every word byte-reversed
    bool longHeader = false;
    bool form1 = false;            // header without extension, not compressed
    int32_t extensionLength = 4;   // bytes from the flag word to the first block (4 or more)
    bool compressed = true;        // the header's compression flag
    bool rawInCompressed = false;  // U = -1: raw pixels in a compressed file
    bool leading1022 = false;      // a block to skip before the image block
    int32_t headerLength = 100;    // H of the image block (96 or more)
    int32_t blockId = 1020;
    // Overrides for damaged files; INT32_MIN keeps the computed value.
    int32_t forceD = INT32_MIN;
    int32_t forceU = INT32_MIN;
    int32_t forceWidth = INT32_MIN;
    int32_t forceHeight = INT32_MIN;
    Bytes forceData;  // replaces the block data when not empty
};

Bytes BuildKqf(const KqfLayout& s);

bool WriteFile(const std::filesystem::path& path, const void* data, size_t size);
bool WriteFile(const std::filesystem::path& path, const Bytes& data);
bool WriteFile(const std::filesystem::path& path, const std::string& data);
// The whole file, as Bytes or as std::string; empty when it cannot be read.
template <class Data = Bytes>
Data ReadFile(const std::filesystem::path& path);

// Compression of one zip entry: a libzip method (ZIP_CM_*) and level.
struct ZipMethod {
    int32_t method;
    uint32_t level;
};

struct ZipSettings {
    time_t stamp = 0;  // modification time of every entry; 0: the time of writing
    // Compression of entry i (by position and name); unset: libzip's default.
    std::function<ZipMethod(size_t i, const std::string& name)> method;
};

// A new zip archive at path (whatever was there is removed first) holding
// the given entries in order, their names stored as given (as UTF-8;
// packages and containers use '/').
bool WriteZip(const std::string& path, const std::vector<std::pair<std::string, Bytes>>& entries,
              const ZipSettings& settings = ZipSettings());
bool WriteZip(const std::string& path, const std::vector<std::pair<std::string, std::string>>& entries,
              const ZipSettings& settings = ZipSettings());

// Zip records written field by field, as the caller states them, for the
// archives libzip will not write: claims the data does not back, zip64
// records on small archives, data streamed in or left as a hole. Each
// appends to out; values are little-endian, cut to the field's width.
void PutLe(Bytes& out, uint64_t value, int bytes);

// A stored entry as its local header and directory record describe it.
struct StoredRecord {
    std::string name;
    uint16_t madeBy = 20;  // directory record only
    uint16_t needed = 20;  // version needed to extract
    uint32_t stamp = 0;    // DOS time and date
    uint32_t crc = 0;
    uint32_t size = 0;    // both sizes; 0xFFFFFFFF when a zip64 field holds them
    uint32_t offset = 0;  // directory record only: where the local header starts
};

// The name follows the fixed fields, then the extra field.
void PutLocalHeader(Bytes& out, const StoredRecord& r, const Bytes& extra = Bytes());
void PutDirectoryRecord(Bytes& out, const StoredRecord& r, const Bytes& extra = Bytes());
// A zip64 extra field holding the given values (sizes, then offset).
Bytes Zip64Extra(const std::vector<uint64_t>& values);
// The CRC-32 of count zero bytes, without reading them: the checksum of an
// entry whose data is left as a hole in the file.
uint32_t ZerosCrc(uint64_t count);

// The zip64 end record, its locator (at: where that record starts) and the
// end record, for a directory of size bytes at offset holding count entries.
void PutZip64End(Bytes& out, uint64_t count, uint64_t size, uint64_t offset, uint16_t needed = 45);
void PutZip64Locator(Bytes& out, uint64_t at);
void PutZipEnd(Bytes& out, uint16_t count, uint32_t size, uint32_t offset);

// A BMP file written field by field: a 14-byte file header, a 40-byte
// information header, the colour table (or bit-field masks) and the pixel
// rows as given, with the fields a damaged file gets wrong as overrides.
struct BmpLayout {
    int32_t width = 1;
    int32_t height = 1;
    int bitCount = 24;
    uint32_t compression = 0;
    uint32_t clrUsed = 0;
    uint32_t infoSize = 40;
    uint32_t sizeImage = 0;  // biSizeImage as written (0 is allowed for BI_RGB)
    uint16_t planes = 1;
    uint16_t type = 0x4D42;
    uint16_t reserved1 = 0;
    Bytes colors;             // colour table as written (4 bytes B, G, R, 0 each)
    Bytes pixels;             // rows as stored, bottom row first, padded
    int64_t sizeDelta = 0;    // bfSize = real size + sizeDelta
    bool zeroOffset = false;  // bfOffBits 0: data follows the table
    int64_t offsetDelta = 0;  // bfOffBits = real offset + offsetDelta
};

Bytes BuildBmp(const BmpLayout& s);
// Appends one colour table entry (B, G, R, 0).
void AddColor(Bytes& table, uint8_t r, uint8_t g, uint8_t b);
// Bytes in one stored row of a BMP: whole 32-bit words.
uint32_t Stride(int32_t width, int bitCount);

// A picture worth looking at: a sky-to-ground gradient with a shaded ball,
// rows top first.
Bytes Picture(int width, int height);

// Rows top first into the bottom-up order of the image block.
Bytes BottomUp(const Bytes& rgb, int width, int height);

// The opening of a one-slide presentation's [Content_Types].xml as an
// office suite writes it: the declaration, the root element, the defaults
// for .rels, .xml and .bin parts and the overrides of the presentation and
// its slide. The controls' overrides and the closing </Types> are the
// caller's.
std::string PresentationTypesOpening();

// The access ACL, as the system.posix_acl_access attribute holds it, that
// setfacl -m u:USER:rw writes for a 0640 file.
std::string AccessAcl(uint32_t user);

}  // namespace kqinput

#endif
