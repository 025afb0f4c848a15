#include <cstdio>

#include "driver/command_line.h"

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <string>
#include <vector>

namespace {

// The arguments as UTF-8, the form in which names travel on the line.
std::string utf8Of(const wchar_t* wide) {
    int size = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 0) return std::string();
    std::string text(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide, -1, &text[0], size, nullptr, nullptr);
    text.resize(static_cast<size_t>(size - 1));
    return text;
}

UINT savedCodePage = 0;

// Ctrl+C, Ctrl+Break and a closed console end the program without a return
// from wmain: the console gets its code page back here first.
BOOL WINAPI restoreCodePage(DWORD) {
    if (savedCodePage != 0) SetConsoleOutputCP(savedCodePage);
    return FALSE;  // the default handler then ends the program
}

}  // namespace

// The wide entry point: a name typed in any script reaches the program whole,
// which the ANSI arguments cannot carry. The console shows the UTF-8 names
// the program prints while it runs, and gets its code page back at the end.
int wmain(int argc, wchar_t** argv) {
    // Progress lines must show as they happen. Microsoft's C runtime makes
    // _IOLBF full buffering, so on Windows standard output is unbuffered.
    setvbuf(stdout, nullptr, _IONBF, 0);
    std::vector<std::string> texts;
    for (int i = 0; i < argc; i++) texts.push_back(utf8Of(argv[i]));
    std::vector<char*> args;
    for (std::string& text : texts) args.push_back(&text[0]);
    args.push_back(nullptr);
    savedCodePage = GetConsoleOutputCP();
    if (savedCodePage != 0) {
        SetConsoleCtrlHandler(restoreCodePage, TRUE);
        SetConsoleOutputCP(CP_UTF8);
    }
    int status = runCommandLine(argc, args.data());
    if (savedCodePage != 0) SetConsoleOutputCP(savedCodePage);
    return status;
}
#else
int main(int argc, char** argv) {
    // Progress lines must show as they happen.
    setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
    return runCommandLine(argc, argv);
}
#endif
