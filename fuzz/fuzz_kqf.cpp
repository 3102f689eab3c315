// libFuzzer target: Lintomel's binary KQF snapshot reader on arbitrary bytes.
#include <cstddef>
#include <cstdint>

#include "KQFuzzSupport.h"
#include "KQOError.h"
#include "KQOImage.h"
#include "kqfxThumbExtractor.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    KQSetErrorReporting(false);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The reader opens a named file only.
    static kqfuzz::ScratchFile file(".kqf");
    if (!file.Write(data, size))
        return 0;
    KQRGBImage image;
    CkqfxThumbExtractor::ReadKqfSnapshot(KQString(file.Path().c_str()), image);
    return 0;
}
