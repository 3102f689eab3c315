// Error records and holders, the code table, and the diagnostics output.
#include "KQOError.h"

#include <cstdarg>
#include <new>

#include "KQOFile.h"
#include "KQPlatform.h"

bool KQ_REPORT_ERRORS = true;
bool KQ_REPORT_MESSAGES = true;
bool KQ_REPORT_TO_CONSOLE = true;
bool KQ_REPORT_TO_FILE = false;
bool KQ_DIAGNOSTICS_OUTPUT = true;
KQString KQ_REPORT_FILE_NAME("TrevakAPI.txt");
KQString KQ_TRACE_FILE_NAME("APItrace.txt");
bool KQ_TRACE_FIRST = true;
bool KQ_ALLOC_ERROR_OCCURRED = false;
KQErrorTextProvider* KQ_ERROR_TEXT_PROVIDER = nullptr;

// The message of a printf-style call: the arguments after format, formatted
// into out. A null format leaves out as it is.
#define KQ_FORMAT_VARARGS(out, format)                                                                                 \
    do {                                                                                                               \
        if (format) {                                                                                                  \
            va_list formatArgs;                                                                                        \
            va_start(formatArgs, format);                                                                              \
            (out).FormatV(format, formatArgs);                                                                         \
            va_end(formatArgs);                                                                                        \
        }                                                                                                              \
    } while (0)

namespace {

const int32 kErrAllocation = 1002;

HANDLE consoleHandle = nullptr;
bool consoleAllocated = false;
// Set while the report file is written, so that a failure there does not
// report itself again (and recurse).
bool writingReportFile = false;

bool IsBlankText(const KQString& s)
{
    const KQChar* p = s.CStr();
    for (; *p; ++p)
        if (*p != ' ' && *p != '\t' && *p != '\r' && *p != '\n')
            return false;
    return true;
}

// Decimal number at the start of the text, as atoi reads it; 0 when none.
int32 ParseLine(const KQChar* p, int32 n)
{
    int32 i = 0;
    while (i < n && (p[i] == ' ' || p[i] == '\t'))
        ++i;
    bool negative = false;
    if (i < n && (p[i] == '+' || p[i] == '-')) {
        negative = p[i] == '-';
        ++i;
    }
    int64 value = 0;
    for (; i < n && p[i] >= '0' && p[i] <= '9'; ++i) {
        value = value * 10 + (p[i] - '0');
        if (value > 2147483648LL)
            value = 2147483648LL;
    }
    if (negative)
        value = -value;
    if (value > 2147483647LL)
        value = 2147483647LL;
    return static_cast<int32>(value);
}

void CopyFields(KQError& to, const KQError& from)
{
    to.code = from.code;
    to.message = from.message;
    to.fileName = from.fileName;
    to.functionName = from.functionName;
    to.line = from.line;
}

void DeleteChain(KQError* e)
{
    // Iterative, so that a long chain cannot exhaust the stack.
    while (e) {
        KQError* next = e->cause;
        e->cause = nullptr;
        delete e;
        e = next;
    }
}

void AppendOne(KQString& out, const KQError& e, bool withLocation)
{
    out.AppendText(KQErrorText(e.code));
    if (!IsBlankText(e.message)) {
        out.AppendText(KQ_TEXT("\n"));
        out.Append(e.message);
    }
    if (withLocation) {
        KQString where;
        where.Format("\n  -Function name: %s\n  -File name: %s\n  -Line number: %d", e.functionName.CStr(),
                     e.fileName.CStr(), e.line);
        out.Append(where);
    }
}

// The report of a newly recorded error: its newest level only.
void ReportRecorded(const KQError& e)
{
    if (!KQGetErrorReporting())
        return;
    KQString text;
    e.Describe(text, true, 0);
    KQReportMessage("ERROR", text);
}

// A site's two 8-bit names (widened in the wide build) and its line, filled
// into format; a null name counts as empty.
KQString FormatSite(const char* format, const char* first, const char* second, int32 line)
{
    KQString a(first ? first : "");
    KQString b(second ? second : "");
    KQString out;
    out.Format(format, a.CStr(), b.CStr(), line);
    return out;
}

KQString SiteLines(const char* functionLabel, const char* sourceFile, int32 line)
{
    return FormatSite("\n  Function:   %s\n  File:       %s\n  Line:       %d", functionLabel, sourceFile, line);
}

}  // namespace

