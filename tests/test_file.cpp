#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "KQOFile.h"
#include "test_text_support.h"

#ifdef KQ_TEST_POSIX
#include <sys/stat.h>
#endif

namespace {

std::string ReadBytes(const char* name, const char* mode = "rb")
{
    std::string out;
    FILE* f = fopen(name, mode);
    if (!f)
        return "<missing>";
    int c;
    while ((c = fgetc(f)) != EOF)
        out += static_cast<char>(c);
    fclose(f);
    return out;
}

void WriteBytes(const char* name, const std::string& bytes)
{
    FILE* f = fopen(name, "wb");
    ASSERT_NE(f, nullptr);
    fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
}

// Line numbers of the error sites differ between the two builds.
#ifdef KQ_UNICODE
const bool kWide = true;
#else
const bool kWide = false;
#endif
int32 L(int32 narrow, int32 wide)
{
    return kWide ? wide : narrow;
}

class FileTest : public ::testing::Test {
protected:
    void SetUp() override { KQ_REPORT_TO_CONSOLE = false; }
    void TearDown() override
    {
        KQ_REPORT_TO_CONSOLE = true;
        for (const char* n : {"tf_a.bin", "tf_b.bin", "tf_missing.bin", "tf_text.txt"})
            remove(n);
    }
    static void ExpectSite(const KQFile& f, int32 code, const char* label, int32 line)
    {
        ASSERT_NE(f.GetError(), nullptr);
        EXPECT_EQ(f.GetError()->code, code);
        EXPECT_EQ(N(f.GetError()->fileName), ".\\KQOFile");
        EXPECT_EQ(N(f.GetError()->functionName), label);
        EXPECT_EQ(f.GetError()->line, line);
    }
    // Reading a write-only stream sets the stream's error indicator in most
    // runtimes, but some merely report end of file; the error is recorded
    // exactly when the indicator is set.
    static void ExpectReadError(KQFile& f, const char* label, int32 line)
    {
        if (ferror(f.GetFILE()))
            ExpectSite(f, 1105, label, line);
        else
            EXPECT_FALSE(f.HasError());
    }
};

}  // namespace

TEST(FileModes, EveryFlagRow)
{
    struct Row {
        int32 flags;
        const char* mode;
        bool retry;
    } rows[] = {
        {KQFile::READ, "rb", false},
        {KQFile::READ | KQFile::TEXT, "rt", false},
        {KQFile::WRITE, "wb", false},
        {KQFile::WRITE | KQFile::TEXT, "wt", false},
        {KQFile::READ | KQFile::WRITE, "r+b", false},
        {KQFile::READ | KQFile::WRITE | KQFile::TRUNCATE, "w+b", false},
        {KQFile::READ | KQFile::WRITE | KQFile::TRUNCATE | KQFile::OPEN_ALWAYS, "r+b", true},
        {KQFile::READ | KQFile::WRITE | KQFile::OPEN_ALWAYS, "r+b", false},
        {KQFile::WRITE | KQFile::OPEN_ALWAYS, "r+b", true},
        {KQFile::WRITE | KQFile::TRUNCATE, "wb", false},
        {KQFile::READ | KQFile::TRUNCATE | KQFile::OPEN_ALWAYS, "rb", false},
        {KQFile::APPEND, "ab", false},
        {KQFile::APPEND | KQFile::TEXT, "at", false},
        {KQFile::APPEND | KQFile::WRITE | KQFile::OPEN_ALWAYS, "ab", false},
        {KQFile::APPEND | KQFile::READ | KQFile::WRITE, "a+b", false},
        {KQFile::APPEND | KQFile::READ | KQFile::TRUNCATE, "a+b", false},
        {0, "", false},
        {KQFile::TEXT | KQFile::TRUNCATE | KQFile::OPEN_ALWAYS, "", false},
    };
    for (const Row& r : rows) {
        bool retry = !r.retry;
        EXPECT_EQ(N(KQFileOpenMode(r.flags, &retry)), r.mode) << r.flags;
        EXPECT_EQ(retry, r.retry) << r.flags;
    }
#ifdef KQ_UNICODE
    EXPECT_EQ(N(KQFileOpenMode(KQFile::READ | KQFile::TEXT | KQFile::UNICODE_TEXT, nullptr)), "rt,ccs=UNICODE");
#endif
    EXPECT_EQ(KQOpenFileWithFlags(KQString("tf_a.bin"), 0), nullptr);
}

