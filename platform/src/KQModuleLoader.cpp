// Run-time loading of shared libraries.
#include "KQModuleLoader.h"

#include "KQPlatform.h"

#ifdef _WIN32
#include <shellapi.h>
#else
#include <dlfcn.h>
#endif

namespace {
thread_local std::string lastLoadError;

// Narrow arguments and console text are in the program's code page on
// Windows, in UTF-8 here.
#ifdef _WIN32
const UINT kArgumentCodePage = CP_ACP;
#else
const UINT kArgumentCodePage = CP_UTF8;
#endif
}  // namespace

#ifdef _WIN32

void* KQLoadModule(const std::wstring& path)
{
    HMODULE module = LoadLibraryW(path.c_str());
    if (!module) {
        DWORD code = GetLastError();
        char* text = nullptr;
        FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, code, 0, (LPSTR)&text, 0, nullptr);
        lastLoadError = "error " + std::to_string((unsigned long)code) + (text ? std::string(": ") + text : "");
        if (text)
            LocalFree(text);
        while (!lastLoadError.empty() && (lastLoadError.back() == '\n' || lastLoadError.back() == '\r'))
            lastLoadError.pop_back();
    }
    return (void*)module;
}

void* KQModuleSymbol(void* module, const char* name)
{
    FARPROC p = GetProcAddress((HMODULE)module, name);
    if (!p)
        lastLoadError = std::string("no export ") + name;
    return (void*)p;
}

void KQUnloadModule(void* module)
{
    if (module)
        FreeLibrary((HMODULE)module);
}

#else

void* KQLoadModule(const std::wstring& path)
{
    void* module = dlopen(KQNarrowText(path).c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module) {
        const char* why = dlerror();
        lastLoadError = why ? why : "cannot load";
    }
    return module;
}

void* KQModuleSymbol(void* module, const char* name)
{
    void* p = dlsym(module, name);
    if (!p)
        lastLoadError = std::string("no export ") + name;
    return p;
}

void KQUnloadModule(void* module)
{
    if (module)
        dlclose(module);
}

#endif

namespace {

std::wstring WideArgument(const char* argument)
{
    int n = MultiByteToWideChar(kArgumentCodePage, 0, argument, -1, nullptr, 0);
    if (n <= 0)
        return std::wstring();
    std::wstring out((size_t)n, L'\0');
    MultiByteToWideChar(kArgumentCodePage, 0, argument, -1, &out[0], n);
    out.resize((size_t)n - 1);
    return out;
}

}  // namespace

std::vector<std::wstring> KQWideArguments(int argc, char** argv)
{
    std::vector<std::wstring> out;
#ifdef _WIN32
    int count = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide) {
        for (int i = 1; i < count; ++i)
            out.push_back(wide[i]);
        LocalFree(wide);
        return out;
    }
    // Without room for the split text, what argv has is the best there is.
#endif
    for (int i = 1; i < argc; ++i)
        out.push_back(WideArgument(argv[i]));
    return out;
}

std::string KQNarrowText(const std::wstring& text)
{
    int n = WideCharToMultiByte(kArgumentCodePage, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (n <= 0)
        return std::string();
    std::string out((size_t)n, '\0');
    WideCharToMultiByte(kArgumentCodePage, 0, text.c_str(), -1, &out[0], n, nullptr, nullptr);
    out.resize((size_t)n - 1);
    return out;
}

std::string KQRegistryDescription()
{
#ifdef _WIN32
    return "HKEY_CLASSES_ROOT";
#else
    return std::string("HKEY_CLASSES_ROOT in ") + KQStandInRegistryFile();
#endif
}

std::string KQModuleLoadError()
{
    return lastLoadError;
}
