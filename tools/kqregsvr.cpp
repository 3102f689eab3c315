// kqregsvr: registers or unregisters an in-process COM server, as regsvr32
// does: it loads the library and calls DllRegisterServer or, with -u,
// DllUnregisterServer.
//
//   kqregsvr [-u] LIBRARY
#include <cstdio>
#include <string>
#include <vector>

#include "KQCom.h"
#include "KQModuleLoader.h"

namespace {
typedef HRESULT(STDAPICALLTYPE* ServerFunction)();
}

int main(int argc, char** argv)
{
    // Wide, so that a library in a folder named outside the ANSI code page
    // loads on Windows.
    const std::vector<std::wstring> args = KQWideArguments(argc, argv);
    bool unregister = false;
    const std::wstring* libraryPath = nullptr;
    for (const std::wstring& a : args) {
        if (a == L"-u" || a == L"/u") {
            unregister = true;
        } else if (!libraryPath && !a.empty() && a[0] != L'-') {
            libraryPath = &a;
        } else {
            libraryPath = nullptr;
            break;
        }
    }
    if (!libraryPath) {
        std::fprintf(stderr, "usage: kqregsvr [-u] LIBRARY\n");
        return 2;
    }
    const std::string shown = KQNarrowText(*libraryPath);
    const char* libraryName = shown.c_str();
    void* library = KQLoadModule(*libraryPath);
    if (!library) {
        std::fprintf(stderr, "kqregsvr: cannot load %s: %s\n", libraryName, KQModuleLoadError().c_str());
        return 3;
    }
    const char* entry = unregister ? "DllUnregisterServer" : "DllRegisterServer";
    auto function = (ServerFunction)KQModuleSymbol(library, entry);
    if (!function) {
        std::fprintf(stderr, "kqregsvr: %s has no %s\n", libraryName, entry);
        KQUnloadModule(library);
        return 4;
    }
    HRESULT hr = function();
    KQUnloadModule(library);
    if (FAILED(hr)) {
        std::fprintf(stderr, "kqregsvr: %s failed with HRESULT 0x%08X\n", entry, (unsigned)(uint32_t)hr);
        return 5;
    }
    std::printf("%s of %s succeeded (%s)\n", entry, libraryName, KQRegistryDescription().c_str());
    return 0;
}
