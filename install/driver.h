// The launch driver: the whole run of install after start-up.
#pragma once

#include <string>

// The product's common directory, always ending in a backslash.
extern std::string commonDir;
// Set by "-remove", "-cfg"/"-CFG" and, just before the launch loop, "-developer".
extern bool paramsGiven;

// Runs one installation or removal for the raw command line; always 0.
int runInstallation(const std::string& commandLine, int showWindow);

// The configuration file name for prefix (a directory ending in a backslash): the name derived
// from the program's file name when such a file exists there, else "install.cfg".
std::string appendConfigName(const std::string& prefix, bool haveToken,
                             const std::string& derivedConfigName);

// Replaces updateConfigPath by a configuration file found under the update directory.
void findUpdateConfig(std::string& updateConfigPath, const std::string& derivedConfigName);

// The text of the box that refuses a second installation on a platform family; nullptr where
// none is shown.
const char* previousInstallMessage(unsigned long platform);

// The splash screen's language folder for a C library locale name.
std::string languageCode(const std::string& localeName);
