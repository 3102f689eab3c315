// Stream files, open flags and the path and stream helpers.
#include "KQOFile.h"

#include <cstdint>
#include <string>

#include "KQAnsiText.h"
#include "KQFileSystem.h"

namespace {

const char* const kSource = ".\\KQOFile";

const int32 kErrFile = 1100;
const int32 kErrFileOpen = 1104;
const int32 kErrFileRead = 1105;
const int32 kErrFileWrite = 1106;
const int32 kErrFileNotOpen = 1808;

// Lines of the raising sites; the two builds number them differently.
#ifdef KQ_UNICODE
const int32 kLineOpenStoredNoName = 224;
const int32 kLineOpenStoredFailed = 236;
const int32 kLineOpenNoName = 272;
const int32 kLineOpenFailed = 285;
const int32 kLineReadNotOpen = 443;
const int32 kLineReadFailed = 451;
const int32 kLineWriteNotOpen = 480;
const int32 kLineWriteFailed = 485;
const int32 kLineCheckBinary = 674;
const int32 kLineBinaryReadNotOpen = 777;
const int32 kLineBinaryReadFailed = 785;
const int32 kLineReadValNotOpen = 813;
const int32 kLineReadValFailed = 820;
const int32 kLineWriteStringNotOpen = 1510;
const int32 kLineWriteStringFailed = 1514;
#else
const int32 kLineOpenStoredNoName = 223;
const int32 kLineOpenStoredFailed = 235;
const int32 kLineOpenNoName = 271;
const int32 kLineOpenFailed = 284;
const int32 kLineReadNotOpen = 440;
const int32 kLineReadFailed = 448;
const int32 kLineWriteNotOpen = 477;
const int32 kLineWriteFailed = 482;
const int32 kLineCheckBinary = 671;
const int32 kLineBinaryReadNotOpen = 774;
const int32 kLineBinaryReadFailed = 782;
const int32 kLineWriteStringNotOpen = 1507;
const int32 kLineWriteStringFailed = 1515;
#endif

KQString Site(const char* label, int32 line)
{
    return KQErrorLocation(kSource, label, line);
}

int32 LastIndexOf(const KQString& s, KQChar c)
{
    const KQChar* p = s.CStr();
    int32 found = -1;
    for (int32 i = 0; p[i]; ++i)
        if (p[i] == c)
            found = i;
    return found;
}

// The characters [first, first + count) of s without any double quote.
KQString WithoutQuotes(const KQString& s, int32 first, int32 count)
{
    const KQChar* p = s.CStr() + first;
    std::basic_string<KQChar> kept;
    for (int32 i = 0; i < count; ++i)
        if (p[i] != '"')
            kept += p[i];
    KQString out;
    out.Assign(kept.c_str(), static_cast<int32>(kept.size()));
    return out;
}

KQString Left(const KQString& s, int32 count)
{
    KQString out;
    out.Assign(s.CStr(), count);
    return out;
}

bool IsTextByte(unsigned char b)
{
    return b == 9 || b == 10 || b == 13 || (b >= 32 && b <= 254);
}

}  // namespace

// ------------------------------------------------------------------ KQFile

KQFile::KQFile(const KQString& name, int32 openFlags) : KQErrorBase(true), file(nullptr), flags(0)
{
    KQFile::Reset();
    fileName = name;
    flags = openFlags;
}

KQFile::~KQFile()
{
    Close();
}

bool KQFile::SetFlags(int32 openFlags)
{
    flags = openFlags;
    return true;
}

KQString& KQFile::SetFileName(const KQString& name)
{
    fileName = name;
    return fileName;
}

bool KQFile::OpenWith(const KQString& name, int32 openFlags, bool stored)
{
    if (name.GetLength() == 0)
        return SetError(Site("KQFile::Open", stored ? kLineOpenStoredNoName : kLineOpenNoName), kErrFile,
                        KQString("Empty file name specified"));
    FILE* f = KQOpenFileWithFlags(name, openFlags);
    if (!f) {
        const char* suffix = "";
        if ((openFlags & READ) && (openFlags & WRITE))
            suffix = " for reading and writing";
        else if (openFlags & READ)
            suffix = " for reading";
        else if (openFlags & WRITE)
            suffix = " for writing";
        KQString tail(suffix);
        return SetError(Site("KQFile::Open", stored ? kLineOpenStoredFailed : kLineOpenFailed), kErrFileOpen,
                        "Error opening file %s%s", name.CStr(), tail.CStr());
    }
    file = f;
    if (!stored) {
        KQString keep(name);  // name may be our own field
        fileName = keep;
        flags = openFlags;
    }
    KQFullPathName(fileName, fullPath);
    return true;
}

