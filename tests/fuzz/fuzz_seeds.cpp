// Writes small valid BMP and JPEG files as starting points for the fuzzers:
//   fuzz_seeds <bmp-corpus-dir> <jpeg-corpus-dir>
#include <cstdio>
#include <string>
#include <vector>

extern "C" {
#include <jpeglib.h>
}

#include "KQImageTestUtil.h"

using namespace kqtest;

namespace {

void Save(const std::string& name, const Bytes& bytes) { WriteFile(name.c_str(), bytes); }

Bytes Jpeg(int width, int height, int components, bool progressive) {
    unsigned char* out = nullptr;
    unsigned long outSize = 0;
    jpeg_compress_struct cinfo;
    jpeg_error_mgr err;
    cinfo.err = jpeg_std_error(&err);
    jpeg_create_compress(&cinfo);
    jpeg_mem_dest(&cinfo, &out, &outSize);
    cinfo.image_width = static_cast<JDIMENSION>(width);
    cinfo.image_height = static_cast<JDIMENSION>(height);
    cinfo.input_components = components;
    cinfo.in_color_space = components == 3 ? JCS_RGB : JCS_GRAYSCALE;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, 50, TRUE);
    if (progressive) jpeg_simple_progression(&cinfo);
    jpeg_start_compress(&cinfo, TRUE);
    std::vector<JSAMPLE> row(static_cast<size_t>(width * components));
    while (cinfo.next_scanline < cinfo.image_height) {
        for (size_t i = 0; i < row.size(); ++i) row[i] = static_cast<JSAMPLE>(i * 7 + cinfo.next_scanline * 13);
        JSAMPROW p = row.data();
        jpeg_write_scanlines(&cinfo, &p, 1);
    }
    jpeg_finish_compress(&cinfo);
    Bytes bytes(out, out + outSize);
    jpeg_destroy_compress(&cinfo);
    free(out);
    return bytes;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    const std::string bmp = std::string(argv[1]) + "/", jpg = std::string(argv[2]) + "/";
    const int depths[] = {1, 4, 8, 16, 24, 32};
    for (int d : depths) {
        BmpSpec s;
        s.width = 5;
        s.height = 3;
        s.bitCount = d;
        if (d <= 8)
            for (int i = 0; i < (1 << d); ++i) AddColor(s.colors, static_cast<uint8_t>(i * 3), 0, static_cast<uint8_t>(255 - i));
        s.pixels.assign(static_cast<size_t>(Stride(5, d)) * 3, 0x5A);
        Save(bmp + "seed" + std::to_string(d) + ".bmp", BuildBmp(s));
    }
    Save(jpg + "colour.jpg", Jpeg(17, 9, 3, false));
    Save(jpg + "progressive.jpg", Jpeg(16, 16, 3, true));
    Save(jpg + "grey.jpg", Jpeg(8, 8, 1, false));
    return 0;
}
