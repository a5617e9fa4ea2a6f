#include "entry_names.h"

#include <windows.h>

#include "platform.h"

std::vector<std::string> splitEntryName(std::string_view name)
{
    std::vector<std::string> parts;
    while (!name.empty()) {
        const std::size_t end = name.find_first_of("/\\");
        if (end != 0)
            parts.emplace_back(name.substr(0, end));
        if (end == std::string_view::npos)
            break;
        name.remove_prefix(end + 1);
    }
    return parts;
}

// Names Windows takes for devices wherever they stand, with or without an extension, blanks
// before the extension included. The superscript digits are those of the ANSI code page.
bool isDeviceName(std::string_view component)
{
    std::string_view base = component.substr(0, component.find('.'));
    base = base.substr(0, base.find_last_not_of(' ') + 1);
    const std::string upper = toUpperAnsi(base);
    if (upper == "CON" || upper == "PRN" || upper == "AUX" || upper == "NUL" || upper == "CONIN$" ||
        upper == "CONOUT$")
        return true;
    if (upper.size() != 4 || !(upper.starts_with("COM") || upper.starts_with("LPT")))
        return false;
    const unsigned char digit = static_cast<unsigned char>(upper[3]);
    return (digit >= '1' && digit <= '9') || digit == 0xB9 || digit == 0xB2 || digit == 0xB3;
}

bool isOnlyDotsAndBlanks(std::string_view component)
{
    return component.find_first_not_of(". ") == std::string_view::npos;
}

std::string fullPathName(const std::string& path)
{
    char full[MAX_PATH * 2];
    const DWORD length = GetFullPathNameA(path.c_str(), sizeof(full), full, nullptr);
    return length > 0 && length < sizeof(full) ? std::string(full, length) : std::string();
}

int isVersionEntry(const std::string& entryName)
{
    // "h.ver." and "h.ver " are stored as h.ver, and so are the record.
    const std::string stored = storedEntryName(entryName);
    const std::size_t dot = stored.rfind('.');
    return dot != std::string::npos && equalsIgnoreCase(std::string_view(stored).substr(dot + 1), "ver") ? 1 : 0;
}

std::string storedEntryName(std::string_view entryName)
{
    std::string stored;
    stored.reserve(entryName.size());
    while (true) {
        const std::size_t end = entryName.find_first_of("/\\");
        std::string_view component = entryName.substr(0, end);
        // Names of dots and blanks alone stay as they are for the safety check to refuse.
        if (!isOnlyDotsAndBlanks(component))
            component = component.substr(0, component.find_last_not_of(". ") + 1);
        stored += component;
        if (end == std::string_view::npos)
            return stored;
        stored += entryName[end];
        entryName.remove_prefix(end + 1);
    }
}

bool claimsVersionRecord(const std::string& entryName)
{
    std::vector<std::string> components = splitEntryName(storedEntryName(entryName));
    std::erase(components, ".");
    // Records stand in the destination's top level, so only a top-level folder can take one's place.
    return components.size() > 1 && isVersionEntry(components.front());
}

bool hasSafeEntryName(const std::string& entryName)
{
    const std::string stored = storedEntryName(entryName);
    if (stored.empty() || stored.front() == '/' || stored.front() == '\\' || stored.find(':') != std::string::npos)
        return false;
    for (const std::string& component : splitEntryName(stored)) {
        if (component == ".")
            continue;
        // "..", "..." and names of dots and blanks all lose their last characters to Windows.
        if (isOnlyDotsAndBlanks(component) || isDeviceName(component))
            return false;
    }
    return true;
}

bool isInsideDestination(const std::string& destinationDir, const std::string& entryName)
{
    if (!hasSafeEntryName(entryName))
        return false;
    std::string joined = destinationDir + "\\" + storedEntryName(entryName);
    toBackslashes(joined);
    const std::string base = fullPathName(destinationDir);
    const std::string full = fullPathName(joined);
    if (base.empty() || full.empty())
        return false;
    const std::string prefix = base.back() == '\\' ? base : base + "\\";
    return full.size() > prefix.size() && startsWithIgnoreCase(full, prefix);
}

void toBackslashes(std::string& name)
{
    for (char& c : name)
        if (c == '/')
            c = '\\';
}
