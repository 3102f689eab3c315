// Lintomel benchmark: the thumbnail of a KQFx file whose snapshot is a
// 2048 x 2048 JPEG, asked at 256 x 256, as the shell asks for it.
//   kqbench_lintomel <scratch folder> [runs]
// Prints the median time of the whole Extract (open the container, decode,
// fit, scale, make the bitmap) and of the JPEG decode alone, so that the
// cost of everything but the decode can be seen.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <jpeglib.h>
#include <zip.h>

#include "KQCom.h"
#include "KQOError.h"
#include "KQOImage.h"
#include "KQOJpeg.h"
#include "KQThumbIds.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved);
STDAPI DllGetClassObject(REFCLSID classId, REFIID interfaceId, LPVOID* object);

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

const int kSide = 2048;
const LONG kThumbSide = 256;

std::vector<unsigned char> EncodeSnapshot()
{
    // A smooth picture with some grain, so that the data is neither trivial
    // nor noise.
    std::vector<JSAMPLE> row(static_cast<size_t>(kSide) * 3);
    unsigned char* out = nullptr;
    unsigned long outSize = 0;
    jpeg_compress_struct cinfo;
    jpeg_error_mgr err;
    cinfo.err = jpeg_std_error(&err);
    jpeg_create_compress(&cinfo);
    jpeg_mem_dest(&cinfo, &out, &outSize);
    cinfo.image_width = kSide;
    cinfo.image_height = kSide;
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, 90, TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    uint32_t grain = 12345;
    while (cinfo.next_scanline < cinfo.image_height) {
        const unsigned y = cinfo.next_scanline;
        for (unsigned x = 0; x < static_cast<unsigned>(kSide); ++x) {
            grain = grain * 1103515245u + 12345u;
            const unsigned g = (grain >> 16) & 15;
            row[3 * x] = static_cast<JSAMPLE>((x / 8 + g) & 0xff);
            row[3 * x + 1] = static_cast<JSAMPLE>((y / 8 + g) & 0xff);
            row[3 * x + 2] = static_cast<JSAMPLE>(((x + y) / 16 + g) & 0xff);
        }
        JSAMPROW p = row.data();
        jpeg_write_scanlines(&cinfo, &p, 1);
    }
    jpeg_finish_compress(&cinfo);
    std::vector<unsigned char> bytes(out, out + outSize);
    jpeg_destroy_compress(&cinfo);
    std::free(out);
    return bytes;
}

bool WriteContainer(const fs::path& path, const std::vector<unsigned char>& jpeg)
{
    int error = 0;
    zip_t* za = zip_open(path.string().c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    if (!za)
        return false;
    void* copy = std::malloc(jpeg.size());
    if (!copy) {
        zip_discard(za);
        return false;
    }
    std::memcpy(copy, jpeg.data(), jpeg.size());
    zip_source_t* src = zip_source_buffer(za, copy, jpeg.size(), 1);
    if (!src || zip_file_add(za, "Case001/Snapshot.jpeg", src, ZIP_FL_ENC_UTF_8) < 0) {
        if (src)
            zip_source_free(src);
        else
            std::free(copy);
        zip_discard(za);
        return false;
    }
    return zip_close(za) == 0;
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double Milliseconds(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

// One thumbnail as the shell makes it; the time of Extract alone.
bool TimeExtract(IClassFactory* factory, const fs::path& file, double* ms, SIZE* got)
{
    IPersistFile* persist = nullptr;
    IExtractImage* extract = nullptr;
    bool ok = SUCCEEDED(factory->CreateInstance(nullptr, IID_IPersistFile, reinterpret_cast<void**>(&persist))) &&
              SUCCEEDED(persist->QueryInterface(IID_IExtractImage, reinterpret_cast<void**>(&extract)));
    const std::wstring name = file.wstring();
    ok = ok && SUCCEEDED(persist->Load(name.c_str(), 0));
    WCHAR location[MAX_PATH];
    DWORD priority = 0, flags = 0;
    SIZE size = {kThumbSide, kThumbSide};
    ok = ok && SUCCEEDED(extract->GetLocation(location, MAX_PATH, &priority, &size, 32, &flags));
    HBITMAP bitmap = nullptr;
    if (ok) {
        const Clock::time_point start = Clock::now();
        ok = SUCCEEDED(extract->Extract(&bitmap)) && bitmap;
        *ms = Milliseconds(Clock::now() - start);
    }
    if (bitmap) {
        BITMAP bm = {};
        GetObjectW(bitmap, sizeof(bm), &bm);
        got->cx = bm.bmWidth;
        got->cy = bm.bmHeight;
        DeleteObject(bitmap);
    }
    if (extract)
        extract->Release();
    if (persist)
        persist->Release();
    return ok;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: kqbench_lintomel <scratch folder> [runs]\n");
        return 2;
    }
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 11;
    std::error_code ec;
    const fs::path folder = fs::absolute(argv[1]);
    fs::create_directories(folder, ec);
    const fs::path file = folder / "snapshot2048.kqfx";

    std::vector<unsigned char> jpeg = EncodeSnapshot();
    if (!WriteContainer(file, jpeg)) {
        std::fprintf(stderr, "cannot write %s\n", file.string().c_str());
        return 1;
    }

    DllMain(nullptr, DLL_PROCESS_ATTACH, nullptr);
    IClassFactory* factory = nullptr;
    if (FAILED(DllGetClassObject(CLSID_kqfxThumbExtractor, IID_IClassFactory, reinterpret_cast<void**>(&factory)))) {
        std::fprintf(stderr, "no class factory\n");
        return 1;
    }

    std::vector<double> extractMs, decodeMs;
    SIZE got = {0, 0};
    // One run first to warm the caches and the allocator; not counted.
    double ms = 0;
    bool ok = TimeExtract(factory, file, &ms, &got);
    for (int i = 0; ok && i < runs; ++i) {
        ok = TimeExtract(factory, file, &ms, &got);
        extractMs.push_back(ms);
    }
    for (int i = 0; ok && i <= runs; ++i) {
        KQRGBImage image;
        const int32 size = static_cast<int32>(jpeg.size());
        const Clock::time_point start = Clock::now();
        ok = KQDecodeJPEGFromMemory(&image, jpeg.data(), &size) && image.Size().x == kSide;
        if (i > 0)
            decodeMs.push_back(Milliseconds(Clock::now() - start));
    }
    factory->Release();
    DllMain(nullptr, DLL_PROCESS_DETACH, nullptr);
    if (!ok) {
        std::fprintf(stderr, "Extract or decode failed\n");
        return 1;
    }

    const double extract = Median(extractMs), decode = Median(decodeMs);
    std::printf("Lintomel: %d x %d JPEG snapshot (%zu bytes) to %ld x %ld, %d runs\n", kSide, kSide, jpeg.size(),
                static_cast<long>(got.cx), static_cast<long>(got.cy), runs);
    std::printf("  Extract, median      %8.1f ms\n", extract);
    std::printf("  JPEG decode, median  %8.1f ms\n", decode);
    std::printf("  rest of Extract      %8.1f ms\n", extract - decode);
    return 0;
}
