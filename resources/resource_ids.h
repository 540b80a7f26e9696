// Identifiers shared by the resource script and the code. Plain macros, because the
// resource compiler reads this file too.
#ifndef DUSTMARROW_RESOURCE_IDS_H
#define DUSTMARROW_RESOURCE_IDS_H

#define IDD_SETUP 3
// The Setup dialog's caption, by which players and other programs know it.
#define SETUP_DIALOG_CAPTION "Dustmarrow 2.0 Setup"
#define IDI_MAIN 2

// IDOK (1) and IDCANCEL (2) are the platform's own.
#define IDC_REMOVE_KEYS 3

// The settings' check boxes take consecutive ids in catalogue order.
#define IDC_FIRST_SETTING 101

#endif
