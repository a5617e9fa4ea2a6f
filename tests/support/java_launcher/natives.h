// The natives a Java installer loads with System.loadLibrary: found where the JDK looks on
// Windows, loaded, and one method of each called through the stand-in Java runtime.
#pragma once

#include <string>
#include <vector>

namespace java_launcher {

struct NativeUse {
    std::string library;  // "sysnat.dll"
    std::string path;     // where it was found; empty when nowhere
    std::string answer;   // what the method called returned, or why it could not be called
};

// Looks for sysnat.dll and hivenat.dll in java.library.path's folders on Windows: the
// launcher's own folder, the system folder, the 16-bit system folder, the Windows folder, the
// folders of PATH, then the current folder; loads and calls each one found.
std::vector<NativeUse> useNatives();

} // namespace java_launcher
