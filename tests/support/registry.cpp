#include "tests/support/registry.h"

#include <sddl.h>

#include <algorithm>
#include <iterator>

namespace {

std::string Hex(const void *bytes, size_t size, const char *between)
{
    std::string text;
    for (const BYTE *byte = static_cast<const BYTE *>(bytes), *end = byte + size; byte != end; ++byte)
        text += std::string(text.empty() ? "" : between) + "0123456789abcdef"[*byte >> 4] + "0123456789abcdef"[*byte & 15];
    return text;
}

// What ListTree shows of the key `name` below parent after its path.
std::string Details(HKEY parent, const std::wstring &name, unsigned details)
{
    std::string text;
    HKEY key, probe;
    constexpr SECURITY_INFORMATION parts = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    if ((details & KeySecurity) && OpenItself(parent, name, READ_CONTROL, key) == ERROR_SUCCESS) {
        DWORD size = 0;
        RegGetKeySecurity(key, parts, nullptr, &size);
        Bytes descriptor(size);
        LPSTR sddl = nullptr;
        if (RegGetKeySecurity(key, parts, descriptor.data(), &size) == ERROR_SUCCESS &&
            ConvertSecurityDescriptorToStringSecurityDescriptorA(descriptor.data(), SDDL_REVISION_1, parts, &sddl, nullptr)) {
            text += " " + std::string(sddl);
            LocalFree(sddl);
        }
        RegCloseKey(key);
    }
    // A volatile key refuses a lasting subkey; a lasting one made to find out goes again.
    if ((details & KeyVolatility) && OpenItself(parent, name, KEY_CREATE_SUB_KEY, key) == ERROR_SUCCESS) {
        DWORD made = 0;
        const LONG probed = RegCreateKeyExW(key, L"a lasting key?", 0, nullptr, 0, KEY_READ, nullptr, &probe, &made);
        text += probed == ERROR_CHILD_MUST_BE_VOLATILE ? " volatile" : " probed " + std::to_string(probed) + "/" + std::to_string(made);
        if (probed == ERROR_SUCCESS && RegCloseKey(probe) == ERROR_SUCCESS && made == REG_CREATED_NEW_KEY)
            RegDeleteKeyW(key, L"a lasting key?");
        RegCloseKey(key);
    }
    return text;
}

// Lists the key `name` below parent as `shown`; with `shown` empty, only its values and
// its subkeys.
void ListKey(HKEY parent, const std::wstring &name, const std::string &shown, unsigned details, const std::vector<std::string> &skipped,
             std::vector<std::string> &lines)
{
    if (std::any_of(skipped.begin(), skipped.end(), [&](const std::string &path) { return _stricmp(path.c_str(), shown.c_str()) == 0; }))
        return;
    std::string line = shown + Details(parent, name, details);
    HKEY key;
    const LONG opened = OpenItself(parent, name, KEY_READ, key);
    // A key gone meanwhile (another test's sandbox) is not there; one that is there but
    // will not open is listed, so that a change to it shows.
    if (opened != ERROR_SUCCESS && opened != ERROR_FILE_NOT_FOUND)
        lines.push_back(line + " cannot be opened: error " + std::to_string(opened));
    if (opened != ERROR_SUCCESS)
        return;
    // The buffers are as large as the key's longest class, name and data; a value that
    // grows meanwhile is read again with more room.
    DWORD classLength = 0, longestName = 0, longestData = 0;
    RegQueryInfoKeyW(key, nullptr, &classLength, nullptr, nullptr, nullptr, nullptr, nullptr, &longestName, &longestData, nullptr, nullptr);
    std::wstring text(std::max(classLength, longestName) + 1, L'\0');
    Bytes data(longestData + 1);
    if (details & KeyClass) {
        DWORD size = DWORD(text.size());
        RegQueryInfoKeyW(key, text.data(), &size, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
        line += " class " + Hex(text.data(), size * sizeof(wchar_t), "");
    }
    if (!shown.empty())
        lines.push_back(line);
    const size_t firstValue = lines.size();
    LONG result = ERROR_SUCCESS;
    for (DWORD i = 0; result == ERROR_SUCCESS || result == ERROR_MORE_DATA;) {
        DWORD nameSize = DWORD(text.size()), dataSize = DWORD(data.size()), type = 0;
        result = RegEnumValueW(key, i, text.data(), &nameSize, nullptr, &type, data.data(), &dataSize);
        if (result == ERROR_MORE_DATA) {
            text.resize(text.size() * 2);
            data.resize(std::max<size_t>(dataSize, data.size() * 2));
        } else if (result == ERROR_SUCCESS) {
            const std::string valueName =
                details & ExactValueNames ? Hex(text.data(), nameSize * sizeof(wchar_t), "") : Narrow(text.substr(0, nameSize));
            lines.push_back(shown + ":" + valueName + "=" + std::to_string(type) + ":" + Hex(data.data(), dataSize, " "));
            ++i;
        }
    }
    if (result != ERROR_NO_MORE_ITEMS && result != ERROR_KEY_DELETED)
        ADD_FAILURE() << "listing the values of " << shown << " failed with " << result;
    std::sort(lines.begin() + std::ptrdiff_t(firstValue), lines.end());
    std::vector<std::wstring> subkeys;
    Subkeys(key, subkeys);
    std::sort(subkeys.begin(), subkeys.end());
    for (const std::wstring &subkey : subkeys)
        ListKey(key, subkey, shown.empty() ? Narrow(subkey) : shown + "\\" + Narrow(subkey), details, skipped, lines);
    RegCloseKey(key);
}

}

void SeedSettings(const std::vector<StoredValue> &values)
{
    CreateKey(HKEY_CURRENT_USER, Settings);
    for (size_t i = 0; i < std::size(SettingNames); ++i)
        if (values[i].present)
            SetValue(HKEY_CURRENT_USER, Settings, SettingNames[i], values[i].type, values[i].data);
}

void SetValue(HKEY root, const std::string &path, const char *name, DWORD type, const Bytes &data, DWORD options)
{
    HKEY key;
    ASSERT_EQ(RegCreateKeyExA(root, path.c_str(), 0, nullptr, options, KEY_ALL_ACCESS, nullptr, &key, nullptr), ERROR_SUCCESS)
        << "creating " << path;
    const LONG result = name == nullptr ? ERROR_SUCCESS : RegSetValueExA(key, name, 0, type, data.data(), DWORD(data.size()));
    RegCloseKey(key);
    ASSERT_EQ(result, ERROR_SUCCESS) << "setting " << path << ":" << name;
}

void DeleteTree(HKEY root, const std::string &path) { EXPECT_EQ(DeleteKeyTree(root, Wide(path)), ERROR_SUCCESS) << "deleting " << path; }

void SetAccess(HKEY root, const std::string &path, const char *sddl)
{
    const LONG result = SetKeyAccess(root, Wide(path), Wide(sddl).c_str());
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
    const std::wstring full = Wide(std::string("\\Registry\\User\\") + sid + "\\" + target);
    LocalFree(sid);
    const auto *bytes = reinterpret_cast<const BYTE *>(full.data());
    SetValue(root, path, "SymbolicLinkValue", REG_LINK, Bytes(bytes, bytes + full.size() * sizeof(wchar_t)), REG_OPTION_CREATE_LINK);
    HKEY key;
    ASSERT_TRUE(target != path || RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) << "the link to itself opens";
}

std::vector<std::string> ListTree(HKEY root, const std::string &path, unsigned details, const std::vector<std::string> &skipped)
{
    std::vector<std::string> lines;
    ListKey(root, Wide(path), path, details, skipped, lines);
    return lines;
}

std::vector<std::string> ExpectedSettingsTree(const std::vector<int> &states, const std::string &top)
{
    std::vector<std::string> lines;
    for (size_t end = top.size(); end < Settings.size(); end = Settings.find('\\', end + 1))
        lines.push_back(Settings.substr(0, end));
    lines.push_back(Settings);
    const size_t firstValue = lines.size();
    for (size_t i = 0; i < std::size(SettingNames); ++i)
        lines.push_back(Settings + ":" + SettingNames[i] + "=4:0" + std::to_string(states[i]) + " 00 00 00");
    std::sort(lines.begin() + std::ptrdiff_t(firstValue), lines.end());
    return lines;
}

void SandboxedTest::SetUp()
{
    RemoveEndedSandboxes();
    const std::string path = SandboxPath();
    DeleteTree(HKEY_CURRENT_USER, path);
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sandbox_, nullptr), ERROR_SUCCESS)
        << "creating the sandbox " << path;
    ASSERT_EQ(RegOverridePredefKey(HKEY_CURRENT_USER, sandbox_), ERROR_SUCCESS) << "redirecting HKEY_CURRENT_USER";
    // The real HKEY_CURRENT_USER is never empty: an empty one is the sandbox.
    ASSERT_EQ(ListTree(HKEY_CURRENT_USER, ""), std::vector<std::string>{}) << "HKEY_CURRENT_USER is not the new sandbox";
}

void SandboxedTest::TearDown()
{
    RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
    RegCloseKey(sandbox_);
    DeleteTree(HKEY_CURRENT_USER, SandboxPath());
    // The root goes with the last sandbox, so that a run on a person's machine leaves
    // nothing; while a kit runs, it holds the kit's note.
    DeleteKeyIfEmpty(HKEY_CURRENT_USER, SandboxRoot);
}
