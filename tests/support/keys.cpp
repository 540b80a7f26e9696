#include "tests/support/keys.h"

#include <sddl.h>
#include <winternl.h>

#include <algorithm>
#include <cwchar>
#include <iterator>

// Deletes the key itself, a link included, where every named call would follow it.
extern "C" NTSTATUS NTAPI NtDeleteKey(HANDLE key);

LONG OpenItself(HKEY parent, const std::wstring &name, REGSAM access, HKEY &key)
{
    return RegOpenKeyExW(parent, name.c_str(), REG_OPTION_OPEN_LINK, access, &key);
}

bool KeyExists(HKEY parent, const std::wstring &name)
{
    HKEY key;
    const LONG result = OpenItself(parent, name, KEY_QUERY_VALUE, key);
    if (result == ERROR_SUCCESS)
        RegCloseKey(key);
    return result != ERROR_FILE_NOT_FOUND;
}

LONG Subkeys(HKEY key, std::vector<std::wstring> &names)
{
    // A key's name has at most 255 characters.
    wchar_t name[256];
    LONG result = ERROR_SUCCESS;
    for (DWORD i = 0, size = 256; (result = RegEnumKeyExW(key, i, name, &size, nullptr, nullptr, nullptr, nullptr)) == ERROR_SUCCESS;
         ++i, size = 256)
        names.emplace_back(name, size);
    return result == ERROR_NO_MORE_ITEMS ? ERROR_SUCCESS : result;
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

// Each subkey is opened below the handle of its parent, never by a path, so that no
// link on the way is followed. A key's owner may always change its security, though
// nothing more unless the key allows it (Wine also lets the owner delete it).
LONG DeleteKeyTree(HKEY root, const std::wstring &path)
{
    constexpr REGSAM access = KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE | DELETE;
    HKEY key;
    LONG result = OpenItself(root, path, access, key);
    if (result == ERROR_ACCESS_DENIED && SetKeyAccess(root, path, L"D:P(A;;KA;;;WD)") == ERROR_SUCCESS)
        result = OpenItself(root, path, access, key);
    if (result != ERROR_SUCCESS)
        return result == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : result;
    std::vector<std::wstring> subkeys;
    result = Subkeys(key, subkeys);
    for (size_t i = 0; result == ERROR_SUCCESS && i < subkeys.size(); ++i)
        result = DeleteKeyTree(key, subkeys[i]);
    if (result == ERROR_SUCCESS)
        result = LONG(RtlNtStatusToDosError(NtDeleteKey(key)));
    RegCloseKey(key);
    return result;
}

std::vector<DWORD> Sandboxes()
{
    std::vector<DWORD> ids;
    std::vector<std::wstring> names;
    HKEY root;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, SandboxRoot, 0, KEY_READ, &root) != ERROR_SUCCESS)
        return ids;
    Subkeys(root, names);
    RegCloseKey(root);
    // Only the name that the id gives back: no sign, no leading zero, nothing after it.
    for (const std::wstring &name : names) {
        const DWORD id = DWORD(std::wcstoul(name.c_str() + std::min(name.size(), std::size(SandboxPrefix) - 1), nullptr, 10));
        if (id != 0 && name == SandboxPrefix + std::to_wstring(id))
            ids.push_back(id);
    }
    return ids;
}

// A process gone cannot be opened; one ended but still held open is signalled.
void RemoveEndedSandboxes()
{
    for (const DWORD id : Sandboxes()) {
        const HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, id);
        if (process == nullptr ? GetLastError() == ERROR_INVALID_PARAMETER : WaitForSingleObject(process, 0) == WAIT_OBJECT_0)
            DeleteKeyTree(HKEY_CURRENT_USER, SandboxOf(id));
        if (process != nullptr)
            CloseHandle(process);
    }
}
