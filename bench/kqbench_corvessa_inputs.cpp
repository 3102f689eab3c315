// Inputs of the Corvessa benchmark:
//   kqbench_corvessa_inputs <folder>
// writes <folder>/models/model01.kqfx .. model10.kqfx (10 MB each, bytes that
// do not compress, like the zip containers that real model files are) and
// <folder>/presentation.pptx, a presentation with one slide's worth of ten
// viewer controls that name the model files by absolute path.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "KQThumbExampleWriter.h"

namespace {

namespace fs = std::filesystem;

const int kModels = 10;
const size_t kModelBytes = 10u * 1024u * 1024u;
const char* kViewerClassId = "{5C2E9A41-7B3D-4F08-9E6A-2D71C0B4F853}";
const char* kXmlDeclaration = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n";

bool WriteModel(const fs::path& path, uint64_t seed)
{
    std::vector<uint64_t> words(kModelBytes / sizeof(uint64_t));
    uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
    for (uint64_t& w : words) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        w = x;
    }
    return kqexample::WriteFile(path, words.data(), words.size() * sizeof(uint64_t));
}

bool WritePresentation(const fs::path& path, const std::vector<std::string>& models)
{
    const std::string rels = "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">";
    std::string types = std::string(kXmlDeclaration) +
        "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\">"
        "<Default Extension=\"rels\" ContentType=\"application/vnd.openxmlformats-package.relationships+xml\"/>"
        "<Default Extension=\"xml\" ContentType=\"application/xml\"/>"
        "<Default Extension=\"bin\" ContentType=\"application/vnd.ms-office.activeX\"/>"
        "<Override PartName=\"/ppt/presentation.xml\" "
        "ContentType=\"application/vnd.openxmlformats-officedocument.presentationml.presentation.main+xml\"/>"
        "<Override PartName=\"/ppt/slides/slide1.xml\" "
        "ContentType=\"application/vnd.openxmlformats-officedocument.presentationml.slide+xml\"/>";
    std::string slideRels = std::string(kXmlDeclaration) + rels;
    std::vector<std::pair<std::string, std::string>> entries;
    for (size_t i = 0; i < models.size(); ++i) {
        const std::string n = std::to_string(i + 1);
        types += "<Override PartName=\"/ppt/activeX/activeX" + n +
                 ".xml\" ContentType=\"application/vnd.ms-office.activeX+xml\"/>";
        slideRels += "<Relationship Id=\"rId" + n +
                     "\" Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/control\" "
                     "Target=\"../activeX/activeX" + n + ".xml\"/>";
        entries.emplace_back("ppt/activeX/activeX" + n + ".xml",
                             std::string(kXmlDeclaration) + "<ax:ocx ax:classid=\"" + kViewerClassId +
                                 "\" ax:persistence=\"persistPropertyBag\" "
                                 "xmlns:ax=\"http://schemas.microsoft.com/office/2006/activeX\" "
                                 "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\">"
                                 "<ax:ocxPr ax:name=\"FileURL\" ax:value=\"" + models[i] + "\"/>"
                                 "<ax:ocxPr ax:name=\"Toolbar\" ax:value=\"1\"/></ax:ocx>");
        entries.emplace_back("ppt/activeX/activeX" + n + ".bin", std::string(64, '\0'));
        entries.emplace_back("ppt/activeX/_rels/activeX" + n + ".xml.rels",
                             std::string(kXmlDeclaration) + rels +
                                 "<Relationship Id=\"rId1\" "
                                 "Type=\"http://schemas.microsoft.com/office/2006/relationships/activeXControlBinary\" "
                                 "Target=\"activeX" + n + ".bin\"/></Relationships>");
    }
    types += "</Types>";
    slideRels += "</Relationships>";
    entries.emplace_back("[Content_Types].xml", types);
    entries.emplace_back("_rels/.rels",
                         std::string(kXmlDeclaration) + rels +
                             "<Relationship Id=\"rId1\" "
                             "Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/officeDocument\" "
                             "Target=\"ppt/presentation.xml\"/></Relationships>");
    entries.emplace_back("ppt/presentation.xml",
                         std::string(kXmlDeclaration) +
                             "<p:presentation xmlns:p=\"http://schemas.openxmlformats.org/presentationml/2006/main\" "
                             "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\">"
                             "<p:sldIdLst><p:sldId id=\"256\" r:id=\"rId2\"/></p:sldIdLst></p:presentation>");
    entries.emplace_back("ppt/_rels/presentation.xml.rels",
                         std::string(kXmlDeclaration) + rels +
                             "<Relationship Id=\"rId2\" "
                             "Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/slide\" "
                             "Target=\"slides/slide1.xml\"/></Relationships>");
    entries.emplace_back("ppt/slides/slide1.xml",
                         std::string(kXmlDeclaration) +
                             "<p:sld xmlns:p=\"http://schemas.openxmlformats.org/presentationml/2006/main\"><p:cSld/></p:sld>");
    entries.emplace_back("ppt/slides/_rels/slide1.xml.rels", slideRels);
    return kqexample::WriteZip(path.string(), entries);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: kqbench_corvessa_inputs <folder>\n");
        return 2;
    }
    std::error_code ec;
    const fs::path folder = fs::absolute(argv[1]);
    fs::create_directories(folder / "models", ec);
    std::vector<std::string> models;
    for (int i = 1; i <= kModels; ++i) {
        char name[32];
        std::snprintf(name, sizeof(name), "model%02d.kqfx", i);
        const fs::path model = folder / "models" / name;
        if (!WriteModel(model, static_cast<uint64_t>(i))) {
            std::fprintf(stderr, "cannot write %s\n", model.string().c_str());
            return 1;
        }
        models.push_back(model.string());
    }
    const fs::path package = folder / "presentation.pptx";
    if (!WritePresentation(package, models)) {
        std::fprintf(stderr, "cannot write %s\n", package.string().c_str());
        return 1;
    }
    std::printf("%s\n", package.string().c_str());
    return 0;
}
