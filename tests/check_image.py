#!/usr/bin/python3
"""The program's executables, read from their files: what kind of image each is, what it
imports, exactly which resources it carries; and that the shipped one is the smaller i686 build.
Each fault is printed with what was got and what was wanted; any fault fails.

    check_image.py gcc|clang|x64 PROGRAM
    check_image.py shipped SHIPPED GCC_BUILD CLANG_BUILD
"""
import hashlib
import operator
import struct
import sys

import pefile  # Debian's, hence Debian's own Python above


# The i686 builds run on every Windows from 4.0 on and allow no SEH handler; the x64
# build runs on 64-bit Windows, which asks for 5.2, takes high-entropy ASLR and keeps
# its handlers in tables. All are terminal-server aware.
HARDENED = ["DYNAMIC_BASE", "NX_COMPAT", "TERMINAL_SERVER_AWARE"]
I686 = ("0x14c", "0x10b", (4, 0), sorted(HARDENED + ["NO_SEH"]))
HEADERS = {  # machine and optional header magic in hex, Windows version, DLL characteristics
    "gcc": I686, "clang": I686, "x64": ("0x8664", "0x20b", (5, 2), sorted(HARDENED + ["HIGH_ENTROPY_VA"])),
}
# Each linker's sections, in order: one more means that something more was linked in.
SECTIONS = {"gcc": ".text .data .rdata .idata .rsrc .reloc", "clang": ".text .rdata .data .rsrc .reloc",
            "x64": ".text .data .rdata .idata .rsrc .reloc"}

IMPORTS = {  # each DLL's functions, sorted
    "ADVAPI32.DLL": "RegCloseKey RegCreateKeyA RegDeleteKeyA RegOpenKeyExA RegQueryInfoKeyA RegQueryValueExA RegSetValueExA",
    "COMCTL32.DLL": "InitCommonControls",
    "KERNEL32.DLL": "ExitProcess GetModuleHandleA GetProcessHeap HeapAlloc HeapFree lstrcpynA lstrlenA",
    "USER32.DLL": "DialogBoxParamA EndDialog GetDlgItem LoadIconA SendMessageA",
}

# By (type, name), each once: RT_ICON 1, RT_DIALOG 3, RT_GROUP_ICON 2, RT_MANIFEST 1.
RT_ICON, RT_DIALOG, RT_GROUP_ICON, RT_MANIFEST = (3, 1), (5, 3), (14, 2), (24, 1)

# One entry: 32x32, 16 colours, a reserved 0, one plane, 4 bits, 744 bytes, RT_ICON 1.
ICON_GROUP = bytes.fromhex("0000 0100 0100" "20 20 10 00 0100 0400 e8020000 0100")
# Taken once from the built program: the SHA-256 of the image in resources/setup.ico.
ICON_SHA256 = "67365cd6313ef655436eaf65a7d6181682004bfc9783cc66c5d31a5980101c36"

MANIFEST = (
    b'<?xml version="1.0" encoding="UTF-8" standalone="yes"?><assembly xmlns="urn:schemas-microsoft-com:asm.v1" '
    b'manifestVersion="1.0"><dependency><dependentAssembly><assemblyIdentity type="win32" '
    b'name="Microsoft.Windows.Common-Controls" version="6.0.0.0" processorArchitecture="*" '
    b'publicKeyToken="6595b64144ccf1df"/></dependentAssembly></dependency><trustInfo '
    b'xmlns="urn:schemas-microsoft-com:asm.v2"><security><requestedPrivileges><requestedExecutionLevel '
    b'level="asInvoker" uiAccess="false"/></requestedPrivileges></security></trustInfo></assembly>')

