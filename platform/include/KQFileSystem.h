// File-system operations of the host that the C runtime does not offer alike
// on every host.
//
// Names: KQ_fopen takes a name in the ANSI code page, as the Windows
// runtime's narrow functions do (elsewhere it becomes the host's UTF-8
// name). Functions ending in Utf8 take UTF-8 names, the form the zip library
// takes on every host; those ending in W take wide names.
#ifndef KQFILESYSTEM_H
#define KQFILESYSTEM_H

#include <cstdio>
#include <string>

FILE* KQ_fopen(const char* name, const char* mode);

enum KQFileKind {
    KQ_FILE_MISSING,  // nothing there, or nothing that can be asked about
    KQ_FILE_REGULAR,
    KQ_FILE_OTHER     // a folder, a device, a pipe, a socket (or, unfollowed, a link)
};
// What name designates, found without opening it (so a pipe cannot block
// the caller). followLinks false tells a link apart from what it names.
KQFileKind KQFileKindUtf8(const std::string& name, bool followLinks = true);
KQFileKind KQFileKindA(const char* name);  // name in the ANSI code page
KQFileKind KQFileKindW(const wchar_t* name);

// The file that name finally designates when name is a symbolic link;
// otherwise name itself.
std::string KQResolveLinksUtf8(const std::string& name);
// True when the existing file may not be changed: its read-only attribute
// (Windows), or no write permission for anyone or for this user.
bool KQIsReadOnlyFileUtf8(const std::string& name);

// Creates name, which must not exist yet, for binary writing, with the
// access permissions of model when that exists. Null on failure, with the
// C runtime's error number in *error.
FILE* KQCreateNewFileUtf8(const std::string& name, const std::string& model, int* error);
FILE* KQOpenFileForReadingUtf8(const std::string& name);
// Puts source in the place of target in one step; 0 or an error number.
int KQReplaceFileUtf8(const std::string& source, const std::string& target);
// 0 or an error number.
int KQRemoveFileUtf8(const std::string& name);

#endif
