#include "tools/kit/saved_key.h"

#include <winternl.h>

#include <algorithm>
#include <vector>

namespace {

std::string FullName(const KitKey &key, const std::wstring &name)
{
    return "HKEY_CURRENT_USER\\" + Narrow(key.parent) + "\\" + Narrow(name);
}
ULONGLONG Ticks(const FILETIME &time) { return ULONGLONG(time.dwHighDateTime) << 32 | time.dwLowDateTime; }
ULONGLONG Now()
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return Ticks(now);
}

LONG Rename(HKEY parent, const std::wstring &from, const std::wstring &to)
{
    HKEY key;
    LONG result = OpenItself(parent, from, KEY_WRITE, key);
    if (result != ERROR_SUCCESS)
        return result;
    UNICODE_STRING name = {USHORT(to.size() * sizeof(wchar_t)), USHORT(to.size() * sizeof(wchar_t)), const_cast<wchar_t *>(to.c_str())};
    result = LONG(RtlNtStatusToDosError(NtRenameKey(key, &name)));
    RegCloseKey(key);
    return result;
}

// Renames the key to a sibling name that sorts after its own (the saved name, or the
// name of what the tests left). Wine 8's server, renaming a key to a name that sorts
// right after its old one, writes the key over the sibling that follows it in its
// list: that sibling is lost, and the server soon crashes. An empty key named between
// the two, there only for the moment, keeps every sibling in place. The way back sorts
// down, which Wine gets right.
LONG RenameUp(HKEY parent, const KitKey &key, const std::wstring &to)
{
    HKEY fence;
    LONG result = RegCreateKeyExW(parent, FenceName(key).c_str(), 0, nullptr, REG_OPTION_VOLATILE, KEY_READ, nullptr, &fence, nullptr);
    if (result != ERROR_SUCCESS)
        return result;
    RegCloseKey(fence);
    result = Rename(parent, key.name, to);
    const LONG removed = DeleteKeyTree(parent, FenceName(key));
    return result != ERROR_SUCCESS ? result : removed;
}

// The latest time anything in the key was written, links not followed; false when
// some part of it cannot be read.
bool LatestWrite(HKEY parent, const std::wstring &name, ULONGLONG &latest)
{
    HKEY key;
    if (OpenItself(parent, name, KEY_READ, key) != ERROR_SUCCESS)
        return false;
    FILETIME written{};
    std::vector<std::wstring> subkeys;
    bool read = RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &written) ==
                    ERROR_SUCCESS &&
                Subkeys(key, subkeys) == ERROR_SUCCESS;
    latest = std::max(latest, Ticks(written));
    for (const std::wstring &subkey : subkeys)
        read = read && LatestWrite(key, subkey, latest);
    RegCloseKey(key);
    return read;
}

enum class Note { None, Until, NotTheKits };
Note ReadNote(ULONGLONG &until)
{
    HKEY key;
    LONG result = RegOpenKeyExW(HKEY_CURRENT_USER, KitOwnKey, 0, KEY_QUERY_VALUE, &key);
    DWORD type = REG_NONE, size = sizeof until;
    if (result == ERROR_SUCCESS) {
        result = RegQueryValueExW(key, NoteName, nullptr, &type, reinterpret_cast<BYTE *>(&until), &size);
        RegCloseKey(key);
    }
    if (result == ERROR_FILE_NOT_FOUND)
        return Note::None;
    return result == ERROR_SUCCESS && type == REG_QWORD && size == sizeof until ? Note::Until : Note::NotTheKits;
}

// What a run left of one key.
struct Found {
    HKEY parent; // nullptr: there is no parent, so nothing to keep
    bool saved, absent, live, fence;
};

// Why what was found for the key cannot be trusted, or empty when it can.
std::string Distrust(const KitKey &key, const Found &found, Note note, ULONGLONG until)
{
    const std::string live = FullName(key, key.name), saved = FullName(key, SavedName(key)), absent = FullName(key, AbsentName(key));
    const std::string before =
        found.saved ? "your key from before that run is " + saved : "before that run there was none (" + absent + ")";
    ULONGLONG latest = 0;
    if (found.saved && found.absent)
        return saved + " and " + absent + " are both there, which the kit never leaves.";
    if (found.absent && !IsEmpty(found.parent, AbsentName(key)))
        return absent + " is not empty, as the kit leaves it.";
    if (found.fence && !IsEmpty(found.parent, FenceName(key)))
        return FullName(key, FenceName(key)) + " is not empty, as the kit leaves it.";
    if (!found.live || !(found.saved || found.absent))
        return {};
    if (note != Note::Until)
        return live + " is there, and nothing says when the run that set it aside stopped, so it may hold newer settings; " + before + ".";
    // The kit never notes a time further ahead than that: a later one means the clock
    // was set back since, and the times of writes can no longer tell what is newer.
    if (until > Now() + ULONGLONG(NoteMilliseconds) * 10000)
        return "the kit's note of when a run stopped lies in the future, as after the clock was set back, so " + live +
               " may hold newer settings; " + before + ".";
    if (!LatestWrite(found.parent, key.name, latest))
        return "Part of " + live + " cannot be read, so it may hold newer settings; " + before + ".";
    if (latest > until)
        return live + " was written after a run of the kit stopped, so it holds newer settings; " + before + ".";
    return {};
}

}

std::wstring SavedName(const KitKey &key) { return std::wstring(key.name) + L" (saved by DustmarrowSetupTests)"; }
std::wstring AbsentName(const KitKey &key) { return std::wstring(key.name) + L" (absent before DustmarrowSetupTests ran)"; }
std::wstring FenceName(const KitKey &key) { return std::wstring(key.name) + L" (being saved by DustmarrowSetupTests)"; }
std::wstring LeftName(const KitKey &key) { return std::wstring(key.name) + L" (left by the tests of DustmarrowSetupTests)"; }

