// The one table of the game's settings: registry value, check box and label.
#ifndef DUSTMARROW_SETTINGS_CATALOGUE_H
#define DUSTMARROW_SETTINGS_CATALOGUE_H

#include "resources/resource_ids.h"

// The labels are macros so that the dialog template can place them as well.
#define SETTING_LABEL_0 "Enable skip cutscenes"
#define SETTING_LABEL_1 "Fullscreen"
#define SETTING_LABEL_2 "Correct Aspect Ratio"
#define SETTING_LABEL_3 "Switch Resolution to 640x480"
#define SETTING_LABEL_4 "Graphics Smoothing"

#ifndef RC_INVOKED

// Relative to HKEY_CURRENT_USER; the game reads its settings from here.
constexpr char SettingsKeyPath[] = "SOFTWARE\\Quorvanta\\Dustmarrow";

constexpr int SettingCount = 5;

// The check box of the setting with index i has the id FirstSettingId + i.
constexpr int FirstSettingId = IDC_FIRST_SETTING;

// REG_DWORD values, 1 when the box is checked and 0 when it is not.
constexpr const char *SettingValueNames[SettingCount] = {
    "EnableSkipCutscenes", "WindowFullScreen", "FixAspectRatio", "SwitchResolutions", "SmoothGraphics",
};

constexpr const char *SettingLabels[SettingCount] = {
    SETTING_LABEL_0, SETTING_LABEL_1, SETTING_LABEL_2, SETTING_LABEL_3, SETTING_LABEL_4,
};

#endif
#endif
