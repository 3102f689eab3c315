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

namespace {

// Heap tuning for the zip layer's compression during Corvessa's save.
//
// It sits here, in the program's start-up, rather than beside the zip layer
// it serves: the heap's policy belongs to the process, and it must be set
// before the run begins. A library has no business changing
// it: the zip layer is also linked into tests and tools, and the foundation
// library into Lintomel, which lives in another program's process. The
// thresholds are glibc's, so this is host code; only GUI-subsystem programs
// (Corvessa) start here.
//
// Keep freed memory for reuse instead of handing it back to the system at
// every free: a save compresses each entry with buffers of its own (two of
// 128 KiB each in the zip library's deflate set-up), and mapping and
// faulting in fresh pages for each costs more than compressing a small
// entry. Setting the trim threshold fixes the mapping threshold at its
// default, which those buffers just exceed, so it is raised as well.
void TuneHeapForCompression()
{
#if defined(__GLIBC__)
    mallopt(M_TRIM_THRESHOLD, 64 * 1024 * 1024);
    mallopt(M_MMAP_THRESHOLD, 4 * 1024 * 1024);
#endif
}

}  // namespace

int main(int argc, char** argv)
{
    TuneHeapForCompression();
    std::string commandLine;
    for (int i = 1; i < argc; ++i) {
        if (i > 1)
            commandLine += ' ';
        commandLine += argv[i];
    }
    commandLine = kqstandin::Utf8ToAnsi(commandLine);
    return WinMain(nullptr, nullptr, &commandLine[0], SW_SHOWNORMAL);
}
