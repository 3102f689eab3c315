// File-system and file-runtime names of the Windows runtime that the host's
// C library lacks. Narrow names are in the ANSI code page, as on Windows;
// they and wide names are passed to the host as UTF-8.
#ifndef KQSTANDINFILE_H
#define KQSTANDINFILE_H

#include <cstdio>
#include <cwchar>

#include "KQStandInBase.h"

// Windows semantics: the file need not exist; a relative name is resolved
// against the current folder, "." and ".." steps are removed. The host's
// separator '/' is the only separator. Returns the length without the
// terminator, or the size needed (with it) when the buffer is too small,
// or 0 on failure. The narrow form fails (ERROR_NO_UNICODE_TRANSLATION)
// when the ANSI code page cannot hold the full name exactly.
DWORD WINAPI GetFullPathNameA(LPCSTR name, DWORD bufferLength, LPSTR buffer, LPSTR* filePart);
DWORD WINAPI GetFullPathNameW(LPCWSTR name, DWORD bufferLength, LPWSTR buffer, LPWSTR* filePart);

// Modes 0 exists, 2 writable, 4 readable, 6 both; 0 on success, -1 else.
int _access(const char* path, int mode);
int _waccess(const wchar_t* path, int mode);
int _fileno(FILE* stream);
int64_t _filelengthi64(int fd);
FILE* _wfopen(const wchar_t* name, const wchar_t* mode);
int _fseeki64(FILE* stream, int64_t offset, int origin);
int64_t _ftelli64(FILE* stream);

#endif
