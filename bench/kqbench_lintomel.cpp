// Lintomel benchmark inputs and in-process timing.
//   kqbench_lintomel inputs <folder>
//       writes the JPEG snapshots of about 0.3, 4 and 16 megapixels, each as
//       a plain .jpg and inside a .kqfx container, and a 3000 x 3000 raw KQF
//       file; prints one line per input: label, .jpg (or -), model file,
//       width, height. scripts/bench.sh times the thumbnail host on the model
//       files beside `djpeg -bmp` on the same JPEGs, whole processes.
//   kqbench_lintomel extract <model file>
//       one Extract at 256 x 256 after one that warms the process up (as in
//       the shell, where the module is loaded already); prints its time in ms.
//   kqbench_lintomel <folder> [runs]
//       the same inputs, timed in this process: the median of the whole
//       Extract at 256 x 256 and of the JPEG decode alone, so that the cost
//       of everything but the decode can be seen.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "KQCom.h"
#include "KQOError.h"
#include "KQOImage.h"
#include "KQOJpeg.h"
#include "KQTestInputWriter.h"
#include "KQThumbIds.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved);
STDAPI DllGetClassObject(REFCLSID classId, REFIID interfaceId, LPVOID* object);

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using kqinput::Bytes;

const LONG kThumbSide = 256;

struct Input {
    const char* label;
    int width;
    int height;
    bool jpeg;  // a JPEG snapshot in a .kqfx; else a raw KQF image block
    fs::path jpg;
    fs::path model;
    Bytes data;  // the JPEG bytes
};

// A smooth picture with some grain, so that the data is neither trivial nor
// noise; rows top first.
Bytes Picture(int width, int height)
{
    Bytes rgb(static_cast<size_t>(width) * height * 3);
    uint32_t grain = 12345;
    for (unsigned y = 0; y < static_cast<unsigned>(height); ++y) {
        unsigned char* row = &rgb[static_cast<size_t>(y) * width * 3];
        for (unsigned x = 0; x < static_cast<unsigned>(width); ++x) {
            grain = grain * 1103515245u + 12345u;
            const unsigned g = (grain >> 16) & 15;
            row[3 * x] = static_cast<unsigned char>((x / 8 + g) & 0xff);
            row[3 * x + 1] = static_cast<unsigned char>((y / 8 + g) & 0xff);
            row[3 * x + 2] = static_cast<unsigned char>(((x + y) / 16 + g) & 0xff);
        }
    }
    return rgb;
}

std::vector<Input> Inputs(const fs::path& folder)
{
    std::vector<Input> inputs = {
        {"0.3 MP JPEG", 640, 480, true, {}, {}, {}},
        {"4 MP JPEG", 2304, 1728, true, {}, {}, {}},
        {"16 MP JPEG", 4608, 3456, true, {}, {}, {}},
        {"KQF 3000 x 3000 raw", 3000, 3000, false, {}, {}, {}},
    };
    for (Input& in : inputs) {
        const std::string size = std::to_string(in.width) + "x" + std::to_string(in.height);
        if (in.jpeg) {
            in.jpg = folder / ("snapshot" + size + ".jpg");
            in.model = folder / ("snapshot" + size + ".kqfx");
        } else {
            in.model = folder / ("model" + size + "-raw.kqf");
        }
    }
    return inputs;
}

