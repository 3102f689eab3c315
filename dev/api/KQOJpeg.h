// A small heap stream reached through a table of callbacks, and the JPEG
// decoder that reads 3-component JPEG data from such a stream into a
// KQRGBImage (row 0 at the bottom).
#ifndef KQOJPEG_H
#define KQOJPEG_H

#include "KQOTypes.h"

class KQRGBImage;
struct jpeg_decompress_struct;

struct KQMemoryStream {
    int32 ownsData;  // 1: data is the stream's own; 0: it wraps a caller's buffer
    int32 size;      // valid bytes
    int32 capacity;  // bytes available in data
    int32 position;  // offset of the next read or write
    ubyte* data;
};

// A stream is used through a handle: for a memory stream, a separately
// allocated cell holding the KQMemoryStream pointer. Other streams may put
// whatever their callbacks expect behind it.
typedef void* KQStreamHandle;

struct KQStreamCallbacks {
    uint32 (*read)(void* buffer, int32 itemSize, uint32 count, KQStreamHandle handle);
    int32 (*write)(const void* data, int32 itemSize, int32 count, KQStreamHandle handle);
    int32 (*seek)(KQStreamHandle handle, int32 offset, int32 whence);
    int32 (*tell)(KQStreamHandle handle);
};

// With data and a positive size: a stream over the caller's bytes, which
// stay the caller's. Otherwise an empty stream that owns its buffer. Null
// when memory runs out.
KQStreamHandle KQMemoryStreamCreate(ubyte* data, int32 size);
void KQMemoryStreamDestroy(KQStreamHandle handle);
// The record behind a memory-stream handle (null for a null handle).
KQMemoryStream* KQMemoryStreamRecord(KQStreamHandle handle);
// Whole items only: a partial last item moves the position to the end.
uint32 KQMemoryStreamRead(void* buffer, int32 itemSize, uint32 count, KQStreamHandle handle);
// Returns count, or 0 when the buffer cannot grow (nothing written then).
int32 KQMemoryStreamWrite(const void* data, int32 itemSize, int32 count, KQStreamHandle handle);
// whence 1: from the position, 2: from the end, else from the start.
// 0, or -1 for a target before the start (the position is kept).
int32 KQMemoryStreamSeek(KQStreamHandle handle, int32 offset, int32 whence);
int32 KQMemoryStreamTell(KQStreamHandle handle);
KQStreamCallbacks* KQMemoryStreamInitCallbacks(KQStreamCallbacks* callbacks);

// The largest picture the decoder takes, in pixels (64 MP, 8192 x 8192):
// data that announces more is refused from its header, before anything of
// its size is allocated, whether it is baseline or progressive.
#define KQ_JPEG_MAX_PIXELS (64LL * 1024 * 1024)
// True when a picture of width x height pixels is within that bound.
bool KQJPEGSizeWithinBound(uint32 width, uint32 height);

// What a caller that takes JPEG data from anywhere allows one decode; a
// zero field sets no limit of its own.
struct KQJPEGLimits {
    // Scans the data may start. Every scan walks the whole picture again,
    // so this bounds the work that a few bytes of empty scans can ask for.
    int32 maxScans;
    // Bytes of the decoded picture (3 a pixel) plus, for progressive or
    // multi-scan data, the whole-image coefficient store (128 bytes a
    // block). Worked out from the header before either is allocated.
    int64 maxMemory;
    // Bytes the data may hold beyond 8 a pixel of the picture it announces
    // (more than any entropy-coded picture needs): room for its tables and
    // metadata. Bounds what a flood of markers costs to read.
    int64 maxInputBeyondPicture;
    // Pixels that arithmetic-coded data may announce. Its decoder takes
    // about ten times the work of Huffman decoding for each coefficient, so
    // a picture of the same size costs that much more.
    int64 maxArithmeticPixels;
    // Work that the scans of progressive or multi-scan data may ask for
    // together, counted as each scan starts: for every block the scan
    // covers, the coefficients of its band (all 64 in sequential data) plus
    // 8 for reaching the block at all. Every scan walks all blocks of its
    // components again, so the scan limit alone lets the largest picture be
    // walked that many times; this bounds blocks times scans. Single-scan
    // data reads each block once, within maxMemory.
    int64 maxScanWork;
};

// The bytes a decode of the picture whose header the decompressor has read
// allocates for the picture and the coefficient store.
int64 KQJPEGDecodeMemory(const jpeg_decompress_struct* decompressor);

// Installs the stream as the data source of a libjpeg decompressor.
void KQJPEGSetMemorySource(jpeg_decompress_struct* decompressor, KQStreamHandle handle,
                           const KQStreamCallbacks* callbacks);

// Decodes the whole stream into the image. False for data that is not a
// decodable 3-component JPEG, that is past the size bound or that exceeds
// the limits (when given); nothing is recorded in the image except an
// allocation failure of its buffer. Reading stops at the end of the picture.
bool KQDecodeJPEG(KQStreamHandle handle, const KQStreamCallbacks* callbacks, KQRGBImage* image,
                  const KQJPEGLimits* limits = nullptr);
// Decodes *size bytes at data into the image.
bool KQDecodeJPEGFromMemory(KQRGBImage* image, ubyte* data, const int32* size, const KQJPEGLimits* limits = nullptr);

#endif