TEST_F(FileTest, ModesBehaveOnDisk)
{
    KQFile f;
    ASSERT_TRUE(f.Open(KQString("tf_a.bin"), KQFile::WRITE));
    EXPECT_EQ(f.Write("hello", 1, 5), 5);
    f.Close();

    // Update in place.
    ASSERT_TRUE(f.Open(KQString("tf_a.bin"), KQFile::WRITE | KQFile::OPEN_ALWAYS));
    EXPECT_EQ(f.Write("J", 1, 1), 1);
    f.Close();
    EXPECT_EQ(ReadBytes("tf_a.bin"), "Jello");

    // Append, whatever else is asked.
    ASSERT_TRUE(f.Open(KQString("tf_a.bin"), KQFile::APPEND | KQFile::READ | KQFile::WRITE));
    EXPECT_EQ(f.Write("!", 1, 1), 1);
    f.Close();
    EXPECT_EQ(ReadBytes("tf_a.bin"), "Jello!");

    // Start from an empty file.
    ASSERT_TRUE(f.Open(KQString("tf_a.bin"), KQFile::READ | KQFile::WRITE | KQFile::TRUNCATE));
    f.Close();
    EXPECT_EQ(ReadBytes("tf_a.bin"), "");

    // The retry creates a missing file.
    remove("tf_missing.bin");
    ASSERT_TRUE(f.Open(KQString("tf_missing.bin"), KQFile::WRITE | KQFile::OPEN_ALWAYS));
    EXPECT_EQ(f.Write("new", 1, 3), 3);
    f.Close();
    EXPECT_EQ(ReadBytes("tf_missing.bin"), "new");
    remove("tf_missing.bin");
    ASSERT_TRUE(
        f.Open(KQString("tf_missing.bin"), KQFile::READ | KQFile::WRITE | KQFile::TRUNCATE | KQFile::OPEN_ALWAYS));
    f.Close();
    EXPECT_EQ(ReadBytes("tf_missing.bin"), "");
    remove("tf_missing.bin");

    // Without the retry a missing file is not created.
    EXPECT_FALSE(f.Open(KQString("tf_missing.bin"), KQFile::READ | KQFile::WRITE));
    EXPECT_EQ(ReadBytes("tf_missing.bin"), "<missing>");
}

TEST_F(FileTest, OpenFailuresNameTheFileAndTheDirection)
{
    remove("tf_missing.bin");
    struct Case {
        int32 flags;
        const char* message;
    } cases[] = {
        {KQFile::READ | KQFile::WRITE, "Error opening file tf_missing.bin for reading and writing"},
        {KQFile::READ, "Error opening file tf_missing.bin for reading"},
    };
    for (const Case& c : cases) {
        KQFile f;
        EXPECT_FALSE(f.Open(KQString("tf_missing.bin"), c.flags));
        ExpectSite(f, 1104, "KQFile::Open", L(284, 285));
        EXPECT_EQ(N(f.GetError()->message), c.message);
        EXPECT_FALSE(f.IsOpen());
    }
    KQFile f;
    EXPECT_FALSE(f.Open(KQString("tf_no_folder/x.bin"), KQFile::WRITE));
    EXPECT_EQ(N(f.GetError()->message), "Error opening file tf_no_folder/x.bin for writing");
    EXPECT_FALSE(f.Open(KQString("tf_no_folder/x.bin"), KQFile::APPEND));
    EXPECT_EQ(N(f.GetError()->message), "Error opening file tf_no_folder/x.bin");
}

