// kqregsvr: registers or unregisters an in-process COM server, as regsvr32
// does: it loads the library and calls DllRegisterServer or, with -u,
// DllUnregisterServer.
//
//   kqregsvr [-u] LIBRARY
#include <cstdio>
#include <string>

#include "KQCom.h"
#include "KQModuleLoader.h"

namespace {
typedef HRESULT(STDAPICALLTYPE* ServerFunction)();
}

int main(int argc, char** argv)
{
    bool unregister = false;
    const char* libraryName = nullptr;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "-u" || a == "/u")
            unregister = true;
        else if (!libraryName && !a.empty() && a[0] != '-')
            libraryName = argv[i];
        else
            libraryName = nullptr, i = argc;
    }
    if (!libraryName) {
        std::fprintf(stderr, "usage: kqregsvr [-u] LIBRARY\n");
        return 2;
    }
    void* library = KQLoadModule(KQWideArgument(libraryName));
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
