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

template <typename Char>
KnownDirectories::Meeting KnownDirectories::meetIn(std::unordered_map<Key<Char>, Folder, KeyHash<Char>>& folders,
                                                   Folder parent, std::basic_string_view<Char> name)
{
    const auto [place, first] = folders.try_emplace(Key<Char>{parent, std::basic_string<Char>(name)}, folders_);
    if (first)
        ++folders_;
    return {place->second, first};
}

KnownDirectories::Meeting KnownDirectories::meet(Folder parent, std::string_view name)
{
    return meetIn(ansi_, parent, name);
}

KnownDirectories::Meeting KnownDirectories::meet(Folder parent, std::wstring_view name)
{
    return meetIn(wide_, parent, name);
}

void removeMadeFolders(MadeFolders& folders)
{
    // Each path is the one before it cut short, so the chain costs its length once.
    for (auto end = folders.ends.rbegin(); end != folders.ends.rend(); ++end) {
        if (end->extended != 0) {
            folders.extended.resize(end->extended);
            RemoveDirectoryW(folders.extended.c_str());
        } else {
            folders.path.text.resize(end->text);
            folders.path.wide.resize(end->wide);
            removeDirectory(folders.path);
        }
    }
    folders = {};
}

namespace {

// From this length on CreateDirectory takes a path only in its "\\?\" form.
constexpr std::size_t kLongestPlainFolder = MAX_PATH - 12;

// The path of an entry's folders as the loop below goes down them, one level at a time: text
// for the trace log and the ANSI functions, and the wide form of a Unicode name. From the first
// folder new to the walk on (every one below it is new too) it also keeps the forms that only
// new folders need: the comparable form the unfinished files are kept in and, past MAX_PATH on
// the NT family, the "\\?\" form. Every form grows by each level's name and never starts again,
// so a chain of folders costs its length, not its square.
class EntryFolderPath {
public:
    EntryFolderPath(const std::string& destinationDir, bool wide)
        : path_{destinationDir, wide ? widenAnsi(destinationDir) : std::wstring()}
    {
    }

    const FilePath& path() const { return path_; }
    const std::wstring& comparable() const { return comparable_; }
    KnownDirectories::Folder folder() const { return folder_; }

    // Goes one level down, to the folder of that name the walk knows as folder.
    template <typename Char>
    void descend(std::basic_string_view<Char> name, KnownDirectories::Folder folder)
    {
        folder_ = folder;
        path_.text += '\\';
        if constexpr (sizeof(Char) == sizeof(wchar_t)) {
            path_.wide += L'\\';
            path_.wide += name;
            path_.text += ansiTextForTrace(name);
        } else {
            path_.text += name;
        }
        if (!followsNewFolders_)
            return;
        const std::wstring wideName = wideOf(name);
        comparable_ += L'\\';
        comparable_ += toUpperWide(wideName);
        if (extended_.empty()) {
            extendWhenLong();
        } else {
            extended_ += L'\\';
            extended_ += wideName;
        }
    }

    // The folder the path names now is new to the walk, and so is every one below it.
    void followNewFolders()
    {
        if (followsNewFolders_)
            return;
        followsNewFolders_ = true;
        comparable_ = comparablePath(path_);
        extendWhenLong();
    }

    // Makes the folder the path names now; true when it made it, false with the error code.
    bool make(DWORD& error) const
    {
        const bool made = extended_.empty() ? createDirectory(path_) : CreateDirectoryW(extended_.c_str(), nullptr);
        error = made ? ERROR_SUCCESS : GetLastError();
        return made;
    }

    // Notes the folder the path names now as one the entry made.
    void noteMade(MadeFolders& folders) const
    {
        folders.ends.push_back({path_.text.size(), path_.wide.size(), extended_.size()});
    }

    // Hands the path over to what the entry made, once its last folder is behind it.
    void handOver(MadeFolders& folders)
    {
        if (folders.ends.empty())
            return;
        folders.path = std::move(path_);
        folders.extended = std::move(extended_);
    }

private:
    static std::wstring wideOf(std::string_view name) { return widenAnsi(name); }
    static std::wstring wideOf(std::wstring_view name) { return std::wstring(name); }

    void extendWhenLong()
    {
        const std::size_t length = path_.isWide() ? path_.wide.size() : path_.text.size();
        if (length >= kLongestPlainFolder && windowsPlatform() == VER_PLATFORM_WIN32_NT)
            extended_ = extendedPath(path_.isWide() ? path_.wide : widenAnsi(path_.text));
    }

    FilePath path_;
    KnownDirectories::Folder folder_ = KnownDirectories::kDestination;
    bool followsNewFolders_ = false;
    std::wstring comparable_;
    std::wstring extended_;
};

// Finds or makes every folder above an entry's file, in order, each looked at once per walk,
// up to the first that can be neither found nor made (no deeper one could be either), or until
// the archive ends first (creation.abandoned). A folder that is an earlier entry's file still
// being unpacked waits for that entry's outcome: a file that did not arrive whole is removed,
// and the folder can then be made.
template <typename Char>
void makeEntryFolders(const std::vector<std::basic_string<Char>>& components, EntryFolderPath& path,
                      EntryCreation& creation)
{
    for (std::size_t i = 0; i + 1 < components.size(); ++i) {
        const std::basic_string_view<Char> name = components[i];
        // "." names the folder it stands in, as the system resolves it.
        if (name.size() == 1 && name[0] == Char('.'))
            continue;
        const KnownDirectories::Meeting meeting = creation.knownDirectories.meet(path.folder(), name);
        path.descend(name, meeting.folder);
        if (!meeting.first)
            continue;
        path.followNewFolders();
        if (creation.isFileOfUnfinishedEntry(path.comparable()) && !creation.waitForEarlierEntries()) {
            creation.abandoned = true;
            return;
        }
        DWORD error = ERROR_SUCCESS;
        if (path.make(error))
            path.noteMade(creation.madeFolders);
        else if (error != ERROR_ALREADY_EXISTS && !pathExists(path.path()))
            return;
    }
}

} // namespace

UniqueFileHandle checkAndCreateDestinationDirectoriesAndFile(const std::string& destinationDir, FilePath& entryName,
                                                             FilePath& fullPathOut, EntryCreation& creation)
{
    toStoredName(entryName);
    const bool wide = entryName.isWide();
    EntryFolderPath folders(destinationDir, wide);
    if (wide) {
        const std::vector<std::wstring> components = splitEntryName(entryName.wide);
        if (components.empty())
            return {};
        makeEntryFolders(components, folders, creation);
    } else {
        const std::vector<std::string> components = splitEntryName(entryName.text);
        if (components.empty())
            return {};
        makeEntryFolders(components, folders, creation);
    }
    folders.handOver(creation.madeFolders);
    if (creation.abandoned)
        return {};
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