#ifdef KQ_TEST_POSIX
// A name checked as a file and then swapped for a pipe must not hold the
// reader until a writer comes: reading opens a regular file or nothing, at
// once (a hang here is the fault).
TEST_F(FileTest, ReadingOpensOnlyRegularFiles)
{
    remove("tf_fifo");
    ASSERT_EQ(mkfifo("tf_fifo", 0600), 0);
    KQFile f;
    EXPECT_FALSE(f.Open(KQString("tf_fifo"), KQFile::READ));
    EXPECT_EQ(KQOpenStream(KQString("tf_fifo"), KQString("rb")), nullptr);
    EXPECT_EQ(KQFileSize(KQ_TEXT("tf_fifo")), 0);
    EXPECT_EQ(KQOpenStream(KQString("."), KQString("rb")), nullptr);
    remove("tf_fifo");
}
#endif

TEST_F(FileTest, FailedOpensKeepTheStoredNameAndFlags)
{
    WriteBytes("tf_a.bin", "abc");
    KQFile f;
    ASSERT_TRUE(f.Open(KQString("tf_a.bin"), KQFile::READ));
    EXPECT_FALSE(f.Open(KQString(""), KQFile::WRITE));
    ExpectSite(f, 1100, "KQFile::Open", L(271, 272));
    EXPECT_EQ(N(f.GetError()->message), "Empty file name specified");
    EXPECT_FALSE(f.IsOpen());  // the earlier file was closed first
    EXPECT_EQ(N(f.GetFileName()), "tf_a.bin");
    EXPECT_EQ(f.GetFlags(), KQFile::READ);

    EXPECT_FALSE(f.Open(KQString("tf_missing.bin"), KQFile::READ));
    EXPECT_EQ(N(f.GetFileName()), "tf_a.bin");
    ASSERT_TRUE(f.OpenStored());
    EXPECT_FALSE(f.HasError());
    char buf[3];
    EXPECT_EQ(f.Read(buf, 1, 3), 3);
    EXPECT_EQ(std::string(buf, 3), "abc");

    KQString full;
    EXPECT_TRUE(KQFullPathName(KQString("tf_a.bin"), full));
    EXPECT_EQ(N(f.GetFullPath()), N(full));
    f.Write("y", 1, 1);  // a read-only stream refuses
    EXPECT_TRUE(f.HasError());
    f.Close();  // clears the error and the path, keeps name and flags
    EXPECT_FALSE(f.HasError());
    EXPECT_EQ(N(f.GetFullPath()), "");
    EXPECT_EQ(N(f.GetFileName()), "tf_a.bin");

    KQFile stored(KQString("tf_missing.bin"), KQFile::READ);
    EXPECT_FALSE(stored.OpenStored());
    ExpectSite(stored, 1104, "KQFile::Open", L(235, 236));
    KQFile unnamed;
    EXPECT_FALSE(unnamed.OpenStored());
    ExpectSite(unnamed, 1100, "KQFile::Open", L(223, 224));
}

TEST_F(FileTest, OperationsWithoutAnOpenFile)
{
    char buf[4];
    KQFile f;
    EXPECT_EQ(f.Read(buf, 1, 4), 0);
    ExpectSite(f, 1808, "KQFile::Read()", L(440, 443));
    EXPECT_EQ(N(f.GetError()->message), "");
    EXPECT_EQ(f.Write(buf, 1, 4), 0);
    ExpectSite(f, 1808, "KQFile::Write()", L(477, 480));
    EXPECT_FALSE(f.SeekToEnd());

    KQBinaryFile b;
    EXPECT_EQ(b.Read(buf, 1, 4), 0);
    ExpectSite(b, 1808, "KQBinaryFile::Read()", L(774, 777));

    KQASCIIFile a;
    EXPECT_FALSE(a.WriteString(KQString("x")));
    ExpectSite(a, 1808, "KQASCIIFile::WriteString()", L(1507, 1510));
}

