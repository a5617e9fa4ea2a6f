// Start-up of install: the debug stamp, the Windows directory, and the places of the trace log
// and the developer batch file.
#pragma once

#include <string>

// Writes the debug stamp for "-debug", reads the Windows directory, places and creates the
// trace log (and, for "-developer", places the batch file) and opens the log; false when the
// log cannot be opened, and the run goes no further.
bool startInstall(const std::string& arguments);
