#include "KQHostileInputs.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>

#include <string>
#include <utility>
#include <vector>
#include <zip.h>
#include <zlib.h>

namespace kqhostile {

namespace {

void PutBe16(Bytes& b, unsigned v)
{
    b.push_back((unsigned char)(v >> 8));
    b.push_back((unsigned char)v);
}

void PutLe16(Bytes& b, unsigned v)
{
    b.push_back((unsigned char)v);
    b.push_back((unsigned char)(v >> 8));
}

void Marker(Bytes& b, unsigned code, const Bytes& body)
{
    b.push_back(0xFF);
    b.push_back((unsigned char)code);
    PutBe16(b, (unsigned)body.size() + 2);
    b.insert(b.end(), body.begin(), body.end());
}

// One code of one bit: every run of zero bits decodes as that symbol.
Bytes OneCodeTable(unsigned classAndId, unsigned char symbol)
{
    Bytes t{(unsigned char)classAndId, 1};
    t.resize(17, 0);
    t.push_back(symbol);
    return t;
}

// Entropy-coded bits, most significant first, with the 0 byte stuffed
// after every 0xFF; the last byte is padded with 1 bits.
struct BitWriter {
    Bytes& out;
    unsigned byte = 0;
    int used = 0;
    void Put(unsigned bit)
    {
        byte = (byte << 1) | (bit & 1);
        if (++used == 8) {
            out.push_back((unsigned char)byte);
            if (byte == 0xFF)
                out.push_back(0);
            byte = 0;
            used = 0;
        }
    }
    void Flush()
    {
        while (used != 0)
            Put(1);
    }
};

// The AC scans of a refined flood over the blocks of component 1: one
// that sets every coefficient, then refinements of them all.
void RefinedScans(Bytes& b, const ScanFlood& s)
{
    // Symbol 0x01 (one coefficient of one bit) for the first scan, an
    // end-of-band run of 16,384 blocks (0xE0 and 14 bits) for the others.
    Marker(b, 0xC4, OneCodeTable(0x10, 0x01));
    Marker(b, 0xC4, OneCodeTable(0x11, 0xE0));
    // Component 1 is at full resolution: one block a scan for each 8 x 8
    // pixels.
    const long blocks = (long)((s.width + 7) / 8) * ((s.height + 7) / 8);
    uint32_t state = 88675123u;
    auto randomBit = [&state]() {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state >> 31;
    };
    for (int i = 1; i < s.scans; ++i) {
        const bool first = i == 1;
        Marker(b, 0xDA, Bytes{1, 1, (unsigned char)(first ? 0x00 : 0x01), 1, 63, (unsigned char)(first ? 0x00 : 0x10)});
        BitWriter bits{b};
        for (long k = 0; k < blocks; ++k) {
            if (first) {
                for (int c = 1; c < 64; ++c) {
                    bits.Put(0);
                    bits.Put(randomBit());
                }
                continue;
            }
            if (k % 16384 == 0)
                for (int n = 0; n < 15; ++n)
                    bits.Put(0);
            for (int c = 1; c < 64; ++c)
                bits.Put(randomBit());
        }
        bits.Flush();
    }
}

}  // namespace

Bytes FloodJpeg(const ScanFlood& s)
{
    Bytes b{0xFF, 0xD8};
    Bytes dqt{0};
    dqt.resize(65, 1);
    Marker(b, 0xDB, dqt);
    Bytes sof{8};
    PutBe16(sof, (unsigned)s.height);
    PutBe16(sof, (unsigned)s.width);
    sof.push_back(3);
    for (unsigned c = 1; c <= 3; ++c) {
        sof.push_back((unsigned char)c);
        sof.push_back(s.subsampled && c == 1 ? 0x22 : 0x11);
        sof.push_back(0);
    }
    if (s.arithmetic) {
        // The default conditioning; no table is needed.
        Marker(b, s.progressive ? 0xCA : 0xC9, sof);
    } else {
        Marker(b, s.progressive ? 0xC2 : 0xC0, sof);
        Marker(b, 0xC4, OneCodeTable(0x00, 0));
        Marker(b, 0xC4, OneCodeTable(0x10, 0));
    }
    // Progressive: first scans of the DC coefficients of all components
    // (which visit every block of the picture), over and over. Baseline:
    // component 1 alone, which makes the data multi-scan. Either way no
    // entropy byte follows.
    const Bytes scan = s.progressive ? Bytes{3, 1, 0x00, 2, 0x00, 3, 0x00, 0, 0, 0} : Bytes{1, 1, 0x00, 0, 63, 0};
    const bool refined = s.refined && s.progressive && !s.arithmetic;
    const bool scripted = !s.script.empty() && s.progressive && !refined;
    for (int i = 0; i < (refined ? 1 : scripted ? 0 : s.scans); ++i)
        Marker(b, 0xDA, scan);
    for (size_t i = 0; scripted && i < s.script.size(); ++i) {
        const FloodScan& f = s.script[i];
        Bytes header{(unsigned char)f.components.size()};
        for (int c : f.components) {
            header.push_back((unsigned char)c);
            header.push_back(0x00);
        }
        header.push_back((unsigned char)f.first);
        header.push_back((unsigned char)f.last);
        header.push_back((unsigned char)(f.high << 4 | f.low));
        Marker(b, 0xDA, header);
    }
    if (refined)
        RefinedScans(b, s);
    b.push_back(0xFF);
    b.push_back(0xD9);
    return b;
}

Bytes FloodJpeg(int width, int height, bool progressive, bool subsampled, int scans, bool arithmetic)
{
    ScanFlood s;
    s.width = width;
    s.height = height;
    s.progressive = progressive;
    s.subsampled = subsampled;
    s.scans = scans;
    s.arithmetic = arithmetic;
    return FloodJpeg(s);
}

Bytes WithMarkerFlood(const Bytes& jpeg, int markers)
{
    Bytes b(jpeg.begin(), jpeg.begin() + 2);
    Bytes body(65533, 0);
    for (int i = 0; i < markers; ++i)
        Marker(b, 0xE1, body);
    b.insert(b.end(), jpeg.begin() + 2, jpeg.end());
    return b;
}

bool WriteContainer(const std::string& path, const Bytes& snapshot)
{
    kqinput::ZipSettings settings;
    settings.method = [](size_t, const std::string&) { return kqinput::ZipMethod{ZIP_CM_DEFLATE, 1}; };
    return kqinput::WriteZip(path, {{"Case001/Snapshot.jpeg", snapshot}}, settings);
}

bool WriteManyEntryZip(const std::string& path, uint32_t entries)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out)
        return false;
    Bytes local, central;
    uint64_t at = 0;
    central.reserve((size_t)entries * 56);
    kqinput::StoredRecord r;
    r.madeBy = 45;
    r.needed = 10;
    for (uint32_t i = 0; i < entries; ++i) {
        char name[16];
        int n = std::snprintf(name, sizeof(name), "e%07u", i);
        r.name.assign(name, (size_t)n);
        r.offset = (uint32_t)at;
        local.clear();
        kqinput::PutLocalHeader(local, r);
        out.write((const char*)local.data(), (std::streamsize)local.size());
        kqinput::PutDirectoryRecord(central, r);
        at += local.size();
    }
    out.write((const char*)central.data(), (std::streamsize)central.size());
    const uint64_t directoryAt = at;
    Bytes tail;
    const bool zip64 = entries >= 0xFFFF;
    if (zip64) {
        kqinput::PutZip64End(tail, entries, central.size(), directoryAt);
        kqinput::PutZip64Locator(tail, directoryAt + central.size());
    }
    kqinput::PutZipEnd(tail, zip64 ? 0xFFFF : (uint16_t)entries, (uint32_t)central.size(),
                       zip64 ? 0xFFFFFFFF : (uint32_t)directoryAt);
    out.write((const char*)tail.data(), (std::streamsize)tail.size());
    return (bool)out;
}

