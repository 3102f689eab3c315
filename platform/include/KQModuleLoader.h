// Loading a shared library at run time (LoadLibrary on Windows, dlopen
// elsewhere) for programs that host one, as the shell hosts a COM server.
#ifndef KQMODULELOADER_H
#define KQMODULELOADER_H

#include <string>

// Null on failure; KQModuleLoadError then says why.
void* KQLoadModule(const std::wstring& path);
void* KQModuleSymbol(void* module, const char* name);
void KQUnloadModule(void* module);
std::string KQModuleLoadError();

// Where registration writes HKEY_CLASSES_ROOT, for messages.
std::string KQRegistryDescription();

// A command-line argument as wide text (the program's code page on
// Windows, UTF-8 elsewhere).
std::wstring KQWideArgument(const char* argument);
// Wide text as the console shows it.
std::string KQNarrowText(const std::wstring& text);

#endif
