// Writes the starting corpora of the fuzz targets, one folder per target:
//   kqfuzz_seeds <folder>
// gives <folder>/fuzz_dib, fuzz_jpeg_memory, fuzz_zip_xml, fuzz_embedder,
// fuzz_kqfx, fuzz_kqf, fuzz_extract and fuzz_rgb_load. Every seed is made
// here: small BMPs and SGI RGB files written byte by byte, JPEGs encoded with
// libjpeg, zips written with libzip, KQF files with raw and bzip2-compressed
// image blocks in both byte orders.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include <zip.h>

#include "KQFuzzSupport.h"
#include "KQHostileInputs.h"
#include "KQTestInputWriter.h"

namespace {

using Bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;

using kqinput::ReadFile;
using kqinput::WriteFile;

Bytes Text(const std::string& s)
{
    return Bytes(s.begin(), s.end());
}

// --- BMP -------------------------------------------------------------------

Bytes Bmp(int32_t width, int32_t height, uint16_t bitCount, uint32_t compression)
{
    const uint32_t colors = bitCount <= 8 ? (1u << bitCount) : (compression == 3 ? 3 : 0);
    kqinput::BmpLayout layout;
    layout.width = width;
    layout.height = height;
    layout.bitCount = bitCount;
    layout.compression = compression;
    layout.clrUsed = bitCount <= 8 ? colors : 0;
    layout.sizeImage = kqinput::Stride(width, bitCount) * static_cast<uint32_t>(height);
    if (compression == 3) {
        const bool wide = bitCount == 32;
        kqinput::PutLe(layout.colors, wide ? 0xff0000 : 0xf800, 4);
        kqinput::PutLe(layout.colors, wide ? 0x00ff00 : 0x07e0, 4);
        kqinput::PutLe(layout.colors, wide ? 0x0000ff : 0x001f, 4);
    } else {
        for (uint32_t i = 0; i < colors; ++i)
            kqinput::AddColor(layout.colors, static_cast<uint8_t>(i * 3), static_cast<uint8_t>(255 - i),
                              static_cast<uint8_t>(i * 7));
    }
    for (uint32_t i = 0; i < layout.sizeImage; ++i)
        layout.pixels.push_back(static_cast<uint8_t>(i * 29 + 5));
    return kqinput::BuildBmp(layout);
}

// --- JPEG ------------------------------------------------------------------

Bytes Jpeg(int width, int height, int components, bool progressive, int quality)
{
    const size_t rowLength = static_cast<size_t>(width) * components;
    Bytes samples(rowLength * height);
    for (size_t y = 0; y < static_cast<size_t>(height); ++y)
        for (size_t i = 0; i < rowLength; ++i)
            samples[y * rowLength + i] = static_cast<uint8_t>(i * 5 + y * 11);
    kqinput::JpegSettings settings;
    settings.quality = quality;
    settings.components = components;
    settings.progressive = progressive;
    return kqinput::EncodeJpeg(samples, width, height, settings);
}

// --- zip -------------------------------------------------------------------

struct Entry {
    std::string name;
    Bytes data;
    int32_t method;  // ZIP_CM_STORE, ZIP_CM_DEFLATE, ZIP_CM_BZIP2
};

bool Zip(const fs::path& path, const std::vector<Entry>& entries)
{
    std::vector<std::pair<std::string, Bytes>> named;
    for (const Entry& e : entries)
        named.emplace_back(e.name, e.data);
    kqinput::ZipSettings settings;
    settings.method = [&entries](size_t i, const std::string&) { return kqinput::ZipMethod{entries[i].method, 6}; };
    return kqinput::WriteZip(path.string(), named, settings);
}

// --- Office packages ---------------------------------------------------------

const char* kViewerClassId = "{5C2E9A41-7B3D-4F08-9E6A-2D71C0B4F853}";

std::string Control(const char* classId, const std::string& fileURL)
{
    return std::string("<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n"
                       "<ax:ocx ax:classid=\"") +
           classId +
           "\" ax:persistence=\"persistPropertyBag\" "
           "xmlns:ax=\"http://schemas.microsoft.com/office/2006/activeX\" "
           "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\">"
           "<ax:ocxPr ax:name=\"Width\" ax:value=\"200\"/>"
           "<ax:ocxPr ax:name=\"FileURL\" ax:value=\"" +
           fileURL + "\"/></ax:ocx>";
}

std::vector<Entry> Package(bool presentation, const std::vector<std::string>& urls, bool withEmbedded)
{
    const std::string root = presentation ? "ppt" : "word";
    const std::string main = presentation ? "presentation.xml" : "document.xml";
    const std::string mainType =
        presentation ? "application/vnd.openxmlformats-officedocument.presentationml.presentation.main+xml"
                     : "application/vnd.openxmlformats-officedocument.wordprocessingml.document.main+xml";
    std::string types =
        "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n"
        "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\">"
        "<Default Extension=\"rels\" ContentType=\"application/vnd.openxmlformats-package.relationships+xml\"/>"
        "<Default Extension=\"xml\" ContentType=\"application/xml\"/>"
        "<Override PartName=\"/" +
        root + "/" + main + "\" ContentType=\"" + mainType + "\"/>";
    std::string mainRels = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n"
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
                                "<Relationship Id=\"rId1\" "
                                "Type=\"http://schemas.microsoft.com/office/2006/relationships/activeXControlBinary\" "
                                "Target=\"activeX" +
                                n + ".bin\"/></Relationships>"),
                           ZIP_CM_DEFLATE});
    }
    if (withEmbedded) {
        types += "<Default Extension=\"kqfx\" ContentType=\"application/octet-stream\"/>";
        mainRels += "<Relationship Id=\"kqfx1\" "
                    "Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/package\" "
                    "Target=\"kqfxFiles/kqfx1.kqfx\"/>"
                    "<Relationship Id=\"kqfx2\" "
                    "Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/package\" "
                    "Target=\"kqfxFiles/kqfx2.kqfx\"/>"
                    "<Relationship Id=\"kqfxReference\" "
                    "Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/customXml\" "
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
    entries.insert(
        entries.begin(),
        {{"[Content_Types].xml", Text(types), ZIP_CM_DEFLATE},
         {"_rels/.rels",
          Text("<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n"
               "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
               "<Relationship Id=\"rId1\" "
               "Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/officeDocument\" "
               "Target=\"" +
               root + "/" + main + "\"/></Relationships>"),
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
    bool bzip2 = false;        // compressed file: bzip2 block (U >= 0) or raw (U = -1)
    bool leading1022 = false;  // a skipped block before the image block
    int32_t headerLength = 100;
    int32_t width = 4;
    int32_t height = 3;
};

Bytes BuildKqf(const Kqf& k)
{
    kqinput::KqfLayout layout;
    layout.width = k.width;
    layout.height = k.height;
    layout.pixels.resize(static_cast<size_t>(k.width) * k.height * 3);
    for (size_t i = 0; i < layout.pixels.size(); ++i)
        layout.pixels[i] = static_cast<uint8_t>(i * 13);
    layout.otherByteOrder = k.swapped;
    layout.longHeader = k.longHeader;
    layout.form1 = !k.compressedFile;  // form 1: no extension, not compressed
    layout.extensionLength = 8;        // L: the flag word and one word more
    layout.rawInCompressed = !k.bzip2;
    layout.leading1022 = k.leading1022;
    layout.headerLength = k.headerLength;
    return kqinput::BuildKqf(layout);
}

// --- SGI RGB ---------------------------------------------------------------

void PutBE16(Bytes& b, uint32_t v)
{
    b.push_back((v >> 8) & 0xff);
    b.push_back(v & 0xff);
}

void PutBE32(Bytes& b, uint32_t v)
{
    PutBE16(b, v >> 16);
    PutBE16(b, v);
}

// Three channels of one byte, verbatim or run-length coded; rows bottom
// first, channel after channel.
Bytes Sgi(int width, int height, bool runLength)
{
    Bytes b;
    PutBE16(b, 474);
    b.push_back(runLength ? 1 : 0);
    b.push_back(1);
    PutBE16(b, 3);
    PutBE16(b, static_cast<uint32_t>(width));
    PutBE16(b, static_cast<uint32_t>(height));
    PutBE16(b, 3);
    PutBE32(b, 0);
    PutBE32(b, 255);
    b.resize(512, 0);
    auto sample = [](int x, int y, int c) { return static_cast<uint8_t>(x * 40 + y * 7 + c * 90); };
    if (!runLength) {
        for (int c = 0; c < 3; ++c)
            for (int y = 0; y < height; ++y)
                for (int x = 0; x < width; ++x)
                    b.push_back(sample(x, y, c));
        return b;
    }
    // Each row: one literal packet of the first half, one run of the rest.
    std::vector<Bytes> rows;
    for (int c = 0; c < 3; ++c)
        for (int y = 0; y < height; ++y) {
            Bytes r;
            const int literal = width / 2;
            if (literal > 0) {
                r.push_back(static_cast<uint8_t>(0x80 | literal));
                for (int x = 0; x < literal; ++x)
                    r.push_back(sample(x, y, c));
            }
            r.push_back(static_cast<uint8_t>(width - literal));
            r.push_back(sample(width - 1, y, c));
            r.push_back(0);
            rows.push_back(r);
        }
    uint32_t at = static_cast<uint32_t>(512 + 8 * rows.size());
    for (const Bytes& r : rows) {
        PutBE32(b, at);
        at += static_cast<uint32_t>(r.size());
    }
    for (const Bytes& r : rows)
        PutBE32(b, static_cast<uint32_t>(r.size()));
    for (const Bytes& r : rows)
        b.insert(b.end(), r.begin(), r.end());
    return b;
}

// The whole-Extract target's input: mode byte, requested size less one,
// then the file or the snapshot entry.
Bytes ExtractInput(uint8_t mode, int width, int height, const Bytes& body)
{
    Bytes b{mode, static_cast<uint8_t>(width - 1), static_cast<uint8_t>(height - 1)};
    b.insert(b.end(), body.begin(), body.end());
    return b;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: kqfuzz_seeds <folder>\n");
        return 2;
    }
    const fs::path top(argv[1]);
    const char* targets[] = {"fuzz_dib",  "fuzz_jpeg_memory", "fuzz_zip_xml", "fuzz_embedder",
                             "fuzz_kqfx", "fuzz_kqf",         "fuzz_extract", "fuzz_rgb_load"};
    for (const char* t : targets)
        fs::create_directories(top / t);
    bool ok = true;

    const fs::path dib = top / "fuzz_dib";
    ok &= WriteFile(dib / "1.bmp", Bmp(9, 3, 1, 0));
    ok &= WriteFile(dib / "4.bmp", Bmp(7, 3, 4, 0));
    ok &= WriteFile(dib / "8.bmp", Bmp(5, 4, 8, 0));
    ok &= WriteFile(dib / "16.bmp", Bmp(5, 2, 16, 0));
    ok &= WriteFile(dib / "16-565.bmp", Bmp(5, 2, 16, 3));
    ok &= WriteFile(dib / "24.bmp", Bmp(5, 3, 24, 0));
    ok &= WriteFile(dib / "32.bmp", Bmp(3, 3, 32, 0));
    ok &= WriteFile(dib / "32-fields.bmp", Bmp(3, 2, 32, 3));

    const fs::path jpeg = top / "fuzz_jpeg_memory";
    const Bytes colour = Jpeg(17, 9, 3, false, 75);
    ok &= WriteFile(jpeg / "colour.jpg", colour);
    ok &= WriteFile(jpeg / "progressive.jpg", Jpeg(16, 16, 3, true, 60));
    ok &= WriteFile(jpeg / "grey.jpg", Jpeg(8, 8, 1, false, 50));
    ok &= WriteFile(jpeg / "tiny.jpg", Jpeg(2, 2, 3, false, 90));
    ok &= WriteFile(jpeg / "truncated.jpg", Bytes(colour.begin(), colour.begin() + colour.size() / 2));
    // Runs of empty scans around the scan limit, progressive and baseline
    // (one component a scan), so that mutations reach many-scan data.
    kqhostile::ScanFlood flood;
    flood.width = 64;
    flood.height = 48;
    flood.scans = 120;
    const Bytes progressiveFlood = kqhostile::FloodJpeg(flood);
    ok &= WriteFile(jpeg / "scans-progressive.jpg", progressiveFlood);
    flood.subsampled = true;
    flood.scans = 40;
    ok &= WriteFile(jpeg / "scans-progressive-420.jpg", kqhostile::FloodJpeg(flood));
    flood.progressive = false;
    flood.subsampled = false;
    flood.scans = 30;
    const Bytes baselineFlood = kqhostile::FloodJpeg(flood);
    ok &= WriteFile(jpeg / "scans-baseline.jpg", baselineFlood);
    // Scans that refine every AC coefficient with data, and a script of
    // bands and bits, so that mutations reach the scan work count.
    kqhostile::ScanFlood refinedFlood;
    refinedFlood.width = 40;
    refinedFlood.height = 24;
    refinedFlood.refined = true;
    refinedFlood.scans = 20;
    ok &= WriteFile(jpeg / "scans-refined.jpg", kqhostile::FloodJpeg(refinedFlood));
    kqhostile::ScanFlood scriptFlood;
    scriptFlood.width = 40;
    scriptFlood.height = 24;
    scriptFlood.script = {{{1, 2, 3}, 0, 0, 0, 1}, {{1}, 1, 5, 0, 2}, {{2}, 1, 63, 0, 0},
                          {{1}, 6, 63, 0, 2},      {{1}, 1, 63, 2, 1}, {{1, 2, 3}, 0, 0, 1, 0}};
    ok &= WriteFile(jpeg / "scans-script.jpg", kqhostile::FloodJpeg(scriptFlood));

    const fs::path zipFolder = top / "fuzz_zip_xml";
    const char* xmlDecl = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n";
    ok &= Zip(
        zipFolder / "parts.zip",
        {{"a.xml", Text(std::string(xmlDecl) + "<root a=\"1\"><child>text &amp; more</child></root>"), ZIP_CM_DEFLATE},
         {"folder/b.xml", Text("<r/>"), ZIP_CM_STORE},
         {"folder/sub/c.xml", Text("<r x='&apos;'>\r\n<e/>\r\n</r>\r\n"), ZIP_CM_BZIP2},
         {"folder/bin.dat", Bytes(64, 0xA5), ZIP_CM_DEFLATE},
         {"empty.xml", Bytes(), ZIP_CM_STORE}});
    ok &= Zip(zipFolder / "one.zip", {{"x.xml", Text("<a><b c=\"d\"/></a>"), ZIP_CM_STORE}});
    // Shapes a part must not have, just past the bounds and well inside
    // them, in a zip and as bare text (the target looks bare text over and
    // parses it when admitted): deep nesting, long attribute lists, markup
    // that hides elements from a simple scan.
    const std::string attributes256 = kqhostile::ManyAttributes(256);
    ok &= Zip(zipFolder / "shapes.zip",
              {{"deep.xml", Text(kqhostile::NestedElements(300)), ZIP_CM_DEFLATE},
               {"wide.xml", Text(kqhostile::ManyAttributes(300)), ZIP_CM_DEFLATE},
               {"many.xml", Text("<r>" + kqhostile::EmptyElements(5000) + "</r>"), ZIP_CM_DEFLATE},
               {"edge.xml", Text("<r>" + kqhostile::NestedElements(255) + attributes256 + "</r>"), ZIP_CM_DEFLATE}});
    ok &= WriteFile(zipFolder / "deep-255.xml", Text(kqhostile::NestedElements(255)));
    ok &= WriteFile(zipFolder / "deep-257.xml", Text(kqhostile::NestedElements(257)));
    ok &= WriteFile(zipFolder / "wide-256.xml", Text(attributes256));
    ok &= WriteFile(zipFolder / "wide-257.xml", Text(kqhostile::ManyAttributes(257)));
    ok &=
        WriteFile(zipFolder / "hiding.xml",
                  Text(std::string(xmlDecl) + "<?pi a=\"x>\" ?><r a=\"<x>\" b='>'><!-- <x> --><![CDATA[<x>]]>"
                                              "<?xml version=\"?> <!-- \"?><x><x/></x>\xEF\xBB\xBF<y>&#x3c;\xC3\xA9</y>"
                                              "<!DOCTYPE x></r>"));
    // References that a loose parser reads on to the next ';', across
    // markup, and values that print back as other text unless escaped.
    ok &= WriteFile(zipFolder / "reference-comment.xml",
                    Text("<r>" + kqhostile::ReferenceTrick(0, kqhostile::NestedElements(40)) + "</r>"));
    ok &= WriteFile(zipFolder / "reference-decimal.xml",
                    Text("<r>" + kqhostile::ReferenceTrick(1, kqhostile::NestedElements(40)) + "</r>"));
    ok &= WriteFile(zipFolder / "reference-lt.xml", Text(kqhostile::ReferenceTrick(2, std::string(), 40)));
    ok &= WriteFile(zipFolder / "reference-root-end.xml", Text("<r>&#x</r>x;" + kqhostile::NestedElements(40)));
    ok &= WriteFile(zipFolder / "reference-values.xml",
                    Text(std::string("<?xml version=\"1.0\" standalone=\"yes\"?><r a=\"&amp;#x41;&#10;&#0;\">"
                                     "&amp;#x3c;t&#13;<![CDATA[&#x<]]><!--&#x-->u<?pi &#x?><e>&#x20;&#xA0;</e>"
                                     "</r>")));
    ok &= Zip(zipFolder / "reference-parts.zip",
              {{"[Content_Types].xml",
                Text("<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"&amp;#x\"?>\r\n<Types><!--x41;\"?>" +
                     kqhostile::NestedElements(2) + "--></Types>"),
                ZIP_CM_DEFLATE},
               {"x.xml", Text("<x a=\"m.kqfx&#0;.evil\"/>"), ZIP_CM_STORE}});

    const std::string models = kqfuzz::ModelFolder();
    ok &= Zip(top / "fuzz_embedder" / "presentation.pptx",
              Package(true,
                      {models + "/model1.kqfx", "model2.kqfx", models + "/model3.kqfx", models + "/missing.kqfx",
                       models + "/model1.kqfx"},
                      false));
    ok &= Zip(top / "fuzz_embedder" / "embedded.pptx",
              Package(true, {"Embedded[kqfx1]", models + "/model2.kqfx", "", "./model3.kqfx"}, true));
    ok &= Zip(top / "fuzz_embedder" / "document.docx",
              Package(false, {models + "/model2.kqfx", "..\\models\\model1.kqfx", "C:\\missing\\m.kqfx"}, true));

    ok &=
        Zip(top / "fuzz_kqfx" / "snapshot.kqfx", {{"Case001/Model.xml", Text("<model/>"), ZIP_CM_DEFLATE},
                                                  {"Case001/Snapshot.jpeg", Jpeg(12, 8, 3, false, 80), ZIP_CM_STORE}});
    ok &=
        Zip(top / "fuzz_kqfx" / "deflated.kqfx", {{"Case001/Snapshot.jpeg", Jpeg(9, 9, 3, true, 70), ZIP_CM_DEFLATE}});
    ok &= Zip(top / "fuzz_kqfx" / "no-snapshot.kqfx", {{"Case001/Model.xml", Text("<model/>"), ZIP_CM_DEFLATE}});
    // The target takes an odd first byte as "wrap the rest as the snapshot entry"
    // (bit 1: deflated).
    for (uint8_t mode : {uint8_t(1), uint8_t(3)}) {
        Bytes wrapped(1, mode);
        const Bytes picture = Jpeg(10, 6, 3, mode == 3, 85);
        wrapped.insert(wrapped.end(), picture.begin(), picture.end());
        ok &= WriteFile(top / "fuzz_kqfx" / (mode == 1 ? "wrapped-stored.bin" : "wrapped-deflated.bin"), wrapped);
    }

    const fs::path kqf = top / "fuzz_kqf";
    Kqf k;
    ok &= WriteFile(kqf / "short-raw.kqf", BuildKqf(k));
    k.swapped = true;
    ok &= WriteFile(kqf / "swapped.kqf", BuildKqf(k));
    k = Kqf();
    k.longHeader = true;
    k.headerLength = 96;
    ok &= WriteFile(kqf / "long-raw.kqf", BuildKqf(k));
    k = Kqf();
    k.compressedFile = true;
    k.bzip2 = true;
    k.leading1022 = true;
    ok &= WriteFile(kqf / "bzip2-after-1022.kqf", BuildKqf(k));
    k.bzip2 = false;
    k.leading1022 = false;
    k.swapped = true;
    ok &= WriteFile(kqf / "compressed-raw-swapped.kqf", BuildKqf(k));
    k = Kqf();
    k.compressedFile = true;
    k.bzip2 = true;
    k.longHeader = true;
    k.headerLength = 108;
    ok &= WriteFile(kqf / "long-bzip2.kqf", BuildKqf(k));

    const fs::path extract = top / "fuzz_extract";
    k = Kqf();
    k.width = 40;
    k.height = 30;
    ok &= WriteFile(extract / "kqf-raw.bin", ExtractInput(0, 16, 16, BuildKqf(k)));
    k.compressedFile = true;
    k.bzip2 = true;
    k.swapped = true;
    ok &= WriteFile(extract / "kqf-bzip2.bin", ExtractInput(0, 256, 7, BuildKqf(k)));
    ok &= WriteFile(extract / "jpeg-stored.bin", ExtractInput(3, 16, 16, Jpeg(64, 48, 3, false, 80)));
    ok &= WriteFile(extract / "jpeg-deflated.bin", ExtractInput(7, 256, 256, Jpeg(33, 17, 3, true, 60)));
    ok &= WriteFile(extract / "jpeg-grey.bin", ExtractInput(3, 8, 8, Jpeg(8, 8, 1, false, 50)));
    ok &= WriteFile(extract / "jpeg-scans-stored.bin", ExtractInput(3, 96, 96, progressiveFlood));
    ok &= WriteFile(extract / "jpeg-scans-deflated.bin", ExtractInput(7, 96, 96, baselineFlood));
    ok &= WriteFile(extract / "kqfx-whole.bin", ExtractInput(1, 20, 10, ReadFile(top / "fuzz_kqfx" / "snapshot.kqfx")));

    const fs::path load = top / "fuzz_rgb_load";
    ok &= WriteFile(load / "24.bmp", Bmp(5, 3, 24, 0));
    ok &= WriteFile(load / "8.bmp", Bmp(5, 4, 8, 0));
    ok &= WriteFile(load / "verbatim.rgb", Sgi(5, 3, false));
    ok &= WriteFile(load / "rle.rgb", Sgi(9, 4, true));

    // Shapes of end records whose claims the directory check counts: a
    // zip64 end record before its directory, a zip stored as the last entry,
    // and names that share one bucket of an unkeyed table.
    const Bytes snapshotJpeg = Jpeg(12, 8, 3, false, 80);
    ok &= kqhostile::WriteZip64EndBeforeDirectory((top / "fuzz_kqfx" / "zip64-before-directory.kqfx").string(),
                                                  snapshotJpeg, 12, 40, 8);
    const fs::path innerZip = top / "fuzz_zip_xml" / "inner.zip";
    ok &= Zip(innerZip, {{"x.xml", Text("<a/>"), ZIP_CM_STORE}, {"y/z.xml", Text("<b/>"), ZIP_CM_STORE}});
    ok &= kqhostile::WriteStoredZip((top / "fuzz_zip_xml" / "nested-last.zip").string(),
                                    {{"a.xml", Text("<a/>")}, {"inner.zip", ReadFile(innerZip)}});
    std::vector<std::pair<std::string, Bytes>> bucket;
    for (const std::string& name : kqhostile::OneBucketNames(24, 29))
        bucket.emplace_back(name + ".xml", Text("<n/>"));
    ok &= kqhostile::WriteStoredZip((top / "fuzz_zip_xml" / "one-bucket.zip").string(), bucket);

    if (!ok) {
        std::fprintf(stderr, "kqfuzz_seeds: could not write every seed under %s\n", argv[1]);
        return 1;
    }
    return 0;
}