// ---------------------------------------------------------------- KQError

KQError::KQError() : code(0), line(-1), cause(nullptr)
{
    Clear();
}

KQError::~KQError()
{
    DeleteChain(cause);
}

void KQError::Clear()
{
    code = 0;
    message = KQString();
    fileName = KQString();
    functionName = KQString();
    line = -1;
    DeleteChain(cause);
    cause = nullptr;
}

void KQError::SetLocation(KQString location)
{
    if (IsBlankText(location)) {
        fileName = "UNKNOWN";
        functionName = "UNKNOWN";
        line = -1;
        return;
    }
    const KQChar* p = location.CStr();
    if (p[0] != '%') {
        fileName = location;
        functionName = "UNKNOWN";
        line = -1;
        return;
    }
    // "%file\nfunction\nline": the pieces after the percent sign, split at
    // line feeds; missing pieces stay empty.
    const KQChar* pieces[3] = {nullptr, nullptr, nullptr};
    int32 lengths[3] = {0, 0, 0};
    const KQChar* cursor = p + 1;
    for (int k = 0; k < 3 && cursor; ++k) {
        const KQChar* end = cursor;
        while (*end && *end != '\n')
            ++end;
        pieces[k] = cursor;
        lengths[k] = static_cast<int32>(end - cursor);
        cursor = *end ? end + 1 : nullptr;
    }
    KQString file, function;
    if (pieces[0])
        file.Assign(pieces[0], lengths[0]);
    if (pieces[1])
        function.Assign(pieces[1], lengths[1]);
    fileName = file;
    functionName = function;
    line = pieces[2] ? ParseLine(pieces[2], lengths[2]) : 0;
}

void KQError::SetCause(KQError* newCause)
{
    if (newCause == cause)
        return;
    KQError* old = cause;
    cause = newCause;
    DeleteChain(old);
}

void KQError::ReplaceCause(const KQError& source)
{
    KQError* copy = new (std::nothrow) KQError;
    if (!copy)
        return;
    copy->CopyFrom(source);
    SetCause(copy);
}

KQError& KQError::CopyFrom(const KQError& source)
{
    if (&source == this)
        return *this;
    DeleteChain(cause);
    cause = nullptr;
    CopyFields(*this, source);
    // A level that cannot be allocated ends the copied chain there.
    KQError* tail = this;
    for (const KQError* from = source.cause; from; from = from->cause) {
        KQError* level = new (std::nothrow) KQError;
        if (!level)
            break;
        CopyFields(*level, *from);
        tail->cause = level;
        tail = level;
    }
    return *this;
}

KQString& KQError::Describe(KQString& out, bool withLocation, int32 depth) const
{
    KQString text;
    AppendOne(text, *this, withLocation);
    int32 levels = depth < 0 ? 99 : depth;
    for (const KQError* e = cause; e && levels > 0; e = e->cause, --levels) {
        text.AppendText(KQ_TEXT("\n------------\n"));
        AppendOne(text, *e, withLocation);
    }
    out = text;
    return out;
}

// ------------------------------------------------------------ KQErrorBase

KQErrorBase::KQErrorBase(bool overwrite_) : error(nullptr), overwrite(overwrite_) {}

KQErrorBase::~KQErrorBase()
{
    delete error;
}

bool KQErrorBase::HasError() const
{
    return error && error->IsSet();
}

void KQErrorBase::ClearError()
{
    if (error)
        error->Clear();
}

int32 KQErrorBase::GetErrorCode() const
{
    return error ? error->code : 0;
}

bool KQErrorBase::Record(const KQString& location, int32 code, const KQString& message)
{
    if (!overwrite && error && error->IsSet())
        return false;
    if (!error) {
        error = new (std::nothrow) KQError;
        if (!error)
            return false;
    }
    error->SetLocation(location);
    error->code = code;
    error->message = message;
    ReportRecorded(*error);
    return false;
}

