// Inputs of the Corvessa benchmark:
//   kqbench_corvessa_inputs <folder> <count> <bytes> <random|text|sparse>
// writes <folder>/models/model0001.kqfx .. (count files of bytes each) and
// <folder>/presentation.pptx, a presentation whose count viewer controls
// (one per file, each with its .bin part and relationships, as office suites
// write them) name the model files by absolute path. It also links the same
// files under <folder>/peer/ppt/kqfxFiles, for the Info-ZIP run beside it.
// Each model file is a KQFx container of exactly that size, as Corvessa
// embeds nothing else: a zip archive of two stored entries, a small snapshot
// (Case001/Snapshot.jpeg) and the case data (Case001/Case.dat), which fills
// the rest and has the kind's character. random: bytes that do not compress,
// like the compressed results that real model files hold; text: numbers
// written as text, which deflate shrinks; sparse: zero bytes that are a hole
// in the file, without blocks on disk.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include <zlib.h>

#include "KQTestInputWriter.h"

namespace {

namespace fs = std::filesystem;

const char* kViewerClassId = "{5C2E9A41-7B3D-4F08-9E6A-2D71C0B4F853}";
const char* kXmlDeclaration = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n";

const char* kRelationships = "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">";

enum Kind { kRandom, kText, kSparse };

// A relationships part that holds one Relationship.
std::string OneRelationship(const std::string& id, const std::string& type, const std::string& target)
{
    return std::string(kXmlDeclaration) + kRelationships + "<Relationship Id=\"" + id + "\" Type=\"" + type +
           "\" Target=\"" + target + "\"/></Relationships>";
}

// A stored entry's records as Corvessa's models hold them; the case entry's
// CRC is written into its local header when it is known.
kqinput::StoredRecord Record(const std::string& name, uint32_t crc, uint64_t size, uint64_t offset = 0)
{
    kqinput::StoredRecord r;
    r.name = name;
    r.stamp = 0x3C210000;  // 2010-01-01 00:00
    r.crc = crc;
    r.size = static_cast<uint32_t>(size);
    r.offset = static_cast<uint32_t>(offset);
    return r;
}

kqinput::Bytes LocalHeader(const std::string& name, uint32_t crc, uint64_t size)
{
    kqinput::Bytes h;
    kqinput::PutLocalHeader(h, Record(name, crc, size));
    return h;
}

// Streams the case data in blocks of 1 MiB, so a model of any size costs no
// memory; patches the case entry's CRC in afterwards.
bool WriteModel(const fs::path& path, uint64_t bytes, Kind kind, uint64_t seed)
{
    static const kqinput::Bytes jpeg = kqinput::EncodeJpeg(kqinput::Picture(64, 48), 64, 48, 85);
    const std::string snapshotName = "Case001/Snapshot.jpeg", caseName = "Case001/Case.dat";
    const uint32_t snapshotCrc = static_cast<uint32_t>(crc32(0, jpeg.data(), static_cast<uInt>(jpeg.size())));
    const kqinput::Bytes snapshot = LocalHeader(snapshotName, snapshotCrc, jpeg.size());
    const uint64_t caseAt = snapshot.size() + jpeg.size();
    kqinput::Bytes records;
    kqinput::PutDirectoryRecord(records, Record(snapshotName, 0, 0));
    kqinput::PutDirectoryRecord(records, Record(caseName, 0, 0));
    kqinput::PutZipEnd(records, 0, 0, 0);
    const uint64_t overhead = caseAt + LocalHeader(caseName, 0, 0).size() + records.size();
    if (bytes < overhead || bytes - overhead > 0xFFFFFFFFu) {
        std::fprintf(stderr, "a container holds %llu to 4 GiB bytes\n", static_cast<unsigned long long>(overhead));
        return false;
    }
    const uint64_t caseSize = bytes - overhead;

    FILE* f = std::fopen(path.string().c_str(), "wb");
    if (!f)
        return false;
    const kqinput::Bytes caseHeader = LocalHeader(caseName, 0, caseSize);
    bool ok = std::fwrite(snapshot.data(), 1, snapshot.size(), f) == snapshot.size() &&
              std::fwrite(jpeg.data(), 1, jpeg.size(), f) == jpeg.size() &&
              std::fwrite(caseHeader.data(), 1, caseHeader.size(), f) == caseHeader.size();
    uLong crc = crc32(0, nullptr, 0);
    if (kind == kSparse) {
        crc = kqinput::ZerosCrc(caseSize);
        ok = ok && fseeko(f, static_cast<off_t>(caseSize), SEEK_CUR) == 0;
    }
    std::vector<char> block(1u << 20);
    uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
    auto next = [&x]() {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        return x;
    };
    uint64_t node = 0;
    uint64_t left = kind == kSparse ? 0 : caseSize;
    while (ok && left > 0) {
        size_t n = 0;
        if (kind == kRandom) {
            for (; n + 8 <= block.size(); n += 8) {
                uint64_t w = next();
                std::memcpy(block.data() + n, &w, 8);
            }
        } else {
            // Node lines of a results file: an index and three coordinates.
            while (n + 64 <= block.size()) {
                uint64_t w = next();
                int written = std::snprintf(block.data() + n, 64, "%llu %.4f %.4f %.4f\n",
                                            static_cast<unsigned long long>(++node), (w & 0xFFFF) / 97.0,
                                            ((w >> 16) & 0xFFFF) / 89.0, ((w >> 32) & 0xFFFF) / 83.0);
                n += static_cast<size_t>(written);
            }
        }
        if (n > left)
            n = static_cast<size_t>(left);
        crc = crc32(crc, reinterpret_cast<const Bytef*>(block.data()), static_cast<uInt>(n));
        ok = std::fwrite(block.data(), 1, n, f) == n;
        left -= n;
    }
    kqinput::Bytes tail;
    kqinput::PutDirectoryRecord(tail, Record(snapshotName, snapshotCrc, jpeg.size()));
    kqinput::PutDirectoryRecord(tail, Record(caseName, static_cast<uint32_t>(crc), caseSize, caseAt));
    const size_t directorySize = tail.size();
    kqinput::PutZipEnd(tail, 2, static_cast<uint32_t>(directorySize),
                       static_cast<uint32_t>(caseAt + caseHeader.size() + caseSize));
    ok = ok && std::fwrite(tail.data(), 1, tail.size(), f) == tail.size();
    // The CRC field of the case entry's local header.
    kqinput::Bytes crcField;
    kqinput::PutLe(crcField, crc, 4);
    ok = ok && fseeko(f, static_cast<off_t>(caseAt + 14), SEEK_SET) == 0 && std::fwrite(crcField.data(), 1, 4, f) == 4;
    return std::fclose(f) == 0 && ok;
}

bool WritePresentation(const fs::path& path, const std::vector<std::string>& models)
{
    std::string types = kqinput::PresentationTypesOpening();
    std::string slideRels = std::string(kXmlDeclaration) + kRelationships;
    std::vector<std::pair<std::string, std::string>> entries;
    for (size_t i = 0; i < models.size(); ++i) {
        const std::string n = std::to_string(i + 1);
        types += "<Override PartName=\"/ppt/activeX/activeX" + n +
                 ".xml\" ContentType=\"application/vnd.ms-office.activeX+xml\"/>";
        slideRels += "<Relationship Id=\"rId" + n +
                     "\" Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/control\" "
                     "Target=\"../activeX/activeX" +
                     n + ".xml\"/>";
        entries.emplace_back("ppt/activeX/activeX" + n + ".xml",
                             std::string(kXmlDeclaration) + "<ax:ocx ax:classid=\"" + kViewerClassId +
                                 "\" ax:persistence=\"persistPropertyBag\" "
                                 "xmlns:ax=\"http://schemas.microsoft.com/office/2006/activeX\" "
                                 "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\">"
                                 "<ax:ocxPr ax:name=\"FileURL\" ax:value=\"" +
                                 models[i] +
                                 "\"/>"
                                 "<ax:ocxPr ax:name=\"Toolbar\" ax:value=\"1\"/></ax:ocx>");
        entries.emplace_back("ppt/activeX/activeX" + n + ".bin", std::string(64, '\0'));
        entries.emplace_back(
            "ppt/activeX/_rels/activeX" + n + ".xml.rels",
            OneRelationship("rId1", "http://schemas.microsoft.com/office/2006/relationships/activeXControlBinary",
                            "activeX" + n + ".bin"));
    }
    types += "</Types>";
    slideRels += "</Relationships>";
    entries.emplace_back("[Content_Types].xml", types);
    entries.emplace_back(
        "_rels/.rels",
        OneRelationship("rId1", "http://schemas.openxmlformats.org/officeDocument/2006/relationships/officeDocument",
                        "ppt/presentation.xml"));
    entries.emplace_back("ppt/presentation.xml",
                         std::string(kXmlDeclaration) +
                             "<p:presentation xmlns:p=\"http://schemas.openxmlformats.org/presentationml/2006/main\" "
                             "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\">"
                             "<p:sldIdLst><p:sldId id=\"256\" r:id=\"rId2\"/></p:sldIdLst></p:presentation>");
    entries.emplace_back("ppt/_rels/presentation.xml.rels",
                         OneRelationship("rId2",
                                         "http://schemas.openxmlformats.org/officeDocument/2006/relationships/slide",
                                         "slides/slide1.xml"));
    entries.emplace_back(
        "ppt/slides/slide1.xml",
        std::string(kXmlDeclaration) +
            "<p:sld xmlns:p=\"http://schemas.openxmlformats.org/presentationml/2006/main\"><p:cSld/></p:sld>");
    entries.emplace_back("ppt/slides/_rels/slide1.xml.rels", slideRels);
    return kqinput::WriteZip(path.string(), entries);
}

}  // namespace

