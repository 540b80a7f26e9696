// The shipped executable, read from the file itself: what kind of image it is, what it
// imports, and exactly which resources it carries.
#include "resources/resource_ids.h"
#include "tests/support/program.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

using Image = std::vector<BYTE>;

Image ReadProgram(const std::string &path)
{
    std::ifstream file(path, std::ios::binary);
    return Image(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

template <typename T> T At(const Image &image, size_t offset)
{
    T value{};
    if (offset + sizeof value <= image.size())
        std::memcpy(&value, image.data() + offset, sizeof value);
    else
        ADD_FAILURE() << "reading past the end of the image at " << offset;
    return value;
}

IMAGE_NT_HEADERS32 Headers(const Image &image) { return At<IMAGE_NT_HEADERS32>(image, At<IMAGE_DOS_HEADER>(image, 0).e_lfanew); }

// The file offset of a relative virtual address.
size_t FileOffset(const Image &image, DWORD rva)
{
    const LONG headers = At<IMAGE_DOS_HEADER>(image, 0).e_lfanew;
    const IMAGE_NT_HEADERS32 nt = Headers(image);
    const size_t sections = size_t(headers) + offsetof(IMAGE_NT_HEADERS32, OptionalHeader) + nt.FileHeader.SizeOfOptionalHeader;
    for (WORD i = 0; i < nt.FileHeader.NumberOfSections; ++i) {
        const auto section = At<IMAGE_SECTION_HEADER>(image, sections + i * sizeof(IMAGE_SECTION_HEADER));
        if (rva >= section.VirtualAddress && rva < section.VirtualAddress + section.Misc.VirtualSize)
            return rva - section.VirtualAddress + section.PointerToRawData;
    }
    ADD_FAILURE() << "no section holds RVA " << rva;
    return image.size();
}

std::string StringAt(const Image &image, size_t offset)
{
    std::string text;
    while (offset < image.size() && image[offset] != 0)
        text += char(image[offset++]);
    return text;
}

// Each compiler's i686 build, and this tree's x64 build of the same sources.
std::vector<Subject> ImageSubjects()
{
    std::vector<Subject> subjects = CompilerSubjects();
    subjects.push_back({"x64", X64_PROGRAM_PATH, nullptr});
    return subjects;
}
bool IsX64(const Subject &subject) { return std::strcmp(subject.name, "x64") == 0; }

class ProgramImage : public testing::TestWithParam<Subject> {};
INSTANTIATE_TEST_SUITE_P(Built, ProgramImage, testing::ValuesIn(ImageSubjects()), SubjectName);

// What a header must say: the i686 builds run on every Windows from 4.0 on and allow no
// SEH handler; the x64 build runs on 64-bit Windows, which asks for 5.2, takes
// high-entropy ASLR and keeps its handlers in tables. All are terminal-server aware.
struct HeaderFacts {
    WORD machine, magic, windowsMajor, windowsMinor, dllCharacteristics;
};
constexpr WORD Hardened =
    IMAGE_DLLCHARACTERISTICS_NX_COMPAT | IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE | IMAGE_DLLCHARACTERISTICS_TERMINAL_SERVER_AWARE;
constexpr HeaderFacts I686Facts = {IMAGE_FILE_MACHINE_I386, IMAGE_NT_OPTIONAL_HDR32_MAGIC, 4, 0,
                                   Hardened | IMAGE_DLLCHARACTERISTICS_NO_SEH};
constexpr HeaderFacts X64Facts = {IMAGE_FILE_MACHINE_AMD64, IMAGE_NT_OPTIONAL_HDR64_MAGIC, 5, 2,
                                  Hardened | IMAGE_DLLCHARACTERISTICS_HIGH_ENTROPY_VA};

template <typename Nt> void ExpectHeaders(const Image &image, const HeaderFacts &facts)
{
    const Nt nt = At<Nt>(image, size_t(At<IMAGE_DOS_HEADER>(image, 0).e_lfanew));
    ASSERT_EQ(nt.Signature, IMAGE_NT_SIGNATURE);
    EXPECT_EQ(nt.FileHeader.Machine, facts.machine);
    EXPECT_EQ(nt.FileHeader.Characteristics & IMAGE_FILE_RELOCS_STRIPPED, 0) << "relocations are needed for ASLR";
    EXPECT_EQ(nt.FileHeader.TimeDateStamp, 0u) << "a timestamp would make every build differ";
    EXPECT_EQ(nt.OptionalHeader.Magic, facts.magic);
    EXPECT_EQ(nt.OptionalHeader.Subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI);
    EXPECT_EQ(nt.OptionalHeader.MajorSubsystemVersion, facts.windowsMajor);
    EXPECT_EQ(nt.OptionalHeader.MinorSubsystemVersion, facts.windowsMinor);
    EXPECT_EQ(nt.OptionalHeader.MajorOperatingSystemVersion, facts.windowsMajor);
    EXPECT_EQ(nt.OptionalHeader.DllCharacteristics, facts.dllCharacteristics);
    EXPECT_NE(nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_BASERELOC].Size, 0u);
    EXPECT_EQ(nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_DEBUG].Size, 0u);
    EXPECT_EQ(nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_TLS].Size, 0u) << "TLS means a runtime crept in";
    // Code that can be written to can be changed by whoever can write data; a shared
    // section is memory that every process of the image can write.
    const size_t sections =
        size_t(At<IMAGE_DOS_HEADER>(image, 0).e_lfanew) + offsetof(Nt, OptionalHeader) + nt.FileHeader.SizeOfOptionalHeader;
    for (WORD i = 0; i < nt.FileHeader.NumberOfSections; ++i) {
        const auto section = At<IMAGE_SECTION_HEADER>(image, sections + i * sizeof(IMAGE_SECTION_HEADER));
        const std::string name(reinterpret_cast<const char *>(section.Name), strnlen(reinterpret_cast<const char *>(section.Name), 8));
        EXPECT_NE(section.Characteristics & (IMAGE_SCN_MEM_WRITE | IMAGE_SCN_MEM_EXECUTE),
                  DWORD(IMAGE_SCN_MEM_WRITE | IMAGE_SCN_MEM_EXECUTE))
            << name << " is both writable and executable";
        EXPECT_EQ(section.Characteristics & IMAGE_SCN_MEM_SHARED, 0u) << name << " is shared";
    }
}

