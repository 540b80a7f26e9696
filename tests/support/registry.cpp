#include "tests/support/registry.h"

#include "tests/support/keys.h"

#include <sddl.h>

#include <algorithm>
#include <cstring>

namespace {

// Lists the key `name` below parent as `shown`; with `shown` empty, only its subkeys.
void ListKey(HKEY parent, const std::string &name, const std::string &shown, std::vector<std::string> &lines)
{
    HKEY key;
    const LONG opened = RegOpenKeyExA(parent, name.c_str(), 0, KEY_READ, &key);
    // A key gone meanwhile (another test's sandbox) is not there; one that is there but
    // will not open is listed, so that a change to it shows.
    if (opened != ERROR_SUCCESS) {
        if (opened != ERROR_FILE_NOT_FOUND)
            lines.push_back(shown + " cannot be opened: error " + std::to_string(opened));
        return;
    }
    char text[16384];
    static BYTE data[1 << 16];
    if (!shown.empty()) {
        lines.push_back(shown);
        const size_t firstValue = lines.size();
        for (DWORD i = 0;; ++i) {
            DWORD nameSize = sizeof text, dataSize = sizeof data, type = 0;
            const LONG result = RegEnumValueA(key, i, text, &nameSize, nullptr, &type, data, &dataSize);
            if (result != ERROR_SUCCESS) {
                if (result != ERROR_NO_MORE_ITEMS && result != ERROR_KEY_DELETED)
                    ADD_FAILURE() << "listing the values of " << shown << " failed with " << result;
                break;
            }
            std::string line = shown + ":" + text + "=" + std::to_string(type) + ":";
            for (DWORD at = 0; at < dataSize; ++at)
                line += std::string(at ? " " : "") + "0123456789abcdef"[data[at] >> 4] + "0123456789abcdef"[data[at] & 15];
            lines.push_back(line);
        }
        std::sort(lines.begin() + std::ptrdiff_t(firstValue), lines.end());
    }
    std::vector<std::string> subkeys;
    for (DWORD i = 0, size = sizeof text; RegEnumKeyExA(key, i, text, &size, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
         ++i, size = sizeof text)
        subkeys.push_back(text);
    std::sort(subkeys.begin(), subkeys.end());
    for (const std::string &subkey : subkeys)
        ListKey(key, subkey, shown.empty() ? subkey : shown + "\\" + subkey, lines);
    RegCloseKey(key);
}

}

std::vector<StoredValue> Dwords(const std::vector<int> &states)
{
    std::vector<StoredValue> values;
    for (int state : states)
        values.push_back(Dword(DWORD(state)));
    return values;
}

void SeedSettings(const std::vector<StoredValue> &values)
{
    CreateKey(HKEY_CURRENT_USER, Settings);
    for (int i = 0; i < SettingCount; ++i)
        if (values[size_t(i)].present)
            SetValue(HKEY_CURRENT_USER, Settings, SettingValueNames[i], values[size_t(i)].type, values[size_t(i)].data);
}

void SetValue(HKEY root, const std::string &path, const char *name, DWORD type, const Bytes &data)
{
    HKEY key;
    ASSERT_EQ(RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr), ERROR_SUCCESS)
        << "creating " << path;
    const LONG result = name == nullptr ? ERROR_SUCCESS : RegSetValueExA(key, name, 0, type, data.data(), DWORD(data.size()));
    RegCloseKey(key);
    ASSERT_EQ(result, ERROR_SUCCESS) << "setting " << path << ":" << name;
}

void DeleteTree(HKEY root, const std::string &path)
{
    EXPECT_EQ(DeleteKeyTree(root, std::wstring(path.begin(), path.end())), ERROR_SUCCESS) << "deleting " << path;
}

void SetAccess(HKEY root, const std::string &path, const char *sddl)
{
    const LONG result = SetKeyAccess(root, std::wstring(path.begin(), path.end()), std::wstring(sddl, sddl + strlen(sddl)).c_str());
    ASSERT_TRUE(result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND) << "setting the access of " << path << " failed with " << result;
}

