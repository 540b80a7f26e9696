// The kit's saved state in the sandbox: the keys that a run sets aside come back byte
// for byte whatever they hold and wherever the run stopped; the tests' leftovers go
// without a link being followed; and a state that the kit cannot trust is left exactly
// as it is. A sandbox that a stopped test left goes with the next run.
#include "tools/kit/saved_key.h"
#include "tests/support/registry.h"

#include <gtest/gtest.h>
#include <winternl.h>

#include <functional>
#include <iterator>

// Stores a value exactly as given: any bytes, and a name with a NUL inside.
extern "C" NTSTATUS NTAPI NtSetValueKey(HANDLE key, PUNICODE_STRING name, ULONG titleIndex, ULONG type, PVOID data, ULONG size);

namespace {

const std::string OtherVendor = "SOFTWARE\\OtherVendor\\Shared", Note = Narrow(NoteName), OwnKey = Narrow(KitOwnKey);

std::string MakersKeyAs(std::wstring (*named)(const KitKey &)) { return Software + "\\" + Narrow(named(KitKeys[0])); }
const std::string SavedMaker = MakersKeyAs(SavedName), AbsentMaker = MakersKeyAs(AbsentName), Fence = MakersKeyAs(FenceName),
                  LeftMaker = MakersKeyAs(LeftName);

// All of the sandbox, with each key's security and class and each value's exact name;
// with `more`, KeyVolatility, its volatility too, which is probed by writing.
auto Everything(unsigned more = 0) { return ListTree(HKEY_CURRENT_USER, "", KeySecurity | KeyClass | ExactValueNames | more); }

void SetExactly(const std::string &path, const std::wstring &name, DWORD type, const Bytes &data)
{
    HKEY key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr), ERROR_SUCCESS);
    UNICODE_STRING counted = {USHORT(name.size() * 2), USHORT(name.size() * 2), const_cast<wchar_t *>(name.data())};
    const NTSTATUS status = NtSetValueKey(key, &counted, 0, type, const_cast<BYTE *>(data.data()), ULONG(data.size()));
    RegCloseKey(key);
    ASSERT_EQ(status, 0) << path;
}

// Makes a subkey of the maker's key with a class or options of its own. Made below
// the maker's key's handle: Wine 8 gives a class to every key on the path it is given.
void CreateKeyWith(const wchar_t *name, const wchar_t *className, DWORD options)
{
    CreateKey(HKEY_CURRENT_USER, Maker);
    HKEY maker, key;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, Maker.c_str(), 0, KEY_CREATE_SUB_KEY, &maker), ERROR_SUCCESS);
    const LONG made = RegCreateKeyExW(maker, name, 0, const_cast<wchar_t *>(className), options, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    RegCloseKey(maker);
    ASSERT_EQ(made, ERROR_SUCCESS);
    RegCloseKey(key);
}

void SetNote(const Bytes &until, DWORD type = REG_QWORD) { SetValue(HKEY_CURRENT_USER, OwnKey, Note.c_str(), type, until); }

// What the end-to-end tests may leave under the maker's key: settings, a link to
// itself, a key that may only be read, and a link to another vendor's key.
void LeaveWhatTestsLeave()
{
    SeedSettings(Dwords({1, 0, 1, 0, 1}));
    CreateSelfLink(HKEY_CURRENT_USER, Maker + "\\Loop");
    CreateLink(HKEY_CURRENT_USER, Maker + "\\Shared", SandboxPath() + "\\" + OtherVendor);
    CreateKey(HKEY_CURRENT_USER, Maker + "\\Locked\\Deeper");
    AllowOnlyReading(HKEY_CURRENT_USER, Maker + "\\Locked");
}

