"""mkmedia check PATH: media, or an update folder such as one written by hand, read the way
install.exe will read them, with every place where install would read something else than the
writer meant."""
import argparse
import os
import sys
import zipfile

from .archives import archive_stamp
from .classpath import composed_paths, is_relative
from .limits import (ALLOWANCE_95, BLOCK_LIMIT_95, CLASS_SLOTS, DEFAULT_MEDIA_ROOT, DELETE_SLOTS, FAMILIES,
                     LONG_LINE, PROGRAM, RUNTIME_ARCHIVE, SHORT_LINE, TOGETHER_LIMIT_95, VALUE_LIMIT, ZIP_SLOTS,
                     quoted)
from .manifest import unlisted_files
from .names import ansi_length, component_problem, entry_problem

HEADERS = ("[CLASSPATH]", "[PATH]", "[PARAMETERS]", "[CLASS]", "[SPLASH_BITMAP]", "[REMOVE_FILES]", "[ZIP_FILES]",
           "[DELETE_COMMON_FILES]", "[POST_DELETE_COMMON_FILES]", "[NO_VERSION_FILES]")
INDEXED = ("[PARAMETERS]", "[SPLASH_BITMAP]", "[REMOVE_FILES]")
SEQUENTIAL_SLOTS = {"[CLASS]": CLASS_SLOTS, "[ZIP_FILES]": ZIP_SLOTS} | DELETE_SLOTS
# Sections whose lines install reads 127 characters at a time; the others 79.
LONG_SECTIONS = ("[ZIP_FILES]",) + tuple(DELETE_SLOTS)
# Where a removal run reads its configuration, inside a product archive.
REMOVE_CONFIG_ENTRY = "bin/remove.cfg"


class Findings:
    def __init__(self):
        self.lines = []

    def add(self, where, problem):
        self.lines.append(f"{where}: {problem}")


class Pieces:
    """A configuration file as install reads it: in text mode, a line at a time into a buffer
    of a fixed size, so a longer line arrives in pieces."""

    def __init__(self, text):
        self.text = text.replace("\r\n", "\n")
        self.at = 0
        self.line = 1

    def ends_line_next(self):
        """True when the next piece is the bare line end of a line read to its last character."""
        return self.text[self.at:self.at + 1] == "\n"

    def next(self, size):
        """The next piece of at most size - 1 characters, without its line end; None at the end.
        Also whether it ended its line, and the number of the line it came from."""
        if self.at >= len(self.text):
            return None, True, self.line
        end = self.text.find("\n", self.at)
        end = len(self.text) if end < 0 else end
        line = self.line
        if end - self.at >= size - 1:
            piece, self.at = self.text[self.at:self.at + size - 1], self.at + size - 1
            return piece, False, line
        piece, self.at = self.text[self.at:end], end + 1
        self.line += 1
        return piece, True, line


def read_config(name, text, findings):
    """The tables install fills from the text, and a finding for every line it would split,
    ignore or read otherwise than written."""
    tables = {header: [] for header in HEADERS}
    indexed = {header: {} for header in INDEXED}
    pieces = Pieces(text)
    continued = False
    while True:
        piece, whole, number = pieces.next(SHORT_LINE + 2)
        if piece is None:
            break
        where = f"{name} line {number}"
        if continued and piece.upper() in HEADERS:
            findings.add(where, f"a free-text line longer than {SHORT_LINE} characters ends in {quoted(piece)}, "
                                f"which install reads as a header")
        continued = not whole
        if piece == "":
            continue
        header = piece.upper()
        if header not in HEADERS:
            stripped = piece.strip().upper()
            if stripped in HEADERS:
                findings.add(where, f"{quoted(piece)} is not the header alone: install ignores it and the lines "
                                    f"under it; write it without blanks")
            elif piece.lstrip().startswith("[") and piece.rstrip().endswith("]"):
                findings.add(where, f"{quoted(piece)} is no header install knows: it and the lines under it are "
                                    f"ignored")
            continue
        if header == "[NO_VERSION_FILES]":
            tables[header].append(True)
            continue
        read_section(name, header, pieces, tables, indexed, findings)
    for header in INDEXED:
        tables[header] = [indexed[header].get(slot) for slot in range(10)]
    return tables


