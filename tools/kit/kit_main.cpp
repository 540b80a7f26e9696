// The test kit: the whole suite as one program that anyone can run on their own
// Windows. It runs each test in a process of its own, with a time limit, so that a test
// that hangs or crashes is reported by name and the run goes on; and it sets the keys
// that the end-to-end tests change aside for the run (tools/kit/saved_key.h).
#include "tools/kit/saved_key.h"
#include "tests/support/program.h"
#include "ui/setup_dialog.h"

#include <commctrl.h>
#include <gtest/gtest.h>
#include <shlwapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

std::string KitProgram;

namespace {

// A platform function that older Windows may lack, looked up rather than imported.
template <typename Function> Function Optional(const char *dll, const char *name)
{
    const HMODULE module = GetModuleHandleA(dll) != nullptr ? GetModuleHandleA(dll) : LoadLibraryA(dll);
    return module == nullptr ? nullptr : reinterpret_cast<Function>(reinterpret_cast<void *>(GetProcAddress(module, name)));
}

// The version the system itself reports, which compatibility settings do not change;
// its own text, which may be in any script, as the report's ASCII.
std::string WindowsVersion()
{
    using RtlGetVersion = LONG(WINAPI *)(OSVERSIONINFOEXW *);
    OSVERSIONINFOEXW version{};
    version.dwOSVersionInfoSize = sizeof version;
    // Every Windows that the kit loads on has it: the kit imports functions of Vista's.
    Optional<RtlGetVersion>("ntdll.dll", "RtlGetVersion")(&version);
    std::ostringstream text;
    text << version.dwMajorVersion << "." << version.dwMinorVersion << " build " << version.dwBuildNumber << " ";
    for (const wchar_t *letter = version.szCSDVersion; *letter != 0; ++letter)
        text << (*letter < 128 ? char(*letter) : '?');
    const auto read = [](const char *name) {
        char value[256] = {};
        DWORD size = sizeof value - 1, type = 0;
        if (RegGetValueA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", name, RRF_RT_ANY | RRF_NOEXPAND, &type,
                         value, &size) != ERROR_SUCCESS)
            return std::string();
        return type == REG_DWORD ? std::to_string(*reinterpret_cast<DWORD *>(value)) : std::string(value);
    };
    text << (version.szCSDVersion[0] ? " " : "") << "(" << read("ProductName");
    for (const char *name : {"DisplayVersion", "UBR"})
        if (const std::string value = read(name); !value.empty())
            text << ", " << name << " " << value;
    text << ")";
    return text.str();
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

constexpr DWORD TestLimitMilliseconds = 60000;
// While a test runs the kit notes, every second, that the keys may change during the
// next few, so that a later run tells what a stopped run's tests left from newer writes.
constexpr DWORD NoteEveryMilliseconds = 1000;

std::string SelfPath()
{
    char path[MAX_PATH];
    return std::string(path, GetModuleFileNameA(nullptr, path, MAX_PATH));
}
std::string KitFolder() { return SelfPath().substr(0, SelfPath().find_last_of('\\') + 1); }
std::string ReportPath() { return KitFolder() + "DustmarrowSetupTests-report.txt"; }

// Each line goes to the console and to the report beside the kit.
std::ofstream Report;
void Say(const std::string &line)
{
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
    Report << line << "\r\n" << std::flush;
}

struct Outcome {
    enum Kind { Passed, Failed, Skipped, Hung } kind;
    std::string details; // what a failed test printed
};
constexpr const char *OutcomeLabels[] = {"ok       ", "FAILED   ", "skipped  ", "HUNG     "};

// Ends a test's process and every process that it started, by id: for a test that the
// kit could not put in a job of its own. Only processes started after the test count,
// so that an id that Windows has given again is never taken for one of them.
void EndProcessTree(HANDLE test, DWORD testId)
{
    FILETIME started, created, unused;
    GetProcessTimes(test, &started, &unused, &unused, &unused);
    std::vector<PROCESSENTRY32> all;
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry))
        all.push_back(entry);
    CloseHandle(snapshot);
    TerminateProcess(test, 1);
    std::vector<DWORD> tree = {testId};
    for (size_t i = 0; i < tree.size(); ++i)
        for (const PROCESSENTRY32 &each : all)
            if (each.th32ParentProcessID == tree[i] && std::find(tree.begin(), tree.end(), each.th32ProcessID) == tree.end())
                if (const HANDLE process = OpenProcess(PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, each.th32ProcessID)) {
                    if (GetProcessTimes(process, &created, &unused, &unused, &unused) && CompareFileTime(&created, &started) >= 0 &&
                        TerminateProcess(process, 1))
                        tree.push_back(each.th32ProcessID);
                    CloseHandle(process);
                }
}

// A run of the kit as a child: whether it started, whether it ended within the limit,
// its exit status (when it did not start, the error), and what it printed.
struct ChildRun {
    bool started, ended;
    DWORD status;
    std::string printed;
};

