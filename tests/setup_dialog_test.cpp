// The dialog procedure on real dialogs built from the program's template: modeless
// ones for what a single message does, modal ones driven with keys and clicks for how
// the dialog ends.
#include "resources/resource_ids.h"
#include "settings/catalogue.h"
#include "tests/support/dialog.h"
#include "tests/support/registry.h"
#include "ui/setup_dialog.h"

#include <gtest/gtest.h>

namespace {

using SetupDialogTest = SandboxedTest;

TEST_F(SetupDialogTest, InitDialogFillsTheBoxesSetsBothIconsAndLeavesTheFocusAlone)
{
    SeedSettings(Dwords({1, 0, 7, 0, 1}));
    const HWND dialog = CreateSetupDialog(SetupDlgProc);
    ASSERT_NE(dialog, nullptr);

    EXPECT_EQ(CheckStates(dialog), (std::vector<int>{1, 0, 1, 0, 1}));
    const LRESULT icon = reinterpret_cast<LRESULT>(LoadIconA(AppInstance, MAKEINTRESOURCEA(IDI_MAIN)));
    ASSERT_NE(icon, 0);
    EXPECT_EQ(SendMessageA(dialog, WM_GETICON, ICON_BIG, 0), icon);
    EXPECT_EQ(SendMessageA(dialog, WM_GETICON, ICON_SMALL, 0), icon);
    // FALSE leaves the focus to the dialog manager; asking again loads the same boxes.
    EXPECT_EQ(SetupDlgProc(dialog, WM_INITDIALOG, 0, 0), FALSE);
    DestroyWindow(dialog);
}

TEST_F(SetupDialogTest, CommandsOtherThanAButtonClickDoNothing)
{
    const struct {
        WORD id, code;
    } ignored[] = {
        {IDOK, BN_DOUBLECLICKED}, {IDOK, BN_SETFOCUS},       {IDCANCEL, BN_DOUBLECLICKED}, {IDCANCEL, BN_KILLFOCUS},
        {IDC_REMOVE_KEYS, 1},     {IDC_REMOVE_KEYS, 0xFFFF}, {FirstSettingId, BN_CLICKED}, {FirstSettingId + 4, BN_CLICKED},
        {4, BN_CLICKED},
    };
    SeedSettings(Dwords({0, 0, 0, 0, 0}));
    const std::vector<std::string> seeded = ListTree(HKEY_CURRENT_USER, Software);
    const HWND dialog = CreateSetupDialog(SetupDlgProc);
    ASSERT_NE(dialog, nullptr);
    // Boxes that differ from the registry, so that a save would show.
    SetCheckStates(dialog, {1, 1, 1, 1, 1});

    for (const auto &command : ignored) {
        SCOPED_TRACE(testing::Message() << "id " << command.id << ", notification " << command.code);
        const LPARAM control = reinterpret_cast<LPARAM>(GetDlgItem(dialog, command.id));
        EXPECT_EQ(SetupDlgProc(dialog, WM_COMMAND, MAKEWPARAM(command.id, command.code), control), FALSE);
        EXPECT_TRUE(IsWindowVisible(dialog)) << "the dialog was ended";
        EXPECT_EQ(ListTree(HKEY_CURRENT_USER, Software), seeded);
    }

    // A real click does end it, and EndDialog hides a modeless dialog: the
    // visibility checks above can see an ended dialog.
    EXPECT_EQ(SetupDlgProc(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0), TRUE);
    EXPECT_FALSE(IsWindowVisible(dialog));
    DestroyWindow(dialog);
}

TEST_F(SetupDialogTest, ThePushButtonsEndTheModalDialogWithTheirIds)
{
    const int firstBox = FirstSettingId;
    const auto saved = [](auto... states) { return ExpectedSettingsTree({states...}, Software); };
    const struct {
        const char *what;
        std::vector<int> stored; // empty: no settings key
        std::vector<Step> steps;
        INT_PTR result;
        std::vector<std::string> after = {}; // below SOFTWARE; empty: as it was before
        std::vector<std::string> otherKeys = {};
    } cases[] = {
        {"Enter on a check box saves and ends with 1", {0, 0, 0, 0, 0}, {Space, Tab, Space, Tab, Enter}, IDOK, saved(1, 1, 0, 0, 0)},
        {"OK on first use creates the keys and saves", {}, {Click(firstBox + 2), Click(IDOK)}, IDOK, saved(0, 0, 1, 0, 0)},
        {"Escape writes nothing", {1, 0, 1, 0, 1}, {Space, Esc}, IDCANCEL},
        {"the close box writes nothing", {1, 0, 1, 0, 1}, {Space, CloseFromCaption}, IDCANCEL},
        {"Cancel after ticking boxes writes nothing", {0, 1, 0, 1, 0}, {Click(firstBox), Click(firstBox + 1), Click(IDCANCEL)}, IDCANCEL},
        {"Remove deletes the settings and the maker's key", {1, 1, 1, 1, 1}, {Click(IDC_REMOVE_KEYS)}, IDC_REMOVE_KEYS, {Software}},
        // The subkey keeps the settings key, so a save before the removal would show.
        {"Remove saves nothing first", {0, 0, 0, 0, 0}, {Space, Click(IDC_REMOVE_KEYS)}, IDC_REMOVE_KEYS, {}, {Settings + "\\Keep"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        DeleteTree(HKEY_CURRENT_USER, Software);
        CreateKey(HKEY_CURRENT_USER, Software);
        if (!c.stored.empty())
            SeedSettings(Dwords(c.stored));
        for (const std::string &key : c.otherKeys)
            CreateKey(HKEY_CURRENT_USER, key);
        const std::vector<std::string> before = ListTree(HKEY_CURRENT_USER, Software);

        EXPECT_EQ(RunModalSetupDialog(c.steps), c.result);
        EXPECT_EQ(ListTree(HKEY_CURRENT_USER, Software), c.after.empty() ? before : c.after);
    }
}

}