# Style and extended style in hex, x, y, cx, cy, menu, class, caption, font size and face.
DIALOG = ("0x80c808c0", "0x0", 0, 0, 126, 115, "", "", "Dustmarrow 2.0 Setup", 8, "MS Sans Serif")
# Style in hex, x, y, cx, cy, id, class (the Button class by its atom, 0x0080), text.
ITEMS = [
    ("0x50010003", 10, 10, 120, 10, 101, "#128", "Enable skip cutscenes"),
    ("0x50010003", 10, 20, 120, 10, 102, "#128", "Fullscreen"),
    ("0x50010003", 10, 30, 120, 10, 103, "#128", "Correct Aspect Ratio"),
    ("0x50010003", 10, 40, 120, 10, 104, "#128", "Switch Resolution to 640x480"),
    ("0x50010003", 10, 50, 120, 10, 105, "#128", "Graphics Smoothing"),
    ("0x50010001", 15, 70, 45, 15, 1, "#128", "OK"),
    ("0x50010000", 65, 70, 45, 15, 2, "#128", "Cancel"),
    ("0x50010000", 15, 90, 95, 15, 3, "#128", "Remove Registry Keys"),
]

RELATIONS = {"": operator.eq, "at most ": operator.le, "more than ": operator.gt, "one of ": lambda a, b: a in b}
faults, checks = [], 0


def check(what, got, wanted, relation=""):
    global checks
    checks += 1
    if not RELATIONS[relation](got, wanted):
        faults.append(f"{what}: got {got!r}, wanted {relation}{wanted!r}")


