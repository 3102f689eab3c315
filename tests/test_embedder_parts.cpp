// The package operations one by one, on packages the tests build.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "KQOpenXMLArchive.h"
#include "test_embedder_support.h"

using namespace kqtest;

namespace {

std::vector<std::string> Texts(const KQStringArray& a)
{
    std::vector<std::string> out;
    for (int32 i = 0; i < a.GetCount(); ++i)
        out.push_back(a[i].CStr());
    return out;
}

// A package on disk and an archive object opened on it for update.
struct OpenPackage {
    std::string path;
    KQOpenXMLPresentation presentation;
    KQOpenXMLWordArchive word;
    KQOpenXMLArchive* archive;

    OpenPackage(const std::string& test, const Package& package, bool isWord = false)
        : archive(isWord ? static_cast<KQOpenXMLArchive*>(&word) : &presentation)
    {
        path = ScratchFolder(test) + (isWord ? "/doc.docx" : "/talk.pptx");
        EXPECT_TRUE(WritePackage(path, package));
        EXPECT_TRUE(archive->Open(KQString(path.c_str()), 0));
    }
    // Closes (which saves) and reads back what is on disk.
    Package Saved()
    {
        archive->Close();
        return ReadPackage(path);
    }
    KQOpenXMLArchive* operator->() { return archive; }
};

std::string Slashed(std::string s)
{
    for (char& c : s)
        if (c == '\\')
            c = '/';
    return s;
}

}  // namespace

TEST(EmbedderViewerControls, CollectTakesFirstFileURLOfViewerControlsOnly)
{
    Control twoUrls = Viewer("c.kqfx");
    twoUrls.properties.push_back({"FileURL", "d.kqfx"});
    Control lowerCase = Viewer("lower.kqfx");
    lowerCase.classId = "{5c2e9a41-7b3d-4f08-9e6a-2d71c0b4f853}";
    Control blanks = Viewer("blank.kqfx");
    blanks.classId = std::string(" ") + kViewerClassId;
    OpenPackage pkg(
        "collect", MakePresentation({Viewer("b.kqfx"), Viewer("a.kqfx"), Viewer("b.kqfx"), OtherControl("x.kqfx"),
                                     lowerCase, blanks, Viewer("Embedded[kqfx3]"), Viewer("dir]/y.kqfx"), Viewer("   "),
                                     twoUrls, Viewer("./Models [v2]/wing.kqfx"), Viewer("Embedded[kqfx5]/y.kqfx")}));
    KQStringArray urls;
    urls.Add(KQString("zzz"));
    // Only the whole form "Embedded[" + id + "]" is embedded; paths with
    // brackets still name files.
    EXPECT_EQ(pkg->CollectViewerFileURLs(urls, false), 7);
    EXPECT_EQ(Texts(urls), (std::vector<std::string>{"", "./Models [v2]/wing.kqfx", "Embedded[kqfx5]/y.kqfx", "a.kqfx",
                                                     "b.kqfx", "c.kqfx", "dir]/y.kqfx", "zzz"}));

    KQStringArray ids;
    EXPECT_EQ(pkg->CollectViewerFileURLs(ids, true), 1);
    EXPECT_EQ(Texts(ids), (std::vector<std::string>{"kqfx3"}));
}

TEST(EmbedderViewerControls, SetRewritesTheFileURLOfEveryViewerThatHoldsIt)
{
    Control captioned{kViewerClassId, {{"Caption", "b.kqfx"}, {"FileURL", "b.kqfx"}}};
    OpenPackage pkg("setfileurl",
                    MakePresentation({Viewer("b.kqfx"), Viewer("a.kqfx"), captioned, OtherControl("b.kqfx")}));
    EXPECT_EQ(pkg->SetViewerFileURL(KQString("b.kqfx"), KQString("Embedded[kqfx1]")), 2);
    EXPECT_EQ(pkg->SetViewerFileURL(KQString("nothing"), KQString("x")), 0);
    Package saved = pkg.Saved();
    EXPECT_EQ(ViewerFileURLs(saved, "ppt"), (std::vector<std::string>{"Embedded[kqfx1]", "a.kqfx", "Embedded[kqfx1]"}));
    // Another property with the same text, and another kind of control, keep it.
    EXPECT_NE(saved.Get("ppt/activeX/activeX3.xml").find("ax:name=\"Caption\" ax:value=\"b.kqfx\""), std::string::npos);
    EXPECT_NE(saved.Get("ppt/activeX/activeX4.xml").find("ax:value=\"b.kqfx\""), std::string::npos);
    EXPECT_EQ(CheckPackage(saved), "");
}