TEST_F(FileTest, ReadAndWriteErrorsOfTheStream)
{
    char buf[4] = {0};
    KQFile w;
    ASSERT_TRUE(w.Open(KQString("tf_a.bin"), KQFile::WRITE));
    EXPECT_EQ(w.Read(buf, 1, 4), 0);
    ExpectReadError(w, "KQFile::Read()", L(448, 451));
    w.Close();

    KQBinaryFile bw;
    ASSERT_TRUE(bw.Open(KQString("tf_a.bin"), KQFile::WRITE));
    EXPECT_EQ(bw.Read(buf, 1, 4), 0);
    ExpectReadError(bw, "KQBinaryFile::Read()", L(782, 785));
    bw.Close();

    WriteBytes("tf_a.bin", "abcd");
    KQFile r;
    ASSERT_TRUE(r.Open(KQString("tf_a.bin"), KQFile::READ));
    EXPECT_EQ(r.Write("zz", 1, 2), 0);
    ExpectSite(r, 1106, "KQFile::Write()", L(482, 485));

    // Nonsense counts read and write nothing.
    r.ClearError();
    EXPECT_EQ(r.Read(buf, 1, -5), 0);
    EXPECT_EQ(r.Read(buf, 0, 4), 0);
    EXPECT_FALSE(r.HasError());
}

TEST_F(FileTest, SwappedReads)
{
    const std::string bytes("\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0A\x0B\x0C", 12);
    WriteBytes("tf_a.bin", bytes);
    KQBinaryFile f(KQString(), 0, true);
    EXPECT_TRUE(f.GetSwapBytes());
    ASSERT_TRUE(f.Open(KQString("tf_a.bin"), KQFile::READ));
    unsigned char out[40];
    EXPECT_EQ(f.Read(out, 4, 3), 3);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 12),
              std::string("\x04\x03\x02\x01\x08\x07\x06\x05\x0C\x0B\x0A\x09", 12));

    // Only the items actually read are reversed.
    ASSERT_TRUE(f.OpenStored());
    f.SetSwapBytes(true);
    std::memset(out, 0xEE, sizeof out);
    EXPECT_EQ(f.Read(out, 8, 2), 1);
    EXPECT_FALSE(f.HasError());
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 12),
              std::string("\x08\x07\x06\x05\x04\x03\x02\x01\x09\x0A\x0B\x0C", 12));

    ASSERT_TRUE(f.OpenStored());
    EXPECT_EQ(f.Read(out, 1, 12), 12);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 12), bytes);

    std::string forty;
    for (int i = 0; i < 40; ++i)
        forty += static_cast<char>(i);
    WriteBytes("tf_b.bin", forty);
    ASSERT_TRUE(f.Open(KQString("tf_b.bin"), KQFile::READ));
    EXPECT_EQ(f.Read(out, 40, 1), 1);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 40), forty);

    // Reset turns swapping off.
    f.Reset();
    EXPECT_FALSE(f.GetSwapBytes());
}

TEST(FileSwap, ItemSizes)
{
    unsigned char buf[80];
    for (int i = 0; i < 80; ++i)
        buf[i] = static_cast<unsigned char>(i);
    KQSwapBytes(buf, 2, 2);
    EXPECT_EQ(buf[0], 1);
    EXPECT_EQ(buf[1], 0);
    EXPECT_EQ(buf[2], 3);
    KQSwapBytes(buf + 4, 32, 1);
    EXPECT_EQ(buf[4], 35);
    EXPECT_EQ(buf[35], 4);
    unsigned char before[80];
    std::memcpy(before, buf, 80);
    KQSwapBytes(buf, 40, 2);
    KQSwapBytes(buf, 33, 1);
    KQSwapBytes(buf, 1, 80);
    KQSwapBytes(buf, 4, 0);
    EXPECT_EQ(std::memcmp(before, buf, 80), 0);
}

