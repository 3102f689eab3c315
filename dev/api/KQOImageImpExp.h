// Image file writers (PPM, SGI RGB, TIFF, BMP, EPS), the SGI RGB reader and
// the two format probes behind KQRGBImage::DetectFileType. Free functions
// without state: each opens, writes or reads and closes its file in one call.
//
// Every writer takes the pixel block of a KQRGBImage (3 bytes per pixel,
// R, G, B, rows of width x 3 bytes without padding, row 0 = the bottom row),
// the size (width, height) and the file name.
#ifndef KQOIMAGEIMPEXP_H
#define KQOIMAGEIMPEXP_H

#include <cstdint>
#include <cstdio>

#include "KQOObject.h"
#include "KQOString.h"
#include "KQOTypes.h"

class KQRGBImage;

bool KQImageSaveRGBDataToPPM(const ubyte* pixels, const KQIntPair& size, const KQString& fileName);
bool KQImageSaveRGBDataToSGIRGB(const ubyte* pixels, const KQIntPair& size, const KQString& fileName);
bool KQImageSaveRGBDataToTIFF(const ubyte* pixels, const KQIntPair& size, const KQString& fileName);
bool KQImageSaveRGBDataToBMP(const ubyte* pixels, const KQIntPair& size, const KQString& fileName);
// bytesPerPixel samples of each pixel are written (1 to 3).
bool KQImageSaveRGBDataToEPS(const ubyte* pixels, const KQIntPair& size, const KQString& fileName, int32 bytesPerPixel);

// An open SGI RGB file. Tables are indexed by row + channel x ysize.
struct KQSGIImageHandle {
    uint16_t magic;    // 474
    uint16_t storage;  // high byte 1: run-length encoded; low byte: bytes per channel
    uint16_t dimension;
    uint16_t xsize;
    uint16_t ysize;
    uint16_t zsize;
    FILE* file;
    ubyte* packetBuffer;  // 256 x xsize bytes: one stored run-length row
    ubyte* rowRed;        // 256 x xsize bytes each: the decoded current row
    ubyte* rowGreen;
    ubyte* rowBlue;
    uint32* rowStart;  // run-length files only, else null
    uint32* rowSize;
    int64 fileSize;  // what the tables and rows are checked against
};

// Opens and checks an SGI file and loads its run tables. With probeOnly the
// file is closed again and a non-null token that is no handle comes back
// for an SGI file. Null when the file is no readable SGI RGB file.
KQSGIImageHandle* KQRawSGIImageOpen(const KQChar* fileName, bool probeOnly);
// Reads all rows into the image (row 0 at the bottom in both).
bool KQRawSGIImageGetData(KQSGIImageHandle* handle, KQRGBImage& image);
// Reads and decodes one channel of one row into destination (256 x xsize
// bytes); false when the stored row does not lie in the file or does not
// decode within the buffers.
bool KQRawSGIImageGetRow(KQSGIImageHandle* handle, int32 channel, int32 row, ubyte* destination);
void KQRawSGIImageClose(KQSGIImageHandle* handle);
bool KQLoadSGIImage(const KQString& fileName, KQRGBImage& image);

bool KQIsBMPFile(const KQString& fileName);
bool KQIsSGIFile(const KQString& fileName);

#endif
