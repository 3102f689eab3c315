// Entry point of a shared library that is built as a Windows DLL. The
// loader of this host calls no DllMain, so the library calls its own when it
// is loaded and unloaded; its instance handle is its load address, as with
// the module handles of the stand-in. Compiled into such a library only.
#include "KQPlatform.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved);

namespace {

__attribute__((constructor)) void KQStandInDllAttach()
{
    DllMain((HINSTANCE)KQStandInModuleOf((const void*)&KQStandInDllAttach), DLL_PROCESS_ATTACH, nullptr);
}

__attribute__((destructor)) void KQStandInDllDetach()
{
    DllMain((HINSTANCE)KQStandInModuleOf((const void*)&KQStandInDllDetach), DLL_PROCESS_DETACH, nullptr);
}

}  // namespace
