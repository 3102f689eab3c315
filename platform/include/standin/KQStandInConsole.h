// Console and clock of the stand-in. The console is the process's standard
// error: there is no window to allocate, and every standard handle written
// with WriteConsole reaches it.
#ifndef KQSTANDINCONSOLE_H
#define KQSTANDINCONSOLE_H

#include "KQStandInBase.h"

#define STD_INPUT_HANDLE ((DWORD)-10)
#define STD_OUTPUT_HANDLE ((DWORD)-11)
#define STD_ERROR_HANDLE ((DWORD)-12)

typedef struct _SYSTEMTIME {
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
} SYSTEMTIME, *PSYSTEMTIME, *LPSYSTEMTIME;

BOOL WINAPI AllocConsole();
HANDLE WINAPI GetStdHandle(DWORD which);
BOOL WINAPI WriteConsoleA(HANDLE console, const void* buffer, DWORD count, LPDWORD written, LPVOID reserved);
BOOL WINAPI WriteConsoleW(HANDLE console, const void* buffer, DWORD count, LPDWORD written, LPVOID reserved);
void WINAPI GetLocalTime(LPSYSTEMTIME out);
void WINAPI GetSystemTime(LPSYSTEMTIME out);

#endif
