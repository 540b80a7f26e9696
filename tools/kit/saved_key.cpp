#include "tools/kit/saved_key.h"

#include <sddl.h>
#include <winternl.h>

#include <algorithm>
#include <iterator>
#include <vector>

// Deletes the key itself, a link included, where every named call would follow it.
extern "C" NTSTATUS NTAPI NtDeleteKey(HANDLE key);

namespace {

constexpr wchar_t SandboxPrefix[] = L"Sandbox";

std::string Narrow(const std::wstring &text) { return std::string(text.begin(), text.end()); }
std::string FullName(const KitKey &key, const std::wstring &name)
{
    return "HKEY_CURRENT_USER\\" + Narrow(key.parent) + "\\" + Narrow(name);
}
ULONGLONG Ticks(const FILETIME &time) { return ULONGLONG(time.dwHighDateTime) << 32 | time.dwLowDateTime; }
LONG FromStatus(NTSTATUS status) { return LONG(RtlNtStatusToDosError(status)); }

// Opens the key `name` below parent itself: a link as the link, never what it points at.
LONG OpenItself(HKEY parent, const std::wstring &name, REGSAM access, HKEY &key)
{
    return RegOpenKeyExW(parent, name.c_str(), REG_OPTION_OPEN_LINK, access, &key);
}

bool Exists(HKEY parent, const std::wstring &name)
{
    HKEY key;
    const LONG result = OpenItself(parent, name, KEY_QUERY_VALUE, key);
    if (result == ERROR_SUCCESS)
        RegCloseKey(key);
    return result != ERROR_FILE_NOT_FOUND;
}

LONG Subkeys(HKEY key, std::vector<std::wstring> &names)
{
    wchar_t name[256];
    LONG result = ERROR_SUCCESS;
    for (DWORD i = 0, size = 256; (result = RegEnumKeyExW(key, i, name, &size, nullptr, nullptr, nullptr, nullptr)) == ERROR_SUCCESS;
         ++i, size = 256)
        names.emplace_back(name, size);
    return result == ERROR_NO_MORE_ITEMS ? ERROR_SUCCESS : result;
}

// On Windows a key's owner may always read and change its security, and nothing more
// unless the key allows it: a key left readable only, or not even that, is opened to
// everyone before it is deleted. (Wine also lets the owner delete it.)
bool OpenToEveryone(HKEY parent, const std::wstring &name) { return SetKeyAccess(parent, name, L"D:P(A;;KA;;;WD)") == ERROR_SUCCESS; }

// Each subkey is opened below the handle of its parent, never by a path, so that no
// link on the way is followed.
LONG DeleteBelow(HKEY parent, const std::wstring &name)
{
    constexpr REGSAM access = KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE | DELETE;
    HKEY key;
    LONG result = OpenItself(parent, name, access, key);
    if (result == ERROR_ACCESS_DENIED && OpenToEveryone(parent, name))
        result = OpenItself(parent, name, access, key);
    if (result != ERROR_SUCCESS)
        return result == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : result;
    std::vector<std::wstring> subkeys;
    result = Subkeys(key, subkeys);
    for (const std::wstring &subkey : subkeys)
        if (result == ERROR_SUCCESS)
            result = DeleteBelow(key, subkey);
    if (result == ERROR_SUCCESS)
        result = FromStatus(NtDeleteKey(key));
    RegCloseKey(key);
    return result;
}

LONG Rename(HKEY parent, const std::wstring &from, const std::wstring &to)
{
    HKEY key;
    LONG result = OpenItself(parent, from, KEY_WRITE, key);
    if (result != ERROR_SUCCESS)
        return result;
    UNICODE_STRING name = {USHORT(to.size() * sizeof(wchar_t)), USHORT(to.size() * sizeof(wchar_t)), const_cast<wchar_t *>(to.c_str())};
    result = FromStatus(NtRenameKey(key, &name));
    RegCloseKey(key);
    return result;
}

std::wstring FenceName(const KitKey &key) { return std::wstring(key.name) + L" (being saved by DustmarrowSetupTests)"; }
std::wstring LeftName(const KitKey &key) { return std::wstring(key.name) + L" (left by the tests of DustmarrowSetupTests)"; }

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
    const LONG removed = DeleteBelow(parent, FenceName(key));
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

bool IsEmpty(HKEY parent, const std::wstring &name)
{
    HKEY key;
    DWORD subkeys = 1, values = 1;
    if (OpenItself(parent, name, KEY_QUERY_VALUE, key) != ERROR_SUCCESS)
        return false;
    RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr, nullptr, nullptr, nullptr);
    RegCloseKey(key);
    return subkeys == 0 && values == 0;
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
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    // The kit never notes a time further ahead than that: a later one means the clock
    // was set back since, and the times of writes can no longer tell what is newer.
    if (until > Ticks(now) + ULONGLONG(NoteMilliseconds) * 10000)
        return "the kit's note of when a run stopped lies in the future, as after the clock was set back, so " + live +
               " may hold newer settings; " + before + ".";
    if (!LatestWrite(found.parent, key.name, latest))
        return "Part of " + live + " cannot be read, so it may hold newer settings; " + before + ".";
    if (latest > until)
        return live + " was written after a run of the kit stopped, so it holds newer settings; " + before + ".";
    return {};
}