TEST_F(FileTest, CheckBinary)
{
    KQFile f(KQString("tf_text.txt"), KQFile::READ);
    WriteBytes("tf_text.txt", "Plain\ttext\r\nwith Latin-1 \xE9\xFC\xFE letters\n");
    EXPECT_FALSE(f.CheckBinary());
    WriteBytes("tf_text.txt", "");
    EXPECT_FALSE(f.CheckBinary());
    WriteBytes("tf_text.txt", std::string("text\0more", 9));
    EXPECT_TRUE(f.CheckBinary());
    WriteBytes("tf_text.txt", "abc\xFF");
    EXPECT_TRUE(f.CheckBinary());
    WriteBytes("tf_text.txt", "abc\x0C");
    EXPECT_TRUE(f.CheckBinary());
    WriteBytes("tf_text.txt", std::string(1024, 'a') + '\x01');
    EXPECT_FALSE(f.CheckBinary());
    WriteBytes("tf_text.txt", std::string(1023, 'a') + '\x01');
    EXPECT_TRUE(f.CheckBinary());

    // The object's own stream is left where it was.
    ASSERT_TRUE(f.OpenStored());
    char c;
    f.Read(&c, 1, 1);
    EXPECT_TRUE(f.CheckBinary());
    EXPECT_EQ(f.Read(&c, 1, 1), 1);
    EXPECT_EQ(c, 'a');
    f.Close();

    KQFile missing(KQString("tf_missing.bin"), KQFile::READ);
    EXPECT_FALSE(missing.CheckBinary());
    ExpectSite(missing, 1105, "KQFile::CheckBinary()", L(671, 674));
    EXPECT_EQ(N(missing.GetError()->message), "Error reading from file tf_missing.bin");
}

TEST(FileNames, Parts)
{
    KQString out;
    EXPECT_EQ(N(KQFileName(out, KQString("C:\\dir\\model.kqfx"), false)), "model");
    EXPECT_EQ(N(KQFileName(out, KQString("C:\\dir\\model.kqfx"), true)), "model.kqfx");
    EXPECT_EQ(N(KQFileName(out, KQString("\\\\server"), true)), "");
    EXPECT_EQ(N(KQFileName(out, KQString("\\\\server\\share\\a.b"), false)), "a");
    EXPECT_EQ(N(KQFileName(out, KQString("plain.txt"), false)), "plain");
    EXPECT_EQ(N(KQFileName(out, KQString(".hidden"), false)), ".hidden");
    EXPECT_EQ(N(KQFileName(out, KQString("a.tar.gz"), false)), "a.tar");
    EXPECT_EQ(N(KQFileName(out, KQString("C:\\dir\\\"quoted.txt\""), true)), "quoted.txt");
    EXPECT_EQ(N(KQFileName(out, KQString("dir/sub/file.txt"), false)), "dir/sub/file");
    EXPECT_EQ(N(KQFileName(out, KQString("C:\\dir\\"), false)), "");

    EXPECT_EQ(N(KQFileExtension(out, KQString("C:\\dir.d\\name"))), "");
    EXPECT_EQ(N(KQFileExtension(out, KQString("C:\\dir\\model.kqfx"))), ".kqfx");
    EXPECT_EQ(N(KQFileExtension(out, KQString(""))), "");
    EXPECT_EQ(N(KQFileExtension(out, KQString("a.tar.gz"))), ".gz");

    EXPECT_EQ(N(KQBackslashPath(out, KQString("ppt/kqfxFiles/kqfx1.kqfx"))), "ppt\\kqfxFiles\\kqfx1.kqfx");
    KQString same("a/b");
    EXPECT_EQ(N(KQBackslashPath(same, same)), "a\\b");
}

TEST(FileNames, FullPathNeedNotExist)
{
    KQString out("unchanged");
    EXPECT_FALSE(KQFullPathName(KQString(""), out));

    KQString a, b, c, d;
    EXPECT_TRUE(KQFullPathName(KQString("tf_not_there.kqf"), a));
    EXPECT_GT(a.GetLength(), 16);
    const std::string tail = "tf_not_there.kqf";
    EXPECT_EQ(N(a).substr(N(a).size() - tail.size()), tail);
    EXPECT_TRUE(KQFullPathName(KQString("sub/../tf_not_there.kqf"), b));
    EXPECT_EQ(N(b), N(a));
    EXPECT_TRUE(KQFullPathName(KQString("./sub/./x"), c));
    EXPECT_TRUE(KQFullPathName(KQString("sub/x"), d));
    EXPECT_EQ(N(c), N(d));

    // A path that does not fit the buffer leaves the result empty.
    EXPECT_TRUE(KQFullPathName(KQString(std::string(300, 'n').c_str()), out));
    EXPECT_EQ(N(out), "");
}

