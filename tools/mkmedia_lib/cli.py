"""The command: mkmedia writes media, mkmedia check reads them back as install would."""
import argparse
import os
import shutil
import sys
import tempfile
import time

from . import check
from .archives import write_archive
from .manifest import write_manifest
from .limits import CONFIG_FILE, FAMILIES, MACHINES, SPLASH_LANGUAGE_CHOSEN, quoted
from .names import ansi_length
from .plan import plan_media

# Options whose value is text for the configuration: a value that begins with '-', as Java
# options and parameters do, is still their value.
TEXT_OPTIONS = ("--class", "--parameter", "--classpath", "--path", "--jvm-option", "--remove-class",
                "--remove-parameter")


def write_media(plan, output):
    parent = os.path.dirname(os.path.abspath(output))
    work = tempfile.mkdtemp(prefix=".mkmedia-", dir=parent)
    stamps = {}
    try:
        def place(media_path):
            path = os.path.join(work, *media_path.split("/"))
            os.makedirs(os.path.dirname(path), exist_ok=True)
            return path

        for media_path, source in plan.copies + plan.media_files:
            shutil.copyfile(source, place(media_path))
        for media_path, data in plan.argfiles:
            with open(place(media_path), "wb") as argfile:
                argfile.write(data)
        with open(place(CONFIG_FILE), "w", encoding="ascii", newline="") as config:
            config.write(plan.config_text)
        for media_path, version_name, files, stamp in plan.archives:
            write_archive(place(media_path), version_name, files, stamp)
            stamps[os.path.join(work, *media_path.split("/"))] = stamp
        write_manifest(work)
        for folder, _, names in os.walk(work, topdown=False):
            for name in names:
                path = os.path.join(folder, name)
                stamp = stamps.get(path, plan.media_stamp)
                os.utime(path, (stamp, stamp))
            os.utime(folder, (plan.media_stamp, plan.media_stamp))
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(work, 0o777 & ~umask)
        os.rename(work, output)
        os.utime(output, (plan.media_stamp, plan.media_stamp))
    except BaseException:
        shutil.rmtree(work, ignore_errors=True)
        raise


def describe(plan, output):
    print(f"mkmedia: {plan.arch} media in {output}")
    for media_path, _ in plan.copies:
        print(f"  {media_path.replace('/', chr(92))}")
    for media_path, version_name, files, stamp in plan.archives:
        stamped = time.strftime("%Y-%m-%d %H:%M:%S UTC", time.gmtime(stamp))
        count = f"{len(files)} file" + ("" if len(files) == 1 else "s")
        print(f"  {media_path.replace('/', chr(92)):28} {count}, {version_name} date={stamp} ({stamped})")
    print(f"  {CONFIG_FILE.replace('/', chr(92))}")
    print("  media.manifest (sign it with scripts/sign-media.sh)")
    for media_path, _ in plan.argfiles:
        print(f"  {media_path.replace('/', chr(92))}")
    if plan.media_files:
        print(f"  and {len(plan.media_files)} files from --media-files")
    print(f"  class path {ansi_length(plan.class_path)} characters, search path {ansi_length(plan.search_path)} "
          f"before the machine's own, with the media in {plan.media_root}")


class AddClass(argparse.Action):
    """A class of install.cfg or remove.cfg: [text, parameter, JVM options]."""

    def __call__(self, parser, namespace, value, option=None):
        if getattr(namespace, self.dest) is None:
            setattr(namespace, self.dest, [])
        getattr(namespace, self.dest).append([value, None, []])
        namespace.last_class = (option, getattr(namespace, self.dest)[-1])


class AttachParameter(argparse.Action):
    def __call__(self, parser, namespace, value, option=None):
        owner = option.replace("parameter", "class")
        given = getattr(namespace, self.dest)
        if not given:
            parser.error(f"{option} belongs to the {owner} before it, and none came before")
        if given[-1][1] is not None:
            parser.error(f"{owner} {quoted(given[-1][0])} has a {option} already")
        given[-1][1] = value


class AddOption(argparse.Action):
    def __call__(self, parser, namespace, value, option=None):
        if namespace.last_class is None:
            parser.error(f"{option} belongs to the --class or --remove-class before it, and none came before")
        namespace.last_class[1][2].append(value)


def joined_texts(argv):
    """The arguments with every text option joined to its value, so that a value that begins with
    '-', as Java parameters do, is not taken for an option."""
    joined = []
    arguments = iter(argv)
    for argument in arguments:
        value = next(arguments, None) if argument in TEXT_OPTIONS else None
        joined.append(argument if value is None else f"{argument}={value}")
    return joined


