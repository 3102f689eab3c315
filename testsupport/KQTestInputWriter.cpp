#include "KQTestInputWriter.h"

#include <bzlib.h>
#include <zip.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

#include <jpeglib.h>

namespace kqinput {

Bytes EncodeJpeg(const Bytes& samples, int width, int height, const JpegSettings& settings)
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
    cinfo.input_components = settings.components;
    cinfo.in_color_space = settings.components == 3 ? JCS_RGB : (settings.components == 1 ? JCS_GRAYSCALE : JCS_CMYK);
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, settings.quality, TRUE);
    if (settings.fullChroma) {
        for (int c = 0; c < cinfo.num_components; ++c) {
            cinfo.comp_info[c].h_samp_factor = 1;
            cinfo.comp_info[c].v_samp_factor = 1;
        }
    }
    if (settings.progressive)
        jpeg_simple_progression(&cinfo);
    cinfo.arith_code = settings.arithmetic ? TRUE : FALSE;
    jpeg_start_compress(&cinfo, TRUE);
    const size_t rowLength = (size_t)width * (size_t)settings.components;
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(&samples[(size_t)cinfo.next_scanline * rowLength]);
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    Bytes result(out, out + outSize);
    jpeg_destroy_compress(&cinfo);
    std::free(out);
    return result;
}

Bytes EncodeJpeg(const Bytes& rgb, int width, int height, int quality)
{
    JpegSettings settings;
    settings.quality = quality;
    return EncodeJpeg(rgb, width, height, settings);
}

Bytes Compress(const Bytes& data)
{
    unsigned int size = (unsigned int)(data.size() + data.size() / 100 + 1024);
    Bytes out(size);
    if (BZ2_bzBuffToBuffCompress((char*)out.data(), &size, (char*)const_cast<unsigned char*>(data.data()),
                                 (unsigned int)data.size(), 9, 0, 0) != BZ_OK)
        return Bytes();
    out.resize(size);
    return out;
}

namespace {

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

}  // namespace

Bytes BuildKqf(const KqfLayout& s)
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
        w.Word(0);  // trailing word
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
    w.Word(0);  // trailing word
    return w.out;
}

bool WriteFile(const std::filesystem::path& path, const void* data, size_t size)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (size)
        out.write(static_cast<const char*>(data), (std::streamsize)size);
    out.close();
    return !out.fail();
}

bool WriteFile(const std::filesystem::path& path, const Bytes& data)
{
    return WriteFile(path, data.data(), data.size());
}

bool WriteFile(const std::filesystem::path& path, const std::string& data)
{
    return WriteFile(path, data.data(), data.size());
}

