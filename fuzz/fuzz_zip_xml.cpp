// libFuzzer target: arbitrary bytes opened as an in-memory zip archive
// (read-only and for update), every entry listed and read as XML, and the
// update closed again so that the write-back path runs too; the same bytes
// as a file whose directory alone is searched for an entry. Bytes that are
// not a zip archive are also taken as one XML part and parsed, with the
// white space condensed and kept: a tree admitted must be no deeper and
// hold no more elements than the parse counted, must print, and what it
// prints must parse back as the same tree.
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

void ParsePrintParse(const uint8_t* data, size_t size, bool condense)
{
    KQXmlDocument doc(false);
    const KQXmlShape shape =
        KQXmlParse(reinterpret_cast<const char*>(data), size, KQ_XML_PART_BOUNDS, doc, condense);
    if (shape.verdict != KQ_XML_ADMITTED) {
        if (doc.FirstChild())
            abort();
        return;
    }
    int deepest = 0;
    uint64 elements = 0;
    TreeShape(&doc, &deepest, &elements);
    if (deepest > shape.depth || elements > shape.elements)
        abort();
    std::string printed;
    std::string unwritable;
    bool tooLarge = false;
    if (!KQXmlPrint(doc, printed, 256u << 20, &tooLarge, &unwritable)) {
        // Whatever was parsed can be written.
        if (!unwritable.empty())
            abort();
        return;
    }
    // Escapes and tabs may make the text larger than the part was.
    KQXmlBounds roomy = KQ_XML_PART_BOUNDS;
    roomy.bytes = 0xffffffffu;
    roomy.cost = ~0ull;
    KQXmlDocument again(false);
    if (KQXmlParse(printed.c_str(), printed.size(), roomy, again, condense).verdict != KQ_XML_ADMITTED ||
        !KQXmlSameTree(doc, again))
        abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 0xffffffffu)
        return 0;
    if (size < 2 || data[0] != 'P' || data[1] != 'K') {
        ParsePrintParse(data, size, true);
        ParsePrintParse(data, size, false);
    }
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