TEST_P(ProgramImage, IsASmallHardenedGuiProgramForItsWindows)
{
    const Image image = ReadProgram(GetParam().path);
    ASSERT_FALSE(image.empty()) << "cannot read " << GetParam().path;
    EXPECT_LE(image.size(), 8192u);
    ASSERT_EQ(At<IMAGE_DOS_HEADER>(image, 0).e_magic, IMAGE_DOS_SIGNATURE);
    if (IsX64(GetParam()))
        ExpectHeaders<IMAGE_NT_HEADERS64>(image, X64Facts);
    else
        ExpectHeaders<IMAGE_NT_HEADERS32>(image, I686Facts);
}

// Each imported DLL, in upper case, with the functions taken from it.
template <typename Nt> std::map<std::string, std::set<std::string>> Imports(const Image &image)
{
    using Thunk = decltype(Nt{}.OptionalHeader.ImageBase);
    constexpr Thunk ByOrdinal = Thunk(1) << (8 * sizeof(Thunk) - 1);
    const Nt nt = At<Nt>(image, size_t(At<IMAGE_DOS_HEADER>(image, 0).e_lfanew));
    const IMAGE_DATA_DIRECTORY directory = nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    std::map<std::string, std::set<std::string>> imports;
    for (size_t at = FileOffset(image, directory.VirtualAddress); directory.Size != 0; at += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
        const auto descriptor = At<IMAGE_IMPORT_DESCRIPTOR>(image, at);
        if (descriptor.Name == 0)
            break;
        std::string dll = StringAt(image, FileOffset(image, descriptor.Name));
        for (char &c : dll)
            c = char(toupper(static_cast<unsigned char>(c)));
        std::set<std::string> &functions = imports[dll];
        const DWORD thunks = descriptor.OriginalFirstThunk != 0 ? descriptor.OriginalFirstThunk : descriptor.FirstThunk;
        for (size_t thunk = FileOffset(image, thunks);; thunk += sizeof(Thunk)) {
            const Thunk entry = At<Thunk>(image, thunk);
            if (entry == 0)
                break;
            if (entry & ByOrdinal)
                functions.insert("#" + std::to_string(entry & 0xFFFF));
            else
                functions.insert(StringAt(image, FileOffset(image, DWORD(entry)) + offsetof(IMAGE_IMPORT_BY_NAME, Name)));
        }
    }
    return imports;
}

