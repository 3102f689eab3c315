// Whole runs of Corvessa through its entry point: the report, the exit code
// and the package on disk afterwards.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "KQHostileInputs.h"
#include "KQOpenXMLArchive.h"
#include "KQOpenXMLRunParts.h"
#include "KQPlatform.h"
#include "KQTestInputWriter.h"
#include "test_embedder_support.h"

#ifdef KQ_CORVESSA_EXE
#include <sys/wait.h>
#endif
#ifdef KQ_TEST_POSIX
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <chrono>
#include <fcntl.h>
#include <grp.h>
#include <random>
#include <sys/xattr.h>
#include <unistd.h>
#endif

#include "KQFileSystem.h"

using namespace kqtest;
namespace fs = std::filesystem;

namespace {

struct RunResult {
    int exitCode;
    std::string output;  // caption and text of each report box
    UINT style;
};

RunResult* current = nullptr;

int WINAPI TakeReport(HWND owner, LPCSTR text, LPCSTR caption, UINT type)
{
    EXPECT_EQ(owner, nullptr);
    current->output += std::string(caption) + "\n" + text + "\n";
    current->style = type;
    return IDOK;
}

RunResult RunCorvessa(std::string commandLine)
{
    RunResult result{0, std::string(), 0xFFFFFFFFu};
    current = &result;
    KQReportMessageBox = TakeReport;
    result.exitCode = WinMain(nullptr, nullptr, &commandLine[0], SW_SHOWNORMAL);
    KQReportMessageBox = MessageBoxA;
    current = nullptr;
    return result;
}

std::string Box(const std::string& text)
{
    return "Embedding report\n" + text + "\n";
}

const std::string kAllEmbedded2 = Box("2 of 2 KQFx files embedded\n\nEmbedding successful.");
const std::string kNothingToDo = Box("0 of 0 KQFx files embedded\n\nEmbedding successful.");

typedef std::vector<std::pair<std::string, std::string>> RefList;

// A folder with a package and two model files: wing.kqfx beside the package
// and models/rotor.kqfx below it.
struct Scene {
    std::string dir, package, wing, rotor;

    Scene(const std::string& test, const Package& p, const std::string& name = "talk.pptx")
    {
        dir = ScratchFolder(test);
        ScratchFolder(test + "/models");
        package = dir + "/" + name;
        wing = ModelBytes(1, 50000);
        rotor = ModelBytes(2, 300000);
        EXPECT_TRUE(WriteFileBytes(dir + "/wing.kqfx", wing));
        EXPECT_TRUE(WriteFileBytes(dir + "/models/rotor.kqfx", rotor));
        EXPECT_TRUE(WritePackage(package, p));
    }
    Package Saved() const { return ReadPackage(package); }
    // Rewrites the FileURL of control n (1-based) in the package on disk.
    void SetControl(int n, const Control& c, const std::string& root = "ppt")
    {
        Package p = Saved();
        p.Set(root + "/activeX/activeX" + std::to_string(n) + ".xml", ControlXml(c));
        EXPECT_TRUE(WritePackage(package, p));
    }
};

}  // namespace

TEST(CorvessaRun, ReportsOfTheThreeKindsOfOutcome)
{
    Scene both("runboth", MakePresentation({Viewer("wing.kqfx"), Viewer("./models/rotor.kqfx"), Viewer("wing.kqfx")}));
    RunResult r = RunCorvessa(both.package);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.output, kAllEmbedded2);
    EXPECT_EQ(r.style, static_cast<UINT>(MB_OK | MB_ICONINFORMATION));
    Package saved = both.Saved();
    EXPECT_EQ(CheckPackage(saved), "");
    EXPECT_EQ(ViewerFileURLs(saved, "ppt"),
              (std::vector<std::string>{"Embedded[kqfx2]", "Embedded[kqfx1]", "Embedded[kqfx2]"}));
    // "./models/rotor.kqfx" sorts before "wing.kqfx" and is embedded first.
    EXPECT_EQ(saved.Get("ppt/kqfxFiles/kqfx1.kqfx"), both.rotor);
    EXPECT_EQ(saved.Get("ppt/kqfxFiles/kqfx2.kqfx"), both.wing);

    Scene missing("runmissing",
                  MakePresentation({Viewer("wing.kqfx"), Viewer("./models/rotor.kqfx"), Viewer("wing.kqfx")}));
    std::remove((missing.dir + "/models/rotor.kqfx").c_str());
    r = RunCorvessa(missing.package);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(
        r.output,
        Box("Failed to embed:\n\"./models/rotor.kqfx\"\n\n1 of 2 KQFx files embedded\n\nEmbedding unsuccessful."));
    EXPECT_EQ(r.style, static_cast<UINT>(MB_OK | MB_ICONEXCLAMATION));
    saved = missing.Saved();
    EXPECT_EQ(CheckPackage(saved), "");
    EXPECT_EQ(ViewerFileURLs(saved, "ppt"),
              (std::vector<std::string>{"Embedded[kqfx1]", "./models/rotor.kqfx", "Embedded[kqfx1]"}));
    EXPECT_EQ(ReferenceList(saved, "ppt"), (RefList{{"kqfx1", "wing.kqfx"}}));

    Scene none("runnone", MakePresentation({OtherControl("wing.kqfx")}));
    r = RunCorvessa(none.package);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.output, kNothingToDo);
    EXPECT_EQ(r.style, static_cast<UINT>(MB_OK | MB_ICONINFORMATION));
    EXPECT_EQ(CheckPackage(none.Saved()), "");
}

TEST(CorvessaRun, RelativeAndAbsolutePathsInADocument)
{
    std::string base = ScratchFolder("runpaths");
    std::string docs = ScratchFolder("runpaths/docs");
    ScratchFolder("runpaths/models");
    std::string wing = ModelBytes(3, 1000), rotor = ModelBytes(4, 5000), local = ModelBytes(5, 10);
    ASSERT_TRUE(WriteFileBytes(base + "/wing.kqfx", wing));
    ASSERT_TRUE(WriteFileBytes(base + "/models/rotor.kqfx", rotor));
    ASSERT_TRUE(WriteFileBytes(docs + "/local.kqfx", local));
    std::string absolute = AbsolutePath(base + "/wing.kqfx");
    std::string backslashed = AbsolutePath(base + "/models/rotor.kqfx");
    for (char& c : backslashed)
        if (c == '/')
            c = '\\';
    std::string package = docs + "/report.docx";
    ASSERT_TRUE(WritePackage(package, MakeDocument({Viewer("../wing.kqfx"), Viewer(absolute), Viewer(backslashed),
                                                    Viewer("../models/rotor.kqfx"), Viewer("./local.kqfx")})));
    RunResult r = RunCorvessa(package);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.output, Box("5 of 5 KQFx files embedded\n\nEmbedding successful."));
    Package saved = ReadPackage(package);
    EXPECT_EQ(CheckPackage(saved), "");
    RefList list = ReferenceList(saved, "word");
    ASSERT_EQ(list.size(), 5u);
    for (const auto& entry : list) {
        const std::string& bytes = saved.Get("word/kqfxFiles/" + entry.first + ".kqfx");
        const std::string& expected = entry.second.find("rotor") != std::string::npos   ? rotor
                                      : entry.second.find("local") != std::string::npos ? local
                                                                                        : wing;
        EXPECT_EQ(bytes, expected) << entry.second;
    }
    for (const std::string& url : ViewerFileURLs(saved, "word"))
        EXPECT_EQ(url.find("Embedded[kqfx"), 0u) << url;
}

TEST(CorvessaRun, ReRunsKeepIdsAndRemoveWhatNoControlUses)
{
    Scene s("rerun", MakePresentation({Viewer("wing.kqfx"), Viewer("./models/rotor.kqfx"), Viewer("wing.kqfx")}));
    ASSERT_EQ(RunCorvessa(s.package).output, kAllEmbedded2);
    Package first = s.Saved();

    // Nothing left to embed: the package keeps its ids and model files.
    RunResult r = RunCorvessa(s.package);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.output, kNothingToDo);
    Package second = s.Saved();
    EXPECT_EQ(second.Get("ppt/kqfxFiles/kqfx1.kqfx"), s.rotor);
    EXPECT_EQ(second.Get("ppt/kqfxFiles/kqfx2.kqfx"), s.wing);
    EXPECT_EQ(ReferenceList(second, "ppt"), ReferenceList(first, "ppt"));
    EXPECT_EQ(Relationships(second, "ppt/_rels/presentation.xml.rels").size(),
              Relationships(first, "ppt/_rels/presentation.xml.rels").size());

    // Both wing controls now show another file: wing's copy (kqfx2) goes,
    // the new file gets the next free id while kqfx2 is still there.
    ASSERT_TRUE(WriteFileBytes(s.dir + "/other.kqfx", ModelFile("other model")));
    s.SetControl(1, Viewer("./other.kqfx"));
    s.SetControl(3, Viewer("./other.kqfx"));
    EXPECT_EQ(RunCorvessa(s.package).output, Box("1 of 1 KQFx files embedded\n\nEmbedding successful."));
    Package third = s.Saved();
    EXPECT_EQ(CheckPackage(third), "");
    EXPECT_FALSE(third.Has("ppt/kqfxFiles/kqfx2.kqfx"));
    EXPECT_EQ(third.Get("ppt/kqfxFiles/kqfx3.kqfx"), ModelFile("other model"));
    EXPECT_EQ(ReferenceList(third, "ppt"), (RefList{{"kqfx1", "./models/rotor.kqfx"}, {"kqfx3", "./other.kqfx"}}));

    // The freed id is handed out again; its relationship gets the next Id,
    // and removing the rotor copy later takes the right relationship.
    s.SetControl(2, Viewer("wing.kqfx"));
    EXPECT_EQ(RunCorvessa(s.package).output, Box("1 of 1 KQFx files embedded\n\nEmbedding successful."));
    Package fourth = s.Saved();
    EXPECT_EQ(CheckPackage(fourth), "");
    EXPECT_EQ(fourth.Get("ppt/kqfxFiles/kqfx2.kqfx"), s.wing);
    EXPECT_FALSE(fourth.Has("ppt/kqfxFiles/kqfx1.kqfx"));
    EXPECT_EQ(ReferenceList(fourth, "ppt"), (RefList{{"kqfx3", "./other.kqfx"}, {"kqfx2", "wing.kqfx"}}));
    bool found = false;
    for (const Relationship& rel : Relationships(fourth, "ppt/_rels/presentation.xml.rels")) {
        EXPECT_NE(rel.target, "kqfxFiles/kqfx1.kqfx");
        if (rel.target == "kqfxFiles/kqfx2.kqfx") {
            EXPECT_EQ(rel.id, "kqfx4");
            found = true;
        }
    }
    EXPECT_TRUE(found);

    // Every control gone: every copy, the list and its relationship go.
    Package p = s.Saved();
    p.Set("ppt/activeX/activeX1.xml", ControlXml(OtherControl("x")));
    p.Set("ppt/activeX/activeX2.xml", ControlXml(OtherControl("x")));
    p.Set("ppt/activeX/activeX3.xml", ControlXml(OtherControl("x")));
    ASSERT_TRUE(WritePackage(s.package, p));
    EXPECT_EQ(RunCorvessa(s.package).output, kNothingToDo);
    Package last = s.Saved();
    EXPECT_EQ(CheckPackage(last), "");
    EXPECT_FALSE(last.Has("ppt/kqfxFiles/kqfxReferenceIds.xml"));
    EXPECT_EQ(Relationships(last, "ppt/_rels/presentation.xml.rels").size(), 3u);
}

TEST(CorvessaRun, MissingModelFileLeavesNoListEntry)
{
    Scene s("runlate", MakeDocument({Viewer("late.kqfx")}), "doc.docx");
    // Run after run, the list does not grow by an entry for the same file.
    for (int run = 0; run < 2; ++run) {
        RunResult r = RunCorvessa(s.package);
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.output,
                  Box("Failed to embed:\n\"late.kqfx\"\n\n0 of 1 KQFx files embedded\n\nEmbedding unsuccessful."));
        Package saved = s.Saved();
        EXPECT_EQ(CheckPackage(saved), "");
        EXPECT_EQ(ReferenceList(saved, "word"), RefList());
        EXPECT_EQ(ViewerFileURLs(saved, "word"), (std::vector<std::string>{"late.kqfx"}));
    }

    ASSERT_TRUE(WriteFileBytes(s.dir + "/late.kqfx", ModelFile("arrived")));
    EXPECT_EQ(RunCorvessa(s.package).output, Box("1 of 1 KQFx files embedded\n\nEmbedding successful."));
    Package saved = s.Saved();
    EXPECT_EQ(CheckPackage(saved), "");
    EXPECT_EQ(saved.Get("word/kqfxFiles/kqfx1.kqfx"), ModelFile("arrived"));
    EXPECT_EQ(ReferenceList(saved, "word"), (RefList{{"kqfx1", "late.kqfx"}}));
    EXPECT_EQ(ViewerFileURLs(saved, "word"), (std::vector<std::string>{"Embedded[kqfx1]"}));
}

