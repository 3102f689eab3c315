// COM, kernel-file, module, resource and type-library names of the stand-in.
#include "KQPlatform.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <link.h>
#include <sys/auxv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cctype>
#include <cwctype>
#include <deque>
#include <mutex>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "KQStandInWideText.h"

using kqstandin::FromUtf8;
using kqstandin::ToUtf8;

#define KQ_ERROR_FILE_NOT_FOUND 2
#define KQ_ERROR_ACCESS_DENIED 5
#define KQ_ERROR_INVALID_HANDLE 6
#define KQ_ERROR_INVALID_PARAMETER 87
#define KQ_ERROR_FILE_EXISTS 80
#define KQ_ERROR_SHARING_VIOLATION 32
#define KQ_ERROR_INSUFFICIENT_BUFFER 122
#define KQ_ERROR_MOD_NOT_FOUND 126

// ---------------------------------------------------------------------------
// Interface identifiers of the system.
const IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID IID_IClassFactory = {0x00000001, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID IID_IPersist = {0x0000010C, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID IID_IPersistFile = {0x0000010B, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID IID_IExtractImage = {0xBB2E617C, 0x0920, 0x11D1, {0x9A, 0x0B, 0x00, 0xC0, 0x4F, 0xC2, 0xD6, 0xC1}};
const IID IID_IExtractImage2 = {0x953BB1EE, 0x93B4, 0x11D1, {0x98, 0xA3, 0x00, 0xC0, 0x4F, 0xB6, 0x87, 0xDA}};
const IID IID_IDispatch = {0x00020400, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID IID_ITypeLib = {0x00020402, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

// ---------------------------------------------------------------------------
// GUID text.
int StringFromGUID2(REFGUID g, LPOLESTR buffer, int count)
{
    if (!buffer || count < 39)
        return 0;
    char text[40];
    std::snprintf(text, sizeof(text), "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", (unsigned)g.Data1,
                  (unsigned)g.Data2, (unsigned)g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4],
                  g.Data4[5], g.Data4[6], g.Data4[7]);
    for (int i = 0; i < 39; i++)
        buffer[i] = (OLECHAR)(unsigned char)text[i];
    return 39;
}

namespace {

int HexValue(wchar_t c)
{
    if (c >= L'0' && c <= L'9')
        return c - L'0';
    if (c >= L'a' && c <= L'f')
        return c - L'a' + 10;
    if (c >= L'A' && c <= L'F')
        return c - L'A' + 10;
    return -1;
}

bool ParseGuid(const wchar_t* t, GUID* g)
{
    // {8-4-4-4-12}
    static const int groups[] = {8, 4, 4, 4, 12};
    if (!t || t[0] != L'{')
        return false;
    uint8_t bytes[16];
    int b = 0;
    const wchar_t* p = t + 1;
    for (int gi = 0; gi < 5; gi++) {
        for (int k = 0; k < groups[gi]; k += 2) {
            int hi = HexValue(p[0]);
            int lo = hi < 0 ? -1 : HexValue(p[1]);
            if (hi < 0 || lo < 0)
                return false;
            bytes[b++] = (uint8_t)(hi * 16 + lo);
            p += 2;
        }
        if (gi < 4) {
            if (*p != L'-')
                return false;
            p++;
        }
    }
    if (p[0] != L'}' || p[1] != 0)
        return false;
    g->Data1 = ((uint32_t)bytes[0] << 24) | ((uint32_t)bytes[1] << 16) | ((uint32_t)bytes[2] << 8) | bytes[3];
    g->Data2 = (uint16_t)((bytes[4] << 8) | bytes[5]);
    g->Data3 = (uint16_t)((bytes[6] << 8) | bytes[7]);
    std::memcpy(g->Data4, bytes + 8, 8);
    return true;
}

}  // namespace

HRESULT CLSIDFromString(LPCOLESTR text, LPCLSID clsid)
{
    if (!clsid)
        return E_INVALIDARG;
    if (ParseGuid(text, clsid))
        return S_OK;
    std::memset(clsid, 0, sizeof(*clsid));
    return E_INVALIDARG;
}

HRESULT IIDFromString(LPCOLESTR text, LPIID iid)
{
    return CLSIDFromString(text, iid);
}

// ---------------------------------------------------------------------------
LONG InterlockedIncrement(LONG volatile* value)
{
    return __atomic_add_fetch(value, 1, __ATOMIC_SEQ_CST);
}

LONG InterlockedDecrement(LONG volatile* value)
{
    return __atomic_sub_fetch(value, 1, __ATOMIC_SEQ_CST);
}

// ---------------------------------------------------------------------------
// Last error.
namespace {
thread_local DWORD lastError = 0;
}

DWORD GetLastError()
{
    return lastError;
}

void SetLastError(DWORD error)
{
    lastError = error;
}

// ---------------------------------------------------------------------------
// Kernel files. A handle is a heap record listed in `openFiles`; only
// listed records are accepted back, so a stray handle fails cleanly.
namespace {

struct FileRecord {
    int fd;
    dev_t device;
    ino_t inode;
    DWORD access;
    DWORD share;
};

std::mutex fileLock;
std::set<FileRecord*> openFiles;

bool Conflicts(const FileRecord& open, DWORD access, DWORD share)
{
    bool wantRead = (access & GENERIC_READ) != 0, wantWrite = (access & GENERIC_WRITE) != 0;
    bool hasRead = (open.access & GENERIC_READ) != 0, hasWrite = (open.access & GENERIC_WRITE) != 0;
    if (wantRead && !(open.share & FILE_SHARE_READ))
        return true;
    if (wantWrite && !(open.share & FILE_SHARE_WRITE))
        return true;
    if (hasRead && !(share & FILE_SHARE_READ))
        return true;
    if (hasWrite && !(share & FILE_SHARE_WRITE))
        return true;
    return false;
}

}  // namespace

HANDLE CreateFileW(LPCWSTR fileName, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES, DWORD creation, DWORD,
                   HANDLE)
{
    if (!fileName || !*fileName) {
        SetLastError(KQ_ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::string name = ToUtf8(fileName);
    int flags = O_CLOEXEC;
    if ((access & GENERIC_READ) && (access & GENERIC_WRITE))
        flags |= O_RDWR;
    else if (access & GENERIC_WRITE)
        flags |= O_WRONLY;
    else
        flags |= O_RDONLY;
    switch (creation) {
    case CREATE_NEW:
        flags |= O_CREAT | O_EXCL;
        break;
    case CREATE_ALWAYS:
        flags |= O_CREAT | O_TRUNC;
        break;
    case OPEN_EXISTING:
        break;
    case OPEN_ALWAYS:
        flags |= O_CREAT;
        break;
    case TRUNCATE_EXISTING:
        flags |= O_TRUNC;
        break;
    default:
        SetLastError(KQ_ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }

    std::lock_guard<std::mutex> guard(fileLock);
    struct stat st;
    if (stat(name.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) {
            SetLastError(KQ_ERROR_ACCESS_DENIED);
            return INVALID_HANDLE_VALUE;
        }
        for (FileRecord* r : openFiles) {
            if (r->device == st.st_dev && r->inode == st.st_ino && Conflicts(*r, access, shareMode)) {
                SetLastError(KQ_ERROR_SHARING_VIOLATION);
                return INVALID_HANDLE_VALUE;
            }
        }
    }
    // Opening a pipe here would wait for its other end; CreateFile does not.
    int fd = open(name.c_str(), flags | O_NONBLOCK, 0666);
    if (fd < 0) {
        SetLastError(errno == ENOENT   ? KQ_ERROR_FILE_NOT_FOUND
                     : errno == EEXIST ? KQ_ERROR_FILE_EXISTS
                                       : KQ_ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    if (fstat(fd, &st) != 0) {
        close(fd);
        SetLastError(KQ_ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    FileRecord* record = new (std::nothrow) FileRecord{fd, st.st_dev, st.st_ino, access, shareMode};
    if (!record) {
        close(fd);
        SetLastError(14);
        return INVALID_HANDLE_VALUE;
    }
    openFiles.insert(record);
    SetLastError(0);
    return record;
}

namespace {

void ToFileTime(const struct timespec& t, FILETIME* out)
{
    // 100-nanosecond ticks since 1601-01-01.
    uint64_t ticks = ((uint64_t)((int64_t)t.tv_sec + 11644473600LL)) * 10000000ULL + (uint64_t)t.tv_nsec / 100;
    out->dwLowDateTime = (DWORD)(ticks & 0xFFFFFFFFu);
    out->dwHighDateTime = (DWORD)(ticks >> 32);
}

}  // namespace

BOOL GetFileTime(HANDLE file, LPFILETIME creationTime, LPFILETIME lastAccessTime, LPFILETIME lastWriteTime)
{
    int fd = -1;
    {
        std::lock_guard<std::mutex> guard(fileLock);
        auto it = openFiles.find((FileRecord*)file);
        if (it != openFiles.end())
            fd = (*it)->fd;
    }
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
        SetLastError(KQ_ERROR_INVALID_HANDLE);
        return FALSE;
    }
    // The host keeps no birth time here: the change time stands in for it.
    if (creationTime)
        ToFileTime(st.st_ctim, creationTime);
    if (lastAccessTime)
        ToFileTime(st.st_atim, lastAccessTime);
    if (lastWriteTime)
        ToFileTime(st.st_mtim, lastWriteTime);
    return TRUE;
}

BOOL CloseHandle(HANDLE object)
{
    FileRecord* record = nullptr;
    {
        std::lock_guard<std::mutex> guard(fileLock);
        auto it = openFiles.find((FileRecord*)object);
        if (it != openFiles.end()) {
            record = *it;
            openFiles.erase(it);
        }
    }
    if (!record) {
        SetLastError(KQ_ERROR_INVALID_HANDLE);
        return FALSE;
    }
    close(record->fd);
    delete record;
    return TRUE;
}

// ---------------------------------------------------------------------------
// Modules.
HMODULE KQStandInModuleOf(const void* address)
{
    Dl_info info;
    if (!address || dladdr(address, &info) == 0)
        return nullptr;
    return (HMODULE)info.dli_fbase;
}

namespace {

HMODULE ProgramModule()
{
    return KQStandInModuleOf((const void*)getauxval(AT_PHDR));
}

std::string ModulePath(HMODULE module)
{
    if (!module || module == ProgramModule()) {
        char buf[PATH_MAX];
        ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
        if (n <= 0)
            return std::string();
        return std::string(buf, (size_t)n);
    }
    Dl_info info;
    if (dladdr((const void*)module, &info) == 0 || !info.dli_fname || (HMODULE)info.dli_fbase != module)
        return std::string();
    char resolved[PATH_MAX];
    if (realpath(info.dli_fname, resolved))
        return resolved;
    return info.dli_fname;
}

struct ModuleSearch {
    std::string wanted;
    HMODULE found;
};

int MatchModule(struct dl_phdr_info* info, size_t, void* data)
{
    ModuleSearch* search = (ModuleSearch*)data;
    if (!info->dlpi_name || !*info->dlpi_name)
        return 0;
    std::string name = info->dlpi_name;
    size_t slash = name.rfind('/');
    std::string leaf = slash == std::string::npos ? name : name.substr(slash + 1);
    if (strcasecmp(leaf.c_str(), search->wanted.c_str()) == 0 || name == search->wanted) {
        for (int i = 0; i < info->dlpi_phnum; i++) {
            if (info->dlpi_phdr[i].p_type == PT_LOAD) {
                search->found = KQStandInModuleOf((const void*)(info->dlpi_addr + info->dlpi_phdr[i].p_vaddr));
                return 1;
            }
        }
    }
    return 0;
}

}  // namespace

BOOL DisableThreadLibraryCalls(HMODULE module)
{
    // Threads send no notifications to modules here; nothing to switch off.
    return module ? TRUE : FALSE;
}

DWORD GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size)
{
    std::string path = ModulePath(module);
    if (path.empty()) {
        SetLastError(KQ_ERROR_MOD_NOT_FOUND);
        return 0;
    }
    if (!buffer || size == 0) {
        SetLastError(KQ_ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::wstring wide = FromUtf8(path);
    if (wide.size() >= size) {
        // As on Windows: cut, terminated, the full size returned.
        std::wmemcpy(buffer, wide.c_str(), size - 1);
        buffer[size - 1] = 0;
        SetLastError(KQ_ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    std::wmemcpy(buffer, wide.c_str(), wide.size() + 1);
    SetLastError(0);
    return (DWORD)wide.size();
}

HMODULE GetModuleHandleW(LPCWSTR moduleName)
{
    if (!moduleName)
        return ProgramModule();
    ModuleSearch search{ToUtf8(moduleName), nullptr};
    dl_iterate_phdr(MatchModule, &search);
    if (!search.found)
        SetLastError(KQ_ERROR_MOD_NOT_FOUND);
    return search.found;
}

// ---------------------------------------------------------------------------
// Resources.
struct KQStandInResource {
    HMODULE module;
    std::wstring type;  // upper-cased name, or "#<number>"
    WORD id;
    const void* data;
    DWORD size;
};

namespace {

std::mutex resourceLock;

std::deque<KQStandInResource>& Resources()
{
    static std::deque<KQStandInResource> table;
    return table;
}

std::wstring TypeKey(LPCWSTR type)
{
    if (IS_INTRESOURCE(type))
        return L"#" + std::to_wstring((unsigned)(ULONG_PTR)type);
    std::wstring key(type);
    for (auto& c : key)
        c = (wchar_t)std::towupper((wint_t)c);
    return key;
}

bool ResourceId(LPCWSTR name, WORD* id)
{
    if (IS_INTRESOURCE(name)) {
        *id = (WORD)(ULONG_PTR)name;
        return true;
    }
    if (name[0] != L'#')
        return false;
    wchar_t* end = nullptr;
    unsigned long n = std::wcstoul(name + 1, &end, 10);
    if (!end || *end || n > 0xFFFF)
        return false;
    *id = (WORD)n;
    return true;
}

}  // namespace

void KQStandInAddResource(const void* anchor, LPCWSTR type, WORD id, const void* data, DWORD size)
{
    std::lock_guard<std::mutex> guard(resourceLock);
    Resources().push_back(KQStandInResource{KQStandInModuleOf(anchor), TypeKey(type), id, data, size});
}

HRSRC FindResourceW(HMODULE module, LPCWSTR name, LPCWSTR type)
{
    WORD id = 0;
    if (!name || !type || !ResourceId(name, &id)) {
        SetLastError(1814);  // ERROR_RESOURCE_NAME_NOT_FOUND
        return nullptr;
    }
    if (!module)
        module = ProgramModule();
    std::wstring key = TypeKey(type);
    std::lock_guard<std::mutex> guard(resourceLock);
    for (auto& r : Resources())
        if (r.module == module && r.id == id && r.type == key)
            return &r;
    SetLastError(1813);  // ERROR_RESOURCE_TYPE_NOT_FOUND
    return nullptr;
}

HGLOBAL LoadResource(HMODULE, HRSRC resource)
{
    return resource ? (HGLOBAL)resource->data : nullptr;
}

LPVOID LockResource(HGLOBAL data)
{
    return data;
}

DWORD SizeofResource(HMODULE, HRSRC resource)
{
    return resource ? resource->size : 0;
}

// ---------------------------------------------------------------------------
// Type libraries: the TYPELIB resource is the interface definition text;
// only the attributes registration needs are read from it.
namespace {

struct TypeInfoRecord {
    std::string kind;  // interface, dispinterface, coclass
    std::string name;
    std::string uuid;
    bool automation = false;
};

struct TypeLibInfo {
    std::string name;
    std::string uuid;
    std::string helpString;
    unsigned major = 0, minor = 0;
    unsigned lcid = 0;
    std::vector<TypeInfoRecord> types;
};

// Blanks comments out, keeping string literals and positions.
std::string StripComments(const std::string& s)
{
    std::string out(s);
    size_t i = 0;
    while (i < out.size()) {
        if (out[i] == '"') {
            for (i++; i < out.size() && out[i] != '"'; i++)
                if (out[i] == '\\')
                    i++;
            i++;
        } else if (out.compare(i, 2, "//") == 0) {
            while (i < out.size() && out[i] != '\n')
                out[i++] = ' ';
        } else if (out.compare(i, 2, "/*") == 0) {
            size_t end = out.find("*/", i + 2);
            end = end == std::string::npos ? out.size() : end + 2;
            for (; i < end; i++)
                if (out[i] != '\n')
                    out[i] = ' ';
        } else {
            i++;
        }
    }
    return out;
}

std::string Trim(const std::string& s)
{
    size_t a = s.find_first_not_of(" \t\r\n");
    if (a == std::string::npos)
        return std::string();
    size_t b = s.find_last_not_of(" \t\r\n");
    return s.substr(a, b - a + 1);
}

struct Attribute {
    std::string name;
    std::string argument;
};

// Splits "a, b(x, y), c("s,t")" at the commas of the top level.
std::vector<Attribute> ParseAttributes(const std::string& block)
{
    std::vector<Attribute> attrs;
    std::string cur;
    int depth = 0;
    bool inString = false;
    auto flush = [&]() {
        std::string t = Trim(cur);
        cur.clear();
        if (t.empty())
            return;
        Attribute a;
        size_t open = t.find('(');
        if (open == std::string::npos) {
            a.name = t;
        } else {
            a.name = Trim(t.substr(0, open));
            size_t close = t.rfind(')');
            a.argument = Trim(t.substr(open + 1, close == std::string::npos ? std::string::npos : close - open - 1));
            if (a.argument.size() >= 2 && a.argument.front() == '"' && a.argument.back() == '"')
                a.argument = a.argument.substr(1, a.argument.size() - 2);
        }
        attrs.push_back(a);
    };
    for (size_t i = 0; i < block.size(); i++) {
        char c = block[i];
        if (inString) {
            cur += c;
            if (c == '\\' && i + 1 < block.size())
                cur += block[++i];
            else if (c == '"')
                inString = false;
            continue;
        }
        if (c == '"')
            inString = true;
        else if (c == '(')
            depth++;
        else if (c == ')')
            depth--;
        if (c == ',' && depth == 0)
            flush();
        else
            cur += c;
    }
    flush();
    return attrs;
}

std::string NextWord(const std::string& s, size_t& pos)
{
    while (pos < s.size() && std::isspace((unsigned char)s[pos]))
        pos++;
    size_t start = pos;
    while (pos < s.size() && (std::isalnum((unsigned char)s[pos]) || s[pos] == '_'))
        pos++;
    return s.substr(start, pos - start);
}

bool ParseTypeLib(const std::string& text, TypeLibInfo& lib)
{
    std::string s = StripComments(text);
    bool haveLibrary = false;
    size_t pos = 0;
    while ((pos = s.find('[', pos)) != std::string::npos) {
        size_t end = pos + 1;
        int depth = 1;
        bool inString = false;
        for (; end < s.size() && depth > 0; end++) {
            char c = s[end];
            if (inString) {
                if (c == '\\')
                    end++;
                else if (c == '"')
                    inString = false;
            } else if (c == '"') {
                inString = true;
            } else if (c == '[') {
                depth++;
            } else if (c == ']') {
                depth--;
            }
        }
        if (depth != 0)
            return false;
        std::vector<Attribute> attrs = ParseAttributes(s.substr(pos + 1, end - pos - 2));
        size_t after = end;
        std::string keyword = NextWord(s, after);
        std::string name = NextWord(s, after);
        pos = end;
        std::string uuid, help, version, lcid;
        bool automation = false;
        for (const auto& a : attrs) {
            if (a.name == "uuid")
                uuid = a.argument;
            else if (a.name == "helpstring")
                help = a.argument;
            else if (a.name == "version")
                version = a.argument;
            else if (a.name == "lcid")
                lcid = a.argument;
            else if (a.name == "dual" || a.name == "oleautomation")
                automation = true;
        }
        if (uuid.empty() || name.empty())
            continue;
        if (keyword == "library") {
            haveLibrary = true;
            lib.name = name;
            lib.uuid = uuid;
            lib.helpString = help;
            unsigned major = 0, minor = 0;
            if (!version.empty() && std::sscanf(version.c_str(), "%u.%u", &major, &minor) >= 1) {
                lib.major = major;
                lib.minor = minor;
            }
            if (!lcid.empty())
                lib.lcid = (unsigned)std::strtoul(lcid.c_str(), nullptr, 0);
        } else if (keyword == "interface" || keyword == "dispinterface" || keyword == "coclass") {
            TypeInfoRecord r;
            r.kind = keyword;
            r.name = name;
            r.uuid = uuid;
            r.automation = automation || keyword == "dispinterface";
            lib.types.push_back(r);
        }
    }
    return haveLibrary;
}

std::string Braced(const std::string& uuid)
{
    std::string u = uuid;
    if (!u.empty() && u.front() != '{')
        u = "{" + u + "}";
    for (auto& c : u)
        c = (char)std::toupper((unsigned char)c);
    return u;
}

class StandInTypeLib : public ITypeLib {
public:
    explicit StandInTypeLib(const TypeLibInfo& i) : info(i) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override
    {
        if (!object)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_ITypeLib) {
            *object = static_cast<ITypeLib*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return (ULONG)InterlockedIncrement(&refs); }
    ULONG STDMETHODCALLTYPE Release() override
    {
        LONG n = InterlockedDecrement(&refs);
        if (n == 0)
            delete this;
        return (ULONG)n;
    }
    TypeLibInfo info;

private:
    virtual ~StandInTypeLib() {}
    LONG volatile refs = 1;
};

LSTATUS SetString(const std::wstring& path, LPCWSTR valueName, const std::string& value)
{
    HKEY key = nullptr;
    LSTATUS rc = RegCreateKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE,
                                 nullptr, &key, nullptr);
    if (rc != ERROR_SUCCESS)
        return rc;
    std::wstring w = FromUtf8(value);
    rc = RegSetValueExW(key, valueName, 0, REG_SZ, (const BYTE*)w.c_str(), (DWORD)((w.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
    return rc;
}

std::string VersionKey(unsigned major, unsigned minor)
{
    char v[32];
    std::snprintf(v, sizeof(v), "%x.%x", major, minor);
    return v;
}

std::wstring QueryDefault(const std::wstring& path)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return std::wstring();
    wchar_t buffer[128];
    DWORD size = sizeof(buffer);
    DWORD type = 0;
    std::wstring out;
    if (RegQueryValueExW(key, nullptr, nullptr, &type, (LPBYTE)buffer, &size) == ERROR_SUCCESS && type == REG_SZ)
        out = buffer;
    RegCloseKey(key);
    return out;
}

}  // namespace

HRESULT LoadTypeLibEx(LPCOLESTR file, REGKIND kind, ITypeLib** typeLib)
{
    if (!typeLib)
        return E_POINTER;
    *typeLib = nullptr;
    if (!file)
        return E_INVALIDARG;
    std::string path = ToUtf8(file);
    WORD id = 1;
    size_t sep = path.rfind('\\');
    if (sep != std::string::npos && sep + 1 < path.size() &&
        path.find_first_not_of("0123456789", sep + 1) == std::string::npos) {
        id = (WORD)std::strtoul(path.c_str() + sep + 1, nullptr, 10);
        path.resize(sep);
    }
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved))
        path = resolved;

    std::string text;
    bool found = false;
    {
        std::lock_guard<std::mutex> guard(resourceLock);
        for (auto& r : Resources()) {
            if (r.id == id && r.type == L"TYPELIB" && ModulePath(r.module) == path) {
                text.assign((const char*)r.data, r.size);
                found = true;
                break;
            }
        }
    }
    if (!found)
        return TYPE_E_CANTLOADLIBRARY;
    TypeLibInfo info;
    if (!ParseTypeLib(text, info))
        return TYPE_E_CANTLOADLIBRARY;
    StandInTypeLib* lib = new (std::nothrow) StandInTypeLib(info);
    if (!lib)
        return E_OUTOFMEMORY;
    if (kind == REGKIND_REGISTER) {
        HRESULT hr = RegisterTypeLib(lib, file, nullptr);
        if (FAILED(hr)) {
            lib->Release();
            return hr;
        }
    }
    *typeLib = lib;
    return S_OK;
}

HRESULT RegisterTypeLib(ITypeLib* typeLib, LPCOLESTR fullPath, LPCOLESTR helpDir)
{
    if (!typeLib || !fullPath)
        return E_INVALIDARG;
    const TypeLibInfo& info = static_cast<StandInTypeLib*>(typeLib)->info;
    std::string path = ToUtf8(fullPath);
    std::string dir = helpDir ? ToUtf8(helpDir) : path.substr(0, path.find_last_of('/') + 1);
    std::string libid = Braced(info.uuid);
    std::string version = VersionKey(info.major, info.minor);
    std::wstring base = FromUtf8("TypeLib\\" + libid + "\\" + version);
    char lcid[16];
    std::snprintf(lcid, sizeof(lcid), "%x", info.lcid);

    bool ok = SetString(base, nullptr, info.helpString.empty() ? info.name : info.helpString) == ERROR_SUCCESS;
    ok = ok && SetString(base + FromUtf8(std::string("\\") + lcid + "\\win32"), nullptr, path) == ERROR_SUCCESS;
    // A library registered from a file carries LIBFLAG_FHASDISKIMAGE.
    ok = ok && SetString(base + L"\\FLAGS", nullptr, "8") == ERROR_SUCCESS;
    ok = ok && SetString(base + L"\\HELPDIR", nullptr, dir) == ERROR_SUCCESS;
    for (const auto& t : info.types) {
        if (!ok)
            break;
        if (t.kind == "coclass" || !t.automation)
            continue;
        std::wstring key = FromUtf8("Interface\\" + Braced(t.uuid));
        const char* marshaler = "{00020424-0000-0000-C000-000000000046}";
        ok = SetString(key, nullptr, t.name) == ERROR_SUCCESS &&
             SetString(key + L"\\ProxyStubClsid", nullptr, marshaler) == ERROR_SUCCESS &&
             SetString(key + L"\\ProxyStubClsid32", nullptr, marshaler) == ERROR_SUCCESS &&
             SetString(key + L"\\TypeLib", nullptr, libid) == ERROR_SUCCESS &&
             SetString(key + L"\\TypeLib", L"Version", VersionKey(info.major, info.minor)) == ERROR_SUCCESS;
    }
    return ok ? S_OK : TYPE_E_REGISTRYACCESS;
}

HRESULT UnRegisterTypeLib(REFGUID libId, WORD majorVersion, WORD minorVersion, LCID, SYSKIND)
{
    wchar_t guid[40];
    StringFromGUID2(libId, guid, 40);
    std::wstring libKey = std::wstring(L"TypeLib\\") + guid;
    std::wstring versionKey = libKey + L"\\" + FromUtf8(VersionKey(majorVersion, minorVersion));
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, versionKey.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return TYPE_E_REGISTRYACCESS;
    RegCloseKey(key);

    // The interfaces that name this library.
    std::vector<std::wstring> interfaces;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, L"Interface", 0, KEY_READ, &key) == ERROR_SUCCESS) {
        for (DWORD i = 0;; i++) {
            wchar_t name[256];
            DWORD length = 256;
            if (RegEnumKeyExW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
                break;
            std::wstring lib = QueryDefault(std::wstring(L"Interface\\") + name + L"\\TypeLib");
            if (CLSID other; CLSIDFromString(lib.c_str(), &other) == S_OK && other == libId)
                interfaces.push_back(name);
        }
        RegCloseKey(key);
    }
    for (const auto& name : interfaces)
        RegDeleteTreeW(HKEY_CLASSES_ROOT, (L"Interface\\" + name).c_str());
    RegDeleteTreeW(HKEY_CLASSES_ROOT, versionKey.c_str());
    RegDeleteKeyW(HKEY_CLASSES_ROOT, libKey.c_str());  // only when no other version is left
    return S_OK;
}

// ---------------------------------------------------------------------------
// Object creation by class.
namespace {

std::mutex serverLock;
std::vector<void*> loadedServers;

typedef HRESULT (*GetClassObjectFunction)(REFCLSID, REFIID, LPVOID*);
typedef HRESULT (*CanUnloadFunction)();

}  // namespace

HRESULT CoInitialize(LPVOID)
{
    return S_OK;
}

HRESULT CoInitializeEx(LPVOID, DWORD)
{
    return S_OK;
}

void CoUninitialize()
{
    std::lock_guard<std::mutex> guard(serverLock);
    // As CoFreeUnusedLibraries would: only servers that agree to go.
    for (auto it = loadedServers.begin(); it != loadedServers.end();) {
        auto canUnload = (CanUnloadFunction)dlsym(*it, "DllCanUnloadNow");
        if (!canUnload || canUnload() == S_OK) {
            dlclose(*it);
            it = loadedServers.erase(it);
        } else {
            ++it;
        }
    }
}

HRESULT CoGetClassObject(REFCLSID classId, DWORD context, LPVOID, REFIID riid, LPVOID* object)
{
    if (!object)
        return E_POINTER;
    *object = nullptr;
    if (!(context & CLSCTX_INPROC_SERVER))
        return REGDB_E_CLASSNOTREG;
    wchar_t guid[40];
    StringFromGUID2(classId, guid, 40);
    std::wstring keyName = std::wstring(L"CLSID\\") + guid + L"\\InprocServer32";
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, keyName.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return REGDB_E_CLASSNOTREG;
    wchar_t path[4096];
    DWORD size = sizeof(path) - sizeof(wchar_t), type = 0;
    LSTATUS rc = RegQueryValueExW(key, nullptr, nullptr, &type, (LPBYTE)path, &size);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS || type != REG_SZ)
        return REGDB_E_CLASSNOTREG;
    path[size / sizeof(wchar_t)] = 0;
    void* module = dlopen(ToUtf8(path).c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module)
        return CO_E_DLLNOTFOUND;
    auto getClassObject = (GetClassObjectFunction)dlsym(module, "DllGetClassObject");
    if (!getClassObject) {
        dlclose(module);
        return CO_E_ERRORINDLL;
    }
    {
        std::lock_guard<std::mutex> guard(serverLock);
        loadedServers.push_back(module);
    }
    return getClassObject(classId, riid, object);
}

HRESULT CoCreateInstance(REFCLSID classId, IUnknown* outer, DWORD context, REFIID riid, LPVOID* object)
{
    if (!object)
        return E_POINTER;
    *object = nullptr;
    IClassFactory* factory = nullptr;
    HRESULT hr = CoGetClassObject(classId, context, nullptr, IID_IClassFactory, (void**)&factory);
    if (FAILED(hr))
        return hr;
    hr = factory->CreateInstance(outer, riid, object);
    factory->Release();
    return hr;
}
