// kqboxdriver: runs a program that reports with a message box, plays the
// user who reads the box and presses OK, and tells what the box said and
// how the program ended. Windows only: the box must be the system's own,
// on a real (or virtual) display.
//
//   kqboxdriver [-t SECONDS] [-o TEXTFILE] [-c CAPTIONFILE] PROGRAM [COMMANDTAIL]
//
// COMMANDTAIL is put after the quoted program name exactly as given (one
// argument, not re-quoted), so a program that takes its whole command line
// as one path sees blanks and quotes as they are. The driver reads its
// arguments and starts the program as wide text, as the shell does, so a
// name outside the ANSI code page reaches the program as it was given. The caption and the text
// of the box are printed (line ends shown as \n) and, with -o / -c, written
// byte for byte to files. The driver waits at most SECONDS (default 30) for
// the box and again for the program to end after OK.
//
// Output lines:
//   box: none                      the program ended without a box
//   box caption: <caption>
//   box text: <text>
//   box buttons: <text of each button>
//   exit code: <N>                 the program's exit code
// Exit code 0 when the program ended (after a box or without one), 1 when it
// did not within the time allowed (it is then terminated) or the box could
// not be read, 2 for a bad command line.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

namespace {

struct Search {
    DWORD processId;
    HWND found;
};

std::string ClassOf(HWND window)
{
    char name[64] = {0};
    GetClassNameA(window, name, sizeof(name));
    return name;
}

BOOL CALLBACK FindBox(HWND window, LPARAM parameter)
{
    Search* search = reinterpret_cast<Search*>(parameter);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    // A dialog only becomes visible once its controls hold their text.
    if (owner == search->processId && IsWindowVisible(window) && ClassOf(window) == "#32770") {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

BOOL CALLBACK CollectChild(HWND window, LPARAM parameter)
{
    reinterpret_cast<std::vector<HWND>*>(parameter)->push_back(window);
    return TRUE;
}

// Controls of another process answer WM_GETTEXT; GetWindowText would only
// read a caption the system keeps for top-level windows.
bool TextOf(HWND window, std::string& text)
{
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutA(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 5000, &length))
        return false;
    std::vector<char> buffer(static_cast<size_t>(length) + 2, '\0');
    DWORD_PTR copied = 0;
    if (!SendMessageTimeoutA(window, WM_GETTEXT, static_cast<WPARAM>(buffer.size()),
                             reinterpret_cast<LPARAM>(buffer.data()), SMTO_ABORTIFHUNG, 5000, &copied))
        return false;
    if (copied > length)
        copied = length;
    text.assign(buffer.data(), static_cast<size_t>(copied));
    return true;
}

std::string Shown(const std::string& text)
{
    std::string out;
    for (char c : text) {
        if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else if (c == '\\')
            out += "\\\\";
        else
            out += c;
    }
    return out;
}

bool WriteText(const wchar_t* fileName, const std::string& text)
{
    FILE* out = _wfopen(fileName, L"wb");
    if (!out)
        return false;
    bool ok = std::fwrite(text.data(), 1, text.size(), out) == text.size();
    return std::fclose(out) == 0 && ok;
}

int Fail(const char* what)
{
    std::fprintf(stderr, "kqboxdriver: %s\n", what);
    std::fflush(stderr);
    return 1;
}

void Usage()
{
    std::fprintf(stderr, "usage: kqboxdriver [-t SECONDS] [-o TEXTFILE] [-c CAPTIONFILE] PROGRAM [COMMANDTAIL]\n");
}

// Reads the box, writes what it says, and presses OK.
int ReadAndClose(HWND box, const wchar_t* textFile, const wchar_t* captionFile)
{
    std::string caption;
    if (!TextOf(box, caption))
        return Fail("cannot read the caption of the box");

    std::vector<HWND> children;
    EnumChildWindows(box, CollectChild, reinterpret_cast<LPARAM>(&children));
    std::string text, buttons;
    bool haveText = false;
    HWND okButton = nullptr;
    for (HWND child : children) {
        std::string kind = ClassOf(child);
        std::string childText;
        if (!TextOf(child, childText))
            continue;
        if (kind == "Static") {
            // The icon is a Static too, one without text.
            LONG style = GetWindowLongA(child, GWL_STYLE);
            if ((style & SS_TYPEMASK) == SS_ICON || childText.empty())
                continue;
            if (haveText)
                return Fail("the box has more than one text");
            text = childText;
            haveText = true;
        } else if (kind == "Button") {
            buttons += (buttons.empty() ? "" : " ") + childText;
            if (GetDlgCtrlID(child) == IDOK)
                okButton = child;
        }
    }
    if (!haveText)
        return Fail("the box shows no text");

    std::printf("box caption: %s\n", Shown(caption).c_str());
    std::printf("box text: %s\n", Shown(text).c_str());
    std::printf("box buttons: %s\n", buttons.c_str());
    std::fflush(stdout);
    if (textFile && !WriteText(textFile, text))
        return Fail("cannot write the text file");
    if (captionFile && !WriteText(captionFile, caption))
        return Fail("cannot write the caption file");
    if (!okButton)
        return Fail("the box has no OK button");

    // What a click on OK sends; posted, so the driver never waits on the
    // box's thread.
    if (!PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(okButton)))
        return Fail("cannot press OK");
    return 0;
}

int Run(int argc, wchar_t** argv)
{
    DWORD timeoutMs = 30000;
    const wchar_t* textFile = nullptr;
    const wchar_t* captionFile = nullptr;
    int i = 1;
    for (; i < argc && argv[i][0] == L'-'; ++i) {
        std::wstring a = argv[i];
        if (a == L"-t" && i + 1 < argc) {
            wchar_t* end = nullptr;
            long seconds = std::wcstol(argv[++i], &end, 10);
            if (!end || *end || seconds < 1 || seconds > 3600) {
                Usage();
                return 2;
            }
            timeoutMs = static_cast<DWORD>(seconds) * 1000;
        } else if (a == L"-o" && i + 1 < argc) {
            textFile = argv[++i];
        } else if (a == L"-c" && i + 1 < argc) {
            captionFile = argv[++i];
        } else {
            Usage();
            return 2;
        }
    }
    if (argc - i < 1 || argc - i > 2) {
        Usage();
        return 2;
    }
    const wchar_t* program = argv[i];
    std::wstring commandLine = std::wstring(L"\"") + program + L"\"";
    if (argc - i == 2) {
        commandLine += L" ";
        commandLine += argv[i + 1];
    }

    STARTUPINFOW startup;
    std::memset(&startup, 0, sizeof(startup));
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process;
    std::memset(&process, 0, sizeof(process));
    std::vector<wchar_t> line(commandLine.begin(), commandLine.end());
    line.push_back(L'\0');
    if (!CreateProcessW(program, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
        std::fprintf(stderr, "kqboxdriver: cannot start %ls (error %lu)\n", program, (unsigned long)GetLastError());
        return 1;
    }
    CloseHandle(process.hThread);

    int rc = 0;
    bool sawBox = false;
    DWORD start = GetTickCount();
    for (;;) {
        Search search = {process.dwProcessId, nullptr};
        EnumWindows(FindBox, reinterpret_cast<LPARAM>(&search));
        if (search.found) {
            sawBox = true;
            rc = ReadAndClose(search.found, textFile, captionFile);
            break;
        }
        if (WaitForSingleObject(process.hProcess, 50) == WAIT_OBJECT_0)
            break;
        if (GetTickCount() - start > timeoutMs) {
            rc = Fail("no box appeared and the program did not end in time");
            break;
        }
    }
    if (!sawBox && rc == 0) {
        std::printf("box: none\n");
        std::fflush(stdout);
    }

    if (rc == 0 && WaitForSingleObject(process.hProcess, timeoutMs) != WAIT_OBJECT_0)
        rc = Fail("the program did not end after the box was closed");
    if (rc != 0) {
        // Never leave a program behind that waits for a click.
        if (WaitForSingleObject(process.hProcess, 0) != WAIT_OBJECT_0) {
            TerminateProcess(process.hProcess, 255);
            WaitForSingleObject(process.hProcess, 5000);
        }
    } else {
        DWORD exitCode = 0;
        GetExitCodeProcess(process.hProcess, &exitCode);
        std::printf("exit code: %lu\n", (unsigned long)exitCode);
        std::fflush(stdout);
    }
    CloseHandle(process.hProcess);
    return rc;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    return Run(argc, argv);
}
