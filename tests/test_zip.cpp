// Zip archive: open modes, lookups, reads and writes as bytes, XML and
// images, deletion, the name flags, saving and failed saves. The archives
// are built here with libzip itself, under relative names in the working
// directory.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include <zip.h>
#include <zlib.h>

#ifdef KQ_TEST_WINDOWS
#include "KQPlatform.h"
#endif
#ifdef KQ_TEST_POSIX
#include <grp.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>
#endif

#include "KQOImage.h"
#include "KQOKeyedHash.h"
#include "KQOXml.h"
#include "KQOZipArchive.h"
#include "KQHostileInputs.h"
#include "KQOZipEntryReader.h"
#include "KQAnsiText.h"
#include "KQFileSystem.h"
#include "KQTestInputWriter.h"

namespace fs = std::filesystem;

namespace {

typedef std::vector<std::pair<std::string, std::string>> Entries;

// Stored names use '/'. Entries whose name ends in ".stored" are not
// compressed.
bool MakeZip(const std::string& path, const Entries& entries)
{
    kqinput::ZipSettings settings;
    settings.method = [](size_t, const std::string& name) {
        bool stored = name.size() > 7 && name.compare(name.size() - 7, 7, ".stored") == 0;
        return kqinput::ZipMethod{stored ? ZIP_CM_STORE : ZIP_CM_DEFLATE, stored ? 0u : 6u};
    };
    return kqinput::WriteZip(path, entries, settings);
}

std::string FileBytes(const std::string& path)
{
    return kqinput::ReadFile<std::string>(path);
}

// Writes the file back over itself, through the same file, with the byte at
// `at` flipped; true when it was all written.
bool FlipByteInPlace(const std::string& path, size_t at)
{
    std::string bytes = FileBytes(path);
    bytes[at] ^= 1;
    std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    f.close();
    return f.good();
}

struct StoredEntry {
    std::string data;
    std::string raw;  // compressed bytes as stored
    int method;
};

// Every entry of the archive by stored name, read with libzip. Empty when
// the archive does not pass libzip's consistency check.
std::map<std::string, StoredEntry> ReadZip(const std::string& path)
{
    std::map<std::string, StoredEntry> result;
    int err = 0;
    zip_t* za = zip_open(path.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &err);
    if (!za)
        return result;
    for (zip_int64_t i = 0; i < zip_get_num_entries(za, 0); ++i) {
        zip_stat_t st;
        zip_stat_index(za, i, 0, &st);
        StoredEntry entry;
        entry.method = st.comp_method;
        for (int pass = 0; pass < 2; ++pass) {
            zip_file_t* f = zip_fopen_index(za, i, pass ? ZIP_FL_COMPRESSED : 0);
            std::string& out = pass ? entry.raw : entry.data;
            char buf[4096];
            zip_int64_t n;
            while (f && (n = zip_fread(f, buf, sizeof(buf))) > 0)
                out.append(buf, static_cast<size_t>(n));
            if (f)
                zip_fclose(f);
        }
        result[st.name] = entry;
    }
    zip_discard(za);
    return result;
}

std::string Pattern(size_t n, unsigned seed)
{
    std::string s(n, '\0');
    unsigned x = seed;
    for (size_t i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        s[i] = static_cast<char>('a' + ((x >> 16) % 7));
    }
    return s;
}

std::string ReadRaw(KQZipArchive& archive, const char* name, int32* sizeOut = nullptr)
{
    int32 size = -1;
    ubyte* data = archive.ReadDataRaw(name, &size);
    if (sizeOut)
        *sizeOut = size;
    std::string s = data ? std::string(reinterpret_cast<char*>(data), static_cast<size_t>(size)) : std::string();
    free(data);
    return s;
}

std::vector<std::string> Listed(const KQStringArray& names)
{
    std::vector<std::string> v;
    for (int32 i = 0; i < names.GetCount(); ++i)
        v.push_back(names[i].CStr());
    return v;
}

std::string Message(const KQErrorBase& holder)
{
    return holder.GetError() ? holder.GetError()->message.CStr() : std::string("<no error>");
}

void ExpectError(const KQErrorBase& holder, int32 code, int32 line, const char* label, const std::string& message)
{
    ASSERT_TRUE(holder.HasError());
    KQError* e = holder.GetError();
    EXPECT_EQ(e->code, code);
    EXPECT_EQ(e->line, line);
    EXPECT_STREQ(e->functionName.CStr(), label);
    EXPECT_STREQ(e->fileName.CStr(), ".\\KQOZipArchive");
    EXPECT_EQ(std::string(e->message.CStr()), message);
}

class ExposedArchive : public KQZipArchive {
public:
    using KQZipArchive::fileName;
    using KQZipArchive::memorySource;
};

std::string MakeJpeg(int width, int height, unsigned char r, unsigned char g, unsigned char b)
{
    kqinput::Bytes rgb(static_cast<size_t>(width) * height * 3);
    for (size_t i = 0; i < rgb.size(); i += 3) {
        rgb[i] = r;
        rgb[i + 1] = g;
        rgb[i + 2] = b;
    }
    kqinput::Bytes jpeg = kqinput::EncodeJpeg(rgb, width, height, 95);
    return std::string(jpeg.begin(), jpeg.end());
}

const Entries& PackageEntries()
{
    static const Entries entries = {
        {"[Content_Types].xml", "<Types/>\n"},         {"ppt/presentation.xml", "<p:presentation/>\r\n"},
        {"ppt/activeX/activeX1.xml", "<ax:ocx/>\n"},   {"ppt/activeX/_rels/activeX1.xml.rels", "<Relationships/>\n"},
        {"ppt/slides/slide1.xml", "<p:sld/>\n"},       {"docProps/app.xml", "<Properties/>\n"},
        {"ppt/media/image1.stored", Pattern(3000, 7)},
    };
    return entries;
}

class ZipTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        path = std::string("zt_") + ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".zip";
        std::error_code ec;
        fs::remove(path, ec);
    }
    void TearDown() override
    {
        std::error_code ec;
        fs::remove(path, ec);
    }
    std::string path;
};

}  // namespace

TEST_F(ZipTest, OpenModes)
{
    ExposedArchive a;
    EXPECT_TRUE(a.IsClosed());
    EXPECT_FALSE(a.Open(path.c_str(), 0));
    ExpectError(a, 1101, 309, "KQZipArchive::Open", "File name '" + path + "'");
    EXPECT_TRUE(a.IsClosed());
    EXPECT_STREQ(a.fileName.CStr(), path.c_str());
    EXPECT_FALSE(a.Open(path.c_str(), 1));
    ExpectError(a, 1101, 316, "KQZipArchive::Open", "File name '" + path + "'");

    ASSERT_TRUE(a.Open(path.c_str(), 2));
    EXPECT_FALSE(a.IsClosed());
    EXPECT_FALSE(a.IsReadOnly());
    EXPECT_FALSE(a.Open(path.c_str(), 2));
    ExpectError(a, 1104, 290, "KQZipArchive::Open", "The archive is open, close it before opening.");
    EXPECT_TRUE(a.WriteDataRaw("a\\b.txt", "hello", 5));
    EXPECT_TRUE(a.Close());
    EXPECT_TRUE(a.IsClosed());
    EXPECT_TRUE(a.Close());  // closing a closed archive does nothing
    std::map<std::string, StoredEntry> stored = ReadZip(path);
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored["a/b.txt"].data, "hello");

    // A created archive reopens for update; a read-only one stays read-only.
    EXPECT_TRUE(a.Reopen());
    EXPECT_FALSE(a.IsReadOnly());
    EXPECT_TRUE(a.Close());
    ASSERT_TRUE(a.Open(path.c_str(), 1));
    EXPECT_TRUE(a.IsReadOnly());
    EXPECT_TRUE(a.Close());
    EXPECT_TRUE(a.Reopen());
    EXPECT_TRUE(a.IsReadOnly());
    EXPECT_EQ(ReadRaw(a, "a/b.txt"), "hello");
    EXPECT_TRUE(a.Close());

    EXPECT_FALSE(a.Open("   ", 0));
    ExpectError(a, 1103, 291, "KQZipArchive::Open", "");
    EXPECT_FALSE(a.Open(path.c_str(), 5));
    ExpectError(a, 1104, 340, "KQZipArchive::Open", "File still closed after opening it.");
    EXPECT_TRUE(a.IsClosed());
}

TEST_F(ZipTest, OpenOfAFileThatIsNotAnArchive)
{
    kqinput::WriteFile(path, "this is not a zip archive at all");
    KQZipArchive a;
    EXPECT_FALSE(a.Open(path.c_str(), 0));
    ExpectError(a, 1105, 336, "KQZipArchive::Open", "Error returned from file access library : Not a zip archive");
    EXPECT_TRUE(a.IsClosed());
    // Creating over it replaces it.
    ASSERT_TRUE(a.Open(path.c_str(), 2));
    EXPECT_TRUE(a.WriteDataRaw("x", "1", 1));
    EXPECT_TRUE(a.Close());
    EXPECT_EQ(ReadZip(path).size(), 1u);
}

TEST_F(ZipTest, FindFileIgnoresCaseAndSeparator)
{
    ASSERT_TRUE(MakeZip(path, PackageEntries()));
    KQZipArchive a;
    EXPECT_EQ(a.FindFile("ppt/slides/slide1.xml"), -1);
    ExpectError(a, 1104, 549, "KQZipArchive::FindFile", "Archive is not open.");

    ASSERT_TRUE(a.Open(path.c_str(), 1));
    a.ClearError();
    int32 index = a.FindFile("ppt/slides/slide1.xml");
    EXPECT_EQ(index, 4);
    EXPECT_EQ(a.FindFile("ppt\\slides\\slide1.xml"), index);
    EXPECT_EQ(a.FindFile("PPT\\SLIDES\\SLIDE1.XML"), index);
    EXPECT_EQ(a.FindFile("Ppt/Slides\\Slide1.Xml"), index);
    EXPECT_EQ(a.FindFile("ppt\\slides\\slide1.xm"), -1);
    EXPECT_EQ(a.FindFile("ppt\\slides"), -1);
    EXPECT_FALSE(a.HasError());
    EXPECT_EQ(a.FindFile(" "), -1);
    ExpectError(a, 1103, 555, "KQZipArchive::FindFile", "No such file name: ' '");
    // No hash table is ever filled.
    EXPECT_EQ(a.FindFileHash("ppt\\slides\\slide1.xml"), -1);
}

TEST_F(ZipTest, FindFilesRecursionAndPrefix)
{
    ASSERT_TRUE(MakeZip(path, PackageEntries()));
    KQZipArchive a;
    KQStringArray names;
    // A closed archive has no entries.
    EXPECT_TRUE(a.FindFiles("", true, &names));
    EXPECT_EQ(names.GetCount(), 0);
    ASSERT_TRUE(a.Open(path.c_str(), 0));

    EXPECT_TRUE(a.FindFiles("ppt\\activeX", true, &names));
    EXPECT_EQ(Listed(names),
              (std::vector<std::string>{"ppt\\activeX\\activeX1.xml", "ppt\\activeX\\_rels\\activeX1.xml.rels"}));

    // Names are appended, not replaced.
    EXPECT_TRUE(a.FindFiles("ppt\\activeX", false, &names));
    EXPECT_EQ(names.GetCount(), 3);
    EXPECT_STREQ(names[2].CStr(), "ppt\\activeX\\activeX1.xml");

    // A plain prefix: ppt\active matches the folder ppt\activeX.
    KQStringArray prefix;
    EXPECT_TRUE(a.FindFiles("ppt\\active", false, &prefix));
    EXPECT_EQ(Listed(prefix), (std::vector<std::string>{"ppt\\activeX\\activeX1.xml"}));

    // The folder is compared byte for byte.
    KQStringArray cased;
    EXPECT_TRUE(a.FindFiles("PPT\\activeX", true, &cased));
    EXPECT_EQ(cased.GetCount(), 0);

    KQStringArray top;
    EXPECT_TRUE(a.FindFiles("", false, &top));
    EXPECT_EQ(Listed(top),
              (std::vector<std::string>{"[Content_Types].xml", "ppt\\presentation.xml", "docProps\\app.xml"}));
    KQStringArray all;
    EXPECT_TRUE(a.FindFiles("", true, &all));
    EXPECT_EQ(all.GetCount(), 7);

    // Deleted entries are no longer listed.
    EXPECT_TRUE(a.Delete("ppt\\activeX\\activeX1.xml"));
    KQStringArray after;
    EXPECT_TRUE(a.FindFiles("ppt\\activeX", true, &after));
    EXPECT_EQ(Listed(after), (std::vector<std::string>{"ppt\\activeX\\_rels\\activeX1.xml.rels"}));

    EXPECT_FALSE(a.FindFiles("ppt", true, nullptr));
    ExpectError(a, 1006, 650, "KQZipArchive::FindFiles", "Array with filenames is NULL");
    a.Close();
}

TEST_F(ZipTest, ReadDataRawSizes)
{
    Entries entries = {{"small.bin", Pattern(100000, 1)},
                       {"medium.bin", Pattern(300000, 2)},
                       {"large.bin", Pattern(5000000, 3)},
                       {"empty.bin", ""}};
    ASSERT_TRUE(MakeZip(path, entries));
    KQZipArchive a;
    ASSERT_TRUE(a.Open(path.c_str(), 1));
    for (const auto& e : entries) {
        if (e.second.empty())
            continue;
        int32 size = 0;
        EXPECT_EQ(ReadRaw(a, e.first.c_str(), &size), e.second) << e.first;
        EXPECT_EQ(size, static_cast<int32>(e.second.size()));
    }
    int32 size = -1;
    ubyte* none = a.ReadDataRaw("empty.bin", &size);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(size, 0);
    EXPECT_FALSE(a.HasError());
    // size may be omitted.
    ubyte* block = a.ReadDataRaw("small.bin", nullptr);
    EXPECT_NE(block, nullptr);
    free(block);

    EXPECT_EQ(a.ReadDataRaw("absent.bin", &size), nullptr);
    ExpectError(a, 1105, 799, "KQZipArchive::ReadDataRaw",
                "Unable to read raw data from 'absent.bin', file not found.");
    EXPECT_FALSE(a.IsClosed());
    a.Close();

    // On a closed archive FindFile's error becomes the cause.
    EXPECT_EQ(a.ReadDataRaw("small.bin", &size), nullptr);
    ASSERT_NE(a.GetError()->cause, nullptr);
    EXPECT_EQ(a.GetError()->code, 1105);
    EXPECT_EQ(a.GetError()->cause->code, 1104);
}