bool KQFile::Open(const KQString& name, int32 openFlags)
{
    KQString keep(name);  // Close must not disturb a name that is our own field
    Close();
    return OpenWith(keep, openFlags, false);
}

bool KQFile::OpenStored()
{
    Close();
    return OpenWith(fileName, flags, true);
}

void KQFile::Close()
{
    if (file)
        fclose(file);
    file = nullptr;
    fullPath = KQString();
    ClearError();
}

int32 KQFile::Read(void* buffer, uint32 itemSize, int32 count)
{
    if (!file) {
        SetError(Site("KQFile::Read()", kLineReadNotOpen), kErrFileNotOpen, KQString());
        return 0;
    }
    if (count <= 0 || itemSize == 0 || !buffer)
        return 0;
    size_t n = fread(buffer, itemSize, static_cast<size_t>(count), file);
    if (n < static_cast<size_t>(count) && ferror(file))
        SetError(Site("KQFile::Read()", kLineReadFailed), kErrFileRead, KQString());
    return static_cast<int32>(n);
}

int32 KQFile::Write(const void* buffer, uint32 itemSize, int32 count)
{
    if (!file) {
        SetError(Site("KQFile::Write()", kLineWriteNotOpen), kErrFileNotOpen, KQString());
        return 0;
    }
    if (count <= 0 || itemSize == 0 || !buffer)
        return 0;
    size_t n = fwrite(buffer, itemSize, static_cast<size_t>(count), file);
    if (n < static_cast<size_t>(count)) {
        SetError(Site("KQFile::Write()", kLineWriteFailed), kErrFileWrite, KQString());
        return 0;
    }
    return count;
}

bool KQFile::CheckBinary()
{
    KQFile probe(fileName, READ);
    if (!probe.OpenStored())
        return SetError(Site("KQFile::CheckBinary()", kLineCheckBinary), kErrFileRead, "Error reading from file %s",
                        fileName.CStr());
    unsigned char head[1024];
    int32 n = probe.Read(head, 1, sizeof head);
    for (int32 i = 0; i < n; ++i)
        if (!IsTextByte(head[i]))
            return true;
    return false;
}

FILE* KQFile::GetFILE()
{
    return file;
}

FILE* KQFile::Detach()
{
    FILE* f = file;
    Reset();
    return f;
}

void KQFile::Reset()
{
    file = nullptr;
    fileName = KQString();
    fullPath = KQString();
    flags = 0;
    ClearError();
}

bool KQFile::SeekToEnd()
{
    return file && KQSeekToEnd(file);
}

// ------------------------------------------------------------ KQBinaryFile

KQBinaryFile::KQBinaryFile(const KQString& name, int32 openFlags, bool swap) : KQFile(name, openFlags), swapBytes(swap)
{}

int32 KQBinaryFile::Read(void* buffer, uint32 itemSize, int32 count)
{
    if (!file) {
        SetError(Site("KQBinaryFile::Read()", kLineBinaryReadNotOpen), kErrFileNotOpen, KQString());
        return 0;
    }
    if (count <= 0 || itemSize == 0 || !buffer)
        return 0;
    size_t n = fread(buffer, itemSize, static_cast<size_t>(count), file);
    if (n < static_cast<size_t>(count) && ferror(file)) {
        SetError(Site("KQBinaryFile::Read()", kLineBinaryReadFailed), kErrFileRead, KQString());
        return static_cast<int32>(n);
    }
    if (swapBytes)
        KQSwapBytes(buffer, itemSize, static_cast<uint32>(n));
    return static_cast<int32>(n);
}

void KQBinaryFile::Reset()
{
    swapBytes = false;
    KQFile::Reset();
}

void KQBinaryFile::SetSwapBytes(bool on)
{
    swapBytes = on;
}

bool KQBinaryFile::GetSwapBytes()
{
    return swapBytes;
}

int64 KQBinaryFile::FileSize()
{
    return KQFileSize(fileName.CStr());
}

#ifdef KQ_UNICODE
bool KQBinaryFile::ReadVal(int32* value)
{
    if (!file)
        return SetError(Site("KQBinaryFile::ReadVal()", kLineReadValNotOpen), kErrFileNotOpen, KQString());
    int32 item = 0;
    if (fread(&item, 4, 1, file) == 1) {
        if (swapBytes)
            KQSwapBytes(&item, 4, 1);
        if (value)
            *value = item;
        return true;
    }
    if (ferror(file))
        return SetError(Site("KQBinaryFile::ReadVal()", kLineReadValFailed), kErrFileRead, KQString());
    return false;
}

bool KQBinaryFile::Rewind()
{
    return KQRewindFile(file);
}

