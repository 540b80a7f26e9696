#include "tests/support/registry.h"

#include "settings/catalogue.h"

#include <gtest/gtest.h>

#include <sddl.h>

#include <algorithm>
#include <cstdio>

Bytes DwordBytes(DWORD value) { return {BYTE(value), BYTE(value >> 8), BYTE(value >> 16), BYTE(value >> 24)}; }

void CreateKey(HKEY root, const std::string &path)
{
    HKEY key;
    const LONG result = RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    ASSERT_EQ(result, ERROR_SUCCESS) << "creating " << path;
    RegCloseKey(key);
}

void SetValue(HKEY root, const std::string &path, const char *name, DWORD type, const Bytes &data)
{
    HKEY key;
    ASSERT_EQ(RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr), ERROR_SUCCESS)
        << "creating " << path;
    const LONG result = RegSetValueExA(key, name, 0, type, data.empty() ? nullptr : data.data(), DWORD(data.size()));
    RegCloseKey(key);
    ASSERT_EQ(result, ERROR_SUCCESS) << "setting " << path << ":" << name;
}

void DeleteTree(HKEY root, const std::string &path)
{
    const LONG result = RegDeleteTreeA(root, path.c_str());
    if (result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND)
        RegDeleteKeyA(root, path.c_str());
    else
        ADD_FAILURE() << "deleting " << path << " failed with " << result;
}

namespace {

void SetDacl(HKEY root, const std::string &path, const char *sddl)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &descriptor, nullptr));
    HKEY key;
    LONG result = RegOpenKeyExA(root, path.c_str(), 0, WRITE_DAC, &key);
    if (result == ERROR_SUCCESS) {
        result = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor);
        RegCloseKey(key);
    }
    LocalFree(descriptor);
    ASSERT_EQ(result, ERROR_SUCCESS) << "setting the access of " << path;
}

}

void AllowOnlyReading(HKEY root, const std::string &path)
{
    SetDacl(root, path, "D:P(A;;KR;;;WD)");
    HKEY key;
    ASSERT_EQ(RegOpenKeyExA(root, path.c_str(), 0, KEY_WRITE, &key), ERROR_ACCESS_DENIED) << path << " is still writable";
}

void AllowEverything(HKEY root, const std::string &path) { SetDacl(root, path, "D:P(A;OICI;KA;;;WD)"); }

void CreateSelfLink(HKEY root, const std::string &path)
{
    // A link's target is a full kernel path: \Registry\User\<the user's SID>\path.
    HANDLE token;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    BYTE buffer[256];
    DWORD size = sizeof buffer;
    const BOOL gotUser = GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size);
    CloseHandle(token);
    ASSERT_TRUE(gotUser);
    LPSTR sid = nullptr;
    ASSERT_TRUE(ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER *>(buffer)->User.Sid, &sid));
    const std::string target = std::string("\\Registry\\User\\") + sid + "\\" + path;
    LocalFree(sid);
    const std::wstring wideTarget(target.begin(), target.end());

    HKEY key;
    ASSERT_EQ(
        RegCreateKeyExA(root, path.c_str(), 0, nullptr, REG_OPTION_CREATE_LINK, KEY_ALL_ACCESS | KEY_CREATE_LINK, nullptr, &key, nullptr),
        ERROR_SUCCESS);
    const LONG linked = RegSetValueExW(key, L"SymbolicLinkValue", 0, REG_LINK, reinterpret_cast<const BYTE *>(wideTarget.data()),
                                       DWORD(wideTarget.size()) * DWORD(sizeof(wchar_t)));
    RegCloseKey(key);
    ASSERT_EQ(linked, ERROR_SUCCESS);
    ASSERT_NE(RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key), ERROR_SUCCESS) << "the link to itself opens";
}

