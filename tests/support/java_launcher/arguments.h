// The arguments of the stand-in Java launcher, read as the JDK's launcher reads them on Windows:
// the command line split by the launcher's own code, each argument file before the main class
// expanded from the current folder, then the options up to the main class.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace java_launcher {

struct Arguments {
    // Every argument after the program's own name, argument files expanded.
    std::vector<std::string> all;
    // Those before the main class, an option's separate value included.
    std::vector<std::string> options;
    std::string mainClass;
    // Those after the main class, as the application gets them.
    std::vector<std::string> parameters;
    // The class path the options give (-cp, -classpath, --class-path), else the CLASSPATH
    // variable; an empty element, or an empty path, stands for the current folder.
    std::string classPath;
    // Why no application can be started: no main class, or an option this stand-in does not run.
    std::string error;
};

// Reads the process's own command line (GetCommandLineW in the ANSI code page, as the JDK's
// launcher takes it). A missing argument file ends the process, as it ends the launcher, after
// reporting the message through reportMessage.
Arguments readArguments();

// True for the options whose value is the next argument.
bool takesSeparateValue(const std::string& option);

// Where the launcher's messages go: set before readArguments.
extern void (*reportMessage)(const std::string& message);

} // namespace java_launcher