// A control may name any file; only a KQFx container, a zip archive whose
// directory lists the snapshot entry, is copied into the package. Anything
// else is reported as failed, gets no id, leaves none of its bytes in the
// package, and its control keeps the path.
TEST(CorvessaRun, OnlyKQFxContainersAreEmbedded)
{
    const kqinput::Bytes picture = kqinput::EncodeJpeg(kqinput::Picture(32, 16), 32, 16);
    const std::string jpeg(picture.begin(), picture.end());
    const std::string secret = "user:x:1000:1000:private key material";
    const std::string dir = ScratchFolder("runcontainers");
    ASSERT_TRUE(WritePackage(dir + "/other.docx", MakeDocument({Viewer("wing.kqfx")})));
    const std::string docx = ReadFileBytes(dir + "/other.docx");
    const std::string container = ModelFile(secret);

    struct Case {
        std::string name, bytes;
        bool embedded;
    };
    const std::vector<Case> cases = {
        {"notes.txt", secret + "\nCase001/Snapshot.jpeg\n", false},
        {"photo.jpg", jpeg, false},
        {"empty.kqfx", "", false},
        {"nosnapshot.zip", StoredZip({{"Case001/Case.dat", secret}, {"Case001/Snapshot.png", jpeg}}), false},
        {"report.docx", docx, false},
        // Cut inside its directory: the snapshot's record is still there.
        {"cut.kqfx", container.substr(0, container.size() - 30), false},
        {"big.kqfx", StoredZip({{"Case001/Case.dat", secret}, {"Case001/Snapshot.jpeg", jpeg}}, true), true},
        {"other case.kqfx", StoredZip({{"CASE001\\snapshot.JPEG", jpeg}, {"Case001/Case.dat", secret}}), true},
    };
    std::vector<Control> controls;
    for (const Case& c : cases) {
        ASSERT_TRUE(WriteFileBytes(dir + "/" + c.name, c.bytes));
        controls.push_back(Viewer(c.name));
    }
    // The zip64 container is one that libzip reads as such.
    ASSERT_EQ(ReadPackage(dir + "/big.kqfx").Get("Case001/Snapshot.jpeg"), jpeg);
    const std::string package = dir + "/talk.pptx";
    const Package before = MakePresentation(controls);
    ASSERT_TRUE(WritePackage(package, before));

    // The run goes through the values in sorted order.
    std::vector<Case> sorted = cases;
    std::sort(sorted.begin(), sorted.end(), [](const Case& a, const Case& b) { return a.name < b.name; });
    std::string failed;
    std::map<std::string, std::string> ids;
    RefList list;
    for (const Case& c : sorted) {
        if (c.embedded) {
            ids[c.name] = "kqfx" + std::to_string(ids.size() + 1);
            list.emplace_back(ids[c.name], c.name);
        } else {
            failed += "\"" + c.name + "\"\n";
        }
    }
    RunResult r = RunCorvessa(package);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.output, Box("Failed to embed:\n" + failed + "\n2 of 8 KQFx files embedded\n\nEmbedding unsuccessful."));
    EXPECT_EQ(r.style, static_cast<UINT>(MB_OK | MB_ICONEXCLAMATION));

    Package saved = ReadPackage(package);
    EXPECT_EQ(CheckPackage(saved), "");
    EXPECT_EQ(ReferenceList(saved, "ppt"), list);
    std::vector<std::string> names = before.Names();
    names.push_back("ppt/kqfxFiles/kqfxReferenceIds.xml");
    names.push_back("ppt/kqfxFiles/kqfx1.kqfx");
    names.push_back("ppt/kqfxFiles/kqfx2.kqfx");
    std::vector<std::string> savedNames = saved.Names();
    std::sort(names.begin(), names.end());
    std::sort(savedNames.begin(), savedNames.end());
    EXPECT_EQ(savedNames, names);
    std::vector<std::string> urls;
    for (const Case& c : cases) {
        urls.push_back(c.embedded ? "Embedded[" + ids[c.name] + "]" : c.name);
        if (c.embedded) {
            EXPECT_EQ(saved.Get("ppt/kqfxFiles/" + ids[c.name] + ".kqfx"), c.bytes) << c.name;
        }
    }
    EXPECT_EQ(ViewerFileURLs(saved, "ppt"), urls);
    // Only the two containers carry the secret into the package.
    int carriers = 0;
    for (const auto& entry : saved.entries)
        carriers += entry.second.find(secret) != std::string::npos;
    EXPECT_EQ(carriers, 2);
}

TEST(CorvessaRun, ThePathAControlNamesIsTheFileEmbedded)
{
    // Beside the package: wing.kqfx, a#b.kqfx, "Models [v2]/wing.kqfx" and
    // models/rotor.kqfx; in the parent folder another wing.kqfx.
    Scene s("runresolve", MakePresentation({Viewer("models/../wing.kqfx"), Viewer("a#b.kqfx"),
                                            Viewer(".\\models\\rotor.kqfx"), Viewer("./Models [v2]/wing.kqfx")}));
    ASSERT_TRUE(WriteFileBytes(s.dir + "/../wing.kqfx", ModelFile("the parent's wing")));
    ASSERT_TRUE(WriteFileBytes(s.dir + "/a#b.kqfx", ModelFile("hash")));
    ScratchFolder("runresolve/Models [v2]");
    ASSERT_TRUE(WriteFileBytes(s.dir + "/Models [v2]/wing.kqfx", ModelFile("version 2")));
    RunResult r = RunCorvessa(s.package);
    EXPECT_EQ(r.output, Box("4 of 4 KQFx files embedded\n\nEmbedding successful."));
    Package saved = s.Saved();
    EXPECT_EQ(CheckPackage(saved), "");
    RefList list = ReferenceList(saved, "ppt");
    ASSERT_EQ(list.size(), 4u);
    std::map<std::string, std::string> expected = {{"models/../wing.kqfx", s.wing},
                                                   {"a#b.kqfx", ModelFile("hash")},
                                                   {".\\models\\rotor.kqfx", s.rotor},
                                                   {"./Models [v2]/wing.kqfx", ModelFile("version 2")}};
    for (const auto& entry : list)
        EXPECT_EQ(saved.Get("ppt/kqfxFiles/" + entry.first + ".kqfx"), expected[entry.second]) << entry.second;
    for (const std::string& url : ViewerFileURLs(saved, "ppt"))
        EXPECT_EQ(url.find("Embedded[kqfx"), 0u) << url;
}

TEST(CorvessaRun, ReadOnlyPackageIsNotOpened)
{
    Scene s("runreadonly", MakePresentation({Viewer("wing.kqfx")}));
    const std::string before = ReadFileBytes(s.package);
    const fs::perms readOnly = fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read;
    fs::permissions(s.package, readOnly);
    RunResult r = RunCorvessa(s.package);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.output, "");
    EXPECT_EQ(ReadFileBytes(s.package), before);
    EXPECT_EQ(fs::status(s.package).permissions() & fs::perms::owner_write, fs::perms::none);
    fs::permissions(s.package, fs::perms::owner_all);
}

TEST(CorvessaRun, MissingOrUnreadableListDoesNotCostAnEmbeddedModel)
{
    for (const char* list : {"", "\x01\x02 garbage", "<kqfxReferencedFiles"}) {
        SCOPED_TRACE(list);
        Scene s("runlist", MakePresentation({Viewer("wing.kqfx"), Viewer("./models/rotor.kqfx")}));
        s.SetControl(2, Viewer("wing.kqfx"));
        ASSERT_EQ(RunCorvessa(s.package).output, Box("1 of 1 KQFx files embedded\n\nEmbedding successful."));
        Package p = s.Saved();
        if (*list)
            p.Set("ppt/kqfxFiles/kqfxReferenceIds.xml", list);
        else
            p.Remove("ppt/kqfxFiles/kqfxReferenceIds.xml");
        p.Set("ppt/activeX/activeX2.xml", ControlXml(Viewer("./models/rotor.kqfx")));
        ASSERT_TRUE(WritePackage(s.package, p));

        EXPECT_EQ(RunCorvessa(s.package).output, Box("1 of 1 KQFx files embedded\n\nEmbedding successful."));
        Package saved = s.Saved();
        EXPECT_EQ(CheckPackage(saved), "");
        EXPECT_EQ(saved.Get("ppt/kqfxFiles/kqfx1.kqfx"), s.wing);
        EXPECT_EQ(saved.Get("ppt/kqfxFiles/kqfx2.kqfx"), s.rotor);
        EXPECT_EQ(ViewerFileURLs(saved, "ppt"), (std::vector<std::string>{"Embedded[kqfx1]", "Embedded[kqfx2]"}));
        EXPECT_EQ(ReferenceList(saved, "ppt"), (RefList{{"kqfx2", "./models/rotor.kqfx"}}));
    }
}

TEST(CorvessaRun, InputThatIsNoPackageIsLeftAsItWas)
{
    std::string dir = ScratchFolder("runbad");
    Package good = MakePresentation({Viewer("wing.kqfx")});
    ASSERT_TRUE(WriteFileBytes(dir + "/wing.kqfx", "model"));
    ASSERT_TRUE(WritePackage(dir + "/good.pptx", good));
    std::string zipBytes = ReadFileBytes(dir + "/good.pptx");

    Package noRels = good;
    noRels.Remove("_rels/.rels");
    Package neither = good;
    neither.Set("_rels/.rels", "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
                               "<Relationship Id=\"rId1\" Type=\"t\" Target=\"xl/workbook.xml\"/></Relationships>");
    ASSERT_TRUE(WritePackage(dir + "/norels.pptx", noRels));
    ASSERT_TRUE(WritePackage(dir + "/neither.pptx", neither));
    ASSERT_TRUE(WriteFileBytes(dir + "/text.pptx", "This is not a zip archive.\n"));
    ASSERT_TRUE(WriteFileBytes(dir + "/cut.pptx", zipBytes.substr(0, zipBytes.size() / 2)));
    ASSERT_TRUE(WriteFileBytes(dir + "/empty.pptx", ""));

    for (const char* name : {"norels.pptx", "neither.pptx", "text.pptx", "cut.pptx", "empty.pptx"}) {
        SCOPED_TRACE(name);
        std::string path = dir + "/" + name;
        std::string before = ReadFileBytes(path);
        RunResult r = RunCorvessa(path);
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.output, "");
        EXPECT_EQ(ReadFileBytes(path), before);
    }
    EXPECT_EQ(ReadFileBytes(dir + "/good.pptx"), zipBytes);
}

namespace {

std::string AsText(const kqinput::Bytes& bytes)
{
    return std::string(bytes.begin(), bytes.end());
}

// The stored entries, then an empty entry of each name, written without
// libzip.
std::string WithEmptyEntries(const std::vector<std::pair<std::string, std::string>>& entries,
                             const std::vector<std::string>& names, const std::string& path)
{
    std::vector<std::pair<std::string, kqinput::Bytes>> all;
    for (const auto& e : entries)
        all.emplace_back(e.first, kqinput::Bytes(e.second.begin(), e.second.end()));
    for (const std::string& name : names)
        all.emplace_back(name, kqinput::Bytes());
    EXPECT_TRUE(kqhostile::WriteStoredZip(path, all));
    return ReadFileBytes(path);
}

}  // namespace

TEST(CorvessaRun, ArchivesThatWouldStallLibzipAreRefusedBeforeItOpensThem)
{
    // Each of these kept libzip's opening busy for seconds to minutes: end
    // records repeated in the comment, each weighed against the directory,
    // and names that its hash takes alike.
    const std::string dir = ScratchFolder("runstall");
    const kqinput::Bytes jpeg = kqinput::EncodeJpeg(kqinput::Picture(32, 16), 32, 16);
    const std::vector<std::pair<std::string, std::string>> snapshot = {{"Case001/Snapshot.jpeg", AsText(jpeg)}};
    std::vector<std::string> parts;
    for (int i = 1; i < 2000; ++i)
        parts.push_back("Case001/part" + std::to_string(i) + ".dat");
    const std::string model = WithEmptyEntries(snapshot, parts, dir + "/echoed.kqfx");
    const std::string echoed = AsText(kqhostile::WithEchoedEnd(kqinput::Bytes(model.begin(), model.end()), 1000));
    ASSERT_TRUE(WriteFileBytes(dir + "/echoed.kqfx", echoed));
    WithEmptyEntries(snapshot, kqhostile::CollidingNames(65534), dir + "/alike.kqfx");
    ASSERT_TRUE(WriteFileBytes(dir + "/wing.kqfx", ModelFile("wing")));
    const std::string package = dir + "/talk.pptx";
    ASSERT_TRUE(
        WritePackage(package, MakePresentation({Viewer("echoed.kqfx"), Viewer("alike.kqfx"), Viewer("wing.kqfx")})));
    RunResult r = RunCorvessa(package);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.output, Box("Failed to embed:\n\"alike.kqfx\"\n\"echoed.kqfx\"\n\n1 of 3 KQFx files embedded\n\n"
                            "Embedding unsuccessful."));
    EXPECT_EQ(ViewerFileURLs(ReadPackage(package), "ppt"),
              (std::vector<std::string>{"echoed.kqfx", "alike.kqfx", "Embedded[kqfx1]"}));

    // The same shapes in the package itself: the run ends as for a package
    // that does not open, and leaves it as it was.
    const Package talk = MakePresentation({Viewer("wing.kqfx")});
    ASSERT_TRUE(WritePackage(package, talk));
    const std::string plain = ReadFileBytes(package);
    const std::string echoedPackage = AsText(kqhostile::WithEchoedEnd(kqinput::Bytes(plain.begin(), plain.end()), 1));
    ASSERT_TRUE(WriteFileBytes(dir + "/echoed.pptx", echoedPackage));
    const std::string alikePackage =
        WithEmptyEntries(talk.entries, kqhostile::CollidingNames(65534), dir + "/alike.pptx");
    for (const char* name : {"echoed.pptx", "alike.pptx"}) {
        SCOPED_TRACE(name);
        const std::string path = dir + "/" + name;
        const std::string before = ReadFileBytes(path);
        r = RunCorvessa(path);
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.output, "");
        EXPECT_EQ(ReadFileBytes(path), before);
    }
    // With one end record and a text comment, the package is embedded.
    std::string commented = plain;
    const std::string text = "Saved by a presentation program";
    commented[commented.size() - 2] = static_cast<char>(text.size());
    commented += text;
    ASSERT_TRUE(WriteFileBytes(package, commented));
    r = RunCorvessa(package);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.output, Box("1 of 1 KQFx files embedded\n\nEmbedding successful."));
}

TEST(CorvessaRun, CommandLineIsThePathTakenWhole)
{
    Scene s("run with blanks", MakePresentation({Viewer("wing.kqfx"), Viewer("./models/rotor.kqfx")}));
    std::string before = ReadFileBytes(s.package);
    RunResult quoted = RunCorvessa("\"" + s.package + "\"");
    EXPECT_EQ(quoted.exitCode, 0);
    EXPECT_EQ(quoted.output, "");
    EXPECT_EQ(ReadFileBytes(s.package), before);
    RunResult empty = RunCorvessa("");
    EXPECT_EQ(empty.exitCode, 0);
    EXPECT_EQ(empty.output, "");

    RunResult r = RunCorvessa(s.package);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.output, kAllEmbedded2);
}

