// The rules an entry name must meet before install writes or deletes anything by it below a
// folder of its own: the name as Windows will store it, and whether it stays below that folder.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// The components of a name split at "/" and "\", empty ones left out.
std::vector<std::string> splitEntryName(std::string_view name);

// True for a component Windows takes for a device (CON, NUL, COM1, ...).
bool isDeviceName(std::string_view component);

bool isOnlyDotsAndBlanks(std::string_view component);

// The absolute form of path as Windows resolves it; empty when it cannot be given.
std::string fullPathName(const std::string& path);

// The entry name as Windows stores it: trailing dots and blanks dropped from every component
// (a component of dots and blanks alone is kept for the safety check to refuse). Every check of
// an entry name looks at this form.
std::string storedEntryName(std::string_view entryName);

// 1 when the text after the last "." of the name as Windows stores it is "ver" in any case.
int isVersionEntry(const std::string& entryName);

// True for an entry that would make a folder of a version record's place ("h.ver/x.txt").
// Short names cannot reach a record either: a record's extension "ver" is its short name's too,
// so any name reaching one is a version entry and never unpacked.
bool claimsVersionRecord(const std::string& entryName);

// False for a name that is absolute, holds a drive or stream, climbs with "..", or names a device.
bool hasSafeEntryName(const std::string& entryName);

// True when entryName, unpacked below destinationDir, stays below it.
bool isInsideDestination(const std::string& destinationDir, const std::string& entryName);

// Replaces every "/" of name by "\", in place.
void toBackslashes(std::string& name);
