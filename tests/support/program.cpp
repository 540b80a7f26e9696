#include "tests/support/program.h"

#include "tools/find_dialog.h"

#include <gtest/gtest.h>

#include <cstring>

std::string ProgramPath()
{
    return DUSTMARROW_PROGRAM_PATH;
}

bool InTestWinePrefix()
{
    char prefix[MAX_PATH];
    const DWORD length = GetEnvironmentVariableA("WINEPREFIX", prefix, sizeof prefix);
    static const char suffix[] = "/build/wine";
    const DWORD suffixLength = sizeof suffix - 1;
    return length >= suffixLength && length < sizeof prefix && std::strcmp(prefix + length - suffixLength, suffix) == 0;
}

RunningProgram StartProgram()
{
    RunningProgram program{};
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    std::string commandLine = "\"" + ProgramPath() + "\"";
    if (!CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &program.process)) {
        ADD_FAILURE() << "starting " << ProgramPath() << " failed with " << GetLastError();
        return program;
    }
    for (int waited = 0; program.dialog == nullptr && waited < 20000; waited += 10) {
        if (WaitForSingleObject(program.process.hProcess, 10) == WAIT_OBJECT_0)
            break;
        program.dialog = FindReadySetupDialog(program.process.dwProcessId);
    }
    if (program.dialog == nullptr)
        ADD_FAILURE() << "the program showed no dialog";
    return program;
}

void Play(const RunningProgram &program, const Step &step)
{
    ApplyStep(program.dialog, step);
    // A step posts at most two messages. The dialog's thread answers sent messages
    // each time it asks for the next posted one, so by the answer to the third of
    // these, both posted messages have been dealt with.
    for (int i = 0; i < 3; ++i)
        SendMessageTimeoutA(program.dialog, WM_NULL, 0, 0, SMTO_NORMAL, 2000, nullptr);
}

DWORD WaitForExit(RunningProgram &program, DWORD milliseconds)
{
    DWORD exitCode = STILL_ACTIVE;
    if (program.process.hProcess == nullptr)
        return exitCode;
    if (WaitForSingleObject(program.process.hProcess, milliseconds) == WAIT_OBJECT_0)
        GetExitCodeProcess(program.process.hProcess, &exitCode);
    else
        TerminateProcess(program.process.hProcess, 1);
    CloseHandle(program.process.hThread);
    CloseHandle(program.process.hProcess);
    program.process = {};
    return exitCode;
}
