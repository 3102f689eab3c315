// GDI of the stand-in. See KQStandInGdi.h for the model of the screen.
//
// Handles are the addresses of the objects behind them; a table of live
// handles lets every call refuse a stale or foreign handle as GDI does. One
// lock guards the table and the objects, so DCs may be used from several
// threads (each object by one thread at a time, as with GDI).
#include "KQWinStandIn.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_set>
#include <vector>

namespace {

enum class Kind { Bitmap, Palette, DC };

struct GdiObject {
    explicit GdiObject(Kind k) : kind(k) {}
    virtual ~GdiObject() {}
    Kind kind;
    bool stock = false;
    int selectCount = 0;         // DCs the object is selected into
    bool deletePending = false;  // DeleteObject while selected: freed on deselection
};

// The pixel store of a bitmap, or a view of caller-owned DIB bits.
struct Surface {
    int32_t width = 0;
    int32_t height = 0;  // always positive; topDown tells the row order
    bool topDown = false;
    int bitCount = 0;
    uint8_t* bits = nullptr;
    size_t stride = 0;
    DWORD masks[3] = {0, 0, 0};  // red, green, blue (more than 8 bits per pixel)
    int shift[3] = {0, 0, 0};
    int len[3] = {0, 0, 0};
    RGBQUAD table[256];
    int tableSize = 0;
    // A monochrome device-dependent bitmap has no colour table: colour
    // pixels written to it become 1 (white) when they equal the background
    // colour (white) and 0 otherwise; read, 0 is black and 1 white.
    bool monoDdb = false;

    Surface() { std::memset(table, 0, sizeof(table)); }