int main(int argc, char** argv)
{
    Kind kind = kRandom;
    if (argc == 5 && std::strcmp(argv[4], "text") == 0)
        kind = kText;
    else if (argc == 5 && std::strcmp(argv[4], "sparse") == 0)
        kind = kSparse;
    else if (argc != 5 || std::strcmp(argv[4], "random") != 0) {
        std::fprintf(stderr, "usage: kqbench_corvessa_inputs <folder> <count> <bytes> <random|text|sparse>\n");
        return 2;
    }
    const int count = std::atoi(argv[2]);
    const uint64_t bytes = std::strtoull(argv[3], nullptr, 10);
    std::error_code ec;
    const fs::path folder = fs::absolute(argv[1]);
    fs::create_directories(folder / "models", ec);
    fs::create_directories(folder / "peer" / "ppt" / "kqfxFiles", ec);
    std::vector<std::string> models;
    for (int i = 1; i <= count; ++i) {
        char name[32];
        std::snprintf(name, sizeof(name), "model%04d.kqfx", i);
        const fs::path model = folder / "models" / name;
        if (!WriteModel(model, bytes, kind, static_cast<uint64_t>(i))) {
            std::fprintf(stderr, "cannot write %s\n", model.string().c_str());
            return 1;
        }
        fs::create_hard_link(model, folder / "peer" / "ppt" / "kqfxFiles" / ("kqfx" + std::to_string(i) + ".kqfx"), ec);
        models.push_back(model.string());
    }
    const fs::path package = folder / "presentation.pptx";
    if (!WritePresentation(package, models)) {
        std::fprintf(stderr, "cannot write %s\n", package.string().c_str());
        return 1;
    }
    std::printf("%s\n", package.string().c_str());
    return 0;
}
