// The splash picture, shown by "Splash.exe" while the runtime is prepared.
#pragma once

#include <string>

// Starts "Splash.exe" in its own directory with splashArgument after two blanks; non-zero when
// the process was created. The current directory is the same afterwards.
int launchSplash(const std::string& splashArgument, int showWindow);

// Ends the splash program started by launchSplash and releases its handles.
void terminateSplash();
