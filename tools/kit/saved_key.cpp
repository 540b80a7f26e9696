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
ULONGLONG TicksFromNow(DWORD milliseconds)
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return Ticks(now) + ULONGLONG(milliseconds) * 10000;
}

LONG MakeKey(HKEY parent, const std::wstring &name, DWORD options)
{
    HKEY key;
    const LONG result = RegCreateKeyExW(parent, name.c_str(), 0, nullptr, options, KEY_READ, nullptr, &key, nullptr);
    if (result == ERROR_SUCCESS)
        RegCloseKey(key);
    return result;
}

// Renames one of the key's names to another. Renamed from the key's own name, it goes
// to a sibling name that sorts after it (the saved name, or the name of what the tests
// left). Wine 8's server, renaming a key to a name that sorts right after its old one,
// writes the key over the sibling that follows it in its list: that sibling is lost,
// and the server soon crashes. An empty key named between the two, there only for the
// moment, keeps every sibling in place. The way back sorts down, which Wine gets right.
LONG Rename(HKEY parent, const KitKey &key, const std::wstring &from, const std::wstring &to)
{
    const bool up = from == key.name;
    if (const LONG fenced = up ? MakeKey(parent, FenceName(key), REG_OPTION_VOLATILE) : ERROR_SUCCESS; fenced != ERROR_SUCCESS)
        return fenced;
    HKEY renamed;
    LONG result = OpenItself(parent, from, KEY_WRITE, renamed);
    if (result == ERROR_SUCCESS) {
        UNICODE_STRING name = {USHORT(to.size() * sizeof(wchar_t)), USHORT(to.size() * sizeof(wchar_t)), const_cast<wchar_t *>(to.c_str())};
        result = LONG(RtlNtStatusToDosError(NtRenameKey(renamed, &name)));
        RegCloseKey(renamed);
    }
    const LONG removed = up ? DeleteKeyTree(parent, FenceName(key)) : ERROR_SUCCESS;
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

// What a run left of one key.
struct Found {
    HKEY parent; // nullptr: there is no parent, so nothing to keep
    bool saved, absent, live, fence;
};

// Why what was found for the key cannot be trusted, or empty when it can; `until` is
// the time in the kit's note, when there is one.
std::string Distrust(const KitKey &key, const Found &found, bool noted, ULONGLONG until)
{
    const std::string live = FullName(key, key.name), saved = FullName(key, SavedName(key)), absent = FullName(key, AbsentName(key));
    const std::string before =
        found.saved ? "your key from before that run is " + saved : "before that run there was none (" + absent + ")";
    ULONGLONG latest = 0;
    if (found.saved && found.absent)
        return saved + " and " + absent + " are both there, which the kit never leaves.";
    for (const auto &[there, sign] : {std::pair{found.absent, AbsentName(key)}, std::pair{found.fence, FenceName(key)}})
        if (there && !IsEmpty(found.parent, sign))
            return FullName(key, sign) + " is not empty, as the kit leaves it.";
    if (!found.live || !(found.saved || found.absent))
        return {};
    if (!noted)
        return live + " is there, and nothing says when the run that set it aside stopped, so it may hold newer settings; " + before + ".";
    // The kit never notes a time further ahead than that: a later one means the clock
    // was set back since, and the times of writes can no longer tell what is newer.
    if (until > TicksFromNow(NoteMilliseconds))
        return "the kit's note of when a run stopped lies in the future, as after the clock was set back, so " + live +
               " may hold newer settings; " + before + ".";
    if (!LatestWrite(found.parent, key.name, latest))
        return "Part of " + live + " cannot be read, so it may hold newer settings; " + before + ".";
    if (latest > until)
        return live + " was written after a run of the kit stopped, so it holds newer settings; " + before + ".";
    return {};
}

}

bool NoteChangesFor(DWORD milliseconds)
{
    const ULONGLONG until = TicksFromNow(milliseconds);
    return RegSetKeyValueW(HKEY_CURRENT_USER, KitOwnKey, NoteName, REG_QWORD, &until, sizeof until) == ERROR_SUCCESS;
}

