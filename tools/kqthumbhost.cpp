// kqthumbhost: plays the shell for a thumbnail extractor. It loads the COM
// server, gets its class factory through DllGetClassObject (or, with -c,
// creates the registered class through CoCreateInstance), calls
// IPersistFile::Load, IExtractImage::GetLocation, IExtractImage::Extract and
// IExtractImage2::GetDateStamp as the shell does, and writes the bitmap it
// gets as a 24-bit BMP file. It prints what the server's DllCanUnloadNow
// answers while the object lives and after its last Release, and fails when
// either answer is wrong; with -c it reaches that export through the server
// that the registry names, the one CoCreateInstance loads.
//
//   kqthumbhost [-s WIDTHxHEIGHT] [-f FLAGS] LIBRARY MODELFILE OUTPUT.bmp
//   kqthumbhost [-s WIDTHxHEIGHT] [-f FLAGS] -c MODELFILE OUTPUT.bmp
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "KQCom.h"
#include "KQModuleLoader.h"

namespace {

// {3b8d41e2-6c0f-4a97-8d25-e4f7a9c1b03d}
const CLSID extractorClass = {0x3b8d41e2, 0x6c0f, 0x4a97, {0x8d, 0x25, 0xe4, 0xf7, 0xa9, 0xc1, 0xb0, 0x3d}};

typedef HRESULT(STDAPICALLTYPE* GetClassObjectFunction)(REFCLSID, REFIID, LPVOID*);
typedef HRESULT(STDAPICALLTYPE* CanUnloadFunction)();

const char* ResultName(HRESULT hr)
{
    switch ((uint32_t)hr) {
    case 0x00000000u:
        return "S_OK";
    case 0x00000001u:
        return "S_FALSE";
    case 0x80004001u:
        return "E_NOTIMPL";
    case 0x80004002u:
        return "E_NOINTERFACE";
    case 0x80004003u:
        return "E_POINTER";
    case 0x80004004u:
        return "E_ABORT";
    case 0x80004005u:
        return "E_FAIL";
    case 0x8000000Au:
        return "E_PENDING";
    case 0x8000FFFFu:
        return "E_UNEXPECTED";
    case 0x80070005u:
        return "E_ACCESSDENIED";
    case 0x8007000Eu:
        return "E_OUTOFMEMORY";
    case 0x80070057u:
        return "E_INVALIDARG";
    case 0x80040110u:
        return "CLASS_E_NOAGGREGATION";
    case 0x80040111u:
        return "CLASS_E_CLASSNOTAVAILABLE";
    case 0x80040154u:
        return "REGDB_E_CLASSNOTREG";
    default:
        return nullptr;
    }
}

std::string Describe(HRESULT hr)
{
    char text[64];
    std::snprintf(text, sizeof(text), "0x%08X", (unsigned)(uint32_t)hr);
    const char* name = ResultName(hr);
    return name ? std::string(text) + " (" + name + ")" : std::string(text);
}

int Fail(const char* call, HRESULT hr)
{
    std::fprintf(stderr, "kqthumbhost: %s failed with HRESULT %s\n", call, Describe(hr).c_str());
    return 1;
}

void Usage()
{
    std::fprintf(stderr, "usage: kqthumbhost [-s WIDTHxHEIGHT] [-f FLAGS] LIBRARY MODELFILE OUTPUT.bmp\n"
                         "       kqthumbhost [-s WIDTHxHEIGHT] [-f FLAGS] -c MODELFILE OUTPUT.bmp\n"
                         "  -c  create the registered class with CoCreateInstance instead of loading LIBRARY\n"
                         "  -s  requested thumbnail size (default 256x256)\n"
                         "  -f  IEIFLAG_ flags passed to GetLocation, e.g. 0x1 for IEIFLAG_ASYNC (default 0)\n");
}

template <class T>
struct Releaser {
    T* p = nullptr;
    ~Releaser()
    {
        if (p)
            p->Release();
    }
};

// Copies the bitmap into a 24-bit DIB section and writes it as a BMP file.
bool WriteBmp(HBITMAP bitmap, const std::wstring& fileName, LONG* width, LONG* height, std::string& why)
{
    BITMAP bm;
    if (GetObjectW(bitmap, sizeof(bm), &bm) == 0 || bm.bmWidth < 1 || bm.bmHeight < 1) {
        why = "the returned handle is not a bitmap";
        return false;
    }
    BITMAPINFO info;
    std::memset(&info, 0, sizeof(info));
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = bm.bmWidth;
    info.bmiHeader.biHeight = bm.bmHeight;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    info.bmiHeader.biCompression = BI_RGB;
    DWORD stride = (DWORD)(((bm.bmWidth * 24) + 31) / 32 * 4);
    DWORD imageSize = stride * (DWORD)bm.bmHeight;
    info.bmiHeader.biSizeImage = imageSize;

    void* bits = nullptr;
    HBITMAP section = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HDC source = CreateCompatibleDC(nullptr);
    HDC target = CreateCompatibleDC(nullptr);
    bool ok = section && bits && source && target;
    if (ok) {
        HGDIOBJ oldSource = SelectObject(source, bitmap);
        HGDIOBJ oldTarget = SelectObject(target, section);
        ok = oldSource && oldTarget && BitBlt(target, 0, 0, bm.bmWidth, bm.bmHeight, source, 0, 0, SRCCOPY);
        GdiFlush();
        if (oldSource)
            SelectObject(source, oldSource);
        if (oldTarget)
            SelectObject(target, oldTarget);
        if (!ok)
            why = "the bitmap could not be copied";
    } else {
        why = "no room for a copy of the bitmap";
    }

    if (ok) {
        BITMAPFILEHEADER file;
        std::memset(&file, 0, sizeof(file));
        file.bfType = 0x4D42;  // "BM"
        file.bfOffBits = sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER);
        file.bfSize = file.bfOffBits + imageSize;
        FILE* out = _wfopen(fileName.c_str(), L"wb");
        ok = out && std::fwrite(&file, sizeof(file), 1, out) == 1 &&
             std::fwrite(&info.bmiHeader, sizeof(BITMAPINFOHEADER), 1, out) == 1 &&
             std::fwrite(bits, 1, imageSize, out) == imageSize;
        if (out && std::fclose(out) != 0)
            ok = false;
        if (!ok)
            why = "cannot write " + KQNarrowText(fileName);
        *width = bm.bmWidth;
        *height = bm.bmHeight;
    }
    if (target)
        DeleteDC(target);
    if (source)
        DeleteDC(source);
    if (section)
        DeleteObject(section);
    return ok;
}

