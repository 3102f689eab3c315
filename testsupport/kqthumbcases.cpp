// kqthumbcases: writes model files whose thumbnails two builds of Lintomel
// must draw alike (the Windows end-to-end checks compare the Windows build's
// thumbnails with the native build's, byte for byte). The snapshots cover
// what the JPEG library decodes by different routines: baseline 4:2:0 and
// 4:4:4, progressive, odd sizes with partial blocks, the finest quantisation,
// grain, a cut-off scan, and entropy data overwritten with junk, whose
// out-of-range coefficients are where the library's SIMD and C routines part.
//
//   kqthumbcases FOLDER
// Prints the name of every file it wrote, one a line.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "KQTestInputWriter.h"

namespace {

using kqinput::Bytes;

// A fixed stamp, so that every run writes the same bytes.
const time_t kStamp = 1262347200;

// Smooth picture with grain: every coefficient of a block carries data.
Bytes Grainy(int width, int height)
{
    Bytes rgb = kqinput::Picture(width, height);
    uint32_t state = 2463534242u;
    for (unsigned char& sample : rgb) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        int v = sample + static_cast<int>(state % 61) - 30;
        sample = static_cast<unsigned char>(v < 0 ? 0 : v > 255 ? 255 : v);
    }
    return rgb;
}

// Offset of the first byte after the first scan header; 0 when none.
size_t ScanData(const Bytes& jpeg)
{
    for (size_t i = 2; i + 3 < jpeg.size();) {
        if (jpeg[i] != 0xFF)
            return 0;
        const size_t length = static_cast<size_t>(jpeg[i + 2]) << 8 | jpeg[i + 3];
        if (jpeg[i + 1] == 0xDA)
            return i + 2 + length;
        i += 2 + length;
    }
    return 0;
}

// Junk in place of count bytes of entropy data from start on (never 0xFF,
// so that no marker appears and the decoder keeps reading the scan).
Bytes Corrupt(Bytes jpeg, size_t start, size_t count, uint32_t seed)
{
    for (size_t i = start; i < start + count && i + 2 < jpeg.size(); ++i) {
        seed = seed * 1664525u + 1013904223u;
        const unsigned char b = static_cast<unsigned char>(seed >> 24);
        jpeg[i] = b == 0xFF ? 0x7F : b;
    }
    return jpeg;
}

struct Writer {
    std::string folder;
    bool ok = true;

    void Snapshot(const std::string& name, const Bytes& jpeg)
    {
        kqinput::ZipSettings settings;
        settings.stamp = kStamp;
        const std::string path = folder + name + ".kqfx";
        if (jpeg.empty() || !kqinput::WriteZip(path, {{"Case001/Snapshot.jpeg", jpeg}}, settings)) {
            std::fprintf(stderr, "kqthumbcases: cannot write %s\n", path.c_str());
            ok = false;
            return;
        }
        std::printf("%s.kqfx\n", name.c_str());
    }

    void Kqf(const std::string& name, int width, int height)
    {
        kqinput::KqfLayout layout;
        layout.width = width;
        layout.height = height;
        layout.pixels = kqinput::BottomUp(Grainy(width, height), width, height);
        const std::string path = folder + name + ".kqf";
        if (!kqinput::WriteFile(path, kqinput::BuildKqf(layout))) {
            std::fprintf(stderr, "kqthumbcases: cannot write %s\n", path.c_str());
            ok = false;
            return;
        }
        std::printf("%s.kqf\n", name.c_str());
    }
};

Bytes Encode(const Bytes& rgb, int width, int height, int quality, bool progressive, bool fullChroma)
{
    kqinput::JpegSettings settings;
    settings.quality = quality;
    settings.progressive = progressive;
    settings.fullChroma = fullChroma;
    return kqinput::EncodeJpeg(rgb, width, height, settings);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: kqthumbcases FOLDER\n");
        return 2;
    }
    Writer w;
    w.folder = argv[1];
    if (!w.folder.empty() && w.folder.back() != '/')
        w.folder += '/';

    const Bytes picture = kqinput::Picture(1024, 768);
    w.Snapshot("baseline-1024x768", kqinput::EncodeJpeg(picture, 1024, 768));
    w.Snapshot("baseline-100x50", kqinput::EncodeJpeg(kqinput::Picture(100, 50), 100, 50));
    w.Snapshot("grain-q100-4x4-333x251", Encode(Grainy(333, 251), 333, 251, 100, false, true));
    w.Snapshot("grain-q75-progressive-641x479", Encode(Grainy(641, 479), 641, 479, 75, true, false));
    w.Snapshot("grain-q95-progressive-4x4-257x129", Encode(Grainy(257, 129), 257, 129, 95, true, true));
    w.Snapshot("grain-q90-2000x1500", Encode(Grainy(2000, 1500), 2000, 1500, 90, false, false));

    // Cut short inside the scan: the rest of the picture is filled in.
    Bytes cut = kqinput::EncodeJpeg(picture, 1024, 768);
    const size_t data = ScanData(cut);
    cut.resize(data + (cut.size() - data) / 3);
    w.Snapshot("cut-1024x768", cut);

    // Entropy data overwritten: the decoder reads wild coefficients.
    const Bytes grain = Encode(Grainy(640, 480), 640, 480, 90, false, false);
    const size_t grainData = ScanData(grain);
    w.Snapshot("corrupt-640x480", Corrupt(grain, grainData + (grain.size() - grainData) / 4, 4096, 7));
    w.Snapshot("corrupt-whole-640x480", Corrupt(grain, grainData, grain.size() - grainData, 11));
    const Bytes fine = Encode(Grainy(333, 251), 333, 251, 100, false, true);
    const size_t fineData = ScanData(fine);
    w.Snapshot("corrupt-q100-4x4-333x251", Corrupt(fine, fineData + 64, 2048, 13));
    const Bytes prog = Encode(Grainy(641, 479), 641, 479, 85, true, false);
    const size_t progData = ScanData(prog);
    w.Snapshot("corrupt-progressive-641x479", Corrupt(prog, progData + 16, 1024, 17));

    w.Kqf("image-block-1024x768", 1024, 768);
    return w.ok ? 0 : 1;
}