TEST(EmbedderRelationships, ModelFilesGetNumberedIdsAfterTheReference)
{
    Package p =
        MakePresentation({Viewer("a"), Viewer("b"), Viewer("c"), Viewer("d"), Viewer("e"), Viewer("f"), Viewer("g")});
    OpenPackage pkg("relmodel", p);
    EXPECT_STREQ(pkg->AddRelationship(KQString("kqfx1.kqfx")).CStr(), "kqfx1");
    EXPECT_STREQ(pkg->AddRelationship(KQString("kqfx2.kqfx")).CStr(), "kqfx2");
    EXPECT_STREQ(pkg->AddRelationship(KQString("kqfx1.kqfx")).CStr(), "kqfx1");
    // A file name without a dot is its own extension; the extension's case
    // does not matter.
    EXPECT_STREQ(pkg->AddRelationship(KQString("KQFX")).CStr(), "kqfx3");
    EXPECT_STREQ(pkg->AddRelationship(KQString("model.KqF")).CStr(), "kqfx4");
    EXPECT_STREQ(pkg->AddRelationship(KQString("slide9.xml")).CStr(), "rId8");
    EXPECT_STREQ(pkg->AddRelationship(KQString("notes.txt")).CStr(), "");

    std::vector<Relationship> rels = Relationships(pkg.Saved(), "ppt/_rels/presentation.xml.rels");
    ASSERT_EQ(rels.size(), 13u);
    EXPECT_EQ(rels[7].id, "kqfxReference");
    EXPECT_EQ(rels[7].type, "http://kqfxRelationship");
    EXPECT_EQ(rels[7].target, "kqfxFiles/kqfxReferenceIds.xml");
    EXPECT_EQ(rels[8].id, "kqfx1");
    EXPECT_EQ(rels[8].target, "kqfxFiles/kqfx1.kqfx");
    EXPECT_EQ(rels[10].target, "kqfxFiles/KQFX");
    EXPECT_EQ(rels[12].id, "rId8");
    EXPECT_EQ(rels[12].type, "http://schemas.openxmlformats.org/officeDocument/2006/relationships/slide");
    EXPECT_EQ(rels[12].target, "slides/slide9.xml");
}

TEST(EmbedderRelationships, NumberingReadsOnlyIdsWithThePrefixInItsCase)
{
    Package p = MakePresentation({});
    p.Set("ppt/_rels/presentation.xml.rels",
          "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
          "<Relationship Id=\"kqfxReference\" Type=\"http://kqfxRelationship\" "
          "Target=\"kqfxFiles/kqfxReferenceIds.xml\"/>"
          "<Relationship Id=\"KQFX7\" Type=\"t\" Target=\"a.xml\"/>"
          "<Relationship Id=\"rId12\" Type=\"t\" Target=\"b.xml\"/>"
          "</Relationships>");
    p.Set("ppt/a.xml", "<a/>");
    p.Set("ppt/b.xml", "<b/>");
    OpenPackage pkg("relcase", p);
    EXPECT_STREQ(pkg->AddRelationship(KQString("kqfx1.kqfx")).CStr(), "kqfx1");
    EXPECT_STREQ(pkg->AddRelationship(KQString("slide1.xml")).CStr(), "rId13");
    std::vector<Relationship> rels = Relationships(pkg.Saved(), "ppt/_rels/presentation.xml.rels");
    ASSERT_EQ(rels.size(), 5u);
    EXPECT_EQ(rels[3].id, "kqfx1");  // no second reference relationship
}

TEST(EmbedderRelationships, RemoveTakesTheFirstMatchingIdAndToleratesAbsentOnes)
{
    OpenPackage pkg("relremove", MakePresentation({Viewer("a"), Viewer("b")}));
    EXPECT_TRUE(pkg->RemoveRelationship(KQString("ppt\\_rels\\presentation.xml.rels"), KQString("rId9")));
    EXPECT_TRUE(pkg->RemoveRelationship(KQString("ppt/_rels/presentation.xml.rels"), KQString("rId1")));
    EXPECT_FALSE(pkg->RemoveRelationship(KQString("ppt\\_rels\\missing.rels"), KQString("rId1")));
    std::vector<Relationship> rels = Relationships(pkg.Saved(), "ppt/_rels/presentation.xml.rels");
    ASSERT_EQ(rels.size(), 1u);
    EXPECT_EQ(rels[0].id, "rId2");
}

