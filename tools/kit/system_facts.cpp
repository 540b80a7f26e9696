#include "tools/kit/system_facts.h"

#include <commctrl.h>
#include <shlwapi.h>

#include <fstream>
#include <iterator>
#include <sstream>

namespace {

std::string Narrow(const wchar_t *text)
{
    std::string narrow;
    for (; *text != 0; ++text)
        narrow += *text < 128 ? char(*text) : '?';
    return narrow;
}

std::string ReadRegistryText(HKEY root, const char *path, const char *name)
{
    char text[256] = {};
    DWORD size = sizeof text - 1, type = 0;
    HKEY key;
    if (RegOpenKeyExA(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return "";
    const LONG result = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE *>(text), &size);
    RegCloseKey(key);
    if (result != ERROR_SUCCESS)
        return "";
    return type == REG_DWORD ? std::to_string(*reinterpret_cast<DWORD *>(text)) : std::string(text);
}

}

// The version the system itself reports, which compatibility settings do not change.
std::string WindowsVersion()
{
    using RtlGetVersion = LONG(WINAPI *)(OSVERSIONINFOEXW *);
    OSVERSIONINFOEXW version{};
    version.dwOSVersionInfoSize = sizeof version;
    std::ostringstream text;
    if (const auto get = Optional<RtlGetVersion>("ntdll.dll", "RtlGetVersion"); get != nullptr && get(&version) == 0)
        text << version.dwMajorVersion << "." << version.dwMinorVersion << " build " << version.dwBuildNumber << " "
             << Narrow(version.szCSDVersion) << (version.szCSDVersion[0] ? " " : "");
    else {
        OSVERSIONINFOA old{};
        old.dwOSVersionInfoSize = sizeof old;
        GetVersionExA(&old);
        text << old.dwMajorVersion << "." << old.dwMinorVersion << " build " << (old.dwBuildNumber & 0xFFFF) << " " << old.szCSDVersion
             << (old.szCSDVersion[0] ? " " : "");
    }
    const char *current = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
    text << "(" << ReadRegistryText(HKEY_LOCAL_MACHINE, current, "ProductName");
    for (const char *name : {"DisplayVersion", "UBR"})
        if (const std::string value = ReadRegistryText(HKEY_LOCAL_MACHINE, current, name); !value.empty())
            text << ", " << name << " " << value;
    text << ")";
    return text.str();
}

std::string WineVersion()
{
    using WineGetVersion = const char *(CDECL *)();
    const auto get = Optional<WineGetVersion>("ntdll.dll", "wine_get_version");
    return get == nullptr ? "no" : std::string("yes, Wine ") + get();
}

// The common controls that the program's manifest binds: the module that the kit's own
// import of InitCommonControls, made under the same manifest, came from.
std::string CommonControlsVersion()
{
    MEMORY_BASIC_INFORMATION found{};
    VirtualQuery(reinterpret_cast<void *>(&InitCommonControls), &found, sizeof found);
    auto *const module = static_cast<HMODULE>(found.AllocationBase);
    char path[MAX_PATH] = "?";
    GetModuleFileNameA(module, path, MAX_PATH);
    using DllGetVersion = HRESULT(CALLBACK *)(DLLVERSIONINFO *);
    const auto get = reinterpret_cast<DllGetVersion>(reinterpret_cast<void *>(GetProcAddress(module, "DllGetVersion")));
    DLLVERSIONINFO version{};
    version.cbSize = sizeof version;
    if (get == nullptr || get(&version) != S_OK)
        return std::string("unknown, ") + path;
    return std::to_string(version.dwMajorVersion) + "." + std::to_string(version.dwMinorVersion) + " build " +
           std::to_string(version.dwBuildNumber) + ", " + path;
}

// The screen's own DPI: a process that does not say it is DPI-aware is shown 96.
std::string ScreenDpi()
{
    if (const auto aware = Optional<BOOL(WINAPI *)()>("user32.dll", "SetProcessDPIAware"))
        aware();
    const HDC screen = GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSX);
    ReleaseDC(nullptr, screen);
    return std::to_string(dpi);
}

std::string FileFacts(const std::string &path)
{
    std::ifstream file(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (!file)
        return "cannot be read";
    std::string facts = std::to_string(bytes.size()) + " bytes, sha256 ";
    HCRYPTPROV provider = 0;
    HCRYPTHASH hash = 0;
    BYTE digest[32];
    DWORD size = sizeof digest;
    if (CryptAcquireContextA(&provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT) &&
        CryptCreateHash(provider, CALG_SHA_256, 0, 0, &hash) &&
        CryptHashData(hash, reinterpret_cast<const BYTE *>(bytes.data()), DWORD(bytes.size()), 0) &&
        CryptGetHashParam(hash, HP_HASHVAL, digest, &size, 0)) {
        for (const BYTE byte : digest)
            facts += std::string(1, "0123456789abcdef"[byte >> 4]) + "0123456789abcdef"[byte & 15];
    } else
        facts += "not available on this Windows";
    if (hash != 0)
        CryptDestroyHash(hash);
    if (provider != 0)
        CryptReleaseContext(provider, 0);
    return facts;
}
