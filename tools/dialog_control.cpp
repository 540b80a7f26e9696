// Takes a picture of the Setup dialog and then presses its Cancel button, as a player
// would, from outside the program:
//   dialog_control capture FILE.bmp [PROGRAM]
// Given the program, it starts it itself. It waits for the dialog to be shown, has it
// paint itself, copies its frame from the screen into FILE.bmp once the screen shows it
// painted, clicks Cancel and waits for the dialog to go; each wait is a limit far above
// what a first start in a new prefix on a busy machine takes. When one of these does not
// happen, it says which in one line and exits 1; a program it started is then ended.
#include "tools/find_dialog.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <set>
#include <vector>

namespace {

constexpr DWORD AppearMilliseconds = 120000, PaintMilliseconds = 30000, CloseMilliseconds = 30000;

// The screen's pixels in an area, bottom row first, three bytes a pixel.
struct Picture {
    BITMAPINFOHEADER header;
    std::vector<BYTE> pixels;
};

Picture CopyScreenArea(const RECT &area)
{
    const int width = area.right - area.left, height = area.bottom - area.top;
    const DWORD size = DWORD((width * 3 + 3) & ~3) * DWORD(height);
    Picture picture{{sizeof(BITMAPINFOHEADER), width, height, 1, 24, BI_RGB, size, 0, 0, 0, 0}, {}};
    const HDC screen = GetDC(nullptr), memory = CreateCompatibleDC(screen);
    void *pixels = nullptr;
    const HBITMAP bitmap = CreateDIBSection(screen, reinterpret_cast<BITMAPINFO *>(&picture.header), DIB_RGB_COLORS, &pixels, nullptr, 0);
    const HGDIOBJ previous = SelectObject(memory, bitmap);
    if (pixels != nullptr && BitBlt(memory, 0, 0, width, height, screen, area.left, area.top, SRCCOPY)) {
        GdiFlush();
        picture.pixels.assign(static_cast<const BYTE *>(pixels), static_cast<const BYTE *>(pixels) + size);
    }
    SelectObject(memory, previous);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return picture;
}

// A painted dialog has a caption, a face, text and boxes: many colours. Before it is
// painted the screen shows it as one or two flat colours.
bool LooksPainted(const Picture &picture)
{
    std::set<DWORD> colours;
    for (size_t i = 0; i + 2 < picture.pixels.size() && colours.size() < 4; i += 3)
        colours.insert(DWORD(picture.pixels[i] | picture.pixels[i + 1] << 8 | picture.pixels[i + 2] << 16));
    return colours.size() >= 4;
}

bool Save(const Picture &picture, const char *path)
{
    const DWORD offset = sizeof(BITMAPFILEHEADER) + sizeof picture.header;
    const BITMAPFILEHEADER file{0x4D42 /* "BM" */, DWORD(offset + picture.pixels.size()), 0, 0, offset};
    FILE *out = std::fopen(path, "wb");
    if (out == nullptr)
        return false;
    const bool written = std::fwrite(&file, sizeof file, 1, out) == 1 && std::fwrite(&picture.header, sizeof picture.header, 1, out) == 1 &&
                         std::fwrite(picture.pixels.data(), picture.pixels.size(), 1, out) == 1;
    return std::fclose(out) == 0 && written;
}

int Fail(const char *what)
{
    std::fprintf(stderr, "dialog_control: %s\n", what);
    return 1;
}

// Takes the picture and clicks Cancel; a failure names what did not happen.
int Capture(const char *path)
{
    HWND dialog = nullptr;
    if (!WaitUntil([&] { return (dialog = FindReadySetupDialog(0)) != nullptr; }, AppearMilliseconds))
        return Fail("no dialog within 120 s");
    SetCursorPos(0, 0); // no control drawn as hovered
    // The dialog paints itself before this returns; the screen shows it once Wine has
    // passed the painting on, so the copy is taken when it looks painted and steady.
    RedrawWindow(dialog, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN | RDW_UPDATENOW);
    RECT frame;
    GetWindowRect(dialog, &frame);
    Picture previous, picture;
    const bool painted = WaitUntil(
        [&] {
            previous = picture;
            picture = CopyScreenArea(frame);
            return LooksPainted(picture) && picture.pixels == previous.pixels;
        },
        PaintMilliseconds);
    const bool saved = painted && Save(picture, path);
    PostMessageA(GetDlgItem(dialog, IDCANCEL), BM_CLICK, 0, 0);
    const bool closed = WaitUntil([&] { return !IsWindow(dialog); }, CloseMilliseconds);
    if (!painted)
        return Fail("no paint: the dialog did not show painted on the screen within 30 s");
    if (!saved)
        return Fail("no bitmap written");
    return closed ? 0 : Fail("Cancel not taken: the dialog was still there 30 s after the click");
}

}

int main(int argc, char **argv)
{
    if ((argc != 3 && argc != 4) || std::strcmp(argv[1], "capture") != 0) {
        std::fprintf(stderr, "usage: dialog_control capture FILE.bmp [PROGRAM]\n");
        return 2;
    }
    PROCESS_INFORMATION program{};
    if (argc == 4 && !StartProgramProcess(argv[3], program))
        return Fail("cannot start the program");
    const int status = Capture(argv[2]);
    if (program.hProcess != nullptr) {
        if (WaitForSingleObject(program.hProcess, status == 0 ? CloseMilliseconds : 0) != WAIT_OBJECT_0)
            TerminateProcess(program.hProcess, 1);
        CloseHandle(program.hProcess);
        CloseHandle(program.hThread);
    }
    return status;
}
