// Splash.exe: shows the bitmap named on its command line, centred on the screen, borderless
// and topmost, until it is terminated. A relative name is taken from the program's own
// directory. A missing or unreadable bitmap, or no screen to show it on, ends it quietly with
// a non-zero exit code.
#include <windows.h>

#include <string>

#include "../../common/owners.h"
#include "../../common/program_path.h"
#include "../../common/system_libraries.h"

namespace {

constexpr char kWindowClass[] = "BravikSplash";
constexpr int kNoBitmapNamed = 1;
constexpr int kBitmapUnreadable = 2;
constexpr int kNoWindow = 3;

std::string trimmed(const char* text)
{
    std::string value = text ? text : "";
    const std::size_t first = value.find_first_not_of(" \t");
    if (first == std::string::npos)
        return {};
    const std::size_t last = value.find_last_not_of(" \t");
    return value.substr(first, last - first + 1);
}

bool isAbsolute(const std::string& name)
{
    return name.find(':') != std::string::npos || (!name.empty() && name.front() == '\\');
}

LRESULT CALLBACK splashWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CREATE: {
        const auto* create = reinterpret_cast<const CREATESTRUCTA*>(lParam);
        SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
        return 0;
    }
    case WM_PAINT: {
        PAINTSTRUCT paint;
        const HDC target = BeginPaint(window, &paint);
        const auto bitmap = reinterpret_cast<HBITMAP>(GetWindowLongPtrA(window, GWLP_USERDATA));
        BITMAP size{};
        GetObjectA(bitmap, sizeof(size), &size);
        const UniqueMemoryDc source(CreateCompatibleDC(target));
        const HGDIOBJ previous = SelectObject(source.get(), bitmap);
        BitBlt(target, 0, 0, size.bmWidth, size.bmHeight, source.get(), 0, 0, SRCCOPY);
        SelectObject(source.get(), previous);
        EndPaint(window, &paint);
        return 0;
    }
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcA(window, message, wParam, lParam);
    }
}

} // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int)
{
    restrictDllSearchToSystemDirectory();
    const std::string name = trimmed(commandLine);
    if (name.empty())
        return kNoBitmapNamed;
    const std::string path = isAbsolute(name) ? name : programDirectory() + "\\" + name;
    const UniqueGdiObject bitmap(LoadImageA(nullptr, path.c_str(), IMAGE_BITMAP, 0, 0, LR_LOADFROMFILE));
    if (!bitmap)
        return kBitmapUnreadable;
    BITMAP size{};
    if (!GetObjectA(bitmap.get(), sizeof(size), &size) || size.bmWidth <= 0 || size.bmHeight <= 0)
        return kBitmapUnreadable;

    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = splashWindowProc;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_WAIT));
    windowClass.lpszClassName = kWindowClass;
    RegisterClassA(&windowClass);
    const int left = (GetSystemMetrics(SM_CXSCREEN) - size.bmWidth) / 2;
    const int top = (GetSystemMetrics(SM_CYSCREEN) - size.bmHeight) / 2;
    const HWND window = CreateWindowExA(WS_EX_TOPMOST | WS_EX_TOOLWINDOW, kWindowClass, "", WS_POPUP, left, top,
                                        size.bmWidth, size.bmHeight, nullptr, nullptr, instance, bitmap.get());
    if (!window)
        return kNoWindow;
    ShowWindow(window, SW_SHOWNOACTIVATE);
    UpdateWindow(window);

    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    return 0;
}
