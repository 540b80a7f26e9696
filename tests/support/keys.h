// Registry operations that the tests and the test kit share: a key is always opened as
// itself, never through a link, and deleted whole even where it keeps its owner out;
// and the sandboxes in which the in-process tests keep their HKEY_CURRENT_USER.
#ifndef DUSTMARROW_TESTS_KEYS_H
#define DUSTMARROW_TESTS_KEYS_H

#include <windows.h>

#include <string>
#include <vector>

// Below HKEY_CURRENT_USER: one sandbox a process, named SandboxPrefix and its id.
inline constexpr wchar_t SandboxRoot[] = L"Software\\DustmarrowSetupTests", SandboxPrefix[] = L"Sandbox";
inline std::wstring SandboxOf(DWORD id) { return std::wstring(SandboxRoot) + L"\\" + SandboxPrefix + std::to_wstring(id); }

// Names as the tests and the kit spell them, which are ASCII, in either width.
inline std::string Narrow(const std::wstring &text) { return std::string(text.begin(), text.end()); }
inline std::wstring Wide(const std::string &text) { return std::wstring(text.begin(), text.end()); }

// Opens the key `name` below parent itself: a link as the link, never what it points at.
LONG OpenItself(HKEY parent, const std::wstring &name, REGSAM access, HKEY &key);
// Whether the key is there, as a key that cannot be opened or a link to nowhere is.
bool KeyExists(HKEY parent, const std::wstring &name);
LONG Subkeys(HKEY key, std::vector<std::wstring> &names);
// Whether the key holds no value and no subkey; false when it cannot be asked.
bool IsEmpty(HKEY parent, const std::wstring &name);

// Sets the key's access from its SDDL; a link's own, never its target's.
LONG SetKeyAccess(HKEY root, const std::wstring &path, const wchar_t *sddl);

// Deletes the key `path` below root with everything in it; a missing key is no error.
// It never follows a link: a link is deleted itself and its target kept. A key that
// keeps its owner out is first opened to everyone, as its owner always may.
LONG DeleteKeyTree(HKEY root, const std::wstring &path);

inline void DeleteKeyIfEmpty(HKEY root, const std::wstring &path)
{
    if (IsEmpty(root, path))
        RegDeleteKeyW(root, path.c_str());
}

// The ids of the processes whose sandboxes are there; and deleting the sandboxes of
// those that have ended, as a test that hung or was killed leaves them.
std::vector<DWORD> Sandboxes();
void RemoveEndedSandboxes();

#endif