TEST(CorvessaRun, FirstRelationshipNamingAMainPartDecidesTheKind)
{
    Package p = MakeDocument({Viewer("wing.kqfx")});
    Package ppt = MakePresentation({Viewer("./models/rotor.kqfx")});
    for (const auto& e : ppt.entries)
        if (e.first.compare(0, 4, "ppt/") == 0)
            p.Set(e.first, e.second);
    p.Set("_rels/.rels", "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
                         "<Relationship Id=\"rId3\" Type=\"t\" Target=\"docProps/app.xml\"/>"
                         "<Relationship Id=\"rId1\" Type=\"t\" Target=\"word/document.xml\"/>"
                         "<Relationship Id=\"rId2\" Type=\"t\" Target=\"ppt/presentation.xml\"/></Relationships>");
    Scene s("runkind", p, "both.docx");
    EXPECT_EQ(KQDetectDocumentType(KQString(s.package.c_str())), 0);
    EXPECT_EQ(RunCorvessa(s.package).output, Box("1 of 1 KQFx files embedded\n\nEmbedding successful."));
    Package saved = s.Saved();
    EXPECT_EQ(saved.Get("word/kqfxFiles/kqfx1.kqfx"), s.wing);
    EXPECT_FALSE(saved.Has("ppt/kqfxFiles/kqfx1.kqfx"));

    Scene pres("runkindppt", MakePresentation({}));
    EXPECT_EQ(KQDetectDocumentType(KQString(pres.package.c_str())), 1);
    EXPECT_EQ(KQDetectDocumentType(KQString((pres.dir + "/absent.pptx").c_str())), -1);
}

TEST(CorvessaRun, EmptyAndSharedFileURLsInTheCounts)
{
    Scene s("runcounts", MakePresentation({Viewer(""), Viewer("wing.kqfx"), Viewer("wing.kqfx")}));
    EXPECT_EQ(RunCorvessa(s.package).output, Box("1 of 2 KQFx files embedded\n\nEmbedding successful."));
    Package saved = s.Saved();
    EXPECT_EQ(CheckPackage(saved), "");
    EXPECT_EQ(ViewerFileURLs(saved, "ppt"), (std::vector<std::string>{"", "Embedded[kqfx1]", "Embedded[kqfx1]"}));
}

TEST(CorvessaRun, AllEmbeddedStillRemovesUnusedCopies)
{
    Package p = MakePresentation({Viewer("Embedded[kqfx1]")});
    p.Set("ppt/kqfxFiles/kqfx1.kqfx", "used");
    p.Set("ppt/kqfxFiles/kqfx2.kqfx", "unused");
    Scene s("runallembedded", p);
    EXPECT_EQ(RunCorvessa(s.package).output, kNothingToDo);
    Package saved = s.Saved();
    EXPECT_EQ(saved.Get("ppt/kqfxFiles/kqfx1.kqfx"), "used");
    EXPECT_FALSE(saved.Has("ppt/kqfxFiles/kqfx2.kqfx"));
}

#ifdef KQ_CORVESSA_EXE
TEST(CorvessaProgram, ArgumentsJoinedWithBlanksNameThePackage)
{
    Scene s("program dir", MakePresentation({Viewer("wing.kqfx"), Viewer("./models/rotor.kqfx")}));
    std::string space = s.package.substr(0, s.package.find("program dir") + 7);
    std::string rest = s.package.substr(space.size() + 1);
    std::string out = s.dir + "/../program-out.txt";
    std::string command =
        std::string("'") + KQ_CORVESSA_EXE + "' '" + space + "' '" + rest + "' > '" + out + "' 2>/dev/null";
    int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_EQ(ReadFileBytes(out), kAllEmbedded2);
    EXPECT_EQ(CheckPackage(s.Saved()), "");

    status = std::system((std::string("'") + KQ_CORVESSA_EXE + "' > '" + out + "' 2>/dev/null").c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(ReadFileBytes(out), "");
}
#endif

#ifdef KQ_TEST_POSIX
namespace {

// Names in the folder of a Scene besides the package and the model files.
std::vector<std::string> Leftovers(const Scene& s)
{
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(s.dir)) {
        std::string name = e.path().filename().string();
        if (name != "talk.pptx" && name != "wing.kqfx" && name != "models")
            names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// While it lasts, no file grows beyond limit bytes: a write past it fails
// as on a full disk, or, with the signal's default action, ends the process
// as a kill would.
struct FileSizeLimit {
    rlimit saved;
    explicit FileSizeLimit(rlim_t limit)
    {
        getrlimit(RLIMIT_FSIZE, &saved);
        rlimit lower = saved;
        lower.rlim_cur = limit;
        setrlimit(RLIMIT_FSIZE, &lower);
    }
    ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &saved); }
};

}  // namespace

TEST(CorvessaRun, FailedSaveIsReportedAndChangesNothing)
{
    Scene s("runfull", MakePresentation({Viewer("wing.kqfx"), Viewer("./models/rotor.kqfx")}));
    const std::string before = ReadFileBytes(s.package);
    RunResult r;
    {
        void (*previous)(int) = std::signal(SIGXFSZ, SIG_IGN);
        FileSizeLimit limit(64 * 1024);
        r = RunCorvessa(s.package);
        std::signal(SIGXFSZ, previous);
    }
    EXPECT_EQ(r.exitCode, 0);
    // Told by its cause, whichever call met the limit.
    EXPECT_EQ(r.output, Box("2 of 2 KQFx files embedded\nThe package could not be saved: The new archive is larger "
                            "than this system lets a file grow (File too large)\n\nEmbedding unsuccessful."));
    EXPECT_EQ(r.style, static_cast<UINT>(MB_OK | MB_ICONEXCLAMATION));
    EXPECT_EQ(ReadFileBytes(s.package), before);
    EXPECT_EQ(Leftovers(s), std::vector<std::string>());
}

TEST(CorvessaRun, SaveKilledMidwayLeavesOneLeftoverThatTheNextRunReclaims)
{
    Scene s("runkilled", MakePresentation({Viewer("wing.kqfx"), Viewer("./models/rotor.kqfx")}));
    const std::string before = ReadFileBytes(s.package);
    for (int kill = 0; kill < 3; ++kill) {
        std::fflush(nullptr);
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            rlimit noCore = {0, 0};
            setrlimit(RLIMIT_CORE, &noCore);
            std::signal(SIGXFSZ, SIG_DFL);
            FileSizeLimit limit(64 * 1024);
            RunCorvessa(s.package);
            _exit(0);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the run was not stopped in its save";
        EXPECT_EQ(WTERMSIG(status), SIGXFSZ);
        EXPECT_EQ(ReadFileBytes(s.package), before);
        EXPECT_EQ(Leftovers(s), (std::vector<std::string>{"talk.pptx.kqsave"}));
    }
    // A folder copied or restored brings the leftover along beside a package
    // that is another file now: what is left is still a stopped save's.
    fs::copy_file(s.package, s.package + ".copy");
    fs::rename(s.package + ".copy", s.package);
    EXPECT_EQ(RunCorvessa(s.package).output, kAllEmbedded2);
    EXPECT_EQ(Leftovers(s), std::vector<std::string>());
    EXPECT_EQ(CheckPackage(s.Saved()), "");
}

TEST(CorvessaRun, PackageOpenedThroughALinkStaysALink)
{
    Scene s("runlink", MakePresentation({Viewer("wing.kqfx"), Viewer("./models/rotor.kqfx")}));
    ScratchFolder("runlink/real");
    const std::string real = s.dir + "/real/talk.pptx";
    fs::rename(s.package, real);
    fs::create_symlink("real/talk.pptx", s.package);
    RunResult r = RunCorvessa(s.package);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.output, kAllEmbedded2);
    EXPECT_TRUE(fs::is_symlink(s.package));
    EXPECT_EQ(fs::read_symlink(s.package), fs::path("real/talk.pptx"));
    Package saved = ReadPackage(real);
    EXPECT_EQ(CheckPackage(saved), "");
    EXPECT_EQ(saved.Get("ppt/kqfxFiles/kqfx2.kqfx"), s.wing);
    EXPECT_EQ(Leftovers(s), (std::vector<std::string>{"real"}));
}

namespace {

// The test seam's plan: fail the n-th call (1-based) of one step with an
// error number, or only count the calls of every step.
struct Injection {
    KQSaveStep step = KQ_STEP_CREATE;
    int nth = 0;  // 0: fail nothing
    int error = 0;
    std::map<int, int> calls;
} injection;

int Inject(KQSaveStep step, const char*)
{
    int n = ++injection.calls[step];
    return injection.nth > 0 && step == injection.step && n == injection.nth ? injection.error : 0;
}

std::string AttributeOf(const std::string& file, const char* name)
{
    char value[256];
    ssize_t n = ::getxattr(file.c_str(), name, value, sizeof(value));
    return n < 0 ? std::string("<none>") : std::string(value, static_cast<size_t>(n));
}

}  // namespace

// Each step of a save fails in turn, as SQLite's I/O error tests make each
// call fail: creating the temporary, writes, flushes, each right given to
// the new file, the rename, the folder's flush. Every time the report tells
// what happened, the package is byte for byte as it was (or, when only the
// folder's flush failed, the complete new one), nothing is left that the
// next run does not take away, and the next run saves with every right
// kept. KQ_SAVE_FAILURE_TABLE=1 prints the table of what was seen.
TEST(CorvessaRun, EveryStepOfTheSaveMayFail)
{
    Scene s("runinject", MakePresentation({Viewer("wing.kqfx"), Viewer("./models/rotor.kqfx")}));
    ASSERT_EQ(::chmod(s.package.c_str(), 0640), 0);
    if (::setxattr(s.package.c_str(), "user.comment", "kept", 4, 0) != 0)
        GTEST_SKIP() << "no user attributes on this file system";
    const std::string acl = kqinput::AccessAcl(4444);
    if (::setxattr(s.package.c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0) != 0)
        GTEST_SKIP() << "no ACLs on this file system";
    struct stat was;
    ASSERT_EQ(::stat(s.package.c_str(), &was), 0);
    const std::string before = ReadFileBytes(s.package);

    // How often each step is met in one save.
    injection = Injection();
    KQSetSaveStepHook(Inject);
    {
        Scene dry("runinjectcount", MakePresentation({Viewer("wing.kqfx"), Viewer("./models/rotor.kqfx")}));
        ASSERT_EQ(::setxattr(dry.package.c_str(), "user.comment", "kept", 4, 0), 0);
        ASSERT_EQ(::setxattr(dry.package.c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0), 0);
        EXPECT_EQ(RunCorvessa(dry.package).output, kAllEmbedded2);
    }
    const std::map<int, int> calls = injection.calls;
    KQSetSaveStepHook(nullptr);

    struct Step {
        KQSaveStep step;
        const char* name;
        int error;
        const char* report;  // what the report says after "could not be saved: "; null: success
    };
    const Step steps[] = {
        {KQ_STEP_CREATE, "create temporary", ENOSPC,
         "The disk is full: the new archive does not fit on it (No space left on device)"},
        {KQ_STEP_WRITE, "write", ENOSPC,
         "The disk is full: the new archive does not fit on it (No space left on device)"},
        {KQ_STEP_WRITE, "write", EIO, "Write error: Input/output error"},
        {KQ_STEP_WRITE, "write", EFBIG, "The new archive is larger than this system lets a file grow (File too large)"},
        {KQ_STEP_FLUSH, "flush", EIO, "Write error: Input/output error"},
        {KQ_STEP_FLUSH, "flush", ENOSPC,
         "The disk is full: the new archive does not fit on it (No space left on device)"},
        {KQ_STEP_OWNER, "owner and group", EIO, nullptr},
        {KQ_STEP_ATTRIBUTE, "extended attribute", ENOTSUP,
         "The extended attribute 'user.comment' of the archive could not be kept (Operation not supported); the "
         "archive is left as it was"},
        {KQ_STEP_ACL, "ACL", EPERM,
         "The access control list of the archive could not be kept (Operation not permitted); the archive is left "
         "as it was"},
        {KQ_STEP_MODE, "mode", EPERM,
         "The permissions of the archive could not be kept (Operation not permitted); the archive is left as it "
         "was"},
        {KQ_STEP_REPLACE, "rename", EIO, "Renaming temporary file failed: Input/output error"},
        {KQ_STEP_FOLDER_FLUSH, "folder flush", EIO, nullptr},
    };
    const bool print = std::getenv("KQ_SAVE_FAILURE_TABLE") != nullptr;
    std::map<int, int> seen;
    for (const Step& step : steps) {
        auto found = calls.find(step.step);
        ASSERT_NE(found, calls.end()) << step.name << " was never met";
        // Writes and flushes: one failing call of each kind in turn, the
        // first, the middle and the last of the writes.
        const int count = found->second;
        std::vector<int> nths;
        if (step.step == KQ_STEP_WRITE) {
            const int which = seen[step.step]++;
            nths.push_back(which == 0 ? 1 : which == 1 ? (count + 1) / 2 : count);
        } else if (step.step == KQ_STEP_FLUSH) {
            for (int n = 1 + seen[step.step]++; n <= count; n += 2)
                nths.push_back(n);
        } else {
            for (int n = 1; n <= count; ++n)
                nths.push_back(n);
        }
        for (int nth : nths) {
            SCOPED_TRACE(std::string(step.name) + " #" + std::to_string(nth));
            injection = Injection();
            injection.step = step.step;
            injection.nth = nth;
            injection.error = step.error;
            KQSetSaveStepHook(Inject);
            RunResult r = RunCorvessa(s.package);
            KQSetSaveStepHook(nullptr);
            const bool fails = step.report || step.step == KQ_STEP_OWNER;
            std::string expected = kAllEmbedded2;
            if (step.step == KQ_STEP_OWNER && fails)
                expected = Box("2 of 2 KQFx files embedded\nThe package could not be saved: The owner and group of "
                               "the archive could not be kept (Input/output error); the archive is left as it "
                               "was\n\nEmbedding unsuccessful.");
            else if (step.report)
                expected = Box(std::string("2 of 2 KQFx files embedded\nThe package could not be saved: ") +
                               step.report + "\n\nEmbedding unsuccessful.");
            EXPECT_EQ(r.output, expected);
            EXPECT_EQ(r.exitCode, fails ? 0 : 1);
            const std::string after = ReadFileBytes(s.package);
            if (fails) {
                EXPECT_EQ(after, before);
            } else {
                EXPECT_EQ(CheckPackage(s.Saved()), "");
            }
            EXPECT_EQ(Leftovers(s), std::vector<std::string>());
            if (print) {
                std::string report = r.output.substr(r.output.find('\n') + 1);
                for (char& c : report)
                    c = c == '\n' ? ' ' : c;
                std::printf("| %s #%d of %d | %s | %s | %s |\n", step.name, nth, found->second,
                            std::strerror(step.error), report.c_str(),
                            after == before ? "byte-identical" : "complete, new");
            }
            // Back to the package as it was, in place, for the next step.
            ASSERT_TRUE(WriteFileBytes(s.package, before));
        }
    }
    EXPECT_EQ(RunCorvessa(s.package).output, kAllEmbedded2);
    EXPECT_EQ(Leftovers(s), std::vector<std::string>());
    struct stat now;
    ASSERT_EQ(::stat(s.package.c_str(), &now), 0);
    EXPECT_EQ(now.st_mode, was.st_mode);
    EXPECT_EQ(now.st_uid, was.st_uid);
    EXPECT_EQ(now.st_gid, was.st_gid);
    EXPECT_EQ(AttributeOf(s.package, "user.comment"), "kept");
    EXPECT_EQ(AttributeOf(s.package, "system.posix_acl_access"), acl);
}

