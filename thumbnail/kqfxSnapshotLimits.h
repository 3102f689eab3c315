// What Lintomel allows the decode of one snapshot. A shell extension runs
// inside every program whose file dialog shows thumbnails, so a file of a
// few hundred bytes must not cost it more than a real snapshot does.
#ifndef KQFXSNAPSHOTLIMITS_H
#define KQFXSNAPSHOTLIMITS_H

#include "KQOJpeg.h"

// Encoders write 1 to 3 scans for baseline data and about 10 for
// progressive data; every scan walks the whole picture again.
#define KQ_SNAPSHOT_MAX_SCANS 64
// The decoded picture (3 bytes a pixel) plus, for progressive or multi-scan
// data, the coefficient store (2 bytes a coefficient). A 24 MP progressive
// 4:2:0 camera picture needs 137 MiB; the budget admits progressive 4:2:0
// pictures up to 27.9 MP, progressive 4:4:4 up to 18.6 MP and single-scan
// baseline pictures up to 55.9 MP.
#define KQ_SNAPSHOT_MAX_DECODE_BYTES (160LL * 1024 * 1024)
// Tables and metadata (Exif, colour profiles, previews) a snapshot may carry
// besides its picture's data, which may take up to 8 bytes a pixel.
#define KQ_SNAPSHOT_MAX_METADATA_BYTES (16LL * 1024 * 1024)

// Arithmetic-coded data: the costliest of it (noise refined over some 40
// progressive scans) at this size takes no longer than the costliest
// Huffman-coded data at the budget (noise in one scan, 55.9 MP). Cameras and
// the viewer write Huffman-coded data.
#define KQ_SNAPSHOT_MAX_ARITHMETIC_PIXELS (3LL * 1024 * 1024)

// Work of the scans of progressive (or multi-scan) data together: for
// every block a scan covers, the coefficients of its band plus 8. Each
// scan walks every block of its components again. The costliest scans
// (noise refined over the whole band) take at most a third longer for each
// unit than libjpeg's default script on average, which is itself mostly
// such scans, so the bound holds the decode near the cost of a real
// picture at the budget. That default script of 10 scans over the largest
// progressive 4:4:4 picture of the budget (5000 x 3728) counts 163
// million; the heaviest script mozjpeg chooses over the largest 4:2:0 one
// (6096 x 4576, 11 scans, luma refined three times) counts 176 million.
// Scripts of 34 or 64 scans that refine every bit of the whole band fit
// pictures of 4 to 5 MP.
#define KQ_SNAPSHOT_MAX_SCAN_WORK 180000000LL

inline KQJPEGLimits KQSnapshotJPEGLimits()
{
    KQJPEGLimits limits = {};
    limits.maxScans = KQ_SNAPSHOT_MAX_SCANS;
    limits.maxMemory = KQ_SNAPSHOT_MAX_DECODE_BYTES;
    limits.maxInputBeyondPicture = KQ_SNAPSHOT_MAX_METADATA_BYTES;
    limits.maxArithmeticPixels = KQ_SNAPSHOT_MAX_ARITHMETIC_PIXELS;
    limits.maxScanWork = KQ_SNAPSHOT_MAX_SCAN_WORK;
    return limits;
}

#endif
