#include "tests/kit/saved_key.h"

#include <sstream>
#include <vector>

namespace {

std::string Hex(const void *bytes, size_t size)
{
    std::string text;
    for (size_t at = 0; at < size; ++at) {
        const unsigned byte = static_cast<const BYTE *>(bytes)[at];
        text += "0123456789abcdef"[byte >> 4];
        text += "0123456789abcdef"[byte & 15];
    }
    return text;
}

std::string Hex(const std::wstring &text) { return Hex(text.data(), text.size() * sizeof(wchar_t)); }

std::vector<BYTE> Unhex(const std::string &text)
{
    std::vector<BYTE> bytes;
    for (size_t at = 0; at + 1 < text.size(); at += 2)
        bytes.push_back(BYTE(std::stoi(text.substr(at, 2), nullptr, 16)));
    return bytes;
}

std::wstring UnhexText(const std::string &text)
{
    const std::vector<BYTE> bytes = Unhex(text);
    return std::wstring(reinterpret_cast<const wchar_t *>(bytes.data()), bytes.size() / sizeof(wchar_t));
}

// The key `child` under `parent`.
std::wstring Below(const std::wstring &parent, const std::wstring &child) { return child.empty() ? parent : parent + L"\\" + child; }

// Appends the key `relative` below `path` and everything under it, one line each:
// "K|path" for a key, "V|path|name|type|data" for a value.
LONG SaveTree(HKEY root, const std::wstring &path, const std::wstring &relative, std::string &copy)
{
    HKEY key;
    LONG result = RegOpenKeyExW(root, Below(path, relative).c_str(), 0, KEY_READ, &key);
    if (result != ERROR_SUCCESS)
        return result;
    DWORD subkeys = 0, longestSubkey = 0, values = 0, longestName = 0, longestData = 0;
    result = RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, &longestSubkey, nullptr, &values, &longestName, &longestData,
                              nullptr, nullptr);
    copy += "K|" + Hex(relative) + "\n";
    std::vector<wchar_t> name(std::max(longestSubkey, longestName) + 1);
    std::vector<BYTE> data(longestData + 1);
    for (DWORD i = 0; result == ERROR_SUCCESS && i < values; ++i) {
        DWORD nameSize = DWORD(name.size()), dataSize = DWORD(data.size()), type = 0;
        result = RegEnumValueW(key, i, name.data(), &nameSize, nullptr, &type, data.data(), &dataSize);
        if (result == ERROR_SUCCESS)
            copy += "V|" + Hex(relative) + "|" + Hex(std::wstring(name.data(), nameSize)) + "|" + std::to_string(type) + "|" +
                    Hex(data.data(), dataSize) + "\n";
    }
    std::vector<std::wstring> names;
    for (DWORD i = 0; result == ERROR_SUCCESS && i < subkeys; ++i) {
        DWORD nameSize = DWORD(name.size());
        result = RegEnumKeyExW(key, i, name.data(), &nameSize, nullptr, nullptr, nullptr, nullptr);
        if (result == ERROR_SUCCESS)
            names.emplace_back(name.data(), nameSize);
    }
    RegCloseKey(key);
    for (const std::wstring &child : names)
        if (result == ERROR_SUCCESS)
            result = SaveTree(root, path, Below(relative, child), copy);
    return result;
}

}

bool SaveKey(HKEY root, const std::wstring &path, std::string &copy)
{
    copy.clear();
    const LONG result = SaveTree(root, path, L"", copy);
    if (result == ERROR_FILE_NOT_FOUND && copy.empty()) {
        copy = "absent\n";
        return true;
    }
    if (result != ERROR_SUCCESS)
        copy = "error " + std::to_string(result);
    return result == ERROR_SUCCESS;
}

// By hand rather than with RegDeleteTreeW, which opens each key for writing: a key a
// killed test left readable only is still deleted by its owner this way.
LONG DeleteKeyTree(HKEY root, const std::wstring &path)
{
    HKEY key;
    LONG result = RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key);
    if (result == ERROR_FILE_NOT_FOUND)
        return ERROR_SUCCESS;
    if (result != ERROR_SUCCESS)
        return result;
    wchar_t name[256];
    std::vector<std::wstring> subkeys;
    for (DWORD i = 0, size = 256; RegEnumKeyExW(key, i, name, &size, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS; ++i, size = 256)
        subkeys.emplace_back(name, size);
    RegCloseKey(key);
    for (const std::wstring &subkey : subkeys)
        if ((result = DeleteKeyTree(root, path + L"\\" + subkey)) != ERROR_SUCCESS)
            return result;
    return RegDeleteKeyW(root, path.c_str());
}

bool PutBackKey(HKEY root, const std::wstring &path, const std::string &copy)
{
    if (DeleteKeyTree(root, path) != ERROR_SUCCESS)
        return false;
    std::istringstream lines(copy);
    for (std::string line; std::getline(lines, line) && line != "absent";) {
        std::vector<std::string> fields;
        std::istringstream parts(line);
        for (std::string field; std::getline(parts, field, '|');)
            fields.push_back(field);
        if (line.back() == '|')
            fields.emplace_back();
        HKEY key;
        if (fields.size() < 2 || RegCreateKeyExW(root, Below(path, UnhexText(fields[1])).c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                                                 nullptr) != ERROR_SUCCESS)
            return false;
        LONG result = ERROR_SUCCESS;
        if (fields[0] == "V" && fields.size() == 5) {
            const std::vector<BYTE> data = Unhex(fields[4]);
            result = RegSetValueExW(key, UnhexText(fields[2]).c_str(), 0, DWORD(std::stoul(fields[3])), data.data(), DWORD(data.size()));
        }
        RegCloseKey(key);
        if (result != ERROR_SUCCESS)
            return false;
    }
    std::string now;
    return SaveKey(root, path, now) && now == copy;
}
