// libFuzzer target: arbitrary bytes opened as an in-memory zip archive
// (read-only and for update), every entry listed and read as XML, and the
// update closed again so that the write-back path runs too; the same bytes
// as a file whose directory alone is searched for an entry.
#include <cstddef>
#include <cstdint>

#include "KQFuzzSupport.h"
#include "KQOArray.h"
#include "KQOError.h"
#include "KQOXml.h"
#include "KQOZipArchive.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    KQSetErrorReporting(false);
    return 0;
}

namespace {

void ReadEverything(KQZipArchive& archive)
{
    KQStringArray names;
    if (!archive.FindFiles(KQString(""), true, &names))
        return;
    for (int32 i = 0; i < names.GetCount(); ++i) {
        KQXmlDocument doc(false);
        archive.ReadXmlFile(names[i], &doc);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 0xffffffffu)
        return 0;
    static kqfuzz::ScratchFile file(".zip");
    if (file.Write(data, size))
        KQZipListsEntry(KQString(file.Path().c_str()), KQString("Case001\\Snapshot.jpeg"), KQ_MODEL_DIRECTORY_BOUNDS);

    KQZipMemorySource source;
    if (!source.SetData(data, static_cast<uint32>(size)))
        return 0;
    {
        KQZipArchive archive;
        if (archive.OpenAbstractFile(&source, 1)) {
            ReadEverything(archive);
            archive.Close();
        }
    }
    {
        // An update that changes the archive makes Close write it back.
        KQZipArchive archive;
        if (archive.OpenAbstractFile(&source, 0)) {
            ReadEverything(archive);
            KQXmlDocument doc(true);
            doc.LinkEndChild(new KQXmlElement("fuzz"));
            archive.WriteXmlFile(KQString("fuzz\\added.xml"), &doc, true);
            archive.Close();
        }
    }
    return 0;
}
