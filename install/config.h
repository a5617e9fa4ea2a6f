// The install configuration file ("install.cfg", "remove.cfg") and the tables it fills.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <string>

// Every table is a row of slots; an empty slot ends every walk over a table.
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
extern bool writeVersionFiles;

// Reads a configuration file into the tables and the paths; 0 when it cannot be opened, in
// which case nothing is changed, else 1.
int readConfigFile(const std::string& path, ParameterTable& parameters, ClassTable& classes);

// Delete the files their tables name below commonDir, clearing read-only and hidden first.
void deleteCommonFiles(const std::string& commonDir);
void postDeleteCommonFiles(const std::string& commonDir);
