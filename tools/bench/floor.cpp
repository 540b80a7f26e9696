// The start-up floor: the Setup dialog's own template, shown and nothing more (no
// registry, no icon), so the benchmark can tell what the program's work costs. Built
// without a runtime like the program, and once with MinGW's default runtime to show
// what that adds.
#include "resources/resource_ids.h"

#include <windows.h>
#include <commctrl.h>

namespace {

INT_PTR CALLBACK FloorDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    const bool ends = message == WM_COMMAND && HIWORD(wParam) == BN_CLICKED && (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL);
    if (ends)
        EndDialog(dialog, LOWORD(wParam));
    return ends;
}

}

// Without a runtime nothing ends the process after the entry, so each build ends it here.
#ifdef FLOOR_WITH_RUNTIME
int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
#else
extern "C" void WinMainCRTStartup()
#endif
{
    InitCommonControls();
    DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_SETUP), nullptr, FloorDlgProc, 0);
    ExitProcess(0);
}
