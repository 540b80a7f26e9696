// The program's entry. There is no C or C++ runtime to start: the linker's default
// entry for a GUI program is this function, and the dialog manager's modal loop is
// the only loop the program has.
#include "resources/resource_ids.h"
#include "ui/setup_dialog.h"

extern "C" void WinMainCRTStartup()
{
    AppInstance = GetModuleHandleA(nullptr);
    InitCommonControls();
    DialogBoxParamA(AppInstance, MAKEINTRESOURCEA(IDD_SETUP), nullptr, SetupDlgProc, 0);
    ExitProcess(0);
}
