// The test kit: the whole suite as one program that anyone can run on their own
// Windows. It runs each test in a process of its own, with a time limit, so that a test
// that hangs or crashes is reported by name and the run goes on. The end-to-end tests
// change HKEY_CURRENT_USER\SOFTWARE\Quorvanta, so the kit saves that key whole before
// the first test and puts it back exactly after the last one; a run that was killed
// leaves the saved copy, which the next run puts back first.
#include "tests/kit/saved_key.h"
#include "tests/kit/system_facts.h"
#include "tests/support/program.h"
#include "ui/setup_dialog.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

std::string KitProgram;

namespace {

constexpr DWORD TestLimitMilliseconds = 60000;
const std::wstring MakersKey = L"SOFTWARE\\Quorvanta";

std::string SelfPath()
{
    char path[MAX_PATH];
    return std::string(path, GetModuleFileNameA(nullptr, path, MAX_PATH));
}

std::string KitFolder()
{
    const std::string self = SelfPath();
    return self.substr(0, self.find_last_of('\\') + 1);
}

std::string SavedCopyPath() { return KitFolder() + "DustmarrowSetupTests-saved-registry.txt"; }
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

std::string ReadFile(const std::string &path)
{
    std::ifstream file(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

// Runs one test in a process of its own, its output in a file, inside a job that ends
// the program under test with it. A process that outlives the limit is ended.
Outcome RunTest(const std::string &name)
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
    std::string commandLine = "\"" + SelfPath() + "\" --child --gtest_filter=" + name + " \"" + KitProgram + "\"";
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, TRUE, CREATE_SUSPENDED, nullptr, nullptr, &startup, &process)) {
        CloseHandle(file);
        DeleteFileA(output);
        return {Outcome::Failed, "    could not start it: error " + std::to_string(GetLastError())};
    }
    CloseHandle(file);
    // Older Windows refuse a job for a process that is in one already: then only the
    // test's own process is ended.
    const HANDLE job = CreateJobObjectA(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
    const bool inJob = AssignProcessToJobObject(job, process.hProcess);
    ResumeThread(process.hThread);
    CloseHandle(process.hThread);
    const bool ended = WaitForSingleObject(process.hProcess, TestLimitMilliseconds) == WAIT_OBJECT_0;
    if (!ended && !(inJob && TerminateJobObject(job, 1)))
        TerminateProcess(process.hProcess, 1);
    WaitForSingleObject(process.hProcess, 5000);
    DWORD status = 1;
    GetExitCodeProcess(process.hProcess, &status);
    CloseHandle(process.hProcess);
    CloseHandle(job);
    const std::string printed = ReadFile(output);
    DeleteFileA(output);

    if (!ended)
        return {Outcome::Hung, "    still running after " + std::to_string(TestLimitMilliseconds / 1000) + " s, and ended"};
    if (status == 0 && printed.find("[  SKIPPED ]") != std::string::npos)
        return {Outcome::Skipped, ""};
    if (status == 0 && printed.find("[       OK ]") != std::string::npos)
        return {Outcome::Passed, ""};
    // What the test printed between its start and its result.
    std::string details;
    std::istringstream lines(printed);
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
        details = "    ended with status " + std::to_string(status) + " and no test result\n";
    return {Outcome::Failed, details.substr(0, details.size() - 1)};
}

// GoogleTest's filter, as --gtest_filter takes it: patterns with * and ? separated by
// ':', then after a '-' the patterns to leave out.
bool Matches(const char *pattern, const char *name)
{
    if (*pattern == '\0' || *pattern == ':' || *pattern == '-')
        return *name == '\0';
    if (*pattern == '*')
        return Matches(pattern + 1, name) || (*name != '\0' && Matches(pattern, name + 1));
    return *name != '\0' && (*pattern == '?' || *pattern == *name) && Matches(pattern + 1, name + 1);
}

bool MatchesAny(const std::string &patterns, const std::string &name)
{
    for (size_t at = 0; at <= patterns.size(); at = patterns.find(':', at) + 1) {
        if (Matches(patterns.c_str() + at, name.c_str()))
            return true;
        if (patterns.find(':', at) == std::string::npos)
            break;
    }
    return false;
}

bool Selected(const std::string &name)
{
    const std::string filter = testing::GTEST_FLAG(filter);
    const size_t minus = filter.find('-');
    const std::string wanted = filter.substr(0, minus);
    return name.find("DISABLED_") == std::string::npos && MatchesAny(wanted.empty() ? "*" : wanted, name) &&
           (minus == std::string::npos || !MatchesAny(filter.substr(minus + 1), name));
}

bool WriteSavedCopy(const std::string &copy)
{
    std::ofstream file(SavedCopyPath(), std::ios::binary | std::ios::trunc);
    file << copy;
    file.close();
    return !file.fail() && ReadFile(SavedCopyPath()) == copy;
}

// A run that was killed left its saved copy: that copy is what the key was before.
bool PutBackLeftCopy()
{
    if (GetFileAttributesA(SavedCopyPath().c_str()) == INVALID_FILE_ATTRIBUTES)
        return true;
    Say("A run that did not finish left a saved copy of HKEY_CURRENT_USER\\SOFTWARE\\Quorvanta; putting it back first.");
    if (!PutBackKey(HKEY_CURRENT_USER, MakersKey, ReadFile(SavedCopyPath()))) {
        Say("Putting it back failed: no test is run, and the copy stays at " + SavedCopyPath());
        return false;
    }
    DeleteFileA(SavedCopyPath().c_str());
    return true;
}

// After a double-click the console closes with the program: keep it until Enter.
void HoldAnOwnConsole()
{
    DWORD processes[2], mode = 0;
    const auto list = Optional<DWORD(WINAPI *)(LPDWORD, DWORD)>("kernel32.dll", "GetConsoleProcessList");
    if (list != nullptr && list(processes, 2) == 1 && GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode)) {
        std::printf("The report is in %s. Press Enter to close this window.\n", ReportPath().c_str());
        std::getchar();
    }
}