TEST_F(FileTest, AccessAndSizes)
{
    WriteBytes("tf_a.bin", "12345");
    const KQString name("tf_a.bin");
    for (uint32 mode = 0; mode <= 3; ++mode)
        EXPECT_TRUE(KQFileAccess(name.CStr(), mode)) << mode;
    EXPECT_FALSE(KQFileAccess(name.CStr(), 7));
    EXPECT_FALSE(KQFileAccess(KQString("tf_missing.bin").CStr(), 3));
    EXPECT_EQ(KQFileSize(name.CStr()), 5);
    EXPECT_EQ(KQFileSize(KQString("tf_missing.bin").CStr()), 0);
    EXPECT_EQ(KQFileLength(nullptr), 0);
    EXPECT_FALSE(KQSeekToEnd(nullptr));
    EXPECT_FALSE(KQSetFilePosition(nullptr, 0));

    KQBinaryFile b(name, KQFile::READ);
    EXPECT_EQ(b.FileSize(), 5);
    ASSERT_TRUE(b.OpenStored());
    EXPECT_EQ(KQFileLength(b.GetFILE()), 5);
    EXPECT_TRUE(b.SeekToEnd());
    char c;
    EXPECT_EQ(b.Read(&c, 1, 1), 0);
    EXPECT_TRUE(KQSetFilePosition(b.GetFILE(), 3));
    EXPECT_EQ(b.Read(&c, 1, 1), 1);
    EXPECT_EQ(c, '4');
    b.Close();

    KQFile f;
    ASSERT_TRUE(f.Open(name, KQFile::READ | KQFile::WRITE));
    EXPECT_TRUE(f.SeekToEnd());
    EXPECT_EQ(f.Write("67", 1, 2), 2);
    f.Close();
    EXPECT_EQ(ReadBytes("tf_a.bin"), "1234567");
}

TEST_F(FileTest, AsciiFileWritesTextMode)
{
    KQASCIIFile f(KQString("tf_text.txt"), KQFile::WRITE);
    EXPECT_EQ(f.GetFlags(), KQFile::WRITE | KQFile::TEXT);
    ASSERT_TRUE(f.OpenStored());
    EXPECT_TRUE(f.WriteString(KQString("one\ntwo %s\n")));
    f.Close();
    EXPECT_EQ(ReadBytes("tf_text.txt", "r"), "one\ntwo %s\n");
    const std::string raw = ReadBytes("tf_text.txt");
    EXPECT_TRUE(raw == "one\ntwo %s\n" || raw == "one\r\ntwo %s\r\n") << raw;

    KQASCIIFile app(KQString("tf_text.txt"), KQFile::APPEND);
    ASSERT_TRUE(app.OpenStored());
    EXPECT_TRUE(app.WriteString(KQString("three\n")));
    app.Close();
    EXPECT_EQ(ReadBytes("tf_text.txt", "r"), "one\ntwo %s\nthree\n");

    KQASCIIFile ro(KQString("tf_text.txt"), KQFile::READ);
    ASSERT_TRUE(ro.OpenStored());
    EXPECT_FALSE(ro.WriteString(KQString("x")));
    ExpectSite(ro, 1106, "KQASCIIFile::WriteString()", L(1515, 1514));
}

TEST_F(FileTest, DetachHandsOverTheStream)
{
    WriteBytes("tf_a.bin", "q");
    KQBinaryFile f(KQString("tf_a.bin"), KQFile::READ, true);
    ASSERT_TRUE(f.OpenStored());
    FILE* h = f.Detach();
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(f.GetFILE(), nullptr);
    EXPECT_EQ(N(f.GetFileName()), "");
    EXPECT_EQ(f.GetFlags(), 0);
    EXPECT_FALSE(f.GetSwapBytes());
    EXPECT_EQ(fgetc(h), 'q');
    fclose(h);
}