bool KQBinaryFile::SkipBytes(int64 count)
{
    return KQMoveFilePosition(file, count);
}
#endif

// ------------------------------------------------------------- KQASCIIFile

KQASCIIFile::KQASCIIFile(const KQString& name, int32 openFlags) : KQFile(name, openFlags | TEXT) {}

bool KQASCIIFile::WriteString(const KQString& text)
{
    if (!file)
        return SetError(Site("KQASCIIFile::WriteString()", kLineWriteStringNotOpen), kErrFileNotOpen, KQString());
    if (!KQWriteStreamText(file, text))
        return SetError(Site("KQASCIIFile::WriteString()", kLineWriteStringFailed), kErrFileWrite, KQString());
    return true;
}

// ----------------------------------------------------------- free routines

KQString KQFileOpenMode(int32 flags, bool* retry)
{
    const bool read = (flags & KQFile::READ) != 0;
    const bool write = (flags & KQFile::WRITE) != 0;
    const bool truncate = (flags & KQFile::TRUNCATE) != 0;
    const bool always = (flags & KQFile::OPEN_ALWAYS) != 0;
    bool again = false;
    const char* base = nullptr;
    if (flags & KQFile::APPEND) {
        base = read ? "a+" : "a";
    } else if (read && !write) {
        base = "r";
    } else if (read && write) {
        if (!truncate) {
            base = "r+";
        } else if (!always) {
            base = "w+";
        } else {
            base = "r+";
            again = true;
        }
    } else if (write) {
        if (!always) {
            base = "w";
        } else {
            base = "r+";
            again = true;
        }
    }
    if (retry)
        *retry = again;
    if (!base)
        return KQString();
    KQString mode(base);
    mode.AppendText((flags & KQFile::TEXT) ? KQ_TEXT("t") : KQ_TEXT("b"));
#ifdef KQ_UNICODE
    if (flags & KQFile::UNICODE_TEXT)
        mode.AppendText(L",ccs=UNICODE");
#endif
    return mode;
}

FILE* KQOpenFileWithFlags(const KQString& name, int32 flags)
{
    bool retry = false;
    KQString mode = KQFileOpenMode(flags, &retry);
    if (mode.GetLength() == 0)
        return nullptr;
    FILE* f = KQOpenStream(name, mode);
    if (!f && retry) {
        std::basic_string<KQChar> again(mode.CStr());
        for (KQChar& c : again)
            if (c == 'r')
                c = 'w';
        f = KQOpenStream(name, KQString(again.c_str()));
    }
    return f;
}

FILE* KQOpenStream(const KQString& name, const KQString& mode)
{
    if (name.GetLength() == 0 || mode.GetLength() == 0)
        return nullptr;
    // What is read is a file's content: a pipe, a device or a folder is
    // refused, and opening one never waits for a writer (a name checked
    // first could be swapped for a pipe before the open).
    const bool reading = mode.Compare(KQString(KQ_TEXT("rb"))) == 0;
#ifdef KQ_UNICODE
    return reading ? KQOpenFileForReadingW(name.CStr()) : _wfopen(name.CStr(), mode.CStr());
#else
    return reading ? KQOpenFileForReadingA(name.CStr()) : KQ_fopen(name.CStr(), mode.CStr());
#endif
}

bool KQWriteStreamText(FILE* stream, const KQString& text)
{
    if (!stream)
        return false;
#ifdef KQ_UNICODE
    for (const wchar_t* p = text.CStr(); *p; ++p) {
        unsigned int c = static_cast<unsigned int>(*p);
        if (fputc(c < 256 ? static_cast<int>(c) : '?', stream) == EOF)
            return false;
    }
    return true;
#else
    return fputs(text.CStr(), stream) >= 0;
#endif
}

void KQSwapBytes(void* buffer, uint32 itemSize, uint32 count)
{
    if (!buffer || itemSize <= 1 || itemSize > 32)
        return;
    unsigned char* p = static_cast<unsigned char*>(buffer);
    for (uint32 k = 0; k < count; ++k, p += itemSize)
        for (uint32 i = 0, j = itemSize - 1; i < j; ++i, --j) {
            unsigned char t = p[i];
            p[i] = p[j];
            p[j] = t;
        }
}

KQString& KQFileName(KQString& out, const KQString& path, bool keepExtension)
{
    const int32 slash = LastIndexOf(path, '\\');
    if (slash == 1 && path.CStr()[0] == '\\') {
        out = KQString();
        return out;
    }
    KQString name;
    if (slash >= 0)
        name = WithoutQuotes(path, slash + 1, path.GetLength() - slash - 1);
    else
        name = path;
    if (!keepExtension) {
        const int32 dot = LastIndexOf(name, '.');
        if (dot > 0)
            name = Left(name, dot);
    }
    out = name;
    return out;
}