#ifdef KQ_CORVESSA_EXE
namespace {

// The program's standard output for one package; a run that hangs is
// stopped after 20 s.
std::string RunProgram(const std::string& package, int* exitCode)
{
    const std::string out = package + ".out";
    const std::string command =
        std::string("timeout 20 '") + KQ_CORVESSA_EXE + "' '" + package + "' > '" + out + "' 2>/dev/null";
    int status = std::system(command.c_str());
    *exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::string text = ReadFileBytes(out);
    std::remove(out.c_str());
    return text;
}

}  // namespace

TEST(CorvessaProgram, PipesAndDevicesAreNoModelFiles)
{
    Scene s("program pipes",
            MakePresentation({Viewer("pipe.kqfx"), Viewer("/dev/zero"), Viewer("/dev/urandom"), Viewer("wing.kqfx")}));
    ASSERT_EQ(mkfifo((s.dir + "/pipe.kqfx").c_str(), 0600), 0);
    int code = -1;
    EXPECT_EQ(RunProgram(s.package, &code), Box("Failed to embed:\n\"/dev/urandom\"\n\"/dev/zero\"\n\"pipe.kqfx\"\n\n"
                                                "1 of 4 KQFx files embedded\n\nEmbedding unsuccessful."));
    EXPECT_EQ(code, 1);
    EXPECT_EQ(ReferenceList(s.Saved(), "ppt"), (RefList{{"kqfx1", "wing.kqfx"}}));
}

TEST(CorvessaProgram, FileNamesAreUtf8)
{
    const std::string model = "mod\xC3\xA8le \xC3\xBC.kqfx", absent = "absent \xC3\xBC.kqfx";
    Scene s("pr\xC3\xA9sentations", MakePresentation({Viewer(model), Viewer(absent)}));
    ASSERT_TRUE(WriteFileBytes(s.dir + "/" + model, ModelFile("accented")));
    int code = -1;
    // The report names the file as the control does.
    EXPECT_EQ(RunProgram(s.package, &code),
              Box("Failed to embed:\n\"" + absent + "\"\n\n1 of 2 KQFx files embedded\n\nEmbedding unsuccessful."));
    EXPECT_EQ(code, 1);
    Package saved = s.Saved();
    EXPECT_EQ(saved.Get("ppt/kqfxFiles/kqfx1.kqfx"), ModelFile("accented"));
    EXPECT_EQ(ReferenceList(saved, "ppt"), (RefList{{"kqfx1", model}}));
}
#endif
#endif

// A run keeps the parts it edits parsed and writes each once at the save;
// the package must come out as embedding one file at a time, each step
// reading and writing its parts at once, makes it.
TEST(CorvessaRun, RunSavesWhatOneStepAtATimeSaves)
{
    Package p = MakePresentation({Viewer("wing.kqfx"), Viewer("./models/rotor.kqfx"), Viewer("missing.kqfx"),
                                  Viewer("wing.kqfx"), OtherControl("wing.kqfx"), Viewer("Embedded[kqfx4]")});
    p.Set("ppt/kqfxFiles/kqfx4.kqfx", "kept");
    p.Set("ppt/kqfxFiles/kqfx6.kqfx", "unused");
    Scene run("stepsrun", p);
    Scene steps("stepsone", p);

    RunResult r = RunCorvessa(run.package);
    EXPECT_EQ(r.exitCode, 1);

    KQOpenXMLPresentation one;
    ASSERT_TRUE(one.Open(steps.package.c_str(), 0));
    KQStringArray urls;
    ASSERT_EQ(one.CollectViewerFileURLs(urls, false), 3);
    for (int32 i = 0; i < urls.GetCount(); ++i) {
        KQString name;
        one.EmbedFile(urls[i], name);
    }
    EXPECT_TRUE(one.RemoveUnreferencedFiles());
    EXPECT_TRUE(one.Close());

    Package fromRun = run.Saved();
    Package fromSteps = steps.Saved();
    EXPECT_EQ(fromRun.Names(), fromSteps.Names());
    for (const auto& entry : fromSteps.entries)
        EXPECT_EQ(fromRun.Get(entry.first), entry.second) << entry.first;
    EXPECT_EQ(fromRun.Get("ppt/kqfxFiles/kqfx1.kqfx"), run.rotor);
    EXPECT_FALSE(fromRun.Has("ppt/kqfxFiles/kqfx6.kqfx"));
}

// The controls' binary parts are not XML and are not reported; a control
// part that should be XML and is damaged is reported once in the run, and
// counts in the report as a file not embedded: it may be the viewer's.
TEST(CorvessaRun, OnlyADamagedXmlPartIsReportedAndOnce)
{
    Package p = MakePresentation({Viewer("wing.kqfx"), Viewer("./models/rotor.kqfx"), Viewer("wing.kqfx")});
    ASSERT_TRUE(p.Has("ppt/activeX/activeX1.bin"));
    p.Set("ppt/activeX/activeX9.xml", "<ax:ocx ax:classid=\"x\"><ax:ocxPr");
    Scene scene("reportonce", p);
    ::testing::internal::CaptureStderr();
    RunResult r = RunCorvessa(scene.package);
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(r.output, Box("Could not read:\n\"ppt\\activeX\\activeX9.xml\" is not well-formed XML (unclosed token "
                            "at line 1, column 24)\n\n2 of 3 KQFx files embedded\n\nEmbedding unsuccessful."));
    EXPECT_EQ(r.style, static_cast<UINT>(MB_OK | MB_ICONEXCLAMATION));
    if (err.empty())
        GTEST_SKIP() << "the console is not the standard error stream on this host";
    size_t reports = 0;
    for (size_t at = err.find("!!!"); at != std::string::npos; at = err.find("!!!", at + 3))
        ++reports;
    EXPECT_EQ(reports, 1u) << err;
    EXPECT_NE(err.find("activeX9.xml"), std::string::npos) << err;
    EXPECT_EQ(err.find(".bin"), std::string::npos) << err;
}

// The archive reads each model when it saves: a model removed or rewritten
// between the embedding and the save fails the save, and the package stays
// as it was. A rewrite of the same size within the same second, its time
// set back as a copy that keeps times would, is caught too, and the report
// names the model.
TEST(CorvessaRun, ModelThatChangesBeforeTheSaveLeavesThePackage)
{
    for (const char* change : {"removed", "rewritten", "samesize"}) {
        SCOPED_TRACE(change);
        Scene scene(std::string("changedmodel") + change,
                    MakePresentation({Viewer("wing.kqfx"), Viewer("./models/rotor.kqfx")}));
        const std::string before = ReadFileBytes(scene.package);
        const std::string victim = scene.dir + "/models/rotor.kqfx";
        const std::string victimBytes = ReadFileBytes(victim);
        const fs::file_time_type victimTime = fs::last_write_time(victim);
        KQOpenXMLPresentation package;
        ASSERT_TRUE(package.Open(scene.package.c_str(), 0));
        KQEmbeddingOutcome outcome;
        EXPECT_TRUE(package.EmbedAll(outcome));
        if (std::string(change) == "removed") {
            std::remove(victim.c_str());
        } else if (std::string(change) == "rewritten") {
            WriteFileBytes(victim, ModelBytes(3, 1000));
        } else {
            std::string other = victimBytes;
            other[other.size() / 2] ^= 0x5A;
            WriteFileBytes(victim, other);
            fs::last_write_time(victim, victimTime);
        }
        package.RemoveUnreferencedFiles();
        EXPECT_FALSE(package.Save(outcome));
        EXPECT_FALSE(outcome.saveFailure.IsEmpty());
        if (std::string(change) != "removed") {
            EXPECT_NE(std::string(outcome.saveFailure.CStr()).find("rotor.kqfx"), std::string::npos)
                << outcome.saveFailure.CStr();
        }
        EXPECT_EQ(ReadFileBytes(scene.package), before);
    }
}

// A model that cannot be declared (here the main part's relationships do
// not read) is not embedded, the reference list does not name it, and the
// report names the part.
TEST(CorvessaRun, ModelThatFailsLeavesNoReferenceEntry)
{
    Package p = MakePresentation({Viewer("wing.kqfx")});
    p.Set("ppt/_rels/presentation.xml.rels", "<Relationships><Relationship");
    Scene s("rundamagedrels", p);
    RunResult r = RunCorvessa(s.package);
    EXPECT_EQ(r.output,
              Box("Failed to embed:\n\"wing.kqfx\"\n\nCould not read:\n\"ppt\\_rels\\presentation.xml.rels\" is "
                  "not well-formed XML (unclosed token at line 1, column 16)\n\n0 of 1 KQFx files embedded\n\n"
                  "Embedding unsuccessful."));
    Package saved = s.Saved();
    EXPECT_EQ(ReferenceList(saved, "ppt"), RefList());
    EXPECT_FALSE(saved.Has("ppt/kqfxFiles/kqfx1.kqfx"));
    EXPECT_EQ(ViewerFileURLs(saved, "ppt"), (std::vector<std::string>{"wing.kqfx"}));
}

// A FileURL names its file in UTF-8. A name that the 8-bit build holds only
// as a look-alike (U+0101 read as '_', the C1 control U+0085 as the
// ellipsis that its byte is in Windows-1252) is reported as failed and gets
// no id, and the look-alike beside the package is not embedded in its
// place. Names that Windows-1252 holds embed as ever.
TEST(CorvessaRun, FileURLThatThe8BitBuildCannotHoldIsRefused)
{
    const std::string macron = "model\xC4\x81.kqfx", c1 = "c1\xC2\x85.kqfx", held = "mod\xC3\xA8le \xC3\xBC.kqfx";
    Scene s("runinexact", MakePresentation({Viewer(macron), Viewer(c1), Viewer("wing.kqfx"), Viewer(held)}));
    ASSERT_TRUE(WriteFileBytes(s.dir + "/model_.kqfx", ModelFile("look-alike")));
    ASSERT_TRUE(kqinput::WriteFile(fs::path(s.dir) / fs::u8path("c1\xE2\x80\xA6.kqfx"), ModelFile("ellipsis")));
    ASSERT_TRUE(kqinput::WriteFile(fs::path(s.dir) / fs::u8path(held), ModelFile("accented")));
    RunResult r = RunCorvessa(s.package);
    EXPECT_EQ(r.exitCode, 1);
    // Listed as the controls hold them, never as the look-alike's name.
    EXPECT_EQ(r.output, Box("Failed to embed:\n\"c1U+0085.kqfx\"\n\"modelU+0101.kqfx\"\n\n"
                            "2 of 4 KQFx files embedded\n\nEmbedding unsuccessful."));
    Package saved = s.Saved();
    EXPECT_EQ(CheckPackage(saved), "");
    RefList list = ReferenceList(saved, "ppt");
    std::sort(list.begin(), list.end(),
              [](const RefList::value_type& a, const RefList::value_type& b) { return a.second < b.second; });
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].second, held);
    EXPECT_EQ(list[1].second, "wing.kqfx");
    EXPECT_EQ(saved.Get("ppt/kqfxFiles/" + list[0].first + ".kqfx"), ModelFile("accented"));
    EXPECT_EQ(saved.Get("ppt/kqfxFiles/" + list[1].first + ".kqfx"), s.wing);
    int models = 0;
    for (const std::string& name : saved.Names())
        models += name.find("ppt/kqfxFiles/") == 0 && name.find("kqfxReferenceIds") == std::string::npos;
    EXPECT_EQ(models, 2);
    int relationships = 0;
    for (const Relationship& rel : Relationships(saved, "ppt/_rels/presentation.xml.rels"))
        relationships += rel.type == "http://kqfxRelationship";
    EXPECT_EQ(relationships, 3);  // the two models and the reference list
    // The refused controls keep their text, whatever their order.
    std::vector<std::string> urls = ViewerFileURLs(saved, "ppt");
    EXPECT_EQ(std::count(urls.begin(), urls.end(), macron), 1);
    EXPECT_EQ(std::count(urls.begin(), urls.end(), c1), 1);

    // A control that names the look-alike itself is told apart from the one
    // that does not: it gets its own file, and the other control is not
    // pointed at a copy of it.
    Scene both("runinexactshared", MakePresentation({Viewer(macron), Viewer("model_.kqfx")}));
    ASSERT_TRUE(WriteFileBytes(both.dir + "/model_.kqfx", ModelFile("look-alike")));
    r = RunCorvessa(both.package);
    EXPECT_EQ(r.output, Box("Failed to embed:\n\"modelU+0101.kqfx\"\n\n1 of 2 KQFx files embedded\n\n"
                            "Embedding unsuccessful."));
    saved = both.Saved();
    EXPECT_EQ(ViewerFileURLs(saved, "ppt"), (std::vector<std::string>{macron, "Embedded[kqfx1]"}));
    EXPECT_EQ(ReferenceList(saved, "ppt"), (RefList{{"kqfx1", "model_.kqfx"}}));
    EXPECT_EQ(saved.Get("ppt/kqfxFiles/kqfx1.kqfx"), ModelFile("look-alike"));

    // A control whose text reads as that of another control (its own shown
    // form) stands for neither: no file is looked up under the value.
    Scene shown("runinexactshown", MakePresentation({Viewer(macron), Viewer("modelU+0101.kqfx")}));
    ASSERT_TRUE(WriteFileBytes(shown.dir + "/modelU+0101.kqfx", ModelFile("shown")));
    r = RunCorvessa(shown.package);
    EXPECT_EQ(r.output, Box("Failed to embed:\n\"modelU+0101.kqfx\"\n\n0 of 1 KQFx files embedded\n\n"
                            "Embedding unsuccessful."));
    EXPECT_EQ(ReferenceList(shown.Saved(), "ppt"), RefList());
}

