// kqe2einputs: the models of the Windows end-to-end checks that are not
// shipped examples.
//
//   kqe2einputs kqf FILE WIDTH HEIGHT
//       a binary KQF file (short header without extension, so the block data
//       is raw) whose image block is one colour, R 0x20 G 0x80 B 0xE0;
//   kqe2einputs big-kqfx FILE SNAPSHOT
//       a zip64 KQFx container of 4.5 GiB whose snapshot (the JPEG file
//       SNAPSHOT, stored) lies past 4 GiB, behind a stored entry of zeros that
//       is a hole in the file, so it costs no disk space. A reader with
//       32-bit file offsets cannot reach the snapshot.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <zlib.h>

#include "KQTestInputWriter.h"

namespace {

using kqinput::Bytes;

bool WriteOneColourKqf(const std::string& file, int32_t width, int32_t height)
{
    kqinput::KqfLayout layout;
    layout.width = width;
    layout.height = height;
    layout.form1 = true;
    layout.headerLength = 96;
    const unsigned char colour[3] = {0x20, 0x80, 0xE0};
    layout.pixels.resize(static_cast<size_t>(width) * static_cast<size_t>(height) * 3);
    for (size_t i = 0; i < layout.pixels.size(); ++i)
        layout.pixels[i] = colour[i % 3];
    return kqinput::WriteFile(file, kqinput::BuildKqf(layout));
}

bool WriteBigKqfx(const std::string& file, const std::string& snapshotFile)
{
    const Bytes snapshot = kqinput::ReadFile(snapshotFile);
    if (snapshot.empty())
        return false;

    struct Entry {
        kqinput::StoredRecord record;
        uint64_t size;
        uint64_t offset;
        const Bytes* data;  // null: a hole of size bytes
    };
    const uint64_t padding = 4600ull << 20;
    std::vector<Entry> entries(2);
    entries[0].record.name = "Case001/Padding.bin";
    entries[0].record.crc = kqinput::ZerosCrc(padding);
    entries[0].size = padding;
    entries[0].data = nullptr;
    entries[1].record.name = "Case001/Snapshot.jpeg";
    entries[1].record.crc =
        static_cast<uint32_t>(crc32(crc32(0L, Z_NULL, 0), snapshot.data(), static_cast<uInt>(snapshot.size())));
    entries[1].size = snapshot.size();
    entries[1].data = &snapshot;

    std::FILE* f = std::fopen(file.c_str(), "wb");
    if (!f)
        return false;
    bool ok = true;
    uint64_t at = 0;
    auto put = [&](const Bytes& b) {
        ok = ok && std::fwrite(b.data(), 1, b.size(), f) == b.size();
        at += b.size();
    };
    for (Entry& e : entries) {
        e.offset = at;
        e.record.needed = 45;
        e.record.madeBy = 45;
        e.record.stamp = 0x00210000;  // 1980-01-01 00:00
        e.record.size = 0xFFFFFFFF;
        e.record.offset = 0xFFFFFFFF;
        Bytes header;
        kqinput::PutLocalHeader(header, e.record, kqinput::Zip64Extra({e.size, e.size}));
        put(header);
        if (e.data) {
            put(*e.data);
        } else {
            // Seeking past the end leaves a hole that reads as zeros.
            ok = ok && fseeko(f, static_cast<off_t>(e.size), SEEK_CUR) == 0;
            at += e.size;
        }
    }
    const uint64_t directory = at;
    Bytes tail;
    for (const Entry& e : entries)
        kqinput::PutDirectoryRecord(tail, e.record, kqinput::Zip64Extra({e.size, e.size, e.offset}));
    const uint64_t end = directory + tail.size();
    kqinput::PutZip64End(tail, entries.size(), end - directory, directory);
    kqinput::PutZip64Locator(tail, end);
    kqinput::PutZipEnd(tail, 0xFFFF, 0xFFFFFFFF, 0xFFFFFFFF);
    put(tail);
    return std::fclose(f) == 0 && ok;
}

int Usage()
{
    std::fprintf(stderr, "usage: kqe2einputs kqf FILE WIDTH HEIGHT\n"
                         "       kqe2einputs big-kqfx FILE SNAPSHOT\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
        return Usage();
    const std::string what = argv[1];
    bool ok;
    if (what == "kqf" && argc == 5) {
        const int32_t width = std::atoi(argv[3]), height = std::atoi(argv[4]);
        if (width < 1 || height < 1)
            return Usage();
        ok = WriteOneColourKqf(argv[2], width, height);
    } else if (what == "big-kqfx" && argc == 4) {
        ok = WriteBigKqfx(argv[2], argv[3]);
    } else {
        return Usage();
    }
    if (!ok) {
        std::fprintf(stderr, "kqe2einputs: cannot write %s\n", argv[2]);
        return 1;
    }
    return 0;
}