def check_headers(pe, machine, magic, windows, dll_characteristics):
    header, optional = pe.FILE_HEADER, pe.OPTIONAL_HEADER
    check("machine", hex(header.Machine), machine)
    check("optional header magic", hex(optional.Magic), magic)
    check("subsystem (2 is the GUI)", optional.Subsystem, 2)
    check("subsystem version", (optional.MajorSubsystemVersion, optional.MinorSubsystemVersion), windows)
    check("OS version", (optional.MajorOperatingSystemVersion, optional.MinorOperatingSystemVersion), windows)
    check("timestamp (one would make every build differ)", header.TimeDateStamp, 0)
    check("relocations stripped (ASLR needs them)", bool(header.Characteristics & 0x0001), False)
    dll = [(name.removeprefix("IMAGE_DLLCHARACTERISTICS_"), bit) for name, bit in pefile.dll_characteristics]
    unnamed = optional.DllCharacteristics & ~sum(bit for _, bit in dll)
    flags = [name for name, bit in dll if optional.DllCharacteristics & bit] + ([hex(unnamed)] if unnamed else [])
    check("DLL characteristics", sorted(flags), dll_characteristics)
    for name, what, relation in [("BASERELOC", "relocations' size", "more than "), ("DEBUG", "debug directory's size", ""),
                                 ("TLS", "TLS directory's size (TLS means a runtime crept in)", "")]:
        check(what, optional.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_" + name]].Size, 0, relation)
    # Code that can be written to can be changed by whoever can write data; a shared
    # section is memory that every process of the image can write.
    scn = pefile.SECTION_CHARACTERISTICS
    write_execute = scn["IMAGE_SCN_MEM_WRITE"] | scn["IMAGE_SCN_MEM_EXECUTE"]
    sections = [(s.Name.rstrip(b"\0").decode(errors="replace"), s.Characteristics) for s in pe.sections]
    check("sections both writable and executable", [n for n, c in sections if c & write_execute == write_execute], [])
    check("shared sections", [n for n, c in sections if c & scn["IMAGE_SCN_MEM_SHARED"]], [])


def resources(pe):
    """Each resource's (type, name) and data, once for each of its languages."""
    def key(entry):
        return entry.id if entry.name is None else str(entry.name)
    root = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
    return [((key(kind), key(name)), pe.get_data(language.data.struct.OffsetToData, language.data.struct.Size))
            for kind in (root.entries if root else []) for name in kind.directory.entries
            for language in name.directory.entries]


def check_dialog(data):
    """Reads the classic DLGTEMPLATE and its items field by field."""
    at = 0

    def take(layout):
        nonlocal at
        values = struct.unpack_from("<" + layout, data, at)
        at += struct.calcsize("<" + layout)
        return values if len(values) > 1 else values[0]

    def name():  # a string, or an ordinal shown as #n
        if data[at:at + 2] != b"\xff\xff":
            return "".join(iter(lambda: chr(take("H")), "\0"))
        take("H")
        return f"#{take('H')}"

    if data[2:4] == b"\xff\xff":
        return faults.append("dialog: got a DLGTEMPLATEEX, wanted a classic DLGTEMPLATE")
    try:
        style, extended, count, *box = take("IIHhhhh")
        head = (hex(style), hex(extended), *box, name(), name(), name())
        if style & 0x40:  # DS_SETFONT
            head += (take("H"), name())
        check("dialog", head, DIALOG)
        check("dialog's item count", count, len(ITEMS))
        for i in range(min(count, 2 * len(ITEMS))):
            check(f"padding before dialog item {i}", data[at:(at + 3) & ~3], bytes(-at % 4))
            at = (at + 3) & ~3
            style, extended, *place = take("IIhhhhH")
            item = (hex(style), *place, name(), name())
            check(f"dialog item {i}'s extended style", extended, 0)
            check(f"dialog item {i}'s creation data", take("H"), 0)
            check(f"dialog item {i}", item, ITEMS[i] if i < len(ITEMS) else None)
        check("dialog's bytes after the last item", len(data) - at, 0)
    except struct.error:
        faults.append(f"dialog: the template ends early, at byte {at} of {len(data)}")


def check_program(kind, path):
    image = open(path, "rb").read()
    check("size in bytes", len(image), 8192, "at most ")
    pe = pefile.PE(data=image)
    check_headers(pe, *HEADERS[kind])
    check("sections", [s.Name.rstrip(b"\0").decode(errors="replace") for s in pe.sections], SECTIONS[kind].split())
    imports = {entry.dll.decode().upper(): sorted(i.name.decode() if i.name else f"#{i.ordinal}" for i in entry.imports)
               for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])}
    check("imported DLLs", sorted(imports), sorted(IMPORTS))
    for dll in sorted(IMPORTS.keys() & imports.keys()):
        check(f"functions imported from {dll}", imports[dll], IMPORTS[dll].split())
    found = resources(pe)
    check("resources (type, name)", sorted((key for key, _ in found), key=repr),
          sorted([RT_ICON, RT_DIALOG, RT_GROUP_ICON, RT_MANIFEST], key=repr))
    data = dict(found)
    check("RT_GROUP_ICON 2", data.get(RT_GROUP_ICON), ICON_GROUP)
    check("RT_ICON 1's size", len(data.get(RT_ICON, b"")), 744)
    check("RT_ICON 1's SHA-256", hashlib.sha256(data.get(RT_ICON, b"")).hexdigest(), ICON_SHA256)
    check("RT_MANIFEST 1", data.get(RT_MANIFEST), MANIFEST)
    check_dialog(data.get(RT_DIALOG, b""))


def check_shipped(shipped, *builds):
    image, *built = [open(path, "rb").read() for path in (shipped, *builds)]
    check("SHA-256 (the builds')", hashlib.sha256(image).hexdigest(), [hashlib.sha256(b).hexdigest() for b in built], "one of ")
    check("size in bytes (the smaller build's)", len(image), min(map(len, built)))
    check("size in bytes", len(image), 6144, "at most ")


def main(args):
    try:
        if len(args) == 2 and args[0] in HEADERS:
            check_program(*args)
        elif len(args) >= 3 and args[0] == "shipped":
            check_shipped(*args[1:])
        else:
            sys.exit(__doc__)
    except (OSError, pefile.PEFormatError) as error:
        faults.append(f"cannot be read: {error}")
    print(*(f"FAIL {args[1]}: {fault}" for fault in faults), f"{args[1]}: {len(faults)} faults in {checks} checks", sep="\n")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