// A package named relative to a working folder that the 8-bit build cannot
// name: its models are found relative to that folder, not in a folder whose
// name is the working folder's look-alike ('?' or best fit).
TEST(CorvessaRun, WorkingFolderOutsideTheCodePageIsNotTakenAsALookAlike)
{
    const std::string base = ScratchFolder("runcwd");
    Scene s("runcwd/in", MakePresentation({Viewer("wing.kqfx"), Viewer("../up.kqfx")}));
    ASSERT_TRUE(WriteFileBytes(base + "/up.kqfx", ModelFile("up")));
    for (const char* lookAlike : {"/in?", "/ina"}) {
        std::error_code ec;
        if (fs::create_directory(base + lookAlike, ec)) {
            EXPECT_TRUE(WriteFileBytes(base + lookAlike + "/wing.kqfx", ModelFile("look-alike")));
        }
    }
    const fs::path named = fs::path(base) / fs::u8path("in\xC4\x81");
    fs::rename(s.dir, named);
    const fs::path before = fs::current_path();
    fs::current_path(named);
    RunResult r = RunCorvessa("talk.pptx");
    fs::current_path(before);
    fs::rename(named, s.dir);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.output, kAllEmbedded2);
    Package saved = s.Saved();
    EXPECT_EQ(CheckPackage(saved), "");
    RefList list = ReferenceList(saved, "ppt");
    ASSERT_EQ(list.size(), 2u);
    for (const auto& entry : list)
        EXPECT_TRUE(saved.Get("ppt/kqfxFiles/" + entry.first + ".kqfx") ==
                    (entry.second == "wing.kqfx" ? s.wing : ModelFile("up")))
            << entry.second << " is not the file beside the package";
}

namespace {

// A folder holding model.kqfx and a hostile package that names it.
struct HostileScene {
    std::string dir, package, before;

    explicit HostileScene(const std::string& test) : dir(ScratchFolder(test)), package(dir + "/talk.pptx")
    {
        EXPECT_TRUE(WriteFileBytes(dir + "/model.kqfx", ModelFile("case")));
    }
    void Written() { before = ReadFileBytes(package); }
    bool Untouched() const { return ReadFileBytes(package) == before; }
};

std::string Unread(const std::string& part, const std::string& why)
{
    return "Could not read:\n\"" + part + "\" " + why + "\n\n";
}

const std::string kModelFailed = "Failed to embed:\n\"model.kqfx\"\n\n";
const std::string kUnsuccessful1 = "0 of 1 KQFx files embedded\n\nEmbedding unsuccessful.";

// Each part a run reads, as the report names it; whether the package opens
// when the part is refused, and whether the model is then named failed.
struct ReadPart {
    const char* name;
    const char* shown;
    bool opens;
    bool namesModel;
};
const ReadPart kReadParts[] = {{"[Content_Types].xml", "[Content_Types].xml", true, true},
                               {"_rels/.rels", "_rels\\.rels", false, false},
                               {"ppt/_rels/presentation.xml.rels", "ppt\\_rels\\presentation.xml.rels", true, true},
                               {"ppt/activeX/activeX1.xml", "ppt\\activeX\\activeX1.xml", true, false}};

// Runs Corvessa on a package whose part is refused: the package stays as
// it was, and one whose relationships are refused does not open. True when
// it opened; r holds what the run did.
bool RunRefusingPart(HostileScene& scene, const ReadPart& part, RunResult& r)
{
    scene.Written();
    r = RunCorvessa(scene.package);
    EXPECT_TRUE(scene.Untouched());
    if (!part.opens) {
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.output, "");
        return false;
    }
    EXPECT_EQ(r.exitCode, 1);
    return true;
}

}  // namespace

// Nesting as deep as it comes, in each part a run reads: refused before the
// parser recurses, the package untouched, the report (or, for the package
// relationships, which decide whether the package opens at all, the exit
// code) telling which part.
TEST(CorvessaHostileParts, DeepNestingIsRefusedInEveryPart)
{
    for (const ReadPart& part : kReadParts) {
        for (size_t depth : {5000u, 10000u, 38000u, 100000u, 1000000u}) {
            SCOPED_TRACE(std::string(part.name) + " " + std::to_string(depth));
            HostileScene scene("hostilenest");
            ASSERT_TRUE(kqhostile::WriteHostilePackage(scene.package, "model.kqfx", part.name,
                                                       kqhostile::NestedElements(depth)));
            RunResult r{};
            if (!RunRefusingPart(scene, part, r))
                continue;
            EXPECT_EQ(r.output, Box((part.namesModel ? kModelFailed : std::string()) +
                                    Unread(part.shown, "nests elements deeper than 256 levels") + kUnsuccessful1));
        }
    }
}

// Long attribute lists and parts of millions of small elements, each within
// the bytes a part may hold or a few MB deflated: refused for what they
// would cost before they are parsed.
TEST(CorvessaHostileParts, PartsThatWouldCostTooMuchAreRefused)
{
    const std::string types = "[Content_Types].xml";
    struct Case {
        const char* label;
        std::string part, extra;
        std::string report;  // empty: the package does not open
    };
    const std::vector<Case> cases = {
        {"attributes100000", "_rels/.rels", kqhostile::ManyAttributes(100000), ""},
        {"attributes1000000", "_rels/.rels", kqhostile::ManyAttributes(1000000), ""},
        {"empty4000000", "_rels/.rels", kqhostile::EmptyElements(4000000), ""},
        {"empty15000000", "_rels/.rels", kqhostile::EmptyElements(15000000), ""},
        {"overrides1000000", types, kqhostile::Overrides(1000000),
         Box(kModelFailed + Unread(types, "holds more than 16 MiB") + kUnsuccessful1)},
        {"overrides200000", types, kqhostile::Overrides(200000),
         Box(kModelFailed + Unread(types, "holds more elements and attributes than 64 MiB take parsed") +
             kUnsuccessful1)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        HostileScene scene(std::string("hostilecost") + c.label);
        ASSERT_TRUE(kqhostile::WriteHostilePackage(scene.package, "model.kqfx", c.part, c.extra));
        scene.Written();
        RunResult r = RunCorvessa(scene.package);
        EXPECT_TRUE(scene.Untouched());
        EXPECT_EQ(r.exitCode, c.report.empty() ? 0 : 1);
        EXPECT_EQ(r.output, c.report);
    }
}

// A control part that cannot be read may be the viewer's: it counts as a
// file not embedded and is named, and no model file is removed as
// unreferenced while it cannot be read.
TEST(CorvessaHostileParts, UnreadableControlPartsAreFailures)
{
    const std::string control = "ppt\\activeX\\activeX1.xml";
    const std::pair<kqhostile::UnreadableControl, std::string> cases[] = {
        {kqhostile::CONTROL_OVERSIZED, "holds more than 16 MiB"},
        {kqhostile::CONTROL_SIZE_CLAIM, "holds more than 16 MiB"},
        {kqhostile::CONTROL_DTD, "holds a document type declaration"},
        {kqhostile::CONTROL_MALFORMED, "is not well-formed XML (unclosed token at line 2, column 276)"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.second);
        HostileScene scene("hostilecontrol");
        ASSERT_TRUE(kqhostile::WriteUnreadableControlPackage(scene.package, "model.kqfx", c.first));
        scene.Written();
        RunResult r = RunCorvessa(scene.package);
        EXPECT_TRUE(scene.Untouched());
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.output, Box(Unread(control, c.second) + kUnsuccessful1));
        EXPECT_EQ(r.style, static_cast<UINT>(MB_OK | MB_ICONEXCLAMATION));
    }

    // Beside a control that reads, the embedded model of the one that does
    // not stays in the package.
    Package p = MakePresentation({Viewer("wing.kqfx"), Viewer("Embedded[kqfx7]")});
    p.Set("ppt/kqfxFiles/kqfx7.kqfx", ModelFile("kept"));
    p.Set("ppt/activeX/activeX2.xml", "<!DOCTYPE x><ax:ocx/>");
    Scene scene("hostilecontrolkeeps", p);
    RunResult r = RunCorvessa(scene.package);
    EXPECT_EQ(r.output, Box(Unread("ppt\\activeX\\activeX2.xml", "holds a document type declaration") +
                            "1 of 2 KQFx files embedded\n\nEmbedding unsuccessful."));
    EXPECT_EQ(scene.Saved().Get("ppt/kqfxFiles/kqfx7.kqfx"), ModelFile("kept"));
}

// What a run writes, it reads again: a part within the bounds is written at
// most 32 tabs a line, and a part that would print past what a part may
// hold is not written; the save fails, says why, and leaves the package.
TEST(CorvessaHostileParts, WrittenPartsReadAgain)
{
    HostileScene deep("hostilewritedeep");
    ASSERT_TRUE(kqhostile::WriteHostilePackage(deep.package, "model.kqfx", "[Content_Types].xml",
                                               kqhostile::NestedElements(250)));
    RunResult r = RunCorvessa(deep.package);
    EXPECT_EQ(r.output, Box("1 of 1 KQFx files embedded\n\nEmbedding successful."));
    Package saved = ReadPackage(deep.package);
    const std::string& types = saved.Get("[Content_Types].xml");
    EXPECT_NE(types.find(std::string(32, '\t') + "<x>"), std::string::npos);
    EXPECT_EQ(types.find(std::string(33, '\t')), std::string::npos);
    EXPECT_LT(types.size(), 250u * 2 * 40);
    r = RunCorvessa(deep.package);
    EXPECT_EQ(r.output, kNothingToDo);

    // 3 MB of apostrophes print as 18 MB of "&apos;".
    HostileScene grows("hostilewritegrows");
    ASSERT_TRUE(kqhostile::WriteHostilePackage(grows.package, "model.kqfx", "[Content_Types].xml",
                                               "<x a=\"" + std::string(3000000, '\'') + "\"/>"));
    grows.Written();
    r = RunCorvessa(grows.package);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.output, Box("1 of 1 KQFx files embedded\nThe package could not be saved: Xml file "
                            "'[Content_Types].xml' would be written as a part that holds more than 16 MiB\n\n"
                            "Embedding unsuccessful."));
    EXPECT_TRUE(grows.Untouched());
}

#ifdef KQ_CORVESSA_EXE
namespace {

// What the second run started in the middle of the first run's save did.
struct SecondRun {
    std::string package, output, packageDuring;
    int status = -1;
    bool temporaryThere = false;
} secondRun;

void StartSecondRun(const char* archive)
{
    secondRun.packageDuring = ReadFileBytes(archive);
    secondRun.temporaryThere = FileExists(std::string(archive) + ".kqsave");
    const std::string out = secondRun.package + ".second";
    secondRun.status = std::system(
        (std::string("'") + KQ_CORVESSA_EXE + "' '" + secondRun.package + "' > '" + out + "' 2>/dev/null").c_str());
    secondRun.output = ReadFileBytes(out);
    std::remove(out.c_str());
}

}  // namespace

// Two runs on one package whose saves meet: the one that opened it first
// holds it to the end of its save; the other ends as for a package that
// does not open and changes nothing, neither the package nor the first
// run's temporary. The first run's save lands whole and says so.
TEST(CorvessaProgram, SecondRunDuringASaveChangesNothing)
{
    Scene s("runtwice", MakePresentation({Viewer("wing.kqfx"), Viewer("./models/rotor.kqfx")}));
    const std::string before = ReadFileBytes(s.package);
    secondRun = SecondRun();
    secondRun.package = s.package;
    KQSetZipSaveHook(StartSecondRun);
    RunResult first = RunCorvessa(s.package);
    KQSetZipSaveHook(nullptr);
    EXPECT_EQ(first.exitCode, 1);
    EXPECT_EQ(first.output, kAllEmbedded2);
    ASSERT_TRUE(WIFEXITED(secondRun.status));
    EXPECT_EQ(WEXITSTATUS(secondRun.status), 0);
    EXPECT_EQ(secondRun.output, "");
    EXPECT_EQ(secondRun.packageDuring, before);
    EXPECT_TRUE(secondRun.temporaryThere);
    Package saved = s.Saved();
    EXPECT_EQ(CheckPackage(saved), "");
    EXPECT_EQ(saved.Get("ppt/kqfxFiles/kqfx1.kqfx"), s.rotor);
    EXPECT_EQ(saved.Get("ppt/kqfxFiles/kqfx2.kqfx"), s.wing);
    EXPECT_FALSE(FileExists(s.package + ".kqsave"));
    // Once the first run is over, the next one opens it and finds all done.
    EXPECT_EQ(RunCorvessa(s.package).output, kNothingToDo);
}