TEST(EmbedderContentTypes, DefaultsAndOverridesAreAddedOnce)
{
    OpenPackage pkg("contenttypes", MakePresentation({}));
    EXPECT_TRUE(pkg->HasContentType(KQString("Extension"), KQString("xml")));
    EXPECT_FALSE(pkg->HasContentType(KQString("Extension"), KQString("XML")));
    EXPECT_TRUE(pkg->AddContentType(KQString("kqfx"), 4));
    EXPECT_TRUE(pkg->AddContentType(KQString("kqfx"), 4));
    EXPECT_TRUE(pkg->AddContentType(KQString("KQFX"), 4));  // the presence test is case-sensitive
    EXPECT_TRUE(pkg->AddContentType(KQString("JPG"), 4));
    EXPECT_TRUE(pkg->AddContentType(KQString("\\ppt\\activeX\\activeX9.xml"), 2));
    EXPECT_TRUE(pkg->AddContentType(KQString("/ppt/slides/slide7.xml"), 1));
    EXPECT_FALSE(pkg->AddContentType(KQString("kqfx"), 0));
    EXPECT_FALSE(pkg->AddContentType(KQString("kqfx"), 5));
    // No content type is known for it: nothing invalid is declared.
    EXPECT_FALSE(pkg->AddContentType(KQString("png"), 4));
    Package saved = pkg.Saved();
    EXPECT_EQ(CountContentTypes(saved, "Extension", "kqfx"), 1);
    EXPECT_EQ(CountContentTypes(saved, "ContentType", "ppt/kqfxFiles/kqfx"), 1);
    EXPECT_EQ(CountContentTypes(saved, "ContentType", "ppt/kqfxFiles/KQFX"), 1);
    EXPECT_EQ(CountContentTypes(saved, "ContentType", "image/JPG"), 1);
    EXPECT_EQ(CountContentTypes(saved, "PartName", "/ppt/activeX/activeX9.xml"), 1);
    EXPECT_EQ(CountContentTypes(saved, "Extension", "png"), 0);
    EXPECT_EQ(saved.Get("[Content_Types].xml").find("ContentType=\"\""), std::string::npos);

    OpenPackage word("contenttypesword", MakeDocument({}), true);
    EXPECT_FALSE(word->AddContentType(KQString("/word/slide1.xml"), 1));
    EXPECT_TRUE(word->AddContentType(KQString("kqfx"), 4));
    EXPECT_EQ(CountContentTypes(word.Saved(), "ContentType", "word/kqfxFiles/kqfx"), 1);
}

