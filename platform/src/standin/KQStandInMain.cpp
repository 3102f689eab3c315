// Start-up of a GUI-subsystem program on a host without one: builds the
// command-line text that Windows would hand to WinMain and calls it.
//
// Windows passes the text after the program name as one string; the program
// decides how to read it. Joining the arguments with single blanks gives the
// same text for the usual case of arguments separated by single blanks.
// Windows hands it over in the ANSI code page; the host's arguments are
// UTF-8.
#include "KQPlatform.h"
#include "KQStandInWideText.h"

#include <string>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

int main(int argc, char** argv)
{
#if defined(__GLIBC__)
    // Keep freed memory for reuse instead of handing it back to the system
    // at every free: a save compresses each entry with buffers of its own,
    // and growing the heap anew for each costs more than compressing a
    // small entry.
    mallopt(M_TRIM_THRESHOLD, 64 * 1024 * 1024);
#endif
    std::string commandLine;
    for (int i = 1; i < argc; ++i) {
        if (i > 1)
            commandLine += ' ';
        commandLine += argv[i];
    }
    commandLine = kqstandin::Utf8ToAnsi(commandLine);
    return WinMain(nullptr, nullptr, &commandLine[0], SW_SHOWNORMAL);
}