    uint8_t* Row(int32_t yFromTop) const
    {
        return bits + static_cast<size_t>(topDown ? yFromTop : height - 1 - yFromTop) * stride;
    }
    void SetMasks(DWORD r, DWORD g, DWORD b);
    DWORD GetRaw(int32_t x, int32_t y) const;
    void PutRaw(int32_t x, int32_t y, DWORD v);
    void RawToRGB(DWORD v, uint8_t& r, uint8_t& g, uint8_t& b) const;
    DWORD RGBToRaw(uint8_t r, uint8_t g, uint8_t b, bool blit) const;
    DWORD AllOnes() const { return bitCount >= 32 ? 0xFFFFFFFFu : ((1u << bitCount) - 1u); }
};

struct Bitmap : GdiObject {
    Bitmap() : GdiObject(Kind::Bitmap) {}
    ~Bitmap() override { std::free(surface.bits); }
    Surface surface;
    bool isDib = false;
    BITMAPINFOHEADER header{};  // DIB sections: the header as created (height keeps its sign)
    struct DC* selectedInto = nullptr;
};

struct Palette : GdiObject {
    Palette() : GdiObject(Kind::Palette) {}
    std::vector<PALETTEENTRY> entries;
};

struct DC : GdiObject {
    DC() : GdiObject(Kind::DC) {}
    bool screen = false;
    Bitmap* bitmap = nullptr;
    Palette* palette = nullptr;
    int stretchMode = BLACKONWHITE;
    POINT brushOrigin{0, 0};
};

std::mutex g_lock;

std::unordered_set<const void*>& Live()
{
    static std::unordered_set<const void*> live;
    return live;
}

template <class T>
T* Find(const void* handle, Kind kind)
{
    if (!handle || !Live().count(handle))
        return nullptr;
    GdiObject* object = static_cast<GdiObject*>(const_cast<void*>(handle));
    if (object->kind != kind || object->deletePending)
        return nullptr;
    return static_cast<T*>(object);
}

GdiObject* FindAny(const void* handle)
{
    if (!handle || !Live().count(handle))
        return nullptr;
    return static_cast<GdiObject*>(const_cast<void*>(handle));
}

template <class T>
T* Register(T* object)
{
    Live().insert(static_cast<GdiObject*>(object));
    return object;
}

void Destroy(GdiObject* object)
{
    Live().erase(object);
    delete object;
}

const PALETTEENTRY kSystemColours[20] = {
    {0x00, 0x00, 0x00, 0}, {0x80, 0x00, 0x00, 0}, {0x00, 0x80, 0x00, 0}, {0x80, 0x80, 0x00, 0}, {0x00, 0x00, 0x80, 0},
    {0x80, 0x00, 0x80, 0}, {0x00, 0x80, 0x80, 0}, {0xC0, 0xC0, 0xC0, 0}, {0xC0, 0xDC, 0xC0, 0}, {0xA6, 0xCA, 0xF0, 0},
    {0xFF, 0xFB, 0xF0, 0}, {0xA0, 0xA0, 0xA4, 0}, {0x80, 0x80, 0x80, 0}, {0xFF, 0x00, 0x00, 0}, {0x00, 0xFF, 0x00, 0},
    {0xFF, 0xFF, 0x00, 0}, {0x00, 0x00, 0xFF, 0}, {0xFF, 0x00, 0xFF, 0}, {0x00, 0xFF, 0xFF, 0}, {0xFF, 0xFF, 0xFF, 0},
};

// The 256 colours of the halftone palette and of 8-bit device bitmaps: the
// 20 system colours at both ends around a cube of 8 red, 8 green and 4 blue
// levels (red varies fastest).
void HalftoneEntry(int i, uint8_t& r, uint8_t& g, uint8_t& b)
{
    if (i < 10 || i >= 246) {
        const PALETTEENTRY& e = kSystemColours[i < 10 ? i : i - 236];
        r = e.peRed;
        g = e.peGreen;
        b = e.peBlue;
        return;
    }
    r = static_cast<uint8_t>((i & 7) * 0x20);
    g = static_cast<uint8_t>(((i >> 3) & 7) * 0x20);
    b = static_cast<uint8_t>(((i >> 6) & 3) * 0x40);
}

// The 16 colours of 4-bit device bitmaps.
const uint8_t kVgaColours[16][3] = {
    {0x00, 0x00, 0x00}, {0x80, 0x00, 0x00}, {0x00, 0x80, 0x00}, {0x80, 0x80, 0x00},
    {0x00, 0x00, 0x80}, {0x80, 0x00, 0x80}, {0x00, 0x80, 0x80}, {0x80, 0x80, 0x80},
    {0xC0, 0xC0, 0xC0}, {0xFF, 0x00, 0x00}, {0x00, 0xFF, 0x00}, {0xFF, 0xFF, 0x00},
    {0x00, 0x00, 0xFF}, {0xFF, 0x00, 0xFF}, {0x00, 0xFF, 0xFF}, {0xFF, 0xFF, 0xFF},
};

Palette* StockPalette()
{
    static Palette* palette = [] {
        Palette* p = Register(new Palette);
        p->stock = true;
        p->entries.assign(kSystemColours, kSystemColours + 20);
        return p;
    }();
    return palette;
}

Bitmap* StockBitmap()
{
    static Bitmap* bitmap = [] {
        Bitmap* b = Register(new Bitmap);
        b->stock = true;
        Surface& s = b->surface;
        s.width = s.height = 1;
        s.topDown = true;
        s.bitCount = 1;
        s.stride = 4;
        s.bits = static_cast<uint8_t*>(std::calloc(1, 4));
        s.monoDdb = true;
        return b;
    }();
    return bitmap;
}

const int kScreenBits = 32;

int CountTrailingZeros(DWORD v)
{
    int n = 0;
    while (v && !(v & 1u)) {
        v >>= 1;
        ++n;
    }
    return n;
}

int CountBits(DWORD v)
{
    int n = 0;
    for (; v; v &= v - 1)
        ++n;
    return n;
}

const DWORD kFieldMasks[9] = {0x00, 0x80, 0xC0, 0xE0, 0xF0, 0xF8, 0xFC, 0xFE, 0xFF};

void Surface::SetMasks(DWORD r, DWORD g, DWORD b)
{
    const DWORD m[3] = {r, g, b};
    for (int i = 0; i < 3; ++i) {
        masks[i] = m[i];
        shift[i] = CountTrailingZeros(m[i]);
        len[i] = CountBits(m[i]);
        if (len[i] > 8) {  // only the top 8 bits of a wide field carry colour
            shift[i] += len[i] - 8;
            len[i] = 8;
        }
    }
}

// A field widened to 8 bits by repeating its top bits (5 bits v: v*8 + v/4).
DWORD GetField(DWORD pixel, int shift, int len)
{
    int s = shift - (8 - len);
    DWORD field = s < 0 ? pixel << -s : pixel >> s;
    field &= kFieldMasks[len];
    field |= field >> len;
    return field;
}

// An 8-bit value narrowed to a field by truncation.
DWORD PutField(DWORD value, int shift, int len)
{
    int s = shift - (8 - len);
    value &= kFieldMasks[len];
    return s < 0 ? value >> -s : value << s;
}

DWORD Surface::GetRaw(int32_t x, int32_t y) const
{
    const uint8_t* row = Row(y);
    switch (bitCount) {
    case 1:
        return (row[x >> 3] >> (7 - (x & 7))) & 1u;
    case 4:
        return (row[x >> 1] >> ((x & 1) ? 0 : 4)) & 0xFu;
    case 8:
        return row[x];
    case 16:
        return row[2 * x] | (static_cast<DWORD>(row[2 * x + 1]) << 8);
    case 24:
        return row[3 * x] | (static_cast<DWORD>(row[3 * x + 1]) << 8) | (static_cast<DWORD>(row[3 * x + 2]) << 16);
    default:
        return row[4 * x] | (static_cast<DWORD>(row[4 * x + 1]) << 8) | (static_cast<DWORD>(row[4 * x + 2]) << 16) |
               (static_cast<DWORD>(row[4 * x + 3]) << 24);
    }
}

void Surface::PutRaw(int32_t x, int32_t y, DWORD v)
{
    uint8_t* row = Row(y);
    switch (bitCount) {
    case 1: {
        uint8_t bit = static_cast<uint8_t>(0x80u >> (x & 7));
        row[x >> 3] = static_cast<uint8_t>((v & 1u) ? (row[x >> 3] | bit) : (row[x >> 3] & ~bit));
        break;
    }
    case 4:
        if (x & 1)
            row[x >> 1] = static_cast<uint8_t>((row[x >> 1] & 0xF0u) | (v & 0xFu));
        else
            row[x >> 1] = static_cast<uint8_t>((row[x >> 1] & 0x0Fu) | ((v & 0xFu) << 4));
        break;
    case 8:
        row[x] = static_cast<uint8_t>(v);
        break;
    case 16:
        row[2 * x] = static_cast<uint8_t>(v);
        row[2 * x + 1] = static_cast<uint8_t>(v >> 8);
        break;
    case 24:
        row[3 * x] = static_cast<uint8_t>(v);
        row[3 * x + 1] = static_cast<uint8_t>(v >> 8);
        row[3 * x + 2] = static_cast<uint8_t>(v >> 16);
        break;
    default:
        row[4 * x] = static_cast<uint8_t>(v);
        row[4 * x + 1] = static_cast<uint8_t>(v >> 8);
        row[4 * x + 2] = static_cast<uint8_t>(v >> 16);
        row[4 * x + 3] = static_cast<uint8_t>(v >> 24);
        break;
    }
}

void Surface::RawToRGB(DWORD v, uint8_t& r, uint8_t& g, uint8_t& b) const
{
    if (bitCount <= 8) {
        if (monoDdb) {
            r = g = b = v ? 0xFF : 0x00;
            return;
        }
        const RGBQUAD& q = table[v & 0xFFu];  // entries past the table are zero: black
        r = q.rgbRed;
        g = q.rgbGreen;
        b = q.rgbBlue;
        return;
    }
    r = static_cast<uint8_t>(GetField(v & masks[0], shift[0], len[0]));
    g = static_cast<uint8_t>(GetField(v & masks[1], shift[1], len[1]));
    b = static_cast<uint8_t>(GetField(v & masks[2], shift[2], len[2]));
}

DWORD Surface::RGBToRaw(uint8_t r, uint8_t g, uint8_t b, bool blit) const
{
    if (bitCount <= 8) {
        if (monoDdb)
            return (r == 0xFF && g == 0xFF && b == 0xFF) ? 1u : 0u;
        if (blit) {
            // Blits match the centre of the colour's 5-bit cell, not the
            // colour itself: black looks for (4, 4, 4), white for (252, 252, 252).
            r = static_cast<uint8_t>((r & ~7) + 4);
            g = static_cast<uint8_t>((g & ~7) + 4);
            b = static_cast<uint8_t>((b & ~7) + 4);
        }
        int best = 0;
        DWORD bestDiff = 0xFFFFFFFFu;
        for (int i = 0; i < tableSize; ++i) {
            int dr = r - table[i].rgbRed, dg = g - table[i].rgbGreen, db = b - table[i].rgbBlue;
            DWORD diff = static_cast<DWORD>(dr * dr + dg * dg + db * db);
            if (diff == 0)
                return static_cast<DWORD>(i);
            if (diff < bestDiff) {
                bestDiff = diff;
                best = i;
            }
        }
        return static_cast<DWORD>(best);
    }
    return (PutField(r, shift[0], len[0]) & masks[0]) | (PutField(g, shift[1], len[1]) & masks[1]) |
           (PutField(b, shift[2], len[2]) & masks[2]);
}

// Two surfaces whose pixel values mean the same colours: pixels are copied
// as they are (unused bits included), as GDI does for equal formats.
bool SameFormat(const Surface& a, const Surface& b)
{
    if (a.bitCount != b.bitCount || a.monoDdb != b.monoDdb)
        return false;
    if (a.bitCount <= 8) {
        if (a.monoDdb)
            return true;
        if (a.tableSize != b.tableSize)
            return false;
        for (int i = 0; i < a.tableSize; ++i)
            if (a.table[i].rgbRed != b.table[i].rgbRed || a.table[i].rgbGreen != b.table[i].rgbGreen ||
                a.table[i].rgbBlue != b.table[i].rgbBlue)
                return false;
        return true;
    }
    return a.masks[0] == b.masks[0] && a.masks[1] == b.masks[1] && a.masks[2] == b.masks[2];
}

size_t DibStride(int64_t width, int bitCount)
{
    return static_cast<size_t>((width * bitCount + 31) / 32 * 4);
}

// Largest pixel store the stand-in hands out; GDI refuses sizes it cannot map.
const uint64_t kMaxSurfaceBytes = 0x40000000u;

// Describes the pixels of a packed DIB (header, colour table) in `s`, bits
// not attached. Accepts what CreateDIBSection accepts: a header of at least
// 40 bytes, a positive width, a non-zero height, 1/4/8/24 bits with BI_RGB,
// 16/32 bits with BI_RGB or BI_BITFIELDS.
bool DescribeDib(const BITMAPINFO* info, UINT usage, const Palette* dcPalette, Surface& s)
{
    if (!info)
        return false;
    const BITMAPINFOHEADER& h = info->bmiHeader;
    if (h.biSize < sizeof(BITMAPINFOHEADER))
        return false;
    if (h.biWidth <= 0 || h.biHeight == 0)
        return false;
    if (usage != DIB_RGB_COLORS && usage != DIB_PAL_COLORS)
        return false;
    const int bpp = h.biBitCount;
    switch (bpp) {
    case 1:
    case 4:
    case 8:
    case 24:
        if (h.biCompression != BI_RGB)
            return false;
        break;
    case 16:
    case 32:
        if (h.biCompression != BI_RGB && h.biCompression != BI_BITFIELDS)
            return false;
        break;
    default:
        return false;
    }
    const int64_t height = h.biHeight < 0 ? -static_cast<int64_t>(h.biHeight) : h.biHeight;
    const size_t stride = DibStride(h.biWidth, bpp);
    if (static_cast<uint64_t>(stride) * static_cast<uint64_t>(height) > kMaxSurfaceBytes)
        return false;
    s.width = h.biWidth;
    s.height = static_cast<int32_t>(height);
    s.topDown = h.biHeight < 0;
    s.bitCount = bpp;
    s.stride = stride;
    const uint8_t* afterHeader = reinterpret_cast<const uint8_t*>(info) + h.biSize;
    if (bpp <= 8) {
        const int full = 1 << bpp;
        int given = h.biClrUsed ? static_cast<int>(std::min<DWORD>(h.biClrUsed, static_cast<DWORD>(full))) : full;
        s.tableSize = full;
        for (int i = 0; i < given; ++i) {
            if (usage == DIB_PAL_COLORS) {
                WORD index;
                std::memcpy(&index, afterHeader + 2 * i, 2);
                if (dcPalette && index < dcPalette->entries.size()) {
                    const PALETTEENTRY& e = dcPalette->entries[index];
                    s.table[i].rgbRed = e.peRed;
                    s.table[i].rgbGreen = e.peGreen;
                    s.table[i].rgbBlue = e.peBlue;
                }
            } else {
                std::memcpy(&s.table[i], afterHeader + 4 * i, 4);
            }
        }
    } else if (h.biCompression == BI_BITFIELDS) {
        // The masks follow a 40-byte header; larger headers carry them inside.
        DWORD m[3];
        std::memcpy(m, reinterpret_cast<const uint8_t*>(info) + sizeof(BITMAPINFOHEADER), sizeof(m));
        s.SetMasks(m[0], m[1], m[2]);
    } else if (bpp == 16) {
        s.SetMasks(0x7C00, 0x03E0, 0x001F);
    } else {
        s.SetMasks(0xFF0000, 0x00FF00, 0x0000FF);
    }
    return true;
}

void Deselect(GdiObject* object)
{
    if (!object || object->stock)
        return;
    if (--object->selectCount <= 0) {
        object->selectCount = 0;
        if (object->kind == Kind::Bitmap)
            static_cast<Bitmap*>(object)->selectedInto = nullptr;
        if (object->deletePending)
            Destroy(object);
    }
}

Bitmap* SelectedBitmap(HDC dc)
{
    DC* d = Find<DC>(dc, Kind::DC);
    return (d && d->bitmap) ? d->bitmap : nullptr;
}

struct Span {
    int64_t first;   // first destination coordinate
    int64_t offset;  // source coordinate minus destination coordinate
    int64_t count;
};

// Clips a copy of `count` pixels from source position `src` to destination
// position `dst` against both extents.
Span Clip(int64_t dst, int64_t src, int64_t count, int64_t dstExtent, int64_t srcExtent)
{
    Span s{dst, src - dst, 0};
    int64_t lo = std::max<int64_t>({dst, 0, -s.offset});
    int64_t hi = std::min<int64_t>({dst + count, dstExtent, srcExtent - s.offset});
    s.first = lo;
    s.count = hi > lo ? hi - lo : 0;
    return s;
}

void NormaliseExtent(int64_t& pos, int64_t& extent)
{
    if (extent < 0) {
        pos += extent;
        extent = -extent;
    }
}

bool Fill(Bitmap* target, int64_t x, int64_t y, int64_t w, int64_t h, DWORD rop)
{
    Surface& s = target->surface;
    NormaliseExtent(x, w);
    NormaliseExtent(y, h);
    int64_t x0 = std::max<int64_t>(x, 0), x1 = std::min<int64_t>(x + w, s.width);
    int64_t y0 = std::max<int64_t>(y, 0), y1 = std::min<int64_t>(y + h, s.height);
    DWORD value = 0;
    switch (rop) {
    case BLACKNESS:
        value = 0;
        break;
    case WHITENESS:
        value = s.AllOnes();
        break;
    case PATCOPY:
        value = s.RGBToRaw(0xFF, 0xFF, 0xFF, false);
        break;  // the default brush is white
    case DSTINVERT:
        break;
    default:
        return false;
    }
    for (int64_t yy = y0; yy < y1; ++yy)
        for (int64_t xx = x0; xx < x1; ++xx) {
            int32_t px = static_cast<int32_t>(xx), py = static_cast<int32_t>(yy);
            s.PutRaw(px, py, rop == DSTINVERT ? (~s.GetRaw(px, py) & s.AllOnes()) : value);
        }
    return true;
}

bool IsPatternRop(DWORD rop)
{
    return rop == BLACKNESS || rop == WHITENESS || rop == PATCOPY || rop == DSTINVERT;
}

void FillBitmapInfo(const Bitmap* b, BITMAP& out)
{
    const Surface& s = b->surface;
    out.bmType = 0;
    out.bmWidth = s.width;
    out.bmHeight = s.height;
    out.bmWidthBytes = b->isDib ? static_cast<LONG>(s.stride)
                                : static_cast<LONG>((static_cast<int64_t>(s.width) * s.bitCount + 15) / 16 * 2);
    out.bmPlanes = 1;
    out.bmBitsPixel = static_cast<WORD>(s.bitCount);
    out.bmBits = b->isDib ? s.bits : nullptr;
}

int GetObjectImpl(HGDIOBJ object, int size, LPVOID buffer)
{
    std::lock_guard<std::mutex> guard(g_lock);
    GdiObject* o = FindAny(object);
    if (!o || o->deletePending)
        return 0;
    if (o->kind == Kind::Palette) {
        if (!buffer)
            return sizeof(WORD);
        if (size < static_cast<int>(sizeof(WORD)))
            return 0;
        WORD n = static_cast<WORD>(static_cast<Palette*>(o)->entries.size());
        std::memcpy(buffer, &n, sizeof(n));
        return sizeof(WORD);
    }
    if (o->kind != Kind::Bitmap)
        return 0;
    const Bitmap* b = static_cast<Bitmap*>(o);
    if (!buffer)
        return sizeof(BITMAP);
    if (b->isDib && size >= static_cast<int>(sizeof(DIBSECTION))) {
        DIBSECTION ds{};
        FillBitmapInfo(b, ds.dsBm);
        ds.dsBmih = b->header;
        if (b->header.biCompression == BI_BITFIELDS)
            for (int i = 0; i < 3; ++i)
                ds.dsBitfields[i] = b->surface.masks[i];
        std::memcpy(buffer, &ds, sizeof(ds));
        return sizeof(DIBSECTION);
    }
    if (size < static_cast<int>(sizeof(BITMAP)))
        return 0;
    BITMAP bm{};
    FillBitmapInfo(b, bm);
    std::memcpy(buffer, &bm, sizeof(bm));
    return sizeof(BITMAP);
}

// Source offset, from the start of the source span, of step j of n
// destination pixels that cover `count` source pixels, optionally mirrored.
int64_t StretchSource(int64_t j, int64_t n, int64_t count, bool mirror)
{
    return (mirror ? n - 1 - j : j) * count / n;
}

}  // namespace