TEST_P(ProgramImage, ImportsOnlyTheSystemFunctionsItCalls)
{
    const std::map<std::string, std::set<std::string>> expected = {
        {"ADVAPI32.DLL",
         {"RegCloseKey", "RegCreateKeyA", "RegDeleteKeyA", "RegOpenKeyExA", "RegQueryInfoKeyA", "RegQueryValueExA", "RegSetValueExA"}},
        {"COMCTL32.DLL", {"InitCommonControls"}},
        {"KERNEL32.DLL", {"ExitProcess", "GetModuleHandleA", "GetProcessHeap", "HeapAlloc", "HeapFree", "lstrcpynA", "lstrlenA"}},
        {"USER32.DLL", {"DialogBoxParamA", "EndDialog", "GetDlgItem", "LoadIconA", "SendMessageA"}},
    };
    const Image image = ReadProgram(GetParam().path);
    ASSERT_FALSE(image.empty());
    EXPECT_EQ(IsX64(GetParam()) ? Imports<IMAGE_NT_HEADERS64>(image) : Imports<IMAGE_NT_HEADERS32>(image), expected);
}

TEST(ShippedProgram, IsTheSmallerBuildAndAtMost6KiB)
{
    const Image shipped = ReadProgram(SHIPPED_PROGRAM_PATH);
    size_t smallest = SIZE_MAX;
    bool copied = false;
    for (const Subject &built : CompilerSubjects()) {
        const Image image = ReadProgram(built.path);
        ASSERT_FALSE(image.empty()) << built.path;
        smallest = std::min(smallest, image.size());
        copied = copied || image == shipped;
    }
    EXPECT_TRUE(copied) << "the shipped program is neither build";
    EXPECT_EQ(shipped.size(), smallest);
    EXPECT_LE(shipped.size(), 6144u);
}

// The resources as the loader sees them.
class ProgramResources : public testing::TestWithParam<Subject> {
protected:
    void SetUp() override
    {
        module = LoadLibraryExA(GetParam().path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
        ASSERT_NE(module, nullptr) << "loading " << GetParam().path << " failed with " << GetLastError();
    }
    void TearDown() override
    {
        if (module != nullptr)
            FreeLibrary(module);
    }

    std::vector<BYTE> Resource(LPCSTR type, int id)
    {
        const HRSRC found = FindResourceA(module, MAKEINTRESOURCEA(id), type);
        if (found == nullptr)
            return {};
        const auto *data = static_cast<const BYTE *>(LockResource(LoadResource(module, found)));
        return std::vector<BYTE>(data, data + SizeofResource(module, found));
    }

    HMODULE module = nullptr;
};

INSTANTIATE_TEST_SUITE_P(Built, ProgramResources, testing::ValuesIn(ImageSubjects()), SubjectName);

BOOL CALLBACK AddName(HMODULE, LPCSTR type, LPSTR name, LONG_PTR names)
{
    const std::string typeText = IS_INTRESOURCE(type) ? std::to_string(reinterpret_cast<UINT_PTR>(type)) : type;
    const std::string nameText = IS_INTRESOURCE(name) ? std::to_string(reinterpret_cast<UINT_PTR>(name)) : name;
    reinterpret_cast<std::set<std::string> *>(names)->insert(typeText + "/" + nameText);
    return TRUE;
}

BOOL CALLBACK AddNamesOfType(HMODULE module, LPSTR type, LONG_PTR names)
{
    EnumResourceNamesA(module, type, AddName, names);
    return TRUE;
}

TEST_P(ProgramResources, AreTheDialogTheIconAndTheManifestAndNothingElse)
{
    std::set<std::string> names;
    EnumResourceTypesA(module, AddNamesOfType, reinterpret_cast<LONG_PTR>(&names));
    // RT_ICON 1, RT_DIALOG 3, RT_GROUP_ICON 2, RT_MANIFEST 1.
    EXPECT_EQ(names, (std::set<std::string>{"3/1", "5/3", "14/2", "24/1"}));
}

// Reads a DLGTEMPLATE and its items field by field.
struct TemplateReader {
    const std::vector<BYTE> &data;
    size_t at = 0;

