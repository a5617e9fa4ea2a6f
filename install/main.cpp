#include <windows.h>

#include <exception>
#include <string>

#include "../common/system_libraries.h"
#include "driver.h"
#include "startup.h"
#include "tracelog.h"

// install has no window of its own; whatever happens, its exit code is 0.
int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR commandLine, int showWindow)
{
    restrictDllSearchToSystemDirectory();
    try {
        const std::string arguments = commandLine ? commandLine : "";
        if (startInstall(arguments))
            runInstallation(arguments, showWindow);
    } catch (const std::exception& error) {
        writeTraceLog("install stopped by an unexpected error: %s\n", error.what());
    } catch (...) {
        writeTraceLog("install stopped by an unexpected error\n");
    }
    closeTraceLog();
    return 0;
}
