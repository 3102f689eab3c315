// The two snapshot readers: the JPEG entry of a KQFx container and the
// image block of a binary KQF file.
//
// Both treat the file as hostile: every size read from it is checked
// against the limits and against what the file can hold before anything is
// allocated, and nothing thrown by a library leaves a reader.
#include <bzlib.h>
#include <zip.h>

#include <cstdlib>
#include <cstring>
#include <new>

#include "KQFileSystem.h"
#include "KQOFile.h"
#include "KQOImage.h"
#include "KQOJpeg.h"
#include "KQOZipDirectoryBounds.h"
#include "KQOZipEntryReader.h"
#include "kqfxSnapshotLimits.h"
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

// Bytes read from the packed image data at a time.
const int32 KQF_PACKED_PIECE = 64 * 1024;

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
// writer, and a device reads as whatever it yields. This check by name
// decides the answer; the open refuses such a file too, so a name swapped
// for a pipe after the check cannot hold the shell.
bool IsPipeOrDevice(const KQString& path)
{
    return KQFileKindW(path.CStr()) == KQ_FILE_OTHER;
}

int64 MaxBzip2Length(int64 unpacked)
{
    return unpacked + unpacked / 100 + 600;
}

struct Bunzip {
    bz_stream stream;
    bool open = false;
    Bunzip()
    {
        std::memset(&stream, 0, sizeof(stream));
        open = BZ2_bzDecompressInit(&stream, 0, 0) == BZ_OK;
    }
    ~Bunzip()
    {
        if (open)
            BZ2_bzDecompressEnd(&stream);
    }
};

// Unpacks the bzip2 stream at the start of the next packedLength bytes of
// the file into exactly unpacked bytes at out, reading the packed data in
// pieces. The block may carry bytes after its stream; they are not read. A
// stream that ends early, that would give more than unpacked bytes, or that
// has not ended where any stream of unpacked bytes would have, fails: so a
// block that claims far more packed bytes than its picture can need costs no
// more than the picture.
bool Unpack(KQBinaryFile& file, int32 packedLength, ubyte* out, int32 unpacked)
{
    Bunzip bz;
    Buffer piece;
    piece.data = (ubyte*)std::malloc((size_t)KQF_PACKED_PIECE);
    if (!bz.open || !piece.data)
        return false;
    bz.stream.next_out = (char*)out;
    bz.stream.avail_out = (unsigned int)unpacked;
    int32 left = packedLength;
    if ((int64)left > MaxBzip2Length(unpacked))
        left = (int32)MaxBzip2Length(unpacked);
    for (;;) {
        if (bz.stream.avail_in == 0) {
            if (left == 0)
                return false;  // cut short, or longer than a stream of U bytes
            int32 n = left < KQF_PACKED_PIECE ? left : KQF_PACKED_PIECE;
            if (file.Read(piece.data, 1, n) != n)
                return false;
            left -= n;
            bz.stream.next_in = (char*)piece.data;
            bz.stream.avail_in = (unsigned int)n;
        }
        int rc = BZ2_bzDecompress(&bz.stream);
        if (rc == BZ_STREAM_END)
            return bz.stream.avail_out == 0;
        if (rc != BZ_OK)
            return false;
        // Input left over means the output is full and the stream goes on.
        if (bz.stream.avail_in != 0)
            return false;
    }
}

// Reads the file header: where the first block starts and whether block
// data may be packed. False when the file is no KQF file. A file written in
// the other byte order is read with byte reversal from here on.
bool ReadKqfHeader(KQBinaryFile& file, uint32* firstBlock, bool* compressed)
{
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
    if (header[2] == KQF_LONG_HEADER) {
        int32 form = ReadOr(file);
        if (form == 1) {
            *firstBlock = 28;
            *compressed = false;
        } else {
            int32 extension = ReadOr(file);
            int32 flag = ReadOr(file);
            *firstBlock = (uint32)extension + 32u;
            *compressed = flag != 0;
        }
    } else if (header[3] == 1) {
        *firstBlock = 16;
        *compressed = false;
    } else {
        *firstBlock = (uint32)header[4] + 20u;
        *compressed = header[5] != 0;
    }
    return true;
}

enum class KqfBlockSearch { Failed, NoPicture, ImageBlock };

// Goes to the first block, past it when it is a skipped block, and reads the
// id of the block there; on ImageBlock the file stands just after the id.
// Only that block is looked at: a picture further on is not shown.
KqfBlockSearch FindImageBlock(KQBinaryFile& file, uint32 firstBlock)
{
    if (!file.Rewind() || !file.SkipBytes((int64)firstBlock))
        return KqfBlockSearch::Failed;

    bool ok = false;
    int32 blockId = ReadOr(file, &ok);
    if (!ok)
        return KqfBlockSearch::Failed;
    if (blockId == KQF_BLOCK_SKIPPED) {
        ReadOr(file);  // first word
        int32 headerLength = ReadOr(file);
        int32 dataLength = ReadOr(file);
        uint32 skip = (uint32)headerLength + (uint32)dataLength - 8u;
        if (!file.SkipBytes((int64)skip))
            return KqfBlockSearch::Failed;
        ReadOr(file);  // trailing word
        blockId = ReadOr(file, &ok);
        if (!ok)
            return KqfBlockSearch::Failed;
    }
    return blockId == KQF_BLOCK_IMAGE ? KqfBlockSearch::ImageBlock : KqfBlockSearch::NoPicture;
}

