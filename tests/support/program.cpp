#include "tests/support/program.h"

#include "tests/support/registry.h"
#include "tools/find_dialog.h"

#include <cstdlib>
#include <cstring>

namespace {

// A first start in a prefix can take seconds on a slow, busy machine.
constexpr DWORD StartMilliseconds = 30000;

// Wine's settings for programs of this file name only.
const std::string ProgramDefaults = "Software\\Wine\\AppDefaults\\DustmarrowSetup.exe";

#ifdef DUSTMARROW_KIT
bool MayChangeTheRegistry() { return KitSetTheKeysAside(); }
const char *const WhereTheTestsMayRun = "a kit that has set HKEY_CURRENT_USER\\SOFTWARE\\Quorvanta aside";
#else
// ./dev names the prefix it made for the suite, and only there may a test change
// HKEY_CURRENT_USER.
bool MayChangeTheRegistry()
{
    const char *prefix = std::getenv("WINEPREFIX"), *prepared = std::getenv("DUSTMARROW_TEST_PREFIX");
    return prefix != nullptr && prepared != nullptr && *prepared != '\0' && std::strcmp(prefix, prepared) == 0;
}
const char *const WhereTheTestsMayRun = "the Wine prefix that ./dev test made for it";
#endif

}

#ifdef DUSTMARROW_KIT
std::vector<Subject> EndToEndSubjects() { return {{"program", KitProgram}}; }
#else
std::vector<Subject> EndToEndSubjects()
{
#ifdef X64_PROGRAM_PATH
    std::vector<Subject> subjects = {{"x64", X64_PROGRAM_PATH}, {"signed", SIGNED_PROGRAM_PATH}};
#else
    std::vector<Subject> subjects = {{"gcc", GCC_PROGRAM_PATH}, {"clang", CLANG_PROGRAM_PATH}, {"signed", SIGNED_PROGRAM_PATH}};
#endif
    for (const char *windows : {"nt40", "win95", "win98", "winme", "win2k", "winxp", "vista", "win7", "win8", "win10"})
        subjects.push_back({windows, VERSIONED_PROGRAM_PATH, windows});
    return subjects;
}
#endif

void EndToEndTest::SetUp()
{
    ASSERT_TRUE(MayChangeTheRegistry()) << "this test changes HKEY_CURRENT_USER, so it runs only in " << WhereTheTestsMayRun
                                        << ", not with WINEPREFIX=" << (std::getenv("WINEPREFIX") ? std::getenv("WINEPREFIX") : "");
    TearDown();
    if (const char *windows = GetParam().windows)
        SetValue(HKEY_CURRENT_USER, ProgramDefaults, "Version", REG_SZ, Bytes(windows, windows + strlen(windows) + 1));
}

void EndToEndTest::TearDown()
{
    if (MayChangeTheRegistry())
        for (const std::string &path : {Maker, ProgramDefaults})
            DeleteTree(HKEY_CURRENT_USER, path);
}

RunningDialog StartProgram(const Subject &subject)
{
    PROCESS_INFORMATION process{};
    if (!StartProgramProcess(subject.path, process)) {
        ADD_FAILURE() << "starting " << subject.path << " failed with " << GetLastError();
        return {};
    }
    CloseHandle(process.hThread);
    RunningDialog program{process.hProcess, 0, nullptr, {}};
    WaitUntilReady(program, process.dwProcessId, StartMilliseconds);
    return program;
}
