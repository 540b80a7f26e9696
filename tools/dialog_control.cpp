// Takes a picture of the Setup dialog and then presses its Cancel button, as a player
// would, from outside the program:
//   dialog_control capture FILE.bmp
// It waits up to a minute for the dialog to be shown, gives it a moment to paint,
// copies its frame from the screen into FILE.bmp and clicks Cancel. Exits 1 when no
// dialog appears or the picture cannot be written.
#include "tools/find_dialog.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

namespace {

HWND WaitForSetupDialog()
{
    HWND dialog = nullptr;
    for (int waited = 0; dialog == nullptr && waited < 60000; waited += 50) {
        dialog = FindReadySetupDialog(0);
        if (dialog == nullptr)
            Sleep(50);
    }
    return dialog;
}

bool SaveScreenArea(const RECT &area, const char *path)
{
    const int width = area.right - area.left, height = area.bottom - area.top;
    BITMAPINFOHEADER header{};
    header.biSize = sizeof header;
    header.biWidth = width;
    header.biHeight = height;
    header.biPlanes = 1;
    header.biBitCount = 24;
    header.biCompression = BI_RGB;
    header.biSizeImage = DWORD(((width * 3 + 3) & ~3) * height);

    const HDC screen = GetDC(nullptr);
    const HDC memory = CreateCompatibleDC(screen);
    void *pixels = nullptr;
    const HBITMAP bitmap =
        CreateDIBSection(screen, reinterpret_cast<BITMAPINFO *>(&header), DIB_RGB_COLORS, &pixels, nullptr, 0);
    const HGDIOBJ previous = SelectObject(memory, bitmap);
    const bool copied = BitBlt(memory, 0, 0, width, height, screen, area.left, area.top, SRCCOPY) != FALSE;
    GdiFlush();

    bool written = false;
    if (copied) {
        BITMAPFILEHEADER file{};
        file.bfType = 0x4D42; // "BM"
        file.bfOffBits = sizeof file + sizeof header;
        file.bfSize = file.bfOffBits + header.biSizeImage;
        if (FILE *out = std::fopen(path, "wb")) {
            written = std::fwrite(&file, sizeof file, 1, out) == 1 && std::fwrite(&header, sizeof header, 1, out) == 1 &&
                      std::fwrite(pixels, header.biSizeImage, 1, out) == 1;
            written = std::fclose(out) == 0 && written;
        }
    }
    SelectObject(memory, previous);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return written;
}

}

int main(int argc, char **argv)
{
    if (argc != 3 || std::strcmp(argv[1], "capture") != 0) {
        std::fprintf(stderr, "usage: dialog_control capture FILE.bmp\n");
        return 2;
    }
    const HWND dialog = WaitForSetupDialog();
    if (dialog == nullptr) {
        std::fprintf(stderr, "dialog_control: the Setup dialog did not appear\n");
        return 1;
    }
    SetCursorPos(0, 0); // no control drawn as hovered
    Sleep(1000);
    RECT frame;
    GetWindowRect(dialog, &frame);
    const bool saved = SaveScreenArea(frame, argv[2]);
    if (!saved)
        std::fprintf(stderr, "dialog_control: cannot save %s\n", argv[2]);
    PostMessageA(GetDlgItem(dialog, IDCANCEL), BM_CLICK, 0, 0);
    return saved ? 0 : 1;
}