TEST_F(ZipTest, DamagedEntryClosesTheArchive)
{
    std::string payload = Pattern(2000, 5);
    ASSERT_TRUE(MakeZip(path, {{"a.stored", payload}, {"b.txt", "b"}}));
    // Flip one byte of the stored data: the CRC no longer matches.
    std::string bytes = FileBytes(path);
    size_t at = bytes.find(payload.substr(0, 32));
    ASSERT_NE(at, std::string::npos);
    bytes[at + 100] ^= 0x01;
    kqinput::WriteFile(path, bytes);

    KQZipArchive a;
    ASSERT_TRUE(a.Open(path.c_str(), 0));
    int32 size = -1;
    EXPECT_EQ(a.ReadDataRaw("a.stored", &size), nullptr);
    EXPECT_EQ(size, 0);
    ASSERT_TRUE(a.HasError());
    EXPECT_EQ(a.GetError()->code, 1105);
    EXPECT_EQ(a.GetError()->line, 823);
    EXPECT_EQ(Message(a).rfind("Error returned from file access library : ", 0), 0u) << Message(a);
    EXPECT_TRUE(a.IsClosed());
    EXPECT_TRUE(a.Close());
    EXPECT_EQ(FileBytes(path), bytes);
}

TEST_F(ZipTest, EntriesMustEndWhereTheirHeadersSay)
{
    // Sets a 32-bit field of the entry's local and central headers.
    auto patch = [](std::string& bytes, const std::string& name, size_t local, size_t central, uint32_t value) {
        for (const char* sig : {"PK\x03\x04", "PK\x01\x02"}) {
            const bool isLocal = sig[2] == 3;
            const std::string signature(sig, 4);
            for (size_t h = bytes.find(signature); h != std::string::npos; h = bytes.find(signature, h + 4)) {
                if (bytes.compare(h + (isLocal ? 30 : 46), name.size(), name) != 0)
                    continue;
                for (size_t k = 0; k < 4; ++k)
                    bytes[h + (isLocal ? local : central) + k] = static_cast<char>(value >> (8 * k));
            }
        }
    };
    ASSERT_TRUE(MakeZip(path, {{"long.bin", Pattern(1000, 21)},
                               {"short.bin", Pattern(100, 22)},
                               {"zero.stored", Pattern(230, 23)},
                               {"empty.stored", ""},
                               {"good.bin", "good"}}));
    std::string bytes = FileBytes(path);
    patch(bytes, "long.bin", 22, 24, 100);
    patch(bytes, "short.bin", 22, 24, 1000);
    patch(bytes, "zero.stored", 22, 24, 0);
    patch(bytes, "empty.stored", 14, 16, 0x12345678);
    kqinput::WriteFile(path, bytes);

    const std::pair<const char*, const char*> damaged[] = {{"long.bin", "Zip archive inconsistent"},
                                                           {"short.bin", "Zip archive inconsistent"},
                                                           {"zero.stored", "Zip archive inconsistent"},
                                                           {"empty.stored", "CRC error"}};
    for (const auto& d : damaged) {
        SCOPED_TRACE(d.first);
        KQZipArchive a;
        ASSERT_TRUE(a.Open(path.c_str(), 1));
        int32 size = -1;
        EXPECT_EQ(a.ReadDataRaw(d.first, &size), nullptr);
        EXPECT_EQ(size, 0);
        ExpectError(a, 1105, 823, "KQZipArchive::ReadDataRaw",
                    std::string("Error returned from file access library : ") + d.second);
    }
    KQZipArchive a;
    ASSERT_TRUE(a.Open(path.c_str(), 1));
    EXPECT_EQ(ReadRaw(a, "good.bin"), "good");
    EXPECT_FALSE(a.HasError());
}

TEST_F(ZipTest, HostileSizeInHeaderIsRefusedWithoutACrash)
{
    std::string payload = "0123456789abcdef";
    ASSERT_TRUE(MakeZip(path, {{"x.stored", payload}}));
    std::string bytes = FileBytes(path);
    // Claim almost 2 GiB of uncompressed (and compressed) data in both the
    // local and the central header.
    const char big[4] = {'\xF0', '\xFF', '\xFF', '\x7F'};
    for (const char* sig : {"PK\x03\x04", "PK\x01\x02"}) {
        size_t h = bytes.find(std::string(sig, 4));
        ASSERT_NE(h, std::string::npos);
        size_t sizes = (sig[2] == 3) ? h + 18 : h + 20;
        memcpy(&bytes[sizes], big, 4);
        memcpy(&bytes[sizes + 4], big, 4);
    }
    kqinput::WriteFile(path, bytes);

    KQZipArchive a;
    if (!a.Open(path.c_str(), 1)) {
        // Refusing the archive outright is as good.
        EXPECT_EQ(a.GetErrorCode(), 1105);
        return;
    }
    int32 size = -1;
    EXPECT_EQ(a.ReadDataRaw("x.stored", &size), nullptr);
    EXPECT_EQ(size, 0);
    ASSERT_TRUE(a.HasError());
    EXPECT_EQ(a.GetError()->code, 1105);
    EXPECT_EQ(a.GetError()->line, 823);
    EXPECT_TRUE(a.IsClosed());
}

// A part whose header claims more than any real XML part holds is refused
// before a byte of it is read: a package of a few hundred bytes cannot make
// a parse cost gigabytes, and the archive stays open for its other parts.
TEST_F(ZipTest, XmlPartLargerThanAnyRealOneIsRefusedBeforeItIsRead)
{
    const std::string small = "<r/>";
    kqinput::Bytes out, directory;
    kqinput::StoredRecord big;
    big.name = "[Content_Types].xml";
    big.size = 0xFFFFFFF0u;  // the data that follows is a few bytes
    kqinput::PutLocalHeader(out, big);
    kqinput::PutLe(out, 0x20202020, 4);
    kqinput::PutDirectoryRecord(directory, big);
    kqinput::StoredRecord fine;
    fine.name = "small.xml";
    fine.size = static_cast<uint32_t>(small.size());
    fine.crc = static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(small.data()), small.size()));
    fine.offset = static_cast<uint32_t>(out.size());
    kqinput::PutLocalHeader(out, fine);
    out.insert(out.end(), small.begin(), small.end());
    kqinput::PutDirectoryRecord(directory, fine);
    const uint32_t directoryAt = static_cast<uint32_t>(out.size());
    out.insert(out.end(), directory.begin(), directory.end());
    kqinput::PutZipEnd(out, 2, static_cast<uint32_t>(directory.size()), directoryAt);
    ASSERT_TRUE(kqinput::WriteFile(path, out));

    KQZipArchive a;
    ASSERT_TRUE(a.Open(path.c_str(), 1));
    KQXmlDocument doc(false);
    EXPECT_FALSE(a.ReadXmlFile("[Content_Types].xml", &doc));
    ExpectError(a, 1105, 1544, "KQZipArchive::ReadXmlFile",
                "Could not read Xml file: '[Content_Types].xml' holds more than 16 MiB");
    EXPECT_FALSE(a.IsClosed());
    KQXmlDocument other(false);
    EXPECT_TRUE(a.ReadXmlFile("small.xml", &other)) << Message(a);
}

TEST_F(ZipTest, ReadXmlFileTermination)
{
    ASSERT_TRUE(MakeZip(path, {{"ppt/slides/slide1.xml", "<r a=\"1\"><b/></r>"},
                               {"self.xml", "<r a=\"2\"/>"},
                               {"crlf.xml", "<?xml version=\"1.0\"?>\r\n<r a=\"3\">text</r>\r\n"},
                               {"one.xml", "x"},
                               {"empty.xml", ""},
                               {"bad.xml", "<r><a></r>\n"}}));
    KQZipArchive a;
    ASSERT_TRUE(a.Open(path.c_str(), 1));

    KQXmlDocument whole(false);
    EXPECT_TRUE(a.ReadXmlFile("ppt/slides/slide1.xml", &whole));
    ASSERT_NE(whole.FirstChildElement("r"), nullptr);
    EXPECT_NE(whole.FirstChildElement("r")->FirstChildElement("b"), nullptr);

    // The closing '>' of "/>" is the last byte and must be kept.
    KQXmlDocument self(false);
    EXPECT_TRUE(a.ReadXmlFile("self.xml", &self)) << Message(a);
    ASSERT_NE(self.FirstChildElement("r"), nullptr);
    EXPECT_STREQ(self.FirstChildElement("r")->Attribute("a"), "2");

    KQXmlDocument crlf(false);
    EXPECT_TRUE(a.ReadXmlFile("crlf.xml", &crlf)) << Message(a);
    ASSERT_NE(crlf.FirstChildElement("r"), nullptr);
    EXPECT_STREQ(KQXmlElement::GetElementText(crlf.FirstChildElement("r")).CStr(), "text");

    // Any last byte other than '>' gives way to the terminator.
    KQXmlDocument one(false);
    EXPECT_FALSE(a.ReadXmlFile("one.xml", &one));
    ExpectError(a, 1105, 1578, "KQZipArchive::ReadXmlFile",
                "Expat error code 3 for file 'one.xml': no element found at line 1, column 1");

    KQXmlDocument bad(false);
    EXPECT_FALSE(a.ReadXmlFile("bad.xml", &bad));
    EXPECT_EQ(a.GetError()->line, 1578);
    EXPECT_EQ(Message(a), "Expat error code 7 for file 'bad.xml': mismatched tag at line 1, column 9");
    // Nothing of a part that does not parse is left in the document.
    EXPECT_EQ(bad.FirstChild(), nullptr);

    // An empty entry ends before parsing and leaves the document alone; the
    // reason from ReadDataRaw stays below.
    KQXmlDocument kept(false);
    KQXmlElement::AddChildElement(&kept, "kept", -1, "");
    EXPECT_FALSE(a.ReadXmlFile("empty.xml", &kept));
    ExpectError(a, 1105, 1544, "KQZipArchive::ReadXmlFile", "Could not read Xml file");
    ASSERT_NE(kept.FirstChildElement(), nullptr);
    EXPECT_STREQ(kept.FirstChildElement()->Value(), "kept");
    EXPECT_EQ(kept.FirstChildElement()->NextSiblingElement(), nullptr);

    EXPECT_FALSE(a.ReadXmlFile("absent.xml", &kept));
    ASSERT_NE(a.GetError()->cause, nullptr);
    EXPECT_EQ(a.GetError()->cause->line, 799);

    EXPECT_FALSE(a.ReadXmlFile("self.xml", nullptr));
    ExpectError(a, 1004, 1535, "KQZipArchive::ReadXmlFile", "Destination Xml Document is NULL");
    a.Close();
}

TEST_F(ZipTest, WriteXmlFileWithAndWithoutOverwrite)
{
    ASSERT_TRUE(MakeZip(path, {{"ppt/presentation.xml", "<old/>\n"}, {"other.xml", "<o/>\n"}}));
    KQXmlDocument doc(true);
    TiXmlElement* root = KQXmlElement::AddChildElement(&doc, "new", -1, "");
    KQXmlElement::AddChildElement(root, "child", 1, "");

    KQZipArchive a;
    EXPECT_FALSE(a.WriteXmlFile("x.xml", &doc, true));
    ExpectError(a, 1104, 1475, "KQZipArchive::WriteXmlFile", "Cannot write Xml file 'x.xml', archive is not open.");

    ASSERT_TRUE(a.Open(path.c_str(), 1));
    EXPECT_FALSE(a.WriteXmlFile("x.xml", &doc, true));
    ExpectError(a, 1254, 1476, "KQZipArchive::WriteXmlFile", "");
    a.Close();

    ASSERT_TRUE(a.Open(path.c_str(), 0));
    EXPECT_FALSE(a.WriteXmlFile("  ", &doc, true));
    ExpectError(a, 1103, 1477, "KQZipArchive::WriteXmlFile", "");
    EXPECT_FALSE(a.WriteXmlFile("PPT\\Presentation.xml", &doc, false));
    ExpectError(a, 1102, 1486, "KQZipArchive::WriteXmlFile",
                "Xml file 'PPT\\Presentation.xml' exists in archive, and overwrite flag is not set");
    EXPECT_EQ(ReadRaw(a, "ppt\\presentation.xml"), "<old/>\n");

    const std::string printed =
        "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\" ?>\n<new>\n\t<child ID=\"1\" />\n</new>\n";
    EXPECT_TRUE(a.WriteXmlFile("ppt\\presentation.xml", &doc, true));
    // Readable at once, before the archive is saved.
    EXPECT_EQ(ReadRaw(a, "ppt/presentation.xml"), printed);
    EXPECT_TRUE(a.WriteXmlFile("ppt\\presentation.xml", &doc, true));
    EXPECT_TRUE(a.Close());

    std::map<std::string, StoredEntry> stored = ReadZip(path);
    ASSERT_EQ(stored.size(), 2u);
    EXPECT_EQ(stored["ppt/presentation.xml"].data, printed);
    EXPECT_EQ(stored["other.xml"].data, "<o/>\n");
}

