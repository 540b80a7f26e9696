// Starts the test kit and ends it outright, as a closed window, a killed process or a
// power cut would, at the very moment the registry is in a given state: for the checks
// that the next run finishes what a stopped one left.
//   stop_kit_when STATE MILLISECONDS [--while-frozen PROGRAM.exe] KIT.exe [ARGUMENT...]
// STATE: aside (the maker's key is set aside), changed (a test has written a maker's key
// of its own meanwhile), self-link (the settings key links to itself) or sandbox (an
// in-process test has made its sandbox). The kit's tests make and unmake the state, so
// the moment it shows, the kit and every process it started are frozen and it is looked
// at again: if it holds, PROGRAM runs and then they are all ended, none having run since
// the look; if not, they are thawed and the watch goes on. One line says which: exit 0
// when it ended the kit at the state, 1 when the kit ended, or the time ran out, first.
#include "tools/kit/saved_key.h"
#include "tests/support/registry.h"

#include <tlhelp32.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <utility>

extern "C" NTSTATUS NTAPI NtSuspendProcess(HANDLE process);
extern "C" NTSTATUS NTAPI NtResumeProcess(HANDLE process);

namespace {

bool Changed() { return KeysAreAside() && KeyExists(HKEY_CURRENT_USER, Wide(Maker)); }

// Opened as itself, the key is a link; followed, it does not open.
bool SelfLink()
{
    HKEY key;
    if (OpenItself(HKEY_CURRENT_USER, Wide(Settings), KEY_QUERY_VALUE, key) != ERROR_SUCCESS)
        return false;
    const bool link = RegQueryValueExW(key, L"SymbolicLinkValue", nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
    RegCloseKey(key);
    if (!link || RegOpenKeyExA(HKEY_CURRENT_USER, Settings.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return link;
    RegCloseKey(key);
    return false;
}

struct State {
    const char *name;
    bool (*holds)();
};
constexpr State States[] = {
    {"aside", KeysAreAside}, {"changed", Changed}, {"self-link", SelfLink}, {"sandbox", [] { return !Sandboxes().empty(); }}};

// A process of the kit's tree, by a handle that also keeps its id from being given again.
struct Member {
    HANDLE process;
    DWORD id;
};
using Tree = std::vector<Member>;

bool In(const Tree &tree, DWORD id)
{
    return std::any_of(tree.begin(), tree.end(), [&](const Member &member) { return member.id == id; });
}

// Wine starts its desktop and a console's host as children of the first program that
// needs them, and every program needs them afterwards: they are never frozen.
bool IsWinesOwn(const char *file) { return lstrcmpiA(file, "explorer.exe") == 0 || lstrcmpiA(file, "conhost.exe") == 0; }

// Adds each process that one in the tree started since the kit did, by parent id, and
// theirs, as one look at the processes shows them; suspended at once when `freezing`.
// A process older than the kit has a parent id that Windows gave again.
void AddStarted(Tree &tree, const FILETIME &kitStarted, bool freezing)
{
    std::vector<PROCESSENTRY32> processes;
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry))
        processes.push_back(entry);
    CloseHandle(snapshot);
    FILETIME started, unused;
    for (size_t before = 0; before != tree.size();) {
        before = tree.size();
        for (const PROCESSENTRY32 &each : processes) {
            if (!In(tree, each.th32ParentProcessID) || In(tree, each.th32ProcessID) || IsWinesOwn(each.szExeFile))
                continue;
            const HANDLE process = OpenProcess(PROCESS_SUSPEND_RESUME | PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE,
                                               FALSE, each.th32ProcessID);
            if (process != nullptr && GetProcessTimes(process, &started, &unused, &unused, &unused) &&
                CompareFileTime(&started, &kitStarted) >= 0 && (!freezing || NtSuspendProcess(process) == 0))
                tree.push_back({process, each.th32ProcessID});
            else if (process != nullptr)
                CloseHandle(process);
        }
    }
}

// The kit and what it has started, kept open while the state is watched, so that
// freezing them needs no look at the processes first.
Tree Watch(const PROCESS_INFORMATION &kit, const FILETIME &kitStarted)
{
    Tree tree(1, {nullptr, kit.dwProcessId});
    DuplicateHandle(GetCurrentProcess(), kit.hProcess, GetCurrentProcess(), &tree[0].process, 0, FALSE, DUPLICATE_SAME_ACCESS);
    AddStarted(tree, kitStarted, false);
    return tree;
}

// Waits until every thread of the tree has stopped: a thread asked to stop in the
// middle of a call to the system finishes that call first, and asking for its
// registers waits until it has.
void WaitUntilStopped(const Tree &tree)
{
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        if (In(tree, entry.th32OwnerProcessID))
            if (const HANDLE thread = OpenThread(THREAD_GET_CONTEXT, FALSE, entry.th32ThreadID)) {
                CONTEXT registers{};
                registers.ContextFlags = CONTEXT_CONTROL;
                GetThreadContext(thread, &registers);
                CloseHandle(thread);
            }
    CloseHandle(snapshot);
}

// Freezes the watched tree, the last started first, and what it started meanwhile,
// then looks again once its threads have stopped, as one may have been starting a
// process, until a look finds none new. A stopped process starts no more.
Tree Freeze(Tree watched, const FILETIME &kitStarted)
{
    Tree frozen;
    for (auto member = watched.rbegin(); member != watched.rend(); ++member)
        if (NtSuspendProcess(member->process) == 0)
            frozen.push_back(*member);
        else
            CloseHandle(member->process);
    for (size_t stopped = 0; AddStarted(frozen, kitStarted, true), frozen.size() != stopped; stopped = frozen.size())
        WaitUntilStopped(frozen);
    return frozen;
}

void LetGo(const Tree &frozen, bool ending)
{
    for (const Member &member : frozen) {
        if (!ending)
            NtResumeProcess(member.process);
        else if (TerminateProcess(member.process, 1))
            WaitForSingleObject(member.process, 10000);
        CloseHandle(member.process);
    }
}

// Starts the command with a file for its input and output: 0, or the error.
DWORD Start(std::string commandLine, const char *path, DWORD access, DWORD creation, PROCESS_INFORMATION &process)
{
    SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = startup.hStdOutput = startup.hStdError =
        CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherited, creation, 0, nullptr);
    const DWORD error =
        CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process) ? 0 : GetLastError();
    CloseHandle(startup.hStdOutput);
    return error;
}

