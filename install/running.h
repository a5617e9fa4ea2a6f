// Whether a previous installer ("launch.exe") is still running.
#pragma once

// 1 when a process whose program is named "launch.exe" runs, else 0.
int isInstallerRunning();
