// Writes the starting corpora of the fuzz targets, one folder per target:
//   kqfuzz_seeds <folder>
// gives <folder>/fuzz_dib, fuzz_jpeg_memory, fuzz_zip_xml, fuzz_embedder,
// fuzz_kqfx and fuzz_kqf. Every seed is made here: small BMPs written byte by
// byte, JPEGs encoded with libjpeg, zips written with libzip, KQF files with
// raw and bzip2-compressed image blocks in both byte orders.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include <bzlib.h>
#include <jpeglib.h>
#include <zip.h>

#include "KQFuzzSupport.h"

namespace {

using Bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;

bool Save(const fs::path& path, const Bytes& bytes)
{
    FILE* f = std::fopen(path.string().c_str(), "wb");
    if (!f)
        return false;
    bool ok = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

void Put16(Bytes& b, uint32_t v)
{
    b.push_back(v & 0xff);
    b.push_back((v >> 8) & 0xff);
}
void Put32(Bytes& b, uint32_t v)
{
    Put16(b, v & 0xffff);
    Put16(b, v >> 16);
}

// --- BMP -------------------------------------------------------------------

Bytes Bmp(int32_t width, int32_t height, uint16_t bitCount, uint32_t compression)
{
    const uint32_t stride = (static_cast<uint32_t>(width) * bitCount + 31) / 32 * 4;
    const uint32_t colors = bitCount <= 8 ? (1u << bitCount) : (compression == 3 ? 3 : 0);
    const uint32_t offset = 14 + 40 + colors * 4;
    const uint32_t imageSize = stride * static_cast<uint32_t>(height);
    Bytes b;
    b.push_back('B');
    b.push_back('M');
    Put32(b, offset + imageSize);
    Put32(b, 0);
    Put32(b, offset);
    Put32(b, 40);
    Put32(b, static_cast<uint32_t>(width));
    Put32(b, static_cast<uint32_t>(height));
    Put16(b, 1);
    Put16(b, bitCount);
    Put32(b, compression);
    Put32(b, imageSize);
    Put32(b, 2835);
    Put32(b, 2835);
    Put32(b, bitCount <= 8 ? colors : 0);
    Put32(b, 0);
    if (compression == 3) {
        const bool wide = bitCount == 32;
        Put32(b, wide ? 0xff0000 : 0xf800);
        Put32(b, wide ? 0x00ff00 : 0x07e0);
        Put32(b, wide ? 0x0000ff : 0x001f);
    } else {
        for (uint32_t i = 0; i < colors; ++i) {
            b.push_back(static_cast<uint8_t>(i * 7));
            b.push_back(static_cast<uint8_t>(255 - i));
            b.push_back(static_cast<uint8_t>(i * 3));
            b.push_back(0);
        }
    }
    for (uint32_t i = 0; i < imageSize; ++i)
        b.push_back(static_cast<uint8_t>(i * 29 + 5));
    return b;
}

// --- JPEG ------------------------------------------------------------------

Bytes Jpeg(int width, int height, int components, bool progressive, int quality)
{
    unsigned char* out = nullptr;
    unsigned long outSize = 0;
    jpeg_compress_struct cinfo;
    jpeg_error_mgr err;
    cinfo.err = jpeg_std_error(&err);
    jpeg_create_compress(&cinfo);
    jpeg_mem_dest(&cinfo, &out, &outSize);
    cinfo.image_width = static_cast<JDIMENSION>(width);
    cinfo.image_height = static_cast<JDIMENSION>(height);
    cinfo.input_components = components;
    cinfo.in_color_space = components == 3 ? JCS_RGB : JCS_GRAYSCALE;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, quality, TRUE);
    if (progressive)
        jpeg_simple_progression(&cinfo);
    jpeg_start_compress(&cinfo, TRUE);
    std::vector<JSAMPLE> row(static_cast<size_t>(width) * components);
    while (cinfo.next_scanline < cinfo.image_height) {
        for (size_t i = 0; i < row.size(); ++i)
            row[i] = static_cast<JSAMPLE>(i * 5 + cinfo.next_scanline * 11);
        JSAMPROW p = row.data();
        jpeg_write_scanlines(&cinfo, &p, 1);
    }
    jpeg_finish_compress(&cinfo);
    Bytes bytes(out, out + outSize);
    jpeg_destroy_compress(&cinfo);
    std::free(out);
    return bytes;
}

// --- zip -------------------------------------------------------------------

struct Entry {
    std::string name;
    Bytes data;
    int32_t method; // ZIP_CM_STORE, ZIP_CM_DEFLATE, ZIP_CM_BZIP2
};

bool Zip(const fs::path& path, const std::vector<Entry>& entries)
{
    int error = 0;
    zip_t* za = zip_open(path.string().c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    if (!za)
        return false;
    for (const Entry& e : entries) {
        // libzip reads added data at close and frees it itself.
        // (An empty buffer is not taken over: none is made.)
        void* copy = e.data.empty() ? nullptr : std::malloc(e.data.size());
        if (!e.data.empty() && !copy) {
            zip_discard(za);
            return false;
        }
        if (!e.data.empty())
            std::memcpy(copy, e.data.data(), e.data.size());
        zip_source_t* src = zip_source_buffer(za, copy, e.data.size(), copy ? 1 : 0);
        zip_int64_t index = src ? zip_file_add(za, e.name.c_str(), src, ZIP_FL_ENC_UTF_8) : -1;
        if (index < 0) {
            if (src)
                zip_source_free(src);
            zip_discard(za);
            return false;
        }
        zip_set_file_compression(za, static_cast<zip_uint64_t>(index), e.method, 6);
    }
    return zip_close(za) == 0;
}

// --- Office packages ---------------------------------------------------------

const char* kViewerClassId = "{5C2E9A41-7B3D-4F08-9E6A-2D71C0B4F853}";

std::string Control(const char* classId, const std::string& fileURL)
{
    return std::string("<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n"
                       "<ax:ocx ax:classid=\"") + classId +
           "\" ax:persistence=\"persistPropertyBag\" "
           "xmlns:ax=\"http://schemas.microsoft.com/office/2006/activeX\" "
           "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\">"
           "<ax:ocxPr ax:name=\"Width\" ax:value=\"200\"/>"
           "<ax:ocxPr ax:name=\"FileURL\" ax:value=\"" + fileURL + "\"/></ax:ocx>";
}

std::vector<Entry> Package(bool presentation, const std::vector<std::string>& urls, bool withEmbedded)
{
    const std::string root = presentation ? "ppt" : "word";
    const std::string main = presentation ? "presentation.xml" : "document.xml";
    const std::string mainType = presentation
        ? "application/vnd.openxmlformats-officedocument.presentationml.presentation.main+xml"
        : "application/vnd.openxmlformats-officedocument.wordprocessingml.document.main+xml";
    std::string types =
        "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n"
        "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\">"
        "<Default Extension=\"rels\" ContentType=\"application/vnd.openxmlformats-package.relationships+xml\"/>"
        "<Default Extension=\"xml\" ContentType=\"application/xml\"/>"
        "<Override PartName=\"/" + root + "/" + main + "\" ContentType=\"" + mainType + "\"/>";
    std::string mainRels =
        "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n"
        "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">";
    std::vector<Entry> entries;
    for (size_t i = 0; i < urls.size(); ++i) {
        const std::string n = std::to_string(i + 1);
        types += "<Override PartName=\"/" + root + "/activeX/activeX" + n +
                 ".xml\" ContentType=\"application/vnd.ms-office.activeX+xml\"/>";
        entries.push_back({root + "/activeX/activeX" + n + ".xml",
                           Text(Control(i == 2 ? "{00000000-0000-0000-0000-000000000000}" : kViewerClassId, urls[i])),
                           ZIP_CM_DEFLATE});
        entries.push_back({root + "/activeX/activeX" + n + ".bin", Bytes(24, 0x11), ZIP_CM_STORE});
        entries.push_back({root + "/activeX/_rels/activeX" + n + ".xml.rels",
                           Text("<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n"
                                "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
                                "<Relationship Id=\"rId1\" Type=\"http://schemas.microsoft.com/office/2006/relationships/activeXControlBinary\" "
                                "Target=\"activeX" + n + ".bin\"/></Relationships>"),
                           ZIP_CM_DEFLATE});
    }
    if (withEmbedded) {
        types += "<Default Extension=\"kqfx\" ContentType=\"application/octet-stream\"/>";
        mainRels += "<Relationship Id=\"kqfx1\" Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/package\" "
                    "Target=\"kqfxFiles/kqfx1.kqfx\"/>"
                    "<Relationship Id=\"kqfx2\" Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/package\" "
                    "Target=\"kqfxFiles/kqfx2.kqfx\"/>"
                    "<Relationship Id=\"kqfxReference\" Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/customXml\" "
                    "Target=\"kqfxFiles/kqfxReferenceIds.xml\"/>";
        entries.push_back({root + "/kqfxFiles/kqfx1.kqfx", Bytes(40, 0x21), ZIP_CM_STORE});
        entries.push_back({root + "/kqfxFiles/kqfx2.kqfx", Bytes(40, 0x22), ZIP_CM_STORE});
        entries.push_back({root + "/kqfxFiles/kqfxReferenceIds.xml",
                           Text("<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n"
                                "<kqfxReferencedFiles xmlns=\"urn:kq:kqfx\">"
                                "<kqfxPath rId=\"kqfx1\" originalPath=\"C:\\models\\one.kqfx\"/>"
                                "<kqfxPath rId=\"kqfx2\" originalPath=\"../two.kqfx\"/>"
                                "</kqfxReferencedFiles>"),
                           ZIP_CM_DEFLATE});
    }
    types += "</Types>";
    mainRels += "</Relationships>";
    entries.insert(entries.begin(),
                   {{"[Content_Types].xml", Text(types), ZIP_CM_DEFLATE},
                    {"_rels/.rels",
                     Text("<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n"
                          "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
                          "<Relationship Id=\"rId1\" Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/officeDocument\" "
                          "Target=\"" + root + "/" + main + "\"/></Relationships>"),
                     ZIP_CM_DEFLATE},
                    {root + "/" + main,
                     Text(presentation ? "<p:presentation xmlns:p=\"http://schemas.openxmlformats.org/presentationml/2006/main\"/>"
                                       : "<w:document xmlns:w=\"http://schemas.openxmlformats.org/wordprocessingml/2006/main\"/>"),
                     ZIP_CM_DEFLATE},
                    {root + "/_rels/" + main + ".rels", Text(mainRels), ZIP_CM_DEFLATE}});
    return entries;
}

// --- KQF -------------------------------------------------------------------

struct Kqf {
    bool swapped = false;
    bool longHeader = false;
    bool compressedFile = false;
    bool bzip2 = false;       // compressed file: bzip2 block (U >= 0) or raw (U = -1)
    bool leading1022 = false; // a skipped block before the image block
    int32_t headerLength = 100;
    int32_t width = 4;
    int32_t height = 3;
};

void Word(Bytes& b, int32_t v, bool swapped)
{
    uint32_t u = static_cast<uint32_t>(v);
    if (swapped)
        u = (u >> 24) | ((u >> 8) & 0xff00) | ((u << 8) & 0xff0000) | (u << 24);
    Put32(b, u); // little-endian host order, or its reverse
}

Bytes BuildKqf(const Kqf& k)
{
    Bytes b;
    Word(b, 231272, k.swapped);
    Word(b, -160871, k.swapped);
    if (k.longHeader) {
        Word(b, -251271, k.swapped);
        for (int i = 0; i < 3; ++i)
            Word(b, 7, k.swapped);
    } else {
        Word(b, 0, k.swapped);
    }
    if (!k.compressedFile) {
        Word(b, 1, k.swapped); // form 1: no extension, not compressed
        if (!k.longHeader) {
            Word(b, 0, k.swapped); // the rest of the six header words
            Word(b, 0, k.swapped);
        }
    } else {
        Word(b, 2, k.swapped);
        Word(b, 8, k.swapped); // L: the flag word and one word more
        Word(b, 1, k.swapped); // compressed
        Word(b, 0x45585431, k.swapped);
    }
    if (!k.longHeader && !k.compressedFile) {
        // form 1 puts the first block at 16: drop the two filler words again
        b.resize(16);
    }
    if (k.leading1022) {
        Word(b, 1022, k.swapped);
        Word(b, 0, k.swapped);
        Word(b, 12, k.swapped); // H: itself, D and one more word
        Word(b, 8, k.swapped);  // D
        Word(b, 0, k.swapped);
        for (int i = 0; i < 8; ++i)
            b.push_back(static_cast<uint8_t>(i));
        Word(b, 0, k.swapped); // trailing word
    }
    Bytes pixels(static_cast<size_t>(k.width) * k.height * 3);
    for (size_t i = 0; i < pixels.size(); ++i)
        pixels[i] = static_cast<uint8_t>(i * 13);
    Bytes data = pixels;
    if (k.compressedFile && k.bzip2) {
        unsigned int outLength = static_cast<unsigned int>(pixels.size() * 2 + 600);
        data.assign(outLength, 0);
        if (BZ2_bzBuffToBuffCompress(reinterpret_cast<char*>(data.data()), &outLength,
                                     reinterpret_cast<char*>(pixels.data()),
                                     static_cast<unsigned int>(pixels.size()), 9, 0, 0) == BZ_OK)
            data.resize(outLength);
    }
    Word(b, 1020, k.swapped);
    Word(b, 0, k.swapped);
    Word(b, k.headerLength, k.swapped);
    Word(b, static_cast<int32_t>(data.size()), k.swapped);
    for (int i = 0; i < 80; ++i)
        b.push_back(static_cast<uint8_t>(i));
    Word(b, k.width, k.swapped);
    Word(b, k.height, k.swapped);
    if (k.headerLength > 96)
        Word(b, 1, k.swapped);
    for (int32_t i = 100; i < k.headerLength; ++i)
        b.push_back(0x55);
    if (k.compressedFile)
        Word(b, k.bzip2 ? static_cast<int32_t>(pixels.size()) : -1, k.swapped);
    b.insert(b.end(), data.begin(), data.end());
    Word(b, 0, k.swapped); // trailing word
    return b;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: kqfuzz_seeds <folder>\n");
        return 2;
    }
    const fs::path top(argv[1]);
    const char* targets[] = {"fuzz_dib", "fuzz_jpeg_memory", "fuzz_zip_xml", "fuzz_embedder", "fuzz_kqfx", "fuzz_kqf"};
    for (const char* t : targets)
        fs::create_directories(top / t);
    bool ok = true;

    const fs::path dib = top / "fuzz_dib";
    ok &= Save(dib / "1.bmp", Bmp(9, 3, 1, 0));
    ok &= Save(dib / "4.bmp", Bmp(7, 3, 4, 0));
    ok &= Save(dib / "8.bmp", Bmp(5, 4, 8, 0));
    ok &= Save(dib / "16.bmp", Bmp(5, 2, 16, 0));
    ok &= Save(dib / "16-565.bmp", Bmp(5, 2, 16, 3));
    ok &= Save(dib / "24.bmp", Bmp(5, 3, 24, 0));
    ok &= Save(dib / "32.bmp", Bmp(3, 3, 32, 0));
    ok &= Save(dib / "32-fields.bmp", Bmp(3, 2, 32, 3));

    const fs::path jpeg = top / "fuzz_jpeg_memory";
    const Bytes colour = Jpeg(17, 9, 3, false, 75);
    ok &= Save(jpeg / "colour.jpg", colour);
    ok &= Save(jpeg / "progressive.jpg", Jpeg(16, 16, 3, true, 60));
    ok &= Save(jpeg / "grey.jpg", Jpeg(8, 8, 1, false, 50));
    ok &= Save(jpeg / "tiny.jpg", Jpeg(2, 2, 3, false, 90));
    ok &= Save(jpeg / "truncated.jpg", Bytes(colour.begin(), colour.begin() + colour.size() / 2));

    const fs::path zipFolder = top / "fuzz_zip_xml";
    const char* xmlDecl = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n";
    ok &= Zip(zipFolder / "parts.zip",
              {{"a.xml", Text(std::string(xmlDecl) + "<root a=\"1\"><child>text &amp; more</child></root>"), ZIP_CM_DEFLATE},
               {"folder/b.xml", Text("<r/>"), ZIP_CM_STORE},
               {"folder/sub/c.xml", Text("<r x='&apos;'>\r\n<e/>\r\n</r>\r\n"), ZIP_CM_BZIP2},
               {"folder/bin.dat", Bytes(64, 0xA5), ZIP_CM_DEFLATE},
               {"empty.xml", Bytes(), ZIP_CM_STORE}});
    ok &= Zip(zipFolder / "one.zip", {{"x.xml", Text("<a><b c=\"d\"/></a>"), ZIP_CM_STORE}});

    const std::string models = kqfuzz::ModelFolder();
    ok &= Zip(top / "fuzz_embedder" / "presentation.pptx",
              Package(true, {models + "/model1.kqfx", "model2.kqfx", models + "/model3.kqfx", models + "/missing.kqfx",
                             models + "/model1.kqfx"},
                      false));
    ok &= Zip(top / "fuzz_embedder" / "embedded.pptx",
              Package(true, {"Embedded[kqfx1]", models + "/model2.kqfx", "", "./model3.kqfx"}, true));
    ok &= Zip(top / "fuzz_embedder" / "document.docx",
              Package(false, {models + "/model2.kqfx", "..\\models\\model1.kqfx", "C:\\missing\\m.kqfx"}, true));

    ok &= Zip(top / "fuzz_kqfx" / "snapshot.kqfx",
              {{"Case001/Model.xml", Text("<model/>"), ZIP_CM_DEFLATE},
               {"Case001/Snapshot.jpeg", Jpeg(12, 8, 3, false, 80), ZIP_CM_STORE}});
    ok &= Zip(top / "fuzz_kqfx" / "deflated.kqfx", {{"Case001/Snapshot.jpeg", Jpeg(9, 9, 3, true, 70), ZIP_CM_DEFLATE}});
    ok &= Zip(top / "fuzz_kqfx" / "no-snapshot.kqfx", {{"Case001/Model.xml", Text("<model/>"), ZIP_CM_DEFLATE}});
    // The target takes an odd first byte as "wrap the rest as the snapshot entry"
    // (bit 1: deflated).
    for (uint8_t mode : {uint8_t(1), uint8_t(3)}) {
        Bytes wrapped(1, mode);
        const Bytes picture = Jpeg(10, 6, 3, mode == 3, 85);
        wrapped.insert(wrapped.end(), picture.begin(), picture.end());
        ok &= Save(top / "fuzz_kqfx" / (mode == 1 ? "wrapped-stored.bin" : "wrapped-deflated.bin"), wrapped);
    }

    const fs::path kqf = top / "fuzz_kqf";
    Kqf k;
    ok &= Save(kqf / "short-raw.kqf", BuildKqf(k));
    k.swapped = true;
    ok &= Save(kqf / "swapped.kqf", BuildKqf(k));
    k = Kqf();
    k.longHeader = true;
    k.headerLength = 96;
    ok &= Save(kqf / "long-raw.kqf", BuildKqf(k));
    k = Kqf();
    k.compressedFile = true;
    k.bzip2 = true;
    k.leading1022 = true;
    ok &= Save(kqf / "bzip2-after-1022.kqf", BuildKqf(k));
    k.bzip2 = false;
    k.leading1022 = false;
    k.swapped = true;
    ok &= Save(kqf / "compressed-raw-swapped.kqf", BuildKqf(k));
    k = Kqf();
    k.compressedFile = true;
    k.bzip2 = true;
    k.longHeader = true;
    k.headerLength = 108;
    ok &= Save(kqf / "long-bzip2.kqf", BuildKqf(k));

    if (!ok) {
        std::fprintf(stderr, "kqfuzz_seeds: could not write every seed under %s\n", argv[1]);
        return 1;
    }
    return 0;
}
