// Memory stream and JPEG decoding over libjpeg.
#include "KQOJpeg.h"

#include <climits>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// The Windows headers come before jpeglib.h, which then takes their boolean.
#include "KQPlatform.h"

extern "C" {
#include <jerror.h>
#include <jpeglib.h>
}

#include "KQOError.h"
#include "KQOImage.h"

// ---------------------------------------------------------------------------
// Memory stream

namespace {

KQMemoryStream* Record(KQStreamHandle handle)
{
    return handle ? *static_cast<KQMemoryStream**>(handle) : nullptr;
}

const int32 kFirstCapacity = 4096;

}  // namespace

KQStreamHandle KQMemoryStreamCreate(ubyte* data, int32 size)
{
    KQMemoryStream** cell = static_cast<KQMemoryStream**>(std::malloc(sizeof(KQMemoryStream*)));
    if (!cell)
        return nullptr;
    KQMemoryStream* stream = static_cast<KQMemoryStream*>(std::malloc(sizeof(KQMemoryStream)));
    if (!stream) {
        std::free(cell);
        return nullptr;
    }
    // A negative size describes no bytes: such a stream starts empty.
    if (data && size > 0) {
        stream->ownsData = 0;
        stream->size = size;
        stream->capacity = size;
        stream->data = data;
    } else {
        stream->ownsData = 1;
        stream->size = 0;
        stream->capacity = 0;
        stream->data = nullptr;
    }
    stream->position = 0;
    *cell = stream;
    return cell;
}

void KQMemoryStreamDestroy(KQStreamHandle handle)
{
    KQMemoryStream* stream = Record(handle);
    if (stream) {
        if (stream->ownsData)
            std::free(stream->data);
        std::free(stream);
    }
    std::free(handle);
}

KQMemoryStream* KQMemoryStreamRecord(KQStreamHandle handle)
{
    return Record(handle);
}

uint32 KQMemoryStreamRead(void* buffer, int32 itemSize, uint32 count, KQStreamHandle handle)
{
    KQMemoryStream* s = Record(handle);
    if (!s || itemSize < 0 || (!buffer && itemSize > 0))
        return 0;
    const int64 left = static_cast<int64>(s->size) - s->position;
    if (left < 0) {
        // A position past the end (after a seek) holds no item at all.
        if (count > 0)
            s->position = s->size;
        return 0;
    }
    if (itemSize == 0)
        return count;
    // The whole items there are, in one copy; a shortfall (or a partial
    // last item) leaves the position at the end.
    const uint64 whole = static_cast<uint64>(left) / static_cast<uint64>(itemSize);
    const uint32 items = whole < count ? static_cast<uint32>(whole) : count;
    const size_t bytes = static_cast<size_t>(items) * static_cast<size_t>(itemSize);
    if (bytes > 0)
        std::memcpy(buffer, s->data + s->position, bytes);
    s->position += static_cast<int32>(bytes);
    if (items < count)
        s->position = s->size;
    return items;
}

int32 KQMemoryStreamWrite(const void* data, int32 itemSize, int32 count, KQStreamHandle handle)
{
    KQMemoryStream* s = Record(handle);
    if (!s || itemSize < 0 || count < 0)
        return 0;
    const int64 total = static_cast<int64>(itemSize) * count;
    if (total > 0 && !data)
        return 0;
    // The written data must end inside a capacity that an int32 can hold.
    if (s->position + total >= INT32_MAX)
        return 0;
    while (s->position + total >= s->capacity) {
        if (s->capacity == INT32_MAX)
            return 0;
        int32 capacity;
        if (s->capacity == 0)
            capacity = kFirstCapacity;
        else if (s->capacity & 0x40000000)
            capacity = INT32_MAX;
        else
            capacity = 2 * s->capacity;
        ubyte* grown;
        if (s->ownsData) {
            grown = static_cast<ubyte*>(std::realloc(s->data, static_cast<size_t>(capacity)));
        } else {
            // A wrapped buffer is the caller's: growing moves the bytes into
            // a buffer of the stream's own and leaves the caller's alone.
            grown = static_cast<ubyte*>(std::malloc(static_cast<size_t>(capacity)));
            if (grown && s->capacity > 0)
                std::memcpy(grown, s->data, static_cast<size_t>(s->capacity));
        }
        if (!grown)
            return 0;
        s->data = grown;
        s->capacity = capacity;
        s->ownsData = 1;
    }
    // Bytes skipped by a seek past the end read as zero.
    if (s->position > s->size)
        std::memset(s->data + s->size, 0, static_cast<size_t>(s->position - s->size));
    if (total > 0)
        std::memcpy(s->data + s->position, data, static_cast<size_t>(total));
    s->position += static_cast<int32>(total);
    if (s->position > s->size)
        s->size = s->position;
    return count;
}