template <class Data>
Data ReadFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return Data(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

template Bytes ReadFile<Bytes>(const std::filesystem::path& path);
template std::string ReadFile<std::string>(const std::filesystem::path& path);

namespace {

template <class Data>
bool WriteZipOf(const std::string& path, const std::vector<std::pair<std::string, Data>>& entries,
                const ZipSettings& settings)
{
    std::remove(path.c_str());
    int error = 0;
    zip_t* za = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    if (!za)
        return false;
    for (size_t i = 0; i < entries.size(); ++i) {
        const std::string& name = entries[i].first;
        const Data& data = entries[i].second;
        // libzip reads added data at close and frees this copy itself. It
        // frees no block of length 0, so an empty entry gets none.
        void* copy = data.empty() ? nullptr : std::malloc(data.size());
        if (!data.empty() && !copy) {
            zip_discard(za);
            return false;
        }
        if (copy)
            std::memcpy(copy, data.data(), data.size());
        zip_source_t* src = zip_source_buffer(za, copy, data.size(), 1);
        zip_int64_t index = src ? zip_file_add(za, name.c_str(), src, ZIP_FL_ENC_UTF_8) : -1;
        bool ok = index >= 0;
        if (!ok) {
            if (src)
                zip_source_free(src);
            else
                std::free(copy);
        }
        if (ok && settings.method) {
            ZipMethod m = settings.method(i, name);
            ok = zip_set_file_compression(za, (zip_uint64_t)index, m.method, m.level) == 0;
        }
        if (ok && settings.stamp)
            ok = zip_file_set_mtime(za, (zip_uint64_t)index, settings.stamp, 0) == 0;
        if (!ok) {
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

}  // namespace

bool WriteZip(const std::string& path, const std::vector<std::pair<std::string, Bytes>>& entries,
              const ZipSettings& settings)
{
    return WriteZipOf(path, entries, settings);
}

bool WriteZip(const std::string& path, const std::vector<std::pair<std::string, std::string>>& entries,
              const ZipSettings& settings)
{
    return WriteZipOf(path, entries, settings);
}

void PutLe(Bytes& out, uint64_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        out.push_back((unsigned char)(value >> (8 * i)));
}

namespace {

// What the local header and the directory record both hold, in the same
// order: from the version needed to extract to the extra field's length.
void PutEntryFields(Bytes& out, const StoredRecord& r, const Bytes& extra)
{
    PutLe(out, r.needed, 2);
    PutLe(out, 0, 2);  // flags
    PutLe(out, 0, 2);  // stored
    PutLe(out, r.stamp, 4);
    PutLe(out, r.crc, 4);
    PutLe(out, r.size, 4);
    PutLe(out, r.size, 4);
    PutLe(out, r.name.size(), 2);
    PutLe(out, extra.size(), 2);
}

void PutNameAndExtra(Bytes& out, const StoredRecord& r, const Bytes& extra)
{
    out.insert(out.end(), r.name.begin(), r.name.end());
    out.insert(out.end(), extra.begin(), extra.end());
}

}  // namespace

void PutLocalHeader(Bytes& out, const StoredRecord& r, const Bytes& extra)
{
    PutLe(out, 0x04034b50, 4);
    PutEntryFields(out, r, extra);
    PutNameAndExtra(out, r, extra);
}

void PutDirectoryRecord(Bytes& out, const StoredRecord& r, const Bytes& extra)
{
    PutLe(out, 0x02014b50, 4);
    PutLe(out, r.madeBy, 2);
    PutEntryFields(out, r, extra);
    PutLe(out, 0, 2);  // comment
    PutLe(out, 0, 2);  // disk
    PutLe(out, 0, 2);  // internal attributes
    PutLe(out, 0, 4);  // external attributes
    PutLe(out, r.offset, 4);
    PutNameAndExtra(out, r, extra);
}

Bytes Zip64Extra(const std::vector<uint64_t>& values)
{
    Bytes b;
    PutLe(b, 1, 2);
    PutLe(b, values.size() * 8, 2);
    for (uint64_t v : values)
        PutLe(b, v, 8);
    return b;
}

uint32_t ZerosCrc(uint64_t count)
{
    static const std::vector<unsigned char> zeros(1u << 20);
    const uLong block = crc32(0, zeros.data(), static_cast<uInt>(zeros.size()));
    uLong crc = crc32(0, nullptr, 0);
    for (; count >= zeros.size(); count -= zeros.size())
        crc = crc32_combine(crc, block, static_cast<z_off_t>(zeros.size()));
    return static_cast<uint32_t>(crc32(crc, zeros.data(), static_cast<uInt>(count)));
}

void PutZip64End(Bytes& out, uint64_t count, uint64_t size, uint64_t offset, uint16_t needed)
{
    PutLe(out, 0x06064b50, 4);
    PutLe(out, 44, 8);  // size of the rest of the record
    PutLe(out, 45, 2);  // made by
    PutLe(out, needed, 2);
    PutLe(out, 0, 4);  // disk
    PutLe(out, 0, 4);  // disk of the directory
    PutLe(out, count, 8);
    PutLe(out, count, 8);
    PutLe(out, size, 8);
    PutLe(out, offset, 8);
}

void PutZip64Locator(Bytes& out, uint64_t at)
{
    PutLe(out, 0x07064b50, 4);
    PutLe(out, 0, 4);  // disk of the zip64 end record
    PutLe(out, at, 8);
    PutLe(out, 1, 4);  // disks
}

void PutZipEnd(Bytes& out, uint16_t count, uint32_t size, uint32_t offset)
{
    PutLe(out, 0x06054b50, 4);
    PutLe(out, 0, 4);  // disks
    PutLe(out, count, 2);
    PutLe(out, count, 2);
    PutLe(out, size, 4);
    PutLe(out, offset, 4);
    PutLe(out, 0, 2);  // comment
}

Bytes BuildBmp(const BmpLayout& s)
{
    const uint32_t offset = 14 + 40 + (uint32_t)s.colors.size();
    const uint32_t total = offset + (uint32_t)s.pixels.size();
    Bytes b;
    PutLe(b, s.type, 2);
    PutLe(b, (uint32_t)(total + s.sizeDelta), 4);
    PutLe(b, s.reserved1, 2);
    PutLe(b, 0, 2);
    PutLe(b, s.zeroOffset ? 0 : (uint32_t)(offset + s.offsetDelta), 4);
    PutLe(b, s.infoSize, 4);
    PutLe(b, (uint32_t)s.width, 4);
    PutLe(b, (uint32_t)s.height, 4);
    PutLe(b, s.planes, 2);
    PutLe(b, (uint32_t)s.bitCount, 2);
    PutLe(b, s.compression, 4);
    PutLe(b, s.sizeImage, 4);
    PutLe(b, 2835, 4);  // 72 dots an inch, both ways
    PutLe(b, 2835, 4);
    PutLe(b, s.clrUsed, 4);
    PutLe(b, 0, 4);
    b.insert(b.end(), s.colors.begin(), s.colors.end());
    b.insert(b.end(), s.pixels.begin(), s.pixels.end());
    return b;
}

void AddColor(Bytes& table, uint8_t r, uint8_t g, uint8_t b)
{
    table.push_back(b);
    table.push_back(g);
    table.push_back(r);
    table.push_back(0);
}

uint32_t Stride(int32_t width, int bitCount)
{
    return ((uint32_t)width * (uint32_t)bitCount + 31) / 32 * 4;
}

Bytes Picture(int width, int height)
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

Bytes BottomUp(const Bytes& rgb, int width, int height)
{
    Bytes out(rgb.size());
    size_t row = (size_t)width * 3;
    for (int y = 0; y < height; y++)
        std::memcpy(&out[(size_t)(height - 1 - y) * row], &rgb[(size_t)y * row], row);
    return out;
}

std::string PresentationTypesOpening()
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n"
           "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\">"
           "<Default Extension=\"rels\" ContentType=\"application/vnd.openxmlformats-package.relationships+xml\"/>"
           "<Default Extension=\"xml\" ContentType=\"application/xml\"/>"
           "<Default Extension=\"bin\" ContentType=\"application/vnd.ms-office.activeX\"/>"
           "<Override PartName=\"/ppt/presentation.xml\" "
           "ContentType=\"application/vnd.openxmlformats-officedocument.presentationml.presentation.main+xml\"/>"
           "<Override PartName=\"/ppt/slides/slide1.xml\" "
           "ContentType=\"application/vnd.openxmlformats-officedocument.presentationml.slide+xml\"/>";
}

std::string AccessAcl(uint32_t user)
{
    struct Entry {
        uint16_t tag, perm;
        uint32_t id;
    };
    const Entry entries[] = {{0x01, 6, 0xFFFFFFFFu},
                             {0x02, 6, user},
                             {0x04, 4, 0xFFFFFFFFu},
                             {0x10, 6, 0xFFFFFFFFu},
                             {0x20, 0, 0xFFFFFFFFu}};
    const uint32_t version = 2;
    std::string acl(reinterpret_cast<const char*>(&version), sizeof(version));
    for (const Entry& e : entries) {
        acl.append(reinterpret_cast<const char*>(&e.tag), 2);
        acl.append(reinterpret_cast<const char*>(&e.perm), 2);
        acl.append(reinterpret_cast<const char*>(&e.id), 4);
    }
    return acl;
}

}  // namespace kqinput
