// RGB image: buffer management, flipping, copying out of DIB sections and,
// in the wide build, resampling.
#include "KQOImage.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>

#include "KQOImageDIB.h"

namespace {

const char* const kSourceFile = ".\\KQOImage";

const int32 kErrNoData = 1006;
const int32 kErrParameterRange = 1005;

// Lines of the raising sites; the two builds number them differently.
#ifdef KQ_UNICODE
const int32 kLineAlloc = 189;
const int32 kLineFlip = 684;
const int32 kLineSetNoData = 1074;
const int32 kLineSetOriginX = 1087;
const int32 kLineSetOriginY = 1088;
const int32 kLineSetExtent = 1089;
const int32 kLineScale = 484;
#else
const int32 kLineAlloc = 189;
const int32 kLineFlip = 646;
const int32 kLineSetNoData = 1036;
const int32 kLineSetOriginX = 1049;
const int32 kLineSetOriginY = 1050;
const int32 kLineSetExtent = 1051;
#endif

// Buffers of more than this many bytes are refused: the sizes are int32 everywhere.
const int64 kMaxBytes = INT32_MAX;

// Samples of a picture of width x height; -1 for a negative side or a count
// past kMaxBytes. Checked before multiplying: two int32 sides and the
// samples per pixel can pass even 64 bits.
int64 SampleCount(int32 bytesPerPixel, int32 width, int32 height)
{
    if (bytesPerPixel < 0 || width < 0 || height < 0)
        return -1;
    const int64 row = static_cast<int64>(bytesPerPixel) * width;
    if (height != 0 && row > kMaxBytes / height)
        return -1;
    return row * height;
}

ubyte* NewBuffer(int64 n)
{
    if (n < 1 || n > kMaxBytes)
        return nullptr;
    return static_cast<ubyte*>(::operator new(static_cast<size_t>(n), std::nothrow));
}

}  // namespace

KQRGBImage::KQRGBImage()
    : KQRefCountClass(), KQErrorBase(false), reservedA(-1), reservedName(), loadMarker(99), size(0, 0), pixels(nullptr),
      bytesPerPixel(3), changeCount(0), reservedB(-1)
{
    SetClassName("KQRGBImage");
}

KQRGBImage::~KQRGBImage()
{
    Free();
}

bool KQRGBImage::Alloc(int32 width, int32 height, bool clear)
{
    MarkChanged();
    if (width != size.x || height != size.y) {
        Free();
        if (width != 0 && height != 0) {
            // Negative sides (even two, whose product is positive) and sizes
            // past 32 bits give no buffer rather than one smaller than the size.
            ubyte* buffer = NewBuffer(SampleCount(bytesPerPixel, width, height));
            if (!buffer)
                return SetAllocationError(KQErrorLocation(kSourceFile, "KQRGBImage::Alloc()", kLineAlloc));
            pixels = buffer;
        }
        size = KQIntPair(width, height);
    }
    if (clear && pixels)
        std::memset(pixels, 0, static_cast<size_t>(ByteSize()));
    return true;
}

bool KQRGBImage::SetData(const ubyte* data, int32 width, int32 height)
{
    if (!Alloc(width, height, true))
        return false;
    if (!pixels)
        return true;
    if (!data)
        return false;
    std::memcpy(pixels, data, static_cast<size_t>(ByteSize()));
    return true;
}

void KQRGBImage::Free()
{
    if (pixels)
        ::operator delete(pixels);
    pixels = nullptr;
    size = KQIntPair(0, 0);
    MarkChanged();
}

bool KQRGBImage::FlipVertical()
{
    if (size.IsZero() || !pixels)
        return true;
    // Rows are swapped in place through one row of scratch: a second copy of
    // the whole picture would double the peak memory of every JPEG decode.
    const size_t rowBytes = static_cast<size_t>(size.x) * static_cast<size_t>(bytesPerPixel);
    ubyte* row = NewBuffer(static_cast<int64>(rowBytes));
    if (!row)
        return SetAllocationError(KQErrorLocation(kSourceFile, "KQRGBImage::Scale()", kLineFlip));
    for (int32 top = 0, bottom = size.y - 1; top < bottom; ++top, --bottom) {
        ubyte* a = pixels + static_cast<size_t>(top) * rowBytes;
        ubyte* b = pixels + static_cast<size_t>(bottom) * rowBytes;
        std::memcpy(row, a, rowBytes);
        std::memcpy(a, b, rowBytes);
        std::memcpy(b, row, rowBytes);
    }
    ::operator delete(row);
    MarkChanged();
    return true;
}

