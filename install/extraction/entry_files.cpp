#include "entry_files.h"

#include "entry_names.h"

namespace {

constexpr char kJumpingToExit[] = "2:jumping to exit - checkAndCreateDestinationDirectoriesAndFile \n";
constexpr char kUnableToOpenFormat[] = "Unable to open %s. Trying setFileAttributesToNormal method \n";
constexpr char kCreateFailedFormat[] = "Something went wrong creating file  %s \n";
constexpr char kTimeConversionFormat[] = "error converting time err = %d\n";
constexpr char kLocalTimeConversionFormat[] = "error converting local time err = %d\n";
constexpr char kWriteFailedFormat[] = "something went wrong writing to file %s at dest %s\n";
constexpr char kSetTimeFormat[] = "Error setting time err = %d\n";
constexpr char kNotWholeFormat[] = "Entry %s was not unpacked whole; %s is removed\n";

} // namespace

EntryTime entryFileTime(unsigned long dosDate)
{
    const unsigned date = static_cast<unsigned>(dosDate >> 16) & 0xFFFF;
    const unsigned time = static_cast<unsigned>(dosDate) & 0xFFFF;
    SYSTEMTIME fields{};
    fields.wDay = static_cast<WORD>(date & 0x1F);
    fields.wMonth = static_cast<WORD>((date >> 5) & 0x0F);
    fields.wYear = static_cast<WORD>(1980 + (date >> 9));
    fields.wHour = static_cast<WORD>(time >> 11);
    fields.wMinute = static_cast<WORD>((time >> 5) & 0x3F);
    fields.wSecond = static_cast<WORD>(2 * (time & 0x1F));

    EntryTime entryTime;
    FILETIME local;
    if (!SystemTimeToFileTime(&fields, &local)) {
        entryTime.errors.add(kTimeConversionFormat, static_cast<int>(GetLastError()));
        entryTime.errors.addFlush();
        return entryTime;
    }
    FILETIME utc;
    if (!LocalFileTimeToFileTime(&local, &utc)) {
        entryTime.errors.add(kLocalTimeConversionFormat, static_cast<int>(GetLastError()));
        entryTime.errors.addFlush();
        return entryTime;
    }
    entryTime.utc = utc;
    return entryTime;
}

void setFileTimeFromEntry(HANDLE file, const EntryTime& time, TraceLines& lines)
{
    // A time that cannot be converted is never written: the file keeps the time it has.
    if (!time.utc) {
        lines.appendLines(time.errors);
        return;
    }
    if (!SetFileTime(file, &*time.utc, nullptr, &*time.utc)) {
        lines.add(kSetTimeFormat, static_cast<int>(GetLastError()));
        lines.addFlush();
    }
}

void setFileAttributesToNormal(const FilePath& path)
{
    if (pathExists(path))
        setFileAttributes(path, 0);
}

void removePartialFile(UniqueFileHandle& file, const FilePath& entryName, const FilePath& fullPath, TraceLines& lines)
{
    file.reset();
    setFileAttributesToNormal(fullPath);
    deleteFile(fullPath);
    lines.add(kNotWholeFormat, entryName.text.c_str(), fullPath.text.c_str());
}

EntryOutcome abandonUnwrittenFile(UniqueFileHandle& file, const FilePath& entryName, const FilePath& fullPath,
                                  const std::string& destinationDir, TraceLines& lines)
{
    lines.add(kWriteFailedFormat, entryName.text.c_str(), destinationDir.c_str());
    removePartialFile(file, entryName, fullPath, lines);
    return EntryOutcome::stop;
}

void toStoredName(FilePath& entryName)
{
    if (entryName.isWide()) {
        entryName.wide = storedEntryName(entryName.wide);
        entryName.text = ansiTextForTrace(entryName.wide);
    } else {
        entryName.text = storedEntryName(entryName.text);
    }
}

UniqueFileHandle checkAndCreateDestinationDirectoriesAndFile(const std::string& destinationDir, FilePath& entryName,
                                                             FilePath& fullPathOut, EntryCreation& creation)
{
    toStoredName(entryName);
    const bool wide = entryName.isWide();
    const std::vector<std::wstring> wideComponents = wide ? splitEntryName(entryName.wide) : std::vector<std::wstring>();
    const std::vector<std::string> components = wide ? std::vector<std::string>() : splitEntryName(entryName.text);
    const std::size_t count = wide ? wideComponents.size() : components.size();
    if (count == 0)
        return {};
    // Every level above the file is made, whatever it is called, and looked at once per walk. A
    // level that is an earlier entry's file still being unpacked waits for that entry's outcome:
    // a file that did not arrive whole is removed, and the folder can then be made.
    FilePath path{destinationDir + "\\", wide ? widenAnsi(destinationDir) + L"\\" : std::wstring()};
    for (std::size_t i = 0; i + 1 < count; ++i) {
        if (wide) {
            path.wide += wideComponents[i];
            path.text += ansiTextForTrace(wideComponents[i]);
        } else {
            path.text += components[i];
        }
        if (creation.knownDirectories.meet(path)) {
            if (creation.isFileOfUnfinishedEntry(path) && !creation.waitForEarlierEntries()) {
                creation.abandoned = true;
                return {};
            }
            if (!pathExists(path) && createDirectory(path))
                creation.madeDirectories.push_back(path);
        }
        path.text += '\\';
        if (wide)
            path.wide += L'\\';
    }
    toBackslashes(entryName.text);
    toBackslashes(entryName.wide);
    fullPathOut = FilePath{destinationDir + "\\" + entryName.text,
                           wide ? widenAnsi(destinationDir) + L"\\" + entryName.wide : std::wstring()};

    UniqueFileHandle file = openNewDestinationFile(fullPathOut);
    if (file) {
        creation.madeNewFile = true;
        return file;
    }
    // Something stands there already, or the file cannot be made: its old contents may only go,
    // and a failure may only be told, once every earlier entry has arrived, as a walk on one
    // thread would have come to it.
    if (!creation.waitForEarlierEntries()) {
        creation.abandoned = true;
        return {};
    }
    file = openDestinationFile(fullPathOut);
    if (file)
        return file;
    creation.lines.add(kUnableToOpenFormat, fullPathOut.text.c_str());
    setFileAttributesToNormal(fullPathOut);
    file = openDestinationFile(fullPathOut);
    if (!file)
        creation.lines.add(kCreateFailedFormat, fullPathOut.text.c_str());
    return file;
}

UniqueFileHandle createLaterEntryFile(const std::string& destinationDir, FilePath& entryName, FilePath& fullPathOut,
                                      EntryCreation& creation)
{
    UniqueFileHandle file = checkAndCreateDestinationDirectoriesAndFile(destinationDir, entryName, fullPathOut, creation);
    if (!file && !creation.abandoned) {
        creation.lines.add(kJumpingToExit);
        creation.lines.addFlush();
    }
    return file;
}

UniqueFileHandle openDestinationFile(const FilePath& path)
{
    // As fopen's "w+b" opens, but shared for reading only while it is written.
    return createFile(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS);
}

UniqueFileHandle openNewDestinationFile(const FilePath& path)
{
    return createFile(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, CREATE_NEW);
}
