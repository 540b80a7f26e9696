// The Setup dialog: five check boxes for the game's settings, and OK, Cancel and
// "Remove Registry Keys".
#ifndef DUSTMARROW_UI_SETUP_DIALOG_H
#define DUSTMARROW_UI_SETUP_DIALOG_H

#include "ui/dialog_services.h"

// The program's own module: it holds the dialog template and the icon. Set once at
// start, before the dialog is created.
extern HINSTANCE AppInstance; // NOLINT(bugprone-dynamic-static-initializers): a declaration; clang-tidy 14 takes it for a definition

// Fills the check boxes when the dialog opens; OK saves and ends the dialog with 1,
// Cancel ends it with 2, "Remove Registry Keys" removes the settings and ends it with 3.
INT_PTR CALLBACK SetupDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

#endif
