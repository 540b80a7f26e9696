// The keys that the end-to-end tests change in HKEY_CURRENT_USER, set aside for a run
// and brought back after it as the very same keys.
//
// Before the first test the kit renames each key to a sibling whose name says that the
// kit saved it or, where there was no key, makes an empty sibling that says so. A rename
// copies nothing: links, volatile keys, class names, security, every value's exact
// bytes and the handles that a running program holds all stay as they are. After the
// last test the kit deletes whatever the tests left under the key's own name and
// renames the saved key back. Every step can be taken again, so a run stopped at any
// point is finished by the next run of any kit, from any folder: the state is the
// user's registry, not a file.
#ifndef DUSTMARROW_TOOLS_KIT_SAVED_KEY_H
#define DUSTMARROW_TOOLS_KIT_SAVED_KEY_H

#include "tests/support/keys.h"

#include <string>

// A key the tests change: its parent below HKEY_CURRENT_USER, and its name.
struct KitKey {
    const wchar_t *parent;
    const wchar_t *name;
};
// The maker's key, and Wine's settings for programs of the program's file name (a
// Linux player's Windows version and DLL choices for it).
inline constexpr KitKey KitKeys[] = {{L"SOFTWARE", L"Quorvanta"}, {L"Software\\Wine\\AppDefaults", L"DustmarrowSetup.exe"}};

// The siblings that the kit names after a key: where the key waits during a run, the
// empty key that says there was none, the empty key there for the moment of setting a
// key aside, and what the tests left, set aside before it is deleted.
std::wstring SavedName(const KitKey &key);
std::wstring AbsentName(const KitKey &key);
std::wstring FenceName(const KitKey &key);
std::wstring LeftName(const KitKey &key);

// The kit's own key: it notes there until when a run may change the keys, and the
// in-process tests keep their sandboxes below it.
inline constexpr const wchar_t *KitOwnKey = SandboxRoot;
inline constexpr wchar_t NoteName[] = L"TestsMayChangeKeysUntil";

// Notes that this run may change the keys during the next `milliseconds`. A later run
// takes what it finds under a key's name for the tests' leftovers only when nothing in
// it was written after the time noted. While a test runs the kit renews the note every
// second: settings written more than a few seconds after a run stopped are never
// taken for the tests'.
bool NoteChangesFor(DWORD milliseconds);
inline constexpr DWORD NoteMilliseconds = 5000;

struct PutBack {
    bool done;       // every key is as it was before the run
    int keysBack;    // how many keys a run had set aside
    std::string why; // when not done: one line, what stops it and what to do
};
// Sets aside what the tests left under each key's name, brings the saved key back or
// deletes the sign that there was none, deletes what the tests left, then forgets the
// note. What it cannot trust (two signs for one key, a sign that is not as the kit left
// it, a key written after the run stopped) it leaves exactly as it is.
PutBack PutBackKeys();

// Sets every key aside for a run. Empty when done; otherwise one line that says why
// not, and no key is left aside.
std::string SetKeysAside();

// Whether the maker's key is set aside, so that the tests may change it.
bool KeysAreAside();

#endif
