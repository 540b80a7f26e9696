// Moves the settings between the registry and the dialog's check boxes. Every
// operation opens what it needs and closes it again; nothing is kept between them.
#ifndef DUSTMARROW_SETTINGS_STORE_H
#define DUSTMARROW_SETTINGS_STORE_H

#include "ui/dialog_services.h"

// Sets each check box from its stored value; a box whose value is missing or
// unreadable is left unchecked, and without the settings key no box is touched.
void LoadSettings(HWND dialog);

// Writes all five values from the check boxes, creating the key if need be.
// Returns the platform error of opening, creating or closing the key (0 on success).
LONG SaveSettings(HWND dialog);

// Deletes the settings key unless it has a subkey, then the maker's key above it if
// nothing is left in it.
void RemoveSettings();

// RemoveSettings for any key path under HKEY_CURRENT_USER: deletes the key with its
// values when it has no subkey, then its parent (one level up, never further) when
// the parent holds no subkey and no value.
void RemoveKeyAndEmptyParent(const char *keyPath);

#endif
