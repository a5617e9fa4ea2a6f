"""What the media will hold, decided and checked before anything is written."""
import os
import re

from .archives import PreviousMedia, archive_stamps, default_stamp
from .classpath import check_paths, composed_paths, is_relative, media_root
from .configfile import class_lines, common_files, config_text, path_entries, check_config_text
from .limits import (ARCHIVE_NAME, CONFIG_FILE, DIST_FOLDERS, LAUNCHER, LONG_LINE, MACHINES, MEDIA_CLASS_FOLDERS,
                     MEDIA_PROGRAM_FOLDERS, NATIVES, NATIVES_FOLDER, PRODUCT_CLASS_FOLDERS, PRODUCT_FOLDER, PROGRAM,
                     REQUIRED_ARCHIVES, RUNTIME_ARCHIVE, RUNTIME_CLASS_FOLDERS, SHORT_LINE, SPLASH_LANGUAGE_CHOSEN,
                     SPLASH_LANGUAGES, SPLASH_PROGRAM, ZIP_SLOTS, Refusals, families_of, quoted)
from .names import component_problem, device_name, entry_problem, path_problem, pe_machine, scan_tree


class Plan:
    """Everything the media will hold, decided before anything is written."""

    def __init__(self, arch):
        self.arch = arch
        self.copies = []        # (media path, source file) of what mkmedia places itself
        self.media_files = []   # (media path, source file) from --media-files
        self.archives = []      # (media path, version entry name, [(entry, source)], stamp)
        self.config_text = ""
        self.argfiles = []      # (media path, bytes) of the install run's argument files
        self.media_stamp = 0
        self.media_root = ""
        self.class_path = ""    # the class path the Java processes get, and the search path
        self.search_path = ""   # install composes before the machine's own


def folder_files(files, folders):
    """The names of the files that lie directly in one of the folders."""
    names = set()
    for entry, _ in files:
        folder, _, name = entry.rpartition("/")
        if folder.lower() in folders:
            names.add(name)
    return names


def dist_file(dist, name, arch, refusals):
    """A deliverable of the architecture, or None once its absence is refused."""
    path = os.path.join(dist, name)
    if not os.path.isfile(path):
        refusals.add(f"--dist {dist}", f"holds no {name}")
        return None
    if pe_machine(path) != MACHINES[arch]:
        refusals.add(f"--dist {dist}", f"its {name} is not built for {arch}")
    return path


def product_archives(products, families, refusals, warnings):
    """(name, files) for every --product, in the order given."""
    archives = []
    names = {}
    for value in products:
        name, _, folder = value.partition("=") if "=" in value else (None, "", value)
        name = name if name is not None else os.path.basename(os.path.normpath(folder))
        what = f"--product {value}"
        if not ARCHIVE_NAME.match(name) or name.endswith(".") or device_name(name):
            refusals.add(what, f"the archive name {quoted(name)} is not a plain name of letters, digits, '.', '-' "
                               "and '_'; give one as NAME=FOLDER")
        elif len(f"{PRODUCT_FOLDER}/{name}.zip") > LONG_LINE:
            refusals.add(what, f"the archive name {quoted(name)} does not fit a [ZIP_FILES] line of {LONG_LINE}")
        elif name.lower() in names:
            refusals.add(what, f"the archive name {quoted(name)} is taken by --product {names[name.lower()]}")
        names.setdefault(name.lower(), value)
        archives.append((name, scan_tree(folder, "--product", refusals, warnings,
                                              lambda entry: entry_problem(entry, families))))
    if len(archives) > ZIP_SLOTS:
        refusals.add("--product", f"{len(archives)} products; [ZIP_FILES] has {ZIP_SLOTS} slots")
    return archives


