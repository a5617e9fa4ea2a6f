#include "globals.h"

#include <vector>

ClassTable classTable;
ParameterTable parameterTable;
std::array<std::string, kClassSlots> splashBitmapTable;
std::array<std::string, 1> removeFilesFlag;
std::array<std::string, kZipSlots> zipDirTable;
std::array<std::string, kZipSlots> zipNameTable;
std::array<std::string, kDeleteSlots> deleteCommonFilesTable;
std::array<std::string, kPostDeleteSlots> postDeleteCommonFilesTable;
bool writeVersionFiles = true;

std::string pathBuf;
std::string classPathBuf;

bool debugFlag = false;
std::string windowsDir;
std::string traceLogPath;
std::string batchFilePath;
UniqueFile traceLog;
std::optional<FileIdentity> traceLogIdentity;

std::string commonDir;
bool paramsGiven = false;
std::string splashCommandLine;
ChildProcess splashProcess;
bool splashStarted = false;
std::wstring unwritableFolder;

void readWindowsDirectory()
{
    std::vector<char> buffer(MAX_PATH + 1);
    const UINT length = GetWindowsDirectoryA(buffer.data(), static_cast<UINT>(buffer.size()));
    windowsDir = length > 0 && length < buffer.size() ? std::string(buffer.data(), length) : std::string();
}

std::string windowsDrive()
{
    return windowsDir.substr(0, 2);
}
