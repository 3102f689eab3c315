// Reading one entry of a libzip archive in pieces. A header's size is a
// claim: it bounds what is read, but nothing is allocated for it up front,
// so a few bytes that claim gigabytes cost what they hold. Both character
// widths use it: the zip layer reads entries whole, the thumbnail reader
// streams its snapshot into the JPEG decoder.
#ifndef KQOZIPENTRYREADER_H
#define KQOZIPENTRYREADER_H

#include "KQOJpeg.h"
#include "KQOTypes.h"

// zip_fread's contract: up to len bytes into out, 0 at the end, -1 on
// failure.
typedef int64 (*KQEntryRead)(void* context, void* out, uint64 len);

enum KQEntryReadResult {
    KQ_ENTRY_READ,           // the bytes were had (null for an empty entry)
    KQ_ENTRY_NO_MEMORY,      // a block could not grow
    KQ_ENTRY_READ_FAILED,    // the source failed: it tells why
    KQ_ENTRY_SIZE_MISMATCH,  // the data did not end where the size said
    KQ_ENTRY_BAD_CRC,        // an entry of no bytes with the CRC of some
};

// Reads everything read gives into a block from malloc (*block), growing it
// only as bytes arrive, in steps that grow with claimed (64 KiB, up to
// 4 MiB). claimed, at most INT32_MAX, bounds what is read. When exact, the
// data must end right at claimed: one more byte, or one missing, is a
// mismatch; reading on to the end also lets libzip check the CRC. *block is
// null unless the result is KQ_ENTRY_READ and something was read; *size
// (may be null) is set only then.
KQEntryReadResult KQReadEntryWhole(KQEntryRead read, void* context, uint64 claimed, bool exact, ubyte** block,
                                   int32* size);

struct zip;
struct zip_file;

// One entry of an open archive: its header first (Stat), then its data
// (Open), read whole or as a stream that never passes the header's size.
class KQZipEntryReader {
public:
    KQZipEntryReader();
    ~KQZipEntryReader();
    KQZipEntryReader(const KQZipEntryReader&) = delete;
    KQZipEntryReader& operator=(const KQZipEntryReader&) = delete;

    // Looks the entry's header up; false when libzip has none for it (the
    // archive's error says why).
    bool Stat(zip* archive, uint64 index);
    bool SizeKnown() const { return sizeKnown; }
    // What the header claims; 0 when it claims nothing.
    uint64 Size() const { return size; }
    // Opens the entry's data; false when libzip cannot (the archive's error
    // says why).
    bool Open();

    // The whole entry, bounded by most when the header has no size. An
    // entry without stored bytes must also claim the CRC of nothing, as
    // libzip checks no CRC for it.
    KQEntryReadResult ReadWhole(uint64 most, ubyte** block, int32* size);
    // libzip's text for the entry's last failure; valid while it is open.
    const char* ErrorText() const;

    // Exactly len bytes, or fewer where the header's size ends. Damaged data
    // or an entry shorter than it claims fails the read and every one after
    // it (Failed), not just the bytes: a decoder would finish the picture
    // grey.
    uint64 Read(void* out, uint64 len);
    uint64 Left() const { return left; }
    bool Failed() const { return failed; }
    // Reads on to the end, where libzip checks the CRC, when at most
    // mostLeft of the claimed bytes are left; more is not read and counts as
    // well ended. False when a read failed.
    bool EndsWell(uint64 mostLeft);

private:
    zip* archive;
    uint64 index;
    zip_file* entry;
    bool sizeKnown;
    uint64 size;
    bool crcKnown;
    uint32 crc;
    uint64 left;
    bool failed;
};

// A KQStreamCallbacks read over a KQZipEntryReader (the handle): whole items
// only, never past the entry's size.
uint32 KQZipEntryStreamRead(void* buffer, int32 itemSize, uint32 count, KQStreamHandle handle);

#endif