KQString& KQFileExtension(KQString& out, const KQString& path)
{
    KQString name;
    KQFileName(name, path, true);
    const int32 dot = LastIndexOf(name, '.');
    if (dot < 0) {
        out = KQString();
        return out;
    }
    KQString ext;
    ext.Assign(name.CStr() + dot, name.GetLength() - dot);
    out = ext;
    return out;
}

bool KQFullPathName(const KQString& name, KQString& out)
{
    if (name.GetLength() == 0)
        return false;
#ifdef KQ_UNICODE
    KQChar buffer[MAX_PATH];
    DWORD n = GetFullPathNameW(name.CStr(), MAX_PATH, buffer, nullptr);
    if (n == 0 || n >= MAX_PATH)
        out = KQString();
    else
        out.Assign(buffer, static_cast<int32>(n));
#else
    // Not GetFullPathNameA: it hands back a working folder named outside the
    // code page as its best-fit look-alike, which names another folder.
    std::string full;
    if (!KQFullPathNameAnsi(name.CStr(), &full) || full.size() >= MAX_PATH)
        out = KQString();
    else
        out.Assign(full.c_str(), static_cast<int32>(full.size()));
#endif
    return true;
}

KQString& KQBackslashPath(KQString& out, const KQString& path)
{
    std::basic_string<KQChar> copy(path.CStr());
    for (KQChar& c : copy)
        if (c == '/')
            c = '\\';
    out.Assign(copy.c_str(), static_cast<int32>(copy.size()));
    return out;
}

int64 KQFileLength(FILE* stream)
{
    if (!stream)
        return 0;
    const int fd = _fileno(stream);
    if (fd < 0)
        return 0;
    const int64 length = _filelengthi64(fd);
    return length < 0 ? 0 : length;
}

bool KQSetFilePosition(FILE* stream, KQFilePosition position)
{
    if (!stream)
        return false;
    return _fseeki64(stream, position, SEEK_SET) == 0;
}

bool KQSeekToEnd(FILE* stream)
{
    return KQSetFilePosition(stream, KQFileLength(stream));
}

bool KQFileAccess(const KQChar* path, uint32 mode)
{
    static const int runtimeModes[4] = {4, 2, 6, 0};
    if (!path || mode > 3)
        return false;
#ifdef KQ_UNICODE
    return _waccess(path, runtimeModes[mode]) == 0;
#else
    return _access(path, runtimeModes[mode]) == 0;
#endif
}

int64 KQFileSize(const KQChar* path)
{
    if (!path)
        return 0;
    FILE* f = KQOpenStream(KQString(path), "rb");
    if (!f)
        return 0;
    const int64 length = KQFileLength(f);
    fclose(f);
    return length;
}

#ifdef KQ_UNICODE
bool KQGetFilePosition(FILE* stream, KQFilePosition* position)
{
    if (!stream || !position)
        return false;
    const int64 here = _ftelli64(stream);
    if (here < 0)
        return false;
    *position = here;
    return true;
}

bool KQMoveFilePosition(FILE* stream, int64 delta)
{
    KQFilePosition here = 0;
    if (!KQGetFilePosition(stream, &here))
        return false;
    // A target beyond the 64-bit range is refused rather than wrapped.
    if (delta > 0 && here > INT64_MAX - delta)
        return false;
    return KQSetFilePosition(stream, here + delta);
}

bool KQRewindFile(FILE* stream)
{
    return KQSetFilePosition(stream, 0);
}

KQString KQFileDirectory(const KQString& path, bool keepSeparator)
{
    const int32 p = LastIndexOf(path, '\\');
    if (p < 0 || (p == 1 && path.CStr()[0] == '\\'))
        return KQString();
    int32 last = keepSeparator ? p : p - 1;
    if (last < 0)
        last = 0;
    return WithoutQuotes(path, 0, last + 1);
}

bool KQCheckFileAccess(const wchar_t* path, int32 mode)
{
    if (!path)
        return false;
    if (KQFileAccess(path, 3))
        return mode == 3 ? true : (mode >= 0 && KQFileAccess(path, static_cast<uint32>(mode)));
    if (mode != 1)
        return false;
    KQString folder = KQFileDirectory(KQString(path), true);
    if (folder.GetLength() == 0)
        folder = L".";
    const wchar_t* f = folder.CStr();
    if (folder.GetLength() >= 2 && f[0] == '\\' && f[1] == '\\')
        return KQFileAccess(f, 3);
    return KQFileAccess(f, 1);
}
#endif