def check_start(runtime, products, media, arch, refusals):
    """Refuses media on which install would stop before the first Java process: without rt.jar
    or kp.jar on the class path, or without a launcher of the runtime's architecture."""
    class_archives = folder_files(runtime, RUNTIME_CLASS_FOLDERS) | folder_files(media, MEDIA_CLASS_FOLDERS)
    launcher = f"{NATIVES_FOLDER}/{LAUNCHER}"
    programs = [path for entry, path in runtime if entry.lower() == launcher]
    for _, files in products:
        class_archives |= folder_files(files, PRODUCT_CLASS_FOLDERS)
        programs += [path for entry, path in files if entry.lower() == launcher]
    programs += [path for entry, path in media
                 if entry.lower() in {f"{folder}/{LAUNCHER}" for folder in MEDIA_PROGRAM_FOLDERS}]
    for required in REQUIRED_ARCHIVES:
        if required not in class_archives:
            refusals.add("--runtime/--product", f"no {required} where the class path takes archives from (the "
                                                f"runtime's lib, a product's lib or data): install refuses to "
                                                f"start without {required}, spelt so")
    if not programs:
        refusals.add("--runtime/--product", f"no {launcher} in the runtime or a product: install starts the "
                                            f"Java processes with it and finds it along its search path")
    for path in programs:
        if pe_machine(path) != MACHINES[arch]:
            refusals.add(path, f"is not a {arch} program; the natives must match the Java runtime's architecture")


def splash_lines(args, dist, plan, refusals):
    """The [SPLASH_BITMAP] line; Splash.exe and the bitmap go where install looks for them."""
    language = args.splash_language
    if not args.splash:
        if language != SPLASH_LANGUAGE_CHOSEN:
            refusals.add("--splash-language", "given without --splash")
        return []
    name = os.path.basename(args.splash)
    what = f"--splash {args.splash}"
    if not os.path.isfile(args.splash):
        refusals.add(what, "is not a file")
    else:
        with open(args.splash, "rb") as bitmap:
            if bitmap.read(2) != b"BM":
                refusals.add(what, "is not a Windows bitmap (.bmp), the only kind Splash.exe shows")
    if component_problem(name):
        refusals.add(what, component_problem(name))
    check_config_text(what, name, SHORT_LINE - 2, refusals, digit_allowed=False)
    if language not in SPLASH_LANGUAGES:
        refusals.add(f"--splash-language {language}", f"install chooses among {', '.join(SPLASH_LANGUAGES)}")
    elif language != SPLASH_LANGUAGE_CHOSEN:
        refusals.add(f"--splash-language {language}", f"install runs in the C locale and always looks under "
                                                      f"{SPLASH_LANGUAGE_CHOSEN}\\, so this bitmap would never show")
    plan.copies.append((SPLASH_PROGRAM, dist_file(dist, "Splash.exe", args.arch, refusals)))
    plan.copies.append((f"{os.path.dirname(SPLASH_PROGRAM)}/{language}/{name}", args.splash))
    return [f"0 {name}"]


def check_media_files(args, plan, media, class_path, refusals):
    """Refuses media files that take the place of one mkmedia writes, and relative [CLASSPATH]
    entries that name nothing on the media: install drops class-path entries that do not exist."""
    written = {path.lower() for path, _ in plan.copies + plan.argfiles}
    written |= {path.lower() for path, _, _, _ in plan.archives}
    written.add(CONFIG_FILE.lower())
    for entry, _ in media:
        if entry.lower() in written:
            refusals.add(f"--media-files {args.media_files}: {entry}", "is a file mkmedia writes itself")
    on_media = set()
    for path in written | {entry.lower() for entry, _ in media}:
        parts = path.split("/")
        on_media.update("/".join(parts[:end]) for end in range(1, len(parts) + 1))
    for line in class_path:
        entry = line[:-1]
        parts = [part for part in entry.lower().split("\\") if part]
        if is_relative(entry) and ".." not in parts and "/".join(parts) not in on_media:
            refusals.add(f"--classpath {quoted(entry)}", "names nothing on the media (see --media-files); install "
                                                   "drops class-path entries that do not exist")




