// The keys that the end-to-end tests change in HKEY_CURRENT_USER, set aside for a run by
// renaming each to a sibling that says so (or making an empty sibling that says there was
// none), and renamed back after it: a rename copies nothing, so links, volatile keys,
// class names, security, every value's bytes and the handles that a running program
// holds all stay as they are. Every step can be taken again, so a run stopped at any
// point is finished by the next run of any kit, from any folder.
#ifndef DUSTMARROW_TOOLS_KIT_SAVED_KEY_H
#define DUSTMARROW_TOOLS_KIT_SAVED_KEY_H

#include "tests/support/keys.h"

#include <string>

// A key the tests change: its parent below HKEY_CURRENT_USER, and its name.
struct KitKey {
    const wchar_t *parent, *name;
};
// The maker's key, and Wine's settings for programs of the program's file name (a
// Linux player's Windows version and DLL choices for it).
inline constexpr KitKey KitKeys[] = {{L"SOFTWARE", L"Quorvanta"}, {L"Software\\Wine\\AppDefaults", L"DustmarrowSetup.exe"}};

// The siblings that the kit names after a key: where the key waits during a run, the
// empty key that says there was none, the empty key there for the moment of setting a
// key aside, and what the tests left, set aside before it is deleted.
inline std::wstring SavedName(const KitKey &key) { return key.name + std::wstring(L" (saved by DustmarrowSetupTests)"); }
inline std::wstring AbsentName(const KitKey &key) { return key.name + std::wstring(L" (absent before DustmarrowSetupTests ran)"); }
inline std::wstring FenceName(const KitKey &key) { return key.name + std::wstring(L" (being saved by DustmarrowSetupTests)"); }
inline std::wstring LeftName(const KitKey &key) { return key.name + std::wstring(L" (left by the tests of DustmarrowSetupTests)"); }

// The kit's own key, for its note and the in-process tests' sandboxes.
inline constexpr const wchar_t *KitOwnKey = SandboxRoot;
inline constexpr wchar_t NoteName[] = L"TestsMayChangeKeysUntil";

// Notes that this run may change the keys during the next `milliseconds`. A later run
// takes what is under a key's name for the tests' leftovers only when nothing in it was
// written after the time noted: settings written later are never taken for the tests'.
bool NoteChangesFor(DWORD milliseconds);
inline constexpr DWORD NoteMilliseconds = 5000;

struct PutBack {
    bool done;       // every key is as it was before the run
    int keysBack;    // how many keys a run had set aside
    std::string why; // when not done: one line, what stops it and what to do
};
// Brings every saved key back, or deletes the sign that there was none, and deletes
// what the tests left; then forgets the note. What it cannot trust (two signs for one
// key, a sign that is not as the kit left it, a key written after the run stopped) it
// leaves exactly as it is.
PutBack PutBackKeys();

// Sets every key aside for a run. Empty when done; otherwise one line that says why
// not, and no key is left aside.
std::string SetKeysAside();

// Whether the maker's key is set aside, so that the tests may change it.
bool KeysAreAside();

#endif
