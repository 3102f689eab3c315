// What an archive's end records claim, looked at before libzip opens it.
// libzip tries every end record in the file's last 64 KiB and sets up room
// for as many entries as one claims before it reads a single directory
// record, so a few hundred bytes that claim millions of entries would cost
// what no real archive of that size does. Both character widths use it:
// the thumbnail reader opens containers with libzip itself.
#ifndef KQOZIPDIRECTORYBOUNDS_H
#define KQOZIPDIRECTORYBOUNDS_H

#include <cstdio>

#include "KQOTypes.h"

// Most a caller lets an archive's directory claim.
struct KQZipDirectoryBounds {
    uint64 mostEntries;
    uint64 mostDirectoryBytes;
};

// A model file holds a case and its snapshot, a few dozen entries; a
// directory that claims far more, or more bytes, is no model's.
const KQZipDirectoryBounds KQ_MODEL_DIRECTORY_BOUNDS = {65535, 16u * 1024u * 1024u};

// Whether every end record that libzip would weigh claims a directory within
// bounds and, where the directory lies before the record (the only place
// libzip reads it from), no more entries than it can hold, 46 bytes a
// record. Reads the file's last 64 KiB and the zip64 records they point at,
// no more; the stream is left at its start. False also when it cannot be
// read.
bool KQZipDirectoryPlausible(FILE* stream, const KQZipDirectoryBounds& bounds);

struct zip;
// The archive in stream opened read-only by libzip, once its end records are
// within bounds. The archive then owns the stream (zip_discard closes
// both); null, with the stream closed, when the file is no archive within
// bounds.
zip* KQZipOpenWithinBounds(FILE* stream, const KQZipDirectoryBounds& bounds);

#endif
