// The state install keeps for the whole run, in the globals its design names. Every area reads
// and fills them; they are defined here, once, so that no area reaches into another for them.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>

#include "platform.h"

// Configuration tables, filled by the configuration reader: 128-byte slots in the design; an
// empty slot ends every walk over a table.
inline constexpr std::size_t kClassSlots = 10;
inline constexpr std::size_t kZipSlots = 30;
inline constexpr std::size_t kDeleteSlots = 40;
inline constexpr std::size_t kPostDeleteSlots = 30;

using ClassTable = std::array<std::string, kClassSlots>;
using ParameterTable = std::array<std::string, kClassSlots>;

extern ClassTable classTable;
extern ParameterTable parameterTable;
extern std::array<std::string, kClassSlots> splashBitmapTable;
extern std::array<std::string, 1> removeFilesFlag;
extern std::array<std::string, kZipSlots> zipDirTable;
extern std::array<std::string, kZipSlots> zipNameTable;
extern std::array<std::string, kDeleteSlots> deleteCommonFilesTable;
extern std::array<std::string, kPostDeleteSlots> postDeleteCommonFilesTable;
// False once the configuration says [NO_VERSION_FILES].
extern bool writeVersionFiles;

// The search path and the class path under construction: "PATH=" and "CLASSPATH=" followed by
// their entries. Their size is what the environment allows the Java processes (paths.h): an
// entry of the search path that would not fit is left out whole, never cut, and a class path
// that would not fit stops the run.
extern std::string pathBuf;
extern std::string classPathBuf;

// Start-up: the -debug switch, the Windows directory, the trace log and the developer batch file.
extern bool debugFlag;
extern std::string windowsDir;
extern std::string traceLogPath;
extern std::string batchFilePath;
extern UniqueFile traceLog;
// The file the trace log was created as: every reopen must find that same file at its path.
extern std::optional<FileIdentity> traceLogIdentity;

// The product's common directory, always ending in a backslash.
extern std::string commonDir;
// Set by "-remove", "-cfg"/"-CFG" and, just before the launch loop, "-developer".
extern bool paramsGiven;
// The splash program: the command line it was started with, its process and thread, and
// whether it was started.
extern std::string splashCommandLine;
extern ChildProcess splashProcess;
extern bool splashStarted;
// A folder the system named that has no ANSI form (its name holds what the code page lacks, and
// its volume gives no short names): the run stops, naming it, at its next step.
extern std::wstring unwritableFolder;

// Reads the Windows directory into windowsDir.
void readWindowsDirectory();

// The Windows drive: the first two characters (letter and colon) of windowsDir.
std::string windowsDrive();