// Runs the kit as a child with these arguments and the program, its output in a file,
// inside a job that ends the program under test with it; a child that outlives the
// limit is ended. While `noting`, the note that the tests may change the keys is renewed.
ChildRun RunChild(const std::string &arguments, bool noting)
{
    char folder[MAX_PATH], output[MAX_PATH];
    GetTempPathA(MAX_PATH, folder);
    GetTempFileNameA(folder, "dmt", 0, output);
    SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
    const HANDLE file = CreateFileA(output, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherited, CREATE_ALWAYS, 0, nullptr);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = startup.hStdError = file;
    std::string commandLine = "\"" + SelfPath() + "\" --child " + arguments + " \"" + KitProgram + "\"";
    PROCESS_INFORMATION process{};
    // Windows 7 lets a process be in one job only: a kit that runs in one (as a
    // launcher may start it) starts its test outside that job where the job allows it.
    // Where it does not, the test's processes are ended by id instead.
    const auto start = [&](DWORD flags) {
        return CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, TRUE, CREATE_SUSPENDED | flags, nullptr, nullptr, &startup,
                              &process);
    };
    const bool started = start(CREATE_BREAKAWAY_FROM_JOB) || start(0);
    const DWORD error = GetLastError();
    CloseHandle(file);
    if (!started) {
        DeleteFileA(output);
        return {false, false, error, {}};
    }
    const HANDLE job = CreateJobObjectA(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
    const bool inJob = AssignProcessToJobObject(job, process.hProcess);
    ResumeThread(process.hThread);
    CloseHandle(process.hThread);
    ChildRun run = {true, false, 1, {}};
    for (const DWORD begun = GetTickCount(); !run.ended && GetTickCount() - begun < TestLimitMilliseconds;) {
        if (noting)
            NoteChangesFor(NoteMilliseconds);
        run.ended = WaitForSingleObject(process.hProcess, NoteEveryMilliseconds) == WAIT_OBJECT_0;
    }
    // Closing the job ends whatever the child left running; without one, ending it is by id.
    if (!(inJob && (run.ended || TerminateJobObject(job, 1))))
        EndProcessTree(process.hProcess, process.dwProcessId);
    WaitForSingleObject(process.hProcess, 5000);
    GetExitCodeProcess(process.hProcess, &run.status);
    CloseHandle(process.hProcess);
    CloseHandle(job);
    run.printed.assign(std::istreambuf_iterator<char>(std::ifstream(output, std::ios::binary).rdbuf()), {});
    DeleteFileA(output);
    return run;
}

Outcome RunTest(const std::string &name)
{
    const ChildRun run = RunChild("--gtest_filter=" + name, true);
    if (!run.started)
        return {Outcome::Failed, "    could not start it: error " + std::to_string(run.status)};
    if (!run.ended)
        return {Outcome::Hung, "    still running after " + std::to_string(TestLimitMilliseconds / 1000) + " s, and ended"};
    for (const auto &[kind, mark] : {std::pair{Outcome::Skipped, "[  SKIPPED ]"}, std::pair{Outcome::Passed, "[       OK ]"}})
        if (run.status == 0 && run.printed.find(mark) != std::string::npos)
            return {kind, ""};
    // What the test printed between its start and its result.
    std::string details;
    std::istringstream lines(run.printed);
    bool inside = false;
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.rfind("[ RUN      ]", 0) == 0)
            inside = true;
        else if (line.rfind("[  FAILED  ]", 0) == 0)
            break;
        else if (inside)
            details += "    " + line + "\n";
    }
    if (details.empty())
        details = "    ended with status " + std::to_string(run.status) + " and no test result\n";
    return {Outcome::Failed, details.substr(0, details.size() - 1)};
}

// GoogleTest lists the disabled tests that the filter names too, and runs none of them:
// those whose suite's or own name begins with DISABLED_ or holds /DISABLED_.
bool Disabled(const std::string &name) { return name.rfind("DISABLED_", 0) == 0 || name.find("/DISABLED_") != std::string::npos; }

// The tests that the filter selects, in GoogleTest's order, as a child lists them: a
// line "Suite." for each suite, then one for each of its tests indented by two spaces,
// each perhaps followed by "  # " and its parameter. Empty when done; otherwise why not.
std::string ListSelectedTests(std::vector<std::string> &names)
{
    const ChildRun run = RunChild("--gtest_list_tests \"--gtest_filter=" + testing::GTEST_FLAG(filter) + "\"", false);
    if (!run.started)
        return "could not start the kit again: error " + std::to_string(run.status);
    if (!run.ended || run.status != 0)
        return run.ended ? "listing them ended with status " + std::to_string(run.status) : "listing them did not end";
    std::istringstream lines(run.printed);
    for (std::string line, suite, name; std::getline(lines, line);)
        if (!(std::istringstream(line) >> name))
            continue;
        else if (line[0] != ' ')
            suite = name.substr(0, name.size() - 1);
        else if (!Disabled(suite) && !Disabled(name))
            names.push_back(suite + "." + name);
    return {};
}