bool ProcessEnded(DWORD id)
{
    const HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, id);
    if (process == nullptr)
        return GetLastError() == ERROR_INVALID_PARAMETER;
    const bool ended = WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
    CloseHandle(process);
    return ended;
}

}

std::wstring SavedName(const KitKey &key) { return std::wstring(key.name) + L" (saved by DustmarrowSetupTests)"; }
std::wstring AbsentName(const KitKey &key) { return std::wstring(key.name) + L" (absent before DustmarrowSetupTests ran)"; }

bool NoteChangesFor(DWORD milliseconds)
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const ULONGLONG until = Ticks(now) + ULONGLONG(milliseconds) * 10000;
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
            each.saved = Exists(each.parent, SavedName(key));
            each.absent = Exists(each.parent, AbsentName(key));
            each.live = Exists(each.parent, key.name);
            each.fence = Exists(each.parent, FenceName(key));
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
            result = DeleteBelow(each.parent, LeftName(key));
            if (result == ERROR_SUCCESS && aside && each.live)
                result = RenameUp(each.parent, key, LeftName(key));
            if (result == ERROR_SUCCESS && aside)
                result = each.saved ? Rename(each.parent, SavedName(key), key.name) : DeleteBelow(each.parent, AbsentName(key));
            for (const std::wstring &name : {LeftName(key), FenceName(key)})
                if (result == ERROR_SUCCESS)
                    result = DeleteBelow(each.parent, name);
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
            if (Exists(parent, key.name))
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
    const bool aside = Exists(parent, SavedName(KitKeys[0])) || Exists(parent, AbsentName(KitKeys[0]));
    RegCloseKey(parent);
    return aside;
}

std::string EarlierKitsCopy(const std::string &kitFolder)
{
    const std::string copy = kitFolder + "DustmarrowSetupTests-saved-registry.txt";
    if (GetFileAttributesA(copy.c_str()) == INVALID_FILE_ATTRIBUTES)
        return {};
    return copy + " is a copy of HKEY_CURRENT_USER\\SOFTWARE\\Quorvanta that an earlier version of the kit kept, which this one "
                  "does not read: if the key is as you want it, delete the file; if not, the earlier kit puts the key back from it "
                  "when run once more in this folder. No test is run.";
}

LONG SetKeyAccess(HKEY root, const std::wstring &path, const wchar_t *sddl)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr))
        return LONG(GetLastError());
    HKEY key;
    LONG result = OpenItself(root, path, WRITE_DAC, key);
    if (result == ERROR_SUCCESS) {
        result = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor);
        RegCloseKey(key);
    }
    LocalFree(descriptor);
    return result;
}

LONG DeleteKeyTree(HKEY root, const std::wstring &path)
{
    const size_t last = path.find_last_of(L'\\');
    if (last == std::wstring::npos)
        return DeleteBelow(root, path);
    HKEY parent;
    LONG result = RegOpenKeyExW(root, path.substr(0, last).c_str(), 0, KEY_QUERY_VALUE, &parent);
    if (result != ERROR_SUCCESS)
        return result == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : result;
    result = DeleteBelow(parent, path.substr(last + 1));
    RegCloseKey(parent);
    return result;
}

void DeleteKeyIfEmpty(HKEY root, const wchar_t *path)
{
    if (IsEmpty(root, path))
        RegDeleteKeyW(root, path);
}

void RemoveEndedSandboxes()
{
    HKEY root;
    std::vector<std::wstring> names;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, KitOwnKey, 0, KEY_READ, &root) != ERROR_SUCCESS)
        return;
    Subkeys(root, names);
    for (const std::wstring &name : names) {
        // "Sandbox" and the id of the process, which is at most ten digits.
        ULONGLONG id = 0;
        const size_t digits = name.size() - std::min(name.size(), std::size(SandboxPrefix) - 1);
        bool sandbox = name.compare(0, std::size(SandboxPrefix) - 1, SandboxPrefix) == 0 && digits > 0 && digits <= 10;
        for (size_t at = name.size() - digits; sandbox && at < name.size(); ++at) {
            sandbox = name[at] >= L'0' && name[at] <= L'9';
            id = id * 10 + ULONGLONG(name[at] - L'0');
        }
        if (sandbox && id <= MAXDWORD && ProcessEnded(DWORD(id)))
            DeleteBelow(root, name);
    }
    RegCloseKey(root);
}