Bytes WithEchoedEnd(const Bytes& zip, int copies)
{
    const size_t endLength = 22;
    if (zip.size() < endLength)
        return zip;
    const Bytes end(zip.end() - endLength, zip.end());
    Bytes b(zip.begin(), zip.end() - 2);
    PutLe16(b, (unsigned)(copies * endLength));
    for (int i = 0; i < copies; ++i)
        b.insert(b.end(), end.begin(), end.end());
    return b;
}

std::vector<std::string> CollidingNames(size_t count, const std::string& prefix)
{
    std::vector<std::string> names;
    names.reserve(count);
    for (size_t i = 0; i < count && i < (1u << 16); ++i) {
        std::string name = prefix;
        for (int bit = 15; bit >= 0; --bit)
            name += (i >> bit) & 1 ? "FY" : "Ez";
        names.push_back(name);
    }
    return names;
}

bool WriteStoredZip(const std::string& path, const std::vector<std::pair<std::string, Bytes>>& entries)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out)
        return false;
    Bytes local, central;
    uint64_t at = 0;
    for (const auto& entry : entries) {
        kqinput::StoredRecord r;
        r.name = entry.first;
        r.size = (uint32_t)entry.second.size();
        r.crc = (uint32_t)crc32(0, entry.second.data(), (uInt)entry.second.size());
        r.offset = (uint32_t)at;
        local.clear();
        kqinput::PutLocalHeader(local, r);
        out.write((const char*)local.data(), (std::streamsize)local.size());
        out.write((const char*)entry.second.data(), (std::streamsize)entry.second.size());
        kqinput::PutDirectoryRecord(central, r);
        at += local.size() + entry.second.size();
    }
    out.write((const char*)central.data(), (std::streamsize)central.size());
    Bytes tail;
    const bool zip64 = entries.size() >= 0xFFFF;
    if (zip64) {
        kqinput::PutZip64End(tail, entries.size(), central.size(), at);
        kqinput::PutZip64Locator(tail, at + central.size());
    }
    kqinput::PutZipEnd(tail, zip64 ? 0xFFFF : (uint16_t)entries.size(), (uint32_t)central.size(),
                       zip64 ? 0xFFFFFFFF : (uint32_t)at);
    out.write((const char*)tail.data(), (std::streamsize)tail.size());
    return (bool)out;
}

