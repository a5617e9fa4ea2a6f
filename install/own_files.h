// Files install writes by fixed names in folders others can write to: the trace log, the
// developer batch file and its class-path file, the debug stamp.
#pragma once

#include <optional>
#include <string>

#include "files.h"

enum class OwnFileMode { truncate, append };

// Opens a file install writes by a fixed name in a folder others can write to (the trace log,
// the developer batch file, the debug stamp), as fopen's "w+" or "a+" would, in text mode, but
// without following links: on the NT family nothing is opened, truncated or written when the
// name is a link (a reparse point), a folder, a file with a second name, given expected another
// file than that one, or, where the system gives final paths (Vista on), a file whose final path
// is not the path named (a link on a folder of the way); a file it made there goes again.
// identity, when given, receives the file's.
UniqueFile openOwnFile(const std::string& path, OwnFileMode mode, const std::optional<FileIdentity>& expected = {},
                       FileIdentity* identity = nullptr);
