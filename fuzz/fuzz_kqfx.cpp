// libFuzzer target: Lintomel's KQFx snapshot reader on arbitrary bytes.
//
// Mutated zip bytes rarely keep a valid entry (its CRC breaks first), so an
// input whose first byte is odd is taken instead as the snapshot entry of a
// well-formed container, stored or deflated: that way the extraction and the
// decoder behind it see arbitrary data too. Even first bytes: the whole input
// is the file.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <zip.h>

#include "KQFuzzSupport.h"
#include "KQOError.h"
#include "KQOImage.h"
#include "kqfxThumbExtractor.h"

namespace {

bool WriteContainer(const char* path, const uint8_t* data, size_t size, bool deflate)
{
    int error = 0;
    zip_t* za = zip_open(path, ZIP_CREATE | ZIP_TRUNCATE, &error);
    if (!za)
        return false;
    // libzip reads the data at close and frees this copy itself (an empty
    // buffer is not taken over: none is made).
    void* copy = size ? std::malloc(size) : nullptr;
    if (size && !copy) {
        zip_discard(za);
        return false;
    }
    if (size)
        std::memcpy(copy, data, size);
    zip_source_t* src = zip_source_buffer(za, copy, size, copy ? 1 : 0);
    zip_int64_t index = src ? zip_file_add(za, "Case001/Snapshot.jpeg", src, ZIP_FL_ENC_UTF_8) : -1;
    if (index < 0) {
        if (src)
            zip_source_free(src);
        else
            std::free(copy);
        zip_discard(za);
        return false;
    }
    zip_set_file_compression(za, static_cast<zip_uint64_t>(index), deflate ? ZIP_CM_DEFLATE : ZIP_CM_STORE, 1);
    return zip_close(za) == 0;
}

} // namespace

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
        // An archive with no entry is not written at all: remove the last one.
        std::remove(file.Path().c_str());
        if (!WriteContainer(file.Path().c_str(), data + 1, size - 1, (data[0] & 2) != 0))
            return 0;
    } else if (!file.Write(data, size)) {
        return 0;
    }
    KQRGBImage image;
    CkqfxThumbExtractor::ReadKqfxSnapshot(KQString(file.Path().c_str()), image);
    return 0;
}
