"""The class path and the search path install composes, measured as the Java processes get them."""
import os
import re

from . import limits
from .limits import ALLOWANCE_95, BLOCK_LIMIT_95, DEFAULT_MEDIA_ROOT, TOGETHER_LIMIT_95, VALUE_LIMIT
from .names import ansi_length


def is_relative(entry):
    """True for an entry install resolves against the folder of install.exe."""
    return ":" not in entry and not entry.startswith("\\")


def windows_join(folder, name):
    """The path install makes of a name below a folder: with a ':' as it stands, with a leading
    backslash on the folder's drive, otherwise below the folder."""
    if ":" in name:
        return name
    if name.startswith("\\"):
        return folder[:2] + name if folder[1:2] == ":" else name
    return folder + ("" if folder.endswith("\\") else "\\") + name


def folder_archives(folder, names):
    """The class-path entries of a folder's archives as install lists them: *.jar, then *.zip."""
    return [f"{folder}\\{name}" for extension in (".jar", ".zip")
            for name in sorted(names, key=str.lower) if name.lower().endswith(extension)]


def tree_folders(paths):
    """The folders of media paths ("\\" between folders, lower case), each with the names of
    the files directly in it."""
    folders = {}
    for path in paths:
        parts = path.split("/")
        for end in range(len(parts)):
            folders.setdefault("\\".join(parts[:end]).lower(), [])
        folders["\\".join(parts[:-1]).lower()].append(parts[-1])
    return folders


ASCII_UPPER = str.maketrans("abcdefghijklmnopqrstuvwxyz", "ABCDEFGHIJKLMNOPQRSTUVWXYZ")


def without_repeated_jars(entries):
    """The entries less every jar whose file name came before, as install leaves them out: a
    jar is an entry whose last name holds ".jar", compared without regard to ASCII case."""
    seen, kept = set(), []
    for entry in entries:
        name = entry.rstrip("\\").rpartition("\\")[2].translate(ASCII_UPPER)
        if ".JAR" in name:
            if name in seen:
                continue
            seen.add(name)
        kept.append(entry)
    return kept


def composed_paths(root, media_paths, class_lines, path_lines, runtime, products):
    """The class path the Java processes get and the search path install composes before the
    machine's own, with the media in root and the longest common folder. What only a machine
    can add (an update folder, a registered Java runtime, files of other products) is not in
    them."""
    on_media = tree_folders(media_paths)
    files = {path.replace("/", "\\").lower() for path in media_paths}
    entries = []
    for folder in ("kp\\lib", "jre\\lib"):
        if folder in on_media:
            entries += folder_archives(windows_join(root, folder), on_media[folder])
    for line in class_lines:
        entry = line[:-1]
        piece = windows_join(root, entry)
        parts = [part for part in entry.lower().split("\\") if part]
        if not is_relative(entry) or ".." in parts:
            # Off the media: whether it exists is the machine's; counted as it stands.
            entries.append(piece)
        elif "\\".join(parts) in on_media:
            entries += folder_archives(piece, on_media["\\".join(parts)]) + [piece]
        elif "\\".join(parts) in files:
            entries.append(piece)
    unpacked = tree_folders([f"kp/{entry}" for _, tree in products for entry, _ in tree] +
                            [f"jre/{entry}" for entry, _ in runtime])
    for folder in ("kp\\lib", "kp\\data", "kp\\help", "jre\\lib"):
        if folder in unpacked:
            common_folder = limits.LONGEST_COMMON + folder
            entries += folder_archives(common_folder, unpacked[folder]) + [common_folder]
        elif folder == "kp\\help":
            # install names it whether it exists or not.
            entries.append(limits.LONGEST_COMMON + folder)
    class_path = "".join(entry + ";" for entry in without_repeated_jars(entries))

    search_path = ".;" + "".join(windows_join(root, folder) + ";" for folder in ("kp\\bin", "jre\\bin")
                                 if folder in on_media)
    search_path += "".join(windows_join(root, line) for line in path_lines)
    for folder in ("kp\\bin", "jre\\bin", "jre\\bin\\hotspot"):
        if limits.LONGEST_COMMON + folder not in search_path:
            search_path += ";" + limits.LONGEST_COMMON + folder
    return class_path, search_path


def media_root(args, refusals):
    """The folder the media is assumed to lie in, without a closing backslash unless a drive's."""
    name = os.path.basename(os.path.normpath(args.output))
    root = args.media_root or DEFAULT_MEDIA_ROOT.format(name=name)
    if not re.match(r"[A-Za-z]:\\|\\\\[^\\]", root):
        refusals.add(f"--media-root {root}", "is not a full Windows path, such as D:\\ or C:\\Users\\me\\Downloads")
    return root if len(root) <= 3 else root.rstrip("\\")


def check_paths(plan, families, refusals):
    """Refuses media whose class path install would not give the Java processes, or whose own
    search-path entries it would leave out."""
    class_size, search_size = ansi_length(plan.class_path), ansi_length(plan.search_path)
    where = f"with the media in {plan.media_root} and the common folder {limits.LONGEST_COMMON}"
    if class_size > VALUE_LIMIT:
        refusals.add("the class path", f"needs {class_size} characters {where}, but Windows allows {VALUE_LIMIT}: "
                                       f"install would stop with \"Class Path Too Long\". Ship fewer archives, "
                                       f"with shorter names")
    elif search_size > VALUE_LIMIT:
        refusals.add("the search path", f"needs {search_size} characters {where}, but Windows allows "
                                        f"{VALUE_LIMIT}: install would leave out entries past it")
    elif families == "all" and class_size + search_size > TOGETHER_LIMIT_95:
        refusals.add("the class path", f"needs {class_size} characters and the search path {search_size} {where}; "
                                       f"on the 95 family the two share the environment block, and media that "
                                       f"serve it keep them within {TOGETHER_LIMIT_95} together ({BLOCK_LIMIT_95} "
                                       f"less {ALLOWANCE_95} for the other variables). Ship fewer archives, with "
                                       f"shorter names, or give --families nt if the media serve only the NT family")
