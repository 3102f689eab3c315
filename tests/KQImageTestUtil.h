// Test pictures made on the spot: BMP files written byte by byte, packed
// DIBs in memory, and the checks of recorded errors the image tests share.
#ifndef KQIMAGETESTUTIL_H
#define KQIMAGETESTUTIL_H

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "KQOError.h"
#include "KQOImageDIB.h"
#include "KQThumbExampleWriter.h"

namespace kqtest {

typedef std::vector<uint8_t> Bytes;

inline void Put16(Bytes& b, uint32_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}
inline void Put32(Bytes& b, uint32_t v) {
    Put16(b, v & 0xFFFF);
    Put16(b, v >> 16);
}

inline uint32_t Stride(int32_t width, int bitCount) { return (static_cast<uint32_t>(width) * bitCount + 31) / 32 * 4; }

struct BmpLayout {
    int32_t width = 1;
    int32_t height = 1;
    int bitCount = 24;
    uint32_t compression = 0;
    uint32_t clrUsed = 0;
    uint32_t infoSize = 40;
    uint16_t planes = 1;
    uint16_t type = 0x4D42;
    uint16_t reserved1 = 0;
    Bytes colors;        // colour table as written (4 bytes B, G, R, 0 each)
    Bytes pixels;        // rows as stored, bottom row first, padded
    int64_t sizeDelta = 0;  // bfSize = real size + sizeDelta
    bool zeroOffset = false;  // bfOffBits 0: data follows the table
    int64_t offsetDelta = 0;  // bfOffBits = real offset + offsetDelta
};

inline Bytes BuildBmp(const BmpLayout& s) {
    const uint32_t offset = 14 + 40 + static_cast<uint32_t>(s.colors.size());
    const uint32_t total = offset + static_cast<uint32_t>(s.pixels.size());
    Bytes b;
    Put16(b, s.type);
    Put32(b, static_cast<uint32_t>(total + s.sizeDelta));
    Put16(b, s.reserved1);
    Put16(b, 0);
    Put32(b, s.zeroOffset ? 0 : static_cast<uint32_t>(offset + s.offsetDelta));
    Put32(b, s.infoSize);
    Put32(b, static_cast<uint32_t>(s.width));
    Put32(b, static_cast<uint32_t>(s.height));
    Put16(b, s.planes);
    Put16(b, static_cast<uint32_t>(s.bitCount));
    Put32(b, s.compression);
    Put32(b, 0);
    Put32(b, 2835);
    Put32(b, 2835);
    Put32(b, s.clrUsed);
    Put32(b, 0);
    b.insert(b.end(), s.colors.begin(), s.colors.end());
    b.insert(b.end(), s.pixels.begin(), s.pixels.end());
    return b;
}

inline void AddColor(Bytes& table, uint8_t r, uint8_t g, uint8_t b) {
    table.push_back(b);
    table.push_back(g);
    table.push_back(r);
    table.push_back(0);
}

using kqexample::WriteFile;

// The whole file; empty when it cannot be read.
inline Bytes ReadBytes(const char* name) {
    Bytes out;
    FILE* f = std::fopen(name, "rb");
    if (!f) return out;
    int c;
    while ((c = std::fgetc(f)) != EOF) out.push_back(static_cast<uint8_t>(c));
    std::fclose(f);
    return out;
}

// A packed DIB: header and table, and its bits.
struct PackedDib {
    KQDIBInfo info;
    Bytes bits;
    PackedDib(int32_t width, int32_t height, int bitCount, uint32_t compression = BI_RGB) {
        std::memset(&info, 0, sizeof(info));
        info.bmiHeader.biSize = 40;
        info.bmiHeader.biWidth = width;
        info.bmiHeader.biHeight = height;
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = static_cast<WORD>(bitCount);
        info.bmiHeader.biCompression = compression;
        int32_t rows = height < 0 ? -height : height;
        bits.assign(static_cast<size_t>(Stride(width, bitCount)) * static_cast<size_t>(rows), 0);
    }
    uint8_t* Row(int32_t memoryRow) { return bits.data() + static_cast<size_t>(memoryRow) * Stride(info.bmiHeader.biWidth, info.bmiHeader.biBitCount); }
    void SetColor(int i, uint8_t r, uint8_t g, uint8_t b) {
        info.bmiColors[i].rgbRed = r;
        info.bmiColors[i].rgbGreen = g;
        info.bmiColors[i].rgbBlue = b;
        info.bmiColors[i].rgbReserved = 0;
    }
    void SetMasks(uint32_t r, uint32_t g, uint32_t b) {
        uint32_t m[3] = {r, g, b};
        std::memcpy(info.bmiColors, m, sizeof(m));
    }
    bool CreateIn(KQDIBSection& section) const {
        return section.CreateFromPacked(reinterpret_cast<const BITMAPINFO*>(&info), bits.data());
    }
};

// Code, function label and line of the error an object recorded.
struct ErrorSite {
    int32 code;
    std::string function;
    int32 line;
};

inline std::string Narrow(const KQString& s) {
    std::string out;
    for (const KQChar* p = s.CStr(); *p; ++p) out.push_back(static_cast<char>(*p));
    return out;
}

inline ErrorSite SiteOf(const KQErrorBase& holder) {
    const KQError* e = holder.GetError();
    if (!e) return ErrorSite{0, "", 0};
    return ErrorSite{e->code, Narrow(e->functionName), e->line};
}

}  // namespace kqtest

#endif