TEST_F(ZipTest, WriteDataRawSettingsAndStates)
{
    KQZipArchive a;
    EXPECT_FALSE(a.WriteDataRaw("a.bin", "x", 1));
    ExpectError(a, 1104, 1379, "KQZipArchive::WriteDataRaw", "Archive is not open.");
    ASSERT_TRUE(a.Open(path.c_str(), 2));
    EXPECT_FALSE(a.WriteDataRaw(" ", "x", 1));
    ExpectError(a, 1103, 1381, "KQZipArchive::WriteDataRaw", "");

    // Level 0 stores the bytes; an empty entry still takes the defaults.
    a.SetAddFileSettings(0, 0, 1024, 1024);
    std::string text = Pattern(20000, 9);
    char* block = static_cast<char*>(malloc(text.size()));
    memcpy(block, text.data(), text.size());
    EXPECT_TRUE(a.WriteDataRaw("dir\\stored.bin", block, static_cast<uint32>(text.size())));
    // The caller releases its block at once; the archive keeps its own.
    memset(block, 0, text.size());
    free(block);
    EXPECT_TRUE(a.WriteDataRaw("dir\\empty.bin", nullptr, 0));
    EXPECT_TRUE(a.WriteDataRaw("dir\\alsoempty.bin", "ignored", 0));
    a.SetAddFileSettings(-1, 7, 65536, 65536);
    EXPECT_TRUE(a.WriteDataRaw("dir\\deflated.bin", text.data(), static_cast<uint32>(text.size())));

    // The same name again is refused rather than stored twice.
    EXPECT_FALSE(a.WriteDataRaw("dir/stored.bin", "y", 1));
    ExpectError(a, 1106, 1398, "KQZipArchive::WriteDataRaw", "Could not add file 'dir/stored.bin' to archive");
    EXPECT_FALSE(a.WriteDataRaw("dir\\empty.bin", nullptr, 0));
    ExpectError(a, 1106, 1404, "KQZipArchive::WriteDataRaw", "Could not add empty file 'dir\\empty.bin' to archive");
    EXPECT_FALSE(a.IsClosed());
    EXPECT_EQ(ReadRaw(a, "dir\\stored.bin"), text);
    EXPECT_TRUE(a.Close());

    std::map<std::string, StoredEntry> stored = ReadZip(path);
    ASSERT_EQ(stored.size(), 4u);
    EXPECT_EQ(stored["dir/stored.bin"].data, text);
    EXPECT_EQ(stored["dir/stored.bin"].method, ZIP_CM_STORE);
    EXPECT_EQ(stored["dir/empty.bin"].data, "");
    EXPECT_EQ(stored["dir/empty.bin"].method, ZIP_CM_DEFLATE);
    EXPECT_EQ(stored["dir/alsoempty.bin"].method, ZIP_CM_DEFLATE);
    EXPECT_EQ(stored["dir/deflated.bin"].data, text);
    EXPECT_EQ(stored["dir/deflated.bin"].method, ZIP_CM_DEFLATE);
    EXPECT_LT(stored["dir/deflated.bin"].raw.size(), text.size());

    ASSERT_TRUE(a.Open(path.c_str(), 1));
    EXPECT_FALSE(a.WriteDataRaw("b.bin", "x", 1));
    ExpectError(a, 1254, 1380, "KQZipArchive::WriteDataRaw", "");
    a.Close();
}

TEST_F(ZipTest, DeleteAndEarlierErrors)
{
    ASSERT_TRUE(MakeZip(path, {{"a.txt", "a"}, {"b.txt", "b"}}));
    KQZipArchive a;
    ASSERT_TRUE(a.Open(path.c_str(), 0));
    EXPECT_FALSE(a.Delete("absent.txt"));
    EXPECT_FALSE(a.HasError());

    // An error left by an earlier operation blocks the delete.
    EXPECT_EQ(a.FindFile(""), -1);
    ASSERT_EQ(a.GetErrorCode(), 1103);
    EXPECT_FALSE(a.Delete("a.txt"));
    ExpectError(a, 1106, 1703, "KQZipArchive::Delete", "Unable to delete file 'a.txt' in archive");
    ASSERT_NE(a.GetError()->cause, nullptr);
    EXPECT_EQ(a.GetError()->cause->code, 1103);
    EXPECT_GE(a.FindFile("a.txt"), 0);

    a.ClearError();
    EXPECT_TRUE(a.Delete("A.TXT"));
    EXPECT_EQ(a.FindFile("a.txt"), -1);
    // Deleted entries can be written anew.
    EXPECT_TRUE(a.WriteDataRaw("a.txt", "again", 5));
    EXPECT_EQ(ReadRaw(a, "a.txt"), "again");
    EXPECT_TRUE(a.Delete("a.txt"));
    EXPECT_TRUE(a.Close());
    std::map<std::string, StoredEntry> stored = ReadZip(path);
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored.count("b.txt"), 1u);

    // A closed archive: FindFile's error is the cause.
    EXPECT_FALSE(a.Delete("b.txt"));
    EXPECT_EQ(a.GetErrorCode(), 1106);
    ASSERT_NE(a.GetError()->cause, nullptr);
    EXPECT_EQ(a.GetError()->cause->code, 1104);
}

TEST_F(ZipTest, ReadImageRawAndJpeg)
{
    const char raw[] = {2, 0, 0, 0, 1, 0, 0, 0, 10, 20, 30, 40, 50, 60};
    const char shortRaw[] = {2, 0, 0, 0, 2, 0, 0, 0, 1, 2, 3};
    // Sides so large that width * height * 3 leaves the signed 64-bit range.
    const char hugeRaw[] = {'\xFF', '\xFF', '\xFF', '\x7F', '\xFF', '\xFF', '\xFF', '\x7F', 1, 2, 3};
    ASSERT_TRUE(MakeZip(path, {{"Case001/image.RAW", std::string(raw, sizeof(raw))},
                               {"short.raw", std::string(shortRaw, sizeof(shortRaw))},
                               {"huge.raw", std::string(hugeRaw, sizeof(hugeRaw))},
                               {"Case001/Snapshot.jpeg", MakeJpeg(16, 8, 200, 40, 10)},
                               {"broken.jpeg", "not a jpeg picture"}}));
    KQZipArchive a;
    ASSERT_TRUE(a.Open(path.c_str(), 1));

    KQRGBImage image;
    EXPECT_TRUE(a.ReadImage("Case001\\image.RAW", &image));
    ASSERT_EQ(image.Size().x, 2);
    ASSERT_EQ(image.Size().y, 1);
    ASSERT_NE(image.Pixels(), nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(image.Pixels()), 6), std::string(raw + 8, 6));

    KQRGBImage picture;
    EXPECT_TRUE(a.ReadImage("Case001\\Snapshot.jpeg", &picture)) << Message(a);
    EXPECT_EQ(picture.Size().x, 16);
    EXPECT_EQ(picture.Size().y, 8);
    ASSERT_NE(picture.Pixels(), nullptr);
    EXPECT_NEAR(picture.Pixels()[0], 200, 8);
    EXPECT_NEAR(picture.Pixels()[1], 40, 8);
    EXPECT_NEAR(picture.Pixels()[2], 10, 8);

    KQRGBImage broken;
    EXPECT_FALSE(a.ReadImage("broken.jpeg", &broken));
    ExpectError(a, 1001, 1630, "KQFxExport::ReadImage()", "Error decoding JPEG image 'broken.jpeg'");

    // A block shorter than its own size is not read past its end.
    KQRGBImage truncated;
    EXPECT_FALSE(a.ReadImage("short.raw", &truncated));
    EXPECT_EQ(a.GetErrorCode(), 1001);
    EXPECT_EQ(truncated.Pixels(), nullptr);
    a.ClearError();
    EXPECT_FALSE(a.ReadImage("huge.raw", &truncated));
    EXPECT_EQ(a.GetErrorCode(), 1001);
    EXPECT_EQ(truncated.Pixels(), nullptr);

    EXPECT_FALSE(a.ReadImage("absent.jpeg", &broken));
    ExpectError(a, 1105, 1615, "KQFxExport::ReadImage()", "Error reading JPEG image from archive");
    EXPECT_FALSE(a.ReadImage("Case001\\image.RAW", nullptr));
    ExpectError(a, 1004, 1611, "KQFxExport::ReadImage()", "Destination image is NULL");
    a.Close();
}

TEST(ZipNameFlag, QueryAndSet)
{
    EXPECT_EQ(KQZipArchive::NameFlag("flag-a", 255), 255);
    EXPECT_EQ(KQZipArchive::NameFlag("flag-a", 3), 3);
    EXPECT_EQ(KQZipArchive::NameFlag("flag-a", 255), 3);
    EXPECT_EQ(KQZipArchive::NameFlag("FLAG-A", 255), 255);
    EXPECT_EQ(KQZipArchive::NameFlag("flag-a", 0), 0);
    EXPECT_EQ(KQZipArchive::NameFlag("flag-a", 255), 0);
    EXPECT_EQ(KQPathSeparator(), '\\');
}

TEST_F(ZipTest, UpdateKeepsAValidPackage)
{
    Entries entries = PackageEntries();
    entries.push_back({"ppt/media/big.bin", Pattern(400000, 11)});
    ASSERT_TRUE(MakeZip(path, entries));
    std::map<std::string, StoredEntry> before = ReadZip(path);
    ASSERT_EQ(before.size(), entries.size());

    KQZipArchive a;
    ASSERT_TRUE(a.Open(path.c_str(), 0));
    KQXmlDocument doc(false);
    ASSERT_TRUE(a.ReadXmlFile("ppt\\presentation.xml", &doc));
    KQXmlElement::SetAttributeString(doc.FirstChildElement(), "changed", "yes");
    EXPECT_TRUE(a.WriteXmlFile("ppt\\presentation.xml", &doc, true));
    std::string model = Pattern(70000, 13);
    EXPECT_TRUE(a.WriteDataRaw("ppt\\kqfxFiles\\kqfx1.kqfx", model.data(), static_cast<uint32>(model.size())));
    EXPECT_TRUE(a.Delete("ppt\\slides\\slide1.xml"));
    EXPECT_TRUE(a.Close());
    EXPECT_FALSE(a.HasError());

    std::map<std::string, StoredEntry> after = ReadZip(path);
    ASSERT_EQ(after.size(), entries.size()) << "archive fails libzip's consistency check or lost entries";
    for (const auto& e : before) {
        if (e.first == "ppt/presentation.xml" || e.first == "ppt/slides/slide1.xml")
            continue;
        ASSERT_EQ(after.count(e.first), 1u) << e.first;
        EXPECT_EQ(after[e.first].data, e.second.data) << e.first;
        EXPECT_EQ(after[e.first].raw, e.second.raw) << e.first;
        EXPECT_EQ(after[e.first].method, e.second.method) << e.first;
    }
    EXPECT_EQ(after.count("ppt/slides/slide1.xml"), 0u);
    EXPECT_EQ(after["ppt/presentation.xml"].data, "<p:presentation changed=\"yes\" />\n");
    EXPECT_EQ(after["ppt/kqfxFiles/kqfx1.kqfx"].data, model);
    for (const auto& e : after)
        EXPECT_EQ(e.first.find('\\'), std::string::npos) << e.first;
}

TEST_F(ZipTest, FailedCloseLeavesTheOriginal)
{
    // The temporary file written beside the archive gets a longer name than
    // the archive; with a name at the file-system limit it cannot be made.
    ASSERT_TRUE(MakeZip(path, {{"a.txt", "original"}}));
    const std::string original = FileBytes(path);
    const std::string longName = std::string(250, 'n') + ".zip";
    std::error_code ec;
    fs::remove(longName, ec);
    kqinput::WriteFile(longName, original);
    if (FileBytes(longName) != original) {
        fs::remove(longName, ec);
        GTEST_SKIP() << "the host cannot hold a file name of 254 characters here";
    }

    KQZipArchive a;
    if (!a.Open(longName.c_str(), 0)) {
        fs::remove(longName, ec);
        GTEST_SKIP() << "the zip library cannot open a name of 254 characters here: " << Message(a);
    }
    EXPECT_TRUE(a.WriteDataRaw("b.txt", "new", 3));
    EXPECT_TRUE(a.Delete("a.txt"));
    EXPECT_FALSE(a.Close());
    ASSERT_TRUE(a.HasError());
    EXPECT_EQ(a.GetError()->code, 1106);
    EXPECT_STREQ(a.GetError()->functionName.CStr(), "KQZipArchive::Close");
    EXPECT_EQ(Message(a).rfind("Error returned from file access library : ", 0), 0u) << Message(a);
    EXPECT_TRUE(a.IsClosed());
    EXPECT_TRUE(a.Close());
    EXPECT_EQ(FileBytes(longName), original);
    fs::remove(longName, ec);
}

TEST_F(ZipTest, FailedCloseInAFolderThatCannotBeWritten)
{
    const fs::path folder = "zt_readonly_folder";
    std::error_code ec;
    fs::permissions(folder, fs::perms::all, ec);
    fs::remove_all(folder, ec);
    ASSERT_TRUE(fs::create_directory(folder));
    const std::string archive = (folder / "package.zip").string();
    ASSERT_TRUE(MakeZip(archive, {{"a.txt", "original"}}));
    const std::string original = FileBytes(archive);
    fs::permissions(folder,
                    fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read | fs::perms::group_exec |
                        fs::perms::others_read | fs::perms::others_exec,
                    ec);
    // Where the folder stays writable (an administrator, or a host that
    // ignores the setting), the other failure test covers this.
    {
        std::ofstream probe(folder / "probe", std::ios::binary);
        if (probe.is_open()) {
            probe.close();
            fs::permissions(folder, fs::perms::all, ec);
            fs::remove_all(folder, ec);
            GTEST_SKIP() << "the folder stays writable for this user";
        }
    }

    KQZipArchive a;
    ASSERT_TRUE(a.Open(archive.c_str(), 0));
    EXPECT_TRUE(a.WriteDataRaw("b.txt", "new", 3));
    EXPECT_FALSE(a.Close());
    EXPECT_EQ(a.GetErrorCode(), 1106);
    EXPECT_TRUE(a.IsClosed());
    EXPECT_EQ(FileBytes(archive), original);
    fs::permissions(folder, fs::perms::all, ec);
    fs::remove_all(folder, ec);
}

TEST_F(ZipTest, ReadOnlyFileOpensOnlyForReading)
{
    ASSERT_TRUE(MakeZip(path, {{"a.txt", "original"}}));
    const std::string original = FileBytes(path);
    std::error_code ec;
    fs::permissions(path, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read, ec);
    KQZipArchive a;
    EXPECT_FALSE(a.Open(path.c_str(), 0));
    ExpectError(a, 1105, 336, "KQZipArchive::Open", "Error returned from file access library : Read-only archive");
    EXPECT_TRUE(a.IsClosed());
    ASSERT_TRUE(a.Open(path.c_str(), 1));
    EXPECT_EQ(ReadRaw(a, "a.txt"), "original");
    a.Close();
    EXPECT_EQ(FileBytes(path), original);
    fs::permissions(path, fs::perms::owner_all, ec);
}