# Where the removal run reads its configuration: install works from the common folder and reads
# <common>\kp\bin\remove.cfg, which the first product archive brings there.
REMOVE_CONFIG_ENTRY = "bin/remove.cfg"
# The folders, below the media's root or the common kp folder, a Java process may start in: the
# family's own when it exists, else "windows", else (in the common folder only) "bin".
START_FOLDERS = {"nt": "bin_nt", "95": "bin_win"}


def start_folders(entries, families, prefix, fallbacks):
    """The folders of a tree (entries with "/") a Java process starts in on the families served:
    prefix and the family's own folder when the tree has it, else the first fallback it has,
    else the last fallback."""
    present = set()
    for entry in entries:
        parts = entry.lower().split("/")[:-1]
        present.update("/".join(parts[:end]) for end in range(1, len(parts) + 1))
    chosen = []
    for family in ("nt",) if families == "nt" else ("nt", "95"):
        candidates = (prefix + START_FOLDERS[family],) + fallbacks
        folder = next((folder for folder in candidates if folder in present), fallbacks[-1])
        if folder not in chosen:
            chosen.append(folder)
    return chosen


def java_release(runtime):
    """The Java feature release of a runtime folder by its release file (1.8 is 8), or None."""
    try:
        with open(os.path.join(runtime, "release"), encoding="latin-1") as release:
            text = release.read()
    except OSError:
        return None
    match = re.search(r'^JAVA_VERSION="(\d+)(?:\.(\d+))?', text, re.M)
    if not match:
        return None
    major = int(match[1])
    return int(match[2] or 0) if major == 1 else major


def removal_files(args, families, java_release_number, products, refusals):
    """The files the removal run needs, placed into the first product archive: remove.cfg where
    the removal run reads it, and the argument files where its Java processes start."""
    if not args.remove_classes:
        if args.remove_files:
            refusals.add("--remove-files", "given without --remove-class; a removal runs at least one class")
        return
    if not products:
        return
    product_entries = [entry for _, files in products for entry, _ in files]
    folders = start_folders(product_entries, families, "", ("windows", "bin"))
    classes, parameters, argfiles = class_lines(args.remove_classes, "--remove-class", java_release_number,
                                                lambda slot: f"remove-jvm{slot}.args", refusals)
    text = config_text([("[CLASS]", classes), ("[PARAMETERS]", parameters),
                        ("[REMOVE_FILES]", ["0 true"] if args.remove_files else [])])
    added = [(REMOVE_CONFIG_ENTRY, text.encode("ascii", "replace"))]
    added += [(f"{folder}/{name}", data) for folder in folders for name, data in argfiles.items()]
    # Every product unpacks into the same folder: a file of the same name in any of them would
    # take the place of the one written here.
    for name, files in products:
        taken = {entry.lower() for entry, _ in files}
        for entry, _ in added:
            if entry.lower() in taken:
                refusals.add(f"--product {name}: {entry}", "is a file mkmedia writes for the removal; take it out")
    files = products[0][1]
    files[:] = sorted(files + added, key=lambda file: file[0].encode("utf-8", "surrogateescape"))