HDC WINAPI GetDC(HWND window)
{
    if (window)
        return nullptr;  // no windows exist on this host
    std::lock_guard<std::mutex> guard(g_lock);
    DC* d = Register(new DC);
    d->screen = true;
    d->palette = StockPalette();
    return reinterpret_cast<HDC>(static_cast<GdiObject*>(d));
}

int WINAPI ReleaseDC(HWND, HDC dc)
{
    std::lock_guard<std::mutex> guard(g_lock);
    DC* d = Find<DC>(dc, Kind::DC);
    if (!d || !d->screen)
        return 0;
    Deselect(d->palette);
    Destroy(d);
    return 1;
}

HDC WINAPI CreateCompatibleDC(HDC dc)
{
    std::lock_guard<std::mutex> guard(g_lock);
    if (dc && !Find<DC>(dc, Kind::DC))
        return nullptr;
    DC* d = Register(new DC);
    d->bitmap = StockBitmap();
    d->palette = StockPalette();
    return reinterpret_cast<HDC>(static_cast<GdiObject*>(d));
}

BOOL WINAPI DeleteDC(HDC dc)
{
    std::lock_guard<std::mutex> guard(g_lock);
    DC* d = Find<DC>(dc, Kind::DC);
    if (!d || d->screen)
        return FALSE;  // screen DCs go back through ReleaseDC
    Deselect(d->bitmap);
    Deselect(d->palette);
    Destroy(d);
    return TRUE;
}

