// The real program against whatever people and other programs leave in the registry:
// it must show a definite state, end cleanly, write nothing but REG_DWORD 0 or 1 under
// its own five names, and change nothing outside its own key (the maker's key aside,
// when removal leaves it empty). Runs only in the suite's own Wine prefix.
#include "resources/resource_ids.h"
#include "tests/support/program.h"
#include "tests/support/registry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <set>
#include <tuple>

namespace {

using Lines = std::set<std::string>;

Lines Listed(const std::string &path, const std::vector<std::string> &skipped = {})
{
    const std::vector<std::string> lines = ListTree(HKEY_CURRENT_USER, path, 0, skipped);
    return Lines(lines.begin(), lines.end());
}

// Everything in HKEY_CURRENT_USER but the maker's key, Wine's own key, where Wine
// keeps notes of its own as any program starts, and the sandboxes of in-process tests
// that may run meanwhile, which are never walked into: their keys change as it reads.
Lines Elsewhere() { return Listed("", {Maker, "Software\\Wine", Narrow(SandboxRoot)}); }

// The lines only one side has, marked "-" for before and "+" for after.
Lines Changes(const Lines &before, const Lines &after)
{
    Lines changes;
    for (const auto &[mark, one, other] : {std::tuple{'-', &before, &after}, std::tuple{'+', &after, &before}})
        for (const std::string &line : *one)
            if (!other->count(line))
                changes.insert(mark + line);
    return changes;
}

// What a save leaves: the keys, the five values as REG_DWORD 0 or 1, and every value
// that was not the program's untouched.
Lines AfterSave(const Lines &before, const std::vector<int> &shown)
{
    const std::vector<std::string> saved = ExpectedSettingsTree(shown, Maker);
    Lines after(saved.begin(), saved.end());
    for (const std::string &line : before)
        if (std::none_of(std::begin(SettingNames), std::end(SettingNames),
                         [&](const char *name) { return line.rfind(Settings + ":" + name + "=", 0) == 0; }))
            after.insert(line);
    return after;
}

using HostileRegistryTest = EndToEndTest;
INSTANTIATE_TEST_SUITE_P(Windows, HostileRegistryTest, testing::ValuesIn(EndToEndSubjects()), SubjectName);

TEST_P(HostileRegistryTest, AnythingLeftInTheRegistryShowsAsADefiniteStateAndIsWrittenBackCleanly)
{
    const std::vector<int> all = {1, 1, 1, 1, 1};
    const int OK = IDOK, Remove = IDC_REMOVE_KEYS;
    const auto Qword = [](BYTE low) { return Of(REG_QWORD, {low, 0, 0, 0, 0, 0, 0, 0}); };
    const auto hundredsOfForeignValues = [] {
        for (DWORD i = 0; i < 300; ++i)
            SetValue(HKEY_CURRENT_USER, Settings, ("Foreign" + std::to_string(i)).c_str(), i % 2 ? REG_SZ : REG_DWORD, DwordBytes(i + 1));
        SetValue(HKEY_CURRENT_USER, Settings, "", REG_SZ, {'d', 'e', 'f', 0});
    };
    const auto readOnlySettings = [] { AllowOnlyReading(HKEY_CURRENT_USER, Settings); };
    const auto selfLink = [] { CreateSelfLink(HKEY_CURRENT_USER, Settings); };
    const auto ownValue = [] { SetValue(HKEY_CURRENT_USER, Maker, "InstallDir", REG_SZ, {'C', 0}); };
    const auto anotherGame = [] { CreateKey(HKEY_CURRENT_USER, Maker + "\\Other Game"); };
    const auto settingsWithSubkey = [] { CreateKey(HKEY_CURRENT_USER, Settings + "\\Profiles"); };

    enum Outcome { Saved, Unchanged, Exactly };
    const struct {
        const char *what;
        std::vector<StoredValue> stored; // empty: no settings key
        std::vector<int> shown;
        int button = IDOK;
        Outcome outcome = Saved;
        std::function<void()> andThen = nullptr; // more to leave in the registry, if any
        Lines exactly = {};                      // the maker's key afterwards, for Outcome Exactly
    } cases[] = {
        {"REG_DWORD 0, 1, 7, 0xFFFFFFFF, missing", {Dword(0), Dword(1), Dword(7), Dword(0xFFFFFFFF), Missing}, {0, 1, 1, 1, 0}},
        {"REG_BINARY of 1, 0, 2, 3 and 4 bytes", {Binary(1), Binary(), Binary(0, 0), Binary(0, 0, 3), Binary(0, 0, 0, 0)}, {1, 0, 0, 1, 0}},
        {"REG_BINARY of 8 bytes, REG_QWORD, REG_NONE with no data",
         {Binary(1, 0, 0, 0, 0, 0, 0, 0), Qword(1), Of(REG_NONE, {}), Binary(0, 0, 0, 9), Qword(0)},
         {0, 0, 0, 1, 0}},
        {"REG_SZ short and long", {String("1"), String(""), String("a long string of text"), String("0"), String("yes")}, {1, 0, 0, 1, 1}},
        {"a value missing before and after a checked one", {Missing, Dword(1), Missing, Dword(1), Missing}, {0, 1, 0, 1, 0}},
        {"hundreds of foreign values", Dwords({1, 0, 1, 0, 1}), {1, 0, 1, 0, 1}, OK, Saved, hundredsOfForeignValues},
        {"a settings key that may only be read", Dwords({1, 0, 7, 0, 1}), {1, 0, 1, 0, 1}, OK, Unchanged, readOnlySettings},
        {"a settings key that cannot be opened: OK", {}, {0, 0, 0, 0, 0}, OK, Unchanged, selfLink},
        {"a settings key that cannot be opened: Remove", {}, {0, 0, 0, 0, 0}, Remove, Unchanged, selfLink},
        {"removal beside the maker's own value", Dwords(all), all, Remove, Exactly, ownValue, {Maker, Maker + ":InstallDir=1:43 00 00 00"}},
        {"removal beside another game", Dwords(all), all, Remove, Exactly, anotherGame, {Maker, Maker + "\\Other Game"}},
        {"removal of a settings key with a subkey", Dwords({1, 0, 0, 0, 0}), {1, 0, 0, 0, 0}, Remove, Unchanged, settingsWithSubkey},
    };

    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        DeleteTree(HKEY_CURRENT_USER, Maker);
        if (!c.stored.empty())
            SeedSettings(c.stored);
        if (c.andThen)
            c.andThen();
        const Lines before = Listed(Maker);
        const Lines outside = Elsewhere();

        RunningDialog program = StartProgram(GetParam());
        ASSERT_NE(program.dialog, nullptr);
        EXPECT_EQ(CheckStates(program.dialog), c.shown);
        int children = 0;
        for (HWND child = GetWindow(program.dialog, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT))
            ++children;
        EXPECT_EQ(children, 8) << "the five boxes and three buttons, nothing more";
        Play(program, {Click(c.button)});
        EXPECT_EQ(WaitForEnd(program), 0u) << "the program must end, and end cleanly";

        EXPECT_EQ(Listed(Maker), c.outcome == Saved ? AfterSave(before, c.shown) : c.outcome == Unchanged ? before : c.exactly);
        EXPECT_EQ(Changes(outside, Elsewhere()), Lines{}) << "outside the maker's key";
    }
}

}
