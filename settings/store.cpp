#include "settings/store.h"

#include "settings/catalogue.h"

namespace {

HWND SettingCheckBox(HWND dialog, int index) { return GetDlgItem(dialog, FirstSettingId + index); }

// A missing value, one longer than four bytes, or one that cannot be read counts
// as 0. Shorter data counts by the bytes it has, whatever its type, since the
// buffer is cleared before each query.
DWORD ReadStoredSetting(HKEY key, const char *valueName)
{
    DWORD value = 0;
    DWORD size = sizeof value;
    if (RegQueryValueExA(key, valueName, nullptr, nullptr, reinterpret_cast<BYTE *>(&value), &size) != ERROR_SUCCESS)
        return 0;
    return value;
}

// How many subkeys and values a key holds; false when it cannot be opened or asked.
bool CountKeyContents(const char *keyPath, DWORD &subkeyCount, DWORD &valueCount)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, keyPath, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    const LONG result =
        RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subkeyCount, nullptr, nullptr, &valueCount, nullptr, nullptr, nullptr, nullptr);
    RegCloseKey(key);
    return result == ERROR_SUCCESS;
}

}

void LoadSettings(HWND dialog)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, SettingsKeyPath, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return;
    for (int i = 0; i < SettingCount; ++i) {
        const WPARAM state = ReadStoredSetting(key, SettingValueNames[i]) != 0 ? BST_CHECKED : BST_UNCHECKED;
        SendMessageA(SettingCheckBox(dialog, i), BM_SETCHECK, state, 0);
    }
    RegCloseKey(key);
}

LONG SaveSettings(HWND dialog)
{
    HKEY key;
    LONG result = RegOpenKeyExA(HKEY_CURRENT_USER, SettingsKeyPath, 0, KEY_WRITE, &key);
    // Only a key that does not exist yet is created; a key we may not write to stays
    // as it is.
    if (result == ERROR_FILE_NOT_FOUND)
        result = RegCreateKeyA(HKEY_CURRENT_USER, SettingsKeyPath, &key);
    if (result != ERROR_SUCCESS)
        return result;
    for (int i = 0; i < SettingCount; ++i) {
        // An indeterminate box counts as checked.
        const DWORD value = SendMessageA(SettingCheckBox(dialog, i), BM_GETCHECK, 0, 0) != BST_UNCHECKED ? 1 : 0;
        RegSetValueExA(key, SettingValueNames[i], 0, REG_DWORD, reinterpret_cast<const BYTE *>(&value), sizeof value);
    }
    return RegCloseKey(key);
}

void RemoveSettings() { RemoveKeyAndEmptyParent(SettingsKeyPath); }

void RemoveKeyAndEmptyParent(const char *keyPath)
{
    // Windows 95, 98 and Me delete a key's subkeys with it; NT refuses a key that has
    // any. A subkey is not ours (the game or a mod may keep data there), so the key
    // goes, with its values, only when it has none, on every Windows alike.
    DWORD subkeyCount, valueCount;
    if (CountKeyContents(keyPath, subkeyCount, valueCount) && subkeyCount == 0)
        RegDeleteKeyA(HKEY_CURRENT_USER, keyPath);

    int parentLength = lstrlenA(keyPath);
    while (parentLength > 0 && keyPath[parentLength] != '\\')
        --parentLength;
    // A backslash at the very start leads to no parent either.
    if (parentLength == 0)
        return;

    char *parentKeyPath = static_cast<char *>(HeapAlloc(GetProcessHeap(), 0, SIZE_T(parentLength) + 1));
    if (parentKeyPath == nullptr)
        return;
    lstrcpynA(parentKeyPath, keyPath, parentLength + 1);
    // The maker's key may hold other products' keys or values of its own: those are
    // not ours to delete.
    if (CountKeyContents(parentKeyPath, subkeyCount, valueCount) && subkeyCount == 0 && valueCount == 0)
        RegDeleteKeyA(HKEY_CURRENT_USER, parentKeyPath);
    HeapFree(GetProcessHeap(), 0, parentKeyPath);
}
