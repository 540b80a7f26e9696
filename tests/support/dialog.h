// Drives the Setup dialog the way a player does: keys to the focused control, clicks
// on buttons, the caption's close command.
#ifndef DUSTMARROW_TESTS_DIALOG_H
#define DUSTMARROW_TESTS_DIALOG_H

#include <windows.h>

#include <ostream>
#include <vector>

struct Step {
    enum Kind { Key, Click, Close } kind;
    int code; // the virtual key for Key, the control id for Click
};
inline Step PressKey(int virtualKey) { return {Step::Key, virtualKey}; }
inline Step ClickButton(int controlId) { return {Step::Click, controlId}; }
inline Step CloseFromCaption() { return {Step::Close, 0}; }
std::ostream &operator<<(std::ostream &out, const Step &step);

// Carries out one step on a dialog of this process or of another: keys go to the
// control that has the focus in the dialog's thread, as the keyboard's would.
void ApplyStep(HWND dialog, const Step &step);

// The id of the control that has the focus in the dialog's thread, or 0.
int FocusedControlId(HWND dialog);

// A modeless Setup dialog from the real template, shown without taking the activation
// from other windows, with the given procedure.
HWND CreateSetupDialog(DLGPROC procedure);

std::vector<int> CheckStates(HWND dialog);
void SetCheckStates(HWND dialog, const std::vector<int> &states);

// Runs the Setup dialog modally with its real procedure, plays the steps one at a
// time once it is active, and returns what DialogBoxParamA returned. A dialog still
// open two seconds after the last step is ended with StillOpenResult.
constexpr INT_PTR StillOpenResult = 0x5717;
INT_PTR RunModalSetupDialog(const std::vector<Step> &steps);

#endif
