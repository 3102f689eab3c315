// Buffered stream files with open flags, byte swapping for data of the other
// byte order, a text-mode file with a string writer, and the free path and
// stream routines. Failures are recorded on the file's error holder.
#ifndef KQOFILE_H
#define KQOFILE_H

#include <cstdio>

#include "KQOError.h"
#include "KQOString.h"
#include "KQOTypes.h"
#include "KQPlatform.h"

// The Windows headers define OPEN_ALWAYS as a CreateFile disposition; the
// library's open flag of the same name must win here.
#ifdef OPEN_ALWAYS
#undef OPEN_ALWAYS
#endif

// Stream positions are plain 64-bit byte offsets (the Windows runtime's
// fpos_t is one).
typedef int64 KQFilePosition;

class KQFile : public KQErrorBase {
public:
    enum {
        READ = 1,
        WRITE = 2,
        APPEND = 4,
        TEXT = 8,
        TRUNCATE = 0x10,     // with READ and WRITE: start from an empty file
        OPEN_ALWAYS = 0x20,  // with WRITE: update, or create when missing
#ifdef KQ_UNICODE
        UNICODE_TEXT = 0x40,  // the stream reads and writes UTF-16 text
#endif
    };

    KQFile(const KQString& name = KQString(), int32 flags = 0);
    virtual ~KQFile();

    virtual bool SetFlags(int32 flags);
    virtual KQString& SetFileName(const KQString& name);
    virtual bool Open(const KQString& name, int32 flags);
    virtual bool OpenStored();
    virtual void Close();
    virtual int32 Read(void* buffer, uint32 itemSize, int32 count);
    virtual int32 Write(const void* buffer, uint32 itemSize, int32 count);
    virtual bool CheckBinary();
    virtual FILE* GetFILE();
    virtual FILE* Detach();
    virtual void Reset();

    bool SeekToEnd();

    const KQString& GetFileName() const
    {
        return fileName;
    }
    int32 GetFlags() const
    {
        return flags;
    }
    const KQString& GetFullPath() const
    {
        return fullPath;
    }
    bool IsOpen() const
    {
        return file != nullptr;
    }

protected:
    FILE* file;
    KQString fileName;
    int32 flags;
    KQString fullPath;

private:
    KQFile(const KQFile&) = delete;
    KQFile& operator=(const KQFile&) = delete;
    bool OpenWith(const KQString& name, int32 openFlags, bool stored);
};

class KQBinaryFile : public KQFile {
public:
    KQBinaryFile(const KQString& name = KQString(), int32 flags = 0, bool swapBytes = false);

    int32 Read(void* buffer, uint32 itemSize, int32 count) override;
    void Reset() override;
    virtual void SetSwapBytes(bool on);
    virtual bool GetSwapBytes();

    int64 FileSize();

#ifdef KQ_UNICODE
    // One 32-bit value, byte-reversed when swapping is on. End of file gives
    // false without an error.
    bool ReadVal(int32* value);
    bool Rewind();
    bool SkipBytes(int64 count);
#endif

protected:
    bool swapBytes;
};

class KQASCIIFile : public KQFile {
public:
    KQASCIIFile(const KQString& name = KQString(), int32 flags = 0);
    bool WriteString(const KQString& text);
};

// The fopen mode for a set of open flags ("" when the flags give none) and
// whether a failed open is retried with every 'r' turned into 'w'.
KQString KQFileOpenMode(int32 flags, bool* retry);
// Opens a stream by open flags, through KQOpenStream.
FILE* KQOpenFileWithFlags(const KQString& name, int32 flags);
// The one place the library opens a named stream: the name in the build's
// characters, a runtime fopen mode ("rb", "w", "r+b", ...). Null for an
// empty name, as the runtime gives for one.
FILE* KQOpenStream(const KQString& name, const KQString& mode);
// Writes the text to a stream as the runtime's 8-bit text output stores it;
// false when the stream refuses it.
bool KQWriteStreamText(FILE* stream, const KQString& text);

// Reverses the bytes of each of count items in place; item sizes 1 and
// above 32 are left alone.
void KQSwapBytes(void* buffer, uint32 itemSize, uint32 count);

KQString& KQFileName(KQString& out, const KQString& path, bool keepExtension);
KQString& KQFileExtension(KQString& out, const KQString& path);
bool KQFullPathName(const KQString& name, KQString& out);
KQString& KQBackslashPath(KQString& out, const KQString& path);

int64 KQFileLength(FILE* stream);
bool KQSetFilePosition(FILE* stream, KQFilePosition position);
bool KQSeekToEnd(FILE* stream);

// Modes: 0 readable, 1 writable, 2 readable and writable, 3 exists.
bool KQFileAccess(const KQChar* path, uint32 mode);
int64 KQFileSize(const KQChar* path);

#ifdef KQ_UNICODE
bool KQGetFilePosition(FILE* stream, KQFilePosition* position);
bool KQMoveFilePosition(FILE* stream, int64 delta);
bool KQRewindFile(FILE* stream);
KQString KQFileDirectory(const KQString& path, bool keepSeparator);
// Like KQFileAccess, but mode 1 also accepts a missing file in a folder
// that can be written.
bool KQCheckFileAccess(const wchar_t* path, int32 mode);
#endif

#endif