TEST_F(ZipTest, FileUnderTheTemporaryNameThatNoSaveWroteStays)
{
    // A user's archive or document under that name, the first bytes of one,
    // a lone "P", a note: none was written by a save, all stay, and the save
    // that needs the name fails.
    ASSERT_TRUE(MakeZip(path, {{"a.txt", "original"}}));
    const std::string leftover = path + ".kqsave";
    ASSERT_TRUE(MakeZip(leftover, {{"word/document.xml", "<w:document/>"}}));
    const std::string userZip = FileBytes(leftover);
    const std::string saved = FileBytes(path);
    // Where a save marks its temporary, an unmarked file is surely not one;
    // where it cannot (Windows, file systems without user attributes), no
    // file can be proven one.
#ifdef KQ_TEST_POSIX
    const bool marks = ::setxattr(path.c_str(), "user.probe", "1", 1, 0) == 0 || errno != ENOTSUP;
    ::removexattr(path.c_str(), "user.probe");
#else
    const bool marks = false;
#endif
    const std::string notOurs = marks ? "Corvessa did not write it" : "Corvessa cannot prove that it wrote it";
    for (const std::string& content :
         {userZip, std::string("PK\x03\x04\x14\x00", 6), std::string("P"), std::string("my notes")}) {
        SCOPED_TRACE(content.size());
        ASSERT_TRUE(kqinput::WriteFile(leftover, content));
        KQZipArchive a;
        ASSERT_TRUE(a.Open(path.c_str(), 0));
        EXPECT_EQ(FileBytes(leftover), content);
        EXPECT_TRUE(a.WriteDataRaw("c.txt", "more", 4));
        EXPECT_FALSE(a.Close());
        EXPECT_EQ(a.GetErrorCode(), 1106);
        // The report names the file and says what to do with it.
        EXPECT_EQ(Message(a), "Error returned from file access library : The file '" + leftover +
                                  "' is in the way of the save. " + notOurs +
                                  ", so it is left alone; remove it if you do not need it, then run again");
        EXPECT_EQ(FileBytes(leftover), content);
        EXPECT_EQ(FileBytes(path), saved);
    }
    std::error_code ec;
    fs::remove(leftover, ec);
}

// A save's reason names files as they are on disk: a folder and a package
// named with letters beyond ASCII read in the report as the user named
// them, not as their UTF-8 bytes taken for the local code page.
TEST_F(ZipTest, ReasonOfAFailedSaveNamesFilesAsTheyAreOnDisk)
{
    const std::string folder = "zt_Pr\xc3\xa4sentationen";
    const std::string utf8 = folder + "/Vortrag \xc3\xa9.zip";
    std::string ansi;
    if (!KQUtf8ToAnsiExactly(utf8, &ansi))
        GTEST_SKIP() << "the ANSI code page holds neither a-umlaut nor e-acute";
    std::error_code ec;
    fs::remove_all(fs::u8path(folder), ec);
    ASSERT_TRUE(fs::create_directory(fs::u8path(folder)));
    ASSERT_TRUE(MakeZip(utf8, {{"a.txt", "original"}}));
    ASSERT_TRUE(kqinput::WriteFile(fs::u8path(utf8 + ".kqsave"), std::string("my notes")));
    KQZipArchive a;
    ASSERT_TRUE(a.Open(ansi.c_str(), 0)) << Message(a);
    EXPECT_TRUE(a.WriteDataRaw("b.txt", "new", 3));
    EXPECT_FALSE(a.Close());
    EXPECT_NE(Message(a).find("'" + ansi + ".kqsave'"), std::string::npos) << Message(a);
    EXPECT_EQ(kqinput::ReadFile<std::string>(fs::u8path(utf8 + ".kqsave")), "my notes");
    fs::remove_all(fs::u8path(folder), ec);
}

namespace {

// What the test hook does while a save is under way, and what it saw.
// act returns whether it changed anything: where the host keeps other
// programs off a file held for saving, they cannot.
struct DuringSave {
    bool (*act)(const std::string& archive) = nullptr;
    std::string archive;
    bool called = false;
    bool changed = false;
} duringSave;

void ActDuringSave(const char* archive)
{
    duringSave.called = true;
    duringSave.archive = archive;
    if (duringSave.act)
        duringSave.changed = duringSave.act(archive);
}

struct SaveHookScope {
    explicit SaveHookScope(bool (*act)(const std::string&))
    {
        duringSave = DuringSave();
        duringSave.act = act;
        KQSetZipSaveHook(ActDuringSave);
    }
    ~SaveHookScope() { KQSetZipSaveHook(nullptr); }
};

}  // namespace

// An archive opened for update is held until it is closed: a second
// opening for update fails, before and during the save, and changes
// nothing; reading it is not held up.
TEST_F(ZipTest, ArchiveOpenForUpdateIsHeldUntilClosed)
{
    ASSERT_TRUE(MakeZip(path, {{"a.txt", "original"}}));
    const std::string before = FileBytes(path);
    KQZipArchive first;
    ASSERT_TRUE(first.Open(path.c_str(), 0));
    {
        KQZipArchive second;
        EXPECT_FALSE(second.Open(path.c_str(), 0));
        ExpectError(second, 1105, 336, "KQZipArchive::Open",
                    "Error returned from file access library : Archive is open for update elsewhere");
        ASSERT_TRUE(second.Open(path.c_str(), 1));
        EXPECT_EQ(ReadRaw(second, "a.txt"), "original");
    }
    EXPECT_TRUE(first.WriteDataRaw("b.txt", "first", 5));
    {
        SaveHookScope hook([](const std::string& archive) {
            KQZipArchive second;
            EXPECT_FALSE(second.Open(archive.c_str(), 0));
            EXPECT_TRUE(second.IsClosed());
            EXPECT_TRUE(fs::exists(archive + ".kqsave"));
            return false;
        });
        EXPECT_TRUE(first.Close());
        EXPECT_TRUE(duringSave.called);
    }
    EXPECT_NE(FileBytes(path), before);
    EXPECT_FALSE(fs::exists(path + ".kqsave"));
    KQZipArchive third;
    ASSERT_TRUE(third.Open(path.c_str(), 0));
    EXPECT_EQ(ReadRaw(third, "b.txt"), "first");
    EXPECT_TRUE(third.Close());
}

#ifdef KQ_TEST_WINDOWS
namespace {

// What the replace does first: the package goes to its backup's name.
bool MoveAside(const std::string& package)
{
    return MoveFileExA(package.c_str(), (package + ".kqbackup").c_str(), 0) != 0;
}

// Ends the process between the two renames of the replace, as a stop at
// that moment does.
int StopBetweenTheRenames(KQSaveStep step, const char* file)
{
    if (step == KQ_STEP_REPLACE && MoveAside(file))
        std::_Exit(3);
    return 0;
}

// Plays the moment between the renames of a live save: another run meets
// it then, and the package goes back for the save to go on.
std::vector<std::string> metBetweenTheRenames;
int MeetBetweenTheRenames(KQSaveStep step, const char* file)
{
    if (step != KQ_STEP_REPLACE || !MoveAside(file))
        return 0;
    const std::string package = file;
    std::thread other([&package] {
        KQString document, written;
        if (KQRecoverStoppedSave(package.c_str(), &document, &written) != KQ_STOPPED_SAVE_NONE)
            metBetweenTheRenames.push_back(std::string("told of a stopped save: ") + document.CStr());
    });
    other.join();
    if (!MoveFileExA((package + ".kqbackup").c_str(), file, 0))
        return EIO;
    std::thread second([&package] {
        KQZipArchive b;
        if (b.Open(package.c_str(), 0))
            metBetweenTheRenames.push_back("opened for update during the save");
        else
            metBetweenTheRenames.push_back(Message(b));
    });
    second.join();
    return 0;
}

}  // namespace

// A run stopped between the two renames of its replace leaves the package
// under the backup's name and its new file under the temporary's: the
// next run tells where both are and touches neither. A live save at that
// moment is not taken for a stopped one, and its claim on the name keeps
// other runs out while the package has no file there to hold.
TEST_F(ZipTest, PackageMovedAsideByAStoppedReplaceIsToldOfAndLeftAlone)
{
    // The stopped run is a child process that does this test's steps up to
    // the stop again, its own package among them.
    const std::string backup = path + ".kqbackup", temporary = path + ".kqsave";
    std::error_code ec;
    fs::remove(backup, ec);
    fs::remove(temporary, ec);
    ASSERT_TRUE(MakeZip(path, {{"a.txt", "original"}}));
    EXPECT_EXIT(
        {
            KQZipArchive a;
            if (a.Open(path.c_str(), 0) && a.WriteDataRaw("b.txt", "new", 3)) {
                KQSetSaveStepHook(StopBetweenTheRenames);
                a.Close();
            }
            std::_Exit(1);
        },
        ::testing::ExitedWithCode(3), "");
    ASSERT_FALSE(fs::exists(path));
    ASSERT_EQ(ReadZip(backup).size(), 1u);
    ASSERT_EQ(ReadZip(temporary).count("b.txt"), 1u);
    const std::string before = FileBytes(backup), written = FileBytes(temporary);
    for (int run = 0; run < 2; ++run) {
        KQString document, saved;
        EXPECT_EQ(KQRecoverStoppedSave(path.c_str(), &document, &saved), KQ_STOPPED_SAVE_MISSING);
        EXPECT_EQ(std::string(document.CStr()), backup);
        EXPECT_EQ(std::string(saved.CStr()), temporary);
        EXPECT_FALSE(fs::exists(path));
        EXPECT_EQ(FileBytes(backup), before);
        EXPECT_EQ(FileBytes(temporary), written);
    }
    // With only one of them left, that one is named; with neither, the
    // package is one that does not open.
    fs::remove(temporary, ec);
    KQString document, saved;
    EXPECT_EQ(KQRecoverStoppedSave(path.c_str(), &document, &saved), KQ_STOPPED_SAVE_MISSING);
    EXPECT_EQ(std::string(document.CStr()) + "|" + saved.CStr(), backup + "|");
    fs::rename(backup, temporary, ec);
    EXPECT_EQ(KQRecoverStoppedSave(path.c_str(), &document, &saved), KQ_STOPPED_SAVE_MISSING);
    EXPECT_EQ(std::string(document.CStr()) + "|" + saved.CStr(), "|" + temporary);
    fs::remove(temporary, ec);
    EXPECT_EQ(KQRecoverStoppedSave(path.c_str(), &document, &saved), KQ_STOPPED_SAVE_NONE);

    ASSERT_TRUE(MakeZip(path, {{"a.txt", "original"}}));
    metBetweenTheRenames.clear();
    KQZipArchive a;
    ASSERT_TRUE(a.Open(path.c_str(), 0));
    EXPECT_TRUE(a.WriteDataRaw("b.txt", "new", 3));
    KQSetSaveStepHook(MeetBetweenTheRenames);
    EXPECT_TRUE(a.Close()) << Message(a);
    KQSetSaveStepHook(nullptr);
    EXPECT_EQ(
        metBetweenTheRenames,
        std::vector<std::string>{"Error returned from file access library : Archive is open for update elsewhere"});
    EXPECT_EQ(ReadZip(path).count("b.txt"), 1u);
    EXPECT_FALSE(fs::exists(backup));
    EXPECT_FALSE(fs::exists(temporary));
}
#endif

