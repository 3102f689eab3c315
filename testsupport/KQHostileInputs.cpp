#include "KQHostileInputs.h"

#include <cstdio>
#include <filesystem>
#include <fstream>

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
    for (int i = 0; i < s.scans; ++i)
        Marker(b, 0xDA, scan);
    b.push_back(0xFF);
    b.push_back(0xD9);
    return b;
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
    settings.method = [](size_t, const std::string&) { return kqinput::ZipMethod{ZIP_CM_DEFLATE, 9}; };
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

}  // namespace kqhostile
