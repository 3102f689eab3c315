// libFuzzer target: the BMP reader and the copy into an RGB image.
#include <cstdint>
#include <cstdio>
#include <string>

#include <unistd.h>

#include "KQOError.h"
#include "KQOImage.h"
#include "KQOImageDIB.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    KQSetErrorReporting(false);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The reader takes a file name: one scratch file per process.
    static const std::string name = "fuzz_bmp_" + std::to_string(getpid()) + ".bmp";
    FILE* f = std::fopen(name.c_str(), "wb");
    if (!f) return 0;
    if (size) std::fwrite(data, 1, size, f);
    std::fclose(f);
    KQDIBSection dib;
    if (dib.Load(KQString(name.c_str()))) {
        KQRGBImage image;
        image.Set(&dib, nullptr, nullptr);
        KQIntPair origin(1, 1), extent(3, 2);
        image.Set(&dib, &origin, &extent);
    }
    return 0;
}