int WINAPI GetDeviceCaps(HDC dc, int index)
{
    std::lock_guard<std::mutex> guard(g_lock);
    if (!Find<DC>(dc, Kind::DC))
        return 0;
    switch (index) {
    case DRIVERVERSION:
        return 0x4000;
    case TECHNOLOGY:
        return DT_RASDISPLAY;
    case HORZSIZE:
        return 271;
    case VERTSIZE:
        return 203;
    case HORZRES:
        return 1024;
    case VERTRES:
        return 768;
    case BITSPIXEL:
        return kScreenBits;
    case PLANES:
        return 1;
    case NUMCOLORS:
        return -1;
    case RASTERCAPS:
        return RC_BITBLT | RC_BANDING | RC_SCALING | RC_BITMAP64 | RC_GDI20_OUTPUT | RC_DI_BITMAP | RC_DIBTODEV |
               RC_BIGFONT | RC_STRETCHBLT | RC_FLOODFILL | RC_STRETCHDIB | RC_DEVBITS;
    case LOGPIXELSX:
    case LOGPIXELSY:
        return 96;
    case SIZEPALETTE:
        return 0;
    case NUMRESERVED:
        return 20;
    case COLORRES:
        return 24;
    default:
        return 0;
    }
}

HGDIOBJ WINAPI SelectObject(HDC dc, HGDIOBJ object)
{
    std::lock_guard<std::mutex> guard(g_lock);
    DC* d = Find<DC>(dc, Kind::DC);
    Bitmap* b = Find<Bitmap>(object, Kind::Bitmap);
    // Palettes go through SelectPalette; only bitmaps are modelled here.
    if (!d || !b || d->screen)
        return nullptr;
    if (d->bitmap == b)
        return object;
    if (!b->stock && b->selectedInto)
        return nullptr;  // a bitmap lives in one DC at a time
    // A device-dependent bitmap fits only a DC of its own depth (monochrome fits any).
    if (!b->isDib && b->surface.bitCount != 1 && b->surface.bitCount != kScreenBits)
        return nullptr;
    Bitmap* previous = d->bitmap;
    d->bitmap = b;
    if (!b->stock) {
        b->selectedInto = d;
        ++b->selectCount;
    }
    HGDIOBJ result = static_cast<GdiObject*>(previous);
    Deselect(previous);
    return result;
}

