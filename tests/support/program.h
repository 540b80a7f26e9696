// Runs the real program as a player does, each executable as each Windows version, in
// the Wine prefix made for the suite.
#ifndef DUSTMARROW_TESTS_PROGRAM_H
#define DUSTMARROW_TESTS_PROGRAM_H

#include "tests/support/dialog.h"

#include <gtest/gtest.h>

#include <string>

// One executable as one Windows: the version that Wine reports to the program alone.
struct Subject {
    const char *name; // part of the test's name
    std::string path;
    const char *windows = nullptr; // nullptr: Wine's own default
};
// What this tree runs: in the i686 tree the GCC and the Clang build, in the x64 tree its
// own program, each as Wine's default Windows; then the program signed, and the one
// players get as every Windows version it is tested as. The test kit runs one program
// as the Windows it runs on.
std::vector<Subject> EndToEndSubjects();
#ifdef DUSTMARROW_KIT
// The kit's program: the one beside the kit, or the one named on its command line. The
// tests may change the registry only once the kit has set the maker's key aside.
extern std::string KitProgram;
bool KitSetTheKeysAside();
#endif
inline std::string SubjectName(const testing::TestParamInfo<Subject> &info) { return info.param.name; }
inline void PrintTo(const Subject &subject, std::ostream *out) { *out << subject.name; }

// The end-to-end tests change the real HKEY_CURRENT_USER, so anywhere but in the Wine
// prefix that ./dev made for the suite, or in a kit that has set the maker's key aside,
// they fail before their body. Each starts and ends with no maker's key, however
// broken the key it leaves.
class EndToEndTest : public testing::TestWithParam<Subject> {
protected:
    void SetUp() override;
    void TearDown() override;
};

// Starts the program and waits until its dialog is ready for a player.
RunningDialog StartProgram(const Subject &subject);

#endif