bool KQRGBImage::Set(const KQDIBSection* source, const KQIntPair* origin, const KQIntPair* extent)
{
    MarkChanged();
    KQDIBSection converted;
    Free();
    if (!source)
        return false;

    const KQDIBSection* from = source;
    const BITMAPINFOHEADER& given = source->GetHeader();
    if ((given.biCompression != BI_RGB && given.biCompression != BI_BITFIELDS) || given.biBitCount < 16) {
        if (!converted.ConvertFrom(source, 24, nullptr))
            return false;
        from = &converted;
    }
    const BITMAPINFOHEADER& header = from->GetHeader();
    const int32 W = header.biWidth;
    const int32 H = header.biHeight;
    if (W < 1 || H < 1 || !from->GetBits())
        return SetError(KQErrorLocation(kSourceFile, "KQRGBImage::Set()", kLineSetNoData), kErrNoData, KQString());

    int32 x0 = 0, y0 = 0, w = W, h = H;
    if (origin || extent) {
        if (origin) {
            x0 = origin->x;
            y0 = origin->y;
        }
        if (extent) {
            w = extent->x;
            h = extent->y;
        }
        if (x0 < 0 || x0 >= W)
            return SetError(KQErrorLocation(kSourceFile, "KQRGBImage::Set()", kLineSetOriginX), kErrParameterRange,
                            KQString());
        if (y0 < 0 || y0 >= H)
            return SetError(KQErrorLocation(kSourceFile, "KQRGBImage::Set()", kLineSetOriginY), kErrParameterRange,
                            KQString());
        if (w <= 0 || h <= 0)
            return SetError(KQErrorLocation(kSourceFile, "KQRGBImage::Set()", kLineSetExtent), kErrParameterRange,
                            KQString());
        if (static_cast<int64>(x0) + w > W)
            w = W - x0;
        if (static_cast<int64>(y0) + h > H)
            h = H - y0;
    }

    const int32 bitCount = header.biBitCount;
    const int32 b = bitCount / 8;
    const size_t stride = static_cast<size_t>((static_cast<int64>(W) * b + 3) / 4 * 4);
    if (!Alloc(w, h, true))
        return false;

    DWORD redMask = 0xFF0000, greenMask = 0xFF00, blueMask = 0xFF;
    int redShift = 16, greenShift = 8, blueShift = 0;
    if (header.biCompression == BI_BITFIELDS) {
        DWORD masks[3];
        std::memcpy(masks, from->GetColors(), sizeof(masks));
        redMask = masks[0];
        greenMask = masks[1];
        blueMask = masks[2];
        if (bitCount == 32 && (redMask & 0xFF)) {
            redShift = 0;
            greenShift = 8;
            blueShift = 16;
        }
        if (bitCount == 16) {
            greenShift = 5;
            redShift = greenMask == 0x3E0 ? 10 : 11;
            blueShift = 0;
        }
    } else if (bitCount == 16) {
        redMask = 0x7C00;
        greenMask = 0x3E0;
        blueMask = 0x1F;
        redShift = 10;
        greenShift = 5;
        blueShift = 0;
    }
    const bool sixBitGreen = greenMask != 0x3E0;
    const int32 valueBytes = b > 4 ? 4 : b;

    const ubyte* bits = static_cast<const ubyte*>(from->GetBits());
    ubyte* out = pixels;
    for (int32 j = 0; j < h; ++j) {
        const ubyte* row = bits + static_cast<size_t>(y0 + j) * stride;
        for (int32 i = 0; i < w; ++i) {
            const ubyte* p = row + static_cast<size_t>(x0 + i) * static_cast<size_t>(b);
            uint32 value = 0;
            for (int32 k = 0; k < valueBytes; ++k)
                value |= static_cast<uint32>(p[k]) << (8 * k);
            uint32 red = (value & redMask) >> redShift;
            uint32 green = (value & greenMask) >> greenShift;
            uint32 blue = (value & blueMask) >> blueShift;
            if (bitCount == 16) {
                red = red * 8 + red / 4;
                blue = blue * 8 + blue / 4;
                green = sixBitGreen ? green * 4 + green / 16 : green * 8 + green / 4;
            }
            out[0] = static_cast<ubyte>(red);
            out[1] = static_cast<ubyte>(green);
            out[2] = static_cast<ubyte>(blue);
            out += bytesPerPixel;
        }
    }
    return true;
}

#ifdef KQ_UNICODE