// A sandbox with other vendors' keys beside the maker's, one sorted before it and one
// after, and a person's key, if any.
void Start(const std::function<void()> &seed)
{
    DeleteTree(HKEY_CURRENT_USER, "SOFTWARE");
    DeleteTree(HKEY_CURRENT_USER, OwnKey);
    SetValue(HKEY_CURRENT_USER, OtherVendor, "Kept", REG_DWORD, DwordBytes(7));
    CreateKey(HKEY_CURRENT_USER, OtherVendor + "\\Below");
    SetValue(HKEY_CURRENT_USER, "SOFTWARE\\Zeta Vendor", "Kept", REG_DWORD, DwordBytes(8));
    if (seed)
        seed();
}

void APersonsKey()
{
    SetValue(HKEY_CURRENT_USER, Maker, "Installed", REG_DWORD, DwordBytes(1));
    SetValue(HKEY_CURRENT_USER, Settings, SettingNames[1], REG_DWORD, DwordBytes(1));
    SetValue(HKEY_CURRENT_USER, Maker + "\\Zeta", "Path", REG_SZ, {'C', 0});
}

using SavedKeyTest = SandboxedTest;

// What a case leaves in the registry, or a step of a run.
struct Doing {
    const char *what;
    std::function<void()> does;
    const char *named = ""; // in the one line that says why the kit cannot trust what it finds
    bool hadKey = true;     // over a person's key, or none
};

TEST_F(SavedKeyTest, TheKeyARunSetAsideComesBackByteForByteWhateverItHolds)
{
    const Doing cases[] = {
        {"no maker's key at all", nullptr},
        {"values of every type and size",
         [] {
             // Every type that Windows names, REG_NONE (0) to REG_QWORD (11), and one that it does not.
             for (DWORD type : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 0x7fff1234})
                 for (size_t size : {0, 1, 3, 4, 8, 70000})
                     SetExactly(Maker, L"type " + std::to_wstring(type) + L" size " + std::to_wstring(size), type,
                                Bytes(size, BYTE(size + type)));
         }},
        {"an empty name, and a name with a NUL inside beside its first half",
         [] {
             SetExactly(Maker, L"", REG_SZ, {'d', 0, 0, 0});
             SetExactly(Maker, std::wstring(L"A\0B", 3), REG_DWORD, DwordBytes(2));
             SetExactly(Maker, L"A", REG_DWORD, DwordBytes(1));
         }},
        {"REG_SZ without a terminator, of even and odd length",
         [] {
             SetExactly(Settings, L"Even", REG_SZ, {'a', 0, 'b', 0, 'c', 0});
             SetExactly(Settings, L"Odd", REG_SZ, {'a', 0, 'b'});
         }},
        {"a link to another vendor's key", [] { CreateLink(HKEY_CURRENT_USER, Maker + "\\Shared", SandboxPath() + "\\" + OtherVendor); }},
        {"the maker's key itself a link", [] { CreateLink(HKEY_CURRENT_USER, Maker, SandboxPath() + "\\" + OtherVendor); }},
        {"a link to itself", [] { CreateLink(HKEY_CURRENT_USER, Settings, SandboxPath() + "\\" + Settings); }},
        {"keys that may only be read, and one that not even its owner may read",
         [] {
             SetValue(HKEY_CURRENT_USER, Maker + "\\Locked", "Kept", REG_DWORD, DwordBytes(3));
             AllowOnlyReading(HKEY_CURRENT_USER, Maker + "\\Locked");
             CreateKey(HKEY_CURRENT_USER, Maker + "\\Closed");
             SetAccess(HKEY_CURRENT_USER, Maker + "\\Closed", "D:P");
         }},
        {"a volatile key with a volatile subkey",
         [] {
             CreateKeyWith(L"Volatile", nullptr, REG_OPTION_VOLATILE);
             CreateKeyWith(L"Volatile\\Inner", nullptr, REG_OPTION_VOLATILE);
             SetExactly(Maker + "\\Volatile", L"Session", REG_DWORD, DwordBytes(4));
         }},
        {"a class name", [] { CreateKeyWith(L"Classy", L"QuorvantaClass", 0); }},
        {"security of its own",
         [] {
             APersonsKey();
             SetAccess(HKEY_CURRENT_USER, Maker, "D:P(A;OICI;KA;;;WD)(A;;KR;;;BU)");
         }},
    };
    for (const Doing &c : cases) {
        SCOPED_TRACE(c.what);
        Start(c.does);
        const auto before = Everything(KeyVolatility);
        // A running program's handle to the key, which must stay its own.
        HKEY held = nullptr;
        RegOpenKeyExA(HKEY_CURRENT_USER, Maker.c_str(), 0, KEY_SET_VALUE, &held);

        ASSERT_EQ(SetKeysAside(), "");
        EXPECT_TRUE(KeysAreAside());
        EXPECT_EQ(ListTree(HKEY_CURRENT_USER, Maker), std::vector<std::string>{}) << "the key is still there";
        LeaveWhatTestsLeave();
        const PutBack back = PutBackKeys();

        EXPECT_TRUE(back.done) << back.why;
        EXPECT_EQ(back.keysBack, 1);
        EXPECT_EQ(Everything(KeyVolatility), before);
        if (held != nullptr) {
            EXPECT_EQ(RegSetValueExA(held, "Held", 0, REG_DWORD, DwordBytes(5).data(), 4), ERROR_SUCCESS);
            EXPECT_EQ(RegGetValueA(HKEY_CURRENT_USER, Maker.c_str(), "Held", RRF_RT_REG_DWORD, nullptr, nullptr, nullptr), ERROR_SUCCESS);
            RegCloseKey(held);
        }
    }
}

