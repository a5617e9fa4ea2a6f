// The install configuration file ("install.cfg", "remove.cfg") and the tables it fills.
#pragma once

#include <string>

#include "globals.h"


// Reads a configuration file into the tables and the paths; 0 when it cannot be opened, in
// which case nothing is changed, else 1.
int readConfigFile(const std::string& path, ParameterTable& parameters, ClassTable& classes);
// The same through a file already open, read from where it stands; the handle is taken over.
int readConfigFile(UniqueFileHandle file, ParameterTable& parameters, ClassTable& classes);

// The configuration file name for prefix (a directory ending in a backslash): the name derived
// from the program's file name when such a file exists there, else "install.cfg".
std::string appendConfigName(const std::string& prefix, bool haveToken,
                             const std::string& derivedConfigName);

// Replaces updateConfigPath by a configuration file found under the update directory, when that
// folder may be used, and gives that file held against change for as long as the caller keeps
// the handle: it is to be read before the handle goes. Nothing is held otherwise.
UniqueFileHandle findUpdateConfig(std::string& updateConfigPath, const std::string& derivedConfigName);

// The splash screen's language folder for a C library locale name; the configuration names
// the bitmap below it.
std::string languageCode(const std::string& localeName);
