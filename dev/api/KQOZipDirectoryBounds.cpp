// What an archive's end records claim: read from the file's tail alone.
#include "KQOZipDirectoryBounds.h"

#include <zip.h>

#include <new>
#include <vector>

#include "KQOFile.h"

namespace {

const int64 kEndRecordLength = 22;
const int64 kLocatorLength = 20;
const uint64 kEnd64RecordLength = 56;
const uint64 kDirectoryRecordLength = 46;
const int64 kLongestTail = 65535 + kEndRecordLength + kLocatorLength;

uint64 Little(const ubyte* p, int bytes)
{
    uint64 value = 0;
    for (int i = bytes - 1; i >= 0; --i)
        value = (value << 8) | p[i];
    return value;
}

// A directory that an end record at recordAt claims. One that does not lie
// before its record is refused by libzip before it is read, so only its
// count matters then; one that does must hold every entry it claims.
bool PlausibleClaim(uint64 entries, uint64 bytes, uint64 offset, uint64 recordAt, const KQZipDirectoryBounds& bounds)
{
    if (entries > bounds.mostEntries)
        return false;
    const bool before = offset <= recordAt && bytes <= recordAt - offset;
    return !before || (entries <= bytes / kDirectoryRecordLength && bytes <= bounds.mostDirectoryBytes);
}

}  // namespace

bool KQZipDirectoryPlausible(FILE* stream, const KQZipDirectoryBounds& bounds)
{
    const int64 length = KQFileLength(stream);
    if (length < 0)
        return false;
    const int64 tailLength = length < kLongestTail ? length : kLongestTail;
    const uint64 tailAt = static_cast<uint64>(length - tailLength);
    std::vector<ubyte> tail;
    try {
        tail.resize(static_cast<size_t>(tailLength));
    } catch (const std::bad_alloc&) {
        return false;
    }
    if (!KQSetFilePosition(stream, static_cast<KQFilePosition>(tailAt)) ||
        std::fread(tail.data(), 1, tail.size(), stream) != tail.size())
        return false;
    for (int64 i = 0; i + kEndRecordLength <= tailLength; ++i) {
        const ubyte* record = tail.data() + i;
        if (Little(record, 4) != 0x06054b50)
            continue;
        const uint64 at = tailAt + static_cast<uint64>(i);
        if (!PlausibleClaim(Little(record + 10, 2), Little(record + 12, 4), Little(record + 16, 4), at, bounds))
            return false;
        if (i < kLocatorLength || Little(record - kLocatorLength, 4) != 0x07064b50)
            continue;
        const uint64 at64 = Little(record - kLocatorLength + 8, 8);
        ubyte record64[kEnd64RecordLength];
        if (static_cast<uint64>(length) < sizeof(record64) || at64 > static_cast<uint64>(length) - sizeof(record64))
            continue;
        if (!KQSetFilePosition(stream, static_cast<KQFilePosition>(at64)) ||
            std::fread(record64, 1, sizeof(record64), stream) != sizeof(record64))
            return false;
        if (Little(record64, 4) != 0x06064b50)
            continue;
        // The entries on this disk and in all; libzip takes either.
        if (Little(record64 + 24, 8) > bounds.mostEntries ||
            !PlausibleClaim(Little(record64 + 32, 8), Little(record64 + 40, 8), Little(record64 + 48, 8), at64, bounds))
            return false;
    }
    return KQSetFilePosition(stream, 0);
}

zip* KQZipOpenWithinBounds(FILE* stream, const KQZipDirectoryBounds& bounds)
{
    if (!KQZipDirectoryPlausible(stream, bounds)) {
        std::fclose(stream);
        return nullptr;
    }
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* source = zip_source_filep_create(stream, 0, -1, &error);
    zip_t* archive = source ? zip_open_from_source(source, ZIP_RDONLY, &error) : nullptr;
    zip_error_fini(&error);
    // A source that was made owns the stream, also when no archive is.
    if (!source)
        std::fclose(stream);
    else if (!archive)
        zip_source_free(source);
    return archive;
}
