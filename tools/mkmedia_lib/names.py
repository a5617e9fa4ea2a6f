"""The names Windows can store and install can unpack."""
import os

from .limits import (DEVICE_NAMES, FORBIDDEN_CHARACTERS, LONG_PATH_PREFIX, LONGEST_COMPONENT, LONGEST_DESTINATION,
                     LONGEST_ENTRY_95, LONGEST_LONG_PATH)


def device_name(component):
    base = component.split(".")[0].rstrip(" ")
    return base.upper() in DEVICE_NAMES


def component_problem(component):
    """Why Windows cannot store a file or folder under this name, or None."""
    try:
        component.encode("utf-8")
    except UnicodeEncodeError:
        return "is not valid UTF-8, so it cannot be told how Windows should spell it"
    if any(c in FORBIDDEN_CHARACTERS or ord(c) < 0x20 for c in component):
        return "holds a character that Windows does not allow in names"
    if component.endswith((".", " ")):
        return "ends in a dot or a blank, which Windows drops, so it would arrive under another name"
    if device_name(component):
        return "is a device name on Windows"
    if utf16_length(component) > LONGEST_COMPONENT:
        return (f"is a name of {utf16_length(component)} characters; Windows holds at most {LONGEST_COMPONENT} "
                f"in a file or folder name")
    return None


def ansi_length(text):
    """Bytes of the text in the ANSI code page of a machine that mkmedia cannot know: a character
    beyond ASCII is counted at its most, two, as in the double-byte code pages."""
    return sum(1 if ord(c) < 0x80 else 2 for c in text)


def utf16_length(text):
    """Characters as the NT family counts them: one beyond the Basic Multilingual Plane is two."""
    return len(text.encode("utf-16-le", "surrogatepass")) // 2


def entry_problem(entry, families):
    """Why install would not unpack an archive entry of this name whole on the families of
    Windows the media serve, or None."""
    parts = entry.split("/")
    for part in parts:
        problem = component_problem(part)
        if problem:
            return problem
    if parts[-1].lower().endswith(".ver"):
        return "ends in .ver: install takes such entries for version records and never unpacks them"
    if len(parts) > 1 and parts[0].lower().endswith(".ver"):
        return "lies in a top-level folder ending in .ver, the place of a version record, which install skips"
    if families == "all" and ansi_length(entry) > LONGEST_ENTRY_95:
        return (f"is {ansi_length(entry)} characters long; below {LONGEST_DESTINATION} at most {LONGEST_ENTRY_95} "
                f"fit in a path the 95 family can unpack; give --families nt if the media serve only the NT family")
    full = f"{LONG_PATH_PREFIX}{LONGEST_DESTINATION}\\{entry}"
    if utf16_length(full) > LONGEST_LONG_PATH:
        return (f"is {utf16_length(entry)} characters long; below {LONGEST_DESTINATION} it makes a path of "
                f"{utf16_length(full)}, and Windows holds at most {LONGEST_LONG_PATH}")
    return None


def scan_tree(root, label, refusals, warnings, name_problem):
    """The files below root as (name with "/", path), sorted by the name's UTF-8 bytes."""
    if not os.path.isdir(root):
        refusals.add(f"{label} {root}", "is not a folder")
        return []
    files = []
    for folder, folders, names in os.walk(root):
        folders.sort()
        inside = os.path.relpath(folder, root).replace(os.sep, "/")
        prefix = "" if inside == "." else inside + "/"
        if not folders and not names and prefix:
            warnings.append(f"{label} {root}: the empty folder {inside} does not arrive: "
                            f"install makes folders only for the files in them")
        for name in list(folders):
            if os.path.islink(os.path.join(folder, name)):
                refusals.add(f"{label} {root}: {prefix + name}", "is a link to a folder; put the folder itself there")
                folders.remove(name)
        for name in sorted(names):
            path = os.path.join(folder, name)
            if not os.path.isfile(path):
                refusals.add(f"{label} {root}: {prefix + name}", "is neither a file nor a link to one")
                continue
            files.append((prefix + name, path))
    seen = {}
    for entry, _ in files:
        problem = name_problem(entry)
        if problem:
            refusals.add(f"{label} {root}: {entry}", problem)
        earlier = seen.setdefault(entry.lower(), entry)
        if earlier != entry:
            refusals.add(f"{label} {root}: {entry}", f"differs from {earlier} only in case; Windows keeps one of them")
    return sorted(files, key=lambda file: file[0].encode("utf-8", "surrogateescape"))


def path_problem(path):
    for part in path.split("/"):
        problem = component_problem(part)
        if problem:
            return problem
    return None


def pe_machine(path):
    """The machine field of a Windows program or library, or None for any other file."""
    with open(path, "rb") as file:
        head = file.read(64)
        if len(head) < 64 or head[:2] != b"MZ":
            return None
        file.seek(int.from_bytes(head[60:64], "little"))
        signature = file.read(6)
    return int.from_bytes(signature[4:6], "little") if signature[:4] == b"PE\0\0" else None
