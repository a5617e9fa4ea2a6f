#include "driver.h"

#include <clocale>
#include <new>
#include <vector>

#include "../common/program_path.h"
#include "config.h"
#include "extraction/extract.h"
#include "globals.h"
#include "jars.h"
#include "launch.h"
#include "trust/media_manifest.h"
#include "trust/used_files.h"
#include "paths.h"
#include "registry.h"
#include "removal.h"
#include "running.h"
#include "splash.h"
#include "tracelog.h"


namespace {

constexpr char kRemoveSwitch[] = "-remove";
constexpr char kDeveloperSwitch[] = "-developer";
constexpr char kKpUpdateDir[] = "c:\\kpupdate";
constexpr char kVtUpdateDir[] = "c:\\vtupdate";
constexpr char kCommonFallback[] = "\\Program Files\\COMMON FILES\\bravik";

constexpr char kPreviousInstallLog[] =
    "The last installation not yet completed - not possible to start another install or remove \n";
constexpr char kPreviousInstallTitle[] = "Previous Install or remove not completed";
constexpr char kPreviousInstallNt[] =
    "The last installation not yet completed- to start another install or remove, open the "
    "Windows Task Manager and end process \"launch.exe\"";
constexpr char kPreviousInstall95[] =
    "The last installation not yet completed- to start another install or remove, press "
    "CTRL+ALT+DEL and end process \"Bravik Product Installation\"";

constexpr char kConfigPathFormat[] = "Path to CFG file is %s\n";
constexpr char kRemoveConfigFormat[] = "Name of the cfg file is %s \n";
constexpr char kRemoveLauncherFormat[] = "Name of the exe file is %s \n";
constexpr char kCwdFormat[] = "CWD = %s\n";
constexpr char kPathLineFormat[] = "%s\n";
constexpr char kPresetClassPathFormat[] = ".....ClassPath at after of PresSetupClassPath is %s \n";
constexpr char kNoConfigFormat[] = "%s: %s or %s\n";
constexpr char kNoConfigText[] = "Could not find file either at ";
constexpr char kConfigReadFormat[] = "%s: %s\n";
constexpr char kConfigReadText[] = "Successfully read file";
constexpr char kConfigClassPathFormat[] = ".....ClassPath after reading the cfg file %s \n";
constexpr char kLocaleFormat[] = " locale = %s";

constexpr char kNoMemoryLog[] = "There was a fatal error allocating memory. Application terminating ";
constexpr char kNoMemoryText[] = "There was a fatal error allocating memory. Application terminating  ";
constexpr char kNoMemoryTitle[] = "Memory Allocation Error";

constexpr char kNoRuntimeText[] =
    "This java application requires rt.jar to be part of the classPath but rt.jar not found . "
    "Application terminating ";
constexpr char kNoRuntimeTitle[] = "JRE Required";
constexpr char kNoProductLog[] =
    "This java application requires kp.jar to be part of the classPath but kp.jar not found. "
    "Application terminating ";
constexpr char kNoProductText[] =
    "This java application requires kp.jar to be part of the classPath but kp.jar not found . "
    "Application terminating ";
constexpr char kNoProductTitle[] = "KP Required";

// The class path reaches Java whole or not at all: past what the environment allows, the run
// stops before any Java process starts.
constexpr char kClassPathTooLongFormat[] =
    "The class path of this installation needs %lu characters, but Windows allows %lu. "
    "Application terminating ";
constexpr char kClassPathTooLongTitle[] = "Class Path Too Long";

// An archive of the media that is there but does not unpack whole would leave the Java
// installer a partial runtime or product; the run stops, and the next one unpacks it again.
constexpr char kDamagedArchiveFormat[] =
    "The archive %s could not be unpacked whole: the installation media are damaged or incomplete. "
    "Application terminating ";
constexpr char kDamagedArchiveTitle[] = "Damaged Media";

// A folder whose name the code page cannot write and that has no short name either. The box
// names it as it is; the trace line has "?" for what the code page lacks.
constexpr char kUnwritableFolderBefore[] = "The folder ";
constexpr char kUnwritableFolderAfter[] =
    " has a name this system's code page cannot write, and no short name. Copy the installation media to a "
    "folder whose name the system can write, and run install again. Application terminating ";
constexpr char kUnwritableFolderTitle[] = "Folder Name Not Supported";

// A signed install.exe uses nothing from its media that its publisher did not sign: a missing
// or invalid manifest, or one file that is not as listed, stops the run before it is used.
constexpr char kNotAsSignedFormat[] =
    "The installation media are not as their publisher signed them: %s. Application terminating ";
constexpr char kNotAsSignedTitle[] = "Media Not As Signed";
// A build that checks its media, on a system that cannot check signatures, uses nothing.
constexpr char kCannotCheckText[] =
    "This installation uses only media its publisher signed, and this system cannot check signatures. "
    "Application terminating ";
constexpr char kCannotCheckTitle[] = "Signatures Cannot Be Checked";

constexpr char kBeforeDuplicatesFormat[] = "\n\nClassPath just prior to removeDuplicateJars call is %s \n";
constexpr char kBeforeLauncherFormat[] = "Path just prior to locating launch.exe is %s \n";
constexpr char kBeforeLaunchFormat[] = "\n\nClassPath just prior to launch.exe is %s \n";

constexpr char kNoLauncherLog[] =
    "This application was unable to locate launch.exe required for executing this installaton. "
    "Application terminating ";
constexpr char kNoLauncherText[] =
    "This application was unable to locate launch.exe required for executing this installation. "
    "Application terminating ";
constexpr char kNoLauncherTitle[] = "Launch.exe Required";
constexpr char kLauncherName[] = "launch.exe";

constexpr char kSpacerLine[] = "                                            \n";

struct RunPaths {
    std::string configPath;
    std::string updateConfigPath;
    std::string launcherPath;
    std::string workDir;
    std::string origCwd;
    std::string derivedConfigName;
};

void reportPreviousInstall()
{
    const std::optional<DWORD> platform = windowsPlatform();
    if (!platform)
        return;
    writeTraceLog("%s", kPreviousInstallLog);
    if (const char* text = previousInstallMessage(*platform))
        showMessageBox(text, kPreviousInstallTitle);
}

// The two ends that skip clean-up still end the splash program: left running, it would stay
// on top of the desktop after install has gone.
void endWithoutCleanUp()
{
    if (splashStarted)
        terminateSplash();
}

// The folder without a trailing backslash, a drive root excepted.
std::string_view withoutTrailingSlash(std::string_view folder)
{
    while (folder.size() > 3 && folder.back() == '\\')
        folder.remove_suffix(1);
    return folder;
}

// True when folder is inner or lies above it, compared by whole path components.
bool isSameOrAbove(std::string_view folder, std::string_view inner)
{
    folder = withoutTrailingSlash(folder);
    inner = withoutTrailingSlash(inner);
    if (folder.empty() || !startsWithIgnoreCase(inner, folder))
        return false;
    return inner.size() == folder.size() || folder.back() == '\\' || inner[folder.size()] == '\\';
}

// The media's own folder, which install works from: the program's folder, or, when the
// current folder lies above it (install.exe in a subfolder of the media), the nearest folder
// from the program's up to the current one that holds "kp". Never a folder above that: anyone
// may create folders in a drive's root, and the system hands an elevated program the current
// folder of whoever started it. When the current folder is the one chosen, its own text is
// kept.
std::string mediaFolder(const std::string& programDir, const std::string& currentDir)
{
    if (!isSameOrAbove(currentDir, programDir))
        return programDir;
    for (std::string folder(withoutTrailingSlash(programDir)); isSameOrAbove(currentDir, folder);) {
        if (isDirectory(joinPath(folder, "kp")))
            return equalsIgnoreCase(withoutTrailingSlash(folder), withoutTrailingSlash(currentDir)) ? currentDir : folder;
        const std::size_t slash = folder.rfind('\\');
        if (slash == std::string::npos || slash + 1 == folder.size())
            break;
        folder.resize(slash < 3 && folder.size() > 1 && folder[1] == ':' ? 3 : slash);
    }
    return equalsIgnoreCase(withoutTrailingSlash(programDir), withoutTrailingSlash(currentDir)) ? currentDir : programDir;
}

// Steps of a normal run: where install works from and which configuration it reads.
void prepareInstallPaths(const std::string& commandLine, RunPaths& run)
{
    const SystemPath module = ownProgramPath();
    if (module.ansi.empty() && !module.wide.empty()) {
        unwritableFolder = module.wide.substr(0, module.wide.rfind(L'\\'));
        return;
    }
    const std::string& modulePath = module.ansi;
    const std::size_t lastSlash = modulePath.rfind('\\');
    const std::string programDir = lastSlash == std::string::npos ? std::string() : modulePath.substr(0, lastSlash);
    const std::string programFile = lastSlash == std::string::npos ? modulePath : modulePath.substr(lastSlash + 1);
    const std::string token = programFile.substr(0, programFile.find('.'));
    run.derivedConfigName = token + ".cfg";

    run.origCwd = currentDirectory();
    run.workDir = mediaFolder(programDir, run.origCwd);
    if (!equalsIgnoreCase(run.workDir, run.origCwd))
        changeDirectory(run.workDir);

    const bool endsInBackslash = !run.workDir.empty() && run.workDir.back() == '\\';
    const std::string separator = endsInBackslash ? "" : "\\";
    run.configPath = appendConfigName(run.workDir + separator + "kp\\bin\\", !token.empty(), run.derivedConfigName);
    run.updateConfigPath =
        appendConfigName(run.workDir + separator + "kp\\windows\\", !token.empty(), run.derivedConfigName);
    run.launcherPath = run.workDir + separator + "kp\\bin\\launch";

    std::size_t cfgSwitch = commandLine.find("-cfg");
    if (cfgSwitch == std::string::npos)
        cfgSwitch = commandLine.find("-CFG");
    if (cfgSwitch == std::string::npos)
        return;
    paramsGiven = true;
    const std::size_t equals = commandLine.find('=', cfgSwitch);
    if (equals == std::string::npos)
        return;
    const std::string value = commandLine.substr(equals + 1);
    if (contains(value, ":") || (!value.empty() && value.front() == '\\'))
        run.configPath = value;
    else
        run.configPath = run.workDir + "\\" + value;
    writeTraceLog(kConfigPathFormat, run.configPath.c_str());
}

// Steps of a removal run: work from the product's common directory and read its remove.cfg.
void prepareRemovePaths(RunPaths& run)
{
    paramsGiven = true;
    const std::optional<std::string> commonFiles = getCommonFilesDir();
    const std::string removalBase = commonFiles ? *commonFiles : windowsDrive() + kCommonFallback;
    changeDirectory(removalBase);
    if (commonFiles) {
        run.configPath = removalBase + "kp\\bin\\remove.cfg";
        writeTraceLog(kRemoveConfigFormat, run.configPath.c_str());
        run.launcherPath = removalBase + "kp\\bin\\launch";
        writeTraceLog(kRemoveLauncherFormat, run.launcherPath.c_str());
    } else {
        run.configPath = windowsDrive() + kCommonFallback + "\\kp\\bin\\remove.cfg";
        run.launcherPath = windowsDrive() + kCommonFallback + "\\kp\\bin\\launch";
    }
    run.workDir = currentDirectory();
}

// readConfigFile, for a configuration that is the media's only as their manifest lists it: it
// is read through the handle it was checked on.
int readCheckedConfigFile(const std::string& path)
{
    if (!mediaAreChecked())
        return readConfigFile(path, parameterTable, classTable);
    UniqueFileHandle checked = openCheckedFile(path);
    return checked ? readConfigFile(std::move(checked), parameterTable, classTable) : 0;
}

bool readConfiguration(const RunPaths& run)
{
    const std::string* readPath = &run.updateConfigPath;
    if (!readCheckedConfigFile(run.updateConfigPath)) {
        readPath = &run.configPath;
        if (mediaRefusal() || !readCheckedConfigFile(run.configPath)) {
            writeTraceLog(kNoConfigFormat, kNoConfigText, run.updateConfigPath.c_str(), run.configPath.c_str());
            return false;
        }
    }
    writeTraceLog(kConfigReadFormat, kConfigReadText, readPath->c_str());
    return true;
}

void startSplashScreen(int showWindow)
{
    const char* locale = std::setlocale(LC_ALL, nullptr);
    const std::string localeName = locale ? locale : "";
    writeTraceLog(kLocaleFormat, localeName.c_str());
    launchSplash(languageCode(localeName) + "\\" + splashBitmapTable[0], showWindow);
    closeTraceLog();
    reopenTraceLog();
}

// Ends the run from any point that reaches clean-up.
void cleanUp(const RunPaths& run)
{
    releaseMediaFiles();
    if (!postDeleteCommonFilesTable[0].empty())
        postDeleteCommonFiles(commonDir);
    if (!run.origCwd.empty())
        changeDirectory(run.origCwd);
    else if (!run.workDir.empty())
        changeDirectory(run.workDir);
    if (splashStarted)
        terminateSplash();
    removeUpdateDirectory(kVtUpdateDir);
    // commonDir is still empty on the ways out before the configuration was read; the trees
    // are never looked for relative to wherever install happens to be.
    if (!removeFilesFlag[0].empty() && equalsIgnoreCase(removeFilesFlag[0], "true") && !commonDir.empty()) {
        removeDirectoryTree(commonDir + "jre");
        removeDirectoryTree(commonDir + "kp");
    }
}

// A folder the system named that has no ANSI form would be handed on as a best-fit look-alike
// that names no folder, to install and to every Java process: the run stops and names it.
bool stopsForUnwritableFolder(const RunPaths& run)
{
    if (unwritableFolder.empty())
        return false;
    writeTraceLog("%s%s%s\n", kUnwritableFolderBefore, ansiTextForTrace(unwritableFolder).c_str(),
                  kUnwritableFolderAfter);
    showMessageBox(widenAnsi(kUnwritableFolderBefore) + unwritableFolder + widenAnsi(kUnwritableFolderAfter),
                   widenAnsi(kUnwritableFolderTitle));
    cleanUp(run);
    return true;
}

// Ends the run when the media, or a file of them, are not as their publisher signed them; true
// when it did.
bool endOnMediaRefusal(const RunPaths& run)
{
    const std::optional<std::string>& refusal = mediaRefusal();
    if (!refusal)
        return false;
    const bool uncheckable = mediaCannotBeChecked();
    const std::string text = uncheckable ? std::string(kCannotCheckText) : formatText(kNotAsSignedFormat, refusal->c_str());
    writeTraceLog("%s\n", text.c_str());
    showMessageBox(text.c_str(), uncheckable ? kCannotCheckTitle : kNotAsSignedTitle);
    cleanUp(run);
    return true;
}

} // namespace