BOOL WINAPI DeleteObject(HGDIOBJ object)
{
    std::lock_guard<std::mutex> guard(g_lock);
    GdiObject* o = FindAny(object);
    if (!o || o->kind == Kind::DC || o->deletePending)
        return FALSE;
    if (o->stock)
        return TRUE;
    if (o->selectCount > 0) {
        o->deletePending = true;  // freed once no DC holds it any more
        return TRUE;
    }
    Destroy(o);
    return TRUE;
}

HGDIOBJ WINAPI GetStockObject(int index)
{
    std::lock_guard<std::mutex> guard(g_lock);
    if (index == DEFAULT_PALETTE)
        return static_cast<GdiObject*>(StockPalette());
    return nullptr;
}

int WINAPI GetObjectA(HGDIOBJ object, int size, LPVOID buffer)
{
    return GetObjectImpl(object, size, buffer);
}
int WINAPI GetObjectW(HGDIOBJ object, int size, LPVOID buffer)
{
    return GetObjectImpl(object, size, buffer);
}

BOOL WINAPI GdiFlush(void)
{
    return TRUE;
}

HBITMAP WINAPI CreateBitmap(int width, int height, UINT planes, UINT bitCount, const void* bits)
{
    std::lock_guard<std::mutex> guard(g_lock);
    if (width < 0)
        width = -width;
    if (height < 0)
        height = -height;
    if (width == 0 || height == 0)
        return reinterpret_cast<HBITMAP>(static_cast<GdiObject*>(StockBitmap()));
    if (planes != 1)
        return nullptr;
    int bpp;
    if (bitCount <= 1)
        bpp = 1;
    else if (bitCount <= 4)
        bpp = 4;
    else if (bitCount <= 8)
        bpp = 8;
    else if (bitCount <= 16)
        bpp = 16;
    else if (bitCount <= 24)
        bpp = 24;
    else if (bitCount <= 32)
        bpp = 32;
    else
        return nullptr;
    const size_t stride = DibStride(width, bpp);
    if (static_cast<uint64_t>(stride) * static_cast<uint64_t>(height) > kMaxSurfaceBytes)
        return nullptr;
    uint8_t* store = static_cast<uint8_t*>(std::calloc(static_cast<size_t>(height), stride));
    if (!store)
        return nullptr;
    Bitmap* b = new Bitmap;
    Surface& s = b->surface;
    s.width = width;
    s.height = height;
    s.topDown = true;
    s.bitCount = bpp;
    s.bits = store;
    s.stride = stride;
    s.monoDdb = bpp == 1;
    if (bpp == 4) {
        s.tableSize = 16;
        for (int i = 0; i < 16; ++i) {
            s.table[i].rgbRed = kVgaColours[i][0];
            s.table[i].rgbGreen = kVgaColours[i][1];
            s.table[i].rgbBlue = kVgaColours[i][2];
        }
    } else if (bpp == 8) {
        s.tableSize = 256;
        for (int i = 0; i < 256; ++i)
            HalftoneEntry(i, s.table[i].rgbRed, s.table[i].rgbGreen, s.table[i].rgbBlue);
    } else if (bpp == 16) {
        s.SetMasks(0x7C00, 0x03E0, 0x001F);
    } else if (bpp > 16) {
        s.SetMasks(0xFF0000, 0x00FF00, 0x0000FF);
    }
    if (bits) {
        // Device-dependent rows are top row first and padded to 16 bits.
        const size_t rowBytes = static_cast<size_t>((static_cast<int64_t>(width) * bpp + 15) / 16 * 2);
        for (int y = 0; y < height; ++y)
            std::memcpy(store + static_cast<size_t>(y) * stride, static_cast<const uint8_t*>(bits) + y * rowBytes,
                        rowBytes);
    }
    Register(b);
    return reinterpret_cast<HBITMAP>(static_cast<GdiObject*>(b));
}

