// The real program, end to end, as a player uses it: started, driven with keys, ended,
// and the registry read afterwards. It runs only in the suite's own Wine prefix.
#include "resources/resource_ids.h"
#include "settings/catalogue.h"
#include "tests/support/program.h"
#include "tests/support/registry.h"

#include <gtest/gtest.h>

namespace {

using ProgramTest = EndToEndTest;
INSTANTIATE_TEST_SUITE_P(Windows, ProgramTest, testing::ValuesIn(EndToEndSubjects()), SubjectName);

TEST_P(ProgramTest, APlayerSeesTheStoredSettingsAndEndsTheDialogWithKeys)
{
    const auto saved = [](auto... states) { return ExpectedSettingsTree({states...}, Maker); };
    const struct {
        const char *what;
        std::vector<int> stored; // empty: no settings key
        std::vector<Step> steps;
        bool unchanged;
        std::vector<std::string> after = {}; // the maker's key afterwards, unless unchanged
    } cases[] = {
        {"Space toggles the focused boxes, Enter on a box saves", {1, 0, 7, 0, 1}, {Space, Tab, Space, Enter}, false, saved(0, 1, 1, 0, 1)},
        {"first use: Enter creates the keys and writes all five", {}, {Enter}, false, saved(0, 0, 0, 0, 0)},
        {"Escape writes nothing", {0, 1, 0, 1, 0}, {Space, Esc}, true},
        {"Escape on first use creates nothing", {}, {Space, Esc}, true},
        {"the caption's close command writes nothing", {1, 1, 0, 0, 1}, {Space, CloseFromCaption}, true},
        {"Space on Remove Registry Keys removes them", {1, 1, 1, 1, 1}, {Tab, Tab, Tab, Tab, Tab, Tab, Tab, Space}, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        DeleteTree(HKEY_CURRENT_USER, Maker);
        if (!c.stored.empty())
            SeedSettings(Dwords(c.stored));
        const std::vector<std::string> before = ListTree(HKEY_CURRENT_USER, Maker);

        RunningDialog program = StartProgram(GetParam());
        ASSERT_NE(program.dialog, nullptr);
        std::vector<int> shown;
        for (int stored : c.stored.empty() ? std::vector<int>(SettingCount, 0) : c.stored)
            shown.push_back(stored != 0);
        EXPECT_EQ(CheckStates(program.dialog), shown);
        Play(program, c.steps);
        EXPECT_EQ(WaitForEnd(program), 0u) << "the program must end, and end cleanly";

        EXPECT_EQ(ListTree(HKEY_CURRENT_USER, Maker), c.unchanged ? before : c.after);
    }
}

TEST_P(ProgramTest, TabGoesThroughTheBoxesThenOkCancelAndRemove)
{
    RunningDialog program = StartProgram(GetParam());
    ASSERT_NE(program.dialog, nullptr);
    std::vector<int> focus = {FocusedControlId(program.dialog)};
    for (int i = 0; i < 8; ++i) {
        Play(program, {Tab});
        focus.push_back(FocusedControlId(program.dialog));
    }
    Play(program, {Esc});
    EXPECT_EQ(WaitForEnd(program), 0u);
    EXPECT_EQ(focus, (std::vector<int>{101, 102, 103, 104, 105, IDOK, IDCANCEL, IDC_REMOVE_KEYS, 101}));
}

TEST_P(ProgramTest, OpensCentredWithACloseBoxAndNoMinimiseOrMaximiseBox)
{
    RunningDialog program = StartProgram(GetParam());
    ASSERT_NE(program.dialog, nullptr);
    RECT window, workArea;
    GetWindowRect(program.dialog, &window);
    SystemParametersInfoA(SPI_GETWORKAREA, 0, &workArea, 0);
    const LONG style = GetWindowLongA(program.dialog, GWL_STYLE);
    Play(program, {Esc});
    EXPECT_EQ(WaitForEnd(program), 0u);

    EXPECT_NEAR((window.left + window.right) / 2.0, (workArea.left + workArea.right) / 2.0, 2);
    EXPECT_NEAR((window.top + window.bottom) / 2.0, (workArea.top + workArea.bottom) / 2.0, 2);
    EXPECT_EQ(style & (WS_CAPTION | WS_SYSMENU), WS_CAPTION | WS_SYSMENU);
    EXPECT_EQ(style & (WS_MINIMIZEBOX | WS_MAXIMIZEBOX), 0);
}

}
