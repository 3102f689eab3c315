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

int main(int argc, char** argv)
{
    std::string commandLine;
    for (int i = 1; i < argc; ++i) {
        if (i > 1)
            commandLine += ' ';
        commandLine += argv[i];
    }
    commandLine = kqstandin::Utf8ToAnsi(commandLine);
    return WinMain(nullptr, nullptr, &commandLine[0], SW_SHOWNORMAL);
}
