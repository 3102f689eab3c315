#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <regex>
#include <string>

#include "KQOError.h"
#include "KQQuietReports.h"
#include "test_text_support.h"

namespace {

// Read back in text mode, so that line ends compare the same on every host.
std::string ReadText(const char* name)
{
    std::string out;
    FILE* f = fopen(name, "r");
    if (!f)
        return out;
    int c;
    while ((c = fgetc(f)) != EOF)
        out += static_cast<char>(c);
    fclose(f);
    return out;
}

bool Exists(const char* name)
{
    FILE* f = fopen(name, "rb");
    if (f)
        fclose(f);
    return f != nullptr;
}

KQString Loc(const char* file, const char* label, int32 line)
{
    return KQErrorLocation(file, label, line);
}

// Also puts back the switches that only these tests change.
class ErrorTest : public QuietReports {
protected:
    void TearDown() override
    {
        QuietReports::TearDown();
        KQ_TRACE_FILE_NAME = "APItrace.txt";
        KQ_ERROR_TEXT_PROVIDER = nullptr;
        KQSetErrorReporting(true);
    }
};

const std::string kRule(79, '-');

}  // namespace

TEST_F(ErrorTest, KeepFirstHolderIgnoresLaterErrorsUntilCleared)
{
    KQErrorBase holder(false);
    EXPECT_FALSE(holder.HasError());
    EXPECT_EQ(holder.GetError(), nullptr);
    EXPECT_EQ(holder.GetErrorCode(), 0);

    EXPECT_FALSE(holder.SetError(Loc(".\\KQOFile", "KQFile::Open", 284), 1104, "first %d", 1));
    EXPECT_FALSE(holder.SetError(Loc(".\\KQOOther", "Other", 9), 1105, "second"));
    ASSERT_TRUE(holder.HasError());
    KQError* e = holder.GetError();
    EXPECT_EQ(e->code, 1104);
    EXPECT_EQ(N(e->message), "first 1");
    EXPECT_EQ(N(e->fileName), ".\\KQOFile");
    EXPECT_EQ(N(e->functionName), "KQFile::Open");
    EXPECT_EQ(e->line, 284);

    holder.ClearError();
    EXPECT_FALSE(holder.HasError());
    ASSERT_EQ(holder.GetError(), e);  // the record stays allocated
    EXPECT_EQ(e->code, 0);
    EXPECT_EQ(e->line, -1);
    EXPECT_EQ(N(e->message), "");
    EXPECT_EQ(N(e->fileName), "");

    holder.SetError(Loc("f", "g", 3), 1105, "again");
    EXPECT_EQ(holder.GetErrorCode(), 1105);
    EXPECT_EQ(holder.GetError(), e);
}

TEST_F(ErrorTest, OverwriteHolderKeepsTheNewestError)
{
    KQErrorBase holder(true);
    holder.SetError(Loc("a", "A", 1), 1104, "one");
    holder.SetError(Loc("b", "B", 2), 1105, KQString("two"));
    EXPECT_EQ(holder.GetErrorCode(), 1105);
    EXPECT_EQ(N(holder.GetError()->message), "two");
    EXPECT_EQ(N(holder.GetError()->functionName), "B");
    EXPECT_EQ(holder.GetError()->cause, nullptr);

    EXPECT_FALSE(holder.SetAllocationError(Loc("c", "C", 3)));
    EXPECT_EQ(holder.GetErrorCode(), 1002);
    EXPECT_EQ(N(holder.GetError()->message), "");
}

