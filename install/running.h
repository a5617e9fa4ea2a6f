// Whether a previous installer ("launch.exe") is still running.
#pragma once

#include <cstddef>

// 1 when a process whose program is named "launch.exe" runs, else 0 (also on every failure).
int isInstallerRunning();

// The NT-family walk over the process ids; its id buffer starts at firstIdBufferBytes and
// doubles while the ids fill it.
int isInstallerRunningNt(std::size_t firstIdBufferBytes);

// The 95-family walk over a Toolhelp snapshot.
int isInstallerRunning95();