def read_section(name, header, pieces, tables, indexed, findings):
    size = LONG_LINE + 2 if header in LONG_SECTIONS else SHORT_LINE + 2
    limit = size - 2
    if header in SEQUENTIAL_SLOTS:
        tables[header] = []
    count = 0
    while True:
        piece, whole, number = pieces.next(size)
        if piece is None:
            return
        where = f"{name} line {number}"
        if piece == "" or piece[0] == " ":
            return
        if not whole and pieces.ends_line_next():
            findings.add(where, f"has exactly {limit + 1} characters: its line end arrives alone and ends "
                                f"{header}, so the lines after it are no longer read as {header}")
        elif not whole:
            findings.add(where, f"is longer than {limit} characters, the most a line of {header} holds: install "
                                f"reads it in pieces, and the rest arrives as a line of its own")
        if piece.upper() in HEADERS:
            findings.add(where, f"{quoted(piece)} follows the entries of {header} without an empty line: install "
                                f"reads it as one more entry of {header}, and the lines under it too")
        count += 1
        if header in INDEXED:
            read_indexed(where, header, piece, indexed[header], findings)
        elif header in SEQUENTIAL_SLOTS:
            if count > SEQUENTIAL_SLOTS[header]:
                findings.add(where, f"{quoted(piece)} is past the {SEQUENTIAL_SLOTS[header]} slots of {header} "
                                    f"and is ignored")
                if header != "[CLASS]":
                    return
                continue
            tables[header].append(piece)
            read_listed(where, header, piece, findings)
        else:
            if whole and not piece.endswith(";"):
                findings.add(where, f"{quoted(piece)} does not end in ';': install joins it to the next line's "
                                    f"path, and the joined entry is dropped")
            tables[header].append(piece)


def read_indexed(where, header, piece, slots, findings):
    if not piece[0].isdigit():
        findings.add(where, f"{quoted(piece)} does not begin with its slot digit: install ignores it")
        return
    slot = int(piece[0])
    rest = piece[1:]
    value = rest.lstrip("0123456789 ")
    if header == "[REMOVE_FILES]" and slot != 0:
        findings.add(where, f"{quoted(piece)}: [REMOVE_FILES] has only slot 0; install ignores it")
    elif header == "[SPLASH_BITMAP]" and slot != 0:
        findings.add(where, f"{quoted(piece)}: only slot 0 of [SPLASH_BITMAP] is shown")
    elif any(c.isdigit() for c in rest[:len(rest) - len(value)]):
        findings.add(where, f"{quoted(piece)}: its text begins with a digit, which install takes for the slot "
                            f"number, so it arrives as {quoted(value)}")
    slots[slot] = value


def read_listed(where, header, piece, findings):
    if header == "[ZIP_FILES]" and "\\" not in piece:
        findings.add(where, f"{quoted(piece)} has no folder part: write it as folder\\archive, as kp\\zip\\a.zip")
    elif header in DELETE_SLOTS:
        parts = piece.split("\\")
        if not is_relative(piece) or any(part in ("", ".", "..") for part in parts):
            findings.add(where, f"{quoted(piece)} is not a path below the common folder: install does not delete it")


class Tree:
    """The files below a folder, by their path with "/" (as written) and in lower case."""

    def __init__(self, root):
        self.root = root
        self.files = []
        for folder, folders, names in os.walk(root):
            folders.sort()
            inside = os.path.relpath(folder, root).replace(os.sep, "/")
            self.files += [("" if inside == "." else inside + "/") + name for name in sorted(names)]
        self.lower = {path.lower(): path for path in self.files}

    def find(self, path):
        """The file at a path with "/" or "\\", in any case, as a path on this host, or None."""
        found = self.lower.get(path.replace("\\", "/").lower().strip("/"))
        return os.path.join(self.root, *found.split("/")) if found else None


