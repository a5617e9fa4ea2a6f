// The splash picture, shown by "Splash.exe" while the runtime is prepared.
#pragma once

#include <string>

extern bool splashStarted;

// Starts "Splash.exe" with splashArgument; non-zero when the process was created.
int launchSplash(const std::string& splashArgument, int showWindow);

// Ends the splash program started by launchSplash.
void terminateSplash();
