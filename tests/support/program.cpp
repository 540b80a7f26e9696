#include "tests/support/program.h"

#include "tests/support/registry.h"
#include "tools/find_dialog.h"

#include <cstdlib>
#include <cstring>

namespace {

// Deadlines on the clock. Under Wine a start takes a tenth of a second and a step a
// few milliseconds; these allow for a slow, busy machine, and together stay well
// inside ctest's own limit for a test.
constexpr DWORD StartMilliseconds = 15000;
constexpr DWORD StepMilliseconds = 3000;
constexpr DWORD ExitMilliseconds = 3000;

// Wine's settings for programs of this file name only.
const std::string ProgramDefaults = "Software\\Wine\\AppDefaults\\DustmarrowSetup.exe";

bool IsRunning(const RunningProgram &program)
{
    return program.process.hProcess != nullptr && WaitForSingleObject(program.process.hProcess, 0) == WAIT_TIMEOUT;
}

void EndProgram(RunningProgram &program)
{
    if (IsRunning(program)) {
        TerminateProcess(program.process.hProcess, 1);
        WaitForSingleObject(program.process.hProcess, ExitMilliseconds);
    }
}

bool InTestWinePrefix()
{
    const char *prefix = std::getenv("WINEPREFIX");
    const std::string suffix = "/build/wine", path = prefix != nullptr ? prefix : "";
    return path.size() >= suffix.size() && path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}

std::vector<Subject> CompilerSubjects() { return {{"gcc", GCC_PROGRAM_PATH, nullptr}, {"clang", CLANG_PROGRAM_PATH, nullptr}}; }

std::vector<Subject> EndToEndSubjects()
{
    std::vector<Subject> subjects = CompilerSubjects();
    for (const char *windows : {"nt40", "win95", "win98", "winme", "win2k", "winxp", "vista", "win7", "win8", "win10"})
        subjects.push_back({windows, SHIPPED_PROGRAM_PATH, windows});
    return subjects;
}

void EndToEndTest::SetUp()
{
    if (!InTestWinePrefix())
        GTEST_SKIP() << "changes HKEY_CURRENT_USER: runs only in the suite's Wine prefix (./dev test)";
    ClearMaker();
    DeleteTree(HKEY_CURRENT_USER, ProgramDefaults);
    if (const char *windows = GetParam().windows)
        SetValue(HKEY_CURRENT_USER, ProgramDefaults, "Version", REG_SZ, Bytes(windows, windows + strlen(windows) + 1));
}

void EndToEndTest::TearDown()
{
    if (!InTestWinePrefix())
        return;
    ClearMaker();
    DeleteTree(HKEY_CURRENT_USER, ProgramDefaults);
}

void EndToEndTest::ClearMaker()
{
    DeleteLink(HKEY_CURRENT_USER, Settings);
    for (const std::string &key : {Settings, Maker})
        if (KeyExists(HKEY_CURRENT_USER, key))
            AllowEverything(HKEY_CURRENT_USER, key);
    DeleteTree(HKEY_CURRENT_USER, Maker);
}

std::ostream &operator<<(std::ostream &out, const View &view)
{
    out << (view.running ? "running" : "ended") << ", focus on " << view.focus << ", boxes";
    for (int box : view.boxes)
        out << ' ' << box;
    return out;
}

View See(const RunningProgram &program)
{
    const bool running = IsRunning(program);
    return {running, running ? FocusedControlId(program.dialog) : 0, running ? CheckStates(program.dialog) : std::vector<int>{}};
}

RunningProgram StartProgram(const Subject &subject)
{
    RunningProgram program{};
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    std::string commandLine = "\"" + subject.path + "\"";
    if (!CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &program.process)) {
        ADD_FAILURE() << "starting " << subject.path << " failed with " << GetLastError();
        return program;
    }
    WaitUntil([&] { return !IsRunning(program) || (program.dialog = FindReadySetupDialog(program.process.dwProcessId)) != nullptr; },
              StartMilliseconds);
    if (program.dialog == nullptr) {
        ADD_FAILURE() << "the program showed no ready dialog within " << StartMilliseconds << " ms ("
                      << (IsRunning(program) ? "still running" : "it ended") << ")";
        EndProgram(program);
    }
    return program;
}

void Play(RunningProgram &program, const std::vector<Step> &steps)
{
    for (const Step &step : steps) {
        const View before = See(program);
        ApplyStep(program.dialog, step);
        View now = before;
        if (!WaitUntil([&] { return !((now = See(program)) == before); }, StepMilliseconds)) {
            ADD_FAILURE() << step << " showed nothing within " << StepMilliseconds
                          << " ms: expected the focus to move, a box to change or the program to end; it shows " << now;
            EndProgram(program);
            return;
        }
    }
}

DWORD WaitForExit(RunningProgram &program)
{
    DWORD exitCode = STILL_ACTIVE;
    if (program.process.hProcess == nullptr)
        return exitCode;
    if (WaitForSingleObject(program.process.hProcess, ExitMilliseconds) == WAIT_OBJECT_0)
        GetExitCodeProcess(program.process.hProcess, &exitCode);
    EndProgram(program);
    CloseHandle(program.process.hThread);
    CloseHandle(program.process.hProcess);
    program.process = {};
    return exitCode;
}
