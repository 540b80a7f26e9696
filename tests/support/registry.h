// Registry helpers for the tests: seeding keys and values, and listing a whole key
// tree so that a test can compare what is there with what should be.
#ifndef DUSTMARROW_TESTS_REGISTRY_H
#define DUSTMARROW_TESTS_REGISTRY_H

#include "tests/support/keys.h"

#include <gtest/gtest.h>

// The keys the program works in, under HKEY_CURRENT_USER, and the names of its five
// values in the order of the boxes: as the game reads them, written out here alone, so
// that a name the program spells otherwise fails the tests.
inline const std::string Software = "SOFTWARE", Maker = Software + "\\Quorvanta", Settings = Maker + "\\Dustmarrow";
inline constexpr const char *SettingNames[] = {"EnableSkipCutscenes", "WindowFullScreen", "FixAspectRatio", "SwitchResolutions",
                                               "SmoothGraphics"};
// This process's private HKEY_CURRENT_USER, for the in-process tests.
inline std::string SandboxPath() { return Narrow(SandboxOf(GetCurrentProcessId())); }

using Bytes = std::vector<BYTE>;
inline Bytes DwordBytes(DWORD value) { return {BYTE(value), BYTE(value >> 8), BYTE(value >> 16), BYTE(value >> 24)}; }

// One setting as a test stores it: a value of any type and data, or none at all.
struct StoredValue {
    bool present;
    DWORD type;
    Bytes data;
};
inline const StoredValue Missing = {false, REG_NONE, {}};
inline StoredValue Of(DWORD type, const Bytes &data) { return {true, type, data}; }
inline StoredValue Dword(DWORD value) { return Of(REG_DWORD, DwordBytes(value)); }
template <typename... Byte> StoredValue Binary(Byte... bytes) { return Of(REG_BINARY, {BYTE(bytes)...}); }
inline StoredValue String(const std::string &text) { return Of(REG_SZ, Bytes(text.c_str(), text.c_str() + text.size() + 1)); }
inline std::vector<StoredValue> Dwords(const std::vector<int> &states)
{
    std::vector<StoredValue> values;
    for (int state : states)
        values.push_back(Dword(DWORD(state)));
    return values;
}
// Creates the settings key and stores the five settings in catalogue order.
void SeedSettings(const std::vector<StoredValue> &values);

// Creates the key, with any missing parents, and, given a name, stores that value in it.
void SetValue(HKEY root, const std::string &path, const char *name, DWORD type, const Bytes &data, DWORD options = 0);
inline void CreateKey(HKEY root, const std::string &path) { SetValue(root, path, nullptr, REG_NONE, {}); }
// Deletes the key and all below it, links and read-only keys included, never following a link.
void DeleteTree(HKEY root, const std::string &path);
// Sets the key's access from its SDDL. AllowOnlyReading leaves everyone only read access,
// as an administrator or another program might (Wine enforces it while its server runs),
// and checks that writing is refused.
void SetAccess(HKEY root, const std::string &path, const char *sddl);
void AllowOnlyReading(HKEY root, const std::string &path);
// Makes path a registry link to `target`, a path below the real HKEY_CURRENT_USER. One
// that points at itself is what a broken program might leave: every ordinary open of it
// fails, though it exists.
void CreateLink(HKEY root, const std::string &path, const std::string &target);
inline void CreateSelfLink(HKEY root, const std::string &path) { CreateLink(root, path, path); }

// What ListTree shows of each key after its path, when asked: its security as SDDL
// (owner, group and access), its class's UTF-16 bytes, and whether it is volatile
// (found by making a lasting subkey, which goes again); and each value's name as its
// UTF-16 bytes, NULs and all, rather than as text.
inline constexpr unsigned KeySecurity = 1, KeyClass = 2, KeyVolatility = 4, ExactValueNames = 8;
// One line per key ("A\B") and per value ("A\B:Name=type:hex bytes", as the registry
// keeps them: text in UTF-16), in a fixed order, for every key at and below path; a key
// that exists but cannot be opened is a line of its own ("A\B cannot be opened: error
// N"). A link is listed as a key, never followed. Empty when path does not exist; an
// empty path lists every key below root. The keys whose paths are `skipped` (in any
// case) are left out, with all below them.
std::vector<std::string> ListTree(HKEY root, const std::string &path, unsigned details = 0, const std::vector<std::string> &skipped = {});
// The tree ListTree shows from `top` (the settings key or a key above it) when it holds
// nothing but the five settings as the program writes them: REG_DWORD 0 or 1.
std::vector<std::string> ExpectedSettingsTree(const std::vector<int> &states, const std::string &top = Settings);

// For in-process tests: redirects this process's HKEY_CURRENT_USER into a new, empty
// private key before each test, and deletes that key afterwards. A sandbox that cannot
// be made, or does not hold, stops the test before its body touches the registry.
class SandboxedTest : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

private:
    HKEY sandbox_ = nullptr;
};

#endif