def parse_arguments(argv):
    parser = argparse.ArgumentParser(prog="mkmedia", description="Writes the installation media of a product "
                                     "for install.exe (see docs/guide.md).")
    parser.add_argument("--arch", required=True, choices=sorted(MACHINES), help="the architecture of the Java "
                        "runtime; install.exe, Splash.exe and the natives come from dist/ (x86) or dist/x64/")
    parser.add_argument("--runtime", required=True, help="the Java runtime folder, which becomes jre.zip")
    parser.add_argument("--product", required=True, action="append", metavar="[NAME=]FOLDER",
                        help="a product folder, which becomes kp\\zip\\NAME.zip (NAME: the folder's name)")
    parser.add_argument("--class", dest="classes", action=AddClass, metavar="TEXT", required=True,
                        help="a [CLASS] line: the main class and what goes with it; up to 10")
    parser.add_argument("--parameter", dest="classes", action=AttachParameter, metavar="TEXT",
                        help="the [PARAMETERS] text of the --class before it")
    parser.add_argument("--jvm-option", dest="last_class", action=AddOption, metavar="OPTION",
                        help="a JVM option of the --class or --remove-class before it; any number")
    parser.add_argument("--remove-class", dest="remove_classes", action=AddClass, metavar="TEXT",
                        help="a [CLASS] line of remove.cfg, for install.exe -remove; up to 10")
    parser.add_argument("--remove-parameter", dest="remove_classes", action=AttachParameter, metavar="TEXT",
                        help="the [PARAMETERS] text of the --remove-class before it")
    parser.add_argument("--remove-files", action="store_true", help="remove.cfg says [REMOVE_FILES] 0 true: the "
                        "removal run ends by removing <common>\\jre and <common>\\kp")
    parser.add_argument("--classpath", action="append", default=[], metavar="ENTRY", help="a [CLASSPATH] entry")
    parser.add_argument("--path", action="append", default=[], metavar="ENTRY", help="a [PATH] entry")
    parser.add_argument("--delete-common", action="append", default=[], metavar="FILE", help="a "
                        "[DELETE_COMMON_FILES] entry: a file below the common directory deleted before unpacking")
    parser.add_argument("--post-delete-common", action="append", default=[], metavar="FILE", help="a "
                        "[POST_DELETE_COMMON_FILES] entry: a file below the common directory deleted at the end")
    parser.add_argument("--splash", metavar="BITMAP", help="the splash bitmap")
    parser.add_argument("--splash-language", default=SPLASH_LANGUAGE_CHOSEN, metavar="CODE",
                        help="the language folder of the bitmap (en)")
    parser.add_argument("--media-files", metavar="FOLDER", help="a folder copied onto the media as it is")
    parser.add_argument("--stamp", type=int, help="the version stamp of every archive that changed (default: "
                        "SOURCE_DATE_EPOCH when it is set, otherwise the time of the build)")
    parser.add_argument("--previous", metavar="MEDIA", help="the last release's media: an archive whose content "
                        "is unchanged keeps its stamp there, a changed one must get a greater one")
    parser.add_argument("--dist", metavar="FOLDER", help="where install.exe, Splash.exe and the natives are "
                        "(default: this checkout's dist/ or dist/x64/)")
    parser.add_argument("--families", choices=FAMILIES, help="the families of Windows the media serve: all, or "
                        "nt, which allows deeper paths and a longer class path; by default all for x86 and nt for "
                        "x64, whose install.exe runs on the NT family alone")
    parser.add_argument("--media-root", metavar="FOLDER", help="the deepest folder the media will be started "
                        "from, for the length of the class path (default: C:\\Users\\<20 characters>\\Downloads"
                        "\\<output's name>\\<output's name>)")
    parser.add_argument("--output", required=True, metavar="FOLDER", help="the media folder to write; it must "
                        "not exist yet")
    parser.set_defaults(last_class=None)
    return parser.parse_args(joined_texts(argv))


def main(argv):
    if argv[:1] == ["check"]:
        return check.main(argv[1:])
    args = parse_arguments(argv)
    plan, refusals, warnings = plan_media(args, os.environ)
    for warning in warnings:
        print(f"mkmedia: note: {warning}", file=sys.stderr)
    if refusals.messages:
        for message in refusals.messages:
            print(f"mkmedia: refused: {message}", file=sys.stderr)
        print("mkmedia: nothing written", file=sys.stderr)
        return 2
    try:
        write_media(plan, args.output)
    except OSError as error:
        print(f"mkmedia: {error}; nothing written", file=sys.stderr)
        return 1
    describe(plan, args.output)
    return 0
