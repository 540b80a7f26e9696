// Drives the Setup dialog the way a player does, from outside it: keys to the focused
// control, clicks on buttons, the caption's close command; each step is played only
// once the one before it has visibly taken effect.
#ifndef DUSTMARROW_TESTS_DIALOG_H
#define DUSTMARROW_TESTS_DIALOG_H

#include "tools/find_dialog.h"

#include <ostream>
#include <vector>

struct Step {
    enum Kind { Key, Click, Close } kind;
    int code; // the virtual key for Key, the control id for Click
};
inline Step Click(int controlId) { return {Step::Click, controlId}; }
// The keys as a keyboard names them.
inline const Step Space{Step::Key, VK_SPACE}, Tab{Step::Key, VK_TAB}, Enter{Step::Key, VK_RETURN}, Esc{Step::Key, VK_ESCAPE};
inline const Step CloseFromCaption{Step::Close, 0};
inline std::ostream &operator<<(std::ostream &out, const Step &step)
{
    return step.kind == Step::Close ? out << "close from the caption" : out << (step.kind == Step::Key ? "key " : "click on ") << step.code;
}

inline int FocusedControlId(HWND dialog) { return GetDlgCtrlID(FocusedWindow(dialog)); }
// A modeless Setup dialog from the real template, with the given procedure, shown
// without taking the activation from other windows.
HWND CreateSetupDialog(DLGPROC procedure);
std::vector<int> CheckStates(HWND dialog);
void SetCheckStates(HWND dialog, const std::vector<int> &states);

// A modal Setup dialog running on its own: the real program in its own process, or
// the dialog's real procedure on a thread of this one.
struct RunningDialog {
    HANDLE runner;  // the process or the thread; signalled when it ends
    DWORD threadId; // the thread, or 0 for a process
    HWND dialog;    // once ready; nullptr when none became ready in time
    // The five boxes, looked up once the dialog is ready. Looking a control up by its
    // id lists the dialog's children, and Wine 10's server, asked for that list while
    // the dialog's own thread destroys them, loops for ever and stalls every process.
    std::vector<HWND> boxes;
};

// Waits until the runner's dialog is visible and a control has the focus; one not
// ready in time fails the test, and its runner is ended.
void WaitUntilReady(RunningDialog &running, DWORD processId, DWORD milliseconds);
// Plays each step once the dialog shows the one before it done: the focus moved, a box
// changed, or the dialog ended. A step that shows nothing in time fails the test, ends
// the runner and skips the rest.
void Play(RunningDialog &running, const std::vector<Step> &steps);
// Waits for the runner to end and returns its exit code (a thread's is what
// DialogBoxParamA returned), or STILL_ACTIVE after ending one that did not end in time.
DWORD WaitForEnd(RunningDialog &running);
// Runs the Setup dialog modally with its real procedure on a thread of its own, plays
// the steps, and returns what DialogBoxParamA returned.
INT_PTR RunModalSetupDialog(const std::vector<Step> &steps);

#endif
