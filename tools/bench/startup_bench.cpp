// Measures start-up: the time from asking Windows to start a program to its Setup
// dialog being visible with a control focused, and the program's peak working set at
// that moment. Programs named on the command line are started in turn, round after
// round, so that any drift in the machine falls on all of them alike.
//   startup_bench RUNS NAME=PATH [NAME=PATH ...]
// The program reads real settings, as it does on a player's machine: all five are
// stored as checked before the first start and removed after the last, as the
// program's own "Remove Registry Keys" removes them.
// Prints one Markdown table row per program: runs, median and spread of both figures.
#include "settings/catalogue.h"
#include "settings/store.h"
#include "tools/find_dialog.h"

#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr DWORD StartMilliseconds = 15000;

struct Subject {
    std::string name, path;
    std::vector<double> milliseconds, peakKiB;
};

bool MeasureOnce(Subject &subject, bool kept)
{
    PROCESS_INFORMATION process{};
    LARGE_INTEGER frequency, started, shown;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&started);
    if (!StartProgramProcess(subject.path, process)) {
        std::fprintf(stderr, "cannot start %s: error %lu\n", subject.path.c_str(), GetLastError());
        return false;
    }
    HWND dialog = nullptr;
    const auto ended = [&] { return WaitForSingleObject(process.hProcess, 0) == WAIT_OBJECT_0; };
    WaitUntil([&] { return (dialog = FindReadySetupDialog(process.dwProcessId)) != nullptr || ended(); }, StartMilliseconds);
    QueryPerformanceCounter(&shown);
    PROCESS_MEMORY_COUNTERS memory{};
    memory.cb = sizeof memory;
    const bool measured = dialog != nullptr && GetProcessMemoryInfo(process.hProcess, &memory, sizeof memory);
    if (dialog == nullptr)
        std::fprintf(stderr, "%s showed no dialog\n", subject.name.c_str());
    else if (!measured)
        std::fprintf(stderr, "no memory counters for %s: error %lu\n", subject.name.c_str(), GetLastError());
    else if (kept) {
        subject.milliseconds.push_back(double(shown.QuadPart - started.QuadPart) * 1000.0 / double(frequency.QuadPart));
        subject.peakKiB.push_back(double(memory.PeakWorkingSetSize) / 1024.0);
    }
    if (dialog != nullptr)
        PostMessageA(GetDlgItem(dialog, IDCANCEL), BM_CLICK, 0, 0);
    if (WaitForSingleObject(process.hProcess, StartMilliseconds) != WAIT_OBJECT_0)
        TerminateProcess(process.hProcess, 1);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return measured;
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return (values[(values.size() - 1) / 2] + values[values.size() / 2]) / 2;
}

}

int main(int argc, char **argv)
{
    const int runs = argc > 2 ? std::atoi(argv[1]) : 0;
    std::vector<Subject> subjects;
    for (int i = 2; i < argc; ++i)
        if (const char *equals = std::strchr(argv[i], '='))
            subjects.push_back({std::string(argv[i], size_t(equals - argv[i])), equals + 1, {}, {}});
    if (runs < 1 || subjects.empty() || int(subjects.size()) != argc - 2) {
        std::fprintf(stderr, "usage: startup_bench RUNS NAME=PATH [NAME=PATH ...]\n");
        return 2;
    }
    const DWORD checked = 1;
    for (const char *name : SettingValueNames)
        if (RegSetKeyValueA(HKEY_CURRENT_USER, SettingsKeyPath, name, REG_DWORD, &checked, sizeof checked) != ERROR_SUCCESS)
            return 1;
    // One unmeasured round first, since the first start of each program pays for cold
    // caches; then the rounds, and a row for each program.
    bool measured = true;
    for (int run = -1; measured && run < runs; ++run)
        for (Subject &subject : subjects)
            measured = measured && MeasureOnce(subject, run >= 0);
    RemoveSettings();
    if (!measured)
        return 1;
    for (const Subject &subject : subjects) {
        const auto [fastest, slowest] = std::minmax_element(subject.milliseconds.begin(), subject.milliseconds.end());
        const auto [smallest, largest] = std::minmax_element(subject.peakKiB.begin(), subject.peakKiB.end());
        std::printf("| %s | %d | %.1f | %.1f-%.1f | %.0f | %.0f-%.0f |\n", subject.name.c_str(), runs, Median(subject.milliseconds),
                    *fastest, *slowest, Median(subject.peakKiB), *smallest, *largest);
    }
    return 0;
}