bool Write(std::vector<Input>& inputs)
{
    for (Input& in : inputs) {
        const Bytes rgb = Picture(in.width, in.height);
        if (in.jpeg) {
            in.data = kqinput::EncodeJpeg(rgb, in.width, in.height, 90);
            if (!kqinput::WriteFile(in.jpg, in.data) ||
                !kqinput::WriteZip(in.model.string(), {{"Case001/Snapshot.jpeg", in.data}}))
                return false;
        } else {
            kqinput::KqfLayout layout;
            layout.width = in.width;
            layout.height = in.height;
            layout.pixels = kqinput::BottomUp(rgb, in.width, in.height);
            layout.compressed = false;
            if (!kqinput::WriteFile(in.model, kqinput::BuildKqf(layout)))
                return false;
        }
    }
    return true;
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

// The module attached as the shell's process attaches it, and its class
// factory; null (after a message) when there is none.
IClassFactory* AttachModule()
{
    DllMain(nullptr, DLL_PROCESS_ATTACH, nullptr);
    IClassFactory* factory = nullptr;
    if (FAILED(DllGetClassObject(CLSID_kqfxThumbExtractor, IID_IClassFactory, reinterpret_cast<void**>(&factory)))) {
        std::fprintf(stderr, "no class factory\n");
        return nullptr;
    }
    return factory;
}

void DetachModule(IClassFactory* factory)
{
    factory->Release();
    DllMain(nullptr, DLL_PROCESS_DETACH, nullptr);
}

int ExtractOnce(const fs::path& model)
{
    IClassFactory* factory = AttachModule();
    if (!factory)
        return 1;
    double ms = 0;
    SIZE got = {0, 0};
    const bool ok = TimeExtract(factory, model, &ms, &got) && TimeExtract(factory, model, &ms, &got);
    DetachModule(factory);
    if (!ok) {
        std::fprintf(stderr, "Extract of %s failed\n", model.string().c_str());
        return 1;
    }
    std::printf("%.2f\n", ms);
    return 0;
}

int InProcess(std::vector<Input>& inputs, int runs)
{
    IClassFactory* factory = AttachModule();
    if (!factory)
        return 1;
    std::printf("Lintomel in process: Extract at %ld x %ld and the JPEG decode alone, medians of %d runs\n",
                static_cast<long>(kThumbSide), static_cast<long>(kThumbSide), runs);
    std::printf("  %-22s %10s %12s %10s\n", "snapshot", "Extract", "JPEG decode", "rest");
    bool ok = true;
    for (const Input& in : inputs) {
        std::vector<double> extractMs, decodeMs;
        SIZE got = {0, 0};
        // One run first to warm the caches and the allocator; not counted.
        double ms = 0;
        ok = TimeExtract(factory, in.model, &ms, &got);
        for (int i = 0; ok && i < runs; ++i) {
            ok = TimeExtract(factory, in.model, &ms, &got);
            extractMs.push_back(ms);
            if (in.jpeg) {
                KQRGBImage image;
                const int32 size = static_cast<int32>(in.data.size());
                const Clock::time_point start = Clock::now();
                ok = ok && KQDecodeJPEGFromMemory(&image, const_cast<ubyte*>(in.data.data()), &size) &&
                     image.Size().x == in.width;
                decodeMs.push_back(Milliseconds(Clock::now() - start));
            }
        }
        if (!ok) {
            std::fprintf(stderr, "Extract or decode of %s failed\n", in.model.string().c_str());
            break;
        }
        const double extract = Median(extractMs);
        if (in.jpeg) {
            const double decode = Median(decodeMs);
            std::printf("  %-22s %7.1f ms %9.1f ms %7.1f ms   (%ld x %ld)\n", in.label, extract, decode,
                        extract - decode, static_cast<long>(got.cx), static_cast<long>(got.cy));
        } else {
            std::printf("  %-22s %7.1f ms %12s %10s   (%ld x %ld)\n", in.label, extract, "", "",
                        static_cast<long>(got.cx), static_cast<long>(got.cy));
        }
    }
    DetachModule(factory);
    return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    const bool inputsOnly = argc == 3 && std::strcmp(argv[1], "inputs") == 0;
    if (argc < 2) {
        std::fprintf(stderr, "usage: kqbench_lintomel inputs <folder>\n       kqbench_lintomel extract <model file>\n"
                             "       kqbench_lintomel <folder> [runs]\n");
        return 2;
    }
    if (argc == 3 && std::strcmp(argv[1], "extract") == 0)
        return ExtractOnce(fs::absolute(argv[2]));
    std::error_code ec;
    const fs::path folder = fs::absolute(argv[inputsOnly ? 2 : 1]);
    fs::create_directories(folder, ec);
    std::vector<Input> inputs = Inputs(folder);
    if (!Write(inputs)) {
        std::fprintf(stderr, "cannot write the inputs under %s\n", folder.string().c_str());
        return 1;
    }
    if (inputsOnly) {
        for (const Input& in : inputs)
            std::printf("%s\t%s\t%s\t%d\t%d\n", in.label, in.jpeg ? in.jpg.string().c_str() : "-",
                        in.model.string().c_str(), in.width, in.height);
        return 0;
    }
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 11;
    return InProcess(inputs, runs);
}
