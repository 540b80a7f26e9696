// The platform's dialog manager, common controls and registry, as the program uses
// them: only the 8-bit ("A") functions, which every Windows from NT 4.0 on has.
#ifndef DUSTMARROW_UI_DIALOG_SERVICES_H
#define DUSTMARROW_UI_DIALOG_SERVICES_H

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <commctrl.h>

#endif
