// Start-up of a GUI-subsystem program on Windows: the command line as the
// system keeps it, in UTF-16, reaches WinMain in the ANSI code page only
// when the code page holds it exactly.
//
// The 8-bit text that Windows itself hands to WinMain is made with best-fit
// mapping: a character the code page lacks becomes a look-alike (U+0101,
// a with macron, an 'a'; the full-width reverse solidus U+FF3C a real '\'),
// so a file named outside the code page would have the program open
// another one. Such a command line names no file the program can open, and
// the run ends as for a package that does not open. The text is otherwise
// the same: the program name is skipped as for WinMain, and the rest stays
// whole.
#include "KQAnsiText.h"
#include "KQPlatform.h"

#include <cwchar>
#include <string>

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, LPWSTR commandLine, int showCommand)
{
    const wchar_t* text = commandLine ? commandLine : L"";
    std::string narrow;
    if (!KQWideToAnsiExactly(text, std::wcslen(text), &narrow))
        return 0;
    return WinMain(instance, previous, &narrow[0], showCommand);
}