HBITMAP WINAPI CreateDIBSection(HDC dc, const BITMAPINFO* info, UINT usage, void** bits, HANDLE section, DWORD offset)
{
    (void)offset;
    std::lock_guard<std::mutex> guard(g_lock);
    if (bits)
        *bits = nullptr;
    if (section)
        return nullptr;  // file-mapping sections are not modelled
    const Palette* dcPalette = nullptr;
    if (usage == DIB_PAL_COLORS) {
        DC* d = Find<DC>(dc, Kind::DC);
        if (!d)
            return nullptr;
        dcPalette = d->palette;
    }
    Bitmap* b = new Bitmap;
    if (!DescribeDib(info, usage, dcPalette, b->surface)) {
        delete b;
        return nullptr;
    }
    Surface& s = b->surface;
    s.bits = static_cast<uint8_t*>(std::calloc(static_cast<size_t>(s.height), s.stride));
    if (!s.bits) {
        delete b;
        return nullptr;
    }
    b->isDib = true;
    b->header = info->bmiHeader;
    b->header.biSize = sizeof(BITMAPINFOHEADER);
    b->header.biSizeImage = static_cast<DWORD>(s.stride * static_cast<size_t>(s.height));
    b->header.biClrUsed = s.bitCount <= 8 ? static_cast<DWORD>(s.tableSize) : 0;
    Register(b);
    if (bits)
        *bits = s.bits;
    return reinterpret_cast<HBITMAP>(static_cast<GdiObject*>(b));
}