int RunKit()
{
    // The lock goes with the process, however it ends. A lock that this kit may not even
    // open is one that a kit run as administrator holds.
    const HANDLE lock = CreateMutexA(nullptr, TRUE, "DustmarrowSetupTestsRun");
    if (lock == nullptr || GetLastError() == ERROR_ALREADY_EXISTS) {
        std::printf("Another run of the kit is going on this desktop%s; it changes the same registry keys. Wait for it to end, then "
                    "run the kit again.\n",
                    lock == nullptr ? (" (as administrator, perhaps: its lock gives error " + std::to_string(GetLastError()) + ")").c_str()
                                    : "");
        return 2;
    }
    Report.open(ReportPath(), std::ios::binary | std::ios::trunc);
    Say("Dustmarrow 2.0 Setup test kit");
    Say("Windows: " + WindowsVersion());
    const auto wine = Optional<const char *(CDECL *)()>("ntdll.dll", "wine_get_version");
    Say(std::string("Wine: ") + (wine == nullptr ? "no" : std::string("yes, Wine ") + wine()));
    Say("Common controls: " + CommonControlsVersion());
    // The screen's own DPI: a process that does not say it is DPI-aware is shown 96.
    if (const auto aware = Optional<BOOL(WINAPI *)()>("user32.dll", "SetProcessDPIAware"))
        aware();
    const HDC screen = GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSX);
    ReleaseDC(nullptr, screen);
    Say("Screen: " + std::to_string(dpi) + " DPI");
    Say("Program: " + KitProgram + ", " + FileFacts(KitProgram));
    // What stops the run before its first test, in one line.
    const auto refuse = [](const std::string &why) {
        Say(why);
        return 2;
    };
    if (GetFileAttributesA(KitProgram.c_str()) == INVALID_FILE_ATTRIBUTES)
        return refuse("There is no program to test: put DustmarrowSetup.exe beside the kit, or name it on the command line.");
    std::vector<std::string> selected;
    if (const std::string unlisted = ListSelectedTests(selected); !unlisted.empty())
        return refuse("Could not list the tests: " + unlisted + "; no test is run.");
    const PutBack left = PutBackKeys();
    if (!left.done)
        return refuse(left.why);
    if (left.keysBack > 0)
        Say("A run that did not finish had set the keys that the tests change aside; they are back as they were before that run.");
    RemoveEndedSandboxes();
    if (const std::string notAside = SetKeysAside(); !notAside.empty())
        return refuse(notAside);

    int counts[4] = {};
    for (const std::string &name : selected) {
        const DWORD started = GetTickCount();
        const Outcome outcome = RunTest(name);
        const DWORD tenths = (GetTickCount() - started + 50) / 100;
        ++counts[outcome.kind];
        Say(OutcomeLabels[outcome.kind] + name + " (" + std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + " s)");
        if (!outcome.details.empty())
            Say(outcome.details);
    }

    const PutBack back = PutBackKeys();
    RemoveEndedSandboxes();
    Say(back.done ? "HKEY_CURRENT_USER\\SOFTWARE\\Quorvanta is back as it was before the run." : back.why);
    const int failed = counts[Outcome::Failed] + counts[Outcome::Hung];
    Say(std::to_string(counts[Outcome::Passed]) + " passed, " + std::to_string(failed) + " failed" +
        (counts[Outcome::Skipped] ? ", " + std::to_string(counts[Outcome::Skipped]) + " skipped" : ""));
    Report.close();
    return back.done && failed == 0 && counts[Outcome::Skipped] == 0 ? 0 : 1;
}

}

bool KitSetTheKeysAside() { return KeysAreAside(); }

// DustmarrowSetupTests [PROGRAM] [--gtest_filter=...]: without a program, the one beside it.
int main(int argc, char **argv)
{
    AppInstance = GetModuleHandleA(nullptr);
    InitCommonControls();
    KitProgram = KitFolder() + "DustmarrowSetup.exe";
    for (int i = 1; i < argc; ++i)
        if (argv[i][0] != '-')
            KitProgram = argv[i];
    const bool child = std::any_of(argv + 1, argv + argc, [](const char *argument) { return std::string(argument) == "--child"; });
    char full[MAX_PATH];
    if (GetFullPathNameA(KitProgram.c_str(), MAX_PATH, full, nullptr) != 0)
        KitProgram = full;
    testing::InitGoogleTest(&argc, argv);
    if (child)
        return RUN_ALL_TESTS();
    const int status = RunKit();
    // After a double-click the console closes with the program: keep it until Enter.
    DWORD processes[2], mode = 0;
    if (GetConsoleProcessList(processes, 2) == 1 && GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode)) {
        std::printf("The report is in %s. Press Enter to close this window.\n", ReportPath().c_str());
        std::getchar();
    }
    return status;
}
