// Message box of the stand-in: a terminal has no dialogs, so the box is
// written to standard output and answered at once.
#include "KQPlatform.h"
#include "KQStandInWideText.h"

#include <cstdio>

int WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type)
{
    (void)owner;
    // Windows shows "Error" for a null caption and an empty box for null text.
    // The texts are in the ANSI code page; the terminal shows UTF-8.
    std::printf("%s\n%s\n", caption ? kqstandin::AnsiToUtf8(caption).c_str() : "Error",
                kqstandin::AnsiToUtf8(text).c_str());
    // The box is modal: whatever the program does next must come after the
    // text, also when standard output is a pipe.
    std::fflush(stdout);
    switch (type & 0x0FU) {
    case MB_ABORTRETRYIGNORE:
        return IDABORT;
    case MB_YESNOCANCEL:
    case MB_YESNO:
        return IDYES;
    case MB_RETRYCANCEL:
        return IDRETRY;
    default:
        return IDOK;
    }
}