// Runs the program with its output in a file, within the limit: how it ended, and the
// first line it printed.
std::string RunWhileFrozen(const std::string &program, DWORD limit)
{
    char folder[MAX_PATH], output[MAX_PATH];
    GetTempPathA(MAX_PATH, folder);
    GetTempFileNameA(folder, "skw", 0, output);
    std::string said = "; " + program + ", run while it was frozen, ";
    PROCESS_INFORMATION run{};
    DWORD status = 1;
    if (const DWORD error = Start("\"" + program + "\"", output, GENERIC_WRITE, CREATE_ALWAYS, run))
        said += "could not start: error " + std::to_string(error);
    else if (WaitForSingleObject(run.hProcess, limit) == WAIT_OBJECT_0 && GetExitCodeProcess(run.hProcess, &status)) {
        std::string first;
        std::getline(std::ifstream(output) >> std::ws, first);
        said += "exited " + std::to_string(status) + ": " + first.substr(0, first.find('\r'));
    } else {
        TerminateProcess(run.hProcess, 1);
        WaitForSingleObject(run.hProcess, 10000);
        said += "was still running after " + std::to_string(limit) + " ms, and was ended";
    }
    CloseHandle(run.hThread);
    CloseHandle(run.hProcess);
    DeleteFileA(output);
    return said;
}

}

int main(int argc, char **argv)
{
    const State *state = std::find_if(std::begin(States), std::end(States),
                                      [&](const State &each) { return argc >= 4 && argv[1] == std::string(each.name); });
    const bool withProgram = argc > 3 && std::string(argv[3]) == "--while-frozen";
    const int kitArgument = withProgram ? 5 : 3;
    if (state == std::end(States) || kitArgument >= argc) {
        std::fprintf(stderr, "usage: stop_kit_when aside|changed|self-link|sandbox MILLISECONDS [--while-frozen PROGRAM.exe] KIT.exe "
                             "[ARGUMENT...]\n");
        return 2;
    }
    const DWORD limit = DWORD(std::strtoul(argv[2], nullptr, 10));
    // Wine starts its desktop for the first program that needs one; with that program
    // frozen early, a program started later, as PROGRAM is, may wait on it for ever. It
    // is made here, before the kit.
    GetDesktopWindow();
    std::string commandLine;
    for (int i = kitArgument; i < argc; ++i)
        commandLine += "\"" + std::string(argv[i]) + "\" ";
    // The kit's own lines go to its report; this program's line is the one to read.
    PROCESS_INFORMATION kit{};
    if (const DWORD error = Start(commandLine, "NUL", GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING, kit)) {
        std::fprintf(stderr, "could not start %s: error %lu\n", argv[kitArgument], error);
        return 2;
    }
    CloseHandle(kit.hThread);
    const DWORD started = GetTickCount();
    FILETIME kitStarted, unused;
    GetProcessTimes(kit.hProcess, &kitStarted, &unused, &unused, &unused);
    const auto running = [&] { return WaitForSingleObject(kit.hProcess, 0) == WAIT_TIMEOUT; };
    Tree watched = Watch(kit, kitStarted);
    int gone = 0; // how often the state showed, and was gone once the kit was frozen
    for (unsigned looks = 1; running() && GetTickCount() - started < limit; ++looks) {
        if (state->holds()) {
            const Tree frozen = Freeze(std::move(watched), kitStarted);
            if (!frozen.empty() && running() && state->holds()) {
                const DWORD at = GetTickCount() - started;
                const std::string alongside = withProgram ? RunWhileFrozen(argv[4], limit) : "";
                LetGo(frozen, true);
                std::printf("ended the kit at the state %s, %lu ms after its start%s\n", state->name, at, alongside.c_str());
                return 0;
            }
            LetGo(frozen, false);
            watched = Watch(kit, kitStarted);
            ++gone;
        } else if (looks % 16 == 0) // what the kit has started since, every few looks
            AddStarted(watched, kitStarted, false);
        WaitForSingleObject(kit.hProcess, 1);
    }
    const bool ended = !running();
    LetGo(Freeze(std::move(watched), kitStarted), true);
    const std::string times = gone == 1 ? "once" : std::to_string(gone) + " times";
    const std::string seen = gone == 0 ? "" : ", which showed " + times + " but was gone each time the kit was frozen";
    const std::string first = ended ? "ended" : "was still running " + std::to_string(GetTickCount() - started) + " ms after its start,";
    std::printf("the kit %s before the state %s%s\n", first.c_str(), state->name, seen.c_str());
    return 1;
}