Bytes NoiseTile(int width, int height)
{
    unsigned char tile[8][8][3];
    uint32_t state = 99991;
    for (auto& row : tile)
        for (auto& pixel : row)
            for (unsigned char& v : pixel) {
                state = state * 1664525u + 1013904223u;
                v = (unsigned char)(state >> 24);
            }
    Bytes px((size_t)width * (size_t)height * 3);
    size_t i = 0;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            for (int c = 0; c < 3; ++c)
                px[i++] = tile[y % 8][x % 8][c];
    return px;
}

Bytes Noise(int width, int height)
{
    Bytes px((size_t)width * (size_t)height * 3);
    uint32_t state = 2463534242u;
    for (unsigned char& v : px) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        v = (unsigned char)state;
    }
    return px;
}

bool WriteLongPackedKqf(const std::string& path, int32_t packed)
{
    kqinput::KqfLayout s;
    s.width = 3000;
    s.height = 3000;
    s.forceD = packed;
    s.forceU = 3000 * 3000 * 3;
    s.forceData = Bytes(64, 0);
    Bytes b = kqinput::BuildKqf(s);
    if (!kqinput::WriteFile(path, b))
        return false;
    std::error_code ec;
    std::filesystem::resize_file(path, b.size() + (uint64_t)packed, ec);
    return !ec;
}

// --- Office packages ---------------------------------------------------------

namespace {

const char* const kDeclaration = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n";

std::string ControlPart(const std::string& model, const std::string& extra)
{
    return std::string(kDeclaration) +
           "<ax:ocx ax:classid=\"{5C2E9A41-7B3D-4F08-9E6A-2D71C0B4F853}\" ax:persistence=\"persistPropertyBag\" "
           "xmlns:ax=\"http://schemas.microsoft.com/office/2006/activeX\" "
           "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\">"
           "<ax:ocxPr ax:name=\"_cx\" ax:value=\"4000\"/><ax:ocxPr ax:name=\"FileURL\" ax:value=\"" +
           model + "\"/>" + extra + "</ax:ocx>";
}

// The parts of the package, in the order an office suite writes them, with
// extra inside the root of part.
std::vector<std::pair<std::string, std::string>> PackageParts(const std::string& model, const std::string& part,
                                                              const std::string& extra)
{
    auto in = [&](const char* name) { return part == name ? extra : std::string(); };
    const std::string rels = "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">";
    const std::string rel = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/";
    std::vector<std::pair<std::string, std::string>> parts;
    parts.push_back({"[Content_Types].xml", kqinput::PresentationTypesOpening() +
                                                "<Override PartName=\"/ppt/activeX/activeX1.xml\" "
                                                "ContentType=\"application/vnd.ms-office.activeX+xml\"/>" +
                                                in("[Content_Types].xml") + "</Types>"});
    parts.push_back({"_rels/.rels", std::string(kDeclaration) + rels + "<Relationship Id=\"rId1\" Type=\"" + rel +
                                        "officeDocument\" Target=\"ppt/presentation.xml\"/>" + in("_rels/.rels") +
                                        "</Relationships>"});
    parts.push_back({"ppt/presentation.xml",
                     std::string(kDeclaration) +
                         "<p:presentation xmlns:p=\"http://schemas.openxmlformats.org/presentationml/2006/main\" "
                         "xmlns:r=\"" +
                         rel.substr(0, rel.size() - 1) +
                         "\"><p:sldIdLst><p:sldId id=\"256\" r:id=\"rId2\"/></p:sldIdLst></p:presentation>"});
    parts.push_back(
        {"ppt/_rels/presentation.xml.rels", std::string(kDeclaration) + rels + "<Relationship Id=\"rId2\" Type=\"" +
                                                rel + "slide\" Target=\"slides/slide1.xml\"/>" +
                                                in("ppt/_rels/presentation.xml.rels") + "</Relationships>"});
    parts.push_back(
        {"ppt/slides/slide1.xml",
         std::string(kDeclaration) +
             "<p:sld xmlns:p=\"http://schemas.openxmlformats.org/presentationml/2006/main\"><p:cSld/></p:sld>"});
    parts.push_back({"ppt/slides/_rels/slide1.xml.rels", std::string(kDeclaration) + rels +
                                                             "<Relationship Id=\"rId2\" Type=\"" + rel +
                                                             "control\" Target=\"../activeX/activeX1.xml\"/>"
                                                             "</Relationships>"});
    parts.push_back({"ppt/activeX/activeX1.xml", ControlPart(model, in("ppt/activeX/activeX1.xml"))});
    parts.push_back({"ppt/activeX/_rels/activeX1.xml.rels",
                     std::string(kDeclaration) + rels +
                         "<Relationship Id=\"rId1\" "
                         "Type=\"http://schemas.microsoft.com/office/2006/relationships/activeXControlBinary\" "
                         "Target=\"activeX1.bin\"/></Relationships>"});
    parts.push_back({"ppt/activeX/activeX1.bin", std::string(24, '\x11')});
    return parts;
}

// Nothing that repeats a short pattern should take long to build.
std::string Repeat(const std::string& unit, size_t count)
{
    std::string out;
    out.reserve(unit.size() * count);
    for (size_t i = 0; i < count; ++i)
        out += unit;
    return out;
}

}  // namespace

