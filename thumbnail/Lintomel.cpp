// Lintomel's DLL entry point and the four exports of an in-process COM
// server.
#include "KQCom.h"
#include "KQOAPIProperties.h"
#include "KQComModule.h"
#include "KQOError.h"
#include "KQRegistrar.h"
#include "KQThumbIds.h"
#include "kqfxThumbExtractor.h"

// The property catalogue is built when the module loads and destroyed when it
// unloads.
KQ_LINK_STATIC_TABLES();

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved);

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) {
        // Nothing of the library's diagnostics (error reports, the decoder's
        // trace) may open a console or write a file inside the shell's
        // process.
        KQSetErrorReporting(false);
        KQSetDiagnosticsOutput(false);
        kqModule.Init(instance, &LIBID_KqfxThumbFORMATLib);
        DisableThreadLibraryCalls(instance);
    } else if (reason == DLL_PROCESS_DETACH) {
        kqModule.Term();
    }
    return TRUE;
}

STDAPI DllCanUnloadNow()
{
    return kqModule.GetLockCount() == 0 ? S_OK : S_FALSE;
}

STDAPI DllGetClassObject(REFCLSID classId, REFIID interfaceId, LPVOID* object)
{
    return KQComModule::GetClassObject(classId, interfaceId, object);
}

namespace {

// Room for the module path; longer than MAX_PATH, which deep install folders
// exceed.
const DWORD KQ_MODULE_PATH_UNITS = 2048;

HRESULT TypeLibrary(bool doRegister)
{
    if (!doRegister) {
        const GUID* libId = kqModule.GetLibId();
        if (!libId)
            return E_UNEXPECTED;
        return UnRegisterTypeLib(*libId, 1, 0, 0x409, KQ_TYPELIB_SYSKIND);
    }
    WCHAR modulePath[KQ_MODULE_PATH_UNITS];
    if (!kqModule.GetModulePath(modulePath, KQ_MODULE_PATH_UNITS))
        return SELFREG_E_TYPELIB;
    ITypeLib* typeLib = nullptr;
    HRESULT hr = LoadTypeLibEx(modulePath, REGKIND_NONE, &typeLib);
    if (FAILED(hr))
        return hr;
    // The help folder is the module's folder.
    WCHAR helpDir[KQ_MODULE_PATH_UNITS];
    int last = -1;
    for (int i = 0; modulePath[i]; i++) {
        helpDir[i] = modulePath[i];
        if (modulePath[i] == L'\\' || modulePath[i] == L'/')
            last = i;
    }
    helpDir[last + 1] = 0;
    hr = RegisterTypeLib(typeLib, modulePath, helpDir);
    typeLib->Release();
    return hr;
}

}  // namespace

HRESULT CkqfxThumbExtractor::UpdateRegistry(BOOL doRegister)
{
    HMODULE module = (HMODULE)kqModule.GetInstance();
    HRSRC resource = FindResourceW(module, MAKEINTRESOURCEW(KQ_IDR_KQFXTHUMBEXTRACTOR), L"REGISTRY");
    if (!resource)
        return doRegister ? SELFREG_E_CLASS : S_OK;
    HGLOBAL loaded = LoadResource(module, resource);
    const char* script = loaded ? (const char*)LockResource(loaded) : nullptr;
    DWORD size = SizeofResource(module, resource);
    if (!script)
        return SELFREG_E_CLASS;
    WCHAR modulePath[KQ_MODULE_PATH_UNITS];
    if (!kqModule.GetModulePath(modulePath, KQ_MODULE_PATH_UNITS))
        return SELFREG_E_CLASS;
    KQRegistrarReplacements replacements;
    replacements.emplace_back(L"MODULE", modulePath);
    return KQRunRegistryScript(script, size, replacements, doRegister != FALSE);
}

STDAPI DllRegisterServer()
{
    HRESULT hr = CkqfxThumbExtractor::UpdateRegistry(TRUE);
    if (FAILED(hr))
        return hr;
    return TypeLibrary(true);
}

STDAPI DllUnregisterServer()
{
    CkqfxThumbExtractor::UpdateRegistry(FALSE);
    TypeLibrary(false);
    return S_OK;
}
