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
#include <filesystem>
#include <string>
#include <vector>

#include "KQCom.h"
#include "KQOError.h"
#include "KQOImage.h"
#include "KQOJpeg.h"
#include "KQThumbExampleWriter.h"
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
    std::vector<unsigned char> rgb(static_cast<size_t>(kSide) * kSide * 3);
    uint32_t grain = 12345;
    for (unsigned y = 0; y < static_cast<unsigned>(kSide); ++y) {
        unsigned char* row = &rgb[static_cast<size_t>(y) * kSide * 3];
        for (unsigned x = 0; x < static_cast<unsigned>(kSide); ++x) {
            grain = grain * 1103515245u + 12345u;
            const unsigned g = (grain >> 16) & 15;
            row[3 * x] = static_cast<unsigned char>((x / 8 + g) & 0xff);
            row[3 * x + 1] = static_cast<unsigned char>((y / 8 + g) & 0xff);
            row[3 * x + 2] = static_cast<unsigned char>(((x + y) / 16 + g) & 0xff);
        }
    }
    return kqexample::EncodeJpeg(rgb, kSide, kSide, 90);
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
    if (!kqexample::WriteZip(file.string(), {{"Case001/Snapshot.jpeg", jpeg}})) {
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
