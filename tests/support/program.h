// Runs the real program as a player does and drives its dialog from outside.
#ifndef DUSTMARROW_TESTS_PROGRAM_H
#define DUSTMARROW_TESTS_PROGRAM_H

#include "tests/support/dialog.h"

#include <windows.h>

#include <string>

// The executable under test, as the build left it.
std::string ProgramPath();

// Whether this process runs in the suite's own Wine prefix, whose registry the
// end-to-end tests may change; anywhere else they must not run.
bool InTestWinePrefix();

struct RunningProgram {
    PROCESS_INFORMATION process;
    HWND dialog; // nullptr when no dialog appeared
};

// Starts the program and waits until its dialog is visible and a control has the focus.
RunningProgram StartProgram();

// Carries out a step and waits until the dialog has dealt with it.
void Play(const RunningProgram &program, const Step &step);

// Waits for the program to end and returns its exit code, or STILL_ACTIVE after
// killing a program that did not end in time.
DWORD WaitForExit(RunningProgram &program, DWORD milliseconds = 10000);

#endif
