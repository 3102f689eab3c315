// Packages for the embedder tests: built and read back with libzip and
// TinyXML directly, so that what the tests see does not depend on the code
// under test.
#ifndef TEST_EMBEDDER_SUPPORT_H
#define TEST_EMBEDDER_SUPPORT_H

#include <string>
#include <utility>
#include <vector>

namespace kqtest {

extern const char* const kViewerClassId;
extern const char* const kOtherClassId;

// Entries in archive order; names with '/'.
struct Package {
    std::vector<std::pair<std::string, std::string>> entries;

    bool Has(const std::string& name) const;
    const std::string& Get(const std::string& name) const;  // empty when absent
    void Set(const std::string& name, const std::string& data);
    void Remove(const std::string& name);
    std::vector<std::string> Names() const;
};

struct Control {
    std::string classId;
    std::vector<std::pair<std::string, std::string>> properties;  // ax:name, ax:value
};

Control Viewer(const std::string& fileURL);
Control OtherControl(const std::string& fileURL);

// One slide (or one paragraph) per control, each with its own control part.
Package MakePresentation(const std::vector<Control>& controls);
Package MakeDocument(const std::vector<Control>& controls);
std::string ControlXml(const Control& control);

bool WritePackage(const std::string& path, const Package& package);
Package ReadPackage(const std::string& path);
std::string ReadFileBytes(const std::string& path);
bool WriteFileBytes(const std::string& path, const std::string& bytes);
bool FileExists(const std::string& path);

// Problems that keep the package from being a valid package; empty when it
// is one: every internal relationship Target names an entry, every entry has
// a content type, relationship Ids are unique per part, names use '/'.
std::string CheckPackage(const Package& package);

// The FileURL value of each viewer-control part, by control number.
std::vector<std::string> ViewerFileURLs(const Package& package, const std::string& root);
struct Relationship {
    std::string id, type, target;
};
std::vector<Relationship> Relationships(const Package& package, const std::string& part);
// (rId, originalPath) of each list entry.
std::vector<std::pair<std::string, std::string>> ReferenceList(const Package& package, const std::string& root);
// Number of Default (or Override) elements whose key attribute is value.
int CountContentTypes(const Package& package, const std::string& attribute, const std::string& value);

// A fresh, empty folder under the working folder for one test.
std::string ScratchFolder(const std::string& name);
std::string AbsolutePath(const std::string& path);
// A zip archive of stored entries, written byte by byte so that its layout
// is known; with zip64, every size and offset stands in zip64 fields and the
// directory ends in the zip64 end records, as for a container over 4 GiB.
std::string StoredZip(const std::vector<std::pair<std::string, std::string>>& entries, bool zip64 = false);
// A model file: a KQFx container whose snapshot entry is a small JPEG and
// whose case entry holds content.
std::string ModelFile(const std::string& content);
// A model file whose case entry holds size bytes that do not compress.
std::string ModelBytes(int seed, size_t size);

}  // namespace kqtest

#endif
