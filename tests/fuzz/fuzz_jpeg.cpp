// libFuzzer target: JPEG decoding from memory.
#include <cstdint>
#include <vector>

#include "KQOError.h"
#include "KQOImage.h"
#include "KQOJpeg.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    KQSetErrorReporting(false);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Claimed sizes of a few megapixels are fine; larger ones only measure malloc.
    if (size > (1u << 20)) return 0;
    std::vector<ubyte> copy(data, data + size);
    int32 n = static_cast<int32>(size);
    KQRGBImage image;
    KQDecodeJPEGFromMemory(&image, copy.empty() ? nullptr : copy.data(), &n);
    return 0;
}
