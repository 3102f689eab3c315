// libFuzzer target: one Corvessa run over arbitrary zip bytes held in memory.
// The package kind is decided as the program decides it; then the package is
// opened for update, every viewer control is embedded, the report is built
// (and swallowed), unreferenced model files are removed and the archive is
// closed, which writes it back into memory.
//
// The seeds' controls name model files in kqfuzz::ModelFolder(), which the
// target creates at start-up, so that embedding succeeds as well as fails.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <system_error>
#include <filesystem>

#include "KQFuzzSupport.h"
#include "KQOError.h"
#include "KQOpenXMLArchive.h"

namespace {

int WINAPI SwallowReport(HWND, LPCSTR, LPCSTR, UINT)
{
    return IDOK;
}

void WriteModels()
{
    std::error_code ec;
    std::filesystem::create_directories(kqfuzz::ModelFolder(), ec);
    for (int i = 1; i <= 3; ++i) {
        const std::string name = std::string(kqfuzz::ModelFolder()) + "/model" + std::to_string(i) + ".kqfx";
        // Written beside and renamed, so that a worker starting later never
        // reads a half-written model.
        const std::string part = name + "." + std::to_string(getpid());
        // KQFx containers, as Corvessa embeds nothing else.
        kqinput::Bytes content(64 * i);
        for (size_t b = 0; b < content.size(); ++b)
            content[b] = static_cast<unsigned char>((b * 37 + i) & 0xff);
        if (kqinput::WriteZip(part,
                              {{"Case001/Snapshot.jpeg", kqinput::Bytes(16, 0xd8)}, {"Case001/Case.dat", content}}))
            std::rename(part.c_str(), name.c_str());
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    KQSetErrorReporting(false);
    KQReportMessageBox = SwallowReport;
    WriteModels();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 0xffffffffu)
        return 0;
    // The kind test only takes a path.
    static kqfuzz::ScratchFile file(".zip");
    if (!file.Write(data, size))
        return 0;
    const int kind = KQDetectDocumentType(KQString(file.Path().c_str()));
    if (kind < 0)
        return 0;

    KQZipMemorySource source;
    if (!source.SetData(data, static_cast<uint32>(size)))
        return 0;
    std::unique_ptr<KQOpenXMLArchive> package;
    if (kind == 1)
        package.reset(new KQOpenXMLPresentation());
    else
        package.reset(new KQOpenXMLWordArchive());
    if (!package->OpenAbstractFile(&source, 0))
        return 0;
    package->EmbedAll(true);
    package->RemoveUnreferencedFiles();
    package->Close();
    return 0;
}