void DeleteLink(HKEY root, const std::string &path)
{
    using NtDeleteKeyFunction = LONG(WINAPI *)(HANDLE);
    const auto ntDeleteKey =
        reinterpret_cast<NtDeleteKeyFunction>(reinterpret_cast<void *>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtDeleteKey")));
    ASSERT_NE(ntDeleteKey, nullptr);
    HKEY key;
    if (RegOpenKeyExA(root, path.c_str(), REG_OPTION_OPEN_LINK, DELETE | KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return;
    DWORD type = REG_NONE;
    const bool isLink = RegQueryValueExA(key, "SymbolicLinkValue", nullptr, &type, nullptr, nullptr) == ERROR_SUCCESS && type == REG_LINK;
    if (isLink) {
        EXPECT_EQ(ntDeleteKey(key), 0) << "deleting the link " << path;
    }
    RegCloseKey(key);
}

bool KeyExists(HKEY root, const std::string &path)
{
    HKEY key;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

namespace {

std::string Hex(const BYTE *data, DWORD size)
{
    std::string text;
    char byte[4];
    for (DWORD i = 0; i < size; ++i) {
        std::snprintf(byte, sizeof byte, i ? " %02x" : "%02x", data[i]);
        text += byte;
    }
    return text;
}

std::vector<std::string> SortedSubkeyNames(HKEY key)
{
    std::vector<std::string> names;
    char name[256];
    for (DWORD i = 0;; ++i) {
        DWORD nameSize = sizeof name;
        if (RegEnumKeyExA(key, i, name, &nameSize, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

void ListKey(HKEY parent, const std::string &path, const std::string &shownPath, std::vector<std::string> &lines)
{
    HKEY key;
    if (RegOpenKeyExA(parent, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return;
    lines.push_back(shownPath);
    char name[16384];
    static BYTE data[1 << 16];
    std::vector<std::string> values;
    for (DWORD i = 0;; ++i) {
        DWORD nameSize = sizeof name, dataSize = sizeof data, type = 0;
        const LONG result = RegEnumValueA(key, i, name, &nameSize, nullptr, &type, data, &dataSize);
        if (result != ERROR_SUCCESS) {
            // Another test process may delete its own sandbox while it is listed.
            if (result != ERROR_NO_MORE_ITEMS && result != ERROR_KEY_DELETED)
                ADD_FAILURE() << "listing the values of " << shownPath << " failed with " << result;
            break;
        }
        values.push_back(shownPath + ":" + name + "=" + std::to_string(type) + ":" + Hex(data, dataSize));
    }
    std::sort(values.begin(), values.end());
    lines.insert(lines.end(), values.begin(), values.end());
    for (const std::string &subkey : SortedSubkeyNames(key))
        ListKey(key, subkey, shownPath + "\\" + subkey, lines);
    RegCloseKey(key);
}

}

std::vector<std::string> ListTree(HKEY root, const std::string &path)
{
    std::vector<std::string> lines;
    if (!path.empty())
        ListKey(root, path, path, lines);
    else
        for (const std::string &top : SortedSubkeyNames(root))
            ListKey(root, top, top, lines);
    return lines;
}

std::vector<std::string> ExpectedSettingsTree(const std::vector<int> &states, const std::string &top)
{
    std::vector<std::string> lines;
    for (size_t end = top.size(); end < Settings.size(); end = Settings.find('\\', end + 1))
        lines.push_back(Settings.substr(0, end));
    lines.push_back(Settings);
    std::vector<std::string> values;
    for (int i = 0; i < SettingCount; ++i)
        values.push_back(Settings + ":" + SettingValueNames[i] + "=4:0" + std::to_string(states[size_t(i)]) + " 00 00 00");
    std::sort(values.begin(), values.end());
    lines.insert(lines.end(), values.begin(), values.end());
    return lines;
}

HkcuSandbox::HkcuSandbox() : path_(SandboxRoot + "\\Sandbox" + std::to_string(GetCurrentProcessId()))
{
    DeleteTree(HKEY_CURRENT_USER, path_);
    const LONG created = RegCreateKeyExA(HKEY_CURRENT_USER, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sandbox_, nullptr);
    if (created != ERROR_SUCCESS) {
        ADD_FAILURE() << "creating the sandbox key failed with " << created;
        return;
    }
    const LONG overridden = RegOverridePredefKey(HKEY_CURRENT_USER, sandbox_);
    if (overridden != ERROR_SUCCESS)
        ADD_FAILURE() << "redirecting HKEY_CURRENT_USER failed with " << overridden;
}

HkcuSandbox::~HkcuSandbox()
{
    RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
    if (sandbox_ != nullptr)
        RegCloseKey(sandbox_);
    DeleteTree(HKEY_CURRENT_USER, path_);
}