TEST(EmbedderModelPath, ResolvesAgainstThePackageFolderOnlyWhenMarkedRelative)
{
    std::string dir = Slashed(AbsolutePath(ScratchFolder("paths")));
    KQString package((dir + "/talks/2010/demo.pptx").c_str());
    auto resolve = [&](const char* url) {
        return std::string(KQOpenXMLArchive::ResolveModelPath(KQString(url), package).CStr());
    };
    const std::pair<const char*, std::string> cases[] = {
        {"C:\\Models\\wing.kqfx", "C:/Models/wing.kqfx"},
        {"wing.kqfx", dir + "/talks/2010/wing.kqfx"},
        {"./models/wing.kqfx", dir + "/talks/2010/models/wing.kqfx"},
        {"../wing.kqfx", dir + "/talks/wing.kqfx"},
        {"../../Models/wing.kqfx", dir + "/Models/wing.kqfx"},
        {"models\\wing.kqfx", "models/wing.kqfx"},
        {"/abs/wing.kqfx", "/abs/wing.kqfx"},
        // "\\" is "/" in every rule, "." and ".." are segments, "#" is a letter.
        {"..\\wing.kqfx", dir + "/talks/wing.kqfx"},
        {"..\\..\\Models\\wing.kqfx", dir + "/Models/wing.kqfx"},
        {".\\models\\wing.kqfx", dir + "/talks/2010/models/wing.kqfx"},
        {"models/../wing.kqfx", dir + "/talks/2010/wing.kqfx"},
        {"models\\..\\..\\wing.kqfx", dir + "/talks/wing.kqfx"},
        {"./models/./sub/../wing.kqfx", dir + "/talks/2010/models/wing.kqfx"},
        {"#wing.kqfx", dir + "/talks/2010/#wing.kqfx"},
        {"a#b.kqfx", dir + "/talks/2010/a#b.kqfx"},
        {"sub/./w.kqfx", "sub/./w.kqfx"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(resolve(c.first), c.second) << c.first;

    // A package named relative to the working folder climbs from its real
    // folder.
    std::string cwd = Slashed(AbsolutePath("."));
    if (!cwd.empty() && cwd.back() == '/')
        cwd.pop_back();
    EXPECT_EQ(
        std::string(KQOpenXMLArchive::ResolveModelPath(KQString("../wing.kqfx"), KQString("sub/demo.pptx")).CStr()),
        cwd + "/wing.kqfx");
    EXPECT_EQ(std::string(KQOpenXMLArchive::ResolveModelPath(KQString("./wing.kqfx"), KQString("demo.pptx")).CStr()),
              cwd + "/wing.kqfx");
}

TEST(EmbedderReferenceList, AddModeHandsOutTheFirstFreeNumber)
{
    OpenPackage pkg("refadd", MakePresentation({}));
    KQString id;
    EXPECT_TRUE(pkg->UpdateReferenceIds(id, KQString("a.kqfx"), true));
    EXPECT_STREQ(id.CStr(), "kqfx1");
    EXPECT_TRUE(pkg->UpdateReferenceIds(id, KQString("C:\\b.kqfx"), true));
    EXPECT_STREQ(id.CStr(), "kqfx2");
    // The same path again still gets an id of its own.
    EXPECT_TRUE(pkg->UpdateReferenceIds(id, KQString("a.kqfx"), true));
    EXPECT_STREQ(id.CStr(), "kqfx3");
    KQString first("kqfx1");
    EXPECT_TRUE(pkg->UpdateReferenceIds(first, KQString(), false));
    EXPECT_TRUE(pkg->UpdateReferenceIds(id, KQString("c.kqfx"), true));
    EXPECT_STREQ(id.CStr(), "kqfx1");

    Package saved = pkg.Saved();
    EXPECT_EQ(ReferenceList(saved, "ppt"), (std::vector<std::pair<std::string, std::string>>{
                                               {"kqfx2", "C:\\b.kqfx"}, {"kqfx3", "a.kqfx"}, {"kqfx1", "c.kqfx"}}));
    const std::string& list = saved.Get("ppt/kqfxFiles/kqfxReferenceIds.xml");
    EXPECT_EQ(list.find("<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\" ?>"), 0u);
    EXPECT_NE(list.find("<kqfxReferencedFiles xmlns=\""), std::string::npos);
    EXPECT_NE(list.find("<kqfxPath rId=\"kqfx2\" originalPath=\"C:\\b.kqfx\" />"), std::string::npos);
}

TEST(EmbedderReferenceList, NumbersOfAllEntriesCount)
{
    auto next = [](const std::string& test, const std::string& entries) {
        Package p = MakePresentation({});
        p.Set("ppt/kqfxFiles/kqfxReferenceIds.xml",
              "<kqfxReferencedFiles xmlns=\"x\">" + entries + "</kqfxReferencedFiles>");
        OpenPackage pkg(test, p);
        KQString id;
        pkg->UpdateReferenceIds(id, KQString("a.kqfx"), true);
        return std::string(id.CStr());
    };
    EXPECT_EQ(
        next("refgap", "<kqfxPath rId=\"kqfx1\" originalPath=\"a\"/><kqfxPath rId=\"kqfx3\" originalPath=\"b\"/>"),
        "kqfx2");
    EXPECT_EQ(
        next("reflow", "<kqfxPath rId=\"kqfx2\" originalPath=\"a\"/><kqfxPath rId=\"kqfx3\" originalPath=\"b\"/>"),
        "kqfx1");
    EXPECT_EQ(next("refbare", "<kqfxPath rId=\"kqfx\" originalPath=\"x\"/>"), "kqfx1");
    EXPECT_EQ(
        next("refneg", "<kqfxPath rId=\"kqfx-4\" originalPath=\"x\"/><kqfxPath rId=\"kqfx1\" originalPath=\"y\"/>"),
        "kqfx2");
    // An entry holding the path given does not end the scan: kqfx2 stays
    // with its entry.
    EXPECT_EQ(next("refsame",
                   "<kqfxPath rId=\"kqfx1\" originalPath=\"a.kqfx\"/><kqfxPath rId=\"kqfx2\" originalPath=\"b\"/>"),
              "kqfx3");
}

TEST(EmbedderReferenceList, LostListNeverLeadsToAnOverwrittenModelFile)
{
    for (const char* list : {"", "not xml at all <<<", "<?xml version=\"1.0\"?>\n"}) {
        SCOPED_TRACE(list);
        Package p = MakePresentation({});
        p.Set("ppt/kqfxFiles/kqfx1.kqfx", "first model");
        if (*list)
            p.Set("ppt/kqfxFiles/kqfxReferenceIds.xml", list);
        OpenPackage pkg("reflost", p);
        KQString id;
        EXPECT_TRUE(pkg->UpdateReferenceIds(id, KQString("new.kqfx"), true));
        EXPECT_STREQ(id.CStr(), "kqfx2");
        Package saved = pkg.Saved();
        EXPECT_EQ(ReferenceList(saved, "ppt"),
                  (std::vector<std::pair<std::string, std::string>>{{"kqfx2", "new.kqfx"}}));
        EXPECT_EQ(saved.Get("ppt/kqfxFiles/kqfx1.kqfx"), "first model");
    }
}

TEST(EmbedderReferenceList, RemovingTheLastEntryDeletesTheListAndItsRelationship)
{
    OpenPackage pkg("refremove", MakePresentation({}));
    KQString id;
    KQString missing("kqfx1");
    EXPECT_TRUE(pkg->UpdateReferenceIds(missing, KQString(), false));  // no list yet
    ASSERT_TRUE(pkg->UpdateReferenceIds(id, KQString("a.kqfx"), true));
    ASSERT_STREQ(pkg->AddRelationship(KQString("kqfx1.kqfx")).CStr(), "kqfx1");
    ASSERT_TRUE(pkg->UpdateReferenceIds(id, KQString("b.kqfx"), true));
    KQString other("kqfx9");
    EXPECT_TRUE(pkg->UpdateReferenceIds(other, KQString(), false));
    KQString first("kqfx1");
    EXPECT_TRUE(pkg->UpdateReferenceIds(first, KQString(), false));
    KQString second("kqfx2");
    EXPECT_TRUE(pkg->UpdateReferenceIds(second, KQString(), false));
    Package saved = pkg.Saved();
    EXPECT_FALSE(saved.Has("ppt/kqfxFiles/kqfxReferenceIds.xml"));
    for (const Relationship& r : Relationships(saved, "ppt/_rels/presentation.xml.rels"))
        EXPECT_NE(r.id, "kqfxReference");
}

TEST(EmbedderEmbedFile, CopiesTheFileDeclaresItAndPointsTheControlsAtIt)
{
    std::string dir = ScratchFolder("embedfile");
    Package p = MakePresentation({Viewer("wing.kqfx"), Viewer("wing.kqfx"), Viewer("gone.kqfx"), Viewer("small.kqfx")});
    std::string model = ModelBytes(1, 70000);
    ASSERT_TRUE(WriteFileBytes(dir + "/wing.kqfx", model));
    ASSERT_TRUE(WriteFileBytes(dir + "/small.kqfx", ModelFile("")));
    std::string path = dir + "/talk.pptx";
    ASSERT_TRUE(WritePackage(path, p));
    KQOpenXMLPresentation pkg;
    ASSERT_TRUE(pkg.Open(KQString(path.c_str()), 0));

    KQString name;
    EXPECT_TRUE(pkg.EmbedFile(KQString("wing.kqfx"), name));
    EXPECT_STREQ(name.CStr(), "kqfx1.kqfx");
    // A file that cannot be read gets no id.
    EXPECT_FALSE(pkg.EmbedFile(KQString("gone.kqfx"), name));
    EXPECT_STREQ(name.CStr(), "kqfx1.kqfx");
    EXPECT_TRUE(pkg.EmbedFile(KQString("small.kqfx"), name));
    EXPECT_STREQ(name.CStr(), "kqfx2.kqfx");
    KQString untouched("untouched");
    EXPECT_TRUE(pkg.EmbedFile(KQString("Embedded[kqfx2]"), untouched));
    EXPECT_STREQ(untouched.CStr(), "untouched");
    pkg.Close();

    Package saved = ReadPackage(path);
    EXPECT_EQ(CheckPackage(saved), "");
    EXPECT_EQ(saved.Get("ppt/kqfxFiles/kqfx1.kqfx"), model);
    EXPECT_EQ(saved.Get("ppt/kqfxFiles/kqfx2.kqfx"), ModelFile(""));
    EXPECT_FALSE(saved.Has("ppt/kqfxFiles/kqfx3.kqfx"));
    EXPECT_EQ(ViewerFileURLs(saved, "ppt"),
              (std::vector<std::string>{"Embedded[kqfx1]", "Embedded[kqfx1]", "gone.kqfx", "Embedded[kqfx2]"}));
    EXPECT_EQ(ReferenceList(saved, "ppt"),
              (std::vector<std::pair<std::string, std::string>>{{"kqfx1", "wing.kqfx"}, {"kqfx2", "small.kqfx"}}));
    EXPECT_EQ(CountContentTypes(saved, "Extension", "kqfx"), 1);
    std::vector<Relationship> rels = Relationships(saved, "ppt/_rels/presentation.xml.rels");
    ASSERT_EQ(rels.size(), 7u);
    EXPECT_EQ(rels[4].id, "kqfxReference");
    EXPECT_EQ(rels[5].target, "kqfxFiles/kqfx1.kqfx");
    EXPECT_EQ(rels[6].target, "kqfxFiles/kqfx2.kqfx");
}

TEST(EmbedderEmbedFile, SomethingThatIsNotAReadableFileFails)
{
    std::string dir = ScratchFolder("embedfolder");
    Package p = MakeDocument({Viewer("./models")});
    std::string path = dir + "/doc.docx";
    ASSERT_TRUE(WritePackage(path, p));
    ScratchFolder("embedfolder/models");
    KQOpenXMLWordArchive pkg;
    ASSERT_TRUE(pkg.Open(KQString(path.c_str()), 0));
    KQString name;
    EXPECT_FALSE(pkg.EmbedFile(KQString("./models"), name));
    pkg.Close();
    Package saved = ReadPackage(path);
    EXPECT_EQ(CheckPackage(saved), "");
    EXPECT_FALSE(saved.Has("word/kqfxFiles/kqfx1.kqfx"));
    EXPECT_EQ(ViewerFileURLs(saved, "word"), (std::vector<std::string>{"./models"}));
}

TEST(EmbedderUnreferenced, RemovesCopiesNoControlUsesByTheirTarget)
{
    Package p = MakePresentation({Viewer("Embedded[kqfx1]")});
    p.Set("ppt/kqfxFiles/kqfx1.kqfx", "kept");
    p.Set("ppt/kqfxFiles/kqfx2.kqfx", "unused");
    p.Set("ppt/kqfxFilesOld/kqfx9.kqfx", "not ours");
    p.Set("ppt/kqfxFiles/kqfxReferenceIds.xml",
          "<kqfxReferencedFiles xmlns=\"x\"><kqfxPath rId=\"kqfx1\" originalPath=\"a.kqfx\"/>"
          "<kqfxPath rId=\"kqfx2\" originalPath=\"b.kqfx\"/></kqfxReferencedFiles>");
    // After an id was handed out again the Ids and file names differ: the Id
    // kqfx2 belongs to the file that stays.
    p.Set(
        "ppt/_rels/presentation.xml.rels",
        "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
        "<Relationship Id=\"rId1\" Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/slide\" "
        "Target=\"slides/slide1.xml\"/>"
        "<Relationship Id=\"kqfxReference\" Type=\"http://kqfxRelationship\" "
        "Target=\"kqfxFiles/kqfxReferenceIds.xml\"/>"
        "<Relationship Id=\"kqfx2\" Type=\"http://kqfxRelationship\" Target=\"kqfxFiles/kqfx1.kqfx\"/>"
        "<Relationship Id=\"kqfx3\" Type=\"http://kqfxRelationship\" Target=\"kqfxFiles/kqfx2.kqfx\"/>"
        "</Relationships>");
    p.Set("[Content_Types].xml", p.Get("[Content_Types].xml").substr(0, p.Get("[Content_Types].xml").size() - 8) +
                                     "<Default Extension=\"kqfx\" ContentType=\"ppt/kqfxFiles/kqfx\"/></Types>");
    ASSERT_EQ(CheckPackage(p), "");
    OpenPackage pkg("unreferenced", p);
    EXPECT_TRUE(pkg->RemoveUnreferencedFiles());
    Package saved = pkg.Saved();
    EXPECT_EQ(CheckPackage(saved), "");
    EXPECT_EQ(saved.Get("ppt/kqfxFiles/kqfx1.kqfx"), "kept");
    EXPECT_FALSE(saved.Has("ppt/kqfxFiles/kqfx2.kqfx"));
    EXPECT_EQ(saved.Get("ppt/kqfxFilesOld/kqfx9.kqfx"), "not ours");
    EXPECT_EQ(ReferenceList(saved, "ppt"), (std::vector<std::pair<std::string, std::string>>{{"kqfx1", "a.kqfx"}}));
    std::vector<Relationship> rels = Relationships(saved, "ppt/_rels/presentation.xml.rels");
    ASSERT_EQ(rels.size(), 3u);
    EXPECT_EQ(rels[2].id, "kqfx2");
    EXPECT_EQ(rels[2].target, "kqfxFiles/kqfx1.kqfx");
}

TEST(EmbedderUnreferenced, NothingToRemoveIsSuccess)
{
    OpenPackage none("unrefnone", MakePresentation({Viewer("a.kqfx")}));
    EXPECT_TRUE(none->RemoveUnreferencedFiles());
    Package p = MakePresentation({Viewer("Embedded[kqfx1]")});
    p.Set("ppt/kqfxFiles/kqfx1.kqfx", "model");
    OpenPackage all("unrefall", p);
    EXPECT_TRUE(all->RemoveUnreferencedFiles());
    EXPECT_EQ(all.Saved().Get("ppt/kqfxFiles/kqfx1.kqfx"), "model");
}

// EmbedAll begins a run that keeps the parts parsed, with what walks of
// them found, until RemoveUnreferencedFiles; steps taken in between must
// give what they give alone, also after removals that make a walk's
// findings stale (a freed number, a removed relationship, a deleted list).
TEST(EmbedderRun, StepsWithinARunGiveWhatTheyGiveAlone)
{
    auto steps = [](const std::string& test, bool inRun, Package* saved) {
        OpenPackage pkg(test, MakePresentation({}));
        if (inRun) {
            KQEmbeddingOutcome outcome;
            EXPECT_TRUE(pkg->EmbedAll(outcome));
        }
        const KQString rels("ppt\\_rels\\presentation.xml.rels");
        std::vector<std::string> ids;
        auto add = [&](const char* path) {
            KQString id;
            EXPECT_TRUE(pkg->UpdateReferenceIds(id, KQString(path), true));
            ids.push_back(id.CStr());
        };
        auto remove = [&](const char* id) {
            KQString given(id);
            EXPECT_TRUE(pkg->UpdateReferenceIds(given, KQString(), false));
        };
        auto relate = [&](const char* fileName) { ids.push_back(pkg->AddRelationship(KQString(fileName)).CStr()); };

        add("a.kqfx");
        add("b.kqfx");
        add("c.kqfx");
        relate("kqfx1.kqfx");
        relate("kqfx2.kqfx");
        remove("kqfx1");
        EXPECT_TRUE(pkg->RemoveRelationship(rels, KQString("kqfx1")));
        add("d.kqfx");
        relate("kqfx1.kqfx");
        // Emptying the list deletes it and its relationship.
        remove("kqfx2");
        remove("kqfx3");
        remove("kqfx1");
        add("e.kqfx");
        relate("kqfx4.kqfx");
        *saved = pkg.Saved();
        return ids;
    };
    Package alone, run;
    const std::vector<std::string> expected{"kqfx1", "kqfx2", "kqfx3", "kqfx1", "kqfx2",
                                            "kqfx1", "kqfx3", "kqfx1", "kqfx4"};
    EXPECT_EQ(steps("runstepsalone", false, &alone), expected);
    EXPECT_EQ(steps("runstepsinrun", true, &run), expected);
    EXPECT_EQ(ReferenceList(run, "ppt"), (std::vector<std::pair<std::string, std::string>>{{"kqfx1", "e.kqfx"}}));
    EXPECT_EQ(run.Names(), alone.Names());
    for (const auto& entry : alone.entries)
        EXPECT_EQ(run.Get(entry.first), entry.second) << entry.first;
}