namespace {

const uid_t kOwner = 4242, kOtherUser = 4646;
const gid_t kGroup = 4343, kOtherGroup = 4545;

// Starts the program on package as another user of the package's group;
// its pid.
pid_t StartAsOtherUser(const std::string& package)
{
    std::fflush(nullptr);
    pid_t child = fork();
    if (child == 0) {
        const gid_t groups[] = {kGroup};
        if (::setgroups(1, groups) != 0 || ::setgid(kOtherGroup) != 0 || ::setuid(kOtherUser) != 0)
            _exit(99);
        int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        ::dup2(null, 2);
        ::execl(KQ_CORVESSA_EXE, KQ_CORVESSA_EXE, package.c_str(), static_cast<char*>(nullptr));
        _exit(98);
    }
    return child;
}

// The package as a save leaves it: whole, both models embedded (entry
// times differ from one save to the next, so bytes are not compared).
bool Complete(const Scene& s)
{
    Package p = s.Saved();
    return CheckPackage(p) == "" && p.Get("ppt/kqfxFiles/kqfx1.kqfx") == ReadFileBytes(s.dir + "/models/rotor.kqfx") &&
           p.Get("ppt/kqfxFiles/kqfx2.kqfx") == ReadFileBytes(s.dir + "/wing.kqfx");
}

int Finish(pid_t child)
{
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

}  // namespace

// Another user who may write the package saves it in place, behind a
// copy; killed at random moments of that save, the run leaves the document
// whole every time, in the package or in the copy, and the next run puts
// it right and leaves nothing behind. Owner, group, mode, attribute and
// the file itself stay.
TEST(CorvessaProgram, SaveInPlaceKilledAtRandomLeavesTheDocumentWhole)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "a package of another user needs the administrator to set up";
    Scene s("runinplacekill", MakePresentation({Viewer("wing.kqfx"), Viewer("./models/rotor.kqfx")}));
    ASSERT_TRUE(WriteFileBytes(s.dir + "/wing.kqfx", ModelBytes(5, 6000000)));
    ASSERT_TRUE(WriteFileBytes(s.dir + "/models/rotor.kqfx", ModelBytes(6, 6000000)));
    ASSERT_EQ(::chmod(s.dir.c_str(), 0777), 0);
    ASSERT_EQ(::chmod((s.dir + "/models").c_str(), 0777), 0);
    ASSERT_EQ(::chown(s.package.c_str(), kOwner, kGroup), 0);
    ASSERT_EQ(::chmod(s.package.c_str(), 0660), 0);
    if (::setxattr(s.package.c_str(), "user.comment", "kept", 4, 0) != 0)
        GTEST_SKIP() << "no user attributes on this file system";
    struct stat was;
    ASSERT_EQ(::stat(s.package.c_str(), &was), 0);
    const std::string before = ReadFileBytes(s.package);

    // How long a whole save takes here.
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(Finish(StartAsOtherUser(s.package)), 1);
    const long long whole =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start).count();
    ASSERT_TRUE(Complete(s));
    EXPECT_EQ(Leftovers(s), std::vector<std::string>());

    std::mt19937 random(20261209);
    int inCopy = 0, killedDuring = 0;
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        ASSERT_TRUE(WriteFileBytes(s.package, before));
        pid_t child = StartAsOtherUser(s.package);
        ::usleep(static_cast<useconds_t>(std::uniform_int_distribution<long long>(0, whole * 11 / 10)(random)));
        ::kill(child, SIGKILL);
        killedDuring += Finish(child) == -SIGKILL;
        // The document is whole: in the package, as it was or as saved, or
        // in the copy beside it.
        const std::string now = ReadFileBytes(s.package);
        const bool backup = FileExists(s.package + ".kqbackup");
        if (backup) {
            ++inCopy;
            EXPECT_TRUE(ReadFileBytes(s.package + ".kqbackup") == before) << "the copy is not the document";
        } else {
            EXPECT_TRUE(now == before || Complete(s)) << "the package is broken";
        }
        // The next run puts it right.
        EXPECT_EQ(Finish(StartAsOtherUser(s.package)), 1);
        EXPECT_TRUE(Complete(s)) << "the package is broken";
        EXPECT_EQ(Leftovers(s), std::vector<std::string>());
        struct stat now_;
        ASSERT_EQ(::stat(s.package.c_str(), &now_), 0);
        EXPECT_EQ(now_.st_ino, was.st_ino);
        EXPECT_EQ(now_.st_uid, kOwner);
        EXPECT_EQ(now_.st_gid, kGroup);
        EXPECT_EQ(now_.st_mode, was.st_mode);
        EXPECT_EQ(AttributeOf(s.package, "user.comment"), "kept");
    }
    std::printf("in-place save killed %d of 20 times before its end, %d times with the copy standing\n", killedDuring,
                inCopy);
}
#endif

// Markup that TinyXML read otherwise than a strict parser does ("&#x" read
// on to the next ';', across a comment, a '<' or the root's end) once
// hid deep nesting, millions of elements or a long attribute list from the
// look in front of it: a crash, gigabytes or a stall. One strict parse
// refuses each at once, in each part a run reads, and names the part.
TEST(CorvessaHostileParts, ReferenceTricksAreRefusedAtOnce)
{
    struct Trick {
        const char* label;
        std::string extra;
    };
    const std::vector<Trick> tricks = {
        {"hex50000", kqhostile::ReferenceTrick(0, kqhostile::NestedElements(50000))},
        {"decimal50000", kqhostile::ReferenceTrick(1, kqhostile::NestedElements(50000))},
        {"lt40000", kqhostile::ReferenceTrick(2, std::string(), 40000)},
        {"elements2000000", kqhostile::ReferenceTrick(0, kqhostile::EmptyElements(2000000))},
        {"attributes100000", kqhostile::ReferenceTrick(0, kqhostile::ManyAttributes(100000))},
        {"rootEnd200000", "&#x</Types></Relationships></ax:ocx>x;" + kqhostile::NestedElements(200000)},
        {"nul", "<x a=\"m.kqfx&#0;.evil\"/>"},
    };
    for (const ReadPart& part : kReadParts) {
        for (const Trick& trick : tricks) {
            SCOPED_TRACE(std::string(part.name) + " " + trick.label);
            HostileScene scene(std::string("hostiletrick") + trick.label);
            ASSERT_TRUE(kqhostile::WriteHostilePackage(scene.package, "model.kqfx", part.name, trick.extra));
            const auto start = std::chrono::steady_clock::now();
            RunResult r{};
            const bool opened = RunRefusingPart(scene, part, r);
            const double seconds =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            // Under a second in a Release build; the sanitizers take longer.
            EXPECT_LT(seconds, 5.0);
            if (!opened)
                continue;
            const std::string head = Box((part.namesModel ? kModelFailed : std::string()) + "Could not read:\n\"" +
                                         part.shown + "\" is not well-formed XML (");
            EXPECT_EQ(r.output.compare(0, head.size() - 1, head, 0, head.size() - 1), 0) << r.output;
            EXPECT_NE(r.output.find(")\n\n" + kUnsuccessful1), std::string::npos) << r.output;
        }
    }
}

// A declaration whose value held "&#x" was written back raw, so that the
// next run read another tree (a comment turned into markup) and reported
// success twice. The value is refused as it is read; a value that a
// program sets is written so that it reads back, or the save fails.
TEST(CorvessaHostileParts, DeclarationsReadBackAsWritten)
{
    const std::string trick = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"&amp;#x\"?>";
    for (const char* part : {"[Content_Types].xml", "ppt/activeX/activeX1.xml"}) {
        SCOPED_TRACE(part);
        HostileScene scene("hostiledeclaration");
        ASSERT_TRUE(kqhostile::WriteHostilePackageDeclared(scene.package, "model.kqfx", part, trick,
                                                           "<!--x41;\"?>" + kqhostile::NestedElements(2) + "-->"));
        scene.Written();
        RunResult r = RunCorvessa(scene.package);
        EXPECT_TRUE(scene.Untouched());
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_NE(r.output.find("is not well-formed XML ("), std::string::npos) << r.output;
        EXPECT_NE(r.output.find("Embedding unsuccessful."), std::string::npos) << r.output;
    }

    // Comments, CDATA, instructions and values of every kind a part may
    // hold are saved so that a second run reads the same tree.
    HostileScene kept("hostilekeptnodes");
    ASSERT_TRUE(kqhostile::WriteHostilePackage(
        kept.package, "model.kqfx", "[Content_Types].xml",
        "<!-- x41; &amp;#x --><?pi &#x41;?><x a=\"&amp;#x41;&#10;&lt;&#9;\">t&amp;#x4;&#13;<![CDATA[&#x<]]>u</x>"));
    // The run reads the part before it makes an element of its own: with
    // the white space condensed unless an earlier test in this process
    // made one.
    const bool condensed = TiXmlBase::IsWhiteSpaceCondensed();
    RunResult r = RunCorvessa(kept.package);
    EXPECT_EQ(r.output, Box("1 of 1 KQFx files embedded\n\nEmbedding successful."));
    Package saved = ReadPackage(kept.package);
    KQXmlDocument first(false);
    const std::string& types = saved.Get("[Content_Types].xml");
    ASSERT_EQ(KQXmlParse(types.data(), types.size(), KQ_XML_PART_BOUNDS, first, false).verdict, KQ_XML_ADMITTED);
    const TiXmlElement* x = first.RootElement()->FirstChildElement("x");
    ASSERT_NE(x, nullptr);
    EXPECT_STREQ(x->Attribute("a"), "&#x41;\n<\t");
    EXPECT_STREQ(KQXmlElement::GetElementText(x).CStr(), condensed ? "t&#x4;" : "t&#x4;\r");
    r = RunCorvessa(kept.package);
    EXPECT_EQ(r.output, kNothingToDo);
    Package again = ReadPackage(kept.package);
    EXPECT_EQ(again.Get("[Content_Types].xml"), types);
}

namespace {

// The tree as TinyXML's own parse built it, printed as TinyXML prints.
std::string TinyXmlPrinted(const std::string& part)
{
    std::string text = part;
    if (!text.empty() && text.back() != '>')
        text.pop_back();
    TiXmlDocument doc;
    doc.Parse(text.c_str(), nullptr, TIXML_DEFAULT_ENCODING);
    if (doc.Error())
        return "error";
    TiXmlPrinter printer;
    printer.SetIndent("\t");
    doc.Accept(&printer);
    return printer.CStr();
}

}  // namespace

// Real parts (the examples, the decks and documents the tests build, and
// what Corvessa saves of them) parse into the tree TinyXML's own parse
// made, with the white space condensed and kept: printed, they are the
// same bytes. Each prints back to a text that parses as the same tree.
TEST(CorvessaXmlParts, TheParseBuildsTinyXmlsTreeOfRealParts)
{
    std::vector<Package> packages = {
        MakePresentation({Viewer("wing.kqfx"), OtherControl("x.kqfx"), Viewer("..\\models\\a b.kqfx")}),
        MakeDocument({Viewer("C:\\models\\it's.kqfx"), Viewer("Embedded[kqfx3]")})};
    for (const char* example : {"/corvessa/talk.pptx", "/corvessa/docs/report.docx"}) {
        Package p = ReadPackage(std::string(KQ_EXAMPLES_DIR) + example);
        if (!p.entries.empty())
            packages.push_back(p);
    }
    HostileScene plain("xmlcorpus");
    ASSERT_TRUE(kqhostile::WriteHostilePackage(plain.package, "model.kqfx", std::string(), std::string()));
    packages.push_back(ReadPackage(plain.package));
    RunCorvessa(plain.package);
    packages.push_back(ReadPackage(plain.package));
    Scene saved("xmlcorpussaved", MakePresentation({Viewer("wing.kqfx"), Viewer("wing.kqfx")}));
    RunCorvessa(saved.package);
    packages.push_back(saved.Saved());

    int parts = 0;
    for (bool condense : {true, false}) {
        TiXmlBase::SetCondenseWhiteSpace(condense);
        for (const Package& p : packages) {
            for (const auto& entry : p.entries) {
                const std::string& name = entry.first;
                if (name.size() < 4 || (name.compare(name.size() - 4, 4, ".xml") != 0 &&
                                        name.compare(name.size() - 5, 5, ".rels") != 0))
                    continue;
                SCOPED_TRACE(name + (condense ? " condensed" : " kept"));
                ++parts;
                std::string text = entry.second;
                if (!text.empty() && text.back() != '>')
                    text.pop_back();
                TiXmlDocument doc;
                ASSERT_EQ(KQXmlParse(text.data(), text.size(), KQ_XML_PART_BOUNDS, doc).verdict, KQ_XML_ADMITTED);
                std::string printed;
                ASSERT_TRUE(KQXmlPrint(doc, printed, KQ_XML_PART_BOUNDS.bytes));
                EXPECT_EQ(printed, TinyXmlPrinted(entry.second));
                TiXmlDocument again;
                ASSERT_EQ(KQXmlParse(printed.data(), printed.size(), KQ_XML_PART_BOUNDS, again).verdict,
                          KQ_XML_ADMITTED);
                EXPECT_TRUE(KQXmlSameTree(doc, again));
            }
        }
    }
    TiXmlBase::SetCondenseWhiteSpace(false);
    EXPECT_GT(parts, 80);
}

// A run's work grows with its parts, read or not. Counted rather than timed:
// each part that cannot be read once made a key of every earlier one.
TEST(CorvessaRunCost, UnreadableControlPartsCostAFewKeysEach)
{
    const int kParts = 3000;
    Package p = MakePresentation({Viewer("model.kqfx")});
    for (int i = 2; i <= kParts + 1; ++i)
        p.Set("ppt/activeX/activeX" + std::to_string(i) + ".xml", "<!DOCTYPE x><x/>");
    Scene scene("runcostunread", p);
    ASSERT_TRUE(WriteFileBytes(scene.dir + "/model.kqfx", ModelFile("case")));
    const uint64 before = KQOpenXMLRunParts::KeysMade();
    RunResult r = RunCorvessa(scene.package);
    const uint64 made = KQOpenXMLRunParts::KeysMade() - before;
    EXPECT_LE(made, 4u * kParts);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.output.find("1 of " + std::to_string(kParts + 1) + " KQFx files embedded"), std::string::npos);
    EXPECT_EQ(std::count(r.output.begin(), r.output.end(), '\n'), kParts + 6);
}

// A report of many lines is gathered in one pass; appended line by line to a
// string that copies itself each time, 200,000 lines took minutes.
TEST(CorvessaRunCost, ReportOfManyLinesIsWhole)
{
    KQEmbeddingOutcome outcome;
    const int kLines = 200000;
    for (int i = 0; i < kLines; ++i)
        outcome.unread.Add(KQString::FromFormat("\"ppt\\activeX\\activeX%d.xml\" holds a document type declaration", i));
    outcome.total = kLines;
    RunResult result{0, std::string(), 0};
    current = &result;
    KQReportMessageBox = TakeReport;
    KQShowEmbeddingReport(outcome);
    KQReportMessageBox = MessageBoxA;
    current = nullptr;
    EXPECT_EQ(std::count(result.output.begin(), result.output.end(), '\n'), kLines + 6);
    EXPECT_NE(result.output.find("\"ppt\\activeX\\activeX199999.xml\" holds a document type declaration\n\n0 of 200000"),
              std::string::npos);
}