bool KQErrorBase::SetError(const KQString& location, int32 code, const char* format, ...)
{
    // A kept error makes the call a no-op: not even the message is built.
    if (!overwrite && error && error->IsSet())
        return false;
    KQString message;
    KQ_FORMAT_VARARGS(message, format);
    return Record(location, code, message);
}

bool KQErrorBase::SetError(const KQString& location, int32 code, const KQString& message)
{
    return Record(location, code, message);
}

bool KQErrorBase::SetAllocationError(const KQString& location)
{
    return Record(location, kErrAllocation, KQString());
}

bool KQErrorBase::PushError(const KQString& location, int32 code, const char* format, ...)
{
    KQString message;
    KQ_FORMAT_VARARGS(message, format);
    KQError* previous = nullptr;
    if (!error) {
        error = new (std::nothrow) KQError;
        if (!error)
            return false;
    } else if (error->IsSet()) {
        previous = new (std::nothrow) KQError;
        if (!previous)
            return false;
        previous->CopyFrom(*error);
    }
    error->SetLocation(location);
    error->code = code;
    error->message = message;
    error->SetCause(previous);
    ReportRecorded(*error);
    return false;
}

bool KQErrorBase::SetErrorFrom(const KQString& location, KQErrorBase& other, int32 code, const char* format, ...)
{
    KQString message;
    KQ_FORMAT_VARARGS(message, format);
    return SetErrorFrom(location, other, code, message);
}

bool KQErrorBase::SetErrorFrom(const KQString& location, KQErrorBase& other, int32 code, const KQString& message)
{
    SetError(location, code, message);
    if (error && other.error)
        error->ReplaceCause(*other.error);
    other.ClearError();
    return false;
}

bool KQErrorBase::SetErrorFrom(const KQString& location, KQErrorBase& other, const char* format, ...)
{
    KQString message;
    KQ_FORMAT_VARARGS(message, format);
    int32 code = other.error ? other.error->code : 0;
    return SetErrorFrom(location, other, code, message);
}

// --------------------------------------------------------- free functions

KQString KQErrorLocation(const char* sourceFile, const char* functionLabel, int32 line)
{
    return FormatSite("%%%s\n%s\n%d", sourceFile, functionLabel, line);
}