#ifdef KQ_UNICODE
TEST_F(FileTest, ReadValAndPositions)
{
    WriteBytes("tf_a.bin", std::string("\x00\x03\x87\x68\x01\x02\x03\x04\x05\x06", 10));
    KQBinaryFile f;
    int32 v = -1;
    EXPECT_FALSE(f.ReadVal(&v));
    ExpectSite(f, 1808, "KQBinaryFile::ReadVal()", 813);

    ASSERT_TRUE(f.Open(KQString("tf_a.bin"), KQFile::READ));
    f.SetSwapBytes(true);  // the data was written big-endian
    ASSERT_TRUE(f.ReadVal(&v));
    EXPECT_EQ(v, 231272);
    EXPECT_TRUE(f.ReadVal(&v));
    EXPECT_EQ(v, 0x01020304);
    v = -1;
    EXPECT_FALSE(f.ReadVal(&v));  // only two bytes left
    EXPECT_FALSE(f.HasError());

    EXPECT_TRUE(f.Rewind());
    EXPECT_TRUE(f.SkipBytes(4));
    KQFilePosition pos = -1;
    EXPECT_TRUE(KQGetFilePosition(f.GetFILE(), &pos));
    EXPECT_EQ(pos, 4);
    EXPECT_TRUE(f.SkipBytes(-2));
    EXPECT_TRUE(KQGetFilePosition(f.GetFILE(), &pos));
    EXPECT_EQ(pos, 2);
    EXPECT_FALSE(f.SkipBytes(-3));  // before the start
    EXPECT_TRUE(KQRewindFile(f.GetFILE()));
    EXPECT_TRUE(KQMoveFilePosition(f.GetFILE(), 1));
    unsigned char c = 0;
    EXPECT_EQ(f.Read(&c, 1, 1), 1);
    EXPECT_EQ(c, 0x03);
    f.Close();

    EXPECT_FALSE(KQGetFilePosition(nullptr, &pos));
    EXPECT_FALSE(KQMoveFilePosition(nullptr, 1));
    EXPECT_FALSE(KQRewindFile(nullptr));

    KQBinaryFile w;
    ASSERT_TRUE(w.Open(KQString("tf_b.bin"), KQFile::WRITE));
    EXPECT_FALSE(w.ReadVal(&v));
    ExpectReadError(w, "KQBinaryFile::ReadVal()", 820);
}

TEST(FileNames, Directory)
{
    EXPECT_EQ(N(KQFileDirectory(KQString("C:\\a\\b.kqf"), true)), "C:\\a\\");
    EXPECT_EQ(N(KQFileDirectory(KQString("C:\\a\\b.kqf"), false)), "C:\\a");
    EXPECT_EQ(N(KQFileDirectory(KQString("b.kqf"), true)), "");
    EXPECT_EQ(N(KQFileDirectory(KQString("\\\\server"), true)), "");
    EXPECT_EQ(N(KQFileDirectory(KQString("\\x"), false)), "\\");
    EXPECT_EQ(N(KQFileDirectory(KQString("\\x"), true)), "\\");
    EXPECT_EQ(N(KQFileDirectory(KQString("C:\\\"my dir\"\\b.kqf"), false)), "C:\\my dir");
}

TEST_F(FileTest, CheckFileAccessAcceptsNewFilesInWritableFolders)
{
    remove("tf_missing.bin");
    EXPECT_TRUE(KQCheckFileAccess(L"tf_missing.bin", 1));
    EXPECT_FALSE(KQCheckFileAccess(L"tf_missing.bin", 0));
    EXPECT_FALSE(KQCheckFileAccess(L"tf_missing.bin", 3));
    EXPECT_FALSE(KQCheckFileAccess(L"tf_no_folder\\tf_missing.bin", 1));
    WriteBytes("tf_a.bin", "x");
    EXPECT_TRUE(KQCheckFileAccess(L"tf_a.bin", 3));
    EXPECT_TRUE(KQCheckFileAccess(L"tf_a.bin", 2));
    EXPECT_FALSE(KQCheckFileAccess(L"tf_a.bin", 9));
}
#endif