// One extraction as the shell runs it; 0 when the thumbnail was written.
int Extract(GetClassObjectFunction getClassObject, CanUnloadFunction canUnload, const std::wstring& modelFile,
            const std::wstring& outputFile, SIZE size, DWORD flags)
{
    Releaser<IPersistFile> persist;
    Releaser<IExtractImage> extract;
    Releaser<IExtractImage2> extract2;
    HRESULT hr;
    if (getClassObject) {
        Releaser<IClassFactory> factory;
        hr = getClassObject(extractorClass, IID_IClassFactory, (void**)&factory.p);
        if (FAILED(hr))
            return Fail("DllGetClassObject", hr);
        hr = factory.p->CreateInstance(nullptr, IID_IPersistFile, (void**)&persist.p);
        if (FAILED(hr))
            return Fail("IClassFactory::CreateInstance", hr);
    } else {
        hr = CoCreateInstance(extractorClass, nullptr, CLSCTX_INPROC_SERVER, IID_IPersistFile, (void**)&persist.p);
        if (FAILED(hr))
            return Fail("CoCreateInstance", hr);
    }
    HRESULT alive = canUnload();
    std::printf("DllCanUnloadNow while the object lives: %s\n", Describe(alive).c_str());
    if (alive != S_FALSE) {
        std::fprintf(stderr, "kqthumbhost: DllCanUnloadNow allows unloading while an object lives\n");
        return 1;
    }
    hr = persist.p->Load(modelFile.c_str(), 0);
    if (FAILED(hr))
        return Fail("IPersistFile::Load", hr);
    hr = persist.p->QueryInterface(IID_IExtractImage, (void**)&extract.p);
    if (FAILED(hr))
        return Fail("QueryInterface(IExtractImage)", hr);
    WCHAR location[MAX_PATH] = {0};
    DWORD priority = 0;
    DWORD locationFlags = flags;
    hr = extract.p->GetLocation(location, MAX_PATH, &priority, &size, 32, &locationFlags);
    // E_PENDING asks the shell to extract later on a background thread;
    // this host simply goes on.
    if (FAILED(hr) && hr != E_PENDING)
        return Fail("IExtractImage::GetLocation", hr);
    HBITMAP bitmap = nullptr;
    hr = extract.p->Extract(&bitmap);
    if (FAILED(hr))
        return Fail("IExtractImage::Extract", hr);
    if (!bitmap) {
        std::fprintf(stderr, "kqthumbhost: IExtractImage::Extract returned %s but no bitmap\n", Describe(hr).c_str());
        return 1;
    }
    LONG width = 0, height = 0;
    std::string why;
    bool written = WriteBmp(bitmap, outputFile, &width, &height, why);
    DeleteObject(bitmap);
    if (!written) {
        std::fprintf(stderr, "kqthumbhost: %s\n", why.c_str());
        return 1;
    }
    // The shell's cache asks for the file's time as well.
    hr = persist.p->QueryInterface(IID_IExtractImage2, (void**)&extract2.p);
    if (FAILED(hr))
        return Fail("QueryInterface(IExtractImage2)", hr);
    FILETIME stamp;
    hr = extract2.p->GetDateStamp(&stamp);
    if (FAILED(hr))
        return Fail("IExtractImage2::GetDateStamp", hr);
    std::printf("Wrote a %ld x %ld thumbnail of %s to %s\n", (long)width, (long)height, KQNarrowText(modelFile).c_str(),
                KQNarrowText(outputFile).c_str());
    return 0;
}