int32 KQMemoryStreamSeek(KQStreamHandle handle, int32 offset, int32 whence)
{
    KQMemoryStream* s = Record(handle);
    if (!s)
        return -1;
    int64 target;
    if (whence == 1)
        target = static_cast<int64>(s->position) + offset;
    else if (whence == 2)
        target = static_cast<int64>(s->size) + offset;
    else
        target = offset;
    if (target < 0 || target > INT32_MAX)
        return -1;
    s->position = static_cast<int32>(target);
    return 0;
}

int32 KQMemoryStreamTell(KQStreamHandle handle)
{
    KQMemoryStream* s = Record(handle);
    return s ? s->position : 0;
}

KQStreamCallbacks* KQMemoryStreamInitCallbacks(KQStreamCallbacks* callbacks)
{
    if (callbacks) {
        callbacks->read = KQMemoryStreamRead;
        callbacks->write = KQMemoryStreamWrite;
        callbacks->seek = KQMemoryStreamSeek;
        callbacks->tell = KQMemoryStreamTell;
    }
    return callbacks;
}

// ---------------------------------------------------------------------------
// libjpeg source and error managers

namespace {

const size_t kInputBufferSize = 4096;
// Whole-image coefficient buffers (progressive data) of a picture within the
// bound: 3 components of 2-byte coefficients, with room for the blocks that
// pad the edges and for the library's own buffers.
const long kMaxLibraryMemory = static_cast<long>(6 * (KQ_JPEG_MAX_PIXELS + KQ_JPEG_MAX_PIXELS / 8) + (64L << 20));

struct KQJPEGMemorySource {
    jpeg_source_mgr pub;
    KQStreamHandle handle;
    const KQStreamCallbacks* callbacks;
    JOCTET* buffer;
    bool startOfFile;
    int64 inputLeft;  // bytes the stream may still deliver; negative: any
};

// Bytes of entropy-coded data a picture may take, per pixel.
const int64 kInputPerPixel = 8;

struct KQJPEGErrorManager {
    jpeg_error_mgr pub;
    jmp_buf jump;
};

void KQJPEGInitSource(j_decompress_ptr cinfo)
{
    reinterpret_cast<KQJPEGMemorySource*>(cinfo->src)->startOfFile = true;
}

boolean KQJPEGFillInputBuffer(j_decompress_ptr cinfo)
{
    KQJPEGMemorySource* src = reinterpret_cast<KQJPEGMemorySource*>(cinfo->src);
    uint32 n = src->callbacks->read(src->buffer, 1, static_cast<uint32>(kInputBufferSize), src->handle);
    if (n > kInputBufferSize)
        n = static_cast<uint32>(kInputBufferSize);  // a foreign stream must not overstate
    if (src->inputLeft >= 0) {
        if (static_cast<int64>(n) > src->inputLeft)
            ERREXIT(cinfo, JERR_BAD_LENGTH);
        src->inputLeft -= n;
    }
    if (n == 0) {
        if (src->startOfFile)
            ERREXIT(cinfo, JERR_INPUT_EMPTY);
        WARNMS(cinfo, JWRN_JPEG_EOF);
        // A fake end-of-image marker lets the library finish from what it has.
        src->buffer[0] = static_cast<JOCTET>(0xFF);
        src->buffer[1] = static_cast<JOCTET>(JPEG_EOI);
        n = 2;
    }
    src->pub.next_input_byte = src->buffer;
    src->pub.bytes_in_buffer = n;
    src->startOfFile = false;
    return TRUE;
}

void KQJPEGSkipInputData(j_decompress_ptr cinfo, long count)
{
    if (count <= 0)
        return;
    KQJPEGMemorySource* src = reinterpret_cast<KQJPEGMemorySource*>(cinfo->src);
    while (count > static_cast<long>(src->pub.bytes_in_buffer)) {
        count -= static_cast<long>(src->pub.bytes_in_buffer);
        KQJPEGFillInputBuffer(cinfo);
    }
    src->pub.next_input_byte += count;
    src->pub.bytes_in_buffer -= static_cast<size_t>(count);
}

void KQJPEGTermSource(j_decompress_ptr) {}

// Decoding reports only its result, so no message of the library reaches
// anyone and none is formatted. The standard emit_message stays: it still
// counts the warnings.
void KQJPEGOutputMessage(j_common_ptr) {}

// Never returns into the library: the decode ends at the setjmp in
// KQDecodeJPEG, which destroys the decompressor.
void KQJPEGErrorExit(j_common_ptr cinfo)
{
    KQJPEGErrorManager* err = reinterpret_cast<KQJPEGErrorManager*>(cinfo->err);
    longjmp(err->jump, 1);
}

// Ends the decode once the data starts more scans than allowed, or once
// its scans together ask for more work than allowed. The library calls it
// at least once an iMCU row while it reads scans, and each scan is set up
// (its components and band known) before its first row, so an endless run
// of empty scans stops at the first scan past a limit, before that scan
// walks the picture.
struct KQJPEGScanLimit {
    jpeg_progress_mgr pub;
    int32 maxScans;       // 0: no limit
    int64 maxWork;        // 0: nothing counted
    int64 work;           // of the scans counted so far
    int32 countedScans;
    int64 costliestScan;  // a scan over every block of the picture
};

// Blocks a scan reaching every component covers, each component rounded
// up to whole sampling units as the library stores it.
int64 PictureBlocks(const jpeg_decompress_struct* cinfo)
{
    int64 blocks = 0;
    for (int c = 0; cinfo->comp_info && c < cinfo->num_components; ++c) {
        const jpeg_component_info& comp = cinfo->comp_info[c];
        const int64 h = comp.h_samp_factor > 0 ? comp.h_samp_factor : 1;
        const int64 v = comp.v_samp_factor > 0 ? comp.v_samp_factor : 1;
        const int64 across = (static_cast<int64>(comp.width_in_blocks) + h - 1) / h * h;
        const int64 down = (static_cast<int64>(comp.height_in_blocks) + v - 1) / v * v;
        blocks += across * down;
    }
    return blocks;
}

// The work a scan asks for, as counted against the caller's limit.
int64 ScanWork(int64 blocks, bool progressive, int32 firstCoefficient, int32 lastCoefficient)
{
    // Reaching a block costs about as much as decoding eight of its
    // coefficients, whatever the scan holds: the empty scans of a flood and
    // the narrow ones of a long script cost that much a block.
    const int64 kReachBlock = 8;
    int64 band = DCTSIZE2;
    if (progressive) {
        band = static_cast<int64>(lastCoefficient) - firstCoefficient + 1;
        if (band < 1 || band > DCTSIZE2)
            band = DCTSIZE2;
    }
    return blocks * (band + kReachBlock);
}

[[noreturn]] void EndDecode(j_decompress_ptr cinfo)
{
    longjmp(reinterpret_cast<KQJPEGErrorManager*>(cinfo->err)->jump, 1);
}

void KQJPEGCheckScans(j_common_ptr common)
{
    j_decompress_ptr cinfo = reinterpret_cast<j_decompress_ptr>(common);
    KQJPEGScanLimit* limit = reinterpret_cast<KQJPEGScanLimit*>(cinfo->progress);
    if (limit->maxScans > 0 && cinfo->input_scan_number > limit->maxScans)
        EndDecode(cinfo);
    if (limit->maxWork > 0 && cinfo->input_scan_number > limit->countedScans) {
        // A scan started while the monitor was not called would be charged
        // as the costliest scan there can be; the library gives none such.
        const int64 unseen = cinfo->input_scan_number - limit->countedScans - 1;
        const int64 blocks = static_cast<int64>(cinfo->MCUs_per_row) * cinfo->MCU_rows_in_scan * cinfo->blocks_in_MCU;
        limit->work += unseen * limit->costliestScan +
                       ScanWork(blocks, cinfo->progressive_mode != 0, cinfo->Ss, cinfo->Se);
        limit->countedScans = cinfo->input_scan_number;
        if (limit->work > limit->maxWork)
            EndDecode(cinfo);
    }
}

// Progressive data, and data whose first scan leaves components out, keep
// every coefficient of the picture until the last scan, which may come
// after any number of others.
bool IsMultiScan(const jpeg_decompress_struct* cinfo)
{
    return cinfo->progressive_mode || cinfo->comps_in_scan < cinfo->num_components;
}

// Rows handed to the library per read call: the most any decoder pass
// delivers at once.
const int kRowsPerRead = 16;

// Data that is not 3-component colour: traced, and the decompressor
// destroyed.
bool RefuseNotColour(jpeg_decompress_struct* cinfo)
{
    KQTrace("Input JPEG image is not 24 bit.");
    jpeg_destroy_decompress(cinfo);
    return false;
}

// The part of the decode that may be left by longjmp. Only plain data lives
// in this frame (no object with a destructor), so skipping it is safe.
bool DecodeJPEGFrame(jpeg_decompress_struct* cinfo, KQJPEGErrorManager* err, KQJPEGScanLimit* scanLimit,
                     KQStreamHandle handle, const KQStreamCallbacks* callbacks, KQRGBImage* image,
                     const KQJPEGLimits* limits)
{
    cinfo->err = jpeg_std_error(&err->pub);
    err->pub.error_exit = KQJPEGErrorExit;
    err->pub.output_message = KQJPEGOutputMessage;
    // Set once the image holds a buffer of the picture's size, whose rows
    // the decode fills from the top.
    volatile bool filling = false;
    if (setjmp(err->jump)) {
        // Rows not reached keep nothing of an earlier picture or of the heap.
        if (filling && image->Pixels()) {
            const size_t rowBytes = static_cast<size_t>(image->Size().x) * 3;
            const size_t unread = static_cast<size_t>(image->Size().y) - cinfo->output_scanline;
            std::memset(image->Pixels(), 0, unread * rowBytes);
        }
        jpeg_destroy_decompress(cinfo);
        return false;
    }
    jpeg_create_decompress(cinfo);
    // Every picture within the size bound decodes, progressive or not: its
    // coefficients take at most 2 bytes a sample (kMaxLibraryMemory). Past
    // that the library fails cleanly instead.
    cinfo->mem->max_memory_to_use = kMaxLibraryMemory;
    if (limits && (limits->maxScans > 0 || limits->maxScanWork > 0)) {
        scanLimit->pub.progress_monitor = KQJPEGCheckScans;
        scanLimit->maxScans = limits->maxScans;
        cinfo->progress = &scanLimit->pub;
    }
    KQJPEGSetMemorySource(cinfo, handle, callbacks);
    KQJPEGMemorySource* src = reinterpret_cast<KQJPEGMemorySource*>(cinfo->src);
    if (limits && limits->maxInputBeyondPicture > 0)
        src->inputLeft = limits->maxInputBeyondPicture;
    // No APPn or COM marker is kept: nothing reads them, and a flood of them
    // would otherwise stay in memory. The library still looks at the JFIF
    // and Adobe markers it needs for the colour transform.
    jpeg_read_header(cinfo, TRUE);
    // A few header bytes can announce a picture of any size; what lies past
    // the bound is refused before anything of its size is allocated.
    if (!KQJPEGSizeWithinBound(cinfo->image_width, cinfo->image_height)) {
        jpeg_destroy_decompress(cinfo);
        return false;
    }
    if (limits && limits->maxArithmeticPixels > 0 && cinfo->arith_code &&
        static_cast<int64>(cinfo->image_width) * cinfo->image_height > limits->maxArithmeticPixels) {
        jpeg_destroy_decompress(cinfo);
        return false;
    }
    if (src->inputLeft >= 0)
        src->inputLeft += kInputPerPixel * static_cast<int64>(cinfo->image_width) * cinfo->image_height;
    // Rows go straight into the image, 3 bytes a pixel: nothing else fits.
    // The data is checked before the start sets up the whole decode, and the
    // output format the start settles once more, as the rows follow it.
    if (cinfo->num_components != 3)
        return RefuseNotColour(cinfo);
    // A header of a few bytes can ask for the coefficients of a whole
    // picture however little data follows: what the caller does not allow
    // is refused before any of it is allocated.
    if (limits && limits->maxMemory > 0 && KQJPEGDecodeMemory(cinfo) > limits->maxMemory) {
        jpeg_destroy_decompress(cinfo);
        return false;
    }
    // Single-scan data is decoded row by row as the picture is read out,
    // once; every other scan walks the picture's blocks again.
    if (limits && limits->maxScanWork > 0 && IsMultiScan(cinfo)) {
        scanLimit->maxWork = limits->maxScanWork;
        scanLimit->costliestScan = ScanWork(PictureBlocks(cinfo), false, 0, DCTSIZE2 - 1);
    }
    cinfo->scale_denom = 1;
    jpeg_start_decompress(cinfo);
    if (cinfo->output_components != 3)
        return RefuseNotColour(cinfo);
    // The decoder writes every row, so the buffer is not cleared first.
    image->Alloc(static_cast<int32>(cinfo->output_width), static_cast<int32>(cinfo->output_height), false);
    if (!image->Pixels()) {
        jpeg_destroy_decompress(cinfo);
        return false;
    }
    filling = true;
    // JPEG rows arrive top row first; each goes straight to its place from
    // the bottom (row 0 is the bottom row), so no flip is needed afterwards.
    const size_t rowBytes = static_cast<size_t>(cinfo->output_components) * cinfo->output_width;
    const JDIMENSION height = cinfo->output_height;
    while (cinfo->output_scanline < height) {
        JSAMPROW rows[kRowsPerRead];
        const JDIMENSION first = cinfo->output_scanline;
        JDIMENSION count = height - first;
        if (count > static_cast<JDIMENSION>(kRowsPerRead))
            count = kRowsPerRead;
        for (JDIMENSION k = 0; k < count; ++k)
            rows[k] = image->Pixels() + static_cast<size_t>(height - 1 - (first + k)) * rowBytes;
        if (jpeg_read_scanlines(cinfo, rows, count) == 0) {
            // Only a suspending source returns no row; this one never does.
            longjmp(err->jump, 1);
        }
    }
    filling = false;
    jpeg_finish_decompress(cinfo);
    jpeg_destroy_decompress(cinfo);
    return true;
}

}  // namespace

