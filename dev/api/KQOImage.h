// The library's in-memory picture: 8-bit R, G, B samples, rows without
// padding, row 0 at the bottom.
#ifndef KQOIMAGE_H
#define KQOIMAGE_H

#include "KQOError.h"
#include "KQOObject.h"
#include "KQOString.h"
#include "KQOTypes.h"

class KQDIBSection;

// Image file type codes.
#define KQ_IMAGE_TYPE_NONE 0
#define KQ_IMAGE_TYPE_PPM 1
#define KQ_IMAGE_TYPE_SGI 2
#define KQ_IMAGE_TYPE_TIFF 3
#define KQ_IMAGE_TYPE_BMP 4
#define KQ_IMAGE_TYPE_GIF 5
#define KQ_IMAGE_TYPE_EPS 6

class KQRGBImage : public KQRefCountClass, public KQErrorBase {
public:
    KQRGBImage();
    ~KQRGBImage() override;
    KQRGBImage(const KQRGBImage&) = delete;
    KQRGBImage& operator=(const KQRGBImage&) = delete;

    // File type of a named file: 0, 2 (SGI RGB) or 4 (BMP).
    virtual int32 DetectFileType(const KQString& fileName);
    // Reads a BMP or SGI RGB file; loadedType may be null.
    virtual bool Load(const KQString& fileName, int32 type, int32* loadedType);
    // Writes the image in one of the six formats.
    virtual bool Save(int32 type, const KQString& fileName);

    // Makes the buffer fit width x height (kept when the size is unchanged);
    // zeroes it when clear is set.
    bool Alloc(int32 width, int32 height, bool clear);
    // Alloc, then copies 3 x width x height bytes from data.
    bool SetData(const ubyte* data, int32 width, int32 height);
    void Free();
    int32 ByteSize() const { return bytesPerPixel * size.x * size.y; }
    ubyte* Pixels() const { return pixels; }
    KQIntPair Size() const { return size; }
    int32 BytesPerPixel() const { return bytesPerPixel; }
    int32 GetChangeCount() const { return changeCount; }
    void MarkChanged() { ++changeCount; }
    // Reverses the order of the rows.
    bool FlipVertical();
    // Copies the section, or the rectangle at origin (pixels from the left
    // and from the bottom row) of the given size, converted to R, G, B.
    // origin and size may be null.
    bool Set(const KQDIBSection* source, const KQIntPair* origin, const KQIntPair* size);

#ifdef KQ_UNICODE
    // Resamples the image in place to newWidth x newHeight.
    bool Scale(int32 newWidth, int32 newHeight);
#endif

private:
    // Held for the file layout of the class; nothing reads them.
    [[maybe_unused]] int32 reservedA;
    KQString reservedName;
    [[maybe_unused]] int32 loadMarker;  // 1 once Load knows the file type
    KQIntPair size;
    ubyte* pixels;
    int32 bytesPerPixel;
    int32 changeCount;
    [[maybe_unused]] int32 reservedB;
};

#ifdef KQ_UNICODE
// The thumbnail fit: shrinks width x height into maxWidth x maxHeight,
// keeping the aspect ratio as closely as integer division allows; never
// enlarges.
KQIntPair KQFitImageSize(int32 width, int32 height, int32 maxWidth, int32 maxHeight);
#endif

#endif
