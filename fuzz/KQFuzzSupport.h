// Small helpers shared by the fuzz targets: a scratch file per process for
// readers that only take a path, a KQFx container around fuzzed snapshot
// bytes, and the folder of the model files that the embedder target and its
// seeds agree on.
#ifndef KQFUZZSUPPORT_H
#define KQFUZZSUPPORT_H

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <unistd.h>
#include <zip.h>

#include "KQTestInputWriter.h"

namespace kqfuzz {

inline std::string TempFolder()
{
    const char* dir = std::getenv("TMPDIR");
    return dir && *dir ? std::string(dir) : std::string("/tmp");
}

// One name per process, so that parallel workers (-jobs, -fork) never share
// a file; removed again when the process ends normally.
class ScratchFile {
public:
    explicit ScratchFile(const char* extension) : path(TempFolder() + "/kqfuzz_" + std::to_string(getpid()) + extension)
    {}
    ~ScratchFile() { std::remove(path.c_str()); }
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;

    bool Write(const uint8_t* data, size_t size) const { return kqinput::WriteFile(path, data, size); }
    const std::string& Path() const { return path; }

private:
    std::string path;
};

// A well-formed KQFx container at path whose snapshot entry holds the bytes,
// stored or deflated. Mutated zip bytes rarely keep a valid entry (its CRC
// breaks first); this way the extraction and the decoder behind it see
// arbitrary data too.
inline bool WriteSnapshotContainer(const std::string& path, const uint8_t* data, size_t size, bool deflate)
{
    kqinput::ZipSettings settings;
    settings.method = [deflate](size_t, const std::string&) {
        return kqinput::ZipMethod{deflate ? ZIP_CM_DEFLATE : ZIP_CM_STORE, 1};
    };
    return kqinput::WriteZip(path, {{"Case001/Snapshot.jpeg", kqinput::Bytes(data, data + size)}}, settings);
}

// Absolute folder that the embedder seeds name in their controls. Fixed, so
// that seeds written once stay valid for later runs and other workers.
inline const char* ModelFolder()
{
    return "/tmp/kqfuzz-models";
}

}  // namespace kqfuzz

#endif
