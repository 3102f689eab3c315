// Test pictures made on the spot: packed DIBs in memory (BMP files come from
// the input writer), and the checks of recorded errors and the quiet-report
// fixture the image tests share.
#ifndef KQIMAGETESTUTIL_H
#define KQIMAGETESTUTIL_H

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "KQOError.h"
#include "KQOImageDIB.h"
#include "KQQuietReports.h"
#include "KQTestInputWriter.h"
#include "test_text_support.h"

namespace kqtest {

typedef std::vector<uint8_t> Bytes;

using kqinput::AddColor;
using kqinput::BmpLayout;
using kqinput::BuildBmp;
using kqinput::ReadFile;
using kqinput::Stride;
using kqinput::WriteFile;

// A packed DIB: header and table, and its bits.
struct PackedDib {
    KQDIBInfo info;
    Bytes bits;
    PackedDib(int32_t width, int32_t height, int bitCount, uint32_t compression = BI_RGB)
    {
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
    uint8_t* Row(int32_t memoryRow)
    {
        return bits.data() + static_cast<size_t>(memoryRow) * Stride(info.bmiHeader.biWidth, info.bmiHeader.biBitCount);
    }
    void SetColor(int i, uint8_t r, uint8_t g, uint8_t b)
    {
        info.bmiColors[i].rgbRed = r;
        info.bmiColors[i].rgbGreen = g;
        info.bmiColors[i].rgbBlue = b;
        info.bmiColors[i].rgbReserved = 0;
    }
    void SetMasks(uint32_t r, uint32_t g, uint32_t b)
    {
        uint32_t m[3] = {r, g, b};
        std::memcpy(info.bmiColors, m, sizeof(m));
    }
    bool CreateIn(KQDIBSection& section) const
    {
        return section.CreateFromPacked(reinterpret_cast<const BITMAPINFO*>(&info), bits.data());
    }
};

// Code, function label and line of the error an object recorded.
struct ErrorSite {
    int32 code;
    std::string function;
    int32 line;
};

inline ErrorSite SiteOf(const KQErrorBase& holder)
{
    const KQError* e = holder.GetError();
    if (!e)
        return ErrorSite{0, "", 0};
    return ErrorSite{e->code, N(e->functionName), e->line};
}

}  // namespace kqtest

#endif