TEST_F(ErrorTest, PushErrorMovesThePreviousErrorOneLevelDown)
{
    KQErrorBase holder(false);  // pushing ignores keep-first
    holder.SetError(Loc(".\\KQOFile", "KQFile::Open", 284), 1104, "cannot open %s", KQ_TEXT("x.kqf"));
    EXPECT_FALSE(holder.PushError(Loc(".\\KQOZip", "KQZipArchive::Open", 50), 1255, "archive"));
    KQError* e = holder.GetError();
    EXPECT_EQ(e->code, 1255);
    EXPECT_EQ(N(e->functionName), "KQZipArchive::Open");
    ASSERT_NE(e->cause, nullptr);
    EXPECT_EQ(e->cause->code, 1104);
    EXPECT_EQ(N(e->cause->message), "cannot open x.kqf");
    EXPECT_EQ(N(e->cause->fileName), ".\\KQOFile");
    EXPECT_EQ(e->cause->line, 284);
    EXPECT_EQ(e->cause->cause, nullptr);

    holder.PushError(Loc("t", "Top", 1), 1001, "top");
    ASSERT_NE(e->cause, nullptr);
    ASSERT_NE(e->cause->cause, nullptr);
    EXPECT_EQ(e->code, 1001);
    EXPECT_EQ(e->cause->code, 1255);
    EXPECT_EQ(e->cause->cause->code, 1104);

    // A cleared record is not pushed down.
    holder.ClearError();
    holder.PushError(Loc("t", "Top", 1), 1006, "fresh");
    EXPECT_EQ(holder.GetErrorCode(), 1006);
    EXPECT_EQ(holder.GetError()->cause, nullptr);

    KQErrorBase empty(true);
    empty.PushError(Loc("t", "T", 1), 1003, "");
    EXPECT_EQ(empty.GetErrorCode(), 1003);
    EXPECT_EQ(empty.GetError()->cause, nullptr);
}

TEST_F(ErrorTest, SetErrorFromAdoptsACopyOfTheOtherAndClearsIt)
{
    KQErrorBase other(true);
    other.SetError(Loc(".\\KQOFile", "KQFile::Read()", 448), 1105, "");
    other.PushError(Loc("inner", "Inner", 7), 1107, "io");

    KQErrorBase holder(true);
    EXPECT_FALSE(holder.SetErrorFrom(Loc("outer", "Outer", 8), other, 1252, "structure %d", 2));
    EXPECT_FALSE(other.HasError());
    ASSERT_NE(other.GetError(), nullptr);
    EXPECT_EQ(other.GetError()->cause, nullptr);

    KQError* e = holder.GetError();
    EXPECT_EQ(e->code, 1252);
    EXPECT_EQ(N(e->message), "structure 2");
    ASSERT_NE(e->cause, nullptr);
    EXPECT_EQ(e->cause->code, 1107);
    ASSERT_NE(e->cause->cause, nullptr);
    EXPECT_EQ(e->cause->cause->code, 1105);
    EXPECT_EQ(e->cause->cause->line, 448);

    // Code taken from the other object.
    KQErrorBase second(true), third(true);
    second.SetError(Loc("s", "S", 1), 1808, "");
    third.SetErrorFrom(Loc("t", "T", 2), second, "wrapped");
    EXPECT_EQ(third.GetErrorCode(), 1808);
    EXPECT_EQ(third.GetError()->cause->code, 1808);
    EXPECT_FALSE(second.HasError());

    // An other without a record gives code 0 and no cause.
    KQErrorBase none(true), target(true);
    target.SetErrorFrom(Loc("t", "T", 2), none, "nothing");
    ASSERT_NE(target.GetError(), nullptr);
    EXPECT_EQ(target.GetErrorCode(), 0);
    EXPECT_EQ(target.GetError()->cause, nullptr);
}

TEST_F(ErrorTest, SetErrorFromOnAKeepFirstHolderKeepsItsErrorButTakesTheCause)
{
    KQErrorBase holder(false);
    holder.SetError(Loc("h", "H", 1), 1104, "kept");
    KQErrorBase other(true);
    other.SetError(Loc("o", "O", 2), 1105, "cause");
    holder.SetErrorFrom(Loc("x", "X", 3), other, 1001, KQString("ignored"));
    EXPECT_EQ(holder.GetErrorCode(), 1104);
    EXPECT_EQ(N(holder.GetError()->message), "kept");
    ASSERT_NE(holder.GetError()->cause, nullptr);
    EXPECT_EQ(holder.GetError()->cause->code, 1105);
    EXPECT_FALSE(other.HasError());
}

