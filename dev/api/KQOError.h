// Error records, the error holder every fallible object carries, the table
// of error codes, and the diagnostics written to the console, the report
// file and the trace file.
#ifndef KQOERROR_H
#define KQOERROR_H

#include <cstdio>

#include "KQOString.h"
#include "KQOTypes.h"

// One recorded error with the chain of older errors that led to it. The
// record owns its cause, so deleting the head deletes the whole chain.
class KQError {
public:
    KQError();
    virtual ~KQError();
    KQError(const KQError&) = delete;
    KQError& operator=(const KQError&) = delete;

    // Code 0, empty texts, line -1, cause deleted.
    void Clear();
    bool IsSet() const { return code != 0; }

    // Splits a location made by KQErrorLocation into file, function, line.
    void SetLocation(KQString location);
    // Adopts newCause (may be null) after deleting the current one.
    void SetCause(KQError* newCause);
    // Replaces the cause with a deep copy of source; unchanged when the copy
    // cannot be allocated.
    void ReplaceCause(const KQError& source);
    // Copies everything including a deep copy of the source's chain; meant
    // for fresh records.
    KQError& CopyFrom(const KQError& source);
    // Readable text: code text, message, optionally the location, then up to
    // depth causes (negative depth: 99).
    KQString& Describe(KQString& out, bool withLocation, int32 depth) const;

    int32 code;
    KQString message;
    KQString fileName;
    KQString functionName;
    int32 line;
    KQError* cause;
};

// The error slot of a fallible object. Keep-first holders (overwrite false)
// ignore later errors until the slot is cleared; overwrite holders replace
// the record with each new error. Every raising call returns false.
class KQErrorBase {
public:
    explicit KQErrorBase(bool overwrite);
    virtual ~KQErrorBase();

    bool HasError() const;
    void ClearError();
    KQError* GetError() const { return error; }  // null when none recorded
    int32 GetErrorCode() const;                  // 0 when none
    bool GetOverwrite() const { return overwrite; }

    bool SetError(const KQString& location, int32 code, const char* format, ...);
    bool SetError(const KQString& location, int32 code, const KQString& message);
    bool SetAllocationError(const KQString& location);
    bool PushError(const KQString& location, int32 code, const char* format, ...);
    bool SetErrorFrom(const KQString& location, KQErrorBase& other, int32 code, const char* format, ...);
    bool SetErrorFrom(const KQString& location, KQErrorBase& other, int32 code, const KQString& message);
    bool SetErrorFrom(const KQString& location, KQErrorBase& other, const char* format, ...);

private:
    KQErrorBase(const KQErrorBase&) = delete;
    KQErrorBase& operator=(const KQErrorBase&) = delete;
    bool Record(const KQString& location, int32 code, const KQString& message);

    KQError* error;
    bool overwrite;
};

// Supplies the texts of user-defined codes (90000 and above).
class KQErrorTextProvider {
public:
    virtual ~KQErrorTextProvider() {}
    virtual const KQChar* GetErrorText(int32 code) = 0;
};

// Fields of a point in time; the day of the week is not carried.
struct KQTimeFields {
    int32 year;
    int32 month;  // 1-12
    int32 day;    // day of the month
    int32 hour;
    int32 minute;
    int32 second;
    int32 millisecond;
};

// Process-wide diagnostics state.
extern bool KQ_REPORT_ERRORS;    // gates SetError, PushError, KQAllocError
extern bool KQ_REPORT_MESSAGES;  // gates every report block and KQDebugError
extern bool KQ_REPORT_TO_CONSOLE;
extern bool KQ_REPORT_TO_FILE;
// Off: no report block, debug report or trace line is written anywhere (no
// console is opened, no report or trace file touched), whatever the other
// switches say. For a library loaded into another program's process.
extern bool KQ_DIAGNOSTICS_OUTPUT;
extern KQString KQ_REPORT_FILE_NAME;  // "TrevakAPI.txt"
extern KQString KQ_TRACE_FILE_NAME;   // "APItrace.txt"
extern bool KQ_TRACE_FIRST;           // the next trace output recreates the file
extern bool KQ_ALLOC_ERROR_OCCURRED;
extern KQErrorTextProvider* KQ_ERROR_TEXT_PROVIDER;

// "%<file>\n<label>\n<line>" as every raising site passes it. In the wide
// build the labels are widened.
// Its line identifies the report site, not a source line: reports, callers and stored logs rely on it.
KQString KQErrorLocation(const char* sourceFile, const char* functionLabel, int32 line);

const KQChar* KQErrorText(int32 code);
bool KQGetErrorReporting();
void KQSetErrorReporting(bool on);
void KQSetAllocErrorFlag(bool on);
bool KQGetDiagnosticsOutput();
void KQSetDiagnosticsOutput(bool on);

void KQReportMessage(const KQString& heading, const KQString& text);
bool KQDebugError(const char* functionLabel, const char* sourceFile, int32 line, const char* format, ...);
bool KQAllocError(const char* functionLabel, const char* sourceFile, int32 line);

void KQTrace(const char* format, ...);
void KQTraceText(KQString text, bool lineFeed);
FILE* KQOpenTraceFile(const KQString& name, bool first);

void KQConsolePrint(const char* format, ...);
void KQWriteConsoleText(const KQString& text);
// True once the first console output has allocated the console.
bool KQConsoleAllocated();

KQTimeFields& KQGetTime(KQTimeFields& out, bool local);

#endif