bool KQRGBImage::Scale(int32 newWidth, int32 newHeight)
{
    if (size.IsZero() || !pixels)
        return false;
    const int32 width = size.x;
    const int32 height = size.y;
    const int64 targetCount = SampleCount(bytesPerPixel, newWidth, newHeight);
    // Each target sample depends only on the 2 x 2 source neighbourhood it
    // reads, so the samples are taken straight from the bytes (a byte is
    // exactly a float) and the result needs a buffer of the target's size
    // only. Negative sides, or a target no image buffer could hold, count as
    // a failed allocation.
    ubyte* target = nullptr;
    if (targetCount < 0 || (targetCount > 0 && !(target = NewBuffer(targetCount))))
        return SetAllocationError(KQErrorLocation(kSourceFile, "KQRGBImage::Scale()", kLineScale));

    // Steps and positions are rounded to 32-bit floats at every step, so
    // that every build computes the same neighbourhoods and weights.
    const float stepX =
        newWidth > 1 ? static_cast<float>(width - 1) / static_cast<float>(newWidth - 1) : static_cast<float>(width - 1);
    const float stepY = newHeight > 1 ? static_cast<float>(height - 1) / static_cast<float>(newHeight - 1)
                                      : static_cast<float>(height - 1);
    const bool bilinear = stepX < 1.0f && stepY < 1.0f;
    const int32 n = bytesPerPixel;
    const size_t rowBytes = static_cast<size_t>(width) * static_cast<size_t>(n);
    ubyte* t = target;
    for (int32 j = 0; j < newHeight; ++j) {
        const float posY = static_cast<float>(j) * stepY;
        int32 y0 = static_cast<int32>(posY);
        if (y0 > height - 1)
            y0 = height - 1;
        const int32 y1 = y0 + 1 < height ? y0 + 1 : height - 1;
        const float fy = posY - static_cast<float>(y0);
        const ubyte* row0 = pixels + static_cast<size_t>(y0) * rowBytes;
        const ubyte* row1 = pixels + static_cast<size_t>(y1) * rowBytes;
        for (int32 i = 0; i < newWidth; ++i, t += n) {
            const float posX = static_cast<float>(i) * stepX;
            int32 x0 = static_cast<int32>(posX);
            if (x0 > width - 1)
                x0 = width - 1;
            const int32 x1 = x0 + 1 < width ? x0 + 1 : width - 1;
            const float fx = posX - static_cast<float>(x0);
            const ubyte* s00 = row0 + static_cast<size_t>(x0) * n;
            const ubyte* s10 = row0 + static_cast<size_t>(x1) * n;
            const ubyte* s01 = row1 + static_cast<size_t>(x0) * n;
            const ubyte* s11 = row1 + static_cast<size_t>(x1) * n;
            // 1, 2 or 4 distinct pixels: the box mean sums each once.
            const int32 count = (x1 - x0 + 1) * (y1 - y0 + 1);
            for (int32 c = 0; c < n; ++c) {
                float value;
                if (bilinear) {
                    const float top = static_cast<float>(s00[c]) * (1.0f - fx) + static_cast<float>(s10[c]) * fx;
                    const float bottom = static_cast<float>(s01[c]) * (1.0f - fx) + static_cast<float>(s11[c]) * fx;
                    value = top * (1.0f - fy) + bottom * fy;
                } else {
                    float sum = static_cast<float>(s00[c]);
                    if (x1 != x0)
                        sum += static_cast<float>(s10[c]);
                    if (y1 != y0) {
                        sum += static_cast<float>(s01[c]);
                        if (x1 != x0)
                            sum += static_cast<float>(s11[c]);
                    }
                    value = sum / static_cast<float>(count);
                }
                const int32 v = static_cast<int32>(value);  // truncated toward zero
                t[c] = static_cast<ubyte>(v < 0 ? 0 : (v > 255 ? 255 : v));
            }
        }
    }

    Free();
    const bool ok = Alloc(newWidth, newHeight, false);
    if (ok && pixels)
        std::memcpy(pixels, target, static_cast<size_t>(targetCount));
    if (target)
        ::operator delete(target);
    if (!ok)
        return false;
    MarkChanged();
    return true;
}

KQIntPair KQFitImageSize(int32 width, int32 height, int32 maxWidth, int32 maxHeight)
{
    // 64-bit products: a large picture times a large request must not wrap.
    int64 w = width, h = height;
    if (w > maxWidth && w > 0) {
        h = h * maxWidth / w;
        w = maxWidth;
    }
    if (h > maxHeight && h > 0) {
        w = w * maxHeight / h;
        h = maxHeight;
    }
    return KQIntPair(static_cast<int32>(w), static_cast<int32>(h));
}

#endif