TEST(ErrorCodes, TableTextsAndGaps)
{
    EXPECT_EQ(N(KQErrorText(0)), "No error.");
    EXPECT_EQ(N(KQErrorText(1001)), "General error");
    EXPECT_EQ(N(KQErrorText(1104)), "File open error");
    EXPECT_EQ(N(KQErrorText(1202)), "The KQF file uses a newer version of the KQF format than this program supports");
    EXPECT_EQ(N(KQErrorText(1214)), "Illegal ID Specified.");
    EXPECT_EQ(N(KQErrorText(1808)), "File not open");
    EXPECT_EQ(N(KQErrorText(1907)), "X server does not support the GLX extension");
    EXPECT_EQ(N(KQErrorText(2002)), "Method not implemented");
    for (int32 gap : {-1, 1, 1008, 1099, 1211, 1803, 2000, 2003, 89999})
        EXPECT_EQ(N(KQErrorText(gap)), "Unknown error") << gap;
    EXPECT_EQ(N(KQErrorText(90000)), "User defined error");
}

TEST_F(ErrorTest, UserDefinedCodesAskTheProvider)
{
    struct Provider : KQErrorTextProvider {
        const KQChar* GetErrorText(int32 code) override { return code == 90001 ? KQ_TEXT("Mine") : nullptr; }
    } provider;
    KQ_ERROR_TEXT_PROVIDER = &provider;
    EXPECT_EQ(N(KQErrorText(90001)), "Mine");
    EXPECT_EQ(N(KQErrorText(90002)), "User defined error");
    EXPECT_EQ(N(KQErrorText(1803)), "Unknown error");
}

TEST(ErrorLocation, MadeAndSplit)
{
    KQString loc = KQErrorLocation(".\\KQOFile", "KQFile::Open", 260);
    EXPECT_EQ(N(loc), "%.\\KQOFile\nKQFile::Open\n260");

    KQError e;
    e.SetLocation(loc);
    EXPECT_EQ(N(e.fileName), ".\\KQOFile");
    EXPECT_EQ(N(e.functionName), "KQFile::Open");
    EXPECT_EQ(e.line, 260);

    e.SetLocation(KQString("plain location"));
    EXPECT_EQ(N(e.fileName), "plain location");
    EXPECT_EQ(N(e.functionName), "UNKNOWN");
    EXPECT_EQ(e.line, -1);

    for (const char* blank : {"", " \t\r\n"}) {
        e.SetLocation(KQString(blank));
        EXPECT_EQ(N(e.fileName), "UNKNOWN");
        EXPECT_EQ(N(e.functionName), "UNKNOWN");
        EXPECT_EQ(e.line, -1);
    }

    e.SetLocation(KQString("%justfile"));
    EXPECT_EQ(N(e.fileName), "justfile");
    EXPECT_EQ(N(e.functionName), "");
    EXPECT_EQ(e.line, 0);

    e.SetLocation(KQString("%f\ng\nnotanumber"));
    EXPECT_EQ(N(e.functionName), "g");
    EXPECT_EQ(e.line, 0);

    e.SetLocation(KQString("%f\ng\n-12"));
    EXPECT_EQ(e.line, -12);
}

TEST(ErrorDescribe, LocationLinesAndDepth)
{
    KQErrorBase holder(true);
    holder.SetError(Loc(".\\KQOFile", "KQFile::Open", 284), 1104, "Error opening file %s", KQ_TEXT("a.txt"));
    KQString out;
    holder.GetError()->Describe(out, true, 0);
    EXPECT_EQ(N(out), "File open error\nError opening file a.txt\n  -Function name: KQFile::Open\n"
                      "  -File name: .\\KQOFile\n  -Line number: 284");
    holder.GetError()->Describe(out, false, 0);
    EXPECT_EQ(N(out), "File open error\nError opening file a.txt");

    // A blank message adds no line.
    KQErrorBase blank(true);
    blank.SetError(Loc("f", "g", 1), 1105, " \t\n");
    blank.GetError()->Describe(out, false, 5);
    EXPECT_EQ(N(out), "File read error");

    holder.PushError(Loc("z", "Z", 1), 1255, "");
    holder.PushError(Loc("y", "Y", 2), 1001, "");
    holder.GetError()->Describe(out, false, 0);
    EXPECT_EQ(N(out), "General error");
    holder.GetError()->Describe(out, false, 1);
    EXPECT_EQ(N(out), "General error\n------------\nNo valid archive");
    holder.GetError()->Describe(out, false, -1);
    EXPECT_EQ(N(out), "General error\n------------\nNo valid archive\n------------\nFile open error\n"
                      "Error opening file a.txt");
}