UINT WINAPI SetDIBColorTable(HDC dc, UINT start, UINT count, const RGBQUAD* colors)
{
    std::lock_guard<std::mutex> guard(g_lock);
    Bitmap* b = SelectedBitmap(dc);
    if (!b || !b->isDib || !colors || b->surface.bitCount > 8)
        return 0;
    Surface& s = b->surface;
    if (start >= static_cast<UINT>(s.tableSize))
        return 0;
    UINT n = std::min<UINT>(count, static_cast<UINT>(s.tableSize) - start);
    for (UINT i = 0; i < n; ++i) {
        s.table[start + i] = colors[i];
        s.table[start + i].rgbReserved = 0;
    }
    return n;
}

UINT WINAPI GetDIBColorTable(HDC dc, UINT start, UINT count, RGBQUAD* colors)
{
    std::lock_guard<std::mutex> guard(g_lock);
    Bitmap* b = SelectedBitmap(dc);
    if (!b || !b->isDib || !colors || b->surface.bitCount > 8)
        return 0;
    const Surface& s = b->surface;
    if (start >= static_cast<UINT>(s.tableSize))
        return 0;
    UINT n = std::min<UINT>(count, static_cast<UINT>(s.tableSize) - start);
    std::memcpy(colors, s.table + start, n * sizeof(RGBQUAD));
    return n;
}

BOOL WINAPI BitBlt(HDC dest, int x, int y, int width, int height, HDC source, int sourceX, int sourceY, DWORD rop)
{
    std::lock_guard<std::mutex> guard(g_lock);
    Bitmap* target = SelectedBitmap(dest);
    if (!target)
        return FALSE;
    if (IsPatternRop(rop))
        return Fill(target, x, y, width, height, rop) ? TRUE : FALSE;
    if (rop != SRCCOPY)
        return FALSE;
    Bitmap* origin = SelectedBitmap(source);
    if (!origin)
        return FALSE;
    int64_t dx = x, dy = y, w = width, h = height, sx = sourceX, sy = sourceY;
    if (w < 0) {
        dx += w;
        sx += w;
        w = -w;
    }
    if (h < 0) {
        dy += h;
        sy += h;
        h = -h;
    }
    Surface& to = target->surface;
    const Surface& from = origin->surface;
    Span cols = Clip(dx, sx, w, to.width, from.width);
    Span rows = Clip(dy, sy, h, to.height, from.height);
    if (!cols.count || !rows.count)
        return TRUE;
    // Read everything first, so that a copy within one bitmap sees the old pixels.
    const bool raw = SameFormat(from, to);
    std::vector<DWORD> values(static_cast<size_t>(cols.count * rows.count));
    size_t k = 0;
    for (int64_t r = 0; r < rows.count; ++r)
        for (int64_t c = 0; c < cols.count; ++c) {
            DWORD v = from.GetRaw(static_cast<int32_t>(cols.first + c + cols.offset),
                                  static_cast<int32_t>(rows.first + r + rows.offset));
            if (!raw) {
                uint8_t cr, cg, cb;
                from.RawToRGB(v, cr, cg, cb);
                v = to.RGBToRaw(cr, cg, cb, true);
            }
            values[k++] = v;
        }
    k = 0;
    for (int64_t r = 0; r < rows.count; ++r)
        for (int64_t c = 0; c < cols.count; ++c)
            to.PutRaw(static_cast<int32_t>(cols.first + c), static_cast<int32_t>(rows.first + r), values[k++]);
    return TRUE;
}

BOOL WINAPI PatBlt(HDC dc, int x, int y, int width, int height, DWORD rop)
{
    std::lock_guard<std::mutex> guard(g_lock);
    Bitmap* target = SelectedBitmap(dc);
    if (!target || !IsPatternRop(rop))
        return FALSE;
    return Fill(target, x, y, width, height, rop) ? TRUE : FALSE;
}

int WINAPI SetStretchBltMode(HDC dc, int mode)
{
    std::lock_guard<std::mutex> guard(g_lock);
    DC* d = Find<DC>(dc, Kind::DC);
    if (!d || mode < BLACKONWHITE || mode > HALFTONE)
        return 0;
    int previous = d->stretchMode;
    d->stretchMode = mode;
    return previous;
}

int WINAPI GetStretchBltMode(HDC dc)
{
    std::lock_guard<std::mutex> guard(g_lock);
    DC* d = Find<DC>(dc, Kind::DC);
    return d ? d->stretchMode : 0;
}

BOOL WINAPI SetBrushOrgEx(HDC dc, int x, int y, LPPOINT previous)
{
    std::lock_guard<std::mutex> guard(g_lock);
    DC* d = Find<DC>(dc, Kind::DC);
    if (!d)
        return FALSE;
    if (previous)
        *previous = d->brushOrigin;
    d->brushOrigin.x = x;
    d->brushOrigin.y = y;
    return TRUE;
}