TEST_F(SavedKeyTest, ARunStoppedAfterAnyStepIsFinishedByTheNextRun)
{
    // A run's steps in order, the put-back's taken by hand one at a time as the kit
    // takes them: what the tests left renamed to the kit's name for it, past a key made
    // for the moment, then the key renamed back or the sign that there was none deleted.
    const Doing steps[] = {
        {"the note written", [] { NoteChangesFor(NoteMilliseconds); }},
        {"a key made for the moment of setting aside", [] { CreateKey(HKEY_CURRENT_USER, Fence); }},
        {"the key set aside", [] { ASSERT_EQ(SetKeysAside(), ""); }},
        {"a test's keys left", LeaveWhatTestsLeave},
        {"the leftovers set aside",
         [] {
             CreateKey(HKEY_CURRENT_USER, Fence);
             EXPECT_EQ(RegRenameKey(HKEY_CURRENT_USER, Wide(Maker).c_str(), LeftName(KitKeys[0]).c_str()), ERROR_SUCCESS);
             DeleteTree(HKEY_CURRENT_USER, Fence);
         }},
        {"the key back",
         [] {
             if (RegRenameKey(HKEY_CURRENT_USER, Wide(SavedMaker).c_str(), KitKeys[0].name) != ERROR_SUCCESS)
                 DeleteTree(HKEY_CURRENT_USER, AbsentMaker);
         }},
        {"the leftovers half deleted", [] { DeleteTree(HKEY_CURRENT_USER, LeftMaker + "\\Dustmarrow"); }},
        {"the leftovers deleted, the note kept", [] { DeleteTree(HKEY_CURRENT_USER, LeftMaker); }},
    };
    for (bool hadKey : {true, false})
        for (size_t taken = 1; taken <= std::size(steps); ++taken) {
            SCOPED_TRACE(std::string("stopped after ") + steps[taken - 1].what + (hadKey ? ", over a person's key" : ", over none"));
            Start(hadKey ? APersonsKey : nullptr);
            const auto before = Everything();
            for (size_t i = 0; i < taken; ++i)
                steps[i].does();
            const PutBack back = PutBackKeys();
            EXPECT_TRUE(back.done) << back.why;
            EXPECT_EQ(Everything(), before);
        }
}