TEST_F(ErrorTest, NegativeDepthStopsAfterNinetyNineCauses)
{
    KQErrorBase holder(true);
    for (int i = 0; i < 150; ++i)
        holder.PushError(Loc("f", "g", i), 1001, "");
    KQString out;
    holder.GetError()->Describe(out, false, -1);
    std::string text = N(out);
    size_t count = 0;
    for (size_t pos = text.find("------------"); pos != std::string::npos; pos = text.find("------------", pos + 1))
        ++count;
    EXPECT_EQ(count, 99u);
}

TEST_F(ErrorTest, ReportBlocksByteForByte)
{
    const char* name = "test_error_report.txt";
    remove(name);
    KQ_REPORT_FILE_NAME = name;
    KQ_REPORT_TO_FILE = true;

    KQErrorBase holder(true);
    holder.SetError(Loc(".\\KQOFile", "KQFile::Open", 284), 1104, "Error opening file %s%s", KQ_TEXT("m.kqfx"),
                    KQ_TEXT(" for reading"));
    const std::string first = "\n" + kRule +
                              "\n!!!ERROR  message : \nFile open error\nError opening file m.kqfx"
                              " for reading\n  -Function name: KQFile::Open\n  -File name: .\\KQOFile\n"
                              "  -Line number: 284\n\n";
    EXPECT_EQ(ReadText(name), first);

    // A message with percent signs passes through the finished-text
    // overload and the block unchanged; the block is appended.
    holder.SetError(KQString("where"), 1001, KQString("100% %d %s"));
    const std::string second = "\n" + kRule +
                               "\n!!!ERROR  message : \nGeneral error\n100% %d %s\n"
                               "  -Function name: UNKNOWN\n  -File name: where\n  -Line number: -1\n\n";
    EXPECT_EQ(ReadText(name), first + second);

    remove(name);
    EXPECT_FALSE(KQDebugError("KQImageSaveGIF", ".\\KQOImageGIF", 120, "cannot create %s", KQ_TEXT("x.gif")));
    EXPECT_EQ(ReadText(name), "\n" + kRule +
                                  "\n!!!DEBUG ERROR  message : \ncannot create x.gif\n"
                                  "  Function:   KQImageSaveGIF\n  File:       .\\KQOImageGIF\n"
                                  "  Line:       120\n\n");

    remove(name);
    KQ_ALLOC_ERROR_OCCURRED = false;
    EXPECT_FALSE(KQAllocError("KQArray::Resize", ".\\KQOArray", 77));
    EXPECT_TRUE(KQ_ALLOC_ERROR_OCCURRED);
    EXPECT_EQ(ReadText(name), "\n" + kRule +
                                  "\n!!!ALLOC ERROR  message : \nMemory allocation error.\n"
                                  "  Function:   KQArray::Resize\n  File:       .\\KQOArray\n"
                                  "  Line:       77\n\n");
    remove(name);
}

// The console receives the report block as text (percent signs and all)
// followed by one more line feed, and trace lines without any switch.
TEST_F(ErrorTest, ConsoleGetsTheBlockAndTheTrace)
{
    KQ_REPORT_TO_CONSOLE = true;
    KQ_TRACE_FILE_NAME = "";  // no trace file
    ::testing::internal::CaptureStderr();
    KQErrorBase holder(true);
    holder.SetError(KQString("where"), 1001, KQString("100% %s %d"));
    KQTrace("traced %d", 7);
    KQTraceText(KQString("raw %s"), false);
    const std::string out = ::testing::internal::GetCapturedStderr();
    EXPECT_TRUE(KQConsoleAllocated());
    if (out.empty())
        GTEST_SKIP() << "the console is not the standard error stream on this host";
    EXPECT_EQ(out, "\n" + kRule +
                       "\n!!!ERROR  message : \nGeneral error\n100% %s %d\n  -Function name: UNKNOWN\n"
                       "  -File name: where\n  -Line number: -1\n\n\ntraced 7\nraw %s");
}

