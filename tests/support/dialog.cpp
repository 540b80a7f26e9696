#include "tests/support/dialog.h"

#include "resources/resource_ids.h"
#include "settings/catalogue.h"
#include "ui/setup_dialog.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Deadlines on the clock: under Wine a start takes a tenth of a second and a step a few
// milliseconds; these are far above what either takes on a busy 2-core machine, and a
// failing case still ends well inside ctest's limit.
constexpr DWORD ThreadReadyMilliseconds = 20000, StepMilliseconds = 10000, EndMilliseconds = 10000;

bool IsRunning(const RunningDialog &running) { return running.runner != nullptr && WaitForSingleObject(running.runner, 0) == WAIT_TIMEOUT; }

// What a player sees: whether the dialog is still there, which control has the focus,
// and the five boxes.
std::string See(const RunningDialog &running)
{
    if (!IsRunning(running))
        return "ended";
    std::string view = "running, focus on " + std::to_string(FocusedControlId(running.dialog)) + ", boxes";
    for (HWND box : running.boxes)
        view += " " + std::to_string(SendMessageA(box, BM_GETCHECK, 0, 0));
    return view;
}

// Ends a runner that outlived its deadline: a process is ended outright; on a thread,
// WM_QUIT ends the modal loop.
void Stop(RunningDialog &running)
{
    if (IsRunning(running) &&
        (running.threadId != 0 ? PostThreadMessageA(running.threadId, WM_QUIT, 0, 0) : TerminateProcess(running.runner, 1)))
        WaitForSingleObject(running.runner, EndMilliseconds);
}

DWORD WINAPI RunSetupDialog(void *) { return DWORD(DialogBoxParamA(AppInstance, MAKEINTRESOURCEA(IDD_SETUP), nullptr, SetupDlgProc, 0)); }

}

HWND CreateSetupDialog(DLGPROC procedure)
{
    const HWND dialog = CreateDialogParamA(AppInstance, MAKEINTRESOURCEA(IDD_SETUP), nullptr, procedure, 0);
    EXPECT_NE(dialog, nullptr) << "CreateDialogParamA failed with " << GetLastError();
    ShowWindow(dialog, SW_SHOWNOACTIVATE);
    return dialog;
}

std::vector<int> CheckStates(HWND dialog)
{
    std::vector<int> states;
    for (int i = 0; i < SettingCount; ++i)
        states.push_back(int(SendDlgItemMessageA(dialog, FirstSettingId + i, BM_GETCHECK, 0, 0)));
    return states;
}

void SetCheckStates(HWND dialog, const std::vector<int> &states)
{
    for (int i = 0; i < SettingCount; ++i)
        SendDlgItemMessageA(dialog, FirstSettingId + i, BM_SETCHECK, WPARAM(states[size_t(i)]), 0);
}

void WaitUntilReady(RunningDialog &running, DWORD processId, DWORD milliseconds)
{
    WaitUntil([&] { return !IsRunning(running) || (running.dialog = FindReadySetupDialog(processId)) != nullptr; }, milliseconds);
    if (running.dialog == nullptr) {
        ADD_FAILURE() << "no ready dialog within " << milliseconds << " ms: " << (IsRunning(running) ? "still running" : "it ended");
        Stop(running);
        return;
    }
    for (int i = 0; i < SettingCount; ++i)
        running.boxes.push_back(GetDlgItem(running.dialog, FirstSettingId + i));
}

void Play(RunningDialog &running, const std::vector<Step> &steps)
{
    for (const Step &step : steps) {
        const std::string before = See(running);
        // Keys go to the control focused in the dialog's thread, as the keyboard's would.
        if (step.kind == Step::Click)
            PostMessageA(GetDlgItem(running.dialog, step.code), BM_CLICK, 0, 0);
        else if (step.kind == Step::Close)
            PostMessageA(running.dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
        else {
            const HWND focused = FocusedWindow(running.dialog), target = focused != nullptr ? focused : running.dialog;
            const LPARAM down = LPARAM(1 | MapVirtualKeyA(UINT(step.code), MAPVK_VK_TO_VSC) << 16);
            PostMessageA(target, WM_KEYDOWN, WPARAM(step.code), down);
            PostMessageA(target, WM_KEYUP, WPARAM(step.code), down | LPARAM(3u << 30));
        }
        std::string now = before;
        if (!WaitUntil([&] { return (now = See(running)) != before; }, StepMilliseconds)) {
            ADD_FAILURE() << step << " showed nothing within " << StepMilliseconds
                          << " ms: expected the focus to move, a box to change or the dialog to end; it shows " << now;
            Stop(running);
            return;
        }
    }
}

DWORD WaitForEnd(RunningDialog &running)
{
    DWORD exitCode = STILL_ACTIVE;
    if (WaitForSingleObject(running.runner, EndMilliseconds) == WAIT_OBJECT_0)
        running.threadId != 0 ? GetExitCodeThread(running.runner, &exitCode) : GetExitCodeProcess(running.runner, &exitCode);
    Stop(running);
    CloseHandle(running.runner);
    running.runner = nullptr;
    return exitCode;
}

INT_PTR RunModalSetupDialog(const std::vector<Step> &steps)
{
    RunningDialog running{};
    running.runner = CreateThread(nullptr, 0, RunSetupDialog, nullptr, 0, &running.threadId);
    EXPECT_NE(running.runner, nullptr) << "CreateThread failed with " << GetLastError();
    WaitUntilReady(running, GetCurrentProcessId(), ThreadReadyMilliseconds);
    if (running.dialog != nullptr)
        Play(running, steps);
    return INT_PTR(int(WaitForEnd(running)));
}