bool NoteChangesFor(DWORD milliseconds)
{
    const ULONGLONG until = Now() + ULONGLONG(milliseconds) * 10000;
    HKEY key;
    LONG result = RegCreateKeyExW(HKEY_CURRENT_USER, KitOwnKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr);
    if (result == ERROR_SUCCESS) {
        result = RegSetValueExW(key, NoteName, 0, REG_QWORD, reinterpret_cast<const BYTE *>(&until), sizeof until);
        RegCloseKey(key);
    }
    return result == ERROR_SUCCESS;
}

PutBack PutBackKeys()
{
    const std::string byHand = " Nothing was changed: see \"Putting the keys back by hand\" in the kit's README.txt.";
    PutBack outcome = {true, 0, {}};
    ULONGLONG until = 0;
    const Note note = ReadNote(until);
    if (note == Note::NotTheKits)
        outcome = {false, 0,
                   "HKEY_CURRENT_USER\\" + Narrow(KitOwnKey) + " holds a " + Narrow(NoteName) + " that the kit did not write." + byHand};
    // Every key is looked at before anything is changed.
    std::vector<Found> found;
    for (const KitKey &key : KitKeys) {
        Found each = {nullptr, false, false, false, false};
        const LONG opened = RegOpenKeyExW(HKEY_CURRENT_USER, key.parent, 0, KEY_READ | KEY_CREATE_SUB_KEY, &each.parent);
        if (opened != ERROR_SUCCESS) {
            each.parent = nullptr;
            if (opened != ERROR_FILE_NOT_FOUND && outcome.done)
                outcome = {false, 0,
                           "HKEY_CURRENT_USER\\" + Narrow(key.parent) + " cannot be opened: error " + std::to_string(opened) + "." +
                               byHand};
        } else {
            each.saved = KeyExists(each.parent, SavedName(key));
            each.absent = KeyExists(each.parent, AbsentName(key));
            each.live = KeyExists(each.parent, key.name);
            each.fence = KeyExists(each.parent, FenceName(key));
            const std::string distrust = outcome.done ? Distrust(key, each, note, until) : "";
            if (!distrust.empty())
                outcome = {false, 0, distrust + byHand};
        }
        found.push_back(each);
    }
    // What the tests left is first renamed, at once, to a name of the kit's own, and
    // deleted only once the key is back: a put-back stopped halfway leaves no part of it
    // under the key's name, written later than the run that the note speaks of.
    for (size_t i = 0; i < found.size(); ++i) {
        const KitKey &key = KitKeys[i];
        const Found &each = found[i];
        const bool aside = each.saved || each.absent;
        LONG result = ERROR_SUCCESS;
        if (outcome.done && each.parent != nullptr) {
            result = DeleteKeyTree(each.parent, LeftName(key));
            if (result == ERROR_SUCCESS && aside && each.live)
                result = RenameUp(each.parent, key, LeftName(key));
            if (result == ERROR_SUCCESS && aside)
                result = each.saved ? Rename(each.parent, SavedName(key), key.name) : DeleteKeyTree(each.parent, AbsentName(key));
            for (const std::wstring &name : {LeftName(key), FenceName(key)})
                if (result == ERROR_SUCCESS)
                    result = DeleteKeyTree(each.parent, name);
            outcome.keysBack += aside ? 1 : 0;
        }
        if (result != ERROR_SUCCESS)
            outcome = {false, outcome.keysBack,
                       "Putting back " + FullName(key, key.name) + " failed with error " + std::to_string(result) +
                           "; the next run goes on from there."};
        if (each.parent != nullptr)
            RegCloseKey(each.parent);
    }
    if (outcome.done) {
        RegDeleteKeyValueW(HKEY_CURRENT_USER, KitOwnKey, NoteName);
        DeleteKeyIfEmpty(HKEY_CURRENT_USER, KitOwnKey);
    }
    return outcome;
}

std::string SetKeysAside()
{
    if (!NoteChangesFor(NoteMilliseconds))
        return "Could not write to HKEY_CURRENT_USER\\" + Narrow(KitOwnKey) + ": no test is run.";
    for (const KitKey &key : KitKeys) {
        HKEY parent, absent;
        LONG result = RegOpenKeyExW(HKEY_CURRENT_USER, key.parent, 0, KEY_READ | KEY_CREATE_SUB_KEY, &parent);
        // Without its parent there is no key to keep, and none is made.
        if (result == ERROR_FILE_NOT_FOUND)
            continue;
        if (result == ERROR_SUCCESS) {
            if (KeyExists(parent, key.name))
                result = RenameUp(parent, key, SavedName(key));
            else if ((result = RegCreateKeyExW(parent, AbsentName(key).c_str(), 0, nullptr, 0, KEY_READ, nullptr, &absent, nullptr)) ==
                     ERROR_SUCCESS)
                RegCloseKey(absent);
            RegCloseKey(parent);
        }
        if (result != ERROR_SUCCESS) {
            const PutBack undone = PutBackKeys();
            return "Could not set " + FullName(key, key.name) + " aside: error " + std::to_string(result) + "; no test is run." +
                   (undone.done ? "" : " " + undone.why);
        }
    }
    return {};
}

bool KeysAreAside()
{
    HKEY parent;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, KitKeys[0].parent, 0, KEY_READ, &parent) != ERROR_SUCCESS)
        return false;
    const bool aside = KeyExists(parent, SavedName(KitKeys[0])) || KeyExists(parent, AbsentName(KitKeys[0]));
    RegCloseKey(parent);
    return aside;
}
