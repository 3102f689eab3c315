// Writes Corvessa's example packages and model files, and shows what a
// package holds.
//
//   corvessa_examples write <folder>      talk.pptx, docs/report.docx,
//                                         wing.kqfx and models/rotor.kqfx
//   corvessa_examples absolute <folder>   absolute.pptx, whose controls name
//                                         the model files in <folder> by
//                                         absolute paths (so it is made where
//                                         it is used, never shipped)
//   corvessa_examples lookalike <folder>  lookalike.pptx, whose control names
//                                         a model outside the ANSI code page
//                                         (model + U+0101), and model_.kqfx,
//                                         the look-alike an 8-bit reading
//                                         makes of that name
//   corvessa_examples ansi <folder>       ansi.pptx, whose control names
//                                         "Bob<U+2019>s rotor.kqfx", which
//                                         Windows-1252 holds; bob.kqfx, to
//                                         be renamed to that name by the
//                                         caller, and "Bob_s rotor.kqfx",
//                                         the look-alike with '_'
//   corvessa_examples show <package>      entries, control FileURLs and the
//                                         reference list
//
// The files are written with fixed time stamps, so the same libraries give
// the same bytes.
#include <zip.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "KQTestInputWriter.h"

namespace fs = std::filesystem;

namespace {

typedef std::vector<std::pair<std::string, std::string>> Entries;

const char* const kViewerClassId = "{5C2E9A41-7B3D-4F08-9E6A-2D71C0B4F853}";
// Windows Media Player's control: an ActiveX control that is not the viewer.
const char* const kPlayerClassId = "{6BF52A52-394A-11D3-B153-00C04F79FAA6}";
const time_t kStamp = 1262347200;  // 2010-01-01 12:00 UTC

bool WriteZip(const std::string& path, const Entries& entries)
{
    kqinput::ZipSettings settings;
    settings.stamp = kStamp;
    return kqinput::WriteZip(path, entries, settings);
}

// A small 3-component JPEG: a colour gradient in the model's own hue.
std::string Snapshot(int hue)
{
    const int width = 96, height = 64;
    kqinput::Bytes rgb(width * height * 3);
    for (int y = 0; y < height; ++y) {
        unsigned char* row = &rgb[y * width * 3];
        for (int x = 0; x < width; ++x) {
            row[x * 3 + 0] = static_cast<unsigned char>(hue == 0 ? 200 : x * 2);
            row[x * 3 + 1] = static_cast<unsigned char>(y * 3);
            row[x * 3 + 2] = static_cast<unsigned char>(hue == 0 ? x * 2 : 200);
        }
    }
    kqinput::Bytes jpeg = kqinput::EncodeJpeg(rgb, width, height, 85);
    return std::string(jpeg.begin(), jpeg.end());
}

bool WriteModel(const std::string& path, const std::string& caseName, int hue)
{
    return WriteZip(path, {{"Case001/Snapshot.jpeg", Snapshot(hue)},
                           {"Case001/Case.txt", "Example model case \"" + caseName + "\" for Corvessa.\r\n"}});
}

const char* const kXmlHead = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n";
const char* const kRelNs = "http://schemas.openxmlformats.org/package/2006/relationships";
const char* const kOfficeRel = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/";

std::string Rel(const std::string& id, const std::string& type, const std::string& target)
{
    return "<Relationship Id=\"" + id + "\" Type=\"" + kOfficeRel + type + "\" Target=\"" + target + "\"/>";
}

std::string Rels(const std::string& body)
{
    return std::string(kXmlHead) + "<Relationships xmlns=\"" + kRelNs + "\">" + body + "</Relationships>";
}

std::string Escape(const std::string& s)
{
    std::string out;
    for (char c : s) {
        if (c == '&')
            out += "&amp;";
        else if (c == '"')
            out += "&quot;";
        else if (c == '<')
            out += "&lt;";
        else
            out += c;
    }
    return out;
}

struct Control {
    std::string classId, property, value;
};

std::string ControlPart(const Control& c)
{
    return std::string("<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\"?>\r\n") + "<ax:ocx ax:classid=\"" +
           c.classId +
           "\" ax:persistence=\"persistPropertyBag\" xmlns:ax=\"http://schemas.microsoft.com/office/2006/activeX\" "
           "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\">"
           "<ax:ocxPr ax:name=\"_Version\" ax:value=\"65536\"/>"
           "<ax:ocxPr ax:name=\"_ExtentX\" ax:value=\"12700\"/>"
           "<ax:ocxPr ax:name=\"_ExtentY\" ax:value=\"8467\"/>"
           "<ax:ocxPr ax:name=\"" +
           c.property + "\" ax:value=\"" + Escape(c.value) +
           "\"/>"
           "</ax:ocx>";
}

// The parts of each control: its property part, that part's relationships
// and the persisted binary stream.
void AddControl(Entries& e, const std::string& root, int n, const Control& c)
{
    std::string name = root + "/activeX/activeX" + std::to_string(n);
    e.emplace_back(name + ".xml", ControlPart(c));
    e.emplace_back(root + "/activeX/_rels/activeX" + std::to_string(n) + ".xml.rels",
                   Rels("<Relationship Id=\"rId1\" Type=\"http://schemas.microsoft.com/office/2006/relationships/"
                        "activeXControlBinary\" Target=\"activeX" +
                        std::to_string(n) + ".bin\"/>"));
    std::string bin("\x00\x00\x00\x00\x10\x00\x00\x00", 8);
    bin += "persisted control stream";
    e.emplace_back(name + ".bin", bin);
}

std::string ContentTypes(const std::string& overrides)
{
    return std::string(kXmlHead) +
           "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\">"
           "<Default Extension=\"rels\" ContentType=\"application/vnd.openxmlformats-package.relationships+xml\"/>"
           "<Default Extension=\"xml\" ContentType=\"application/xml\"/>"
           "<Default Extension=\"bin\" ContentType=\"application/vnd.ms-office.activeX\"/>" +
           overrides + "</Types>";
}

std::string Override(const std::string& part, const std::string& type)
{
    return "<Override PartName=\"/" + part + "\" ContentType=\"" + type + "\"/>";
}

Entries Presentation(const std::vector<Control>& controls)
{
    const std::string ns = "xmlns:a=\"http://schemas.openxmlformats.org/drawingml/2006/main\" "
                           "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\" "
                           "xmlns:p=\"http://schemas.openxmlformats.org/presentationml/2006/main\"";
    std::string overrides = Override(
        "ppt/presentation.xml", "application/vnd.openxmlformats-officedocument.presentationml.presentation.main+xml");
    Entries slides;
    std::string slideIds, presRels;
    for (size_t i = 0; i < controls.size(); ++i) {
        std::string n = std::to_string(i + 1);
        overrides += Override("ppt/slides/slide" + n + ".xml",
                              "application/vnd.openxmlformats-officedocument.presentationml.slide+xml");
        overrides += Override("ppt/activeX/activeX" + n + ".xml", "application/vnd.ms-office.activeX+xml");
        slideIds += "<p:sldId id=\"" + std::to_string(256 + i) + "\" r:id=\"rId" + n + "\"/>";
        presRels += Rel("rId" + n, "slide", "slides/slide" + n + ".xml");
        slides.emplace_back(
            "ppt/slides/slide" + n + ".xml",
            std::string(kXmlHead) + "<p:sld " + ns +
                "><p:cSld><p:spTree>"
                "<p:nvGrpSpPr><p:cNvPr id=\"1\" name=\"\"/><p:cNvGrpSpPr/><p:nvPr/></p:nvGrpSpPr><p:grpSpPr/>"
                "</p:spTree><p:controls><p:control spid=\"1025\" name=\"Control" +
                n + "\" r:id=\"rId2\" imgW=\"4572000\" imgH=\"3048000\"/></p:controls></p:cSld></p:sld>");
        slides.emplace_back("ppt/slides/_rels/slide" + n + ".xml.rels",
                            Rels(Rel("rId2", "control", "../activeX/activeX" + n + ".xml")));
    }
    Entries e;
    e.emplace_back("[Content_Types].xml", ContentTypes(overrides));
    e.emplace_back("_rels/.rels", Rels(Rel("rId1", "officeDocument", "ppt/presentation.xml")));
    e.emplace_back("ppt/presentation.xml",
                   std::string(kXmlHead) + "<p:presentation " + ns + "><p:sldIdLst>" + slideIds +
                       "</p:sldIdLst><p:sldSz cx=\"9144000\" cy=\"6858000\" type=\"screen4x3\"/>"
                       "<p:notesSz cx=\"6858000\" cy=\"9144000\"/></p:presentation>");
    e.emplace_back("ppt/_rels/presentation.xml.rels", Rels(presRels));
    e.insert(e.end(), slides.begin(), slides.end());
    for (size_t i = 0; i < controls.size(); ++i)
        AddControl(e, "ppt", static_cast<int>(i + 1), controls[i]);
    return e;
}

Entries Document(const std::vector<Control>& controls)
{
    std::string overrides = Override(
        "word/document.xml", "application/vnd.openxmlformats-officedocument.wordprocessingml.document.main+xml");
    std::string body, docRels;
    for (size_t i = 0; i < controls.size(); ++i) {
        std::string n = std::to_string(i + 1);
        std::string id = "rId" + std::to_string(i + 10);
        overrides += Override("word/activeX/activeX" + n + ".xml", "application/vnd.ms-office.activeX+xml");
        docRels += Rel(id, "control", "activeX/activeX" + n + ".xml");
        body += "<w:p><w:r><w:t>Model " + n +
                ":</w:t></w:r></w:p><w:p><w:r><w:object>"
                "<w:control r:id=\"" +
                id + "\" w:name=\"Viewer" + n + "\"/></w:object></w:r></w:p>";
    }
    Entries e;
    e.emplace_back("[Content_Types].xml", ContentTypes(overrides));
    e.emplace_back("_rels/.rels", Rels(Rel("rId1", "officeDocument", "word/document.xml")));
    e.emplace_back("word/document.xml",
                   std::string(kXmlHead) +
                       "<w:document xmlns:w=\"http://schemas.openxmlformats.org/wordprocessingml/2006/main\" "
                       "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\"><w:body>" +
                       body + "</w:body></w:document>");
    e.emplace_back("word/_rels/document.xml.rels", Rels(docRels));
    for (size_t i = 0; i < controls.size(); ++i)
        AddControl(e, "word", static_cast<int>(i + 1), controls[i]);
    return e;
}

Control Viewer(const std::string& url)
{
    return Control{kViewerClassId, "FileURL", url};
}

int WriteExamples(const fs::path& folder)
{
    std::error_code ec;
    fs::create_directories(folder / "models", ec);
    fs::create_directories(folder / "docs", ec);
    bool ok = WriteModel((folder / "wing.kqfx").string(), "wing", 0) &&
              WriteModel((folder / "models" / "rotor.kqfx").string(), "rotor", 1);
    // A bare name and "./" resolve against the package's folder; two slides
    // share one file; the media player's URL is not the viewer's.
    ok = ok && WriteZip((folder / "talk.pptx").string(),
                        Presentation({Viewer("wing.kqfx"), Viewer("./models/rotor.kqfx"), Viewer("wing.kqfx"),
                                      Control{kPlayerClassId, "URL", "intro.wmv"}}));
    ok = ok && WriteZip((folder / "docs" / "report.docx").string(),
                        Document({Viewer("../wing.kqfx"), Viewer("../models/rotor.kqfx")}));
    return ok ? 0 : 1;
}

int WriteAbsolute(const fs::path& folder)
{
    fs::path base = fs::absolute(folder).lexically_normal();
    std::string wing = (base / "wing.kqfx").string();
    // The rotor in the Windows spelling, with backslashes.
    std::string rotor = (base / "models" / "rotor.kqfx").string();
    for (char& c : rotor)
        if (c == '/')
            c = '\\';
    return WriteZip((base / "absolute.pptx").string(), Presentation({Viewer(wing), Viewer(rotor)})) ? 0 : 1;
}

int WriteLookAlike(const fs::path& folder)
{
    bool ok = WriteModel((folder / "model_.kqfx").string(), "look-alike", 0) &&
              WriteZip((folder / "lookalike.pptx").string(), Presentation({Viewer("model\xC4\x81.kqfx")}));
    return ok ? 0 : 1;
}

int WriteAnsiName(const fs::path& folder)
{
    bool ok = WriteModel((folder / "bob.kqfx").string(), "exact", 0) &&
              WriteModel((folder / "Bob_s rotor.kqfx").string(), "look-alike", 1) &&
              WriteZip((folder / "ansi.pptx").string(), Presentation({Viewer("Bob\xE2\x80\x99s rotor.kqfx")}));
    return ok ? 0 : 1;
}

int Show(const std::string& path)
{
    int error = 0;
    zip_t* za = zip_open(path.c_str(), ZIP_RDONLY, &error);
    if (!za) {
        std::printf("%s: not a zip archive\n", path.c_str());
        return 1;
    }
    std::printf("%s:\n", path.c_str());
    std::string list;
    std::vector<std::pair<std::string, std::string>> controls;
    zip_int64_t n = zip_get_num_entries(za, 0);
    for (zip_int64_t i = 0; i < n; ++i) {
        zip_stat_t st;
        if (zip_stat_index(za, static_cast<zip_uint64_t>(i), 0, &st) != 0)
            continue;
        std::printf("  %10llu  %s\n", static_cast<unsigned long long>(st.size), st.name);
        std::string name = st.name;
        bool isList = name.find("kqfxReferenceIds.xml") != std::string::npos;
        bool isControl = name.find("/activeX/activeX") != std::string::npos && name.size() > 4 &&
                         name.compare(name.size() - 4, 4, ".xml") == 0;
        if (!isList && !isControl)
            continue;
        std::string data(static_cast<size_t>(st.size), '\0');
        zip_file_t* f = zip_fopen_index(za, static_cast<zip_uint64_t>(i), 0);
        if (f) {
            if (!data.empty())
                zip_fread(f, &data[0], data.size());
            zip_fclose(f);
        }
        if (isList) {
            list = data;
        } else {
            size_t at = data.find("ax:name=\"FileURL\" ax:value=\"");
            if (at != std::string::npos) {
                at += std::strlen("ax:name=\"FileURL\" ax:value=\"");
                controls.emplace_back(name, data.substr(at, data.find('"', at) - at));
            }
        }
    }
    zip_discard(za);
    std::printf("Viewer FileURLs:\n");
    for (const auto& c : controls)
        std::printf("  %s: %s\n", c.first.c_str(), c.second.c_str());
    if (!list.empty())
        std::printf("Reference list:\n%s\n", list.c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && std::strcmp(argv[1], "write") == 0)
        return WriteExamples(argv[2]);
    if (argc == 3 && std::strcmp(argv[1], "absolute") == 0)
        return WriteAbsolute(argv[2]);
    if (argc == 3 && std::strcmp(argv[1], "lookalike") == 0)
        return WriteLookAlike(argv[2]);
    if (argc == 3 && std::strcmp(argv[1], "ansi") == 0)
        return WriteAnsiName(argv[2]);
    if (argc == 3 && std::strcmp(argv[1], "show") == 0)
        return Show(argv[2]);
    std::fprintf(stderr, "usage: %s write|absolute|lookalike|ansi <folder> | show <package>\n", argv[0]);
    return 2;
}
