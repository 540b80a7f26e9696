// The settings store against a real registry (this process's HKEY_CURRENT_USER,
// redirected into a private key) and a real dialog built from the program's template.
#include "settings/catalogue.h"
#include "settings/store.h"
#include "tests/support/dialog.h"
#include "tests/support/registry.h"

#include <gtest/gtest.h>

namespace {

INT_PTR CALLBACK PassiveDialogProc(HWND, UINT, WPARAM, LPARAM) { return FALSE; }

class StoreTest : public SandboxedTest {
protected:
    ~StoreTest() override { DestroyWindow(dialog); }

    HWND dialog = CreateSetupDialog(PassiveDialogProc);
};

TEST_F(StoreTest, FirstUseTouchesNoBoxThenSaveCreatesTheKeysAndFiveDwords)
{
    const std::vector<int> marker = {1, 0, 1, 0, 1};
    SetCheckStates(dialog, marker);
    LoadSettings(dialog);
    EXPECT_EQ(CheckStates(dialog), marker) << "no settings key: no box may change";
    EXPECT_EQ(ListTree(HKEY_CURRENT_USER, ""), std::vector<std::string>{}) << "loading must create nothing";

    EXPECT_EQ(SaveSettings(dialog), ERROR_SUCCESS);
    EXPECT_EQ(ListTree(HKEY_CURRENT_USER, Maker), ExpectedSettingsTree(marker, Maker));
}

TEST_F(StoreTest, LoadShowsEachStoredValueByItsOwnBytesAndSaveWritesItBackAsZeroOrOne)
{
    const struct {
        const char *what;
        std::vector<StoredValue> values;
        std::vector<int> shown;
    } cases[] = {
        {"dwords", {Dword(7), Dword(0), Dword(1), Dword(0xFFFFFFFF), Dword(0)}, {1, 0, 1, 1, 0}},
        {"four bytes of other types",
         {Binary(0, 0, 0, 0), Binary(0, 0, 0, 1), Of(REG_NONE, {0, 0, 0, 0}), Of(REG_DWORD_BIG_ENDIAN, {0, 0, 0, 1}),
          Of(REG_SZ, {0, 0, 0, 0})},
         {0, 1, 0, 1, 0}},
        {"missing and over-long values after checked ones",
         {Dword(1), Missing, Dword(1), Binary(1, 1, 1, 1, 1, 1, 1, 1), Missing},
         {1, 0, 1, 0, 0}},
        {"the first value missing", {Missing, Dword(1), Missing, Missing, Dword(1)}, {0, 1, 0, 0, 1}},
        {"short data counts by the bytes it has", {Binary(1), Binary(), Binary(0, 0, 1), Binary(0), Of(REG_NONE, {})}, {1, 0, 1, 0, 0}},
        {"strings", {String("1"), String(""), String("a string longer than four bytes"), Missing, String("x")}, {1, 0, 0, 0, 1}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        DeleteTree(HKEY_CURRENT_USER, Software);
        SeedSettings(c.values);
        // Every box starts opposite to what it should show, so each must be set.
        std::vector<int> opposite;
        for (int state : c.shown)
            opposite.push_back(!state);
        SetCheckStates(dialog, opposite);

        LoadSettings(dialog);
        EXPECT_EQ(CheckStates(dialog), c.shown);
        EXPECT_EQ(SaveSettings(dialog), ERROR_SUCCESS);
        EXPECT_EQ(ListTree(HKEY_CURRENT_USER, Settings), ExpectedSettingsTree(c.shown));
    }
}

TEST_F(StoreTest, SaveCountsAnIndeterminateBoxAsChecked)
{
    SendDlgItemMessageA(dialog, FirstSettingId + 2, BM_SETSTYLE, BS_AUTO3STATE, FALSE);
    SetCheckStates(dialog, {0, 1, BST_INDETERMINATE, 0, 0});
    ASSERT_EQ(CheckStates(dialog), (std::vector<int>{0, 1, BST_INDETERMINATE, 0, 0}));

    EXPECT_EQ(SaveSettings(dialog), ERROR_SUCCESS);
    EXPECT_EQ(ListTree(HKEY_CURRENT_USER, Settings), ExpectedSettingsTree({0, 1, 1, 0, 0}));
}

TEST_F(StoreTest, SaveToAKeyThatMayOnlyBeReadWritesNothingAndSaysWhy)
{
    SeedSettings(Dwords({0, 0, 0, 0, 0}));
    AllowOnlyReading(HKEY_CURRENT_USER, Settings);
    const std::vector<std::string> before = ListTree(HKEY_CURRENT_USER, Software);
    SetCheckStates(dialog, {1, 1, 1, 1, 1});

    EXPECT_EQ(SaveSettings(dialog), ERROR_ACCESS_DENIED);
    EXPECT_EQ(ListTree(HKEY_CURRENT_USER, Software), before);
}

TEST_F(StoreTest, RemovalDeletesTheSettingsKeyAndTheMakersKeyOnlyWhenNothingIsLeftInIt)
{
    // A seed "Key" is a key; "Key:Name" is a REG_DWORD 1 named Name in it, listed as
    // "Key:Name=4:01 00 00 00".
    const std::string Stored = Settings + ":" + SettingNames[0], Other = Maker + "\\Other", Elsewhere = Software + "\\Elsewhere";
    const std::string One = "=4:01 00 00 00", Profiles = Settings + "\\Profiles";
    const struct {
        const char *what;
        std::vector<std::string> seed;
        std::vector<std::string> left; // every key and value left in the sandbox, as ListTree lists them
        const char *keyPath = nullptr; // nullptr: the program's own settings key
    } cases[] = {
        {"settings and the then empty maker's key go; SOFTWARE stays", {Stored, Settings + ":Foreign"}, {Software}},
        {"a sibling product keeps the maker's key", {Stored, Other + ":Level"}, {Software, Maker, Other, Other + ":Level" + One}},
        {"the maker's own value keeps the maker's key", {Stored, Maker + ":InstallDir"}, {Software, Maker, Maker + ":InstallDir" + One}},
        {"the maker's default value keeps the maker's key", {Stored, Maker + ":"}, {Software, Maker, Maker + ":" + One}},
        {"settings key already gone, empty maker's key goes", {Maker}, {Software}},
        {"a subkey keeps the settings key and so the maker's key", {Stored, Profiles}, {Software, Maker, Settings, Stored + One, Profiles}},
        {"nothing there: nothing is created", {}, {}},
        {"other software beside the maker is not touched", {Stored, Elsewhere + ":Kept"}, {Software, Elsewhere, Elsewhere + ":Kept" + One}},
        {"a path without a parent goes alone", {"Solo:Value", "Beside"}, {"Beside"}, "Solo"},
        {"a one-letter key beside a path without a parent stays", {"Solo:Value", "S"}, {"S"}, "Solo"},
        {"a deeper path goes up one level only", {"A\\B\\C:Value"}, {"A"}, "A\\B\\C"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        for (const char *top : {"SOFTWARE", "Solo", "Beside", "S", "A"})
            DeleteTree(HKEY_CURRENT_USER, top);
        for (const std::string &entry : c.seed) {
            const size_t colon = entry.find(':');
            SetValue(HKEY_CURRENT_USER, entry.substr(0, colon), colon == std::string::npos ? nullptr : &entry[colon + 1], REG_DWORD,
                     DwordBytes(1));
        }

        c.keyPath == nullptr ? RemoveSettings() : RemoveKeyAndEmptyParent(c.keyPath);
        EXPECT_EQ(ListTree(HKEY_CURRENT_USER, ""), c.left);
    }
}

}
