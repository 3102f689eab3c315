// libFuzzer target: Lintomel's KQFx snapshot reader on arbitrary bytes.
//
// Mutated zip bytes rarely keep a valid entry (its CRC breaks first), so an
// input whose first byte is odd is taken instead as the snapshot entry of a
// well-formed container, stored or deflated: that way the extraction and the
// decoder behind it see arbitrary data too. Even first bytes: the whole input
// is the file.
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
    static kqfuzz::ScratchFile file(".kqfx");
    const bool wrap = size > 0 && (data[0] & 1);
    if (wrap) {
        // The rest of the input as the snapshot entry, stored or deflated.
        if (!kqfuzz::WriteSnapshotContainer(file.Path(), data + 1, size - 1, (data[0] & 2) != 0))
            return 0;
    } else if (!file.Write(data, size)) {
        return 0;
    }
    KQRGBImage image;
    CkqfxThumbExtractor::ReadKqfxSnapshot(KQString(file.Path().c_str()), image);
    return 0;
}