// Before its temporary replaces the archive, a save checks that the archive
// is still the file it opened and the temporary the file it wrote; when
// another program changed either, the save fails saying so and both files
// stay as that program left them. Where the host kept that program out, the
// save lands.
TEST_F(ZipTest, SaveReplacesOnlyWhatItOpenedWithWhatItWrote)
{
    struct Case {
        const char* what;
        bool (*act)(const std::string& archive);
        const char* message;
        bool temporaryStays;
    };
    const Case cases[] = {
        {"archive rewritten in place",
         [](const std::string& archive) { return FlipByteInPlace(archive, FileBytes(archive).size() / 3); },
         "Archive was changed by another program since it was opened", false},
        {"archive replaced",
         [](const std::string& archive) {
             kqinput::WriteFile(archive + ".other", FileBytes(archive) + "x");
             std::error_code ec;
             fs::rename(archive + ".other", archive, ec);
             if (ec)
                 return false;
             // The new file is held by nobody, but the temporary beside it
             // is a live save's: another run leaves it alone.
             KQZipArchive other;
             EXPECT_TRUE(other.Open(archive.c_str(), 0)) << Message(other);
             EXPECT_TRUE(fs::exists(archive + ".kqsave"));
             other.Close();
             return true;
         },
         "Archive was changed by another program since it was opened", false},
        {"archive rewritten in place, same size, its time set back",
         [](const std::string& archive) {
             // As cp -p, rsync -t --inplace or a sync client leave it: only
             // the change time tells.
             const fs::file_time_type was = fs::last_write_time(archive);
             const bool written = FlipByteInPlace(archive, FileBytes(archive).size() / 3);
             std::error_code ec;
             fs::last_write_time(archive, was, ec);
             return written && !ec;
         },
         "Archive was changed by another program since it was opened", false},
        {"hard link added",
         [](const std::string& archive) {
             std::error_code ec;
             fs::create_hard_link(archive, archive + ".link", ec);
             return !ec;
         },
         "Archive was changed by another program since it was opened", false},
        {"temporary replaced",
         [](const std::string& archive) {
             std::error_code ec;
             fs::rename(archive + ".kqsave", archive + ".moved", ec);
             return !ec && kqinput::WriteFile(archive + ".kqsave", "someone else's");
         },
         nullptr, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::error_code ec;
        fs::remove(path + ".kqsave", ec);
        fs::remove(path + ".moved", ec);
        fs::remove(path + ".link", ec);
        ASSERT_TRUE(MakeZip(path, {{"a.txt", "original"}}));
        KQZipArchive a;
        ASSERT_TRUE(a.Open(path.c_str(), 0));
        EXPECT_TRUE(a.WriteDataRaw("b.txt", "new", 3));
        bool closed;
        {
            SaveHookScope hook(c.act);
            closed = a.Close();
        }
        KQZipArchive check;
#ifdef KQ_TEST_POSIX
        // A lock that only runs honour keeps no other program out.
        EXPECT_TRUE(duringSave.changed);
#endif
        if (!duringSave.changed) {
            EXPECT_TRUE(closed) << Message(a);
            EXPECT_FALSE(fs::exists(path + ".kqsave"));
            ASSERT_TRUE(check.Open(path.c_str(), 1));
            EXPECT_GE(check.FindFile("b.txt"), 0);
            fs::remove(path + ".other", ec);
            continue;
        }
        EXPECT_FALSE(closed);
        EXPECT_EQ(a.GetErrorCode(), 1106);
        const std::string expected =
            c.message ? c.message
                      : "Temporary file '" + duringSave.archive + ".kqsave' was replaced by another program";
        EXPECT_EQ(Message(a), "Error returned from file access library : " + expected);
        EXPECT_EQ(fs::exists(path + ".kqsave"), c.temporaryStays);
        if (c.temporaryStays) {
            EXPECT_EQ(FileBytes(path + ".kqsave"), "someone else's");
        }
        ASSERT_TRUE(check.Open(path.c_str(), 1));
        EXPECT_LT(check.FindFile("b.txt"), 0);
        fs::remove(path + ".kqsave", ec);
        fs::remove(path + ".moved", ec);
    }
}

namespace {

bool (*actAfterCheck)(const std::string& archive) = nullptr;
bool actedAfterCheck = false;

int ActAfterTheLastCheck(KQSaveStep step, const char* file)
{
    if (step == KQ_STEP_REPLACE && actAfterCheck) {
        actedAfterCheck = actAfterCheck(file);
        actAfterCheck = nullptr;
    }
    return 0;
}

}  // namespace

// Another program's save that lands after the save's last check of the
// archive and before its rename is not lost: the names are swapped (on
// Windows the replace moves the package aside), the file swapped out is
// found changed, and the swap is undone. (A file system that cannot swap
// names leaves that window open.)
TEST_F(ZipTest, ChangeAfterTheLastCheckIsNotLost)
{
    struct Case {
        const char* what;
        bool (*act)(const std::string& archive);
    };
    const Case cases[] = {
        {"rewritten in place",
         [](const std::string& archive) { return FlipByteInPlace(archive, FileBytes(archive).size() / 2); }},
        {"replaced by a rename",
         [](const std::string& archive) {
             std::error_code ec;
             kqinput::WriteFile(archive + ".other", FileBytes(archive) + "x");
             fs::rename(archive + ".other", archive, ec);
             return !ec;
         }},
        {"hard link added",
         [](const std::string& archive) {
             std::error_code ec;
             fs::create_hard_link(archive, archive + ".link", ec);
             return !ec;
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::error_code ec;
        fs::remove(path + ".link", ec);
        ASSERT_TRUE(MakeZip(path, {{"a.txt", "original"}}));
        KQZipArchive a;
        ASSERT_TRUE(a.Open(path.c_str(), 0));
        EXPECT_TRUE(a.WriteDataRaw("b.txt", "new", 3));
        actAfterCheck = c.act;
        actedAfterCheck = false;
        KQSetSaveStepHook(ActAfterTheLastCheck);
        std::string theirs;
        const bool closed = a.Close();
        KQSetSaveStepHook(nullptr);
        ASSERT_TRUE(actedAfterCheck);
        EXPECT_FALSE(closed);
        EXPECT_EQ(Message(a), "Error returned from file access library : Archive was changed by another program "
                              "since it was opened");
        KQZipArchive check;
        ASSERT_TRUE(check.Open(path.c_str(), 1));
        EXPECT_LT(check.FindFile("b.txt"), 0);
        check.Close();
        EXPECT_FALSE(fs::exists(path + ".kqsave"));
        if (std::string(c.what) == "hard link added") {
            EXPECT_TRUE(fs::equivalent(path, path + ".link"));
        }
        fs::remove(path + ".link", ec);
    }
}

// Replacing one name of a file with several would make them two different
// files without anyone noticing: the save is refused instead.
TEST_F(ZipTest, ArchiveWithSeveralNamesIsNotSplit)
{
    ASSERT_TRUE(MakeZip(path, {{"a.txt", "original"}}));
    const std::string other = path + ".link";
    std::error_code ec;
    fs::remove(other, ec);
    fs::create_hard_link(path, other, ec);
    if (ec)
        GTEST_SKIP() << "no hard links here: " << ec.message();
    const std::string before = FileBytes(path);
    KQZipArchive a;
    ASSERT_TRUE(a.Open(path.c_str(), 0));
    EXPECT_TRUE(a.WriteDataRaw("b.txt", "new", 3));
    EXPECT_FALSE(a.Close());
    EXPECT_EQ(a.GetErrorCode(), 1106);
    EXPECT_EQ(Message(a), "Error returned from file access library : Archive has more than one name (hard links); "
                          "saving would separate them");
    EXPECT_TRUE(fs::equivalent(path, other));
    EXPECT_EQ(FileBytes(path), before);
    EXPECT_FALSE(fs::exists(path + ".kqsave"));
    fs::remove(other, ec);
}

#ifdef KQ_TEST_POSIX
namespace {

struct FileOwner {
    uid_t uid;
    gid_t gid;
    mode_t mode;
    bool operator==(const FileOwner& o) const { return uid == o.uid && gid == o.gid && mode == o.mode; }
};

FileOwner OwnerOf(const std::string& file)
{
    struct stat info;
    if (::stat(file.c_str(), &info) != 0)
        return FileOwner{0, 0, 0};
    return FileOwner{info.st_uid, info.st_gid, info.st_mode & 07777};
}

std::string Attribute(const std::string& file, const char* name)
{
    char value[256];
    ssize_t n = ::getxattr(file.c_str(), name, value, sizeof(value));
    return n < 0 ? std::string("<none>") : std::string(value, static_cast<size_t>(n));
}

// Adds an entry and saves, as the current user; true when the save worked.
bool AddAndSave(const std::string& archive)
{
    KQZipArchive a;
    return a.Open(archive.c_str(), 0) && a.WriteDataRaw("b.txt", "new", 3) && a.Close();
}

}  // namespace

// A save keeps what an in-place write keeps. Run by an administrator on a
// user's 0640 file: owner, group, mode, a user attribute and the ACL. Run by
// another user who may write the file: the same, as only the administrator
// may give a file away.
TEST_F(ZipTest, SaveKeepsOwnerGroupModeAndExtendedAttributes)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "giving the archive another owner needs the administrator";
    const uid_t owner = 4242, member = 4646;
    const gid_t group = 4343;
    const std::string acl = kqinput::AccessAcl(4444);

    ASSERT_TRUE(MakeZip(path, {{"a.txt", "original"}}));
    ASSERT_EQ(::chown(path.c_str(), owner, group), 0);
    ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
    if (::setxattr(path.c_str(), "user.comment", "kept", 4, 0) != 0)
        GTEST_SKIP() << "no user attributes on this file system";
    const bool withAcl = ::setxattr(path.c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0) == 0;
    const FileOwner before = OwnerOf(path);
    EXPECT_TRUE(AddAndSave(path));
    EXPECT_EQ(OwnerOf(path), before);
    EXPECT_EQ(Attribute(path, "user.comment"), "kept");
    if (withAcl) {
        EXPECT_EQ(Attribute(path, "system.posix_acl_access"), acl);
    }
    EXPECT_EQ(Attribute(path, "user.kqsave"), "<none>");

    // Another user who may write the file, by its group or by an ACL entry,
    // cannot give a new file the owner: the save writes into the file
    // itself, and everything of it stays, its owner's access among it.
    struct Access {
        const char* what;
        gid_t memberGroup;  // the member's own group
        bool inGroup;       // the member belongs to the file's group
        mode_t mode;
        bool aclEntry;
    };
    const Access accesses[] = {{"group rw", 4545, true, 0660, false}, {"ACL entry", 4545, false, 0640, true}};
    for (const Access& access : accesses) {
        SCOPED_TRACE(access.what);
        const std::string folder = "zt_group_folder";
        std::error_code ec;
        fs::remove_all(folder, ec);
        ASSERT_TRUE(fs::create_directory(folder));
        ASSERT_EQ(::chmod(folder.c_str(), 0777), 0);
        const std::string shared = folder + "/shared.zip";
        ASSERT_TRUE(MakeZip(shared, {{"a.txt", "original"}}));
        ASSERT_EQ(::chown(shared.c_str(), owner, group), 0);
        ASSERT_EQ(::chmod(shared.c_str(), access.mode), 0);
        ASSERT_EQ(::setxattr(shared.c_str(), "user.comment", "kept", 4, 0), 0);
        const std::string memberAcl = kqinput::AccessAcl(member);
        if (access.aclEntry &&
            ::setxattr(shared.c_str(), "system.posix_acl_access", memberAcl.data(), memberAcl.size(), 0) != 0)
            GTEST_SKIP() << "no ACLs on this file system";
        struct stat was;
        ASSERT_EQ(::stat(shared.c_str(), &was), 0);
        const std::string aclBefore = Attribute(shared, "system.posix_acl_access");
        std::fflush(nullptr);
        pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            const gid_t groups[] = {access.inGroup ? group : access.memberGroup};
            bool ok = ::setgroups(1, groups) == 0 && ::setgid(access.memberGroup) == 0 && ::setuid(member) == 0 &&
                      AddAndSave(shared);
            ::_exit(ok ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the other user's save failed";
        struct stat now;
        ASSERT_EQ(::stat(shared.c_str(), &now), 0);
        EXPECT_EQ(OwnerOf(shared), (FileOwner{owner, group, static_cast<mode_t>(was.st_mode & 07777)}));
        EXPECT_EQ(now.st_ino, was.st_ino);
        EXPECT_EQ(Attribute(shared, "user.comment"), "kept");
        EXPECT_EQ(Attribute(shared, "system.posix_acl_access"), aclBefore);
        EXPECT_EQ(Attribute(shared, "user.kqsave"), "<none>");
        // The owner still reads and writes it.
        child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            const gid_t groups[] = {4747};
            bool ok = ::setgroups(1, groups) == 0 && ::setgid(4747) == 0 && ::setuid(owner) == 0 &&
                      ::access(shared.c_str(), R_OK | W_OK) == 0;
            ::_exit(ok ? 0 : 1);
        }
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the owner lost access";
        KQZipArchive check;
        ASSERT_TRUE(check.Open(shared.c_str(), 1));
        EXPECT_EQ(ReadRaw(check, "b.txt"), "new");
        check.Close();
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(folder))
            names.push_back(e.path().filename().string());
        EXPECT_EQ(names, std::vector<std::string>{"shared.zip"});
        fs::remove_all(folder, ec);
    }
}

namespace {

// The in-place save's step to fail, in the child that saves as another
// user, and the message the child saw.
struct InPlaceFailure {
    KQSaveStep step;
    int nth;
    int error;
    int calls = 0;
} inPlaceFailure{KQ_STEP_BACKUP, 0, 0};

int FailInPlaceStep(KQSaveStep step, const char*)
{
    if (step != inPlaceFailure.step)
        return 0;
    return ++inPlaceFailure.calls == inPlaceFailure.nth ? inPlaceFailure.error : 0;
}

}  // namespace

// The in-place save fails at each of its own steps in turn: the copy, the
// overwrite (first and last piece), the flushes. Each time the report says
// so, the package is byte for byte as it was (put back from the copy where
// it was partly overwritten), and nothing is left beside it.
TEST_F(ZipTest, InPlaceSaveThatFailsLeavesThePackageAsItWas)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "a package of another user needs the administrator to set up";
    struct Case {
        const char* what;
        KQSaveStep step;
        int nth;
        int error;
        const char* message;
    };
    const Case cases[] = {
        {"copy", KQ_STEP_BACKUP, 1, ENOSPC,
         "The disk is full: the new archive does not fit on it (No space left on device)"},
        {"copy flushed", KQ_STEP_FLUSH, 3, EIO, "Write error: Input/output error"},
        {"first piece written in place", KQ_STEP_IN_PLACE, 1, EIO, "Write error: Input/output error"},
        {"second piece written in place", KQ_STEP_IN_PLACE, 2, ENOSPC,
         "The disk is full: the new archive does not fit on it (No space left on device)"},
        {"package flushed", KQ_STEP_FLUSH, 4, EIO, "Write error: Input/output error"},
    };
    const std::string folder = "zt_inplace_folder";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::error_code ec;
        fs::remove_all(folder, ec);
        ASSERT_TRUE(fs::create_directory(folder));
        ASSERT_EQ(::chmod(folder.c_str(), 0777), 0);
        const std::string shared = folder + "/shared.zip";
        // Over a megabyte that does not compress, so that the overwrite
        // takes two pieces.
        std::string noise(1500000, '\0');
        uint32_t x = 2463534242u;
        for (char& b : noise) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            b = static_cast<char>(x);
        }
        ASSERT_TRUE(MakeZip(shared, {{"a.txt", "original"}, {"big.bin", noise}}));
        ASSERT_EQ(::chown(shared.c_str(), 4242, 4343), 0);
        ASSERT_EQ(::chmod(shared.c_str(), 0660), 0);
        const std::string before = FileBytes(shared);
        std::fflush(nullptr);
        pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            const gid_t groups[] = {4343};
            if (::setgroups(1, groups) != 0 || ::setgid(4545) != 0 || ::setuid(4646) != 0)
                ::_exit(2);
            inPlaceFailure = InPlaceFailure{c.step, c.nth, c.error};
            KQSetSaveStepHook(FailInPlaceStep);
            KQZipArchive a;
            // The first entry goes, so that every byte after it moves.
            bool closed =
                !a.Open(shared.c_str(), 0) || !a.Delete("a.txt") || !a.WriteDataRaw("b.txt", "new", 3) || a.Close();
            const bool told = Message(a) == std::string("Error returned from file access library : ") + c.message;
            if (!told)
                std::fprintf(stderr, "message: %s\n", Message(a).c_str());
            ::_exit(closed ? 3 : told ? 0 : 4);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
        EXPECT_TRUE(FileBytes(shared) == before) << "the package changed";
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(folder))
            names.push_back(e.path().filename().string());
        EXPECT_EQ(names, std::vector<std::string>{"shared.zip"});
        fs::remove_all(folder, ec);
    }
}

#endif

