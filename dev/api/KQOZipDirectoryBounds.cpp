// What an archive's end records and directories ask of libzip: every claim
// the file's tail makes is counted, whichever of them libzip would take, and
// the directories they name are read once each.
#include "KQOZipDirectoryBounds.h"

#include <zip.h>
#include <zlib.h>

#include <algorithm>
#include <new>
#include <tuple>
#include <vector>

#include "KQOFile.h"

namespace {

const uint64 kEndRecordLength = 22;
const uint64 kLocatorLength = 20;
const uint64 kEnd64RecordLength = 56;
const uint64 kDirectoryRecordLength = 46;
const uint64 kLocalHeaderLength = 30;
// What libzip reads of the file's end: room for the longest comment, the
// end record and a zip64 locator.
const uint64 kLongestTail = 65536 + kEndRecordLength + kLocatorLength;
const uint64 kLargestOffset = 0x7FFFFFFFFFFFFFFFull;
const uint64 kUnbounded = ~static_cast<uint64>(0);

// When libzip can take more than one end record, it weighs each directory
// against the local headers of its entries, reading each header and merging
// its extra fields into the entry's list one by one (a walk of that list
// for each). Most header bytes and merge steps all of them may take.
const uint64 kMostWeighedBytes = 64u * 1024u * 1024u;
const uint64 kMostMergeSteps = 16u * 1024u * 1024u;

uint64 Little(const ubyte* p, int bytes)
{
    uint64 value = 0;
    for (int i = bytes - 1; i >= 0; --i)
        value = (value << 8) | p[i];
    return value;
}

uint64 Sum(uint64 a, uint64 b)
{
    return a > kUnbounded - b ? kUnbounded : a + b;
}

uint64 Product(uint64 a, uint64 b)
{
    return a != 0 && b > kUnbounded / a ? kUnbounded : a * b;
}

// Where the check reads the archive: a stream, or the source libzip is
// about to open.
class Reader {
public:
    virtual ~Reader() = default;
    virtual bool Length(uint64* length) = 0;
    virtual bool ReadAt(uint64 at, ubyte* out, size_t count) = 0;
};

class StreamReader : public Reader {
public:
    explicit StreamReader(FILE* stream) : stream(stream) {}
    bool Length(uint64* length) override
    {
        const int64 n = KQFileLength(stream);
        *length = static_cast<uint64>(n);
        return n >= 0;
    }
    bool ReadAt(uint64 at, ubyte* out, size_t count) override
    {
        return at <= kLargestOffset && KQSetFilePosition(stream, static_cast<KQFilePosition>(at)) &&
               std::fread(out, 1, count, stream) == count;
    }

private:
    FILE* stream;
};

class SourceReader : public Reader {
public:
    explicit SourceReader(zip_source_t* source) : source(source), open(zip_source_open(source) == 0) {}
    ~SourceReader() override
    {
        if (open)
            zip_source_close(source);
    }
    bool Length(uint64* length) override
    {
        zip_stat_t st;
        zip_stat_init(&st);
        if (!open || zip_source_stat(source, &st) < 0 || !(st.valid & ZIP_STAT_SIZE))
            return false;
        *length = st.size;
        return true;
    }
    bool ReadAt(uint64 at, ubyte* out, size_t count) override
    {
        if (count == 0)
            return true;  // libzip's buffer source cannot seek in an empty buffer
        if (!open || at > kLargestOffset || zip_source_seek(source, static_cast<zip_int64_t>(at), SEEK_SET) < 0)
            return false;
        while (count > 0) {
            const zip_int64_t n = zip_source_read(source, out, count);
            if (n <= 0)
                return false;
            out += n;
            count -= static_cast<size_t>(n);
        }
        return true;
    }

private:
    zip_source_t* source;
    bool open;
};

// Reads a run of the archive in order through a window (of 64 KiB unless
// told), so that a directory of many small records takes a few large reads.
class Window {
public:
    Window(Reader& in, uint64 end, uint64 size = 64 * 1024) : in(in), end(end), size(size) {}
    bool Read(uint64 at, ubyte* out, size_t count)
    {
        if (at < start || at - start > bytes.size() || count > bytes.size() - (at - start)) {
            if (count > size || at > end || count > end - at)
                return in.ReadAt(at, out, count);
            bytes.resize(static_cast<size_t>(std::min<uint64>(size, end - at)));
            if (!in.ReadAt(at, bytes.data(), bytes.size())) {
                bytes.clear();
                return false;
            }
            start = at;
        }
        std::copy_n(bytes.data() + (at - start), count, out);
        return true;
    }

private:
    Reader& in;
    uint64 end;
    uint64 size;
    uint64 start = 0;
    std::vector<ubyte> bytes;
};

struct Directory {
    uint64 entries;
    uint64 bytes;
    uint64 offset;
    bool zip64;
};

// A directory as the end records claim it, and how many of them do.
struct Claim {
    Directory d;
    uint64 copies;
};

// Whether libzip would take the end record at tail[i] (at in the file) for
// the real one, as far as its tests before and at the first directory record
// go. Only used to refuse an archive with more than one: what libzip reads
// is bounded by the claims whatever these tests say. claimed is what
// ClaimOf found the record to claim, or null; record64 the zip64 end record
// it read for it.
bool Candidate(Reader& in, uint64 length, const std::vector<ubyte>& tail, uint64 i, uint64 at, const Directory* claimed,
               const ubyte* record64)
{
    const ubyte* record = tail.data() + i;
    if (!claimed || Little(record + 20, 2) > length - at - kEndRecordLength)
        return false;  // nothing libzip reads, or a comment longer than what follows
    const Directory& d = *claimed;
    if (d.zip64) {
        const ubyte* locator = record - kLocatorLength;
        uint64 disks = Little(locator + 4, 2);
        uint64 endDisk = Little(locator + 6, 2);
        const uint64 at64 = Little(locator + 8, 8);
        const uint64 locatorAt = at - kLocatorLength;
        if (at64 > locatorAt || locatorAt - at64 < kEnd64RecordLength)
            return false;
        if (disks == 0xFFFF)
            disks = Little(record64 + 16, 4);
        if (endDisk == 0xFFFF)
            endDisk = Little(record64 + 20, 4);
        if (disks != 0 || endDisk != 0 || Little(record64 + 24, 8) != Little(record64 + 32, 8) ||
            d.offset > kLargestOffset || d.entries > d.bytes / kDirectoryRecordLength)
            return false;
    } else if (Little(record + 4, 4) != 0 || Little(record + 8, 2) != Little(record + 10, 2)) {
        return false;
    }
    if (d.offset > at || d.bytes > at - d.offset)
        return false;  // a directory that runs past its record
    if (d.bytes == 0)
        return d.entries == 0;
    ubyte signature[4];
    return in.ReadAt(d.offset, signature, sizeof(signature)) && Little(signature, 4) == 0x02014b50;
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

// Where the local header of a directory record lies: its offset field, or
// the zip64 field's offset when that field is full. Null when none can be
// told, which is then weighed as the costliest header.
bool LocalHeaderAt(const ubyte* fixed, const ubyte* extra, uint32 extraLength, uint64* at)
{
    *at = Little(fixed + 42, 4);
    if (*at != 0xFFFFFFFFull)
        return true;
    for (uint32 i = 0; i + 4 <= extraLength;) {
        const uint32 fieldLength = static_cast<uint32>(Little(extra + i + 2, 2));
        if (fieldLength > extraLength - i - 4)
            return false;
        if (Little(extra + i, 2) == 0x0001) {
            // The sizes come first, each only when its own field is full.
            uint32 skip =
                (Little(fixed + 24, 4) == 0xFFFFFFFFull ? 8 : 0) + (Little(fixed + 20, 4) == 0xFFFFFFFFull ? 8 : 0);
            if (skip + 8 > fieldLength)
                return false;
            *at = Little(extra + i + 4 + skip, 8);
            return true;
        }
        i += 4 + fieldLength;
    }
    return false;
}

// What weighing a directory against its local headers costs.
struct Weighing {
    uint64 bytes;
    uint64 mergeSteps;
};

// The weighing of one entry: its local header read whole, and each of the
// header's extra fields looked for among the entry's fields and those
// merged before it.
void WeighEntry(Window& in, uint64 length, const ubyte* fixed, const ubyte* extra, uint32 extraLength, Weighing* w)
{
    uint64 at;
    ubyte local[kLocalHeaderLength];
    uint64 nameLength = 0xFFFF, localExtraLength = 0xFFFF;
    if (LocalHeaderAt(fixed, extra, extraLength, &at) && length >= kLocalHeaderLength &&
        at <= length - kLocalHeaderLength) {
        if (!in.Read(at, local, sizeof(local)))
            return;  // libzip cannot read it either
        nameLength = Little(local + 26, 2);
        localExtraLength = Little(local + 28, 2);
    }
    w->bytes = Sum(w->bytes, kLocalHeaderLength + nameLength + localExtraLength);
    const uint64 fields = localExtraLength / 4;
    w->mergeSteps = Sum(w->mergeSteps, Product(fields, extraLength / 4 + fields + 1));
}

// The names of the directory d, read once, against libzip's name table;
// the entries libzip sets up for it past a 16-bit count that wrapped, in
// records (left as it is otherwise); and, when weigh is set, what weighing
// it against its local headers costs.
KQZipDirectoryVerdict CheckNames(Reader& in, uint64 length, const Directory& d, uint64* records, Weighing* weigh)
{
    std::vector<KQZipNameKey> keys;
    std::vector<ubyte> name, variable;
    try {
        keys.reserve(static_cast<size_t>(std::min<uint64>(d.entries, d.bytes / kDirectoryRecordLength)));
        Window window(in, d.offset + d.bytes);
        // Local headers lie in the order of their records in real archives:
        // a small window reads many at once, and no more than a page for
        // each one when they lie apart.
        Window headers(in, length, 4 * 1024);
        uint64 at = d.offset;
        uint64 left = d.bytes;
        uint64 expected = d.entries;
        while (left > 0) {
            // libzip reads past a 16-bit count that wrapped (InfoZIP's way
            // past 65,535 entries) while whole records are left.
            if (keys.size() == expected) {
                if (d.zip64 || left < kDirectoryRecordLength)
                    break;
                expected += 0x10000;
                // libzip sets up room for them before it reads one, and keeps
                // what it read until it fails on a record.
                *records = expected;
            }
            ubyte fixed[kDirectoryRecordLength];
            if (left < kDirectoryRecordLength)
                return KQ_ZIP_DIRECTORY_PLAUSIBLE;  // libzip fails on it
            if (!window.Read(at, fixed, sizeof(fixed)))
                return KQ_ZIP_DIRECTORY_UNREADABLE;
            const uint32 nameLength = static_cast<uint32>(Little(fixed + 28, 2));
            const uint32 extraLength = static_cast<uint32>(Little(fixed + 30, 2));
            const uint64 size = kDirectoryRecordLength + nameLength + extraLength + Little(fixed + 32, 2);
            if (Little(fixed, 4) != 0x02014b50 || size > left)
                return KQ_ZIP_DIRECTORY_PLAUSIBLE;  // libzip fails on it
            variable.resize(static_cast<size_t>(size - kDirectoryRecordLength));
            if (!variable.empty() && !window.Read(at + kDirectoryRecordLength, variable.data(), variable.size()))
                return KQ_ZIP_DIRECTORY_UNREADABLE;
            name.assign(variable.begin(), variable.begin() + nameLength);
            keys.push_back(PresentedKey(name, Little(fixed + 8, 2), variable.data() + nameLength, extraLength));
            if (weigh)
                WeighEntry(headers, length, fixed, variable.data() + nameLength, extraLength, weigh);
            at += size;
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

// What the end record at tail[i] claims, whatever libzip would make of it:
// a record after a zip64 locator claims what the zip64 end record it points
// at does (libzip reads nothing else then); one that points at no such
// record claims nothing, as libzip reads no directory for it.
bool ClaimOf(Reader& in, uint64 length, const std::vector<ubyte>& tail, uint64 i, Directory* d, ubyte* record64,
             bool* failed)
{
    const ubyte* record = tail.data() + i;
    if (i >= kLocatorLength && Little(record - kLocatorLength, 4) == 0x07064b50) {
        const uint64 at64 = Little(record - kLocatorLength + 8, 8);
        if (length < kEnd64RecordLength || at64 > length - kEnd64RecordLength)
            return false;
        if (!in.ReadAt(at64, record64, kEnd64RecordLength)) {
            *failed = true;
            return false;
        }
        if (Little(record64, 4) != 0x06064b50)
            return false;
        // The entries on this disk and in all; libzip takes either.
        d->entries = std::max(Little(record64 + 24, 8), Little(record64 + 32, 8));
        d->bytes = Little(record64 + 40, 8);
        d->offset = Little(record64 + 48, 8);
        d->zip64 = true;
        return true;
    }
    d->entries = std::max(Little(record + 8, 2), Little(record + 10, 2));
    d->bytes = Little(record + 12, 4);
    d->offset = Little(record + 16, 4);
    d->zip64 = false;
    return true;
}

// Whether the claims together stay within bounds: all of them within the
// caller's figures, the largest one within what the file can hold, and all
// the others together within what an archive stored as the last entry of
// another claims.
bool ClaimsWithin(const std::vector<Claim>& claims, uint64 length, const KQZipDirectoryBounds& bounds)
{
    if (claims.empty())
        return true;
    size_t largest = 0;
    uint64 entries = 0, bytes = 0;
    for (size_t k = 0; k < claims.size(); ++k) {
        const Directory& d = claims[k].d;
        entries = Sum(entries, Product(d.entries, claims[k].copies));
        bytes = Sum(bytes, Product(d.bytes, claims[k].copies));
        const Directory& l = claims[largest].d;
        if (std::tie(d.bytes, d.entries) > std::tie(l.bytes, l.entries))
            largest = k;
    }
    if (entries > bounds.mostEntries || bytes > bounds.mostDirectoryBytes)
        return false;
    // A zip64 count is allocated for before a record is read; a 16-bit one
    // is small whatever its directory.
    const Directory& l = claims[largest].d;
    if (l.bytes > length || (l.zip64 && l.entries > l.bytes / kDirectoryRecordLength))
        return false;
    return entries - l.entries <= bounds.mostOtherEntries && bytes - l.bytes <= bounds.mostOtherDirectoryBytes;
}

KQZipDirectoryVerdict Check(Reader& in, const KQZipDirectoryBounds& bounds)
{
    uint64 length;
    if (!in.Length(&length))
        return KQ_ZIP_DIRECTORY_UNREADABLE;
    if (length < kEndRecordLength)
        return KQ_ZIP_DIRECTORY_PLAUSIBLE;  // no end record: libzip tells what it is
    const uint64 tailLength = std::min(length, kLongestTail);
    const uint64 tailAt = length - tailLength;
    std::vector<ubyte> tail;
    std::vector<Claim> claims;
    try {
        tail.resize(static_cast<size_t>(tailLength));
        if (!in.ReadAt(tailAt, tail.data(), tail.size()))
            return KQ_ZIP_DIRECTORY_UNREADABLE;
        // libzip leaves room for a zip64 locator before the first record it
        // looks at in a full tail; claims before it are counted all the same.
        const uint64 firstCandidate = tailLength == kLongestTail ? kLocatorLength : 0;
        int candidates = 0;
        for (uint64 i = 0; i + kEndRecordLength <= tailLength; ++i) {
            if (Little(tail.data() + i, 4) != 0x06054b50)
                continue;
            ubyte record64[kEnd64RecordLength];
            bool failed = false;
            Directory d;
            const bool claimed = ClaimOf(in, length, tail, i, &d, record64, &failed);
            if (claimed) {
                auto same = std::find_if(claims.begin(), claims.end(), [&d](const Claim& c) {
                    return c.d.entries == d.entries && c.d.bytes == d.bytes && c.d.offset == d.offset &&
                           c.d.zip64 == d.zip64;
                });
                if (same != claims.end())
                    ++same->copies;
                else
                    claims.push_back({d, 1});
            }
            if (failed)
                return KQ_ZIP_DIRECTORY_UNREADABLE;
            if (i >= firstCandidate && Candidate(in, length, tail, i, tailAt + i, claimed ? &d : nullptr, record64) &&
                ++candidates > 1)
                return KQ_ZIP_DIRECTORY_SEVERAL_ENDS;
        }
    } catch (const std::bad_alloc&) {
        return KQ_ZIP_DIRECTORY_UNREADABLE;
    }
    if (!ClaimsWithin(claims, length, bounds))
        return KQ_ZIP_DIRECTORY_CLAIMS_TOO_MUCH;
    // Every directory that libzip could take files its names; with more than
    // one end record it may weigh each against its local headers.
    uint64 records = 0;
    for (const Claim& c : claims)
        records += c.copies;
    Weighing total = {0, 0};
    // The entries libzip sets up: as claimed, or as read where a 16-bit
    // count wrapped and it reads on.
    uint64 entries = 0;
    for (const Claim& c : claims) {
        const Directory& d = c.d;
        uint64 read = 0;
        if (d.offset <= length && d.bytes <= length - d.offset) {
            Weighing w = {0, 0};
            const KQZipDirectoryVerdict names = CheckNames(in, length, d, &read, records > 1 ? &w : nullptr);
            if (names != KQ_ZIP_DIRECTORY_PLAUSIBLE)
                return names;
            total.bytes = Sum(total.bytes, Product(w.bytes, c.copies));
            total.mergeSteps = Sum(total.mergeSteps, Product(w.mergeSteps, c.copies));
        }
        entries = Sum(entries, Product(std::max(d.entries, read), c.copies));
    }
    if (entries > bounds.mostEntries)
        return KQ_ZIP_DIRECTORY_CLAIMS_TOO_MUCH;
    if (total.bytes > kMostWeighedBytes || total.mergeSteps > kMostMergeSteps)
        return KQ_ZIP_DIRECTORY_HEAVY_HEADERS;
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
    StreamReader in(stream);
    const KQZipDirectoryVerdict verdict = Check(in, bounds);
    if (verdict == KQ_ZIP_DIRECTORY_PLAUSIBLE && !KQSetFilePosition(stream, 0))
        return KQ_ZIP_DIRECTORY_UNREADABLE;
    return verdict;
}

KQZipDirectoryVerdict KQZipDirectoryCheck(zip_source* source, const KQZipDirectoryBounds& bounds)
{
    SourceReader in(source);
    return Check(in, bounds);
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
    case KQ_ZIP_DIRECTORY_HEAVY_HEADERS:
        return "The archive's local headers would take too long to weigh against its end records";
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