int RunKit()
{
    // The mutex goes with the process, however it ends.
    CreateMutexA(nullptr, TRUE, "DustmarrowSetupTestsRun");
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        std::printf("Another run of the kit is going on this desktop; it changes the same registry key. Wait for it to "
                    "end, then run the kit again.\n");
        return 2;
    }
    Report.open(ReportPath(), std::ios::binary | std::ios::trunc);
    Say("Dustmarrow 2.0 Setup test kit");
    Say("Windows: " + WindowsVersion());
    Say("Wine: " + WineVersion());
    Say("Common controls: " + CommonControlsVersion());
    Say("Screen: " + ScreenDpi() + " DPI");
    Say("Program: " + KitProgram + ", " + FileFacts(KitProgram));
    if (GetFileAttributesA(KitProgram.c_str()) == INVALID_FILE_ATTRIBUTES) {
        Say("There is no program to test: put DustmarrowSetup.exe beside the kit, or name it on the command line.");
        return 2;
    }
    if (!PutBackLeftCopy())
        return 2;
    std::string copy;
    if (!SaveKey(HKEY_CURRENT_USER, MakersKey, copy) || !WriteSavedCopy(copy)) {
        Say("Could not save HKEY_CURRENT_USER\\SOFTWARE\\Quorvanta (" + copy + ") to " + SavedCopyPath() + ": no test is run.");
        DeleteFileA(SavedCopyPath().c_str());
        return 2;
    }

    int counts[4] = {};
    const testing::UnitTest &unit = *testing::UnitTest::GetInstance();
    for (int i = 0; i < unit.total_test_suite_count(); ++i) {
        const testing::TestSuite &suite = *unit.GetTestSuite(i);
        for (int j = 0; j < suite.total_test_count(); ++j) {
            const std::string name = std::string(suite.name()) + "." + suite.GetTestInfo(j)->name();
            if (!Selected(name))
                continue;
            const DWORD started = GetTickCount();
            const Outcome outcome = RunTest(name);
            const DWORD tenths = (GetTickCount() - started + 50) / 100;
            ++counts[outcome.kind];
            Say(std::string(outcome.kind == Outcome::Passed    ? "ok       "
                            : outcome.kind == Outcome::Skipped ? "skipped  "
                            : outcome.kind == Outcome::Hung    ? "HUNG     "
                                                               : "FAILED   ") +
                name + " (" + std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + " s)");
            if (!outcome.details.empty())
                Say(outcome.details);
        }
    }

    const bool putBack = PutBackKey(HKEY_CURRENT_USER, MakersKey, copy);
    if (putBack) {
        DeleteFileA(SavedCopyPath().c_str());
        Say("HKEY_CURRENT_USER\\SOFTWARE\\Quorvanta is back as it was before the run.");
    } else
        Say("HKEY_CURRENT_USER\\SOFTWARE\\Quorvanta could not be put back; its saved copy stays at " + SavedCopyPath() +
            ", and the next run puts it back first.");
    const int failed = counts[Outcome::Failed] + counts[Outcome::Hung];
    Say(std::to_string(counts[Outcome::Passed]) + " passed, " + std::to_string(failed) + " failed" +
        (counts[Outcome::Skipped] ? ", " + std::to_string(counts[Outcome::Skipped]) + " skipped" : ""));
    Report.close();
    return putBack && failed == 0 && counts[Outcome::Skipped] == 0 ? 0 : 1;
}

}

bool KitSavedTheMakersKey() { return GetFileAttributesA(SavedCopyPath().c_str()) != INVALID_FILE_ATTRIBUTES; }

// DustmarrowSetupTests [PROGRAM] [--gtest_filter=...]: without a program, the one
// beside it.
int main(int argc, char **argv)
{
    AppInstance = GetModuleHandleA(nullptr);
    InitCommonControls();
    bool child = false;
    KitProgram = KitFolder() + "DustmarrowSetup.exe";
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--child")
            child = true;
        else if (argv[i][0] != '-')
            KitProgram = argv[i];
    }
    char full[MAX_PATH];
    if (GetFullPathNameA(KitProgram.c_str(), MAX_PATH, full, nullptr) != 0)
        KitProgram = full;
    testing::InitGoogleTest(&argc, argv);
    if (child)
        return RUN_ALL_TESTS();
    const int status = RunKit();
    HoldAnOwnConsole();
    return status;
}