const char* previousInstallMessage(unsigned long platform)
{
    if (platform == VER_PLATFORM_WIN32_NT)
        return kPreviousInstallNt;
    if (platform == VER_PLATFORM_WIN32_WINDOWS)
        return kPreviousInstall95;
    return nullptr;
}

int runInstallation(const std::string& commandLine, int showWindow)
{
    RunPaths run;
    if (isInstallerRunning()) {
        reportPreviousInstall();
        cleanUp(run);
        return 0;
    }
    parameterTable = {};
    classTable = {};
    forgetSignedMedia();

    const bool removing = contains(commandLine, kRemoveSwitch);
    if (removing)
        prepareRemovePaths(run);
    else
        prepareInstallPaths(commandLine, run);

    if (stopsForUnwritableFolder(run))
        return 0;
    writeTraceLog(kCwdFormat, run.workDir.c_str());
    writeTraceLog(kPathLineFormat, run.configPath.c_str());
    writeTraceLog(kPathLineFormat, run.launcherPath.c_str());
    // A removal reads what an installation left in the common directory, nothing of the media.
    if (!removing && !verifySignedMedia(run.workDir) && endOnMediaRefusal(run))
        return 0;
    removeUpdateDirectory(kKpUpdateDir);

    PresSetupPath();
    PresSetupClassPath();
    writeTraceLog(kPresetClassPathFormat, classPathBuf.c_str());
    if (endOnMediaRefusal(run))
        return 0;

    // A configuration from the update directory stays held until it is read.
    UniqueFileHandle heldConfig;
    if (removing)
        run.updateConfigPath = run.configPath;
    else
        heldConfig = findUpdateConfig(run.updateConfigPath, run.derivedConfigName);
    const bool configurationRead = readConfiguration(run);
    heldConfig.reset();
    if (endOnMediaRefusal(run))
        return 0;
    if (!configurationRead) {
        cleanUp(run);
        return 0;
    }
    writeTraceLog(kConfigClassPathFormat, classPathBuf.c_str());

    const std::optional<std::string> javaHome = getJavaHome();
    if (javaHome)
        addJavaHomeSegments(*javaHome);

    if (!contains(commandLine, kDeveloperSwitch) && !splashBitmapTable[0].empty())
        startSplashScreen(showWindow);
    if (endOnMediaRefusal(run))
        return 0;

    if (std::optional<std::string> commonFiles = getCommonFilesDir()) {
        commonDir = std::move(*commonFiles);
    } else if (stopsForUnwritableFolder(run)) {
        return 0;
    } else {
        try {
            commonDir = windowsDrive() + kCommonFallback + "\\";
        } catch (const std::bad_alloc&) {
            writeTraceLog("%s", kNoMemoryLog);
            showMessageBox(kNoMemoryText, kNoMemoryTitle);
            endWithoutCleanUp();
            return 0;
        }
    }

    // What the Java processes will take from the media is known now: checked before anything is
    // unpacked or deleted.
    if (!checkWhatJavaUses(pathBuf, joinPath(currentDirectory(), runtimeFolder().name),
                           {commonDir, javaHome.value_or("")}) &&
        endOnMediaRefusal(run))
        return 0;
    if (!deleteCommonFilesTable[0].empty())
        deleteCommonFiles(commonDir);
    if (pathExists("kp\\windows")) {
        const std::optional<std::string> damaged = extractArchives();
        if (endOnMediaRefusal(run))
            return 0;
        if (damaged) {
            const std::string text = formatText(kDamagedArchiveFormat, damaged->c_str());
            writeTraceLog("%s\n", text.c_str());
            showMessageBox(text.c_str(), kDamagedArchiveTitle);
            cleanUp(run);
            return 0;
        }
    }
    addCommonDirSegments(commonDir);

    if (!contains(classPathBuf, "rt.jar")) {
        writeTraceLog("%s", kNoRuntimeText);
        showMessageBox(kNoRuntimeText, kNoRuntimeTitle);
        cleanUp(run);
        return 0;
    }
    if (!contains(classPathBuf, "kp.jar")) {
        writeTraceLog("%s", kNoProductLog);
        showMessageBox(kNoProductText, kNoProductTitle);
        cleanUp(run);
        return 0;
    }

    writeTraceLog(kBeforeDuplicatesFormat, classPathBuf.c_str());
    writeTraceLog(kBeforeLauncherFormat, pathBuf.c_str());
    removeDuplicateJars();
    writeTraceLog(kBeforeLaunchFormat, classPathBuf.c_str());
    if (const ClassPathSize size = classPathSize(); size.needed > size.allowed) {
        const std::string text = formatText(kClassPathTooLongFormat, static_cast<unsigned long>(size.needed),
                                               static_cast<unsigned long>(size.allowed));
        writeTraceLog("%s\n", text.c_str());
        showMessageBox(text.c_str(), kClassPathTooLongTitle);
        cleanUp(run);
        return 0;
    }

    const std::optional<std::string> launcher = findProgram(run.launcherPath, pathBuf, kLauncherName);
    if (!launcher) {
        writeTraceLog("%s", kNoLauncherLog);
        showMessageBox(kNoLauncherText, kNoLauncherTitle);
        endWithoutCleanUp();
        return 0;
    }
    if (*launcher != run.launcherPath)
        run.launcherPath = *launcher;

    if (!requireMediaProgram(run.launcherPath, commonDir) && endOnMediaRefusal(run))
        return 0;

    appendOwnSearchPath();
    exportPaths();
    for (int line = 0; line < 5; ++line)
        writeTraceLog("%s", kSpacerLine);

    selectRuntimeDirectory();
    const bool developer = contains(commandLine, kDeveloperSwitch);
    if (developer) {
        paramsGiven = true;
        writeBatchFileHead();
    }
    if (launchJavaClasses(run.launcherPath, commandLine, showWindow) && developer)
        writeBatchFileTail();
    cleanUp(run);
    return 0;
}
