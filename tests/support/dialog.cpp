#include "tests/support/dialog.h"

#include "resources/resource_ids.h"
#include "settings/catalogue.h"
#include "ui/setup_dialog.h"

#include <gtest/gtest.h>

void ApplyStep(HWND dialog, const Step &step)
{
    switch (step.kind) {
    case Step::Key: {
        GUITHREADINFO thread{};
        thread.cbSize = sizeof thread;
        ASSERT_TRUE(GetGUIThreadInfo(GetWindowThreadProcessId(dialog, nullptr), &thread));
        const HWND target = thread.hwndFocus != nullptr ? thread.hwndFocus : dialog;
        const UINT scanCode = MapVirtualKeyA(UINT(step.code), MAPVK_VK_TO_VSC);
        PostMessageA(target, WM_KEYDOWN, WPARAM(step.code), LPARAM(1 | scanCode << 16));
        PostMessageA(target, WM_KEYUP, WPARAM(step.code), LPARAM(1 | scanCode << 16 | 3u << 30));
        break;
    }
    case Step::Click:
        PostMessageA(GetDlgItem(dialog, step.code), BM_CLICK, 0, 0);
        break;
    case Step::Close:
        PostMessageA(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
        break;
    }
}

std::ostream &operator<<(std::ostream &out, const Step &step)
{
    static const char *const kinds[] = {"key", "click on", "close from the caption"};
    return step.kind == Step::Close ? out << kinds[step.kind] : out << kinds[step.kind] << ' ' << step.code;
}

int FocusedControlId(HWND dialog)
{
    GUITHREADINFO thread{};
    thread.cbSize = sizeof thread;
    if (!GetGUIThreadInfo(GetWindowThreadProcessId(dialog, nullptr), &thread) || thread.hwndFocus == nullptr)
        return 0;
    return GetDlgCtrlID(thread.hwndFocus);
}

HWND CreateSetupDialog(DLGPROC procedure)
{
    const HWND dialog = CreateDialogParamA(AppInstance, MAKEINTRESOURCEA(IDD_SETUP), nullptr, procedure, 0);
    EXPECT_NE(dialog, nullptr) << "CreateDialogParamA failed with " << GetLastError();
    if (dialog != nullptr)
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

namespace {

// The modal run's state: one dialog at a time, on the test's own thread. Steps are
// played from a timer, whose message comes only when no posted message waits: each
// step is played once the dialog has dealt with the one before.
struct ModalRun {
    const std::vector<Step> *steps;
    size_t next;
    DWORD lastStepTime;
    HWND dialog;
    HHOOK hook;
    UINT_PTR timer;
} Run;

constexpr UINT TickMilliseconds = 20;
constexpr DWORD OpenMillisecondsAfterLastStep = 2000;

void CALLBACK PlayNextStep(HWND, UINT, UINT_PTR timer, DWORD)
{
    if (Run.next < Run.steps->size()) {
        ApplyStep(Run.dialog, (*Run.steps)[Run.next++]);
        Run.lastStepTime = GetTickCount();
    } else if (GetTickCount() - Run.lastStepTime > OpenMillisecondsAfterLastStep) {
        KillTimer(nullptr, timer);
        Run.timer = 0;
        EndDialog(Run.dialog, StillOpenResult);
    }
}

LRESULT CALLBACK WatchForActivation(int code, WPARAM wParam, LPARAM lParam)
{
    if (code == HCBT_ACTIVATE && Run.dialog == nullptr) {
        Run.dialog = reinterpret_cast<HWND>(wParam);
        Run.timer = SetTimer(nullptr, 0, TickMilliseconds, PlayNextStep);
    }
    return CallNextHookEx(Run.hook, code, wParam, lParam);
}

}

INT_PTR RunModalSetupDialog(const std::vector<Step> &steps)
{
    Run = {&steps, 0, GetTickCount(), nullptr, nullptr, 0};
    Run.hook = SetWindowsHookExA(WH_CBT, WatchForActivation, nullptr, GetCurrentThreadId());
    EXPECT_NE(Run.hook, nullptr);
    const INT_PTR result = DialogBoxParamA(AppInstance, MAKEINTRESOURCEA(IDD_SETUP), nullptr, SetupDlgProc, 0);
    UnhookWindowsHookEx(Run.hook);
    if (Run.timer != 0)
        KillTimer(nullptr, Run.timer);
    MSG leftover;
    while (PeekMessageA(&leftover, nullptr, WM_TIMER, WM_TIMER, PM_REMOVE)) {
    }
    return result;
}
