// Starts the test kit and ends it outright, as a closed window, a killed process or a
// power cut would, the moment the registry reaches a given state: for the checks that
// the next run finishes what a stopped one left.
//   stop_kit_when STATE MILLISECONDS KIT.exe [ARGUMENT...]
// STATE is one of
//   aside      the maker's key has been set aside
//   changed    a test has written a maker's key of its own meanwhile
//   self-link  the settings key is a link to itself
//   sandbox    an in-process test has made its sandbox
// Exits 0 once it has ended the kit in that state; 1 when the kit ended, or the time
// ran out, first.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

bool Exists(const char *path)
{
    HKEY key;
    const LONG result = RegOpenKeyExA(HKEY_CURRENT_USER, path, REG_OPTION_OPEN_LINK, KEY_QUERY_VALUE, &key);
    if (result == ERROR_SUCCESS)
        RegCloseKey(key);
    return result != ERROR_FILE_NOT_FOUND;
}

bool Aside()
{
    return Exists("SOFTWARE\\Quorvanta (saved by DustmarrowSetupTests)") ||
           Exists("SOFTWARE\\Quorvanta (absent before DustmarrowSetupTests ran)");
}

bool Changed() { return Aside() && Exists("SOFTWARE\\Quorvanta"); }

// Opened as itself, the key is a link; followed, it does not open.
bool SelfLink()
{
    const char *const settings = "SOFTWARE\\Quorvanta\\Dustmarrow";
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, settings, REG_OPTION_OPEN_LINK, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return false;
    const bool link = RegQueryValueExA(key, "SymbolicLinkValue", nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
    RegCloseKey(key);
    return link && RegOpenKeyExA(HKEY_CURRENT_USER, settings, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS;
}

bool Sandbox()
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\DustmarrowSetupTests", 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    char name[256];
    bool found = false;
    for (DWORD i = 0, size = sizeof name; !found && RegEnumKeyExA(key, i, name, &size, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
         ++i, size = sizeof name)
        found = std::string(name).rfind("Sandbox", 0) == 0;
    RegCloseKey(key);
    return found;
}

struct State {
    const char *name;
    bool (*reached)();
};
constexpr State States[] = {{"aside", Aside}, {"changed", Changed}, {"self-link", SelfLink}, {"sandbox", Sandbox}};

}

int main(int argc, char **argv)
{
    const State *state = nullptr;
    for (const State &each : States)
        if (argc >= 4 && std::string(argv[1]) == each.name)
            state = &each;
    if (state == nullptr) {
        std::fprintf(stderr, "usage: stop_kit_when aside|changed|self-link|sandbox MILLISECONDS KIT.exe [ARGUMENT...]\n");
        return 2;
    }
    const DWORD limit = DWORD(std::strtoul(argv[2], nullptr, 10));
    std::string commandLine;
    for (int i = 3; i < argc; ++i)
        commandLine += "\"" + std::string(argv[i]) + "\" ";
    // The kit's own lines go to its report; this program's line is the one to read.
    SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = startup.hStdOutput = startup.hStdError =
        CreateFileA("NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherited, OPEN_EXISTING, 0, nullptr);
    PROCESS_INFORMATION kit{};
    if (!CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &kit)) {
        std::fprintf(stderr, "could not start %s: error %lu\n", argv[3], GetLastError());
        return 2;
    }
    const DWORD started = GetTickCount();
    bool ended = false;
    while (!state->reached() && !ended && GetTickCount() - started < limit)
        ended = WaitForSingleObject(kit.hProcess, 1) == WAIT_OBJECT_0;
    TerminateProcess(kit.hProcess, 1);
    WaitForSingleObject(kit.hProcess, INFINITE);
    if (ended || !state->reached()) {
        std::printf("the kit %s before the state %s\n", ended ? "ended" : "was still running after the limit", state->name);
        return 1;
    }
    std::printf("ended the kit at the state %s, %lu ms after its start\n", state->name, GetTickCount() - started);
    return 0;
}
