// Reading one entry of a libzip archive in pieces.
#include "KQOZipEntryReader.h"

#include <zip.h>

#include <cstdlib>

namespace {

// Larger entries are read in bigger steps, up to 4 MiB.
const uint64 kSmallEntry = 0x40000;
const uint64 kSmallChunk = 65536;
const uint64 kLargestChunk = 0x400000;

// What EndsWell reads at a time.
const size_t kTrailerPiece = 4096;

int64 ReadEntryData(void* context, void* out, uint64 len)
{
    return zip_fread(static_cast<zip_file_t*>(context), out, len);
}

}  // namespace

KQEntryReadResult KQReadEntryWhole(KQEntryRead read, void* context, uint64 claimed, bool exact, ubyte** block,
                                   int32* size)
{
    *block = nullptr;
    const uint64 chunk = claimed < kSmallEntry ? kSmallChunk : (claimed < kLargestChunk ? claimed : kLargestChunk);
    uint64 capacity = claimed < chunk ? claimed : chunk;
    // An entry that claims nothing is still read: it must hold nothing.
    ubyte* bytes = static_cast<ubyte*>(malloc(capacity > 0 ? static_cast<size_t>(capacity) : 1));
    auto fail = [&](KQEntryReadResult result) {
        free(bytes);
        return result;
    };
    if (!bytes)
        return fail(KQ_ENTRY_NO_MEMORY);
    uint64 total = 0;
    for (;;) {
        if (total == capacity) {
            if (capacity == claimed)
                break;
            uint64 grown = capacity * 2 < claimed ? capacity * 2 : claimed;
            ubyte* bigger = static_cast<ubyte*>(realloc(bytes, static_cast<size_t>(grown)));
            if (!bigger)
                return fail(KQ_ENTRY_NO_MEMORY);
            bytes = bigger;
            capacity = grown;
        }
        uint64 want = capacity - total;
        if (want > chunk)
            want = chunk;
        int64 n = read(context, bytes + total, want);
        if (n < 0)
            return fail(KQ_ENTRY_READ_FAILED);
        if (n == 0)
            break;
        total += static_cast<uint64>(n);
    }
    // Reading on to the end lets libzip check the CRC and shows a file that
    // has grown.
    if (exact) {
        if (total != claimed)
            return fail(KQ_ENTRY_SIZE_MISMATCH);
        ubyte probe;
        int64 n = read(context, &probe, 1);
        if (n < 0)
            return fail(KQ_ENTRY_READ_FAILED);
        if (n > 0)
            return fail(KQ_ENTRY_SIZE_MISMATCH);
    }
    if (total == 0) {
        free(bytes);
        return KQ_ENTRY_READ;
    }
    if (size)
        *size = static_cast<int32>(total);
    *block = bytes;
    return KQ_ENTRY_READ;
}

KQZipEntryReader::KQZipEntryReader()
    : archive(nullptr), index(0), entry(nullptr), sizeKnown(false), size(0), crcKnown(false), crc(0), left(0),
      failed(false)
{}

KQZipEntryReader::~KQZipEntryReader()
{
    if (entry)
        zip_fclose(entry);
}

bool KQZipEntryReader::Stat(zip* archive_, uint64 index_)
{
    archive = archive_;
    index = index_;
    zip_stat_t st;
    zip_stat_init(&st);
    if (zip_stat_index(archive, index, 0, &st) != 0)
        return false;
    sizeKnown = (st.valid & ZIP_STAT_SIZE) != 0;
    size = sizeKnown ? st.size : 0;
    crcKnown = (st.valid & ZIP_STAT_CRC) != 0;
    crc = crcKnown ? st.crc : 0;
    left = size;
    return true;
}

bool KQZipEntryReader::Open()
{
    if (!archive || entry)
        return false;
    entry = zip_fopen_index(archive, index, 0);
    return entry != nullptr;
}

KQEntryReadResult KQZipEntryReader::ReadWhole(uint64 most, ubyte** block, int32* size_)
{
    *block = nullptr;
    if (!entry)
        return KQ_ENTRY_READ_FAILED;
    const uint64 claimed = sizeKnown ? size : most;
    KQEntryReadResult result = KQReadEntryWhole(ReadEntryData, entry, claimed, sizeKnown, block, size_);
    // libzip keeps no CRC layer for an entry without stored bytes; the CRC
    // of nothing is 0.
    if (result == KQ_ENTRY_READ && sizeKnown && claimed == 0 && crcKnown && crc != 0)
        return KQ_ENTRY_BAD_CRC;
    return result;
}

const char* KQZipEntryReader::ErrorText() const
{
    return entry ? zip_file_strerror(entry) : "";
}

uint64 KQZipEntryReader::Read(void* out, uint64 len)
{
    if (failed || !entry)
        return 0;
    if (len > left)
        len = left;
    uint64 got = 0;
    while (got < len) {
        zip_int64_t n = zip_fread(entry, static_cast<ubyte*>(out) + got, len - got);
        if (n <= 0) {
            // Damaged data, or an entry shorter than it claims.
            failed = true;
            break;
        }
        got += static_cast<uint64>(n);
    }
    left -= got;
    return got;
}

bool KQZipEntryReader::EndsWell(uint64 mostLeft)
{
    if (failed || !entry)
        return false;
    if (left > mostLeft)
        return true;
    ubyte piece[kTrailerPiece];
    for (;;) {
        zip_int64_t n = zip_fread(entry, piece, sizeof(piece));
        if (n < 0)
            return false;
        if (n == 0)
            return true;
    }
}

uint32 KQZipEntryStreamRead(void* buffer, int32 itemSize, uint32 count, KQStreamHandle handle)
{
    KQZipEntryReader* reader = static_cast<KQZipEntryReader*>(handle);
    if (itemSize <= 0 || reader->Failed())
        return 0;
    uint64 want = static_cast<uint64>(itemSize) * count;
    const uint64 left = reader->Left();
    if (want > left)
        want = left - left % static_cast<uint64>(itemSize);
    return static_cast<uint32>(reader->Read(buffer, want) / static_cast<uint64>(itemSize));
}