bool KQJPEGSizeWithinBound(uint32 width, uint32 height)
{
    return width > 0 && height > 0 && static_cast<uint64>(width) * height <= KQ_JPEG_MAX_PIXELS;
}

void KQJPEGSetMemorySource(jpeg_decompress_struct* cinfo, KQStreamHandle handle, const KQStreamCallbacks* callbacks)
{
    if (!cinfo->src) {
        KQJPEGMemorySource* src = static_cast<KQJPEGMemorySource*>((*cinfo->mem->alloc_small)(
            reinterpret_cast<j_common_ptr>(cinfo), JPOOL_PERMANENT, sizeof(KQJPEGMemorySource)));
        src->buffer = static_cast<JOCTET*>(
            (*cinfo->mem->alloc_small)(reinterpret_cast<j_common_ptr>(cinfo), JPOOL_PERMANENT, kInputBufferSize));
        cinfo->src = &src->pub;
    }
    KQJPEGMemorySource* src = reinterpret_cast<KQJPEGMemorySource*>(cinfo->src);
    src->pub.init_source = KQJPEGInitSource;
    src->pub.fill_input_buffer = KQJPEGFillInputBuffer;
    src->pub.skip_input_data = KQJPEGSkipInputData;
    src->pub.resync_to_restart = jpeg_resync_to_restart;
    src->pub.term_source = KQJPEGTermSource;
    src->handle = handle;
    src->callbacks = callbacks;
    src->inputLeft = -1;
    src->pub.bytes_in_buffer = 0;
    src->pub.next_input_byte = nullptr;
}