    template <typename T> T Next()
    {
        T value{};
        if (at + sizeof value <= data.size())
            std::memcpy(&value, data.data() + at, sizeof value);
        else
            ADD_FAILURE() << "the template ends early";
        at += sizeof value;
        return value;
    }
    // A string or an ordinal, shown as "#n".
    std::string NextNameOrOrdinal()
    {
        if (at + 2 <= data.size() && data[at] == 0xFF && data[at + 1] == 0xFF) {
            at += 2;
            return "#" + std::to_string(Next<WORD>());
        }
        std::string text;
        for (WORD c; (c = Next<WORD>()) != 0 && at <= data.size();)
            text += c < 0x80 ? char(c) : '?';
        return text;
    }
    void AlignToDword() { at = (at + 3) & ~size_t(3); }
};

struct TemplateItem {
    DWORD style;
    short x, y, cx, cy;
    WORD id;
    std::string windowClass, text;
    bool operator==(const TemplateItem &o) const
    {
        return style == o.style && x == o.x && y == o.y && cx == o.cx && cy == o.cy && id == o.id && windowClass == o.windowClass &&
               text == o.text;
    }
};

std::ostream &operator<<(std::ostream &out, const TemplateItem &item)
{
    return out << "{id " << item.id << " \"" << item.text << "\" class " << item.windowClass << " style 0x" << std::hex << item.style
               << std::dec << " at " << item.x << "," << item.y << " size " << item.cx << "x" << item.cy << "}";
}

TEST_P(ProgramResources, DialogTemplateIsTheClassicTemplateOfTheSetupDialog)
{
    const std::vector<BYTE> data = Resource(RT_DIALOG, 3);
    ASSERT_FALSE(data.empty());
    TemplateReader reader{data};
    ASSERT_NE(reader.Next<WORD>(), 1) << "DLGTEMPLATEEX";
    reader.at = 0;
    EXPECT_EQ(reader.Next<DWORD>(), 0x80C808C0u) << "style";
    EXPECT_EQ(reader.Next<DWORD>(), 0u) << "extended style";
    const WORD itemCount = reader.Next<WORD>();
    EXPECT_EQ(itemCount, 8);
    const short x = reader.Next<short>(), y = reader.Next<short>(), cx = reader.Next<short>(), cy = reader.Next<short>();
    EXPECT_EQ((std::vector<short>{x, y, cx, cy}), (std::vector<short>{0, 0, 126, 115}));
    EXPECT_EQ(reader.NextNameOrOrdinal(), "") << "menu";
    EXPECT_EQ(reader.NextNameOrOrdinal(), "") << "class";
    EXPECT_EQ(reader.NextNameOrOrdinal(), SETUP_DIALOG_CAPTION);
    EXPECT_EQ(reader.Next<WORD>(), 8) << "font size";
    EXPECT_EQ(reader.NextNameOrOrdinal(), "MS Sans Serif");

    // The Button class by its predefined atom, 0x0080.
    const std::vector<TemplateItem> expected = {
        {0x50010003, 10, 10, 120, 10, 101, "#128", "Enable skip cutscenes"},
        {0x50010003, 10, 20, 120, 10, 102, "#128", "Fullscreen"},
        {0x50010003, 10, 30, 120, 10, 103, "#128", "Correct Aspect Ratio"},
        {0x50010003, 10, 40, 120, 10, 104, "#128", "Switch Resolution to 640x480"},
        {0x50010003, 10, 50, 120, 10, 105, "#128", "Graphics Smoothing"},
        {0x50010001, 15, 70, 45, 15, 1, "#128", "OK"},
        {0x50010000, 65, 70, 45, 15, 2, "#128", "Cancel"},
        {0x50010000, 15, 90, 95, 15, 3, "#128", "Remove Registry Keys"},
    };
    std::vector<TemplateItem> items;
    for (WORD i = 0; i < itemCount && i < 20; ++i) {
        reader.AlignToDword();
        TemplateItem item{};
        item.style = reader.Next<DWORD>();
        EXPECT_EQ(reader.Next<DWORD>(), 0u) << "extended style of item " << i;
        item.x = reader.Next<short>(), item.y = reader.Next<short>();
        item.cx = reader.Next<short>(), item.cy = reader.Next<short>();
        item.id = reader.Next<WORD>();
        item.windowClass = reader.NextNameOrOrdinal();
        item.text = reader.NextNameOrOrdinal();
        EXPECT_EQ(reader.Next<WORD>(), 0) << "creation data of item " << i;
        items.push_back(item);
    }
    EXPECT_EQ(items, expected);
    EXPECT_EQ(reader.at, data.size()) << "bytes after the last item";
}

TEST_P(ProgramResources, IconIsOne32By32SixteenColourImage)
{
    const std::vector<BYTE> group = Resource(RT_GROUP_ICON, 2);
    ASSERT_EQ(group.size(), 6u + 14u) << "one directory entry";
    TemplateReader reader{group};
    EXPECT_EQ(reader.Next<WORD>(), 0);
    EXPECT_EQ(reader.Next<WORD>(), 1) << "type: icon";
    EXPECT_EQ(reader.Next<WORD>(), 1) << "image count";
    EXPECT_EQ(reader.Next<BYTE>(), 32) << "width";
    EXPECT_EQ(reader.Next<BYTE>(), 32) << "height";
    EXPECT_EQ(reader.Next<BYTE>(), 16) << "colours";
    EXPECT_EQ(reader.Next<BYTE>(), 0);
    EXPECT_EQ(reader.Next<WORD>(), 1) << "planes";
    EXPECT_EQ(reader.Next<WORD>(), 4) << "bits per pixel";
    EXPECT_EQ(reader.Next<DWORD>(), 744u) << "bytes";
    EXPECT_EQ(reader.Next<WORD>(), 1) << "RT_ICON id";

    const std::vector<BYTE> image = Resource(RT_ICON, 1);
    ASSERT_EQ(image.size(), 744u);
    BITMAPINFOHEADER header;
    std::memcpy(&header, image.data(), sizeof header);
    EXPECT_EQ(header.biSize, 40u);
    EXPECT_EQ(header.biWidth, 32);
    EXPECT_EQ(header.biHeight, 64) << "colour image and mask";
    EXPECT_EQ(header.biPlanes, 1);
    EXPECT_EQ(header.biBitCount, 4);
    EXPECT_EQ(header.biCompression, DWORD(BI_RGB));
}

TEST_P(ProgramResources, ManifestAsksForCommonControls6AndNoElevationAndNothingElse)
{
    const std::vector<BYTE> data = Resource(RT_MANIFEST, 1);
    const std::string manifest(data.begin(), data.end());
    ASSERT_FALSE(manifest.empty());
    EXPECT_EQ(manifest.find_first_of("\r\n"), std::string::npos) << "one line";
    EXPECT_EQ(manifest.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>", 0), 0u);
    const char *required[] = {
        "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\">",
        ("<assemblyIdentity type=\"win32\" name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\" "
         "processorArchitecture=\"*\" publicKeyToken=\"6595b64144ccf1df\"/>"),
        "<trustInfo xmlns=\"urn:schemas-microsoft-com:asm.v2\">",
        "<requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"/>",
    };
    for (const char *part : required)
        EXPECT_NE(manifest.find(part), std::string::npos) << part;
    // Exactly two things: one dependency and one trustInfo, and no other section.
    size_t elements = 0;
    for (size_t at = manifest.find('<'); at != std::string::npos; at = manifest.find('<', at + 1))
        elements += manifest[at + 1] != '/' && manifest[at + 1] != '?';
    EXPECT_EQ(elements, 8u) << "assembly, dependency, dependentAssembly, assemblyIdentity, trustInfo, security, "
                               "requestedPrivileges, requestedExecutionLevel and nothing more:\n"
                            << manifest;
}

}
