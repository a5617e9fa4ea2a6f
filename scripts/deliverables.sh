# The eight files that ship, relative to dist/: the x86 ones in it, the x64 ones in x64/.
# Sourced by the scripts that sign, sum and measure them.
# shellcheck disable=SC2034
deliverables=(install.exe Splash.exe sysnat.dll hivenat.dll
              x64/install.exe x64/Splash.exe x64/sysnat.dll x64/hivenat.dll)
