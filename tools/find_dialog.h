// Starts the program and finds its Setup dialog from outside, once it is ready for a
// player: shown, with one of its controls holding the focus (the dialog itself holds
// it for a moment first), and waits for things to happen by the clock. Header-only,
// for the tools and the tests alike.
#ifndef DUSTMARROW_TOOLS_FIND_DIALOG_H
#define DUSTMARROW_TOOLS_FIND_DIALOG_H

#include "resources/resource_ids.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

// Starts the program at `path`. Wine's 64-bit loader has been seen, once in thousands
// of starts, to fail a start with ERROR_INTERNAL_ERROR: the new process never came up,
// so none of the program's code ran. Such a start is made once more, and said so.
inline bool StartProgramProcess(const std::string &path, PROCESS_INFORMATION &process)
{
    for (int attempt = 1;; ++attempt) {
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        std::string commandLine = "\"" + path + "\"";
        if (CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
            return true;
        if (GetLastError() != ERROR_INTERNAL_ERROR || attempt == 2)
            return false;
        std::fprintf(stderr, "Wine did not bring up %s (ERROR_INTERNAL_ERROR); starting it once more\n", path.c_str());
    }
}

// The window that has the focus in the thread of `window`, or nullptr.
inline HWND FocusedWindow(HWND window)
{
    GUITHREADINFO thread{};
    thread.cbSize = sizeof thread;
    return GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &thread) ? thread.hwndFocus : nullptr;
}

// The ready Setup dialog of the process (of any process for 0), or nullptr. The caption
// is compared here, case and all, as FindWindowEx compares it without case.
inline HWND FindReadySetupDialog(DWORD processId)
{
    for (HWND window = nullptr; (window = FindWindowExA(nullptr, window, nullptr, SETUP_DIALOG_CAPTION)) != nullptr;) {
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        char caption[32] = "";
        GetWindowTextA(window, caption, sizeof caption);
        if ((processId == 0 || owner == processId) && IsWindowVisible(window) && std::strcmp(caption, SETUP_DIALOG_CAPTION) == 0 &&
            IsChild(window, FocusedWindow(window)))
            return window;
    }
    return nullptr;
}

// Looks at `done` until it holds or `milliseconds` have passed on the clock, and says
// which. Between looks it gives up the processor for a millisecond, so that on one
// core the program being watched gets to run.
template <typename Done> bool WaitUntil(Done done, DWORD milliseconds)
{
    const DWORD start = GetTickCount();
    while (!done()) {
        if (GetTickCount() - start >= milliseconds)
            return done();
        Sleep(1);
    }
    return true;
}

#endif
