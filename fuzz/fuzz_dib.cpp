// libFuzzer target: the BMP reader (KQDIBSection::Load), then what a caller
// does with a section it loaded: copy it into an RGB image and convert it.
#include <cstddef>
#include <cstdint>

#include "KQFuzzSupport.h"
#include "KQOError.h"
#include "KQOImage.h"
#include "KQOImageDIB.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    KQSetErrorReporting(false);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // Load reads a named file only.
    static kqfuzz::ScratchFile file(".bmp");
    if (!file.Write(data, size))
        return 0;
    KQDIBSection dib;
    if (!dib.Load(KQString(file.Path().c_str())))
        return 0;
    KQRGBImage image;
    image.Set(&dib, nullptr, nullptr);
    KQIntPair origin(1, 1), extent(2, 2);
    image.Set(&dib, &origin, &extent);
    KQDIBSection converted;
    converted.ConvertFrom(&dib, 24, nullptr);
    return 0;
}