int64 KQJPEGDecodeMemory(const jpeg_decompress_struct* cinfo)
{
    // The picture at full scale, 3 bytes a pixel, as the decode allocates it.
    int64 bytes = static_cast<int64>(cinfo->image_width) * cinfo->image_height * 3;
    if (IsMultiScan(cinfo))
        bytes += PictureBlocks(cinfo) * static_cast<int64>(sizeof(JBLOCK));
    return bytes;
}

bool KQDecodeJPEG(KQStreamHandle handle, const KQStreamCallbacks* callbacks, KQRGBImage* image,
                  const KQJPEGLimits* limits)
{
    if (!handle || !callbacks || !callbacks->read || !image)
        return false;
    jpeg_decompress_struct cinfo;
    KQJPEGErrorManager err;
    KQJPEGScanLimit scanLimit;
    std::memset(&cinfo, 0, sizeof(cinfo));
    std::memset(&scanLimit, 0, sizeof(scanLimit));
    return DecodeJPEGFrame(&cinfo, &err, &scanLimit, handle, callbacks, image, limits);
}

bool KQDecodeJPEGFromMemory(KQRGBImage* image, ubyte* data, const int32* size, const KQJPEGLimits* limits)
{
    if (!image || !size)
        return false;
    KQStreamHandle handle = KQMemoryStreamCreate(data, *size);
    if (!handle)
        return false;
    KQStreamCallbacks callbacks;
    KQMemoryStreamInitCallbacks(&callbacks);
    bool result = KQDecodeJPEG(handle, &callbacks, image, limits);
    KQMemoryStreamDestroy(handle);
    return result;
}
