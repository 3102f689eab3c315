// GIF87a writer: a fixed 8 x 8 x 4 palette, gamma brightening, ordered
// dithering and LZW compression. All working state is process-wide, so one
// save must finish before the next begins.
#ifndef KQOIMAGEGIF_H
#define KQOIMAGEGIF_H

#include <cstdint>
#include <cstdio>

#include "KQOObject.h"
#include "KQOString.h"
#include "KQOTypes.h"

// Palette index of the pixel at column x of row y (y = 0 is the top row).
typedef int32 (*KQGIFPixelSource)(int32 x, int32 y);

// One colour component's dither tables: [row phase][column phase][value].
struct KQGIFDitherTable {
    uint16_t entry[4][4][256];
};

// Writes pixels (3 bytes per pixel R, G, B, row 0 = the bottom row) as a
// GIF87a file. Sides above 65535 do not fit the file's fields and are
// refused.
bool KQImageSaveRGBDataToGIF(const ubyte* pixels, const KQIntPair& size, const KQString& fileName);

bool KQGIFEncode(FILE* stream, int32 width, int32 height, int32 background, int32 bitsPerPixel, const int32 red[],
                 const int32 green[], const int32 blue[], KQGIFPixelSource source);
bool KQGIFCompress(int32 initialBits, FILE* stream, KQGIFPixelSource source);
bool KQGIFOutputCode(int32 code);
// The next pixel in scan order, -1 once all are delivered.
int32 KQGIFNextPixel(KQGIFPixelSource source);
// The writer's pixel source.
int32 KQGIFGetPixel(int32 x, int32 y);
void KQGIFApplyGamma(ubyte* bytes, float gamma, int32 count);
void KQGIFDitherRow(uint16_t indices[], const ubyte red[], const ubyte green[], const ubyte blue[], int32 count,
                    int32 row);
KQGIFDitherTable KQGIFBuildDitherTable(int32 levels, int32 weight, int32 offset);

#endif