// What the image block's header says of its picture.
struct KqfPicture {
    int32 width = 0;
    int32 height = 0;
    int32 dataLength = 0;  // bytes of block data
};

// Reads the image block's header, from the word after the block id, and
// leaves the file where the block data starts. False for a header no
// picture within the limits can have.
bool ReadImageBlockHeader(KQBinaryFile& file, KqfPicture* picture)
{
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
    picture->width = width;
    picture->height = height;
    picture->dataLength = dataLength;
    return true;
}

// Reads the block data into image: the pixels as they stand, or a bzip2
// stream of them when the file's blocks may be packed and the data says so.
// A failure before the pixels are read leaves the image untouched; one
// while they are read frees it.
bool ReadPixels(KQBinaryFile& file, bool compressed, const KqfPicture& picture, KQRGBImage& image)
{
    const int32 dataLength = picture.dataLength;
    int32 n = picture.width * picture.height * 3;  // at most 27,000,000
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
    // The pixels go straight into the image.
    if (!image.Alloc(picture.width, picture.height, false) || !image.Pixels())
        return false;
    bool filled;
    if (raw)
        filled = file.Read(image.Pixels(), 1, dataLength) == dataLength;
    else
        filled = Unpack(file, dataLength, image.Pixels(), unpacked);
    if (!filled) {
        image.Free();
        return false;
    }
    return true;
}

bool ReadKqf(const KQString& path, KQRGBImage& image)
{
    if (IsPipeOrDevice(path))
        return false;
    KQBinaryFile file(KQString(), KQFile::READ, false);
    if (!file.Open(path, KQFile::READ))
        return true;  // nothing to show

    uint32 firstBlock = 0;
    bool compressed = false;
    if (!ReadKqfHeader(file, &firstBlock, &compressed))
        return false;
    const KqfBlockSearch block = FindImageBlock(file, firstBlock);
    if (block != KqfBlockSearch::ImageBlock)
        return block == KqfBlockSearch::NoPicture;  // no picture: nothing to show
    KqfPicture picture;
    if (!ReadImageBlockHeader(file, &picture))
        return false;
    return ReadPixels(file, compressed, picture, image);
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

// Most of a snapshot left after its picture that is still read to its end.
const zip_uint64_t KQFX_MAX_TRAILER = 64 * 1024;

bool ReadKqfx(const KQString& path, KQRGBImage& image)
{
    // Opened here with the wide-name open and handed to libzip as a stream,
    // so that paths outside the local code page work.
    if (IsPipeOrDevice(path))
        return false;
    FILE* stream = KQOpenFileWithFlags(path, KQFile::READ);
    if (!stream)
        return false;
    ZipCloser archive{KQZipOpenWithinBounds(stream, KQ_MODEL_DIRECTORY_BOUNDS)};
    if (!archive.archive)
        return false;

    // Entry names are stored with either separator; the lookup is blind to
    // the separator and to case.
    zip_int64_t index = zip_name_locate(archive.archive, "Case001\\Snapshot.jpeg", ZIP_FL_NOCASE);
    if (index < 0)
        index = zip_name_locate(archive.archive, "Case001/Snapshot.jpeg", ZIP_FL_NOCASE);
    if (index < 0)
        return true;  // no snapshot

    // Closed before the archive, as it is declared after it.
    KQZipEntryReader snapshot;
    if (!snapshot.Stat(archive.archive, (zip_uint64_t)index) || !snapshot.SizeKnown())
        return false;
    if (snapshot.Size() == 0 || snapshot.Size() > KQFX_MAX_SNAPSHOT)
        return false;
    if (!snapshot.Open())
        return false;

    // Streamed in the decoder's pieces, never more than the entry's size.
    KQStreamCallbacks callbacks = {};
    callbacks.read = KQZipEntryStreamRead;
    const KQJPEGLimits limits = KQSnapshotJPEGLimits();
    if (!KQDecodeJPEG(&snapshot, &callbacks, &image, &limits))
        return false;
    // A real snapshot ends with its picture, so what little is left is read
    // to the end, where libzip checks the entry's CRC. Whatever follows a
    // picture beyond that is not the snapshot's and is not read.
    if (!snapshot.EndsWell(KQFX_MAX_TRAILER)) {
        image.Free();
        return false;
    }
    return true;
}

}  // namespace

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
