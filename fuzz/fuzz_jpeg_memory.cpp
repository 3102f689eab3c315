// libFuzzer target: KQDecodeJPEGFromMemory on arbitrary bytes, with the
// limits Lintomel puts on a snapshot from anywhere (scans, decode memory).
#include <cstddef>
#include <cstdint>
#include <vector>

#include "KQOError.h"
#include "KQOImage.h"
#include "KQOJpeg.h"
#include "kqfxSnapshotLimits.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    KQSetErrorReporting(false);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 0x7fffffff)
        return 0;
    // The decoder takes a writable block; an exact-size copy lets ASan see
    // any read past the end.
    std::vector<ubyte> bytes(data, data + size);
    const int32 count = static_cast<int32>(size);
    KQRGBImage image;
    const KQJPEGLimits limits = KQSnapshotJPEGLimits();
    KQDecodeJPEGFromMemory(&image, bytes.empty() ? nullptr : bytes.data(), &count, &limits);
    return 0;
}
