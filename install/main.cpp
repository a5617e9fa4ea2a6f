#include <windows.h>

#include <exception>

#include "startup.h"

// install has no window of its own; whatever happens, its exit code is 0.
int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR commandLine, int showWindow)
{
    try {
        return startInstall(commandLine, showWindow);
    } catch (const std::exception& error) {
        writeTraceLog("install stopped by an unexpected error: %s\n", error.what());
    } catch (...) {
        writeTraceLog("install stopped by an unexpected error\n");
    }
    closeTraceLog();
    return 0;
}