def plan_media(args, environ):
    """The plan of the media, the refusals that stand in its way, and warnings."""
    refusals, warnings = Refusals(), []
    plan = Plan(args.arch)
    dist = args.dist or os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))),
                                     DIST_FOLDERS[args.arch])
    if os.path.exists(args.output):
        refusals.add(f"--output {args.output}", "exists already; mkmedia writes a new folder and changes no other")
    elif not os.path.isdir(os.path.dirname(os.path.abspath(args.output))):
        refusals.add(f"--output {args.output}", "the folder it would go in does not exist")
    families, refused = families_of(args.arch, args.families)
    if refused:
        refusals.add(f"--families {args.families} with --arch {args.arch}", refused)
        families = "nt"
    previous = None
    if args.previous is not None:
        if os.path.isfile(os.path.join(args.previous, *CONFIG_FILE.split("/"))):
            previous = PreviousMedia(args.previous)
        else:
            refusals.add(f"--previous {args.previous}", "is not media mkmedia wrote: it has no kp\\windows\\install.cfg")

    plan.copies.append((PROGRAM, dist_file(dist, PROGRAM, args.arch, refusals)))
    natives = [(f"{NATIVES_FOLDER}/{name}", dist_file(dist, name, args.arch, refusals)) for name in NATIVES]
    natives = [(entry, path) for entry, path in natives if path]
    runtime = scan_tree(args.runtime, "--runtime", refusals, warnings,
                        lambda entry: entry_problem(entry, families))
    for entry, _ in natives:
        if any(name.lower() == entry.lower() for name, _ in runtime):
            refusals.add(f"--runtime {args.runtime}: {entry}", "mkmedia puts the one built with install.exe there; "
                                                               "take it out of the runtime")
    runtime = sorted(runtime + natives, key=lambda file: file[0].encode("utf-8", "surrogateescape"))
    products = product_archives(args.product, families, refusals, warnings)
    media = scan_tree(args.media_files, "--media-files", refusals, warnings, path_problem) if args.media_files else []
    check_start(runtime, products, media, args.arch, refusals)

    release = java_release(args.runtime)
    if not args.classes:
        refusals.add("--class", "none given; install starts one Java process per class")
    classes, parameters, argfiles = class_lines(args.classes or [], "--class", release,
                                                lambda slot: f"jvm{slot}.args", refusals)
    for folder in start_folders([entry for entry, _ in media], families, "kp/", ("kp/windows",)):
        plan.argfiles += [(f"{folder}/{name}", data) for name, data in argfiles.items()]
    removal_files(args, families, release, products, refusals)
    splash = splash_lines(args, dist, plan, refusals)
    class_path = path_entries("--classpath", args.classpath, refusals)
    search_path = path_entries("--path", args.path, refusals)
    deleted = common_files("--delete-common", "[DELETE_COMMON_FILES]", args.delete_common, refusals)
    post_deleted = common_files("--post-delete-common", "[POST_DELETE_COMMON_FILES]", args.post_delete_common,
                                refusals)

    archives = ([(f"--runtime {args.runtime}", RUNTIME_ARCHIVE, "jre.ver", runtime)] +
                [(f"--product {value}", f"{PRODUCT_FOLDER}/{name}.zip", f"{name}.ver", files)
                 for value, (name, files) in zip(args.product, products)])
    given = args.stamp if args.stamp is not None else default_stamp(environ, refusals)
    stamps = archive_stamps(archives, given, previous, refusals)
    zip_lines = []
    for (what, media_path, version_name, files), stamp in zip(archives, stamps):
        if not files:
            refusals.add(what, "holds no files")
        plan.archives.append((media_path, version_name, files, stamp))
        if media_path != RUNTIME_ARCHIVE:
            zip_lines.append(media_path.replace("/", "\\"))
    plan.media_stamp = max(stamps)
    plan.config_text = config_text([("[CLASSPATH]", class_path), ("[PATH]", search_path), ("[CLASS]", classes),
                                    ("[PARAMETERS]", parameters), ("[SPLASH_BITMAP]", splash),
                                    ("[ZIP_FILES]", zip_lines), ("[DELETE_COMMON_FILES]", deleted),
                                    ("[POST_DELETE_COMMON_FILES]", post_deleted)])
    check_media_files(args, plan, media, class_path, refusals)
    plan.media_files = media
    plan.media_root = media_root(args, refusals)
    media_paths = ([path for path, _ in plan.copies + plan.argfiles] + [path for path, _, _, _ in plan.archives] +
                   [CONFIG_FILE] + [entry for entry, _ in media])
    plan.class_path, plan.search_path = composed_paths(plan.media_root, media_paths, class_path, search_path,
                                                       runtime, products)
    check_paths(plan, families, refusals)
    return plan, refusals, warnings
