#include "ui/setup_dialog.h"

#include "resources/resource_ids.h"
#include "settings/store.h"

HINSTANCE AppInstance;

namespace {

// Icons loaded by LoadIcon are shared by the system and never destroyed.
void SetDialogIcons(HWND dialog)
{
    SendMessageA(dialog, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(LoadIconA(AppInstance, MAKEINTRESOURCEA(IDI_MAIN))));
    SendMessageA(dialog, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(LoadIconA(AppInstance, MAKEINTRESOURCEA(IDI_MAIN))));
}

// Carries out a click on one of the push buttons; the dialog's result is the
// button's id. The check boxes tick themselves, so their clicks go unhandled.
BOOL OnButtonClicked(HWND dialog, WORD controlId)
{
    switch (controlId) {
    case IDOK:
        SaveSettings(dialog);
        break;
    case IDCANCEL:
        break;
    case IDC_REMOVE_KEYS:
        RemoveSettings();
        break;
    default:
        return FALSE;
    }
    EndDialog(dialog, controlId);
    return TRUE;
}

}

INT_PTR CALLBACK SetupDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG:
        SetDialogIcons(dialog);
        LoadSettings(dialog);
        // FALSE: the program sets no focus of its own; the dialog manager gives it to
        // the first check box.
        return FALSE;
    case WM_COMMAND:
        if (HIWORD(wParam) == BN_CLICKED)
            return OnButtonClicked(dialog, LOWORD(wParam));
        break;
    }
    return FALSE;
}