// Windows-1252 holds ', EUR, Y-diaeresis and y-diaeresis exactly (the first
// three above U+00FF, the last at its top): each is looked up under its own
// name, and the look-alike with '_' beside it is not taken for any of them.
TEST(CorvessaRun, FileURLsThatWindows1252HoldsAreLookedUpExactly)
{
    const std::vector<std::string> names = {"Bob\xE2\x80\x99s rotor.kqfx", "\xE2\x82\xAC" "uro.kqfx",
                                            "\xC5\xB8" "acht.kqfx", "\xC3\xBF" "arn.kqfx"};
    const std::vector<std::string> alike = {"Bob_s rotor.kqfx", "_uro.kqfx", "_acht.kqfx", "_arn.kqfx"};
    std::vector<Control> controls;
    for (const std::string& name : names)
        controls.push_back(Viewer(name));
    Scene s("run1252exact", MakePresentation(controls));
    for (size_t i = 0; i < names.size(); ++i) {
        ASSERT_TRUE(kqinput::WriteFile(fs::path(s.dir) / fs::u8path(names[i]), ModelFile(names[i])));
        ASSERT_TRUE(WriteFileBytes(s.dir + "/" + alike[i], ModelFile("look-alike")));
    }
    RunResult r = RunCorvessa(s.package);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.output, Box("4 of 4 KQFx files embedded\n\nEmbedding successful."));
    Package saved = s.Saved();
    EXPECT_EQ(CheckPackage(saved), "");
    RefList list = ReferenceList(saved, "ppt");
    ASSERT_EQ(list.size(), names.size());
    for (const RefList::value_type& entry : list) {
        EXPECT_NE(std::find(names.begin(), names.end(), entry.second), names.end()) << entry.second;
        EXPECT_EQ(saved.Get("ppt/kqfxFiles/" + entry.first + ".kqfx"), ModelFile(entry.second));
    }
}

// A NUL in a FileURL, however it arrives (here from a character
// reference), ends no name early: the file named by the text before it is
// not embedded in its place.
TEST(CorvessaRun, FileURLHoldingNulIsRefusedNotCut)
{
    Package p = MakePresentation({Viewer("PLACEHOLDER")});
    std::string control = p.Get("ppt/activeX/activeX1.xml");
    control.replace(control.find("PLACEHOLDER"), 11, "m.kqfx&#0;.evil");
    p.Set("ppt/activeX/activeX1.xml", control);
    Scene s("runnulurl", p);
    ASSERT_TRUE(WriteFileBytes(s.dir + "/m.kqfx", ModelFile("cut")));
    RunResult r = RunCorvessa(s.package);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.output.find("Embedding unsuccessful."), std::string::npos);
    EXPECT_EQ(r.output.find("\"m.kqfx\""), std::string::npos) << r.output;
    Package saved = s.Saved();
    EXPECT_EQ(ReferenceList(saved, "ppt"), RefList());
    EXPECT_FALSE(saved.Has("ppt/kqfxFiles/kqfx1.kqfx"));
}

#ifdef KQ_CORVESSA_EXE
namespace {

// The people of a shared folder: A owns the package (group G), B is
// another member of G, C may write the folder but not the package, D shares
// B's own group but not G.
struct User {
    uid_t uid;
    gid_t gid;
    gid_t group;  // the one supplementary group
};
const User kUserA{kOwner, kGroup, kGroup};
const User kUserANotInG{kOwner, 4747, 4747};
const User kUserB{kOtherUser, kOtherGroup, kGroup};
const User kUserBNotInG{kOtherUser, kOtherGroup, kOtherGroup};
const User kUserC{4848, 4848, 4848};
const User kUserD{4949, kOtherGroup, kOtherGroup};

bool BecomeUser(const User& u)
{
    const gid_t groups[] = {u.group};
    return ::setgroups(1, groups) == 0 && ::setgid(u.gid) == 0 && ::setuid(u.uid) == 0;
}

// What the test seam does in a child's run: stop the run as a kill would
// (exit code 137) at the nth call of a step, or hand over to act.
struct ChildSeam {
    KQSaveStep step = KQ_STEP_CREATE;
    int nth = 0;
    int calls = 0;
    int (*act)(KQSaveStep step, const char* file) = nullptr;
} childSeam;

int ChildHook(KQSaveStep step, const char* file)
{
    if (childSeam.act)
        return childSeam.act(step, file);
    if (step == childSeam.step && ++childSeam.calls == childSeam.nth)
        ::_exit(137);
    return 0;
}

// One run of Corvessa as user in a child process, with the seam of
// childSeam when hooked; its report and exit code (137: stopped).
RunResult RunAs(const User& u, const std::string& package, bool hooked = false)
{
    int pipeFds[2];
    EXPECT_EQ(::pipe(pipeFds), 0);
    std::fflush(nullptr);
    pid_t child = ::fork();
    if (child == 0) {
        ::close(pipeFds[0]);
        if (!BecomeUser(u))
            ::_exit(99);
        int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 2);
        if (hooked)
            KQSetSaveStepHook(ChildHook);
        RunResult r = RunCorvessa(package);
        if (!r.output.empty() && ::write(pipeFds[1], r.output.data(), r.output.size()) < 0)
            ::_exit(98);
        ::_exit(r.exitCode);
    }
    ::close(pipeFds[1]);
    RunResult result{0, std::string(), 0};
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(pipeFds[0], buffer, sizeof(buffer))) > 0)
        result.output.append(buffer, static_cast<size_t>(n));
    ::close(pipeFds[0]);
    result.exitCode = Finish(child);
    return result;
}

// One run as user in which act plays the test seam.
RunResult RunAsWith(const User& u, const std::string& package, int (*act)(KQSaveStep, const char*))
{
    childSeam = ChildSeam();
    childSeam.act = act;
    RunResult r = RunAs(u, package, true);
    childSeam = ChildSeam();
    return r;
}

// Whether user may open file for reading.
bool CanRead(const User& u, const std::string& file)
{
    std::fflush(nullptr);
    pid_t child = ::fork();
    if (child == 0) {
        int fd = BecomeUser(u) ? ::open(file.c_str(), O_RDONLY) : -1;
        ::_exit(fd >= 0 ? 0 : 1);
    }
    return Finish(child) == 0;
}

// Writes bytes into file as user, as an editor that writes in place does.
bool WriteAs(const User& u, const std::string& file, const std::string& bytes)
{
    std::fflush(nullptr);
    pid_t child = ::fork();
    if (child == 0)
        ::_exit(BecomeUser(u) && WriteFileBytes(file, bytes) ? 0 : 1);
    return Finish(child) == 0;
}

// A package of A's in a folder that C may write, with models large enough
// that an in-place save writes it in several pieces.
struct SharedScene : Scene {
    std::string before;
    explicit SharedScene(const std::string& test, mode_t mode = 0660, mode_t folder = 0777)
        : Scene(test, MakePresentation({Viewer("wing.kqfx"), Viewer("./models/rotor.kqfx")}))
    {
        EXPECT_TRUE(WriteFileBytes(dir + "/wing.kqfx", ModelBytes(5, 1500000)));
        EXPECT_TRUE(WriteFileBytes(dir + "/models/rotor.kqfx", ModelBytes(6, 1500000)));
        EXPECT_EQ(::chmod(dir.c_str(), folder), 0);
        EXPECT_EQ(::chmod((dir + "/models").c_str(), 0755), 0);
        EXPECT_EQ(::chown(package.c_str(), kOwner, kGroup), 0);
        EXPECT_EQ(::chmod(package.c_str(), mode), 0);
        before = ReadFileBytes(package);
    }
    // B's save, stopped as a kill would at the nth call of step.
    void StopSaveOf(const User& u, KQSaveStep step, int nth)
    {
        childSeam = ChildSeam();
        childSeam.step = step;
        childSeam.nth = nth;
        EXPECT_EQ(RunAs(u, package, true).exitCode, 137) << "the save was not stopped there";
        childSeam = ChildSeam();
    }
    bool Complete() const
    {
        Package p = Saved();
        return CheckPackage(p) == "" &&
               p.Get("ppt/kqfxFiles/kqfx1.kqfx") == ReadFileBytes(dir + "/models/rotor.kqfx") &&
               p.Get("ppt/kqfxFiles/kqfx2.kqfx") == ReadFileBytes(dir + "/wing.kqfx");
    }
};

bool Says(const RunResult& r, const std::string& text)
{
    return r.output.find(text) != std::string::npos;
}

const char* const kStoppedBox = "An earlier run was stopped while it saved this package";

}  // namespace

// A user who may write the folder but not the package plants a backup with
// the mark a save once set (anyone may set a user attribute on their own
// file): no run puts it into the package, in a sticky folder where it
// cannot be removed neither, and no run says a save was stopped.
TEST(CorvessaAmongUsers, PlantedBackupIsNeverPutBack)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "other users need the administrator to set up";
    SharedScene s("usersplanted", 0660, 01777);
    struct stat was;
    ASSERT_EQ(::stat(s.package.c_str(), &was), 0);
    const std::string planted = "planted by C";
    const std::string mark = "backup:" + std::to_string(was.st_dev) + ":" + std::to_string(was.st_ino);
    std::fflush(nullptr);
    pid_t child = ::fork();
    if (child == 0) {
        const std::string backup = s.package + ".kqbackup";
        ::_exit(BecomeUser(kUserC) && WriteFileBytes(backup, planted) &&
                        ::setxattr(backup.c_str(), "user.kqsave", mark.data(), mark.size(), 0) == 0
                    ? 0
                    : 1);
    }
    if (Finish(child) != 0)
        GTEST_SKIP() << "no user attributes here";
    RunResult a = RunAs(kUserA, s.package);
    EXPECT_EQ(a.exitCode, 1);
    EXPECT_EQ(a.output, kAllEmbedded2);
    EXPECT_TRUE(s.Complete());
    // B saves in place, behind a copy under the planted file's name.
    ASSERT_TRUE(WriteFileBytes(s.package, s.before));
    for (int round = 0; round < 2; ++round) {
        RunResult b = RunAs(kUserB, s.package);
        EXPECT_FALSE(Says(b, kStoppedBox)) << b.output;
        EXPECT_TRUE(Says(b, "talk.pptx.kqbackup' is in the way of the save")) << b.output;
        EXPECT_TRUE(ReadFileBytes(s.package) == s.before) << "the package changed";
        EXPECT_EQ(ReadFileBytes(s.package + ".kqbackup"), planted);
    }
    EXPECT_EQ(Leftovers(s), std::vector<std::string>{"talk.pptx.kqbackup"});

    // C, who may read the package, plants a pair that looks exactly like a
    // save stopped in its overwrite: the new bytes up to some point, a copy
    // whose bytes after it are the package's.
    SharedScene t("usersplantedpair", 0664, 0777);
    const std::string package = ReadFileBytes(t.package);
    const std::string fresh = package.substr(0, 100) + "new bytes";
    const std::string old = std::string(100, 'C') + package.substr(100);
    std::fflush(nullptr);
    child = ::fork();
    if (child == 0)
        ::_exit(BecomeUser(kUserC) && WriteFileBytes(t.package + ".kqbackup", old) &&
                        WriteFileBytes(t.package + ".kqsave", fresh) && ::chmod((t.package + ".kqbackup").c_str(), 0644) == 0 &&
                        ::chmod((t.package + ".kqsave").c_str(), 0644) == 0
                    ? 0
                    : 1);
    ASSERT_EQ(Finish(child), 0);
    for (const User& u : {kUserB, kUserA, kUserC}) {
        RunResult r = RunAs(u, t.package);
        EXPECT_FALSE(Says(r, kStoppedBox)) << r.output;
        EXPECT_FALSE(ReadFileBytes(t.package).compare(0, 100, old, 0, 100) == 0) << "C's bytes were put back";
    }
}

// B's save is stopped while it overwrites the package; A then changes the
// package, in place or by a rename. B's next run keeps A's document: it
// puts nothing back and does not say it saved.
TEST(CorvessaAmongUsers, StoppedSaveNeverUndoesALaterEdit)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "other users need the administrator to set up";
    for (bool byRename : {false, true}) {
        SCOPED_TRACE(byRename ? "A saves by a rename" : "A writes into the package");
        SharedScene s(byRename ? "usersrenamed" : "usersedited");
        s.StopSaveOf(kUserB, KQ_STEP_IN_PLACE, 2);
        ASSERT_TRUE(FileExists(s.package + ".kqbackup"));
        const std::string edited = [&] {
            Scene other(byRename ? "usersrenamedA" : "userseditedA", MakePresentation({Viewer("elsewhere.kqfx")}));
            return ReadFileBytes(other.package);
        }();
        if (byRename) {
            ASSERT_TRUE(WriteAs(kUserA, s.dir + "/new.pptx", edited));
            ASSERT_EQ(::rename((s.dir + "/new.pptx").c_str(), s.package.c_str()), 0);
        } else {
            ASSERT_TRUE(WriteAs(kUserA, s.package, edited));
        }
        RunResult b = RunAs(kUserB, s.package);
        EXPECT_FALSE(Says(b, "Embedding successful.")) << b.output;
        EXPECT_TRUE(ReadFileBytes(s.package) == edited) << "A's edit is lost";
        EXPECT_TRUE(FileExists(s.package + ".kqbackup"));
    }
}

