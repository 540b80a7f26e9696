// Runs the real program as a player does and drives its dialog from outside, one step
// at a time: each step is played only once the one before it has visibly taken effect.
#ifndef DUSTMARROW_TESTS_PROGRAM_H
#define DUSTMARROW_TESTS_PROGRAM_H

#include "tests/support/dialog.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <ostream>
#include <string>
#include <vector>

// One executable as one Windows: the version that Wine reports to the program alone.
struct Subject {
    const char *name; // part of the test's name
    std::string path;
    const char *windows; // nullptr: Wine's own default
};
// The GCC and the Clang build, each as Wine's default Windows.
std::vector<Subject> CompilerSubjects();
// Both builds, then the one players get as every Windows version it is tested as.
std::vector<Subject> EndToEndSubjects();
inline std::string SubjectName(const testing::TestParamInfo<Subject> &info) { return info.param.name; }
inline void PrintTo(const Subject &subject, std::ostream *out) { *out << subject.name; }

// The end-to-end tests change the real HKEY_CURRENT_USER, so they run only in the
// suite's own Wine prefix. Each starts and ends with no maker's key, however broken
// the key it leaves.
class EndToEndTest : public testing::TestWithParam<Subject> {
protected:
    void SetUp() override;
    void TearDown() override;
    static void ClearMaker();
};

struct RunningProgram {
    PROCESS_INFORMATION process;
    HWND dialog; // nullptr when no dialog appeared
};

// What a player sees of the program: whether it still runs, which control has the
// focus, and the five boxes.
struct View {
    bool running;
    int focus;
    std::vector<int> boxes;
    bool operator==(const View &other) const { return running == other.running && focus == other.focus && boxes == other.boxes; }
};
std::ostream &operator<<(std::ostream &out, const View &view);
View See(const RunningProgram &program);

// Starts the program and waits until its dialog is visible and a control has the focus.
RunningProgram StartProgram(const Subject &subject);

// Plays each step once the dialog shows the one before it done: the focus moved, a
// box changed, or the program ended. A step that shows nothing in time fails the test,
// ends the program and skips the rest.
void Play(RunningProgram &program, const std::vector<Step> &steps);

// Waits for the program to end and returns its exit code, or STILL_ACTIVE after
// ending a program that did not end in time.
DWORD WaitForExit(RunningProgram &program);

#endif