TEST_F(SavedKeyTest, WhatARunCannotTrustItLeavesExactlyAsItIsAndSaysWhereItIs)
{
    const Doing cases[] = {
        {"the key saved, and a sign that there was none", [] { CreateKey(HKEY_CURRENT_USER, AbsentMaker); }, "both there"},
        {"a sign that there was no key, holding a value", [] { SetValue(HKEY_CURRENT_USER, AbsentMaker, "L", REG_DWORD, {1}); },
         "is not empty", false},
        {"a sign that there was no key, holding a key", [] { CreateKey(HKEY_CURRENT_USER, AbsentMaker + "\\Profiles"); }, "is not empty",
         false},
        {"the key made for a moment, holding a value", [] { SetValue(HKEY_CURRENT_USER, Fence, "L", REG_DWORD, {1}); }, "is not empty"},
        {"no note of when the run stopped", [] { RegDeleteKeyValueA(HKEY_CURRENT_USER, OwnKey.c_str(), Note.c_str()); },
         "nothing says when"},
        {"a note that is text", [] { SetNote(String("1").data, REG_SZ); }, "did not write"},
        {"a note of four bytes", [] { SetNote(DwordBytes(1)); }, "did not write"},
        {"settings written after the run stopped", [] { SetNote(Bytes(8, 0)); }, "your key from before"},
        {"settings written after a run over no key stopped", [] { SetNote(Bytes(8, 0)); }, "there was none", false},
        {"a note an hour ahead, as after the clock was set back", [] { NoteChangesFor(3600000); }, "clock was set back"},
        {"a part that cannot be read", [] { SetAccess(HKEY_CURRENT_USER, Settings, "D:P"); }, "cannot be read"},
    };
    for (const Doing &c : cases) {
        SCOPED_TRACE(c.what);
        Start(c.hadKey ? APersonsKey : nullptr); // a run stopped during a test
        ASSERT_EQ(SetKeysAside(), "");
        LeaveWhatTestsLeave();
        c.does();
        const auto before = Everything();

        const std::string why = PutBackKeys().why;

        EXPECT_NE(why.find(c.named), std::string::npos) << why;
        EXPECT_EQ(why.find('\n'), std::string::npos) << "one line";
        EXPECT_EQ(Everything(), before);
    }
}

// Not in a sandbox: it makes, beside its own, the sandbox of a test that was killed.
TEST(SandboxTest, ASandboxLeftByAStoppedTestGoesWithTheNextRunAndNoLinkIsFollowed)
{
    // A process that has ended; its handle is kept so that its id is not given again.
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION ended{};
    ASSERT_TRUE(CreateProcessA(self, nullptr, nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr, nullptr, &startup, &ended));
    TerminateProcess(ended.hProcess, 0);
    ASSERT_EQ(WaitForSingleObject(ended.hProcess, 10000), WAIT_OBJECT_0);
    const std::string left = Narrow(SandboxOf(ended.dwProcessId)), running = SandboxPath();
    SetValue(HKEY_CURRENT_USER, running + "\\Target", "Kept", REG_DWORD, DwordBytes(1));
    CreateLink(HKEY_CURRENT_USER, left + "\\Link", running + "\\Target");
    CreateSelfLink(HKEY_CURRENT_USER, left + "\\Loop");
    CreateKey(HKEY_CURRENT_USER, left + "\\Closed\\Deeper");
    SetAccess(HKEY_CURRENT_USER, left + "\\Closed", "D:P");
    const std::vector<std::string> kept = ListTree(HKEY_CURRENT_USER, running);

    RemoveEndedSandboxes();

    EXPECT_EQ(ListTree(HKEY_CURRENT_USER, left), std::vector<std::string>{});
    EXPECT_EQ(ListTree(HKEY_CURRENT_USER, running), kept);
    DeleteTree(HKEY_CURRENT_USER, running);
    DeleteKeyIfEmpty(HKEY_CURRENT_USER, KitOwnKey);
    CloseHandle(ended.hThread);
    CloseHandle(ended.hProcess);
}

}