// The in-process server registered for the class. Loading it again only
// adds a reference to the module that CoCreateInstance loads from there.
std::wstring RegisteredServer()
{
    WCHAR classId[40] = {0};
    StringFromGUID2(extractorClass, classId, 40);
    const std::wstring keyName = std::wstring(L"CLSID\\") + classId + L"\\InprocServer32";
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, keyName.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return std::wstring();
    WCHAR path[MAX_PATH + 1] = {0};
    DWORD size = (DWORD)(sizeof(path) - sizeof(WCHAR));
    DWORD type = 0;
    LSTATUS status = RegQueryValueExW(key, nullptr, nullptr, &type, (LPBYTE)path, &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS || type != REG_SZ)
        return std::wstring();
    return path;
}

// What the command line asks for.
struct HostOptions {
    SIZE size = {256, 256};
    DWORD flags = 0;
    bool byClass = false;  // -c: the registered server instead of LIBRARY
    std::wstring library;
    std::wstring modelFile;
    std::wstring outputFile;
};

bool ParseSize(const std::wstring& text, SIZE* size)
{
    const std::string value = KQNarrowText(text);
    long w = 0, h = 0;
    char extra = 0;
    if (std::sscanf(value.c_str(), "%ldx%ld%c", &w, &h, &extra) != 2 || w < 1 || h < 1 || w > 100000 || h > 100000) {
        std::fprintf(stderr, "kqthumbhost: bad size '%s' (want WIDTHxHEIGHT)\n", value.c_str());
        return false;
    }
    size->cx = (LONG)w;
    size->cy = (LONG)h;
    return true;
}

bool ParseFlags(const std::wstring& text, DWORD* flags)
{
    const std::string value = KQNarrowText(text);
    char* end = nullptr;
    *flags = (DWORD)std::strtoul(value.c_str(), &end, 0);
    if (!end || *end) {
        std::fprintf(stderr, "kqthumbhost: bad flags '%s'\n", value.c_str());
        return false;
    }
    return true;
}

