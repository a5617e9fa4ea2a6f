"""mkmedia check PATH: media, or an update folder such as one written by hand, read the way
install.exe will read them, with every place where install would read something else than the
writer meant."""
import argparse
import os
import re
import sys
import zipfile

from .archives import archive_stamp
from .classpath import composed_paths, is_relative
from .config_findings import config_findings
from .config_reading import Reading
from .limits import (ALLOWANCE_95, BLOCK_LIMIT_95, DEFAULT_MEDIA_ROOT, FAMILIES, MACHINES, PROGRAM,
                     RUNTIME_ARCHIVE, TOGETHER_LIMIT_95, VALUE_LIMIT, families_of, quoted)
from .manifest import SIGNATURE, unlisted_files
from .names import ansi_length, component_problem, entry_problem, pe_machine
from .signature import NOT_AS_SIGNED, media_refusal

# Where a removal run reads its configuration, inside a product archive.
REMOVE_CONFIG_ENTRY = "bin/remove.cfg"


class Findings:
    def __init__(self):
        self.lines = []

    def add(self, where, problem):
        self.lines.append(f"{where}: {problem}")


def read_config(name, text, findings):
    """install's reading of a configuration, with a finding for every line it would split,
    ignore or read otherwise than written."""
    for number, problem in config_findings(text):
        findings.add(f"{name} line {number}", problem)
    return Reading(text)


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
        # Windows reads a doubled separator inside a path as one.
        found = self.lower.get(re.sub("/+", "/", path.replace("\\", "/")).lower().strip("/"))
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


def check_class_path(tree, reading, runtime, products, update, root, families, findings):
    """A class path that cannot reach the Java processes whole stops install with the box "Class
    Path Too Long"; measured as mkmedia measures it, with the places it assumes."""
    media_paths = [] if update else tree.files
    lines, paths = ([entry + ";" for entry, _, reads in reading.path_lines(section) if len(reads) == 1]
                    for section in ("[CLASSPATH]", "[PATH]"))
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


def check_class_path_entries(tree, name, reading, findings):
    """Relative [CLASSPATH] entries that name nothing on the media: install drops them."""
    for entry, first, reads in reading.path_lines("[CLASSPATH]"):
        folder = entry.replace("\\", "/").lower().strip("/")
        if len(reads) == 1 and is_relative(entry) and tree.find(entry) is None and not any(
                file.lower().startswith(folder + "/") for file in tree.files):
            findings.add(f"{name} line {first.line}", f"{quoted(entry)} names nothing on the media: install drops it")


def check_signature(tree, findings):
    """What an install.exe built with a publisher's certificate says of the media's signature, in
    its words; False when it could not be checked here."""
    program = tree.find(PROGRAM)
    refusal, checked = media_refusal(tree.root, program)
    if refusal:
        findings.add(SIGNATURE, f"install.exe checks its media and stops with the box \"{NOT_AS_SIGNED}\": {refusal}")
    return checked


def media_families(tree, given):
    """The families of Windows the media serve, from the machine of their install.exe: a 64-bit
    install.exe runs on the NT family alone. An update folder serves what it is told."""
    program = tree.find(PROGRAM)
    arch = next((name for name, machine in MACHINES.items() if machine == pe_machine(program)), None) \
        if program else None
    return families_of(arch, given) if arch else (given or FAMILIES[0], None)


def check(path, previous, families, media_root):
    """The findings for media or an update folder at path, and whether the signature, where
    install.exe checks its media, could be checked here."""
    findings = Findings()
    tree = Tree(path)
    update = tree.find(PROGRAM) is None
    configs = [file for file in tree.files if file.lower().endswith(".cfg") and (
        file.lower().rpartition("/")[0] in (("", "kp/windows") if update else ("kp/windows", "kp/bin")))]
    if not configs:
        findings.add(path, "holds no configuration where install looks for one (kp\\windows\\install.cfg"
                           + (" or install.cfg" if update else "") + ")")
    reading, reading_name = Reading(""), None
    for config in configs:
        with open(os.path.join(path, *config.split("/")), "rb") as file:
            text = file.read().decode("latin-1")
        read = read_config(config, text, findings)
        if config.lower().endswith("install.cfg") or reading_name is None:
            reading, reading_name = read, config
    if reading_name and not update:
        check_class_path_entries(tree, reading_name, reading, findings)

    listed = [line.replace("\\", "/") for line in reading.entries("[ZIP_FILES]")]
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
    check_class_path(tree, reading, runtime, products, update, root, families, findings)
    checked = update or check_signature(tree, findings)
    unlisted_files(tree.root, findings)
    return findings, checked


def main(argv):
    parser = argparse.ArgumentParser(prog="mkmedia check", description="Reads media, or an update folder, the way "
                                     "install.exe will, and reports what install would read otherwise than meant.")
    parser.add_argument("path", metavar="PATH", help="the media's folder (with install.exe) or an update folder")
    parser.add_argument("--previous", metavar="MEDIA", help="the last release's media: every changed archive "
                        "must have a greater stamp")
    parser.add_argument("--families", choices=FAMILIES, help="the families of Windows served; media serve what "
                        "their install.exe runs on (nt for x64, all for x86), an update folder all unless told")
    parser.add_argument("--media-root", metavar="FOLDER", help="the deepest folder the media will be started from")
    args = parser.parse_args(argv)
    if not os.path.isdir(args.path) or (args.previous and not os.path.isdir(args.previous)):
        parser.error("PATH and --previous must be folders")
    families, refused = media_families(Tree(args.path), args.families)
    if refused:
        parser.error(f"--families {args.families}: {refused}")
    findings, checked = check(args.path, args.previous, families, args.media_root)
    for line in findings.lines:
        print(f"mkmedia check: {line}")
    if not checked:
        print(f"mkmedia check: {SIGNATURE}: not checked: install.exe checks its media, and openssl, which verifies the "
              f"signature value, is not installed here (Debian: apt-get install openssl)")
    if findings.lines:
        print(f"mkmedia check: {len(findings.lines)} finding" + ("s" if len(findings.lines) > 1 else ""))
        return 1
    if not checked:
        return 3
    print(f"mkmedia check: {args.path} reads as it was meant")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
