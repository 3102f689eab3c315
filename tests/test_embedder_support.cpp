#include "test_embedder_support.h"

#include <zip.h>

#include <tinyxml.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>

#include "KQTestInputWriter.h"

namespace fs = std::filesystem;

namespace kqtest {

const char* const kViewerClassId = "{5C2E9A41-7B3D-4F08-9E6A-2D71C0B4F853}";
const char* const kOtherClassId = "{8BD21D10-EC42-11CE-9E0D-00AA006002F3}";

namespace {

const std::string kNothing;

std::string Lower(std::string s)
{
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string Escape(const std::string& s)
{
    std::string out;
    for (char c : s) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

const char* const kRelsHead = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n"
                              "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">";
const char* const kRelsTail = "</Relationships>";
const char* const kRelBase = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/";

std::string Rel(const std::string& id, const std::string& type, const std::string& target)
{
    return "<Relationship Id=\"" + id + "\" Type=\"" + kRelBase + type + "\" Target=\"" + target + "\"/>";
}

// The parts every package of the two kinds has, with slides (or a document
// body) that hold one control each.
Package MakePackage(bool presentation, const std::vector<Control>& controls)
{
    const std::string root = presentation ? "ppt" : "word";
    Package p;
    std::string types =
        "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n"
        "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\">"
        "<Default Extension=\"rels\" ContentType=\"application/vnd.openxmlformats-package.relationships+xml\"/>"
        "<Default Extension=\"xml\" ContentType=\"application/xml\"/>"
        "<Default Extension=\"bin\" ContentType=\"application/vnd.ms-office.activeX\"/>";
    if (presentation)
        types += "<Override PartName=\"/ppt/presentation.xml\" "
                 "ContentType=\"application/vnd.openxmlformats-officedocument.presentationml.presentation.main+xml\"/>";
    else
        types += "<Override PartName=\"/word/document.xml\" "
                 "ContentType=\"application/vnd.openxmlformats-officedocument.wordprocessingml.document.main+xml\"/>";
    for (size_t i = 0; i < controls.size(); ++i) {
        std::string n = std::to_string(i + 1);
        types += "<Override PartName=\"/" + root + "/activeX/activeX" + n +
                 ".xml\" ContentType=\"application/vnd.ms-office.activeX+xml\"/>";
        if (presentation)
            types += "<Override PartName=\"/ppt/slides/slide" + n +
                     ".xml\" ContentType=\"application/vnd.openxmlformats-officedocument.presentationml.slide+xml\"/>";
    }
    types += "</Types>";
    p.Set("[Content_Types].xml", types);

    p.Set("_rels/.rels",
          std::string(kRelsHead) +
              Rel("rId1", "officeDocument", presentation ? "ppt/presentation.xml" : "word/document.xml") + kRelsTail);

    std::string mainRels = kRelsHead;
    std::string body;
    for (size_t i = 0; i < controls.size(); ++i) {
        std::string n = std::to_string(i + 1);
        std::string control = "activeX/activeX" + n + ".xml";
        if (presentation) {
            mainRels += Rel("rId" + n, "slide", "slides/slide" + n + ".xml");
            body += "<p:sldId id=\"" + std::to_string(255 + i + 1) + "\" r:id=\"rId" + n + "\"/>";
            p.Set("ppt/slides/slide" + n + ".xml",
                  "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n"
                  "<p:sld xmlns:p=\"http://schemas.openxmlformats.org/presentationml/2006/main\" "
                  "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\">"
                  "<p:cSld><p:controls><p:control name=\"Viewer" +
                      n + "\" r:id=\"rId2\"/></p:controls></p:cSld></p:sld>");
            p.Set("ppt/slides/_rels/slide" + n + ".xml.rels",
                  std::string(kRelsHead) + Rel("rId2", "control", "../" + control) + kRelsTail);
        } else {
            mainRels += Rel("rId" + std::to_string(i + 10), "control", control);
            body += "<w:p><w:r><w:object><w:control r:id=\"rId" + std::to_string(i + 10) + "\" w:name=\"Viewer" + n +
                    "\"/></w:object></w:r></w:p>";
        }
        p.Set(root + "/" + control, ControlXml(controls[i]));
        p.Set(root + "/activeX/_rels/activeX" + n + ".xml.rels",
              std::string(kRelsHead) +
                  "<Relationship Id=\"rId1\" "
                  "Type=\"http://schemas.microsoft.com/office/2006/relationships/activeXControlBinary\" "
                  "Target=\"activeX" +
                  n + ".bin\"/>" + kRelsTail);
        p.Set(root + "/activeX/activeX" + n + ".bin", std::string("\x7b\x2c\x00\x01binary control data\xff", 24));
    }
    mainRels += kRelsTail;
    if (presentation) {
        p.Set("ppt/presentation.xml",
              "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n"
              "<p:presentation xmlns:p=\"http://schemas.openxmlformats.org/presentationml/2006/main\" "
              "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\">"
              "<p:sldIdLst>" +
                  body + "</p:sldIdLst></p:presentation>");
        p.Set("ppt/_rels/presentation.xml.rels", mainRels);
    } else {
        p.Set("word/document.xml",
              "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n"
              "<w:document xmlns:w=\"http://schemas.openxmlformats.org/wordprocessingml/2006/main\" "
              "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\">"
              "<w:body>" +
                  body + "</w:body></w:document>");
        p.Set("word/_rels/document.xml.rels", mainRels);
    }
    return p;
}

bool ParseXml(const std::string& text, TiXmlDocument& doc)
{
    doc.Parse(text.c_str());
    return !doc.Error() && doc.RootElement();
}

std::string Attr(const TiXmlElement* e, const char* name)
{
    const char* v = e->Attribute(name);
    return v ? v : "";
}

std::string Folder(const std::string& name)
{
    size_t slash = name.rfind('/');
    return slash == std::string::npos ? std::string() : name.substr(0, slash);
}

// The part a relative Target names, seen from the folder of the source part.
std::string ResolveTarget(const std::string& folder, const std::string& target)
{
    std::vector<std::string> parts;
    std::string path = target;
    if (!path.empty() && path[0] == '/')
        path = path.substr(1);
    else if (!folder.empty())
        path = folder + "/" + path;
    std::stringstream in(path);
    std::string piece;
    while (std::getline(in, piece, '/')) {
        if (piece.empty() || piece == ".")
            continue;
        if (piece == "..") {
            if (!parts.empty())
                parts.pop_back();
            continue;
        }
        parts.push_back(piece);
    }
    std::string out;
    for (const std::string& s : parts)
        out += (out.empty() ? "" : "/") + s;
    return out;
}

}  // namespace

bool Package::Has(const std::string& name) const
{
    for (const auto& e : entries)
        if (e.first == name)
            return true;
    return false;
}

const std::string& Package::Get(const std::string& name) const
{
    for (const auto& e : entries)
        if (e.first == name)
            return e.second;
    return kNothing;
}

void Package::Set(const std::string& name, const std::string& data)
{
    for (auto& e : entries)
        if (e.first == name) {
            e.second = data;
            return;
        }
    entries.emplace_back(name, data);
}

void Package::Remove(const std::string& name)
{
    entries.erase(std::remove_if(entries.begin(), entries.end(),
                                 [&](const std::pair<std::string, std::string>& e) { return e.first == name; }),
                  entries.end());
}

std::vector<std::string> Package::Names() const
{
    std::vector<std::string> names;
    for (const auto& e : entries)
        names.push_back(e.first);
    return names;
}

Control Viewer(const std::string& fileURL)
{
    return Control{kViewerClassId, {{"_Version", "65536"}, {"FileURL", fileURL}, {"ShowToolbar", "1"}}};
}

Control OtherControl(const std::string& fileURL)
{
    return Control{kOtherClassId, {{"_Version", "65536"}, {"FileURL", fileURL}}};
}

std::string ControlXml(const Control& control)
{
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\"?>\r\n"
                      "<ax:ocx ax:classid=\"" +
                      Escape(control.classId) +
                      "\" ax:persistence=\"persistPropertyBag\" "
                      "xmlns:ax=\"http://schemas.microsoft.com/office/2006/activeX\" "
                      "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\">";
    for (const auto& prop : control.properties)
        xml += "<ax:ocxPr ax:name=\"" + Escape(prop.first) + "\" ax:value=\"" + Escape(prop.second) + "\"/>";
    xml += "</ax:ocx>";
    return xml;
}

Package MakePresentation(const std::vector<Control>& controls)
{
    return MakePackage(true, controls);
}

Package MakeDocument(const std::vector<Control>& controls)
{
    return MakePackage(false, controls);
}

bool WritePackage(const std::string& path, const Package& package)
{
    return kqinput::WriteZip(path, package.entries);
}

Package ReadPackage(const std::string& path)
{
    Package p;
    int error = 0;
    zip_t* za = zip_open(path.c_str(), ZIP_RDONLY, &error);
    if (!za)
        return p;
    zip_int64_t n = zip_get_num_entries(za, 0);
    for (zip_int64_t i = 0; i < n; ++i) {
        zip_stat_t st;
        if (zip_stat_index(za, i, 0, &st) != 0)
            continue;
        std::string data(static_cast<size_t>(st.size), '\0');
        zip_file_t* f = zip_fopen_index(za, i, 0);
        if (f) {
            zip_int64_t got = data.empty() ? 0 : zip_fread(f, &data[0], data.size());
            if (got < 0)
                data.clear();
            zip_fclose(f);
        }
        p.entries.emplace_back(st.name, data);
    }
    zip_discard(za);
    return p;
}

std::string ReadFileBytes(const std::string& path)
{
    return kqinput::ReadFile<std::string>(path);
}

bool WriteFileBytes(const std::string& path, const std::string& bytes)
{
    return kqinput::WriteFile(path, bytes);
}

bool FileExists(const std::string& path)
{
    std::error_code ec;
    return fs::exists(path, ec);
}

std::string CheckPackage(const Package& package)
{
    std::ostringstream problems;
    if (package.entries.empty())
        return "no entries";
    std::set<std::string> names;
    for (const auto& e : package.entries) {
        if (e.first.find('\\') != std::string::npos)
            problems << "name with a backslash: " << e.first << "\n";
        if (!names.insert(Lower(e.first)).second)
            problems << "duplicate entry: " << e.first << "\n";
    }

    TiXmlDocument types;
    if (!ParseXml(package.Get("[Content_Types].xml"), types))
        return "no readable [Content_Types].xml\n";
    std::set<std::string> defaults, overrides;
    for (TiXmlElement* e = types.RootElement()->FirstChildElement(); e; e = e->NextSiblingElement()) {
        std::string kind = e->Value();
        if (Attr(e, "ContentType").empty())
            problems << kind << " without ContentType\n";
        if (kind == "Default")
            defaults.insert(Lower(Attr(e, "Extension")));
        else if (kind == "Override")
            overrides.insert(Lower(Attr(e, "PartName")));
    }
    for (const auto& e : package.entries) {
        if (e.first == "[Content_Types].xml")
            continue;
        size_t dot = e.first.rfind('.');
        std::string ext = dot == std::string::npos ? std::string() : Lower(e.first.substr(dot + 1));
        if (!overrides.count(Lower("/" + e.first)) && !defaults.count(ext))
            problems << "no content type: " << e.first << "\n";
    }

    for (const auto& e : package.entries) {
        const std::string& name = e.first;
        if (name.size() < 5 || name.compare(name.size() - 5, 5, ".rels") != 0)
            continue;
        TiXmlDocument rels;
        if (!ParseXml(e.second, rels)) {
            problems << "unreadable relationships part: " << name << "\n";
            continue;
        }
        // X/_rels/Y.rels describes X/Y; Targets are relative to X.
        std::string sourceFolder = Folder(Folder(name));
        std::set<std::string> ids;
        for (TiXmlElement* r = rels.RootElement()->FirstChildElement("Relationship"); r;
             r = r->NextSiblingElement("Relationship")) {
            std::string id = Attr(r, "Id");
            if (id.empty() || !ids.insert(id).second)
                problems << name << ": duplicate or empty Id '" << id << "'\n";
            if (Attr(r, "TargetMode") == "External")
                continue;
            std::string target = ResolveTarget(sourceFolder, Attr(r, "Target"));
            if (!names.count(Lower(target)))
                problems << name << ": " << id << " names missing " << target << "\n";
        }
    }
    return problems.str();
}

std::vector<std::string> ViewerFileURLs(const Package& package, const std::string& root)
{
    std::vector<std::string> urls;
    const std::string folder = root + "/activeX/";
    // Rewritten parts move to the end of the archive: go by control number.
    std::vector<std::pair<std::string, std::string>> parts = package.entries;
    std::sort(parts.begin(), parts.end(),
              [](const std::pair<std::string, std::string>& a, const std::pair<std::string, std::string>& b) {
                  return a.first.size() != b.first.size() ? a.first.size() < b.first.size() : a.first < b.first;
              });
    for (const auto& e : parts) {
        if (e.first.compare(0, folder.size(), folder) != 0)
            continue;
        TiXmlDocument doc;
        if (!ParseXml(e.second, doc) || Attr(doc.RootElement(), "ax:classid") != kViewerClassId)
            continue;
        for (TiXmlElement* p = doc.RootElement()->FirstChildElement("ax:ocxPr"); p; p = p->NextSiblingElement()) {
            if (Attr(p, "ax:name") == "FileURL") {
                urls.push_back(Attr(p, "ax:value"));
                break;
            }
        }
    }
    return urls;
}

std::vector<Relationship> Relationships(const Package& package, const std::string& part)
{
    std::vector<Relationship> out;
    TiXmlDocument doc;
    if (!ParseXml(package.Get(part), doc))
        return out;
    for (TiXmlElement* r = doc.RootElement()->FirstChildElement("Relationship"); r;
         r = r->NextSiblingElement("Relationship"))
        out.push_back(Relationship{Attr(r, "Id"), Attr(r, "Type"), Attr(r, "Target")});
    return out;
}

std::vector<std::pair<std::string, std::string>> ReferenceList(const Package& package, const std::string& root)
{
    std::vector<std::pair<std::string, std::string>> out;
    TiXmlDocument doc;
    if (!ParseXml(package.Get(root + "/kqfxFiles/kqfxReferenceIds.xml"), doc))
        return out;
    for (TiXmlElement* e = doc.RootElement()->FirstChildElement("kqfxPath"); e; e = e->NextSiblingElement())
        out.emplace_back(Attr(e, "rId"), Attr(e, "originalPath"));
    return out;
}

int CountContentTypes(const Package& package, const std::string& attribute, const std::string& value)
{
    TiXmlDocument doc;
    if (!ParseXml(package.Get("[Content_Types].xml"), doc))
        return 0;
    int n = 0;
    for (TiXmlElement* e = doc.RootElement()->FirstChildElement(); e; e = e->NextSiblingElement())
        if (Attr(e, attribute.c_str()) == value)
            ++n;
    return n;
}

std::string ScratchFolder(const std::string& name)
{
    fs::path dir = fs::current_path() / "embedder_scratch" / name;
    std::error_code ec;
    fs::remove_all(dir, ec);
    fs::create_directories(dir);
    return dir.string();
}

std::string AbsolutePath(const std::string& path)
{
    return fs::absolute(path).lexically_normal().string();
}

namespace {

uint32_t Crc32(const std::string& data)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char c : data) {
        crc ^= c;
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

}  // namespace

std::string StoredZip(const std::vector<std::pair<std::string, std::string>>& entries, bool zip64)
{
    const uint32_t kAll = 0xFFFFFFFFu;
    kqinput::Bytes out, directory;
    for (const auto& e : entries) {
        const uint64_t offset = out.size(), size = e.second.size();
        kqinput::StoredRecord r;
        r.name = e.first;
        r.madeBy = r.needed = zip64 ? 45 : 20;
        r.crc = Crc32(e.second);
        r.size = zip64 ? kAll : static_cast<uint32_t>(size);
        r.offset = zip64 ? kAll : static_cast<uint32_t>(offset);
        kqinput::PutLocalHeader(out, r, zip64 ? kqinput::Zip64Extra({size, size}) : kqinput::Bytes());
        out.insert(out.end(), e.second.begin(), e.second.end());
        kqinput::PutDirectoryRecord(directory, r, zip64 ? kqinput::Zip64Extra({size, size, offset}) : kqinput::Bytes());
    }
    const uint64_t directoryAt = out.size(), count = entries.size();
    out.insert(out.end(), directory.begin(), directory.end());
    if (zip64) {
        kqinput::PutZip64End(out, count, directory.size(), directoryAt);
        kqinput::PutZip64Locator(out, directoryAt + directory.size());
    }
    kqinput::PutZipEnd(out, zip64 ? 0xFFFF : static_cast<uint16_t>(count),
                       zip64 ? kAll : static_cast<uint32_t>(directory.size()),
                       zip64 ? kAll : static_cast<uint32_t>(directoryAt));
    return std::string(out.begin(), out.end());
}

std::string ModelFile(const std::string& content)
{
    static const kqinput::Bytes jpeg = kqinput::EncodeJpeg(kqinput::Picture(16, 8), 16, 8);
    return StoredZip({{"Case001/Snapshot.jpeg", std::string(jpeg.begin(), jpeg.end())}, {"Case001/Case.dat", content}});
}

std::string ModelBytes(int seed, size_t size)
{
    std::string bytes(size, '\0');
    unsigned state = 2463534242u + static_cast<unsigned>(seed) * 7919u;
    for (size_t i = 0; i < size; ++i) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        bytes[i] = static_cast<char>(state & 0xFF);
    }
    return ModelFile(bytes);
}

}  // namespace kqtest
