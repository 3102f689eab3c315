// Writers for the files Lintomel reads: a JPEG snapshot, a KQFx container
// holding it, and a binary KQF file with an image block. Used by the
// example generator and by the tests, which also build damaged variants.
#ifndef KQTHUMBEXAMPLEWRITER_H
#define KQTHUMBEXAMPLEWRITER_H

#include <bzlib.h>
#include <zip.h>

#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <jpeglib.h>

namespace kqexample {

typedef std::vector<unsigned char> Bytes;

// RGB pixels, rows top first, into a baseline JPEG of 3 components.
inline Bytes EncodeJpeg(const Bytes& rgb, int width, int height, int quality = 90)
{
    jpeg_compress_struct cinfo;
    jpeg_error_mgr jerr;
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_compress(&cinfo);
    unsigned char* out = nullptr;
    unsigned long outSize = 0;
    jpeg_mem_dest(&cinfo, &out, &outSize);
    cinfo.image_width = (JDIMENSION)width;
    cinfo.image_height = (JDIMENSION)height;
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, quality, TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = (JSAMPROW)&rgb[(size_t)cinfo.next_scanline * (size_t)width * 3];
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    Bytes result(out, out + outSize);
    jpeg_destroy_compress(&cinfo);
    std::free(out);
    return result;
}

inline Bytes Compress(const Bytes& data)
{
    unsigned int size = (unsigned int)(data.size() + data.size() / 100 + 1024);
    Bytes out(size);
    if (BZ2_bzBuffToBuffCompress((char*)out.data(), &size, (char*)const_cast<unsigned char*>(data.data()),
                                 (unsigned int)data.size(), 9, 0, 0) != BZ_OK)
        return Bytes();
    out.resize(size);
    return out;
}

// What goes into a binary KQF file. Pixels are R, G, B in the image's own
// row order (row 0 at the bottom), stored as they stand.
struct KqfLayout {
    int32_t width = 0;
    int32_t height = 0;
    Bytes pixels;
    bool otherByteOrder = false; // every word byte-reversed
    bool longHeader = false;
    bool form1 = false;          // header without extension, not compressed
    int32_t extensionLength = 4; // bytes from the flag word to the first block (4 or more)
    bool compressed = true;      // the header's compression flag
    bool rawInCompressed = false; // U = -1: raw pixels in a compressed file
    bool leading1022 = false;    // a block to skip before the image block
    int32_t headerLength = 100;  // H of the image block (96 or more)
    int32_t blockId = 1020;
    // Overrides for damaged files; INT32_MIN keeps the computed value.
    int32_t forceD = INT32_MIN;
    int32_t forceU = INT32_MIN;
    int32_t forceWidth = INT32_MIN;
    int32_t forceHeight = INT32_MIN;
    Bytes forceData; // replaces the block data when not empty
};

class KqfWriter {
public:
    explicit KqfWriter(bool swap) : swap(swap) {}
    void Word(int32_t v)
    {
        uint32_t u = (uint32_t)v;
        unsigned char b[4] = {(unsigned char)(u & 0xFF), (unsigned char)((u >> 8) & 0xFF),
                              (unsigned char)((u >> 16) & 0xFF), (unsigned char)(u >> 24)};
        if (swap)
            std::swap(b[0], b[3]), std::swap(b[1], b[2]);
        // Little-endian words unless swapped (the writer's machine order).
        out.insert(out.end(), b, b + 4);
    }
    void Raw(const Bytes& b) { out.insert(out.end(), b.begin(), b.end()); }
    void Zeros(size_t n) { out.insert(out.end(), n, 0); }
    Bytes out;

private:
    bool swap;
};

inline Bytes BuildKqf(const KqfLayout& s)
{
    KqfWriter w(s.otherByteOrder);
    bool compressedFile;
    w.Word(231272);
    w.Word(-160871);
    if (s.longHeader) {
        w.Word(-251271);
        w.Word(0);
        w.Word(0);
        w.Word(0);
    } else {
        w.Word(0);
    }
    // Both headers go on alike from the form word.
    if (s.form1) {
        w.Word(1);
        compressedFile = false;
    } else {
        w.Word(2);
        // The extension's length counts the compression flag.
        w.Word(s.extensionLength);
        w.Word(s.compressed ? 1 : 0);
        w.Zeros(s.extensionLength > 4 ? (size_t)(s.extensionLength - 4) : 0);
        compressedFile = s.compressed;
    }
    if (s.leading1022) {
        // A block of 8 header bytes after H and 12 data bytes.
        w.Word(1022);
        w.Word(0);
        w.Word(16);
        w.Word(12);
        w.Zeros(8);
        w.Zeros(12);
        w.Word(0); // trailing word
    }
    Bytes data;
    int32_t u = -1;
    int32_t n = s.width * s.height * 3;
    if (compressedFile && !s.rawInCompressed) {
        data = Compress(s.pixels);
        u = n;
    } else {
        data = s.pixels;
    }
    if (!s.forceData.empty())
        data = s.forceData;
    w.Word(s.blockId);
    w.Word(0);
    w.Word(s.headerLength);
    w.Word(s.forceD != INT32_MIN ? s.forceD : (int32_t)data.size());
    w.Zeros(80);
    w.Word(s.forceWidth != INT32_MIN ? s.forceWidth : s.width);
    w.Word(s.forceHeight != INT32_MIN ? s.forceHeight : s.height);
    if (s.headerLength > 96)
        w.Word(1);
    if (s.headerLength > 100)
        w.Zeros((size_t)(s.headerLength - 100));
    if (compressedFile)
        w.Word(s.forceU != INT32_MIN ? s.forceU : u);
    w.Raw(data);
    w.Word(0); // trailing word
    return w.out;
}

inline bool WriteFile(const std::string& path, const Bytes& data)
{
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        return false;
    bool ok = data.empty() || std::fwrite(data.data(), 1, data.size(), f) == data.size();
    return std::fclose(f) == 0 && ok;
}

// A zip archive of the given entries (names with '/').
inline bool WriteZip(const std::string& path, const std::vector<std::pair<std::string, Bytes>>& entries)
{
    int error = 0;
    zip_t* za = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    if (!za)
        return false;
    for (const auto& e : entries) {
        void* copy = std::malloc(e.second.size() ? e.second.size() : 1);
        if (!copy) {
            zip_discard(za);
            return false;
        }
        if (!e.second.empty())
            std::memcpy(copy, e.second.data(), e.second.size());
        zip_source_t* src = zip_source_buffer(za, copy, e.second.size(), 1);
        if (!src) {
            std::free(copy);
            zip_discard(za);
            return false;
        }
        if (zip_file_add(za, e.first.c_str(), src, ZIP_FL_OVERWRITE | ZIP_FL_ENC_UTF_8) < 0) {
            zip_source_free(src);
            zip_discard(za);
            return false;
        }
    }
    if (zip_close(za) != 0) {
        zip_discard(za);
        return false;
    }
    return true;
}

// A picture worth looking at: a sky-to-ground gradient with a shaded ball,
// rows top first.
inline Bytes Picture(int width, int height)
{
    Bytes rgb((size_t)width * (size_t)height * 3);
    double cx = width * 0.5, cy = height * 0.45, r = (width < height ? width : height) * 0.32;
    for (int y = 0; y < height; y++) {
        for (int x = 0; x < width; x++) {
            unsigned char* p = &rgb[((size_t)y * (size_t)width + (size_t)x) * 3];
            double t = (double)y / (height > 1 ? height - 1 : 1);
            p[0] = (unsigned char)(40 + 60 * t);
            p[1] = (unsigned char)(90 + 80 * t);
            p[2] = (unsigned char)(200 - 120 * t);
            double dx = (x - cx) / r, dy = (y - cy) / r, d2 = dx * dx + dy * dy;
            if (d2 <= 1.0) {
                double light = 0.35 + 0.65 * (1.0 - ((dx + 0.4) * (dx + 0.4) + (dy + 0.4) * (dy + 0.4)) / 2.0);
                light = light < 0.2 ? 0.2 : (light > 1.0 ? 1.0 : light);
                p[0] = (unsigned char)(230 * light);
                p[1] = (unsigned char)(120 * light);
                p[2] = (unsigned char)(40 * light);
            }
        }
    }
    return rgb;
}

// Rows top first into the bottom-up order of the image block.
inline Bytes BottomUp(const Bytes& rgb, int width, int height)
{
    Bytes out(rgb.size());
    size_t row = (size_t)width * 3;
    for (int y = 0; y < height; y++)
        std::memcpy(&out[(size_t)(height - 1 - y) * row], &rgb[(size_t)y * row], row);
    return out;
}

} // namespace kqexample

#endif