std::string NestedElements(size_t depth)
{
    return Repeat("<x>", depth) + Repeat("</x>", depth);
}

std::string ManyAttributes(size_t count)
{
    std::string out = "<x";
    for (size_t i = 0; i < count; ++i)
        out += " a" + std::to_string(i) + "=\"\"";
    return out + "/>";
}

std::string EmptyElements(size_t count)
{
    return Repeat("<a/>", count);
}

std::string Overrides(size_t count)
{
    std::string out;
    out.reserve(count * 70);
    for (size_t i = 0; i < count; ++i)
        out += "<Override PartName=\"/p/" + std::to_string(i) + ".xml\" ContentType=\"application/xml\"/>";
    return out;
}

bool WriteHostilePackage(const std::string& path, const std::string& model, const std::string& part,
                         const std::string& extra)
{
    kqinput::ZipSettings settings;
    settings.method = [](size_t, const std::string&) { return kqinput::ZipMethod{ZIP_CM_DEFLATE, 1}; };
    return kqinput::WriteZip(path, PackageParts(model, part, extra), settings);
}

bool WriteHostilePackageDeclared(const std::string& path, const std::string& model, const std::string& part,
                                 const std::string& declaration, const std::string& extra)
{
    std::vector<std::pair<std::string, std::string>> parts = PackageParts(model, part, extra);
    for (auto& p : parts) {
        const size_t end = p.second.find("?>");
        if (p.first == part && p.second.compare(0, 5, "<?xml") == 0 && end != std::string::npos)
            p.second.replace(0, end + 2, declaration);
    }
    kqinput::ZipSettings settings;
    settings.method = [](size_t, const std::string&) { return kqinput::ZipMethod{ZIP_CM_DEFLATE, 1}; };
    return kqinput::WriteZip(path, parts, settings);
}

std::string ReferenceTrick(int kind, const std::string& hidden, size_t count)
{
    if (kind == 0)
        return "&#x<!--x41;" + hidden + "-->";
    if (kind == 1)
        return "&#<!--65;" + hidden + "-->";
    std::string out;
    for (size_t i = 0; i < count; ++i)
        out += "<x>&#x<#x;";
    return out + "<x";
}