#ifdef KQ_TEST_WINDOWS
namespace {

// The creation time of file, or 0 when it cannot be read.
unsigned long long CreationTime(const std::string& file)
{
    HANDLE h = CreateFileA(file.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return 0;
    FILETIME created;
    bool known = GetFileTime(h, &created, nullptr, nullptr) != 0;
    CloseHandle(h);
    return known ? (static_cast<unsigned long long>(created.dwHighDateTime) << 32) | created.dwLowDateTime : 0;
}

}  // namespace

// The saved archive is still the user's file: it keeps its creation time,
// as the system's replace carries it over.
TEST_F(ZipTest, SaveKeepsTheCreationTime)
{
    ASSERT_TRUE(MakeZip(path, {{"a.txt", "original"}}));
    SYSTEMTIME when = {2001, 1, 1, 1, 12, 0, 0, 0};
    FILETIME created;
    ASSERT_TRUE(SystemTimeToFileTime(&when, &created));
    HANDLE h = CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    SetFileTime(h, &created, nullptr, nullptr);
    CloseHandle(h);
    const unsigned long long set =
        (static_cast<unsigned long long>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
    if (CreationTime(path) != set)
        GTEST_SKIP() << "the file system here keeps no creation time that can be set";
    KQZipArchive a;
    ASSERT_TRUE(a.Open(path.c_str(), 0));
    EXPECT_TRUE(a.WriteDataRaw("b.txt", "new", 3));
    EXPECT_TRUE(a.Close());
    EXPECT_EQ(CreationTime(path), set);
    KQZipArchive check;
    ASSERT_TRUE(check.Open(path.c_str(), 1));
    EXPECT_EQ(ReadRaw(check, "b.txt"), "new");
}
#endif

TEST(ZipMemory, ArchiveInMemory)
{
    KQZipMemorySource source;
    ExposedArchive a;
    ASSERT_TRUE(a.OpenAbstractFile(&source, 2));
    EXPECT_EQ(a.memorySource, &source);
    EXPECT_TRUE(a.fileName.IsEmpty());
    EXPECT_FALSE(a.OpenAbstractFile(&source, 2));
    ExpectError(a, 1104, 366, "KQZipArchive::Open", "The archive is open, close it before opening.");
    EXPECT_TRUE(a.WriteDataRaw("ppt\\slide.xml", "<s/>", 4));
    EXPECT_TRUE(a.Close());

    uint32 size = 0;
    ubyte* bytes = source.CopyData(&size);
    ASSERT_NE(bytes, nullptr);
    EXPECT_EQ(memcmp(bytes, "PK\x03\x04", 4), 0);
    free(bytes);

    // Reopening a created archive opens it for update.
    ASSERT_TRUE(a.Reopen());
    EXPECT_FALSE(a.IsReadOnly());
    EXPECT_EQ(ReadRaw(a, "ppt/slide.xml"), "<s/>");
    a.Close();

    EXPECT_FALSE(a.OpenAbstractFile(&source, 7));
    ExpectError(a, 1104, 399, "KQZipArchive::Open", "File still closed after opening it.");

    KQZipMemorySource junk;
    ASSERT_TRUE(junk.SetData("junk junk junk", 14));
    EXPECT_FALSE(a.OpenAbstractFile(&junk, 1));
    ExpectError(a, 1105, 395, "KQZipArchive::Open", "Error returned from file access library : Not a zip archive");
    EXPECT_TRUE(a.IsClosed());
}

// Damaged archives of every kind: opening and reading every entry as XML
// must fail cleanly, never crash or read out of bounds.
TEST(ZipMemory, MutatedArchivesFailCleanly)
{
    std::string valid;
    {
        KQZipMemorySource source;
        KQZipArchive a;
        ASSERT_TRUE(a.OpenAbstractFile(&source, 2));
        for (const auto& e : PackageEntries())
            ASSERT_TRUE(a.WriteDataRaw(e.first.c_str(), e.second.data(), static_cast<uint32>(e.second.size())));
        ASSERT_TRUE(a.Close());
        uint32 size = 0;
        ubyte* bytes = source.CopyData(&size);
        ASSERT_NE(bytes, nullptr);
        valid.assign(reinterpret_cast<char*>(bytes), size);
        free(bytes);
    }
    // Hundreds of expected failures: keep the console quiet.
    KQSetErrorReporting(false);
    unsigned x = 12345;
    int opened = 0;
    for (int round = 0; round < 400; ++round) {
        std::string bytes = valid;
        if (round % 4 == 0) {
            x = x * 1103515245u + 12345u;
            bytes.resize((x >> 8) % bytes.size());
        }
        int flips = 1 + round % 8;
        for (int k = 0; k < flips && !bytes.empty(); ++k) {
            x = x * 1103515245u + 12345u;
            size_t at = (x >> 8) % bytes.size();
            x = x * 1103515245u + 12345u;
            bytes[at] = static_cast<char>(x >> 16);
        }
        KQZipMemorySource source;
        ASSERT_TRUE(source.SetData(bytes.data(), static_cast<uint32>(bytes.size())));
        KQZipArchive a;
        if (!a.OpenAbstractFile(&source, 1))
            continue;
        ++opened;
        KQStringArray names;
        a.FindFiles("", true, &names);
        for (int32 i = 0; i < names.GetCount(); ++i) {
            KQXmlDocument doc(false);
            a.ReadXmlFile(names[i], &doc);
        }
        a.Close();
    }
    KQSetErrorReporting(true);
    EXPECT_GT(opened, 0);
}

TEST_F(ZipTest, NameIndexFollowsAddsAndDeletes)
{
    // Two names that differ only in case: the first in archive order wins,
    // and the second takes over once the first is gone.
    ASSERT_TRUE(MakeZip(path, {{"Doc/A.xml", "<a/>"}, {"doc/a.xml", "<b/>"}, {"c.txt", "c"}}));
    KQZipArchive a;
    ASSERT_TRUE(a.Open(path.c_str(), 0));
    EXPECT_EQ(a.FindFile("DOC\\A.XML"), 0);
    EXPECT_TRUE(a.Delete("doc/A.xml"));
    EXPECT_EQ(a.FindFile("doc\\a.xml"), 1);
    EXPECT_EQ(ReadRaw(a, "Doc\\A.xml"), "<b/>");

    // A rewritten entry is found at its new place; a new one at once.
    KQXmlDocument doc(false);
    doc.Parse("<c/>");
    EXPECT_TRUE(a.WriteXmlFile("doc\\a.xml", &doc, true));
    EXPECT_EQ(a.FindFile("DOC/a.XML"), 3);
    EXPECT_EQ(ReadRaw(a, "doc/a.xml"), "<c />\n");
    EXPECT_TRUE(a.WriteDataRaw("New\\B.bin", "bb", 2));
    EXPECT_EQ(a.FindFile("new/b.BIN"), 4);
    EXPECT_TRUE(a.Delete("new\\b.bin"));
    EXPECT_EQ(a.FindFile("new/b.bin"), -1);
    EXPECT_FALSE(a.Delete("new\\b.bin"));
    EXPECT_TRUE(a.WriteDataRaw("new/b.bin", "b2", 2));
    EXPECT_EQ(ReadRaw(a, "NEW\\B.BIN"), "b2");
    EXPECT_TRUE(a.Close());

    std::map<std::string, StoredEntry> saved = ReadZip(path);
    ASSERT_EQ(saved.size(), 3u);
    EXPECT_EQ(saved["doc/a.xml"].data, "<c />\n");
    EXPECT_EQ(saved["new/b.bin"].data, "b2");
    EXPECT_EQ(saved["c.txt"].data, "c");
}

TEST_F(ZipTest, EntriesMadeWhenTheArchiveIsWritten)
{
    const std::string file = path + ".model";
    const std::string bytes = Pattern(300000, 7);
    std::error_code ec;
    ASSERT_TRUE(kqinput::WriteFile(file, bytes));
    ASSERT_TRUE(MakeZip(path, {{"a.txt", "original"}}));

    // A file entry reads the file when it is needed; a document entry
    // stores the document as it is when the archive is written.
    KQZipArchive a;
    ASSERT_TRUE(a.Open(path.c_str(), 0));
    EXPECT_TRUE(a.WriteDataFromFile("m\\model.kqfx", file.c_str()));
    EXPECT_EQ(ReadRaw(a, "m/model.kqfx"), bytes);
    std::shared_ptr<KQXmlDocument> doc(new KQXmlDocument(false));
    doc->Parse("<r><e/></r>");
    EXPECT_TRUE(a.WriteXmlFileAtClose("r.xml", doc, true));
    doc->RootElement()->LinkEndChild(new TiXmlElement("f"));
    EXPECT_EQ(ReadRaw(a, "r.xml"), "<r>\n\t<e />\n\t<f />\n</r>\n");
    EXPECT_FALSE(a.WriteDataFromFile("gone.kqfx", (file + ".absent").c_str()));
    EXPECT_EQ(a.GetError()->code, 1106);
    EXPECT_TRUE(a.Close());
    doc->RootElement()->LinkEndChild(new TiXmlElement("g"));
    std::map<std::string, StoredEntry> saved = ReadZip(path);
    EXPECT_EQ(saved["m/model.kqfx"].data, bytes);
    EXPECT_EQ(saved["r.xml"].data, "<r>\n\t<e />\n\t<f />\n</r>\n");
    EXPECT_EQ(saved.count("gone.kqfx"), 0u);

    // A file that changed or went away between the add and the save fails
    // the save, and the archive on disk stays as it was.
    struct Change {
        const char* what;
        void (*apply)(const std::string& file);
    };
    const Change changes[] = {
        {"grown", [](const std::string& f) { kqinput::WriteFile(f, Pattern(300001, 7)); }},
        {"shrunk", [](const std::string& f) { kqinput::WriteFile(f, Pattern(1000, 7)); }},
        {"touched",
         [](const std::string& f) { fs::last_write_time(f, fs::last_write_time(f) + std::chrono::seconds(10)); }},
        {"rewritten with the same size and its time set back",
         [](const std::string& f) {
             const fs::file_time_type time = fs::last_write_time(f);
             kqinput::WriteFile(f, Pattern(300000, 8));
             fs::last_write_time(f, time);
         }},
        {"removed", [](const std::string& f) { fs::remove(f); }},
    };
    for (const Change& change : changes) {
        SCOPED_TRACE(change.what);
        ASSERT_TRUE(MakeZip(path, {{"a.txt", "original"}}));
        const std::string before = FileBytes(path);
        ASSERT_TRUE(kqinput::WriteFile(file, bytes));
        KQZipArchive b;
        ASSERT_TRUE(b.Open(path.c_str(), 0));
        EXPECT_TRUE(b.WriteDataFromFile("model.kqfx", file.c_str()));
        change.apply(file);
        EXPECT_FALSE(b.Close());
        ASSERT_TRUE(b.HasError());
        EXPECT_EQ(b.GetError()->code, 1106);
        if (std::string(change.what) != "removed") {
            EXPECT_EQ(Message(b),
                      "Error returned from file access library : File '" + file + "' changed since it was added");
        }
        EXPECT_TRUE(b.IsClosed());
        EXPECT_EQ(FileBytes(path), before);
    }
    fs::remove(file, ec);
}

namespace {

// The zip64 end record at offset at, its locator and the short end record,
// for a directory of size bytes at offset claiming count entries.
std::string End64(uint64_t at, uint64_t count, uint64_t size, uint64_t offset)
{
    kqinput::Bytes out;
    kqinput::PutZip64End(out, count, size, offset, 0);
    kqinput::PutZip64Locator(out, at);
    kqinput::PutZipEnd(out, 0xFFFF, 0xFFFFFFFF, 0xFFFFFFFF);
    return std::string(out.begin(), out.end());
}

uint64_t LittleEndian32(const std::string& bytes, size_t at)
{
    uint64_t value = 0;
    for (int i = 3; i >= 0; --i)
        value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
    return value;
}

}  // namespace

// The lookup finds names as FindFile does, refuses a directory that is not
// sound throughout, and refuses end records whose counts the file cannot
// hold before libzip sets up room for them.
TEST_F(ZipTest, DirectoryListsAnEntryWithoutTheArchiveBeingOpened)
{
    ASSERT_TRUE(MakeZip(path, {{"Case001/Case.dat", Pattern(5000, 3)},
                               {"Case001/Snapshot.jpeg", Pattern(900, 4)},
                               {"Case002/Other.dat", "x"}}));
    const std::string archive = FileBytes(path);
    const size_t directoryAt = static_cast<size_t>(LittleEndian32(archive, archive.size() - 6));
    std::string commented = archive;
    // A comment after the end record, holding a record that is no end record.
    const std::string comment = std::string("PK\x05\x06", 4) + "not an end record";
    commented[commented.size() - 2] = static_cast<char>(comment.size());
    commented += comment;
    std::string overlong = archive;
    overlong[directoryAt + 30] = overlong[directoryAt + 31] = '\xFF';  // extra field past the directory
    std::string miscounted = archive;
    miscounted[miscounted.size() - 12] = miscounted[miscounted.size() - 14] = 4;
    const std::string junk(200, 'x');

    struct Case {
        const char* what;
        std::string bytes;
        const char* name;
        bool lists;
    };
    const Case cases[] = {
        {"the name as stored", archive, "Case001/Snapshot.jpeg", true},
        {"another separator and case", archive, "CASE001\\snapshot.JPEG", true},
        {"the last entry", archive, "case002\\other.dat", true},
        {"a name that is not there", archive, "Case001\\Snapshot.jpg", false},
        {"the file name alone", archive, "Snapshot.jpeg", false},
        {"a comment after the end record", commented, "Case001\\Snapshot.jpeg", true},
        {"cut inside the directory", archive.substr(0, archive.size() - 40), "Case001\\Snapshot.jpeg", false},
        {"a record running past the directory", overlong, "Case001\\Snapshot.jpeg", false},
        {"a count the records do not match", miscounted, "Case001\\Snapshot.jpeg", false},
        {"fifty million entries in a directory past the file", junk + End64(junk.size(), 50000000, 50000000ull * 46, 0),
         "Case001\\Snapshot.jpeg", false},
        {"fifty million entries in 200 bytes", junk + End64(junk.size(), 50000000, junk.size(), 0),
         "Case001\\Snapshot.jpeg", false},
        {"text", "Case001/Snapshot.jpeg\n", "Case001\\Snapshot.jpeg", false},
        {"empty", "", "Case001\\Snapshot.jpeg", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(kqinput::WriteFile(path, c.bytes));
        EXPECT_EQ(KQZipListsEntry(path.c_str(), c.name, KQ_MODEL_DIRECTORY_BOUNDS), c.lists);
    }
    EXPECT_FALSE(KQZipListsEntry("zt_no_such_file.zip", "Case001\\Snapshot.jpeg", KQ_MODEL_DIRECTORY_BOUNDS));

    // A directory larger than the tail the end records are looked for in;
    // the snapshot's record comes last.
    Entries many;
    for (int i = 0; i < 4000; ++i)
        many.emplace_back("Case001/Results/step" + std::to_string(i) + ".dat", "r");
    many.emplace_back("Case001/Snapshot.jpeg", "s");
    ASSERT_TRUE(MakeZip(path, many));
    EXPECT_TRUE(KQZipListsEntry(path.c_str(), "Case001\\Snapshot.jpeg", KQ_MODEL_DIRECTORY_BOUNDS));
    EXPECT_TRUE(KQZipListsEntry(path.c_str(), "Case001\\Results\\step2345.dat", KQ_MODEL_DIRECTORY_BOUNDS));
    EXPECT_FALSE(KQZipListsEntry(path.c_str(), "Case001\\Results\\step4000.dat", KQ_MODEL_DIRECTORY_BOUNDS));
}

namespace {

// A zip archive of empty stored entries of the given names, entry i with
// extras[i] as its extra field (none past the end of extras).
std::string NamedZip(const std::vector<std::string>& names, const std::vector<kqinput::Bytes>& extras = {})
{
    kqinput::Bytes out, central;
    for (size_t i = 0; i < names.size(); ++i) {
        kqinput::StoredRecord r;
        r.name = names[i];
        r.offset = static_cast<uint32_t>(out.size());
        const kqinput::Bytes extra = i < extras.size() ? extras[i] : kqinput::Bytes();
        kqinput::PutLocalHeader(out, r, extra);
        kqinput::PutDirectoryRecord(central, r, extra);
    }
    const size_t at = out.size();
    out.insert(out.end(), central.begin(), central.end());
    kqinput::PutZipEnd(out, static_cast<uint16_t>(names.size()), static_cast<uint32_t>(central.size()),
                       static_cast<uint32_t>(at));
    return std::string(out.begin(), out.end());
}

// The extra field that gives the UTF-8 form of a stored name.
kqinput::Bytes Utf8NameField(const std::string& stored, const std::string& utf8)
{
    kqinput::Bytes field;
    kqinput::PutLe(field, 0x7075, 2);
    kqinput::PutLe(field, 5 + utf8.size(), 2);
    field.push_back(1);
    kqinput::PutLe(field, crc32(0L, reinterpret_cast<const Bytef*>(stored.data()), static_cast<uInt>(stored.size())),
                   4);
    field.insert(field.end(), utf8.begin(), utf8.end());
    return field;
}

std::string Echoed(const std::string& archive, int copies)
{
    const kqinput::Bytes echoed = kqhostile::WithEchoedEnd(kqinput::Bytes(archive.begin(), archive.end()), copies);
    return std::string(echoed.begin(), echoed.end());
}

// The names of a presentation with n viewer controls whose models are
// embedded, as a package holds them.
std::vector<std::string> PresentationNames(int controls)
{
    std::vector<std::string> names = {"[Content_Types].xml", "_rels/.rels", "ppt/presentation.xml",
                                      "ppt/_rels/presentation.xml.rels", "ppt/kqfxFiles/kqfxReferenceIds.xml"};
    for (int i = 1; i <= controls; ++i) {
        const std::string n = std::to_string(i);
        for (const std::string& name :
             {"ppt/slides/slide" + n + ".xml", "ppt/slides/_rels/slide" + n + ".xml.rels",
              "ppt/activeX/activeX" + n + ".xml", "ppt/activeX/_rels/activeX" + n + ".xml.rels",
              "ppt/activeX/activeX" + n + ".bin", "ppt/kqfxFiles/kqfx" + n + ".kqfx"})
            names.push_back(name);
    }
    return names;
}

KQZipNameCost NameCost(const std::vector<std::string>& names)
{
    std::vector<KQZipNameKey> keys;
    for (const std::string& name : names)
        keys.push_back({KQZipNameHash(reinterpret_cast<const ubyte*>(name.data()), static_cast<uint32>(name.size())),
                        static_cast<uint32>(name.size())});
    return KQZipNameTableCost(keys.data(), keys.size());
}

}  // namespace

// libzip weighs every end record it can take against the directory, and
// files every name in a hash table whose chains it walks whole: an archive
// with more than one end record that could be its own, or with names that
// hash alike, is refused before libzip sees it, as a package and as a model.
TEST_F(ZipTest, EndRecordsAndNamesThatWouldStallLibzipAreRefusedFirst)
{
    const std::string archive = NamedZip({"Case001/Case.dat", "Case001/Snapshot.jpeg"});
    std::string commented = archive;
    const std::string text = "Exported by the viewer; case 1 of 1.";
    commented[commented.size() - 2] = static_cast<char>(text.size());
    commented += text;

    // Names libzip's hash takes alike, and as many that it spreads.
    std::vector<std::string> colliding = kqhostile::CollidingNames(4096);
    std::vector<std::string> ordinary;
    for (size_t i = 0; i < colliding.size(); ++i)
        ordinary.push_back("Case001/Results/step" + std::to_string(i) + ".dat");
    colliding.push_back("Case001/Snapshot.jpeg");
    ordinary.push_back("Case001/Snapshot.jpeg");
    // Stored names that spread, presented through UTF-8 name fields that
    // collide, and the reverse; a field whose checksum does not match the
    // stored name is not taken.
    std::vector<std::string> spread, presentedAlike = {"Case001/Snapshot.jpeg"}, presentedApart = presentedAlike,
                                     unmatched = presentedAlike;
    std::vector<kqinput::Bytes> alikeFields(1), apartFields(1), unmatchedFields(1);
    for (size_t i = 0; i + 1 < colliding.size(); ++i) {
        spread.push_back("n" + std::to_string(i));
        presentedAlike.push_back(spread.back());
        alikeFields.push_back(Utf8NameField(spread.back(), colliding[i]));
        presentedApart.push_back(colliding[i]);
        apartFields.push_back(Utf8NameField(colliding[i], spread.back()));
        unmatched.push_back(colliding[i]);
        unmatchedFields.push_back(Utf8NameField(colliding[i] + "x", spread.back()));
    }
    // Stored names that collide byte for byte but are neither ASCII nor
    // UTF-8: libzip presents them converted from code page 437, where "Ç"
    // and "ü" differ in more than their hash allows ("\x80A" and "\x81 "
    // hash alike).
    std::vector<std::string> cp437 = {"Case001/Snapshot.jpeg"};
    for (size_t i = 0; i + 1 < colliding.size(); ++i) {
        std::string name;
        for (int bit = 11; bit >= 0; --bit)
            name += (i >> bit) & 1 ? std::string("\x81 ") : std::string("\x80\x41");
        cp437.push_back(name);
    }

    struct Case {
        const char* what;
        std::string bytes;
        KQZipDirectoryVerdict verdict;
    };
    const Case cases[] = {
        {"one end record", archive, KQ_ZIP_DIRECTORY_PLAUSIBLE},
        {"a text comment", commented, KQ_ZIP_DIRECTORY_PLAUSIBLE},
        {"the end record once more in the comment", Echoed(archive, 1), KQ_ZIP_DIRECTORY_SEVERAL_ENDS},
        {"a thousand copies of it", Echoed(archive, 1000), KQ_ZIP_DIRECTORY_SEVERAL_ENDS},
        {"ordinary names", NamedZip(ordinary), KQ_ZIP_DIRECTORY_PLAUSIBLE},
        {"names that hash alike", NamedZip(colliding), KQ_ZIP_DIRECTORY_CROWDED_NAMES},
        {"UTF-8 names that hash alike", NamedZip(presentedAlike, alikeFields), KQ_ZIP_DIRECTORY_CROWDED_NAMES},
        {"UTF-8 names that spread", NamedZip(presentedApart, apartFields), KQ_ZIP_DIRECTORY_PLAUSIBLE},
        {"UTF-8 fields of other names", NamedZip(unmatched, unmatchedFields), KQ_ZIP_DIRECTORY_CROWDED_NAMES},
        {"code page 437 names that spread", NamedZip(cp437), KQ_ZIP_DIRECTORY_PLAUSIBLE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(kqinput::WriteFile(path, c.bytes));
        for (const KQZipDirectoryBounds& bounds : {KQ_MODEL_DIRECTORY_BOUNDS, KQ_PACKAGE_DIRECTORY_BOUNDS}) {
            FILE* stream = std::fopen(path.c_str(), "rb");
            ASSERT_NE(stream, nullptr);
            EXPECT_EQ(KQZipDirectoryCheck(stream, bounds), c.verdict);
            std::fclose(stream);
        }
        const bool plausible = c.verdict == KQ_ZIP_DIRECTORY_PLAUSIBLE;
        EXPECT_EQ(KQZipListsEntry(path.c_str(), "Case001\\Snapshot.jpeg", KQ_MODEL_DIRECTORY_BOUNDS), plausible);
        // A package is refused before libzip reads it, and left as it was.
        for (int32 mode : {0, 1}) {
            KQZipArchive a;
            EXPECT_EQ(a.Open(path.c_str(), mode), plausible) << Message(a);
            if (!plausible)
                ExpectError(a, 1105, 336, "KQZipArchive::Open",
                            std::string("Error returned from file access library : ") +
                                KQZipDirectoryVerdictText(c.verdict));
            EXPECT_EQ(a.Close(), true);
        }
        EXPECT_EQ(FileBytes(path), c.bytes);
    }

    // libzip's hash (h * 33 + c from 5381) and the table it files names in.
    EXPECT_EQ(KQZipNameHash(reinterpret_cast<const ubyte*>("a"), 1), 5381u * 33u + 'a');
    EXPECT_EQ(KQZipNameHash(reinterpret_cast<const ubyte*>("Ez"), 2),
              KQZipNameHash(reinterpret_cast<const ubyte*>("FY"), 2));
    const KQZipNameCost alike = NameCost(kqhostile::CollidingNames(1000));
    EXPECT_EQ(alike.steps, 1000u * 999u / 2);
    EXPECT_EQ(alike.comparedBytes, 1000u * 999u / 2 * 33u);
    // Real packages spread their names as well as random ones do: a
    // presentation with 10,000 controls (60,005 entries) stays far within.
    const std::vector<std::string> names = PresentationNames(10000);
    const KQZipNameCost real = NameCost(names);
    EXPECT_LT(real.steps, names.size());
    EXPECT_LT(real.steps * 16, KQZipMostNameSteps(names.size()));
    EXPECT_LT(real.comparedBytes, 1000u);
}

TEST_F(ZipTest, EntryStreamStopsAtTheHeadersSizeAndGivesWholeItems)
{
    const std::string bytes = Pattern(10, 5);
    ASSERT_TRUE(MakeZip(path, {{"a.bin", bytes}, {"b.bin", Pattern(3000, 6)}}));
    int error = 0;
    zip_t* archive = zip_open(path.c_str(), ZIP_RDONLY, &error);
    ASSERT_NE(archive, nullptr);
    {
        KQZipEntryReader entry;
        ASSERT_TRUE(entry.Stat(archive, 0));
        ASSERT_TRUE(entry.SizeKnown());
        EXPECT_EQ(entry.Size(), 10u);
        ASSERT_TRUE(entry.Open());
        char buffer[64] = {};
        // Five items of four bytes are asked for; two whole ones are there.
        EXPECT_EQ(KQZipEntryStreamRead(buffer, 4, 5, &entry), 2u);
        EXPECT_EQ(std::string(buffer, 8), bytes.substr(0, 8));
        EXPECT_EQ(entry.Left(), 2u);
        EXPECT_EQ(KQZipEntryStreamRead(buffer, 4, 1, &entry), 0u);
        // Plain reads stop where the header's size ends, without failing.
        EXPECT_EQ(entry.Read(buffer, sizeof(buffer)), 2u);
        EXPECT_EQ(std::string(buffer, 2), bytes.substr(8, 2));
        EXPECT_EQ(entry.Left(), 0u);
        EXPECT_FALSE(entry.Failed());
        EXPECT_TRUE(entry.EndsWell(0));
    }
    zip_discard(archive);
}

namespace {

// The verdicts of the directory check for the file at path, as a model's
// and as a package's.
std::pair<KQZipDirectoryVerdict, KQZipDirectoryVerdict> Verdicts(const std::string& path)
{
    std::pair<KQZipDirectoryVerdict, KQZipDirectoryVerdict> v(KQ_ZIP_DIRECTORY_UNREADABLE, KQ_ZIP_DIRECTORY_UNREADABLE);
    for (int k = 0; k < 2; ++k) {
        FILE* stream = std::fopen(path.c_str(), "rb");
        if (!stream)
            continue;
        (k == 0 ? v.first : v.second) =
            KQZipDirectoryCheck(stream, k == 0 ? KQ_MODEL_DIRECTORY_BOUNDS : KQ_PACKAGE_DIRECTORY_BOUNDS);
        std::fclose(stream);
    }
    return v;
}

// A stored zip of the entries as bytes.
std::string StoredZip(const std::string& path, const std::vector<std::pair<std::string, kqinput::Bytes>>& entries)
{
    return kqhostile::WriteStoredZip(path, entries) ? FileBytes(path) : std::string();
}

kqinput::Bytes AsBytes(const std::string& text)
{
    return kqinput::Bytes(text.begin(), text.end());
}

}  // namespace

// Which end records libzip takes, and which directory, follows from tests
// of its own: the check counts what every end record in the tail claims, so
// that no shape of records it did not foresee lets a directory past the
// bounds. A zip stored as the last entry of a package still opens.
TEST_F(ZipTest, EveryEndRecordInTheTailIsCountedWhateverLibzipMakesOfIt)
{
    const kqinput::Bytes snapshot = AsBytes(Pattern(900, 4));
    struct Case {
        const char* what;
        std::string bytes;
        KQZipDirectoryVerdict model, package;
    };
    std::vector<Case> cases;

    // A zip64 end record before its directory, whose records carry empty
    // extra fields or comments: libzip reads it whole, 18 MB here.
    for (bool comments : {false, true}) {
        ASSERT_TRUE(kqhostile::WriteZip64EndBeforeDirectory(path, snapshot, 300, comments ? 0 : 60000,
                                                            comments ? 60000 : 0));
        cases.push_back({comments ? "a zip64 record before 18 MB of comments" : "a zip64 record before 18 MB of extras",
                         FileBytes(path), KQ_ZIP_DIRECTORY_CLAIMS_TOO_MUCH, KQ_ZIP_DIRECTORY_PLAUSIBLE});
    }
    ASSERT_TRUE(kqhostile::WriteZip64EndBeforeDirectory(path, snapshot, 300, 40, 0));
    cases.push_back({"a zip64 record before a small directory", FileBytes(path), KQ_ZIP_DIRECTORY_PLAUSIBLE,
                     KQ_ZIP_DIRECTORY_PLAUSIBLE});

    // An end record at the very first byte libzip reads of the tail (the
    // last 65,578 bytes, after room for a locator), inside the last entry.
    const std::vector<std::pair<std::string, kqinput::Bytes>> plain = {{"Case001/Case.dat", AsBytes("case")},
                                                                       {"Case001/Snapshot.jpeg", snapshot}};
    std::string farthest = StoredZip(path, {plain[0], {"Case001/Snapshot.jpeg", kqinput::Bytes(70000, 0)}});
    {
        kqinput::Bytes record;
        kqinput::PutZipEnd(record, 0xFFFF, 20u * 1024 * 1024, 0);
        farthest.replace(farthest.size() - 65558, record.size(), std::string(record.begin(), record.end()));
    }
    cases.push_back({"an end record where the tail starts", farthest, KQ_ZIP_DIRECTORY_CLAIMS_TOO_MUCH,
                     KQ_ZIP_DIRECTORY_CLAIMS_TOO_MUCH});

    // Zips stored as the last entry: one of a few entries, and one whose
    // directory of 1,500 entries claims more than its package's.
    std::vector<std::pair<std::string, kqinput::Bytes>> nested = plain;
    nested.emplace_back("Case001/Inner.zip", AsBytes(NamedZip({"a.xml", "b.xml", "c/d.xml"})));
    cases.push_back({"a small zip stored last", StoredZip(path, nested), KQ_ZIP_DIRECTORY_PLAUSIBLE,
                     KQ_ZIP_DIRECTORY_PLAUSIBLE});
    std::vector<std::string> innerNames;
    for (int i = 0; i < 1500; ++i)
        innerNames.push_back("inner/part" + std::to_string(i) + ".xml");
    nested.back().second = AsBytes(NamedZip(innerNames));
    cases.push_back({"a zip of 1,500 entries stored last", StoredZip(path, nested), KQ_ZIP_DIRECTORY_PLAUSIBLE,
                     KQ_ZIP_DIRECTORY_PLAUSIBLE});
    // End records in the comment that claim directories elsewhere: libzip
    // finds none there, but a package's records beyond the largest claim
    // at most what a small archive's do.
    std::string claiming = StoredZip(path, {plain[0], {"Case001/Snapshot.jpeg", kqinput::Bytes(50000, 0)}});
    std::string comment;
    for (uint32_t offset : {1, 2, 3}) {
        kqinput::Bytes record;
        kqinput::PutZipEnd(record, 800, 40000, offset);
        comment.append(record.begin(), record.end());
    }
    claiming[claiming.size() - 2] = static_cast<char>(comment.size());
    claiming += comment;
    cases.push_back({"three end records claiming 40 KB elsewhere", claiming, KQ_ZIP_DIRECTORY_PLAUSIBLE,
                     KQ_ZIP_DIRECTORY_CLAIMS_TOO_MUCH});

    // With a second end record libzip may weigh each directory against its
    // local headers, merging their extra fields one by one: a header of
    // 16,383 fields is refused then, and only then.
    kqinput::Bytes fields;
    for (uint32_t id = 1; id <= 16383; ++id) {
        kqinput::PutLe(fields, id, 2);
        kqinput::PutLe(fields, 0, 2);
    }
    kqinput::Bytes heavy;
    kqinput::StoredRecord r;
    r.name = "Case001/Case.dat";
    kqinput::PutLocalHeader(heavy, r, fields);
    kqinput::Bytes central;
    kqinput::PutDirectoryRecord(central, r);
    r.name = "Case001/Inner.zip";
    r.offset = static_cast<uint32_t>(heavy.size());
    const kqinput::Bytes inner = AsBytes(NamedZip({"a.xml"}));
    r.size = static_cast<uint32_t>(inner.size());
    r.crc = static_cast<uint32_t>(crc32(0, inner.data(), static_cast<uInt>(inner.size())));
    kqinput::PutLocalHeader(heavy, r);
    kqinput::Bytes alone = heavy;
    heavy.insert(heavy.end(), inner.begin(), inner.end());
    for (kqinput::Bytes* b : {&heavy, &alone}) {
        const bool withInner = b == &heavy;
        kqinput::Bytes directory = central;
        if (withInner)
            kqinput::PutDirectoryRecord(directory, r);
        const size_t at = b->size();
        b->insert(b->end(), directory.begin(), directory.end());
        kqinput::PutZipEnd(*b, withInner ? 2 : 1, static_cast<uint32_t>(directory.size()), static_cast<uint32_t>(at));
    }
    cases.push_back({"a heavy local header and a zip stored last", std::string(heavy.begin(), heavy.end()),
                     KQ_ZIP_DIRECTORY_HEAVY_HEADERS, KQ_ZIP_DIRECTORY_HEAVY_HEADERS});
    cases.push_back({"a heavy local header alone", std::string(alone.begin(), alone.end()),
                     KQ_ZIP_DIRECTORY_PLAUSIBLE, KQ_ZIP_DIRECTORY_PLAUSIBLE});

    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(kqinput::WriteFile(path, c.bytes));
        const auto start = std::chrono::steady_clock::now();
        const auto verdicts = Verdicts(path);
        EXPECT_EQ(verdicts.first, c.model);
        EXPECT_EQ(verdicts.second, c.package);
        FILE* stream = std::fopen(path.c_str(), "rb");
        ASSERT_NE(stream, nullptr);
        zip_t* archive = KQZipOpenWithinBounds(stream, KQ_MODEL_DIRECTORY_BOUNDS);
        if (c.model != KQ_ZIP_DIRECTORY_PLAUSIBLE) {
            EXPECT_EQ(archive, nullptr);
        }
        if (archive)
            zip_discard(archive);
        KQZipArchive a;
        const bool opens = a.Open(path.c_str(), 1);
        if (c.package != KQ_ZIP_DIRECTORY_PLAUSIBLE) {
            EXPECT_FALSE(opens);
            ExpectError(a, 1105, 336, "KQZipArchive::Open",
                        std::string("Error returned from file access library : ") +
                            KQZipDirectoryVerdictText(c.package));
        }
        a.Close();
        EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 2.0);
    }

    // A 16-bit count that wrapped, as InfoZIP writes one past 65,535
    // entries: libzip reads on while whole records are left, so the
    // records a model's directory holds count, not its count; also when
    // its last record is spoiled, as libzip has set them all up by then.
    for (bool spoiled : {false, true}) {
        SCOPED_TRACE(spoiled ? "wrapped count, last record spoiled" : "wrapped count");
        ASSERT_TRUE(kqhostile::WriteManyEntryZip(path, 65540));
        std::string wrapped = FileBytes(path);
        const size_t zip64At = wrapped.size() - 98;
        auto field = [&wrapped](size_t at) {
            uint64_t v = 0;
            for (int i = 7; i >= 0; --i)
                v = (v << 8) | static_cast<unsigned char>(wrapped[at + i]);
            return v;
        };
        kqinput::Bytes end;
        kqinput::PutZipEnd(end, 65540 & 0xFFFF, static_cast<uint32_t>(field(zip64At + 40)),
                           static_cast<uint32_t>(field(zip64At + 48)));
        wrapped.replace(zip64At, std::string::npos, std::string(end.begin(), end.end()));
        if (spoiled)
            wrapped[zip64At - (46 + 8)] = 'X';  // the last record's signature (names of 8 bytes)
        ASSERT_TRUE(kqinput::WriteFile(path, wrapped));
        const auto verdicts = Verdicts(path);
        EXPECT_EQ(verdicts.first, KQ_ZIP_DIRECTORY_CLAIMS_TOO_MUCH);
        EXPECT_EQ(verdicts.second, KQ_ZIP_DIRECTORY_PLAUSIBLE);
    }

    // The nested archives open and list their entries as any other.
    for (bool large : {false, true}) {
        SCOPED_TRACE(large ? "large inner zip" : "small inner zip");
        nested.back().second = AsBytes(NamedZip(large ? std::vector<std::string>{"x"} : innerNames));
        ASSERT_TRUE(kqhostile::WriteStoredZip(path, nested));
        EXPECT_TRUE(KQZipListsEntry(path.c_str(), "Case001\\Snapshot.jpeg", KQ_MODEL_DIRECTORY_BOUNDS));
        KQZipArchive a;
        ASSERT_TRUE(a.Open(path.c_str(), 1)) << Message(a);
        EXPECT_EQ(a.FindFile("case001\\inner.zip"), 2);
        a.Close();
    }
}

// Archives held in memory pass the same check as files before libzip sees
// them.
TEST(ZipMemory, ArchivesInMemoryPassTheDirectoryCheck)
{
    const std::string archive = NamedZip({"Case001/Case.dat", "Case001/Snapshot.jpeg"});
    std::vector<std::string> copies(3000, "ppt/slides/slide1.xml");
    const std::pair<std::string, KQZipDirectoryVerdict> cases[] = {
        {archive, KQ_ZIP_DIRECTORY_PLAUSIBLE},
        {std::string(), KQ_ZIP_DIRECTORY_PLAUSIBLE},
        {Echoed(archive, 1000), KQ_ZIP_DIRECTORY_SEVERAL_ENDS},
        {NamedZip(copies), KQ_ZIP_DIRECTORY_CROWDED_NAMES},
        {NamedZip(kqhostile::CollidingNames(4096)), KQ_ZIP_DIRECTORY_CROWDED_NAMES},
    };
    KQSetErrorReporting(false);
    for (const auto& c : cases) {
        for (int32 mode : {0, 1}) {
            KQZipMemorySource source;
            ASSERT_TRUE(source.SetData(c.first.data(), static_cast<uint32>(c.first.size())));
            KQZipArchive a;
            const auto start = std::chrono::steady_clock::now();
            EXPECT_EQ(a.OpenAbstractFile(&source, mode), c.second == KQ_ZIP_DIRECTORY_PLAUSIBLE);
            EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 1.0);
            if (c.second != KQ_ZIP_DIRECTORY_PLAUSIBLE)
                ExpectError(a, 1105, 395, "KQZipArchive::Open",
                            std::string("Error returned from file access library : ") +
                                KQZipDirectoryVerdictText(c.second));
            a.Close();
            // What the source holds is left as it was.
            uint32 size = 0;
            ubyte* bytes = source.CopyData(&size);
            EXPECT_EQ(bytes ? std::string(reinterpret_cast<char*>(bytes), size) : std::string(), c.first);
            free(bytes);
        }
    }
    KQSetErrorReporting(true);
}

#ifdef KQ_TEST_POSIX
// A pipe, a device or a folder named as a package or a model is refused at
// once: opening a pipe that no one writes would wait for ever.
TEST_F(ZipTest, OnlyRegularFilesAreOpenedForTheirDirectory)
{
    const std::string fifo = path + ".fifo";
    const std::string folder = path + ".folder";
    std::remove(fifo.c_str());
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::filesystem::create_directory(folder);
    for (const std::string& name : {fifo, folder, std::string("/dev/zero")}) {
        SCOPED_TRACE(name);
        // Should an open wait, a writer that comes and goes ends the wait.
        bool done = false;
        std::thread rescue([&] {
            for (int i = 0; i < 50 && !__atomic_load_n(&done, __ATOMIC_ACQUIRE); ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            if (!__atomic_load_n(&done, __ATOMIC_ACQUIRE) && name == fifo) {
                const int fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
                if (fd >= 0)
                    close(fd);
            }
        });
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(KQZipListsEntry(name.c_str(), "Case001\\Snapshot.jpeg", KQ_MODEL_DIRECTORY_BOUNDS));
        for (int32 mode : {0, 1}) {
            KQZipArchive a;
            EXPECT_FALSE(a.Open(name.c_str(), mode));
            a.Close();
        }
        FILE* stream = KQOpenFileForReadingUtf8(name);
        EXPECT_EQ(stream, nullptr);
        EXPECT_EQ(errno, EINVAL);
        if (stream)
            std::fclose(stream);
        __atomic_store_n(&done, true, __ATOMIC_RELEASE);
        EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 1.0);
        rescue.join();
    }
    std::remove(fifo.c_str());
    std::filesystem::remove(folder);
}
#endif

// The case-blind name index is keyed by a hash no input can aim at: names
// that share one bucket of an unkeyed table of their number spread under
// it, and are found as any names are.
TEST_F(ZipTest, NamesChosenToShareABucketSpreadInTheIndex)
{
    const size_t count = 8000;
    std::unordered_map<std::string, int> sized;
    for (size_t i = 0; i < count; ++i)
        sized[std::to_string(i)] = 0;
    const std::vector<std::string> crafted = kqhostile::OneBucketNames(count, sized.bucket_count());
    ASSERT_EQ(crafted.size(), count);
    // The names share a bucket of std::hash and spread under the keyed hash.
    std::map<size_t, size_t> load;
    size_t most = 0;
    for (const std::string& name : crafted) {
        EXPECT_EQ(std::hash<std::string>()(name) % sized.bucket_count(),
                  std::hash<std::string>()(crafted[0]) % sized.bucket_count());
        most = std::max(most, ++load[KQKeyedHash()(name) % sized.bucket_count()]);
    }
    EXPECT_LT(most, 16u);

    // Found by the index as any names are (its cost is measured by hand and
    // in the benchmarks, not timed here).
    std::vector<std::pair<std::string, kqinput::Bytes>> entries;
    for (size_t i = 0; i < count; ++i)
        entries.emplace_back(crafted[i], kqinput::Bytes());
    ASSERT_TRUE(kqhostile::WriteStoredZip(path, entries));
    KQZipArchive a;
    ASSERT_TRUE(a.Open(path.c_str(), 1)) << Message(a);
    for (size_t i = 0; i < count; i += 97)
        EXPECT_EQ(a.FindFile(entries[i].first.c_str()), static_cast<int32>(i));
    EXPECT_EQ(a.FindFile("h-none"), -1);
    a.Close();
}
