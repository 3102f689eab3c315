// Console and clock of the stand-in: the console is standard error.
#include "KQPlatform.h"
#include "KQStandInWideText.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <string>
#include <unistd.h>

namespace {

// Distinct, non-null values for the three standard handles.
HANDLE StandardHandle(int index)
{
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(index + 1));
}

bool WriteAll(const char* data, size_t size)
{
    while (size > 0) {
        ssize_t n = ::write(2, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool IsConsole(HANDLE h)
{
    return h == StandardHandle(0) || h == StandardHandle(1) || h == StandardHandle(2);
}

void FillTime(LPSYSTEMTIME out, bool local)
{
    if (!out)
        return;
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    time_t seconds = ts.tv_sec;
    struct tm parts;
    std::memset(&parts, 0, sizeof parts);
    if (local)
        localtime_r(&seconds, &parts);
    else
        gmtime_r(&seconds, &parts);
    out->wYear = static_cast<WORD>(parts.tm_year + 1900);
    out->wMonth = static_cast<WORD>(parts.tm_mon + 1);
    out->wDayOfWeek = static_cast<WORD>(parts.tm_wday);
    out->wDay = static_cast<WORD>(parts.tm_mday);
    out->wHour = static_cast<WORD>(parts.tm_hour);
    out->wMinute = static_cast<WORD>(parts.tm_min);
    out->wSecond = static_cast<WORD>(parts.tm_sec);
    out->wMilliseconds = static_cast<WORD>(ts.tv_nsec / 1000000);
}

}  // namespace

BOOL WINAPI AllocConsole()
{
    // Standard error is already there.
    return TRUE;
}

HANDLE WINAPI GetStdHandle(DWORD which)
{
    switch (which) {
    case STD_INPUT_HANDLE:
        return StandardHandle(0);
    case STD_OUTPUT_HANDLE:
        return StandardHandle(1);
    case STD_ERROR_HANDLE:
        return StandardHandle(2);
    default:
        return INVALID_HANDLE_VALUE;
    }
}

BOOL WINAPI WriteConsoleA(HANDLE console, const void* buffer, DWORD count, LPDWORD written, LPVOID)
{
    if (written)
        *written = 0;
    if (!IsConsole(console) || (!buffer && count > 0))
        return FALSE;
    // ANSI text; the terminal behind standard error shows UTF-8.
    const std::string bytes = count ? kqstandin::AnsiToUtf8(static_cast<const char*>(buffer), count) : std::string();
    if (!WriteAll(bytes.data(), bytes.size()))
        return FALSE;
    if (written)
        *written = count;
    return TRUE;
}

BOOL WINAPI WriteConsoleW(HANDLE console, const void* buffer, DWORD count, LPDWORD written, LPVOID)
{
    if (written)
        *written = 0;
    if (!IsConsole(console) || (!buffer && count > 0))
        return FALSE;
    const wchar_t* text = static_cast<const wchar_t*>(buffer);
    const std::string bytes = count ? kqstandin::ToUtf8(std::wstring(text, count)) : std::string();
    if (!WriteAll(bytes.data(), bytes.size()))
        return FALSE;
    if (written)
        *written = count;
    return TRUE;
}

void WINAPI GetLocalTime(LPSYSTEMTIME out)
{
    FillTime(out, true);
}

void WINAPI GetSystemTime(LPSYSTEMTIME out)
{
    FillTime(out, false);
}