void AllowOnlyReading(HKEY root, const std::string &path)
{
    SetAccess(root, path, "D:P(A;;KR;;;WD)");
    HKEY key;
    ASSERT_EQ(RegOpenKeyExA(root, path.c_str(), 0, KEY_WRITE, &key), ERROR_ACCESS_DENIED) << path << " is still writable";
}

void CreateLink(HKEY root, const std::string &path, const std::string &target)
{
    // A link's target is a full kernel path: \Registry\User\<the user's SID>\path.
    HANDLE token;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    BYTE user[256];
    DWORD size = 0;
    const BOOL gotUser = GetTokenInformation(token, TokenUser, user, sizeof user, &size);
    CloseHandle(token);
    LPSTR sid = nullptr;
    ASSERT_TRUE(gotUser && ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER *>(user)->User.Sid, &sid));
    const std::string full = std::string("\\Registry\\User\\") + sid + "\\" + target;
    LocalFree(sid);
    const std::wstring wideTarget(full.begin(), full.end());

    HKEY key;
    ASSERT_EQ(
        RegCreateKeyExA(root, path.c_str(), 0, nullptr, REG_OPTION_CREATE_LINK, KEY_ALL_ACCESS | KEY_CREATE_LINK, nullptr, &key, nullptr),
        ERROR_SUCCESS);
    const LONG linked = RegSetValueExW(key, L"SymbolicLinkValue", 0, REG_LINK, reinterpret_cast<const BYTE *>(wideTarget.data()),
                                       DWORD(wideTarget.size()) * DWORD(sizeof(wchar_t)));
    RegCloseKey(key);
    ASSERT_EQ(linked, ERROR_SUCCESS);
    ASSERT_TRUE(target != path || RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) << "the link to itself opens";
}

std::vector<std::string> ListTree(HKEY root, const std::string &path)
{
    std::vector<std::string> lines;
    ListKey(root, path, path, lines);
    return lines;
}

std::vector<std::string> ExpectedSettingsTree(const std::vector<int> &states, const std::string &top)
{
    std::vector<std::string> lines;
    for (size_t end = top.size(); end < Settings.size(); end = Settings.find('\\', end + 1))
        lines.push_back(Settings.substr(0, end));
    lines.push_back(Settings);
    const size_t firstValue = lines.size();
    for (int i = 0; i < SettingCount; ++i)
        lines.push_back(Settings + ":" + SettingValueNames[i] + "=4:0" + std::to_string(states[size_t(i)]) + " 00 00 00");
    std::sort(lines.begin() + std::ptrdiff_t(firstValue), lines.end());
    return lines;
}

void SandboxedTest::SetUp()
{
    RemoveEndedSandboxes();
    path_ = SandboxPath();
    DeleteTree(HKEY_CURRENT_USER, path_);
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sandbox_, nullptr), ERROR_SUCCESS)
        << "creating the sandbox " << path_;
    ASSERT_EQ(RegOverridePredefKey(HKEY_CURRENT_USER, sandbox_), ERROR_SUCCESS) << "redirecting HKEY_CURRENT_USER";
    // The real HKEY_CURRENT_USER is never empty: an empty one is the sandbox.
    ASSERT_EQ(ListTree(HKEY_CURRENT_USER, ""), std::vector<std::string>{}) << "HKEY_CURRENT_USER is not the new sandbox";
}

void SandboxedTest::TearDown()
{
    RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
    if (sandbox_ != nullptr)
        RegCloseKey(sandbox_);
    DeleteTree(HKEY_CURRENT_USER, path_);
    // The root goes with the last sandbox, so that a run on a person's machine leaves
    // nothing; while a kit runs, it holds the kit's note.
    DeleteKeyIfEmpty(HKEY_CURRENT_USER, SandboxRoot);
}
