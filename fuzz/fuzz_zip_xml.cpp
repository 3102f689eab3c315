// libFuzzer target: arbitrary bytes opened as an in-memory zip archive
// (read-only and for update), every entry listed and read as XML, and the
// update closed again so that the write-back path runs too; the same bytes
// as a file whose directory alone is searched for an entry. Bytes that are
// not a zip archive are also taken as one XML part: looked over, and when
// admitted parsed by TinyXML, whose tree must be no deeper and hold no more
// elements than the look counted, and printed, as TinyXML prints it up to
// the indentation cap.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

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

// Deepest element and number of elements under node, by a walk without
// recursion.
void TreeShape(const TiXmlNode* root, int* deepest, uint64* elements)
{
    int level = 0;
    const TiXmlNode* node = root->FirstChild();
    while (node) {
        if (node->ToElement()) {
            ++*elements;
            if (level + 1 > *deepest)
                *deepest = level + 1;
        }
        if (node->FirstChild()) {
            node = node->FirstChild();
            ++level;
            continue;
        }
        while (node && !node->NextSibling()) {
            node = node->Parent();
            --level;
            if (node == root)
                node = nullptr;
        }
        if (node)
            node = node->NextSibling();
    }
}

void LookOverAndParse(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    const KQXmlShape shape = KQXmlLookOver(text.c_str(), text.size(), KQ_XML_PART_BOUNDS);
    if (shape.verdict != KQ_XML_ADMITTED)
        return;
    KQXmlDocument doc(false);
    doc.Parse(text.c_str(), nullptr, TIXML_DEFAULT_ENCODING);
    int deepest = 0;
    uint64 elements = 0;
    TreeShape(&doc, &deepest, &elements);
    if (deepest > shape.depth || elements > shape.elements)
        abort();
    std::string printed;
    if (!KQXmlPrint(doc, printed, 64u << 20))
        return;
    if (deepest <= KQ_XML_MOST_INDENT) {
        TiXmlPrinter printer;
        printer.SetIndent("\t");
        doc.Accept(&printer);
        if (printed != std::string(printer.CStr(), printer.Size()))
            abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 0xffffffffu)
        return 0;
    if (size < 2 || data[0] != 'P' || data[1] != 'K')
        LookOverAndParse(data, size);
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