const KQChar* KQErrorText(int32 code)
{
    struct Entry {
        int32 code;
        const KQChar* text;
    };
    static const Entry table[] = {
        {0, KQ_TEXT("No error.")},
        {1001, KQ_TEXT("General error")},
        {1002, KQ_TEXT("Allocation failed")},
        {1003, KQ_TEXT("Missing parameters")},
        {1004, KQ_TEXT("Illegal parameters")},
        {1005, KQ_TEXT("Error in parameter range")},
        {1006, KQ_TEXT("No data")},
        {1007, KQ_TEXT("Inconsistent data")},
        {1100, KQ_TEXT("File error")},
        {1101, KQ_TEXT("File not found")},
        {1102, KQ_TEXT("File creation error")},
        {1103, KQ_TEXT("No filename specified")},
        {1104, KQ_TEXT("File open error")},
        {1105, KQ_TEXT("File read error")},
        {1106, KQ_TEXT("File write error")},
        {1107, KQ_TEXT("File I/O error")},
        {1108, KQ_TEXT("File position error")},
        {1109, KQ_TEXT("Unsupported file format")},
        {1110, KQ_TEXT("Binary file specified")},
        {1111, KQ_TEXT("No header found")},
        {1112, KQ_TEXT("Unknown keyword found")},
        {1113, KQ_TEXT("Keyword is missing")},
        {1114, KQ_TEXT("Mandatory keyword is missing")},
        {1200, KQ_TEXT("KQF error")},
        {1201, KQ_TEXT("Bad magic number in KQF file")},
        {1202, KQ_TEXT("The KQF file uses a newer version of the KQF format than this program supports")},
        {1203, KQ_TEXT("Error in header. *KQF not found on first line")},
        {1204, KQ_TEXT("No blocks found in KQF file")},
        {1205, KQ_TEXT("Illegal KQF block type found")},
        {1206, KQ_TEXT("Missing End Of Block marker")},
        {1207, KQ_TEXT("Illegal block header found")},
        {1208, KQ_TEXT("No geometry block found in KQF file")},
        {1209, KQ_TEXT("Error exporting to KQF file")},
        {1210, KQ_TEXT("Could not find the block in the KQF file")},
        {1212, KQ_TEXT("Illegal element type specified")},
        {1213, KQ_TEXT("ID mismatch. Number of IDs does not match number of items")},
        {1214, KQ_TEXT("Illegal ID Specified.")},
        {1250, KQ_TEXT("Invalid Table of Contents (TOC)")},
        {1251, KQ_TEXT("Invalid XML in block description")},
        {1252, KQ_TEXT("Invalid file structure")},
        {1253, KQ_TEXT("Error extracting (reading) data files in archive")},
        {1254, KQ_TEXT("The file is read only")},
        {1255, KQ_TEXT("No valid archive")},
        {1256, KQ_TEXT("Invalid XML")},
        {1257, KQ_TEXT("Missing data")},
        {1300, KQ_TEXT("Interface error")},
        {1301, KQ_TEXT("Creation of interface failed")},
        {1302, KQ_TEXT("Unable to auto-detect interface type")},
        {1303, KQ_TEXT("Failed to detect image file format")},
        {1400, KQ_TEXT("Error in FEM interface")},
        {1401, KQ_TEXT("Error in IFS interface")},
        {1500, KQ_TEXT("Error in display generator")},
        {1501, KQ_TEXT("No geometry found or specified")},
        {1502, KQ_TEXT("No scalar result found or specified")},
        {1503, KQ_TEXT("No vector result found or specified")},
        {1504, KQ_TEXT("No displacement result found or specified")},
        {1505, KQ_TEXT("No state found or specified")},
        {1506, KQ_TEXT("No element result found or specified")},
        {1801, KQ_TEXT("Error in image module")},
        {1802, KQ_TEXT("Error in image export")},
        {1804, KQ_TEXT("Unknown image file format specified")},
        {1805, KQ_TEXT("Unsupported image file format specified")},
        {1806, KQ_TEXT("Error in animation export")},
        {1807, KQ_TEXT("Error saving animation to file")},
        {1808, KQ_TEXT("File not open")},
        {1901, KQ_TEXT("Failed to get handle to device context")},
        {1902, KQ_TEXT("Failed to choose a pixelformat")},
        {1903, KQ_TEXT("Setting pixelformat failed")},
        {1904, KQ_TEXT("Creation of render context failed")},
        {1905, KQ_TEXT("Error creating offscreen render context")},
        {1906, KQ_TEXT("Error making render context current")},
        {1907, KQ_TEXT("X server does not support the GLX extension")},
        {2001, KQ_TEXT("Operation aborted by user")},
        {2002, KQ_TEXT("Method not implemented")},
    };
    if (code >= 90000) {
        if (KQ_ERROR_TEXT_PROVIDER) {
            const KQChar* text = KQ_ERROR_TEXT_PROVIDER->GetErrorText(code);
            if (text)
                return text;
        }
        return KQ_TEXT("User defined error");
    }
    for (const Entry& e : table)
        if (e.code == code)
            return e.text;
    return KQ_TEXT("Unknown error");
}

bool KQGetErrorReporting()
{
    return KQ_REPORT_ERRORS;
}

void KQSetErrorReporting(bool on)
{
    KQ_REPORT_ERRORS = on;
}

void KQSetAllocErrorFlag(bool on)
{
    KQ_ALLOC_ERROR_OCCURRED = on;
}

bool KQGetDiagnosticsOutput()
{
    return KQ_DIAGNOSTICS_OUTPUT;
}

void KQSetDiagnosticsOutput(bool on)
{
    KQ_DIAGNOSTICS_OUTPUT = on;
}

void KQReportMessage(const KQString& heading, const KQString& text)
{
    if (!KQ_DIAGNOSTICS_OUTPUT || !KQ_REPORT_MESSAGES || (!KQ_REPORT_TO_CONSOLE && !KQ_REPORT_TO_FILE))
        return;
    KQString block("\n-------------------------------------------------------------------------------\n!!!");
    block.Append(heading);
    block.AppendText(KQ_TEXT("  message : \n"));
    block.Append(text);
    block.AppendText(KQ_TEXT("\n\n"));
    if (KQ_REPORT_TO_CONSOLE)
        KQConsolePrint("%s", block.CStr());
    if (KQ_REPORT_TO_FILE && !writingReportFile) {
        writingReportFile = true;
        KQASCIIFile report(KQ_REPORT_FILE_NAME, KQFile::APPEND);
        if (report.OpenStored()) {
            report.SeekToEnd();
            report.WriteString(block);
            report.Close();
        }
        writingReportFile = false;
    }
}