// Stretching picks the nearest source pixel in every mode; at equal source
// and destination sizes (the only use in this system) every mode gives the
// same result as GDI.
int WINAPI StretchDIBits(HDC dc, int destX, int destY, int destWidth, int destHeight, int sourceX, int sourceY,
                         int sourceWidth, int sourceHeight, const void* bits, const BITMAPINFO* info, UINT usage,
                         DWORD rop)
{
    std::lock_guard<std::mutex> guard(g_lock);
    DC* d = Find<DC>(dc, Kind::DC);
    Bitmap* target = d ? d->bitmap : nullptr;
    if (!target)
        return 0;
    if (IsPatternRop(rop))
        return Fill(target, destX, destY, destWidth, destHeight, rop) ? std::abs(sourceHeight) : 0;
    if (rop != SRCCOPY || !bits || destWidth == 0 || destHeight == 0 || sourceWidth == 0 || sourceHeight == 0)
        return 0;
    Surface from;
    if (!DescribeDib(info, usage, d->palette, from))
        return 0;
    from.bits = static_cast<uint8_t*>(const_cast<void*>(bits));
    Surface& to = target->surface;
    const int64_t dw = std::abs(static_cast<int64_t>(destWidth)), dh = std::abs(static_cast<int64_t>(destHeight));
    const int64_t sw = std::abs(static_cast<int64_t>(sourceWidth)), sh = std::abs(static_cast<int64_t>(sourceHeight));
    const bool mirrorX = (destWidth < 0) != (sourceWidth < 0);
    const bool mirrorY = (destHeight < 0) != (sourceHeight < 0);
    const int64_t dx0 = destWidth < 0 ? static_cast<int64_t>(destX) + destWidth + 1 : destX;
    const int64_t dy0 = destHeight < 0 ? static_cast<int64_t>(destY) + destHeight + 1 : destY;
    const int64_t sx0 = sourceWidth < 0 ? static_cast<int64_t>(sourceX) + sourceWidth + 1 : sourceX;
    int64_t sy0 = sourceHeight < 0 ? static_cast<int64_t>(sourceY) + sourceHeight + 1 : sourceY;
    // The source origin of a bottom-up DIB is its lower-left corner.
    if (!from.topDown)
        sy0 = from.height - (sy0 + sh);
    for (int64_t j = 0; j < dh; ++j) {
        int64_t ty = dy0 + j;
        if (ty < 0 || ty >= to.height)
            continue;
        int64_t fy = sy0 + StretchSource(j, dh, sh, mirrorY);
        if (fy < 0 || fy >= from.height)
            continue;
        for (int64_t i = 0; i < dw; ++i) {
            int64_t tx = dx0 + i;
            if (tx < 0 || tx >= to.width)
                continue;
            int64_t fx = sx0 + StretchSource(i, dw, sw, mirrorX);
            if (fx < 0 || fx >= from.width)
                continue;
            uint8_t r, g, b;
            from.RawToRGB(from.GetRaw(static_cast<int32_t>(fx), static_cast<int32_t>(fy)), r, g, b);
            to.PutRaw(static_cast<int32_t>(tx), static_cast<int32_t>(ty), to.RGBToRaw(r, g, b, true));
        }
    }
    return static_cast<int>(sh);
}

COLORREF WINAPI GetPixel(HDC dc, int x, int y)
{
    std::lock_guard<std::mutex> guard(g_lock);
    Bitmap* b = SelectedBitmap(dc);
    if (!b || x < 0 || y < 0 || x >= b->surface.width || y >= b->surface.height)
        return CLR_INVALID;
    uint8_t r, g, bl;
    b->surface.RawToRGB(b->surface.GetRaw(x, y), r, g, bl);
    return RGB(r, g, bl);
}

HPALETTE WINAPI CreatePalette(const LOGPALETTE* palette)
{
    if (!palette)
        return nullptr;
    std::lock_guard<std::mutex> guard(g_lock);
    Palette* p = new Palette;
    p->entries.assign(palette->palPalEntry, palette->palPalEntry + palette->palNumEntries);
    Register(p);
    return reinterpret_cast<HPALETTE>(static_cast<GdiObject*>(p));
}

HPALETTE WINAPI CreateHalftonePalette(HDC)
{
    std::lock_guard<std::mutex> guard(g_lock);
    Palette* p = new Palette;
    p->entries.resize(256);
    for (int i = 0; i < 256; ++i) {
        PALETTEENTRY& e = p->entries[static_cast<size_t>(i)];
        HalftoneEntry(i, e.peRed, e.peGreen, e.peBlue);
        e.peFlags = 0;
    }
    Register(p);
    return reinterpret_cast<HPALETTE>(static_cast<GdiObject*>(p));
}

UINT WINAPI GetPaletteEntries(HPALETTE palette, UINT start, UINT count, LPPALETTEENTRY entries)
{
    std::lock_guard<std::mutex> guard(g_lock);
    Palette* p = Find<Palette>(palette, Kind::Palette);
    if (!p)
        return 0;
    const UINT size = static_cast<UINT>(p->entries.size());
    if (!entries)
        return size;
    if (start >= size)
        return 0;
    UINT n = std::min(count, size - start);
    std::memcpy(entries, p->entries.data() + start, n * sizeof(PALETTEENTRY));
    return n;
}

HPALETTE WINAPI SelectPalette(HDC dc, HPALETTE palette, BOOL)
{
    std::lock_guard<std::mutex> guard(g_lock);
    DC* d = Find<DC>(dc, Kind::DC);
    Palette* p = Find<Palette>(palette, Kind::Palette);
    if (!d || !p)
        return nullptr;
    Palette* previous = d->palette;
    if (previous == p)
        return palette;
    d->palette = p;
    if (!p->stock)
        ++p->selectCount;
    HPALETTE result = reinterpret_cast<HPALETTE>(static_cast<GdiObject*>(previous));
    Deselect(previous);
    return result;
}

UINT WINAPI RealizePalette(HDC dc)
{
    std::lock_guard<std::mutex> guard(g_lock);
    if (!Find<DC>(dc, Kind::DC))
        return GDI_ERROR;
    return 0;  // a true-colour device maps no palette entries
}
