// What an archive's end records and directory ask of libzip, looked at
// before libzip opens it. libzip tries every end record in the file's last
// 64 KiB, sets up room for as many entries as one claims before it reads a
// single directory record, reads the whole directory of each record it can
// take and, when it can take more than one, weighs each against the local
// headers of its entries. Which records it can take follows from tests that
// are its own to change, so every record there is counted as taken. It then files every name in a hash table whose
// chains it walks from end to end. So a few hundred bytes that claim millions
// of entries, a comment of copies of the end record, or names chosen to hash
// alike would cost what no real archive of that size does. Both character
// widths use it: the thumbnail reader opens containers with libzip itself.
#ifndef KQOZIPDIRECTORYBOUNDS_H
#define KQOZIPDIRECTORYBOUNDS_H

#include <cstdio>

#include "KQOTypes.h"

// Most a caller lets the end records of an archive claim: all of them
// together, and all but the largest claim together.
struct KQZipDirectoryBounds {
    uint64 mostEntries;
    uint64 mostDirectoryBytes;
    uint64 mostOtherEntries;
    uint64 mostOtherDirectoryBytes;
};

// A model file holds a case and its snapshot, a few dozen entries; end
// records that claim far more, or more bytes, are no model's.
const KQZipDirectoryBounds KQ_MODEL_DIRECTORY_BOUNDS = {65535, 16u * 1024u * 1024u, 65535, 16u * 1024u * 1024u};
// A package holds what its author put in it: one end record may claim what
// the file holds. The others together claim no more than fits in the last
// 64 KiB, where the directories of the archives that store a zip as their
// last entry lie, around that zip's end record.
const KQZipDirectoryBounds KQ_PACKAGE_DIRECTORY_BOUNDS = {~static_cast<uint64>(0), ~static_cast<uint64>(0),
                                                         65536 / 46, 65536};

// Most steps libzip's name table may take to file the names of an
// archive of n entries, one step for each name already in the chain a name
// joins: names that hash as real names do take about n / 2 in all. Beyond
// it opening no longer grows with the entry count alone.
inline uint64 KQZipMostNameSteps(uint64 entries)
{
    return 8 * entries + 65536;
}
// Most bytes libzip may compare between names that hash alike.
const uint64 KQ_ZIP_MOST_NAME_COMPARISON_BYTES = 16u * 1024u * 1024u;

enum KQZipDirectoryVerdict {
    KQ_ZIP_DIRECTORY_PLAUSIBLE = 0,
    KQ_ZIP_DIRECTORY_UNREADABLE,       // the file's tail or directory cannot be read
    KQ_ZIP_DIRECTORY_CLAIMS_TOO_MUCH,  // an end record claims more than the bounds or its directory can hold
    KQ_ZIP_DIRECTORY_SEVERAL_ENDS,     // more than one end record could be taken for the real one
    KQ_ZIP_DIRECTORY_CROWDED_NAMES,    // the names would crowd libzip's name table
    KQ_ZIP_DIRECTORY_HEAVY_HEADERS,    // weighing the directories against local headers would cost too much
};

// What the archive in stream would ask of libzip: its tail (the last 64 KiB
// and the zip64 records they point at), whose claims are summed, and the
// directory each claim names within the file, read once. The stream is left
// at its start. An archive that libzip cannot take at all passes; libzip
// then reports why.
KQZipDirectoryVerdict KQZipDirectoryCheck(FILE* stream, const KQZipDirectoryBounds& bounds);
// The same for a libzip source that is not open; it is left closed.
struct zip_source;
KQZipDirectoryVerdict KQZipDirectoryCheck(zip_source* source, const KQZipDirectoryBounds& bounds);
// The refusal as the diagnostics state it.
const char* KQZipDirectoryVerdictText(KQZipDirectoryVerdict verdict);

// Whether KQZipDirectoryCheck passes the archive.
bool KQZipDirectoryPlausible(FILE* stream, const KQZipDirectoryBounds& bounds);

// The number of steps and compared bytes that libzip's name table takes to
// file the keys of the names (as libzip presents them) of an archive of
// count entries; the keys are sorted in place. Exposed for the tests.
struct KQZipNameCost {
    uint64 steps;
    uint64 comparedBytes;
};
struct KQZipNameKey {
    uint32 hash;
    uint32 length;
};
uint32 KQZipNameHash(const ubyte* name, uint32 length);
KQZipNameCost KQZipNameTableCost(KQZipNameKey* keys, uint64 count);

struct zip;
// The archive in stream opened read-only by libzip, once its end records are
// within bounds. The archive then owns the stream (zip_discard closes
// both); null, with the stream closed, when the file is no archive within
// bounds.
zip* KQZipOpenWithinBounds(FILE* stream, const KQZipDirectoryBounds& bounds);

#endif
