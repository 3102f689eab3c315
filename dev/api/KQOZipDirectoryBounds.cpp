// What an archive's end records and directory ask of libzip: read from the
// file's tail and, for the one end record libzip can take, its directory.
#include "KQOZipDirectoryBounds.h"

#include <zip.h>
#include <zlib.h>

#include <algorithm>
#include <new>
#include <vector>

#include "KQOFile.h"

namespace {

const int64 kEndRecordLength = 22;
const int64 kLocatorLength = 20;
const uint64 kEnd64RecordLength = 56;
const uint64 kDirectoryRecordLength = 46;
const int64 kLongestTail = 65535 + kEndRecordLength + kLocatorLength;
const uint64 kLargestOffset = 0x7FFFFFFFFFFFFFFFull;

uint64 Little(const ubyte* p, int bytes)
{
    uint64 value = 0;
    for (int i = bytes - 1; i >= 0; --i)
        value = (value << 8) | p[i];
    return value;
}

bool ReadAt(FILE* stream, uint64 at, ubyte* out, size_t count)
{
    return at <= kLargestOffset && KQSetFilePosition(stream, static_cast<KQFilePosition>(at)) &&
           std::fread(out, 1, count, stream) == count;
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

struct Directory {
    uint64 entries;
    uint64 bytes;
    uint64 offset;
    bool zip64;
};

// Whether libzip could take the end record at tail[i] (at in the file) for
// the real one: the tests it applies to the record and to its zip64 records
// before it reads the directory, and the first directory record, which it
// reads first. Every such record's directory is read whole, and each is
// weighed against the others. record64 is the zip64 end record that the
// locator before tail[i] points at, as already read, or null.
bool Candidate(FILE* stream, uint64 length, const std::vector<ubyte>& tail, int64 i, uint64 at, const ubyte* record64,
               Directory* d)
{
    const ubyte* record = tail.data() + i;
    if (Little(record + 20, 2) > length - at - kEndRecordLength)
        return false;  // a comment longer than what follows
    if (i >= kLocatorLength && Little(record - kLocatorLength, 4) == 0x07064b50) {
        const ubyte* locator = record - kLocatorLength;
        uint64 disks = Little(locator + 4, 2);
        uint64 endDisk = Little(locator + 6, 2);
        const uint64 at64 = Little(locator + 8, 8);
        const uint64 locatorAt = at - kLocatorLength;
        if (at64 > locatorAt || locatorAt - at64 < kEnd64RecordLength || !record64 || Little(record64, 4) != 0x06064b50)
            return false;
        if (disks == 0xFFFF)
            disks = Little(record64 + 16, 4);
        if (endDisk == 0xFFFF)
            endDisk = Little(record64 + 20, 4);
        d->entries = Little(record64 + 24, 8);
        d->bytes = Little(record64 + 40, 8);
        d->offset = Little(record64 + 48, 8);
        d->zip64 = true;
        if (disks != 0 || endDisk != 0 || d->entries != Little(record64 + 32, 8) || d->offset > kLargestOffset ||
            d->entries > d->bytes / kDirectoryRecordLength)
            return false;
    } else {
        d->entries = Little(record + 10, 2);
        d->bytes = Little(record + 12, 4);
        d->offset = Little(record + 16, 4);
        d->zip64 = false;
        if (Little(record + 4, 4) != 0 || Little(record + 8, 2) != d->entries)
            return false;
    }
    if (d->offset > at || d->bytes > at - d->offset)
        return false;  // a directory that runs past its record
    if (d->bytes == 0)
        return d->entries == 0;
    ubyte signature[4];
    return ReadAt(stream, d->offset, signature, sizeof(signature)) && Little(signature, 4) == 0x02014b50;
}

// ---- Names as libzip files them ------------------------------------------

// Code page 437 where it is not ASCII: the characters of the bytes 0 to 31
// and 127 to 255, which libzip presents in UTF-8 for a name that is neither
// ASCII nor UTF-8 and not marked as UTF-8.
const unsigned short kCp437Low[32] = {0x0000, 0x263A, 0x263B, 0x2665, 0x2666, 0x2663, 0x2660, 0x2022,
                                      0x25D8, 0x25CB, 0x25D9, 0x2642, 0x2640, 0x266A, 0x266B, 0x263C,
                                      0x25BA, 0x25C4, 0x2195, 0x203C, 0x00B6, 0x00A7, 0x25AC, 0x21A8,
                                      0x2191, 0x2193, 0x2192, 0x2190, 0x221F, 0x2194, 0x25B2, 0x25BC};
const unsigned short kCp437High[129] = {
    0x2302, 0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF,
    0x00EE, 0x00EC, 0x00C4, 0x00C5, 0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9, 0x00FF,
    0x00D6, 0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192, 0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1,
    0x00AA, 0x00BA, 0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB, 0x2591, 0x2592, 0x2593,
    0x2502, 0x2524, 0x2561, 0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510,
    0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F, 0x255A, 0x2554, 0x2569, 0x2566, 0x2560,
    0x2550, 0x256C, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B, 0x256A, 0x2518,
    0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580, 0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5,
    0x03C4, 0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6, 0x03B5, 0x2229, 0x2261, 0x00B1, 0x2265, 0x2264,
    0x2320, 0x2321, 0x00F7, 0x2248, 0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0};

// libzip's guess: a name that is neither ASCII (with tab, CR and LF) nor
// UTF-8 is taken for code page 437.
bool GuessedCp437(const ubyte* name, uint32 length)
{
    for (uint32 i = 0; i < length; ++i) {
        const ubyte c = name[i];
        if ((c > 31 && c < 128) || c == '\r' || c == '\n' || c == '\t')
            continue;
        uint32 following;
        if ((c & 0xE0) == 0xC0)
            following = 1;
        else if ((c & 0xF0) == 0xE0)
            following = 2;
        else if ((c & 0xF8) == 0xF0)
            following = 3;
        else
            return true;
        if (i + following >= length)
            return true;
        for (uint32 j = 1; j <= following; ++j)
            if ((name[i + j] & 0xC0) != 0x80)
                return true;
        i += following;
    }
    return false;
}

uint32 HashStep(uint32 hash, ubyte c)
{
    return hash * 33u + c;
}

// The key of a name presented in UTF-8 from code page 437.
KQZipNameKey Cp437Key(const ubyte* name, uint32 length)
{
    KQZipNameKey key = {5381u, 0};
    for (uint32 i = 0; i < length; ++i) {
        const ubyte c = name[i];
        const uint32 point = c < 32 ? kCp437Low[c] : c < 127 ? c : kCp437High[c - 127];
        ubyte utf8[3];
        uint32 n;
        if (point < 0x80) {
            utf8[0] = static_cast<ubyte>(point);
            n = 1;
        } else if (point < 0x800) {
            utf8[0] = static_cast<ubyte>(0xC0 | (point >> 6));
            utf8[1] = static_cast<ubyte>(0x80 | (point & 0x3F));
            n = 2;
        } else {
            utf8[0] = static_cast<ubyte>(0xE0 | (point >> 12));
            utf8[1] = static_cast<ubyte>(0x80 | ((point >> 6) & 0x3F));
            utf8[2] = static_cast<ubyte>(0x80 | (point & 0x3F));
            n = 3;
        }
        for (uint32 j = 0; j < n; ++j)
            key.hash = HashStep(key.hash, utf8[j]);
        key.length += n;
    }
    return key;
}

// The key of the name of one directory record as libzip files it: NUL bytes
// read as spaces; a UTF-8 name field (0x7075) whose checksum matches the
// stored name replaces it; an unmarked name that is neither ASCII nor UTF-8
// is converted from code page 437.
KQZipNameKey PresentedKey(std::vector<ubyte>& name, uint64 flags, const ubyte* extra, uint32 extraLength)
{
    std::replace(name.begin(), name.end(), static_cast<ubyte>(0), static_cast<ubyte>(' '));
    const uint32 length = static_cast<uint32>(name.size());
    for (uint32 at = 0; at + 4 <= extraLength;) {
        const uint64 id = Little(extra + at, 2);
        const uint32 fieldLength = static_cast<uint32>(Little(extra + at + 2, 2));
        if (fieldLength > extraLength - at - 4)
            break;
        const ubyte* field = extra + at + 4;
        if (id == 0x7075) {
            const uLong crc = crc32(0L, length ? name.data() : Z_NULL, length);
            if (fieldLength > 5 && field[0] == 1 && Little(field + 1, 4) == crc &&
                !GuessedCp437(field + 5, fieldLength - 5))
                return {KQZipNameHash(field + 5, fieldLength - 5), fieldLength - 5};
            break;
        }
        at += 4 + fieldLength;
    }
    if (!(flags & 0x0800) && GuessedCp437(name.data(), length))
        return Cp437Key(name.data(), length);
    return {KQZipNameHash(name.data(), length), length};
}

// libzip's table size for a given number of entries: the power of two at
// or above count / 0.75.
uint64 TableSize(uint64 count)
{
    const double needed = static_cast<double>(count) / 0.75;
    uint64 v = needed > 4294967295.0 ? 0xFFFFFFFFull : static_cast<uint64>(needed);
    if (v > 0x80000000ull)
        return 0x80000000ull;
    uint64 size = 1;
    while (size < v)
        size <<= 1;
    return size;
}

// The names of the directory d, read once, against libzip's name table.
KQZipDirectoryVerdict CheckNames(FILE* stream, const Directory& d)
{
    if (!KQSetFilePosition(stream, static_cast<KQFilePosition>(d.offset)))
        return KQ_ZIP_DIRECTORY_UNREADABLE;
    std::vector<KQZipNameKey> keys;
    std::vector<ubyte> name, variable;
    try {
        keys.reserve(static_cast<size_t>(std::min<uint64>(d.entries, d.bytes / kDirectoryRecordLength)));
        uint64 left = d.bytes;
        uint64 expected = d.entries;
        while (left > 0) {
            // libzip reads past a 16-bit count that wrapped (InfoZIP's way
            // past 65,535 entries) while whole records are left.
            if (keys.size() == expected) {
                if (d.zip64 || left < kDirectoryRecordLength)
                    break;
                expected += 0x10000;
            }
            ubyte fixed[kDirectoryRecordLength];
            if (left < kDirectoryRecordLength)
                return KQ_ZIP_DIRECTORY_PLAUSIBLE;  // libzip fails on it
            if (std::fread(fixed, 1, sizeof(fixed), stream) != sizeof(fixed))
                return KQ_ZIP_DIRECTORY_UNREADABLE;
            const uint32 nameLength = static_cast<uint32>(Little(fixed + 28, 2));
            const uint32 extraLength = static_cast<uint32>(Little(fixed + 30, 2));
            const uint64 size = kDirectoryRecordLength + nameLength + extraLength + Little(fixed + 32, 2);
            if (Little(fixed, 4) != 0x02014b50 || size > left)
                return KQ_ZIP_DIRECTORY_PLAUSIBLE;  // libzip fails on it
            variable.resize(static_cast<size_t>(size - kDirectoryRecordLength));
            if (!variable.empty() && std::fread(variable.data(), 1, variable.size(), stream) != variable.size())
                return KQ_ZIP_DIRECTORY_UNREADABLE;
            name.assign(variable.begin(), variable.begin() + nameLength);
            keys.push_back(PresentedKey(name, Little(fixed + 8, 2), variable.data() + nameLength, extraLength));
            left -= size;
        }
        if (keys.size() != expected)
            return KQ_ZIP_DIRECTORY_PLAUSIBLE;  // libzip fails on it
    } catch (const std::bad_alloc&) {
        return KQ_ZIP_DIRECTORY_UNREADABLE;
    }
    const KQZipNameCost cost = KQZipNameTableCost(keys.data(), keys.size());
    if (cost.steps > KQZipMostNameSteps(keys.size()) || cost.comparedBytes > KQ_ZIP_MOST_NAME_COMPARISON_BYTES)
        return KQ_ZIP_DIRECTORY_CROWDED_NAMES;
    return KQ_ZIP_DIRECTORY_PLAUSIBLE;
}

}  // namespace

uint32 KQZipNameHash(const ubyte* name, uint32 length)
{
    uint32 hash = 5381u;
    for (uint32 i = 0; i < length && name[i] != 0; ++i)
        hash = HashStep(hash, name[i]);
    return hash;
}

KQZipNameCost KQZipNameTableCost(KQZipNameKey* keys, uint64 count)
{
    KQZipNameCost cost = {0, 0};
    if (count == 0)
        return cost;
    // Each name walks the whole chain of its slot, and compares itself with
    // every name there of the same hash, as far as the shorter one goes.
    const uint32 mask = static_cast<uint32>(TableSize(count) - 1);
    std::sort(keys, keys + count, [mask](const KQZipNameKey& a, const KQZipNameKey& b) {
        if ((a.hash & mask) != (b.hash & mask))
            return (a.hash & mask) < (b.hash & mask);
        if (a.hash != b.hash)
            return a.hash < b.hash;
        return a.length < b.length;
    });
    uint64 slotStart = 0;
    uint64 hashStart = 0;
    // Bytes of the names before this one of its hash, which ascend in
    // length: each is the shorter of the two it is compared in.
    uint64 shorterBytes = 0;
    for (uint64 i = 0; i < count; ++i) {
        if ((keys[i].hash & mask) != (keys[slotStart].hash & mask))
            slotStart = i;
        if (keys[i].hash != keys[hashStart].hash) {
            hashStart = i;
            shorterBytes = 0;
        }
        cost.steps += i - slotStart;
        cost.comparedBytes += shorterBytes;
        shorterBytes += static_cast<uint64>(keys[i].length) + 1;
    }
    return cost;
}

KQZipDirectoryVerdict KQZipDirectoryCheck(FILE* stream, const KQZipDirectoryBounds& bounds)
{
    const int64 length = KQFileLength(stream);
    if (length < 0)
        return KQ_ZIP_DIRECTORY_UNREADABLE;
    const int64 tailLength = length < kLongestTail ? length : kLongestTail;
    const uint64 tailAt = static_cast<uint64>(length - tailLength);
    std::vector<ubyte> tail;
    try {
        tail.resize(static_cast<size_t>(tailLength));
    } catch (const std::bad_alloc&) {
        return KQ_ZIP_DIRECTORY_UNREADABLE;
    }
    if (!KQSetFilePosition(stream, static_cast<KQFilePosition>(tailAt)) ||
        std::fread(tail.data(), 1, tail.size(), stream) != tail.size())
        return KQ_ZIP_DIRECTORY_UNREADABLE;
    // libzip leaves room for a zip64 locator before the first record it
    // looks at in a full tail.
    const int64 firstCandidate = tailLength == kLongestTail ? kLocatorLength : 0;
    int candidates = 0;
    Directory only = {0, 0, 0, false};
    for (int64 i = 0; i + kEndRecordLength <= tailLength; ++i) {
        const ubyte* record = tail.data() + i;
        if (Little(record, 4) != 0x06054b50)
            continue;
        const uint64 at = tailAt + static_cast<uint64>(i);
        if (!PlausibleClaim(Little(record + 10, 2), Little(record + 12, 4), Little(record + 16, 4), at, bounds))
            return KQ_ZIP_DIRECTORY_CLAIMS_TOO_MUCH;
        ubyte record64[kEnd64RecordLength];
        bool read64 = false;
        if (i >= kLocatorLength && Little(record - kLocatorLength, 4) == 0x07064b50) {
            const uint64 at64 = Little(record - kLocatorLength + 8, 8);
            if (static_cast<uint64>(length) >= sizeof(record64) &&
                at64 <= static_cast<uint64>(length) - sizeof(record64)) {
                if (!ReadAt(stream, at64, record64, sizeof(record64)))
                    return KQ_ZIP_DIRECTORY_UNREADABLE;
                read64 = true;
                // The entries on this disk and in all; libzip takes either.
                if (Little(record64, 4) == 0x06064b50 &&
                    (Little(record64 + 24, 8) > bounds.mostEntries ||
                     !PlausibleClaim(Little(record64 + 32, 8), Little(record64 + 40, 8), Little(record64 + 48, 8), at64,
                                     bounds)))
                    return KQ_ZIP_DIRECTORY_CLAIMS_TOO_MUCH;
            }
        }
        Directory d;
        if (i >= firstCandidate &&
            Candidate(stream, static_cast<uint64>(length), tail, i, at, read64 ? record64 : nullptr, &d)) {
            if (++candidates > 1)
                return KQ_ZIP_DIRECTORY_SEVERAL_ENDS;
            only = d;
        }
    }
    if (candidates == 1) {
        const KQZipDirectoryVerdict names = CheckNames(stream, only);
        if (names != KQ_ZIP_DIRECTORY_PLAUSIBLE)
            return names;
    }
    return KQSetFilePosition(stream, 0) ? KQ_ZIP_DIRECTORY_PLAUSIBLE : KQ_ZIP_DIRECTORY_UNREADABLE;
}

const char* KQZipDirectoryVerdictText(KQZipDirectoryVerdict verdict)
{
    switch (verdict) {
    case KQ_ZIP_DIRECTORY_PLAUSIBLE:
        return "";
    case KQ_ZIP_DIRECTORY_UNREADABLE:
        return "The archive's end records or directory cannot be read";
    case KQ_ZIP_DIRECTORY_CLAIMS_TOO_MUCH:
        return "The archive's end records claim more entries or a larger directory than allowed";
    case KQ_ZIP_DIRECTORY_SEVERAL_ENDS:
        return "The archive holds more than one end record that could be its own";
    case KQ_ZIP_DIRECTORY_CROWDED_NAMES:
        return "The archive's entry names hash alike too often to be opened in time";
    }
    return "";
}

bool KQZipDirectoryPlausible(FILE* stream, const KQZipDirectoryBounds& bounds)
{
    return KQZipDirectoryCheck(stream, bounds) == KQ_ZIP_DIRECTORY_PLAUSIBLE;
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