bool WriteUnreadableControlPackage(const std::string& path, const std::string& model, UnreadableControl kind)
{
    const std::string control = "ppt/activeX/activeX1.xml";
    if (kind == CONTROL_OVERSIZED) {
        std::string comment = "<!--" + std::string(65u << 20, ' ') + "-->";
        return WriteHostilePackage(path, model, control, comment);
    }
    std::vector<std::pair<std::string, std::string>> parts = PackageParts(model, std::string(), std::string());
    for (auto& p : parts) {
        if (p.first != control)
            continue;
        if (kind == CONTROL_DTD)
            p.second.insert(p.second.find("<ax:ocx"), "<!DOCTYPE ax:ocx [<!ENTITY e \"x\">]>");
        else if (kind == CONTROL_MALFORMED)
            p.second.resize(p.second.find("<ax:ocxPr ax:name=\"FileURL\"") + 20);
    }
    if (kind != CONTROL_SIZE_CLAIM) {
        kqinput::ZipSettings settings;
        settings.method = [](size_t, const std::string&) { return kqinput::ZipMethod{ZIP_CM_DEFLATE, 1}; };
        return kqinput::WriteZip(path, parts, settings);
    }
    // Stored entries whose records tell the truth, but for the control's
    // sizes, which claim 1 GiB.
    Bytes out, directory;
    for (const auto& p : parts) {
        kqinput::StoredRecord r;
        r.name = p.first;
        r.size = p.first == control ? (1u << 30) : static_cast<uint32_t>(p.second.size());
        r.crc = static_cast<uint32_t>(
            crc32(0, reinterpret_cast<const Bytef*>(p.second.data()), static_cast<uInt>(p.second.size())));
        r.offset = static_cast<uint32_t>(out.size());
        kqinput::PutLocalHeader(out, r);
        out.insert(out.end(), p.second.begin(), p.second.end());
        kqinput::PutDirectoryRecord(directory, r);
    }
    const uint32_t at = static_cast<uint32_t>(out.size());
    out.insert(out.end(), directory.begin(), directory.end());
    kqinput::PutZipEnd(out, static_cast<uint16_t>(parts.size()), static_cast<uint32_t>(directory.size()), at);
    return kqinput::WriteFile(path, out);
}

bool WriteZip64EndBeforeDirectory(const std::string& path, const Bytes& snapshot, uint32_t entries,
                                  uint32_t extraBytes, uint32_t commentBytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out || entries == 0)
        return false;
    kqinput::StoredRecord first;
    first.name = "Case001/Snapshot.jpeg";
    first.size = (uint32_t)snapshot.size();
    first.crc = (uint32_t)crc32(0, snapshot.data(), (uInt)snapshot.size());
    Bytes head;
    kqinput::PutLocalHeader(head, first);
    head.insert(head.end(), snapshot.begin(), snapshot.end());
    const uint64_t recordAt = head.size();
    uint64_t directoryBytes = 0;
    for (uint32_t i = 0; i < entries; ++i)
        directoryBytes += 46 + (i == 0 ? first.name.size() : 8 + std::to_string(i).size()) + extraBytes + commentBytes;
    kqinput::PutZip64End(head, entries, directoryBytes, recordAt + 56);
    out.write((const char*)head.data(), (std::streamsize)head.size());
    uint64_t at = head.size();
    Bytes record;
    for (uint32_t i = 0; i < entries; ++i) {
        kqinput::StoredRecord r = first;
        if (i > 0) {
            r.name = "Case001/" + std::to_string(i) + ".dat";
            r.size = 0;
            r.crc = 0;
        }
        record.clear();
        kqinput::PutDirectoryRecord(record, r);
        record[30] = (unsigned char)extraBytes;
        record[31] = (unsigned char)(extraBytes >> 8);
        record[32] = (unsigned char)commentBytes;
        record[33] = (unsigned char)(commentBytes >> 8);
        out.seekp((std::streamoff)at);
        out.write((const char*)record.data(), (std::streamsize)record.size());
        at += record.size() + extraBytes + commentBytes;
    }
    Bytes tail;
    kqinput::PutZip64Locator(tail, recordAt);
    kqinput::PutZipEnd(tail, 0xFFFF, 0xFFFFFFFF, 0xFFFFFFFF);
    out.seekp((std::streamoff)at);
    out.write((const char*)tail.data(), (std::streamsize)tail.size());
    return (bool)out;
}

std::vector<std::string> OneBucketNames(size_t count, size_t buckets)
{
    std::vector<std::string> names;
    const std::hash<std::string> hash;
    size_t bucket = 0;
    std::string name;
    for (uint64_t i = 0; names.size() < count && buckets > 0; ++i) {
        name = "h-";
        char digits[16];
        int n = 0;
        uint64_t v = i;
        do {
            digits[n++] = "0123456789abcdefghijklmnopqrstuvwxyz"[v % 36];
            v /= 36;
        } while (v);
        while (n > 0)
            name += digits[--n];
        const size_t b = hash(name) % buckets;
        if (names.empty())
            bucket = b;
        if (b == bucket)
            names.push_back(name);
    }
    return names;
}

}  // namespace kqhostile