PutBack PutBackKeys()
{
    ULONGLONG until = 0;
    DWORD type = REG_NONE, size = sizeof until;
    const LONG read = RegGetValueW(HKEY_CURRENT_USER, KitOwnKey, NoteName, RRF_RT_ANY | RRF_NOEXPAND, &type, &until, &size);
    const bool noted = read == ERROR_SUCCESS && type == REG_QWORD && size == sizeof until;
    std::string distrust;
    if (!noted && read != ERROR_FILE_NOT_FOUND)
        distrust = "HKEY_CURRENT_USER\\" + Narrow(KitOwnKey) + " holds a " + Narrow(NoteName) + " that the kit did not write.";
    // Every key is looked at before anything is changed.
    std::vector<Found> found;
    for (const KitKey &key : KitKeys) {
        HKEY parent;
        const LONG opened = RegOpenKeyExW(HKEY_CURRENT_USER, key.parent, 0, KEY_READ | KEY_CREATE_SUB_KEY, &parent);
        found.push_back(opened != ERROR_SUCCESS ? Found{}
                                                : Found{parent, KeyExists(parent, SavedName(key)), KeyExists(parent, AbsentName(key)),
                                                        KeyExists(parent, key.name), KeyExists(parent, FenceName(key))});
        if (distrust.empty() && opened == ERROR_SUCCESS)
            distrust = Distrust(key, found.back(), noted, until);
        else if (distrust.empty() && opened != ERROR_FILE_NOT_FOUND)
            distrust = "HKEY_CURRENT_USER\\" + Narrow(key.parent) + " cannot be opened: error " + std::to_string(opened) + ".";
    }
    PutBack outcome = {
        distrust.empty(), 0,
        distrust.empty() ? "" : distrust + " Nothing was changed: see \"Putting the keys back by hand\" in the kit's README.txt."};
    // What the tests left is first renamed, at once, to a name of the kit's own, and
    // deleted only once the key is back: a put-back stopped halfway leaves no part of it
    // under the key's name, written later than the run that the note speaks of.
    for (size_t i = 0; i < found.size(); ++i) {
        const KitKey &key = KitKeys[i];
        const Found &each = found[i];
        const bool aside = each.saved || each.absent;
        if (each.parent == nullptr)
            continue;
        if (outcome.done) {
            LONG result = DeleteKeyTree(each.parent, LeftName(key));
            if (result == ERROR_SUCCESS && aside && each.live)
                result = Rename(each.parent, key, key.name, LeftName(key));
            if (result == ERROR_SUCCESS && aside)
                result = each.saved ? Rename(each.parent, key, SavedName(key), key.name) : DeleteKeyTree(each.parent, AbsentName(key));
            for (const std::wstring &name : {LeftName(key), FenceName(key)})
                if (result == ERROR_SUCCESS)
                    result = DeleteKeyTree(each.parent, name);
            outcome.keysBack += aside ? 1 : 0;
            if (result != ERROR_SUCCESS)
                outcome = {false, outcome.keysBack,
                           "Putting back " + FullName(key, key.name) + " failed with error " + std::to_string(result) +
                               "; the next run goes on from there."};
        }
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
        HKEY parent;
        LONG result = RegOpenKeyExW(HKEY_CURRENT_USER, key.parent, 0, KEY_READ | KEY_CREATE_SUB_KEY, &parent);
        // Without its parent there is no key to keep, and none is made.
        if (result == ERROR_FILE_NOT_FOUND)
            continue;
        if (result == ERROR_SUCCESS) {
            result = KeyExists(parent, key.name) ? Rename(parent, key, key.name, SavedName(key)) : MakeKey(parent, AbsentName(key), 0);
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
    const std::wstring path = std::wstring(KitKeys[0].parent) + L"\\";
    return KeyExists(HKEY_CURRENT_USER, path + SavedName(KitKeys[0])) || KeyExists(HKEY_CURRENT_USER, path + AbsentName(KitKeys[0]));
}