// Reads the command line into options. False when the run ends here, with
// its exit code in *rc: 0 after the help, 2 for a bad command line.
bool ParseArguments(int argc, char** argv, HostOptions& options, int* rc)
{
    // Wide, so that names outside the ANSI code page reach the extractor
    // whole on Windows, as the shell hands them over.
    const std::vector<std::wstring> args = KQWideArguments(argc, argv);
    std::vector<std::wstring> positional;
    *rc = 2;
    for (size_t i = 0; i < args.size(); i++) {
        const std::wstring& a = args[i];
        if ((a == L"-s" || a == L"--size") && i + 1 < args.size()) {
            if (!ParseSize(args[++i], &options.size))
                return false;
        } else if ((a == L"-f" || a == L"--flags") && i + 1 < args.size()) {
            if (!ParseFlags(args[++i], &options.flags))
                return false;
        } else if (a == L"-c" || a == L"--cocreate") {
            options.byClass = true;
        } else if (a == L"-h" || a == L"--help") {
            Usage();
            *rc = 0;
            return false;
        } else if (!a.empty() && a[0] == L'-') {
            Usage();
            return false;
        } else {
            positional.push_back(a);
        }
    }
    if (positional.size() != (options.byClass ? 2u : 3u)) {
        Usage();
        return false;
    }
    if (!options.byClass)
        options.library = positional[0];
    options.modelFile = positional[options.byClass ? 0 : 1];
    options.outputFile = positional[options.byClass ? 1 : 2];
    return true;
}

// The loaded server and the exports the host calls.
struct Server {
    void* library = nullptr;
    // Null with -c, where CoCreateInstance finds the class factory.
    GetClassObjectFunction getClassObject = nullptr;
    // Always found: a server without it is refused.
    CanUnloadFunction canUnload = nullptr;
};

// Loads LIBRARY, or with -c the server registered for the class, the one
// CoCreateInstance loads; 0 when it is loaded and exports what the host
// calls, else the exit code.
int LoadServer(const HostOptions& options, Server& server)
{
    const std::wstring path = options.byClass ? RegisteredServer() : options.library;
    if (path.empty()) {
        std::fprintf(stderr, "kqthumbhost: the class is not registered (%s)\n", KQRegistryDescription().c_str());
        return 1;
    }
    const std::string serverName = KQNarrowText(path);
    server.library = KQLoadModule(path);
    if (!server.library) {
        std::fprintf(stderr, "kqthumbhost: cannot load %s: %s\n", serverName.c_str(), KQModuleLoadError().c_str());
        return 1;
    }
    if (!options.byClass)
        server.getClassObject = (GetClassObjectFunction)KQModuleSymbol(server.library, "DllGetClassObject");
    server.canUnload = (CanUnloadFunction)KQModuleSymbol(server.library, "DllCanUnloadNow");
    if ((!options.byClass && !server.getClassObject) || !server.canUnload) {
        std::fprintf(stderr, "kqthumbhost: %s is no COM server: %s\n", serverName.c_str(), KQModuleLoadError().c_str());
        KQUnloadModule(server.library);
        server.library = nullptr;
        return 1;
    }
    return 0;
}

// Once every reference is released the server must allow unloading.
int CheckUnloadAfterRelease(CanUnloadFunction canUnload)
{
    HRESULT released = canUnload();
    std::printf("DllCanUnloadNow after the last Release: %s\n", Describe(released).c_str());
    if (released != S_OK) {
        std::fprintf(stderr, "kqthumbhost: DllCanUnloadNow refuses after every reference was released\n");
        return 1;
    }
    return 0;
}

int Run(int argc, char** argv)
{
    HostOptions options;
    int rc = 0;
    if (!ParseArguments(argc, argv, options, &rc))
        return rc;
    Server server;
    rc = LoadServer(options, server);
    if (rc != 0)
        return rc;
    if (options.byClass) {
        HRESULT hr = CoInitialize(nullptr);
        if (FAILED(hr)) {
            KQUnloadModule(server.library);
            return Fail("CoInitialize", hr);
        }
    }

    rc = Extract(server.getClassObject, server.canUnload, options.modelFile, options.outputFile, options.size,
                 options.flags);
    if (rc == 0)
        rc = CheckUnloadAfterRelease(server.canUnload);
    KQUnloadModule(server.library);
    if (options.byClass)
        CoUninitialize();
    return rc;
}

}  // namespace

int main(int argc, char** argv)
{
    return Run(argc, argv);
}