def archive_entries(path, label, findings):
    """(entries, stamp) of an archive; entries None when install would find it damaged."""
    try:
        with zipfile.ZipFile(path) as archive:
            bad = archive.testzip()
            version = os.path.basename(path).rpartition(".")[0] + ".ver"
            stamp = archive_stamp(archive, version)
            entries = [info.filename for info in archive.infolist() if not info.filename.endswith("/")]
            remove_config = next((info for info in archive.infolist()
                                  if info.filename.lower() == REMOVE_CONFIG_ENTRY), None)
            remove_text = archive.read(remove_config).decode("latin-1") if remove_config else None
    except (OSError, zipfile.BadZipFile, EOFError) as error:
        findings.add(label, f"cannot be read as an archive ({error}): install would stop with the box "
                            f"\"Damaged Media\"")
        return None, 0, None
    if bad is not None:
        findings.add(label, f"its entry {bad} fails its checksum: install would stop with the box \"Damaged Media\"")
    if stamp == 0:
        findings.add(label, f"has no version entry {version} with a stamp: install takes the archive file's time, "
                            f"which changes with every copy")
    return entries, stamp, remove_text


def check_names(tree, archives, families, findings):
    for path in tree.files:
        for part in path.split("/"):
            problem = component_problem(part)
            if problem:
                findings.add(path, problem)
                break
    for label, entries in archives:
        for entry in entries or []:
            problem = entry_problem(entry, families)
            if problem and not entry.lower().endswith(".ver"):
                findings.add(f"{label}: {entry}", problem)


def check_previous(tree, archives, previous, findings):
    """Archives whose content changed since the earlier media without a greater stamp: install
    skips them wherever the earlier release is installed."""
    earlier = Tree(previous)
    for label, path, stamp in archives:
        old = earlier.find(label)
        if old is None:
            continue
        version = os.path.basename(path).rpartition(".")[0] + ".ver"
        try:
            with zipfile.ZipFile(old) as archive, zipfile.ZipFile(path) as new:
                old_stamp = archive_stamp(archive, version)
                contents = [{info.filename: (info.file_size, info.CRC) for info in zip_file.infolist()
                             if info.filename.lower() != version.lower()} for zip_file in (archive, new)]
        except (OSError, zipfile.BadZipFile, EOFError):
            continue
        if contents[0] != contents[1] and stamp <= old_stamp:
            findings.add(label, f"changed since --previous, but its stamp {stamp} is not greater than {old_stamp}: "
                                f"install skips it wherever the earlier release is installed")


def check_class_path(tree, config, runtime, products, update, root, families, findings):
    """A class path that cannot reach the Java processes whole stops install with the box "Class
    Path Too Long"; measured as mkmedia measures it, with the places it assumes."""
    media_paths = [] if update else tree.files
    lines = [line for line in config.get("[CLASSPATH]", []) if line.endswith(";")]
    paths = [line for line in config.get("[PATH]", [])]
    products = [(name, [(entry, None) for entry in entries]) for name, entries in products]
    runtime = [(entry, None) for entry in runtime]
    class_path, search_path = composed_paths(root, media_paths, lines, paths, runtime, products)
    if update:
        # What an update folder adds ahead of the media's own: its archives in the drive root.
        class_path = "".join(f"C:\\vtupdate\\{path};" for path in tree.files
                             if "/" not in path and path.lower().endswith((".jar", ".zip"))) + class_path
    size, together = ansi_length(class_path), ansi_length(class_path) + ansi_length(search_path)
    if size > VALUE_LIMIT:
        findings.add("the class path", f"needs {size} characters with the media in {root}; Windows allows "
                                       f"{VALUE_LIMIT}, and install would stop with \"Class Path Too Long\"")
    elif families == "all" and together > TOGETHER_LIMIT_95:
        findings.add("the class path", f"needs {size} characters and the search path {together - size} with the "
                                       f"media in {root}; on the 95 family the two share {BLOCK_LIMIT_95} less "
                                       f"{ALLOWANCE_95} for the rest of the environment")


def unsigned_files(tree, findings):
    """Files that the media's manifest does not cover as they stand; nothing for media without one."""
    unlisted_files(tree.root, findings)


