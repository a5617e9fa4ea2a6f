// The launch driver: the whole run of install after start-up.
#pragma once

#include <string>

// Runs one installation or removal for the raw command line; always 0.
int runInstallation(const std::string& commandLine, int showWindow);

// The text of the box that refuses a second installation on a platform family; nullptr where
// none is shown.
const char* previousInstallMessage(unsigned long platform);
