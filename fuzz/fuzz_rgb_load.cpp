// libFuzzer target: KQRGBImage::Load on arbitrary bytes: the file-type probe
// (BMP header, SGI magic) and the reader it picks, then the SGI reader once
// more on whatever the probe turned away.
#include <cstddef>
#include <cstdint>

#include "KQFuzzSupport.h"
#include "KQOError.h"
#include "KQOImage.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    KQSetErrorReporting(false);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // Load reads a named file only.
    static kqfuzz::ScratchFile file(".img");
    if (!file.Write(data, size))
        return 0;
    const KQString name(file.Path().c_str());
    KQRGBImage image;
    int32 loaded = -1;
    if (image.Load(name, KQ_IMAGE_TYPE_NONE, &loaded)) {
        // A picture read is a whole one (an SGI file of no rows reads as an
        // empty picture of that size, without pixels).
        const KQIntPair got = image.Size();
        if ((loaded != KQ_IMAGE_TYPE_BMP && loaded != KQ_IMAGE_TYPE_SGI) || got.x < 0 || got.y < 0 ||
            ((got.x > 0 && got.y > 0) != (image.Pixels() != nullptr)))
            __builtin_trap();
        return 0;
    }
    KQRGBImage sgi;
    sgi.Load(name, KQ_IMAGE_TYPE_SGI, &loaded);
    return 0;
}