def check(path, previous, families, media_root):
    """The findings for media or an update folder at path."""
    findings = Findings()
    tree = Tree(path)
    update = tree.find(PROGRAM) is None
    configs = [file for file in tree.files if file.lower().endswith(".cfg") and (
        file.lower().rpartition("/")[0] in (("", "kp/windows") if update else ("kp/windows", "kp/bin")))]
    if not configs:
        findings.add(path, "holds no configuration where install looks for one (kp\\windows\\install.cfg"
                           + (" or install.cfg" if update else "") + ")")
    tables = {}
    for config in configs:
        with open(os.path.join(path, *config.split("/")), "rb") as file:
            text = file.read().decode("latin-1")
        if any(not " " <= c <= "~" for c in text.replace("\r", "").replace("\n", "")):
            findings.add(config, "holds characters outside plain ASCII; install reads it in the code page of the "
                                 "machine it runs on")
        read = read_config(config, text, findings)
        if config.lower().endswith("install.cfg") or not tables:
            tables = read
    for line in tables.get("[CLASSPATH]", []):
        entry = line.rstrip(";")
        if not update and is_relative(entry) and line.endswith(";") and tree.find(entry) is None and not any(
                file.lower().startswith(entry.replace("\\", "/").lower().strip("/") + "/") for file in tree.files):
            findings.add(f"[CLASSPATH] {quoted(line)}", "names nothing on the media: install drops it")

    listed = [line.replace("\\", "/") for line in tables.get("[ZIP_FILES]", [])]
    zip_paths = listed if listed and not update else [file for file in tree.files if
                                                     file.lower().rpartition("/")[0] == "kp/zip" and
                                                     file.lower().endswith(".zip")]
    runtime, products, named, stamped = [], [], [], []
    for media_path in ([] if update else [RUNTIME_ARCHIVE]) + zip_paths:
        found = tree.find(media_path)
        if found is None:
            if media_path != RUNTIME_ARCHIVE:
                findings.add(media_path.replace("/", "\\"), "is listed in [ZIP_FILES] but not there")
            continue
        label = media_path.replace("\\", "/")
        entries, stamp, remove_text = archive_entries(found, label, findings)
        named.append((label, entries))
        stamped.append((label, found, stamp))
        if remove_text is not None:
            read_config(f"{label}: {REMOVE_CONFIG_ENTRY}", remove_text, findings)
        if media_path == RUNTIME_ARCHIVE:
            runtime = entries or []
        else:
            products.append((os.path.basename(found), entries or []))
    check_names(tree, named, families, findings)
    if previous:
        check_previous(tree, stamped, previous, findings)
    root = media_root or DEFAULT_MEDIA_ROOT.format(name=os.path.basename(os.path.normpath(path)))
    check_class_path(tree, tables, runtime, products, update, root, families, findings)
    unsigned_files(tree, findings)
    return findings


def main(argv):
    parser = argparse.ArgumentParser(prog="mkmedia check", description="Reads media, or an update folder, the way "
                                     "install.exe will, and reports what install would read otherwise than meant.")
    parser.add_argument("path", metavar="PATH", help="the media's folder (with install.exe) or an update folder")
    parser.add_argument("--previous", metavar="MEDIA", help="the last release's media: every changed archive "
                        "must have a greater stamp")
    parser.add_argument("--families", choices=FAMILIES, default="all", help="the families of Windows served")
    parser.add_argument("--media-root", metavar="FOLDER", help="the deepest folder the media will be started from")
    args = parser.parse_args(argv)
    if not os.path.isdir(args.path) or (args.previous and not os.path.isdir(args.previous)):
        parser.error("PATH and --previous must be folders")
    findings = check(args.path, args.previous, args.families, args.media_root)
    for line in findings.lines:
        print(f"mkmedia check: {line}")
    if findings.lines:
        print(f"mkmedia check: {len(findings.lines)} finding" + ("s" if len(findings.lines) > 1 else ""))
        return 1
    print(f"mkmedia check: {args.path} reads as it was meant")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