bool KQDebugError(const char* functionLabel, const char* sourceFile, int32 line, const char* format, ...)
{
    if (!KQ_REPORT_MESSAGES)
        return false;
    KQString text;
    KQ_FORMAT_VARARGS(text, format);
    text.Append(SiteLines(functionLabel, sourceFile, line));
    KQReportMessage("DEBUG ERROR", text);
    return false;
}

bool KQAllocError(const char* functionLabel, const char* sourceFile, int32 line)
{
    KQSetAllocErrorFlag(true);
    if (!KQGetErrorReporting())
        return false;
    KQString text("Memory allocation error.");
    text.Append(SiteLines(functionLabel, sourceFile, line));
    KQReportMessage("ALLOC ERROR", text);
    return false;
}

void KQTrace(const char* format, ...)
{
    KQString text;
    KQ_FORMAT_VARARGS(text, format);
    KQTraceText(text, true);
}

void KQTraceText(KQString text, bool lineFeed)
{
    if (!KQ_DIAGNOSTICS_OUTPUT)
        return;
    FILE* f = KQOpenTraceFile(KQ_TRACE_FILE_NAME, KQ_TRACE_FIRST);
    KQ_TRACE_FIRST = false;
    KQWriteConsoleText(text);
    if (lineFeed)
        KQWriteConsoleText(KQString("\n"));
    if (f) {
        KQWriteStreamText(f, text);
        if (lineFeed)
            fputc('\n', f);
        fclose(f);
    }
}

FILE* KQOpenTraceFile(const KQString& name, bool first)
{
    if (IsBlankText(name))
        return nullptr;
    if (!first)
        return KQOpenFileWithFlags(name, KQFile::APPEND | KQFile::TEXT);  // "at"
    FILE* f = KQOpenFileWithFlags(name, KQFile::WRITE | KQFile::TEXT);    // "wt"
    if (!f)
        return nullptr;
    KQTimeFields now;
    KQGetTime(now, true);
    fputs("Trace file from TrevakAPI\n-----------------------\n\n", f);
    fprintf(f, "File generated : %d/%d/%d %d:%d:%d.%03d\n\n", now.year, now.month, now.day, now.hour, now.minute,
            now.second, now.millisecond);
    fputs("Trace output:\n-------------\n\n", f);
    return f;
}

void KQConsolePrint(const char* format, ...)
{
    KQString text;
    KQ_FORMAT_VARARGS(text, format);
    text.AppendText(KQ_TEXT("\n"));
    KQWriteConsoleText(text);
}

void KQWriteConsoleText(const KQString& text)
{
    if (!KQ_DIAGNOSTICS_OUTPUT)
        return;
    if (!consoleAllocated) {
        // Once per process, whether or not it works.
        AllocConsole();
        consoleAllocated = true;
        consoleHandle = GetStdHandle(STD_OUTPUT_HANDLE);
    }
    if (!consoleHandle || consoleHandle == INVALID_HANDLE_VALUE)
        return;
    DWORD written = 0;
    DWORD length = static_cast<DWORD>(text.GetLength());
#ifdef KQ_UNICODE
    WriteConsoleW(consoleHandle, text.CStr(), length, &written, nullptr);
#else
    WriteConsoleA(consoleHandle, text.CStr(), length, &written, nullptr);
#endif
}

bool KQConsoleAllocated()
{
    return consoleAllocated;
}

KQTimeFields& KQGetTime(KQTimeFields& out, bool local)
{
    SYSTEMTIME st;
    if (local)
        GetLocalTime(&st);
    else
        GetSystemTime(&st);
    out.year = st.wYear;
    out.month = st.wMonth;
    out.day = st.wDay;
    out.hour = st.wHour;
    out.minute = st.wMinute;
    out.second = st.wSecond;
    out.millisecond = st.wMilliseconds;
    return out;
}
