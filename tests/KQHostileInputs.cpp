#include "KQHostileInputs.h"

#include <cstdio>
#include <filesystem>
#include <fstream>

#include <zip.h>

namespace kqhostile {

namespace {

void Put16(Bytes& b, unsigned v)
{
    b.push_back((unsigned char)(v >> 8));
    b.push_back((unsigned char)v);
}

void Marker(Bytes& b, unsigned code, const Bytes& body)
{
    b.push_back(0xFF);
    b.push_back((unsigned char)code);
    Put16(b, (unsigned)body.size() + 2);
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

void PutLe(Bytes& b, uint64_t v, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        b.push_back((unsigned char)(v >> (8 * i)));
}

} // namespace

Bytes FloodJpeg(const ScanFlood& s)
{
    Bytes b{0xFF, 0xD8};
    Bytes dqt{0};
    dqt.resize(65, 1);
    Marker(b, 0xDB, dqt);
    Bytes sof{8};
    Put16(sof, (unsigned)s.height);
    Put16(sof, (unsigned)s.width);
    sof.push_back(3);
    for (unsigned c = 1; c <= 3; ++c) {
        sof.push_back((unsigned char)c);
        sof.push_back(s.subsampled && c == 1 ? 0x22 : 0x11);
        sof.push_back(0);
    }
    Marker(b, s.progressive ? 0xC2 : 0xC0, sof);
    Marker(b, 0xC4, OneCodeTable(0x00, 0));
    Marker(b, 0xC4, OneCodeTable(0x10, 0));
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
    kqexample::ZipSettings settings;
    settings.method = [](size_t, const std::string&) { return kqexample::ZipMethod{ZIP_CM_DEFLATE, 9}; };
    return kqexample::WriteZip(path, {{"Case001/Snapshot.jpeg", snapshot}}, settings);
}

bool WriteManyEntryZip(const std::string& path, uint32_t entries)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out)
        return false;
    Bytes local, central;
    uint64_t at = 0;
    central.reserve((size_t)entries * 56);
    for (uint32_t i = 0; i < entries; ++i) {
        char name[16];
        int n = std::snprintf(name, sizeof(name), "e%07u", i);
        local.clear();
        PutLe(local, 0x04034b50, 4);
        PutLe(local, 10, 2);
        PutLe(local, 0, 2);
        PutLe(local, 0, 2);
        PutLe(local, 0, 4); // time and date
        PutLe(local, 0, 4); // CRC
        PutLe(local, 0, 4);
        PutLe(local, 0, 4);
        PutLe(local, (uint64_t)n, 2);
        PutLe(local, 0, 2);
        local.insert(local.end(), name, name + n);
        out.write((const char*)local.data(), (std::streamsize)local.size());
        PutLe(central, 0x02014b50, 4);
        PutLe(central, 45, 2);
        PutLe(central, 10, 2);
        PutLe(central, 0, 2);
        PutLe(central, 0, 2);
        PutLe(central, 0, 4);
        PutLe(central, 0, 4);
        PutLe(central, 0, 4);
        PutLe(central, 0, 4);
        PutLe(central, (uint64_t)n, 2);
        PutLe(central, 0, 2);
        PutLe(central, 0, 2);
        PutLe(central, 0, 2);
        PutLe(central, 0, 2);
        PutLe(central, 0, 4);
        PutLe(central, at, 4);
        central.insert(central.end(), name, name + n);
        at += local.size();
    }
    out.write((const char*)central.data(), (std::streamsize)central.size());
    const uint64_t directoryAt = at;
    const uint64_t end64At = at + central.size();
    Bytes tail;
    const bool zip64 = entries >= 0xFFFF;
    if (zip64) {
        PutLe(tail, 0x06064b50, 4);
        PutLe(tail, 44, 8);
        PutLe(tail, 45, 2);
        PutLe(tail, 45, 2);
        PutLe(tail, 0, 4);
        PutLe(tail, 0, 4);
        PutLe(tail, entries, 8);
        PutLe(tail, entries, 8);
        PutLe(tail, central.size(), 8);
        PutLe(tail, directoryAt, 8);
        PutLe(tail, 0x07064b50, 4);
        PutLe(tail, 0, 4);
        PutLe(tail, end64At, 8);
        PutLe(tail, 1, 4);
    }
    PutLe(tail, 0x06054b50, 4);
    PutLe(tail, 0, 4);
    PutLe(tail, zip64 ? 0xFFFF : entries, 2);
    PutLe(tail, zip64 ? 0xFFFF : entries, 2);
    PutLe(tail, central.size(), 4);
    PutLe(tail, zip64 ? 0xFFFFFFFF : directoryAt, 4);
    PutLe(tail, 0, 2);
    out.write((const char*)tail.data(), (std::streamsize)tail.size());
    return (bool)out;
}

bool WriteLongPackedKqf(const std::string& path, int32_t packed)
{
    kqexample::KqfLayout s;
    s.width = 3000;
    s.height = 3000;
    s.forceD = packed;
    s.forceU = 3000 * 3000 * 3;
    s.forceData = Bytes(64, 0);
    Bytes b = kqexample::BuildKqf(s);
    if (!kqexample::WriteFile(path, b))
        return false;
    std::error_code ec;
    std::filesystem::resize_file(path, b.size() + (uint64_t)packed, ec);
    return !ec;
}

} // namespace kqhostile
