// Loading a shared library at run time (LoadLibrary on Windows, dlopen
// elsewhere) for programs that host one, as the shell hosts a COM server.
#ifndef KQMODULELOADER_H
#define KQMODULELOADER_H

#include <string>
#include <vector>

// Null on failure; KQModuleLoadError then says why.
void* KQLoadModule(const std::wstring& path);
void* KQModuleSymbol(void* module, const char* name);
void KQUnloadModule(void* module);
std::string KQModuleLoadError();

// Where registration writes HKEY_CLASSES_ROOT, for messages.
std::string KQRegistryDescription();

// The program's arguments after its name as wide text. On Windows they
// come from the command line's own UTF-16 text, since argv holds only what
// the ANSI code page can (a name in Chinese or with an emoji arrives as
// question marks); elsewhere from argv, which is UTF-8.
std::vector<std::wstring> KQWideArguments(int argc, char** argv);
// Wide text as the console shows it.
std::string KQNarrowText(const std::wstring& text);

#endif
