// The real Splash.exe, run on the X display the test runner provides.
#include <windows.h>

#include <gtest/gtest.h>

#include "testing.h"

using namespace testing_support;

namespace {

constexpr char kFolder[] = "C:\\itest-splash";
constexpr char kWindowClass[] = "BravikSplash";
constexpr int kScreenWidth = 1024;
constexpr int kScreenHeight = 768;

class SplashProgram : public ::testing::Test {
protected:
    void SetUp() override
    {
        removeTree(kFolder);
        copyFile(programDirectory() + "\\Splash.exe", std::string(kFolder) + "\\Splash.exe");
    }
    void TearDown() override { removeTree(kFolder); }
};

HWND waitForSplashWindow(DWORD timeoutMs)
{
    for (DWORD waited = 0; waited < timeoutMs; waited += 50) {
        if (HWND window = FindWindowA(kWindowClass, nullptr); window && IsWindowVisible(window))
            return window;
        Sleep(50);
    }
    return nullptr;
}

TEST_F(SplashProgram, ShowsTheBitmapCentredTopmostAndBorderlessUntilEnded)
{
    writeBitmap(std::string(kFolder) + "\\en\\logo.bmp", 123, 45);
    ASSERT_EQ(waitForSplashWindow(0), nullptr);
    DWORD processId = 0;
    {
        // Started from elsewhere: the bitmap name is taken from the program's own folder.
        const RunningProgram splash(std::string(kFolder) + "\\Splash.exe  en\\logo.bmp", "C:\\");
        processId = splash.processId();
        const HWND window = waitForSplashWindow(15000);
        ASSERT_NE(window, nullptr);
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        EXPECT_EQ(owner, processId);

        RECT rect{};
        GetWindowRect(window, &rect);
        EXPECT_EQ(rect.right - rect.left, 123);
        EXPECT_EQ(rect.bottom - rect.top, 45);
        EXPECT_EQ(rect.left, (kScreenWidth - 123) / 2);
        EXPECT_EQ(rect.top, (kScreenHeight - 45) / 2);

        // The picture is on the screen: the pixel at the window's centre is the bitmap's.
        Sleep(200);
        const COLORREF pixel = GetPixel(UniqueScreenDc(GetDC(nullptr)).get(), rect.left + 61, rect.top + 22);
        const int row = 45 - 1 - 22;
        EXPECT_EQ(pixel, RGB(0x80, row * 255 / 45, 61 * 255 / 123));

        const LONG style = GetWindowLongA(window, GWL_STYLE);
        EXPECT_TRUE(style & WS_POPUP);
        EXPECT_FALSE(style & (WS_CAPTION | WS_THICKFRAME | WS_BORDER));
        EXPECT_TRUE(GetWindowLongA(window, GWL_EXSTYLE) & WS_EX_TOPMOST);
    }
    // Terminated, the window is gone.
    for (int i = 0; i < 100 && FindWindowA(kWindowClass, nullptr); ++i)
        Sleep(50);
    EXPECT_EQ(FindWindowA(kWindowClass, nullptr), nullptr);
}

TEST_F(SplashProgram, WithoutAReadableBitmapItEndsQuietly)
{
    writeFile(std::string(kFolder) + "\\en\\broken.bmp", "this is no bitmap");
    for (const char* argument : {"  en\\missing.bmp", "  en\\broken.bmp", ""}) {
        SCOPED_TRACE(argument);
        const ProgramRun run = runProgram(std::string(kFolder) + "\\Splash.exe" + argument, kFolder, 15000);
        EXPECT_TRUE(run.finished);
        EXPECT_NE(run.exitCode, 0u);
        EXPECT_TRUE(run.messageBoxes.empty());
        EXPECT_EQ(FindWindowA(kWindowClass, nullptr), nullptr);
    }
}

} // namespace
