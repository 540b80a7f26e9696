// Registry helpers for the tests: seeding keys and values, and listing a whole key
// tree so that a test can compare what is there with what should be.
#ifndef DUSTMARROW_TESTS_REGISTRY_H
#define DUSTMARROW_TESTS_REGISTRY_H

#include "settings/catalogue.h"

#include <windows.h>

#include <string>
#include <vector>

// The keys the program works in, under HKEY_CURRENT_USER.
inline const std::string Software = "SOFTWARE";
inline const std::string Maker = "SOFTWARE\\Quorvanta";
inline const std::string Settings = SettingsKeyPath;
// Where the in-process tests keep their private HKEY_CURRENT_USER, one key a process.
inline const std::string SandboxRoot = "Software\\DustmarrowSetupTests";

using Bytes = std::vector<BYTE>;

Bytes DwordBytes(DWORD value);

void CreateKey(HKEY root, const std::string &path);
void SetValue(HKEY root, const std::string &path, const char *name, DWORD type, const Bytes &data);
void DeleteTree(HKEY root, const std::string &path);
bool KeyExists(HKEY root, const std::string &path);

// Leaves everyone only read access to the key, as an administrator or another program
// might; Wine enforces it for as long as its server runs.
void AllowOnlyReading(HKEY root, const std::string &path);

// Gives everyone full access to the key again, so that it can be cleared away.
void AllowEverything(HKEY root, const std::string &path);

// Makes path a registry link that points at itself, as a broken program might leave
// it: every ordinary open of it fails, though it exists. DeleteLink removes such a link, and leaves any other key alone.
void CreateSelfLink(HKEY root, const std::string &path);
void DeleteLink(HKEY root, const std::string &path);

// One line per key ("A\B") and per value ("A\B:Name=type:hex bytes"), in a fixed
// order, for every key at and below path. Empty when path does not exist; an empty
// path lists every key below root.
std::vector<std::string> ListTree(HKEY root, const std::string &path);

// The tree ListTree shows from `top` (the settings key or a key above it) when it holds
// nothing but the five settings as the program writes them: REG_DWORD 0 or 1.
std::vector<std::string> ExpectedSettingsTree(const std::vector<int> &states, const std::string &top = Settings);

// Redirects this process's HKEY_CURRENT_USER into a new, empty private key for as
// long as it lives, and deletes that key afterwards.
class HkcuSandbox {
public:
    HkcuSandbox();
    ~HkcuSandbox();
    HkcuSandbox(const HkcuSandbox &) = delete;
    HkcuSandbox &operator=(const HkcuSandbox &) = delete;

private:
    HKEY sandbox_ = nullptr;
    std::string path_;
};

#endif