// The copy an in-place save stands behind grants nobody a right the
// package does not: B's own group may not read it, the owner may; the same
// while it is being written. A, who is not in the package's group, then
// meets the stopped save: the box names both files, and A can take the
// document back by copying it over the package, which stays A's.
TEST(CorvessaAmongUsers, BackupIsNoWiderThanThePackageAndTheOwnerReadsIt)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "other users need the administrator to set up";
    SharedScene s("usersrights", 0640);
    const std::string acl = kqinput::AccessAcl(kOtherUser);
    if (::setxattr(s.package.c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0) != 0)
        GTEST_SKIP() << "no ACLs on this file system";
    struct Stop {
        KQSaveStep step;
        int nth;
        const char* file;
    };
    for (const Stop& stop : {Stop{KQ_STEP_BACKUP, 1, ".kqbackup.part"}, Stop{KQ_STEP_IN_PLACE, 2, ".kqbackup"}}) {
        SCOPED_TRACE(stop.file);
        ASSERT_TRUE(WriteFileBytes(s.package, s.before));
        s.StopSaveOf(kUserBNotInG, stop.step, stop.nth);
        const std::string copy = s.package + stop.file;
        ASSERT_TRUE(FileExists(copy));
        EXPECT_TRUE(CanRead(kUserB, s.package));
        EXPECT_FALSE(CanRead(kUserD, s.package));
        EXPECT_FALSE(CanRead(kUserD, copy)) << "B's group reads the copy";
        EXPECT_FALSE(CanRead(kUserC, copy));
        EXPECT_TRUE(CanRead(kUserANotInG, copy)) << "the owner cannot read the copy";
        struct stat info;
        ASSERT_EQ(::stat(copy.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, 0640u);
        EXPECT_EQ(info.st_uid, kOtherUser);
    }
    // The package is half overwritten: A is told where both files are.
    const std::string broken = ReadFileBytes(s.package);
    ASSERT_FALSE(broken == s.before);
    RunResult a = RunAs(kUserANotInG, s.package);
    EXPECT_EQ(a.exitCode, 0);
    EXPECT_TRUE(Says(a, kStoppedBox)) << a.output;
    EXPECT_TRUE(Says(a, "in the file '" + s.package + ".kqbackup'")) << a.output;
    EXPECT_TRUE(Says(a, "in the file '" + s.package + ".kqsave'")) << a.output;
    EXPECT_TRUE(ReadFileBytes(s.package) == broken);
    // Copying it back keeps the package A's.
    const std::string old = ReadFileBytes(s.package + ".kqbackup");
    EXPECT_TRUE(old == s.before);
    ASSERT_TRUE(WriteAs(kUserANotInG, s.package, old));
    struct stat owned;
    ASSERT_EQ(::stat(s.package.c_str(), &owned), 0);
    EXPECT_EQ(owned.st_uid, kOwner);
    EXPECT_TRUE(ReadFileBytes(s.package) == s.before);
    // B's own next run finds the package whole beside its copy, which goes.
    RunResult b = RunAs(kUserBNotInG, s.package);
    EXPECT_EQ(b.output, kAllEmbedded2);
    EXPECT_TRUE(s.Complete());
    EXPECT_EQ(Leftovers(s), std::vector<std::string>());
}

// B's own save, stopped while it overwrote the package, is put back by
// B's next run, which then saves: no box, nothing left beside it.
TEST(CorvessaAmongUsers, OwnStoppedSaveIsPutBackByItsUser)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "other users need the administrator to set up";
    SharedScene s("usersownstop");
    s.StopSaveOf(kUserB, KQ_STEP_IN_PLACE, 2);
    ASSERT_FALSE(ReadFileBytes(s.package) == s.before);
    ASSERT_TRUE(ReadFileBytes(s.package + ".kqbackup") == s.before);
    RunResult b = RunAs(kUserB, s.package);
    EXPECT_EQ(b.exitCode, 1);
    EXPECT_EQ(b.output, kAllEmbedded2);
    EXPECT_TRUE(s.Complete());
    EXPECT_EQ(Leftovers(s), std::vector<std::string>());
}

namespace {

int liveSaveSignal = -1;

// Tells the test that the save has made its copy and is about to write
// into the package, then waits there until it is killed.
int HoldBeforeTheOverwrite(KQSaveStep step, const char*)
{
    if (step == KQ_STEP_IN_PLACE) {
        if (::write(liveSaveSignal, "!", 1) != 1)
            ::_exit(97);
        for (;;)
            ::pause();
    }
    return 0;
}

std::string replacement;  // what another program puts in the package's place
std::string packageName;

// Another program replaces the package by a rename while the in-place save
// is about to write into it.
int RenameOverThePackage(KQSaveStep step, const char*)
{
    if (step == KQ_STEP_IN_PLACE && ++childSeam.calls == 1) {
        const std::string other = packageName + ".other";
        if (!WriteFileBytes(other, replacement) || ::rename(other.c_str(), packageName.c_str()) != 0)
            ::_exit(96);
    }
    return 0;
}

// Another program writes into the package while the save overwrites it.
int WriteIntoThePackage(KQSaveStep step, const char*)
{
    if (step == KQ_STEP_IN_PLACE && ++childSeam.calls == 2) {
        int fd = ::open(packageName.c_str(), O_WRONLY);
        if (fd < 0 || ::pwrite(fd, "another program", 15, 100) != 15)
            ::_exit(96);
        ::close(fd);
    }
    return 0;
}

}  // namespace

// A run that meets another user's live save ends as any second run does:
// exit code 0, no box, nothing touched; the save, killed then, is put right
// by its user's next run.
TEST(CorvessaAmongUsers, RunDuringAnotherUsersSaveTouchesNothing)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "other users need the administrator to set up";
    SharedScene s("userslive");
    int signal[2];
    ASSERT_EQ(::pipe(signal), 0);
    liveSaveSignal = signal[1];
    childSeam = ChildSeam();
    childSeam.act = HoldBeforeTheOverwrite;
    std::fflush(nullptr);
    pid_t saving = ::fork();
    if (saving == 0) {
        if (!BecomeUser(kUserB))
            ::_exit(99);
        KQSetSaveStepHook(ChildHook);
        RunCorvessa(s.package);
        ::_exit(0);
    }
    char got = 0;
    ASSERT_EQ(::read(signal[0], &got, 1), 1);
    childSeam = ChildSeam();
    ASSERT_TRUE(FileExists(s.package + ".kqbackup"));
    for (const User& u : {kUserA, kUserANotInG, kUserC}) {
        RunResult r = RunAs(u, s.package);
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.output, "");
        EXPECT_TRUE(ReadFileBytes(s.package) == s.before);
        EXPECT_TRUE(FileExists(s.package + ".kqbackup"));
    }
    ::kill(saving, SIGKILL);
    EXPECT_EQ(Finish(saving), -SIGKILL);
    RunResult b = RunAs(kUserB, s.package);
    EXPECT_EQ(b.output, kAllEmbedded2);
    EXPECT_TRUE(s.Complete());
    EXPECT_EQ(Leftovers(s), std::vector<std::string>());
    ::close(signal[0]);
    ::close(signal[1]);
}

// The in-place save is checked after its overwrite as the rename save is
// after its swap: a package put in its place by another program, or bytes
// written into it meanwhile, mean no "successful"; the other program's
// package stays, and where the package was written into, the box says
// where the package as it was is.
TEST(CorvessaAmongUsers, InPlaceSaveSeesAnotherProgramsChange)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "other users need the administrator to set up";
    {
        SharedScene s("usersreplaced");
        Scene other("usersreplacedA", MakePresentation({Viewer("elsewhere.kqfx")}));
        replacement = ReadFileBytes(other.package);
        packageName = s.package;
        RunResult b = RunAsWith(kUserB, s.package, RenameOverThePackage);
        EXPECT_FALSE(Says(b, "Embedding successful.")) << b.output;
        EXPECT_TRUE(Says(b, "Archive was changed by another program since it was opened")) << b.output;
        EXPECT_TRUE(ReadFileBytes(s.package) == replacement);
        EXPECT_EQ(Leftovers(s), std::vector<std::string>());
    }
    {
        SharedScene s("userswritten");
        packageName = s.package;
        RunResult b = RunAsWith(kUserB, s.package, WriteIntoThePackage);
        EXPECT_FALSE(Says(b, "Embedding successful.")) << b.output;
        EXPECT_TRUE(Says(b, "Archive was written by another program while this save wrote into it; the archive as "
                            "it was before this save is in the file '" +
                                s.package + ".kqbackup'"))
            << b.output;
        EXPECT_TRUE(ReadFileBytes(s.package + ".kqbackup") == s.before);
        // The next run touches nothing and says where it is.
        const std::string now = ReadFileBytes(s.package);
        RunResult again = RunAs(kUserB, s.package);
        EXPECT_TRUE(Says(again, kStoppedBox)) << again.output;
        EXPECT_TRUE(ReadFileBytes(s.package) == now);
    }
}

namespace {

int renameFailures = 0;  // how many renames that must not replace fail
int renameSecondError = 0;

// renameat2 without RENAME_NOREPLACE (exFAT, NFS, CIFS): EINVAL; where
// renameSecondError is set, the link that stands in for it fails too, as
// on a file system without hard links.
int NoRenameNoReplace(KQSaveStep step, const char* file)
{
    if (step != KQ_STEP_RENAME || std::strstr(file, ".kqgone-"))
        return 0;
    ++renameFailures;
    return renameFailures % 2 == 1 ? EINVAL : renameSecondError;
}

}  // namespace

// Where the file system cannot rename without replacing, a member of the
// group still saves in place, and an existing file under the backup's name
// is still never replaced.
TEST(CorvessaAmongUsers, GroupMemberSavesWithoutRenameNoReplace)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "other users need the administrator to set up";
    for (int second : {0, EPERM}) {
        SCOPED_TRACE(second ? "no hard links either" : "hard links");
        SharedScene s(second ? "usersnolinks" : "usersnorename");
        renameFailures = 0;
        renameSecondError = second;
        RunResult b = RunAsWith(kUserB, s.package, NoRenameNoReplace);
        EXPECT_EQ(b.output, kAllEmbedded2);
        EXPECT_TRUE(s.Complete());
        EXPECT_EQ(Leftovers(s), std::vector<std::string>());
        struct stat info;
        ASSERT_EQ(::stat(s.package.c_str(), &info), 0);
        EXPECT_EQ(info.st_uid, kOwner);
        // A file under the backup's name stays as it is.
        ASSERT_TRUE(WriteFileBytes(s.package, s.before));
        ASSERT_TRUE(WriteFileBytes(s.package + ".kqbackup", "mine"));
        renameFailures = 0;
        b = RunAsWith(kUserB, s.package, NoRenameNoReplace);
        EXPECT_TRUE(Says(b, "talk.pptx.kqbackup' is in the way of the save")) << b.output;
        EXPECT_EQ(ReadFileBytes(s.package + ".kqbackup"), "mine");
        EXPECT_TRUE(ReadFileBytes(s.package) == s.before);
        EXPECT_EQ(Leftovers(s), std::vector<std::string>{"talk.pptx.kqbackup"});
    }
}

namespace {

int NoAcls(KQSaveStep step, const char*)
{
    return step == KQ_STEP_ACL ? EOPNOTSUPP : 0;
}

}  // namespace

// Where the copy cannot be given exactly the rights it needs (no ACL to let
// the package's owner read it), the in-place save is refused before
// anything is written, and the report says why.
TEST(CorvessaAmongUsers, InPlaceSaveRefusedWhereTheCopyCannotBeKeptNarrow)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "other users need the administrator to set up";
    SharedScene s("usersnoacl");
    RunResult b = RunAsWith(kUserB, s.package, NoAcls);
    EXPECT_EQ(b.exitCode, 0);
    EXPECT_EQ(b.output, Box("2 of 2 KQFx files embedded\nThe package could not be saved: The archive can only be "
                            "written in place here, behind a copy that its owner may read and nobody else, and "
                            "that copy cannot be made so: the package's owner cannot be given the right to read it "
                            "(Operation not supported); nothing was written\n\nEmbedding unsuccessful."));
    EXPECT_TRUE(ReadFileBytes(s.package) == s.before);
    EXPECT_EQ(Leftovers(s), std::vector<std::string>());
}

// A user's own file named PACKAGE.kqbackup beside a whole package tells of
// no stopped save.
TEST(CorvessaAmongUsers, OwnBackupBesideAWholePackageIsNoStoppedSave)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "other users need the administrator to set up";
    SharedScene s("usersownbackup");
    ASSERT_TRUE(WriteAs(kUserA, s.package + ".kqbackup", "an older version"));
    RunResult a = RunAs(kUserA, s.package);
    EXPECT_EQ(a.output, kAllEmbedded2);
    EXPECT_TRUE(s.Complete());
    // Beside a stopped rename save's temporary as well.
    ASSERT_TRUE(WriteFileBytes(s.package, s.before));
    ASSERT_EQ(::chown(s.package.c_str(), kOwner, kGroup), 0);
    s.StopSaveOf(kUserA, KQ_STEP_REPLACE, 1);
    ASSERT_TRUE(FileExists(s.package + ".kqsave"));
    a = RunAs(kUserA, s.package);
    EXPECT_EQ(a.output, kAllEmbedded2);
    EXPECT_EQ(ReadFileBytes(s.package + ".kqbackup"), "an older version");
    EXPECT_EQ(Leftovers(s), std::vector<std::string>{"talk.pptx.kqbackup"});
}

namespace {

std::string leftoverName;

// Another program moves its own file under the leftover's name just after
// the leftover was checked.
int MoveAFileUnderTheName(KQSaveStep step, const char* file)
{
    if (step == KQ_STEP_RENAME && std::strstr(file, ".kqgone-") && childSeam.calls++ == 0) {
        const std::string other = leftoverName + ".theirs";
        if (!WriteFileBytes(other, "someone's file") || ::rename(other.c_str(), leftoverName.c_str()) != 0)
            return EIO;
    }
    return 0;
}

}  // namespace

// A leftover is removed only when the file removed is the one checked: a
// file moved under its name meanwhile stays, and the save says it is in
// the way.
TEST(CorvessaRun, LeftoverSwappedAfterItsCheckStays)
{
    Scene s("runleftoverswap", MakePresentation({Viewer("wing.kqfx"), Viewer("./models/rotor.kqfx")}));
    const std::string temporary = s.package + ".kqsave";
    ASSERT_TRUE(WriteFileBytes(temporary, "a stopped save's"));
    if (::setxattr(temporary.c_str(), "user.kqsave", "1", 1, 0) != 0)
        GTEST_SKIP() << "no user attributes on this file system";
    leftoverName = temporary;
    childSeam = ChildSeam();
    childSeam.act = MoveAFileUnderTheName;
    KQSetSaveStepHook(ChildHook);
    RunResult r = RunCorvessa(s.package);
    KQSetSaveStepHook(nullptr);
    childSeam = ChildSeam();
    EXPECT_EQ(ReadFileBytes(temporary), "someone's file");
    EXPECT_TRUE(Says(r, "talk.pptx.kqsave' is in the way of the save. Corvessa did not write it")) << r.output;
}
#endif