TEST_F(ErrorTest, ReportingOffRecordsButWritesOnlyDebugErrors)
{
    const char* name = "test_error_quiet.txt";
    remove(name);
    KQ_REPORT_FILE_NAME = name;
    KQ_REPORT_TO_FILE = true;
    KQSetErrorReporting(false);
    EXPECT_FALSE(KQGetErrorReporting());

    KQErrorBase holder(true);
    holder.SetError(Loc("f", "g", 1), 1104, "quiet");
    holder.PushError(Loc("f", "g", 2), 1105, "quiet too");
    EXPECT_EQ(holder.GetErrorCode(), 1105);
    KQ_ALLOC_ERROR_OCCURRED = false;
    KQAllocError("f", "g", 3);
    EXPECT_TRUE(KQ_ALLOC_ERROR_OCCURRED);
    EXPECT_FALSE(Exists(name));

    KQDebugError("f", "g", 4, "loud");
    EXPECT_NE(ReadText(name).find("!!!DEBUG ERROR  message : \nloud\n"), std::string::npos);
    remove(name);
}

TEST_F(ErrorTest, AReportFileThatCannotBeOpenedReceivesNothing)
{
    KQ_REPORT_FILE_NAME = "no_such_folder_for_reports/report.txt";
    KQ_REPORT_TO_FILE = true;
    KQErrorBase holder(true);
    holder.SetError(Loc("f", "g", 1), 1104, "lost");
    EXPECT_EQ(holder.GetErrorCode(), 1104);
    EXPECT_FALSE(Exists("no_such_folder_for_reports/report.txt"));
}

TEST_F(ErrorTest, TraceFileHeaderAndAppending)
{
    const char* name = "test_error_trace.txt";
    remove(name);
    KQ_TRACE_FILE_NAME = name;
    KQ_TRACE_FIRST = true;

    KQTimeFields before;
    KQGetTime(before, true);
    KQTrace("value %d", 5);
    EXPECT_FALSE(KQ_TRACE_FIRST);
    std::string text = ReadText(name);

    std::smatch m;
    const std::regex header("Trace file from TrevakAPI\n-{23}\n\nFile generated : (\\d+)/(\\d+)/(\\d+) "
                            "(\\d+):(\\d+):(\\d+)\\.(\\d{3})\n\nTrace output:\n-{13}\n\nvalue 5\n");
    ASSERT_TRUE(std::regex_match(text, m, header)) << text;
    // Numbers carry no leading zeros except the milliseconds.
    for (int i = 1; i <= 6; ++i)
        EXPECT_TRUE(m[i].str() == "0" || m[i].str()[0] != '0') << m[i].str();
    EXPECT_EQ(std::stoi(m[1].str()), before.year);
    EXPECT_EQ(std::stoi(m[2].str()), before.month);
    EXPECT_GE(std::stoi(m[3].str()), before.day - 1);  // midnight may pass
    EXPECT_LT(std::stoi(m[7].str()), 1000);

    KQTrace("second %s", KQString("line").CStr());
    EXPECT_EQ(ReadText(name), text + "second line\n");

    KQTraceText(KQString("no feed"), false);
    EXPECT_EQ(ReadText(name), text + "second line\nno feed");

    // A fresh process-wide start recreates the file.
    KQ_TRACE_FIRST = true;
    KQTrace("again");
    std::string fresh = ReadText(name);
    EXPECT_EQ(fresh.find("Trace file from TrevakAPI\n"), 0u);
    EXPECT_EQ(fresh.find("second"), std::string::npos);
    remove(name);
}

TEST_F(ErrorTest, FirstTraceThatCannotOpenStillClearsTheHeaderFlag)
{
    const char* good = "test_error_trace2.txt";
    remove(good);
    KQ_TRACE_FILE_NAME = "no_such_folder_for_traces/trace.txt";
    KQ_TRACE_FIRST = true;
    KQTrace("to the console only");
    EXPECT_FALSE(KQ_TRACE_FIRST);
    KQ_TRACE_FILE_NAME = good;
    KQTrace("appended");
    EXPECT_EQ(ReadText(good), "appended\n");
    remove(good);

    EXPECT_EQ(KQOpenTraceFile(KQString("  "), true), nullptr);
}
