// The two snapshot readers: the JPEG entry of a KQFx container and the
// image block of a binary KQF file.
//
// Both treat the file as hostile: every size read from it is checked
// against the limits and against what the file can hold before anything is
// allocated, and nothing thrown by a library leaves a reader.
#include <bzlib.h>
#include <zip.h>

#include <cstdlib>
#include <new>

#include "KQFileSystem.h"
#include "KQOFile.h"
#include "KQOImage.h"
#include "KQOJpeg.h"
#include "kqfxThumbExtractor.h"

namespace {

// KQF file layout.
const int32 KQF_MAGIC = 231272;
const int32 KQF_MAGIC2 = -160871;
const int32 KQF_LONG_HEADER = -251271;
const int32 KQF_BLOCK_IMAGE = 1020;
const int32 KQF_BLOCK_SKIPPED = 1022;
const int32 KQF_MAX_SIDE = 3000;

// Largest snapshot entry a container may hold; far above any real JPEG
// snapshot and low enough that a lying size cannot exhaust memory.
const zip_uint64_t KQFX_MAX_SNAPSHOT = 256u * 1024u * 1024u;

// Reads one value preset to -1, so that a value missing at the end of the
// file fails the checks that follow.
int32 ReadOr(KQBinaryFile& file, bool* ok = nullptr)
{
    int32 value = -1;
    bool read = file.ReadVal(&value);
    if (!read)
        value = -1;
    if (ok)
        *ok = read;
    return value;
}

// Bytes left between the stream's position and its end; -1 when unknown.
int64 BytesLeft(KQBinaryFile& file)
{
    KQFilePosition position = 0;
    FILE* stream = file.GetFILE();
    if (!stream || !KQGetFilePosition(stream, &position))
        return -1;
    int64 length = KQFileLength(stream);
    return length >= position ? length - position : 0;
}

struct Buffer {
    ubyte* data = nullptr;
    ~Buffer() { std::free(data); }
};

// A pipe or a device is no model file: opening a pipe would wait for a
// writer, and a device reads as whatever it yields.
bool IsPipeOrDevice(const KQString& path)
{
    return KQFileKindW(path.CStr()) == KQ_FILE_OTHER;
}

bool ReadKqf(const KQString& path, KQRGBImage& image)
{
    if (IsPipeOrDevice(path))
        return false;
    KQBinaryFile file(KQString(), KQFile::READ, false);
    if (!file.Open(path, KQFile::READ))
        return true; // nothing to show

    int32 header[6];
    if (file.Read(header, 4, 6) != 6)
        return false;
    if (header[0] != KQF_MAGIC) {
        KQSwapBytes(header, 4, 6);
        file.SetSwapBytes(true);
        if (header[0] != KQF_MAGIC)
            return false;
    }
    if (header[1] != KQF_MAGIC2)
        return false;

    // Offsets wrap as unsigned 32-bit values, as the format's writers do.
    uint32 first;
    bool compressed;
    if (header[2] == KQF_LONG_HEADER) {
        int32 form = ReadOr(file);
        if (form == 1) {
            first = 28;
            compressed = false;
        } else {
            int32 extension = ReadOr(file);
            int32 flag = ReadOr(file);
            first = (uint32)extension + 32u;
            compressed = flag != 0;
        }
    } else if (header[3] == 1) {
        first = 16;
        compressed = false;
    } else {
        first = (uint32)header[4] + 20u;
        compressed = header[5] != 0;
    }

    if (!file.Rewind() || !file.SkipBytes((int64)first))
        return false;

    bool ok = false;
    int32 blockId = ReadOr(file, &ok);
    if (!ok)
        return false;
    if (blockId == KQF_BLOCK_SKIPPED) {
        ReadOr(file); // first word
        int32 headerLength = ReadOr(file);
        int32 dataLength = ReadOr(file);
        uint32 skip = (uint32)headerLength + (uint32)dataLength - 8u;
        if (!file.SkipBytes((int64)skip))
            return false;
        ReadOr(file); // trailing word
        blockId = ReadOr(file, &ok);
        if (!ok)
            return false;
    }
    if (blockId != KQF_BLOCK_IMAGE)
        return true; // no picture

    int32 firstWord = ReadOr(file);
    int32 headerLength = ReadOr(file);
    int32 dataLength = ReadOr(file);
    if (firstWord < 0 || headerLength < 0 || dataLength < 0)
        return false;
    if (!file.SkipBytes(80))
        return false;
    int32 width = ReadOr(file);
    int32 height = ReadOr(file);
    if (width < 1 || width > KQF_MAX_SIDE || height < 1 || height > KQF_MAX_SIDE)
        return false;
    if (headerLength > 96 && ReadOr(file) != 1)
        return false;
    if (headerLength > 100 && !file.SkipBytes((int64)headerLength - 100))
        return false;

    int32 n = width * height * 3; // at most 27,000,000
    int32 unpacked = -1;
    if (compressed)
        unpacked = ReadOr(file);
    // Raw data is the picture itself; bzip2 data unpacks to exactly it.
    const bool raw = unpacked < 0;
    if ((raw ? dataLength : unpacked) != n)
        return false;
    // Nothing is allocated before the file is known to hold the D bytes, so
    // a lying D cannot claim more memory than the file has.
    int64 left = BytesLeft(file);
    if (left >= 0 && left < dataLength)
        return false;
    Buffer packed;
    if (!raw) {
        packed.data = (ubyte*)std::malloc(dataLength > 0 ? (size_t)dataLength : 1);
        if (!packed.data || file.Read(packed.data, 1, dataLength) != dataLength)
            return false;
    }
    // The pixels go straight into the image.
    if (!image.Alloc(width, height, false) || !image.Pixels())
        return false;
    bool filled;
    if (raw) {
        filled = file.Read(image.Pixels(), 1, dataLength) == dataLength;
    } else {
        // The image's size is the expected U: the library stops at the end
        // of the buffer, so the output is bounded whatever the stream claims.
        unsigned int outLength = (unsigned int)unpacked;
        int rc = BZ2_bzBuffToBuffDecompress((char*)image.Pixels(), &outLength, (char*)packed.data,
                                            (unsigned int)dataLength, 0, 0);
        filled = rc == BZ_OK && outLength == (unsigned int)unpacked;
    }
    if (!filled) {
        image.Free();
        return false;
    }
    return true;
}

// ---- KQFx --------------------------------------------------------------

struct ZipCloser {
    zip_t* archive;
    ~ZipCloser()
    {
        if (archive)
            zip_discard(archive);
    }
};

struct ZipFileCloser {
    zip_file_t* entry;
    ~ZipFileCloser()
    {
        if (entry)
            zip_fclose(entry);
    }
};

bool ReadKqfx(const KQString& path, KQRGBImage& image)
{
    // Opened here with the wide-name open and handed to libzip as a stream,
    // so that paths outside the local code page work.
    if (IsPipeOrDevice(path))
        return false;
    FILE* stream = KQOpenFileWithFlags(path, KQFile::READ);
    if (!stream)
        return false;
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* source = zip_source_filep_create(stream, 0, -1, &error);
    if (!source) {
        std::fclose(stream);
        zip_error_fini(&error);
        return false;
    }
    // From here the source owns the stream.
    ZipCloser archive{zip_open_from_source(source, ZIP_RDONLY, &error)};
    zip_error_fini(&error);
    if (!archive.archive) {
        zip_source_free(source);
        return false;
    }

    // Entry names are stored with either separator; the lookup is blind to
    // the separator and to case.
    zip_int64_t index = zip_name_locate(archive.archive, "Case001\\Snapshot.jpeg", ZIP_FL_NOCASE);
    if (index < 0)
        index = zip_name_locate(archive.archive, "Case001/Snapshot.jpeg", ZIP_FL_NOCASE);
    if (index < 0)
        return true; // no snapshot

    zip_stat_t st;
    zip_stat_init(&st);
    if (zip_stat_index(archive.archive, (zip_uint64_t)index, 0, &st) != 0 || !(st.valid & ZIP_STAT_SIZE))
        return false;
    if (st.size == 0 || st.size > KQFX_MAX_SNAPSHOT)
        return false;

    Buffer buffer;
    buffer.data = (ubyte*)std::malloc((size_t)st.size);
    if (!buffer.data)
        return false;
    ZipFileCloser entry{zip_fopen_index(archive.archive, (zip_uint64_t)index, 0)};
    if (!entry.entry)
        return false;
    zip_uint64_t got = 0;
    while (got < st.size) {
        zip_int64_t n = zip_fread(entry.entry, buffer.data + got, st.size - got);
        if (n <= 0)
            return false;
        got += (zip_uint64_t)n;
    }
    // Reading on to the end makes the library check the CRC.
    ubyte probe;
    if (zip_fread(entry.entry, &probe, 1) != 0)
        return false;

    int32 size = (int32)st.size;
    return KQDecodeJPEGFromMemory(&image, buffer.data, &size);
}

} // namespace

bool CkqfxThumbExtractor::ReadKqfSnapshot(const KQString& path, KQRGBImage& image)
{
    try {
        return ReadKqf(path, image);
    } catch (...) {
        return false;
    }
}

bool CkqfxThumbExtractor::ReadKqfxSnapshot(const KQString& path, KQRGBImage& image)
{
    try {
        return ReadKqfx(path, image);
    } catch (...) {
        return false;
    }
}
