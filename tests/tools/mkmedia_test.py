#!/usr/bin/env python3
"""tools/mkmedia: its media, installed by this lane's install.exe under Wine, end with every file,
record, search path and class path in place; it refuses what the media cannot hold and then
writes nothing; the same inputs give the same bytes; and the guide's complete install.cfg reads
into the tables the guide lists. Usage: mkmedia_test.py <build-dir> <lane>, in the lane's Wine
environment (mkmedia_test.sh)."""
import glob
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import zipfile

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD, LANE = sys.argv[1], sys.argv[2]
TOOL = os.path.join(TOP, "tools", "mkmedia")
BIN = os.path.join(BUILD, "bin")
DRIVE_C = os.path.join(os.environ["WINEPREFIX"], "drive_c")
MEDIA = os.path.join(DRIVE_C, "media")
COMMON = os.path.join(DRIVE_C, "Program Files", "Common Files", "bravik")
COMMON_WINDOWS = "C:\\Program Files\\Common Files\\bravik\\"
RECORD = os.path.join(DRIVE_C, "launches.txt")
BITMAP = struct.pack("<2sIHHIIiiHHIIiiII", b"BM", 58, 0, 0, 54, 40, 1, 1, 1, 24, 0, 4, 2835, 2835, 0, 0) + bytes(4)
# Input file times, each different and none the stamp: a stamp never comes from a file's time.
RUNTIME_TIME, APP_TIME, MANUAL_TIME = 2100000000, 2000000100, 1700000000
STAMP = 1800000000
sys.path.insert(0, os.path.join(TOP, "tools"))
from mkmedia_lib import check, limits, names, plan  # noqa: E402


def write(path, data, mtime=None):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as file:
        file.write(data)
    if mtime:
        os.utime(path, (mtime, mtime))


def read(path):
    with open(path, "rb") as file:
        return file.read()


def files(root):
    found = {}
    for folder, _, names in os.walk(root):
        for name in names:
            found[os.path.relpath(os.path.join(folder, name), root).replace(os.sep, "/")] = read(os.path.join(folder, name))
    return found


def mkmedia(arguments, stamp=STAMP):
    """tools/mkmedia with SOURCE_DATE_EPOCH set to stamp, or unset for None."""
    environment = {name: value for name, value in os.environ.items() if name != "SOURCE_DATE_EPOCH"}
    if stamp is not None:
        environment["SOURCE_DATE_EPOCH"] = str(stamp)
    return subprocess.run([sys.executable, TOOL, *arguments], capture_output=True, text=True, timeout=120,
                          env=environment)


def stamps(media):
    """The stamp in each archive's version entry, by the archive's file name."""
    found = {}
    for path in glob.glob(os.path.join(media, "kp", "*", "*.zip")):
        with zipfile.ZipFile(path) as archive:
            version = os.path.basename(path)[:-len(".zip")] + ".ver"
            found[os.path.basename(path)] = int(archive.read(version).decode("ascii").split("=")[1])
    return found


def jar(*classes):
    """A jar holding each class (a binary name such as com.example.Setup) as an empty class file."""
    import io
    data = io.BytesIO()
    with zipfile.ZipFile(data, "w") as archive:
        archive.writestr("META-INF/MANIFEST.MF", "Manifest-Version: 1.0\r\n")
        for name in classes:
            archive.writestr(name.replace(".", "/") + ".class", b"\xca\xfe\xba\xbe")
    return data.getvalue()


def parse_launches(text):
    """Each start of the stand-in launcher: what it was given and what it parsed (its arguments,
    options and parameters as lists, its natives by name)."""
    launches = []
    for line in text.splitlines():
        if line.startswith("begin "):
            launches.append({"arg": [], "option": [], "parameter": [], "native": {}})
        elif "=" in line and launches:
            key, value = line.split("=", 1)
            value = value.replace("%0A", "\n").replace("%0D", "\r").replace("%25", "%")
            if key == "native":
                name, path, answer = value.split("\t", 2)
                launches[-1]["native"][name] = (path, answer)
            elif isinstance(launches[-1].get(key), list):
                launches[-1][key].append(value)
            else:
                launches[-1][key] = value
    return launches


def java_processes(launches):
    """(main class, options, parameters) of each start, or the launcher's error where it found no class."""
    return [(launch["main"], launch["option"], launch["parameter"]) if "found" in launch else launch.get("error")
            for launch in launches]


def run_install(arguments=""):
    """Runs C:\\media\\install.exe from its folder: its trace log and each launcher start."""
    trace_logs = os.path.join(DRIVE_C, "users", "*", "Temp", "kp_nstal.out")
    for stale in glob.glob(trace_logs) + glob.glob(RECORD):
        os.remove(stale)
    # Not into pipes: the first program of a Wine session starts Wine's own lasting processes,
    # which would hold them open.
    subprocess.run([os.environ["WINELOADER"], "C:\\media\\install.exe", *arguments.split()], cwd=MEDIA, timeout=300,
                   env=dict(os.environ, LAUNCH_STUB_RECORD="C:\\launches.txt"), stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    trace = read(glob.glob(trace_logs)[0]).decode("latin-1")
    launches = parse_launches(read(RECORD).decode("latin-1") if os.path.exists(RECORD) else "")
    return trace.replace("\r", ""), launches


def command_tail(launch):
    """What follows the launcher's path on its command line: class, then parameter."""
    return launch["cmdline"].split("  ", 1)[1]


class MediaBuilder(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp()
        self.inputs = os.path.join(self.work, "in")
        stub = read(os.path.join(BIN, "stubs", "launch.exe"))
        for name, data, mtime in (("runtime/bin/launch.exe", stub, RUNTIME_TIME), ("runtime/lib/rt.jar", b"rt", 1),
                                  ("app/lib/kp.jar", jar("com.example.Setup", "com.example.Register", "com.example.Remove"), APP_TIME - 100), ("app/bin/app.dll", b"a", APP_TIME),
                                  ("app/lib/b.zip", b"b", 1), ("manual/data/kp.jar", b"again", 1),
                                  ("manual/help/index.html", b"<p>", MANUAL_TIME),
                                  # A name beyond ASCII arrives under its own name (UTF-8, flagged).
                                  ("manual/help/\u00fcber uns/\u65e5\u672c.html", b"<p lang=ja>", 1),
                                  ("extra/kp/classes/x.jar", b"x", 1), ("logo.bmp", BITMAP, 1)):
            write(os.path.join(self.inputs, name), data, mtime)
        for place in (MEDIA, COMMON):
            shutil.rmtree(place, ignore_errors=True)

    def tearDown(self):
        for place in (self.work, MEDIA, COMMON):
            shutil.rmtree(place, ignore_errors=True)

    def arguments(self, output, products=("app", "docs=manual"), **replaced):
        """mkmedia's arguments for the inputs of setUp; replaced options name folders in them."""
        folders = {"--dist": BIN, "--runtime": "runtime", "--splash": "logo.bmp", "--media-files": "extra"} | replaced
        listed = [text for option, folder in folders.items() for text in (option, os.path.join(self.inputs, folder))]
        for product in products:
            name, _, folder = product.rpartition("=")
            listed += ["--product", (name + "=" if name else "") + os.path.join(self.inputs, folder)]
        return [*listed, "--arch", LANE, "--class", "com.example.Setup", "--parameter", "-mode install",
                "--class", "com.example.Register", "--classpath", "kp\\classes", "--path", "kp\\tools",
                "--output", output]

    def test_installed_media_holds_every_file_record_and_path(self):
        # The paths mkmedia measures, for this media folder and this Wine's common folder.
        from mkmedia_lib import cli
        longest, limits.LONGEST_COMMON = limits.LONGEST_COMMON, COMMON_WINDOWS
        try:
            planned, _, _ = plan.plan_media(cli.parse_arguments(self.arguments(MEDIA) + ["--media-root", "C:\\media"]),
                                            {"SOURCE_DATE_EPOCH": str(STAMP)})
        finally:
            limits.LONGEST_COMMON = longest
        self.assertEqual(mkmedia(self.arguments(MEDIA)).returncode, 0)
        # The records must come from the version entries, not from the archive files' times.
        for archive in glob.glob(os.path.join(MEDIA, "kp", "*", "*.zip")):
            os.utime(archive, (1000, 1000))
        trace, launches = run_install()

        natives = {f"bin/{name}": read(os.path.join(BIN, name)) for name in ("sysnat.dll", "hivenat.dll")}
        expected_runtime = files(os.path.join(self.inputs, "runtime")) | natives | {"jre.ver": b"date=%d" % STAMP}
        expected_product = files(os.path.join(self.inputs, "app")) | files(os.path.join(self.inputs, "manual")) | {
            "app.ver": b"date=%d" % STAMP, "docs.ver": b"date=%d" % STAMP}
        self.assertEqual(files(os.path.join(COMMON, "jre")), expected_runtime)
        self.assertEqual(files(os.path.join(COMMON, "kp")), expected_product)
        self.assertEqual([command_tail(launch) for launch in launches],
                         ["com.example.Setup  -mode install", "com.example.Register"])
        self.assertEqual(java_processes(launches), [("com.example.Setup", [], ["-mode", "install"]),
                                                    ("com.example.Register", [], [])])
        for launch in launches:
            # The guide's layout: the launcher in the runtime's bin, the class in the product's jar,
            # the natives beside the launcher, where System.loadLibrary looks first.
            self.assertEqual(launch["program"], COMMON_WINDOWS + "jre\\bin\\launch.exe")
            self.assertEqual(launch["found"], COMMON_WINDOWS + "kp\\lib\\kp.jar")
            self.assertEqual(launch["native"], {
                "sysnat.dll": (COMMON_WINDOWS + "jre\\bin\\sysnat.dll", "nativeWinGetCurrentDirectory=" + launch["cwd"]),
                "hivenat.dll": (COMMON_WINDOWS + "jre\\bin\\hivenat.dll", "CommonFilesDir=" + COMMON_WINDOWS[:-len("\\bravik\\")])})
            # The natives lie in a folder of the search path of every Java process.
            self.assertIn(COMMON_WINDOWS + "jre\\bin;", launch["PATH"])
            self.assertIn("C:\\media\\kp\\tools;", launch["PATH"])
            for entry in ("C:\\media\\kp\\classes\\x.jar;", COMMON_WINDOWS + "kp\\lib\\kp.jar;",
                          COMMON_WINDOWS + "jre\\lib\\rt.jar;"):
                self.assertIn(entry, launch["CLASSPATH"])
            self.assertEqual(launch["CLASSPATH"], planned.class_path)
            self.assertTrue(launch["PATH"].startswith(planned.search_path + ";"), (launch["PATH"], planned.search_path))
        splash = re.search(r"^\.+Successfully launched a splash screen C:(.*)\\Splash\.exe  (.*)$", trace, re.M)
        self.assertTrue(splash, trace)
        self.assertEqual(read(os.path.join(DRIVE_C, *(splash[1] + "\\" + splash[2]).split("\\"))), BITMAP)

        trace, _ = run_install()
        self.assertEqual(re.findall(r"^Skipping unzipping of zipFile (\S+) $", trace, re.M),
                         ["kp\\windows\\jre.zip", "app.zip", "docs.zip"])

    def test_every_input_the_media_cannot_hold_is_refused_and_nothing_written(self):
        bad = {"device/lib/aux.txt": b"", "version/lib/old.ver": b"", "case/A.txt": b"", "case/a.txt": b"",
               "dot/readme.": b"", "long/d/" + "x" * 211: b"", "no-rt/bin/launch.exe": read(os.path.join(BIN, "stubs", "launch.exe")),
               "no-launcher/lib/rt.jar": b"", "text-launcher/bin/launch.exe": b"MZ", "text-launcher/lib/rt.jar": b"",
               "dist/install.exe": b"MZ", "clash/kp/windows/install.cfg": b"", "app/kp.jar": b"",
               "removal/bin/remove.cfg": b""}
        for name, data in bad.items():
            write(os.path.join(self.inputs, "bad", name), data)
        os.makedirs(os.path.join(self.inputs, "bad", "empty"))
        output, bad = os.path.join(self.work, "out"), os.path.join(self.inputs, "bad")
        cases = [
            (["--class", "c" * 79], "is 79 characters long; its line leaves room for 78"),
            (["--class", "c"] * 9, "11 classes; [CLASS] has 10 slots"),
            (["--class", "c", "--parameter", "3 times"], "begins with a digit"),
            (["--class", "c", "--parameter", "p" * 77], "leaves room for 76"),
            (["--class", " c"], "begins with a blank"),
            (["--class", "c\u00e9"], "outside plain ASCII"),
            (["--classpath", "k" * 78], "leaves room for 77"),
            (["--classpath", "a;b"], "holds a ';'"),
            # 430 entries of 77 characters below the media root take more than a variable holds.
            (["--path", "p" * 77] * 430, "the search path: needs"),
            # Paths as they were given, with one backslash between folders.
            (["--classpath", "kp\\nothing"], "--classpath 'kp\\nothing': names nothing on the media"),
            (["--delete-common", "\\kp\\old.jar"], "--delete-common '\\kp\\old.jar': is not a path below"),
            (["--product", f"my product={bad}/device"], "is not a plain name"),
            (["--product", f"APP={bad}/app"], "is taken by --product"),
            (["--product", f"{bad}/device"], "is a device name"),
            (["--product", f"{bad}/version"], "ends in .ver"),
            (["--product", f"{bad}/case"], "differs from A.txt only in case"),
            (["--product", f"{bad}/dot"], "ends in a dot or a blank"),
            # x86 media serve the 95 family too unless told; x64 media serve the NT family alone.
            *([(["--product", f"{bad}/long"], "is 213 characters long; below C:\\Program Files (x86)\\Common "
                                              "Files\\bravik\\jre at most 212 fit in a path the 95 family can unpack"),
               (["--product", f"{bad}/long", "--families", "all"], "is 213 characters long")] if LANE == "x86" else
              [(["--families", "all"], "--families all with --arch x64: x64 media serve the NT family alone")]),
            (["--product", f"{bad}/empty"], "holds no files"),
            ({"products": ["bad/app"]}, "no kp.jar"),
            ({"--runtime": "bad/no-rt"}, "no rt.jar"),
            ({"--runtime": "bad/no-launcher"}, "no bin/launch.exe"),
            ({"--runtime": "bad/text-launcher"}, f"is not a {LANE} program"),
            ({"--dist": "bad/dist"}, f"its install.exe is not built for {LANE}"),
            ({"--splash": "app/lib/kp.jar"}, "is not a Windows bitmap"),
            (["--splash-language", "de"], "would never show"),
            ({"--media-files": "bad/clash"}, "is a file mkmedia writes itself"),
            (["--stamp", "0"], "is not between 1 and 2147483647"),
            (["--stamp", str(2**31)], "is not between 1 and 2147483647"),
            # setUp's runtime has no release file: its launcher may predate argument files.
            (["--jvm-option", "-Xmx1024m", "--jvm-option", "-D" + "p" * 50],
             "with its --jvm-option values makes a [CLASS] line of 83 characters; its line leaves room for 78, and a "
             "Java runtime whose release file does not say its version reads no argument file"),
            (["--jvm-option", "Xmx1g"], "--jvm-option 'Xmx1g' of --class 'com.example.Register': does not begin"),
            (["--jvm-option", "--add-opens"], "takes its value as the next --jvm-option, and none follows"),
            (["--jvm-option", "-D\u00e9"], "outside plain ASCII"),
            (["--jvm-option", '-D"x y"'], "a quote, which a [CLASS] line cannot carry"),
            (["--remove-files"], "--remove-files: given without --remove-class"),
            (["--remove-class", "r"] * 11, "--remove-class: 11 classes; [CLASS] has 10 slots"),
            (["--remove-class", "r", "--remove-parameter", "3 times"], "--remove-parameter '3 times': begins with"),
            (["--remove-class", "r", "--product", f"{bad}/removal"], "--product removal: bin/remove.cfg: is a file "
                                                                     "mkmedia writes for the removal"),
            (["--previous", f"{bad}/app"], "is not media mkmedia wrote"),
        ]
        for change, message in cases:
            with self.subTest(change=change):
                arguments = self.arguments(output, **change) if isinstance(change, dict) else self.arguments(output) + change
                result = mkmedia(arguments)
                self.assertEqual(result.returncode, 2, result.stderr)
                self.assertIn(message, result.stderr)
                self.assertNotIn("\\\\", result.stderr)
                self.assertEqual(os.listdir(self.work), ["in"])
        os.makedirs(output)
        self.assertIn("exists already", mkmedia(self.arguments(output)).stderr)
        # install unpacks the deep entry through the long form on the NT family.
        nt_only = mkmedia(self.arguments(os.path.join(self.work, "nt"), ("app", "docs=manual", "bad/long")) +
                          ["--families", "nt"])
        self.assertEqual(nt_only.returncode, 0, nt_only.stderr)

    def test_the_class_path_is_held_to_what_windows_gives_java(self):
        common = "C:\\Program Files (x86)\\Common Files\\bravik\\"
        default_root = "C:\\Users\\username-of-20-chars\\Downloads\\out\\out"
        value_limit, together_limit_95 = 32766, 32767 - 4096

        def class_path(root, manual):
            """The class path of setUp's inputs, without the filler's archives: the manual's
            kp.jar in data is left out for the one in lib, and help is named even when absent."""
            return "".join(entry + ";" for entry in (
                f"{root}\\kp\\classes\\x.jar", f"{root}\\kp\\classes", common + "kp\\lib\\kp.jar",
                common + "kp\\lib\\b.zip", common + "kp\\lib") + ((common + "kp\\data",) if manual else ()) + (
                common + "kp\\help", common + "jre\\lib\\rt.jar", common + "jre\\lib"))

        def search_path(root):
            return (f".;{root}\\kp\\bin;{root}\\kp\\tools;" +
                    "".join(f";{common}{folder}" for folder in ("kp\\bin", "jre\\bin", "jre\\bin\\hotspot")))

        def fill(folder, size):
            """Archives in lib whose class-path entries take size characters together."""
            shutil.rmtree(folder, ignore_errors=True)
            count = -(-size // 250)
            for index in range(count):
                entry = size // count + (index < size % count)
                write(os.path.join(folder, "lib", f"{index:03}" + "f" * (entry - len(common + "kp\\lib\\;") - 7) + ".jar"), b"")

        root = "C:\\m"
        limit_95 = together_limit_95 - len(search_path(root))
        # Without --families, x86 media are held to the 95 family's figure, x64 media to the NT family's.
        default_limit = limit_95 if LANE == "x86" else value_limit
        cases = [
            # (root given, families given, class path, with the manual, refusal)
            (root, "nt", value_limit, True, None),
            (root, "nt", value_limit + 1, True, f"the class path: needs {value_limit + 1} characters with the media in "
                                                f"C:\\m and the common folder {common}, but Windows allows {value_limit}"),
            (root, "nt", value_limit, False, None),
            (None, "nt", value_limit + 1, True, f"needs {value_limit + 1} characters with the media in {default_root} "),
            (root, None, default_limit, True, None),
            (root, None, default_limit + 1, True, f"needs {default_limit + 1} characters"),
        ] + ([(root, "all", limit_95, True, None),
              (root, "all", limit_95 + 1, True, f"needs {limit_95 + 1} characters and the search path "
                                                f"{len(search_path(root))} with the media in C:\\m")] if LANE == "x86" else [])
        for given, families, size, manual, refusal in cases:
            with self.subTest(root=given, families=families, size=size, manual=manual):
                fill(os.path.join(self.inputs, "fill"), size - len(class_path(given or default_root, manual)))
                output = os.path.join(self.work, "out")
                products = ("app", "docs=manual", "fill") if manual else ("app", "fill")
                arguments = (self.arguments(output, products) + (["--families", families] if families else []) +
                             (["--media-root", given] if given else []))
                result = mkmedia(arguments)
                if refusal:
                    self.assertEqual(result.returncode, 2, result.stderr)
                    self.assertIn(refusal, result.stderr)
                else:
                    self.assertEqual(result.returncode, 0, result.stderr)
                    self.assertIn(f"class path {size} characters", result.stdout)
                    shutil.rmtree(output)

    def test_entry_names_are_held_to_what_each_family_of_windows_can_store(self):
        # Below the longest destination, "\\?\" included, 32,716 characters make a path of 32,767.
        deepest = "/".join(["d" * 254] * 130)[:32716]
        cases = [
            ("d/" + "x" * 210, "all", None),
            ("d/" + "x" * 211, "all", "is 213 characters long"),
            ("d/" + "x" * 211, "nt", None),
            # Counted in the bytes of a double-byte code page, as install measures it there.
            ("\u00e9" * 107, "all", "is 214 characters long"),
            ("\u00e9" * 107, "nt", None),
            ("d/" + "x" * 255, "nt", None),
            ("d/" + "x" * 256, "nt", "is a name of 256 characters; Windows holds at most 255"),
            ("x" * 256 + "/f", "all", "is a name of 256 characters"),
            # Two UTF-16 units each.
            ("\U0001f600" * 128, "nt", "is a name of 256 characters"),
            (deepest, "nt", None),
            (deepest + "x", "nt", "makes a path of 32768, and Windows holds at most 32767"),
        ]
        for entry, families, problem in cases:
            with self.subTest(entry=entry[:20], length=len(entry), families=families):
                if problem is None:
                    self.assertIsNone(names.entry_problem(entry, families))
                else:
                    self.assertIn(problem, names.entry_problem(entry, families) or "")

    def test_the_same_inputs_give_the_same_bytes(self):
        write(os.path.join(self.inputs, "manual", "Gr\u00f6\u00dfe", "r\u00e9sum\u00e9.txt"), b"r", MANUAL_TIME)
        first, second = os.path.join(self.work, "first"), os.path.join(self.work, "second")
        self.assertEqual(mkmedia(self.arguments(first)).returncode, 0)
        # Later, from a copy of the inputs in another folder.
        time.sleep(1)
        shutil.copytree(self.inputs, os.path.join(self.work, "moved"))
        self.inputs = os.path.join(self.work, "moved")
        self.assertEqual(mkmedia(self.arguments(second)).returncode, 0)
        self.assertEqual(files(first), files(second))
        for name in files(first):
            self.assertEqual(os.stat(os.path.join(first, name)).st_mtime, os.stat(os.path.join(second, name)).st_mtime)

        with zipfile.ZipFile(os.path.join(first, "kp", "zip", "docs.zip")) as archive:
            entries = archive.infolist()
        self.assertEqual([entry.filename for entry in entries], ["docs.ver", "Gr\u00f6\u00dfe/r\u00e9sum\u00e9.txt",
                                                                 "data/kp.jar", "help/index.html", "help/\u00fcber uns/\u65e5\u672c.html"])
        self.assertEqual([entry.flag_bits & 0x800 for entry in entries], [0, 0x800, 0, 0, 0x800])
        self.assertEqual({entry.date_time for entry in entries}, {time.gmtime(STAMP)[:6]})

    def test_previous_media_keep_the_stamp_of_what_did_not_change(self):
        first, second, third = (os.path.join(self.work, name) for name in ("first", "second", "third"))
        before = int(time.time())
        self.assertEqual(mkmedia(self.arguments(first), stamp=None).returncode, 0)
        built = stamps(first)
        self.assertEqual(set(built.values()), {built["jre.zip"]})
        self.assertTrue(before <= built["jre.zip"] <= int(time.time()), built)

        write(os.path.join(self.inputs, "app", "lib", "kp.jar"), b"kp 1.1", 1)
        later = built["jre.zip"] + 100
        result = mkmedia(self.arguments(second) + ["--previous", first], stamp=later)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(stamps(second), {"jre.zip": built["jre.zip"], "docs.zip": built["docs.zip"], "app.zip": later})
        for unchanged in ("kp/windows/jre.zip", "kp/zip/docs.zip"):
            self.assertEqual(read(os.path.join(first, unchanged)), read(os.path.join(second, unchanged)))

        # A changed archive whose stamp would not order it after the last release.
        write(os.path.join(self.inputs, "app", "lib", "kp.jar"), b"kp 1.2", 1)
        result = mkmedia(self.arguments(third) + ["--previous", second], stamp=later)
        self.assertEqual(result.returncode, 2)
        self.assertIn(f"--product {os.path.join(self.inputs, 'app')}: changed since --previous {second}, whose stamp "
                      f"is {later}, and the stamp {later} is not greater", result.stderr)
        self.assertFalse(os.path.exists(third))

    def test_check_reports_what_install_would_read_otherwise(self):
        update, previous = os.path.join(self.work, "vtupdate"), os.path.join(self.work, "previous")
        for folder, data, stamp in ((previous, b"old", 5), (update, b"new", 5)):
            os.makedirs(os.path.join(folder, "kp", "zip"))
            with zipfile.ZipFile(os.path.join(folder, "kp", "zip", "app.zip"), "w") as archive:
                archive.writestr("app.ver", f"date={stamp}")
                archive.writestr("lib/kp.jar", data)
                archive.writestr("lib/aux.txt", b"")
        for index in range(300):
            write(os.path.join(update, f"{index:03}" + "j" * 120 + ".jar"), b"")
        write(os.path.join(update, "notes."), b"")
        long_class = "-Xmx1024m -Dfile.encoding=UTF-8 -Djava.net.useSystemProxies=true com.example.shop.setup.Installer"
        config = ["[CLASSPATH]", "kp\\classes", "", "[CLASS] ", "com.example.Ignored", "", "[CLASS]", long_class,
                  *[f"com.example.C{index}" for index in range(9)], "", "[PARAMETERS]", "0 3D preview", "x -quiet",
                  "[SPLASH_BITMAP]", "0 logo.bmp", ""]
        write(os.path.join(update, "kp", "windows", "install.cfg"), "\r\n".join(config).encode("ascii"))

        result = subprocess.run([sys.executable, TOOL, "check", update, "--previous", previous], capture_output=True,
                                text=True, timeout=120)

        self.assertEqual(result.returncode, 1, result.stdout + result.stderr)
        cfg = "kp/windows/install.cfg"
        # The configuration's lines are held to what install does in mkmedia_check_test.py; here
        # one finding of each kind beside the findings about files.
        for finding in (f"{cfg} line 4: '[CLASS] ' is not the header alone",
                        f"{cfg} line 5: 'com.example.Ignored' is meant for [CLASS], but its header at line 4",
                        f"{cfg} line 8: is 97 characters long, more than the 78 a line of [CLASS] holds",
                        f"{cfg} line 17: 'com.example.C8' is past the 10 slots of [CLASS]",
                        f"{cfg} line 20: '0 3D preview': its text begins with a digit",
                        f"{cfg} line 21: 'x -quiet' does not begin with its slot digit",
                        f"{cfg} line 22: '[SPLASH_BITMAP]' follows the entries of [PARAMETERS] without an empty line",
                        f"{cfg} line 23: '0 logo.bmp' is meant for [SPLASH_BITMAP]",
                        "kp/zip/app.zip: changed since --previous, but its stamp 5 is not greater than 5",
                        "kp/zip/app.zip: lib/aux.txt: is a device name on Windows",
                        "notes.: ends in a dot or a blank",
                        "the class path: needs "):
            self.assertIn(f"mkmedia check: {finding}", result.stdout)
        self.assertIn("mkmedia check: 12 findings", result.stdout)

        media = os.path.join(self.work, "media")
        self.assertEqual(mkmedia(self.arguments(media)).returncode, 0)
        clean = subprocess.run([sys.executable, TOOL, "check", media, "--previous", media], capture_output=True,
                               text=True, timeout=120)
        self.assertEqual(clean.returncode, 0, clean.stdout)

        # The families served come from the media's own install.exe: a 64-bit one runs on the NT
        # family alone, so x64 media may hold an entry the 95 family cannot unpack.
        write(os.path.join(self.inputs, "deep", "d", "x" * 211), b"")
        deep = os.path.join(self.work, "deep")
        made = mkmedia(self.arguments(deep, ("app", "docs=manual", "deep")) +
                       (["--families", "nt"] if LANE == "x86" else []))
        self.assertEqual(made.returncode, 0, made.stderr)
        cases = {"x64": [([], 0, "reads as it was meant"), (["--families", "all"], 2, "--families all is meaningless")],
                 "x86": [([], 1, "kp/zip/deep.zip: d/" + "x" * 211 + ": is 213 characters long"),
                         (["--families", "nt"], 0, "reads as it was meant")]}[LANE]
        for given, status, says in cases:
            with self.subTest(families=given):
                result = subprocess.run([sys.executable, TOOL, "check", deep, *given], capture_output=True, text=True,
                                        timeout=120)
                self.assertEqual(result.returncode, status, result.stdout + result.stderr)
                self.assertIn(says, result.stdout + result.stderr)

    def test_jvm_options_of_any_length_reach_the_launcher_in_an_argument_file(self):
        # The guide's layout: the runtime's own launcher in its bin, two classes with options in
        # argument files and parameters; the launcher reads them as the JDK's launcher does.
        write(os.path.join(self.inputs, "runtime", "release"), b'JAVA_VERSION="17.0.2"\n')
        setup_options = ["-Xmx1024m", "-Dfile.encoding=UTF-8", "-Djava.net.useSystemProxies=true",
                         "-Dsuite.home=C:\\Program Files\\Example Suite\\data", "-Dsuite.note=a #hash and \"quotes\"",
                         "--add-opens", "java.base/java.lang=ALL-UNNAMED",
                         *[f"-Dsuite.flag{index}=" + "v" * 40 for index in range(4)]]
        register_options = ["-Xmx256m", "-Dsuite.mode=register only"]
        self.assertGreaterEqual(len(" ".join(setup_options)), 300)
        arguments = self.arguments(MEDIA)
        at = arguments.index("--parameter")
        arguments[at:at] = [text for option in setup_options for text in ("--jvm-option", option)]
        at = arguments.index("com.example.Register") + 1
        arguments[at:at] = [text for option in register_options for text in ("--jvm-option", option)] + [
            "--parameter", "-quiet  -log register.txt"]
        result = mkmedia(arguments)
        self.assertEqual(result.returncode, 0, result.stderr)

        _, launches = run_install()

        self.assertEqual([command_tail(launch) for launch in launches],
                         ["@jvm0.args com.example.Setup  -mode install",
                          "@jvm1.args com.example.Register  -quiet  -log register.txt"])
        self.assertEqual(java_processes(launches),
                         [("com.example.Setup", setup_options, ["-mode", "install"]),
                          ("com.example.Register", register_options, ["-quiet", "-log", "register.txt"])])
        self.assertEqual(launches[0]["cwd"].rstrip("\\"), "C:\\media\\kp\\windows")
        self.assertEqual(launches[0]["program"], COMMON_WINDOWS + "jre\\bin\\launch.exe")

    def test_removal_media_remove_what_the_install_made(self):
        result = mkmedia(self.arguments(MEDIA) + ["--remove-class", "com.example.Remove", "--jvm-option", "-Xmx64m",
                                                  "--remove-parameter", "-quiet", "--remove-files"])
        self.assertEqual(result.returncode, 0, result.stderr)
        _, launches = run_install()
        self.assertEqual(len(launches), 2)
        self.assertTrue(os.path.isfile(os.path.join(COMMON, "kp", "bin", "remove.cfg")))

        _, launches = run_install("-remove ..\\data\\ip.db")

        # The removal's launcher is found in the common folder: nothing of the media is used.
        # setUp's runtime may predate argument files: the option stands on the [CLASS] line.
        self.assertEqual([command_tail(launch) for launch in launches],
                         ["-Xmx64m com.example.Remove   ..\\data\\ip.db  -quiet"])
        self.assertEqual(java_processes(launches), [("com.example.Remove", ["-Xmx64m"], ["..\\data\\ip.db", "-quiet"])])
        self.assertEqual(launches[0]["cwd"].rstrip("\\"), COMMON_WINDOWS + "kp\\bin")
        self.assertFalse(os.path.exists(os.path.join(COMMON, "jre")))
        self.assertFalse(os.path.exists(os.path.join(COMMON, "kp")))

    def test_the_guides_complete_install_cfg_reads_into_the_tables_the_guide_lists(self):
        guide = read(os.path.join(TOP, "docs", "guide.md")).decode("utf-8").split("### A complete install.cfg", 1)[1]
        config = re.search(r"```text\n(.*?)```", guide, re.S)[1]
        rows = re.findall(r"^\| `(\[[A-Z_]+\])` \| (\d*) \| `([^`]*)` \|", guide.split("### What install reads", 1)[1], re.M)
        self.assertTrue(config and rows)
        sections = {block[0]: block[1:] for block in (part.splitlines() for part in config.split("\n\n")) if block}
        classes = {str(slot): name for slot, name in enumerate(sections["[CLASS]"])}
        parameters = dict(line.split(" ", 1) for line in sections.get("[PARAMETERS]", []))

        # Media that holds everything the example names, then the example as its install.cfg.
        for entry in sections["[CLASSPATH]"]:
            write(os.path.join(self.inputs, "extra", *entry.rstrip(";").split("\\"), "guide.jar"), b"g")
        products = [line.rsplit("\\", 1)[1][:-len(".zip")] for line in sections["[ZIP_FILES]"]]
        for name in products:
            write(os.path.join(self.inputs, "products", name, "lib", "kp.jar" if name == products[0] else "x.jar"),
                  jar(*classes.values()))
        bitmap = sections["[SPLASH_BITMAP]"][0].split(" ", 1)[1]
        write(os.path.join(self.inputs, bitmap), BITMAP)
        arguments = self.arguments(MEDIA, [f"{name}=products/{name}" for name in products], **{"--splash": bitmap})
        self.assertEqual(mkmedia(arguments).returncode, 0)
        write(os.path.join(MEDIA, "kp", "windows", "install.cfg"), config.replace("\n", "\r\n").encode("ascii"))
        for entry in sections["[DELETE_COMMON_FILES]"] + sections["[POST_DELETE_COMMON_FILES]"]:
            write(os.path.join(COMMON, *entry.split("\\")), b"old")
        trace, launches = run_install()

        self.assertEqual([command_tail(launch) for launch in launches],
                         ["  ".join(filter(None, (classes[slot], parameters.get(slot)))) for slot in sorted(classes)])
        self.assertEqual(java_processes(launches), [(classes[slot], [], parameters.get(slot, "").split())
                                                    for slot in sorted(classes)])
        for section, slot, value in rows:
            with self.subTest(section=section, value=value):
                if section == "[CLASS]":
                    self.assertEqual(classes[slot], value)
                elif section == "[PARAMETERS]":
                    self.assertEqual(parameters[slot], value)
                elif section in ("[CLASSPATH]", "[PATH]"):
                    self.assertIn(value, launches[0][section.strip("[]")])
                elif section == "[SPLASH_BITMAP]":
                    self.assertIn(f"  en\\{value} \n", trace)
                elif section == "[ZIP_FILES]":
                    self.assertTrue(os.path.isfile(os.path.join(COMMON, "kp", value.rsplit("\\", 1)[1][:-3] + "ver")))
                elif section in ("[DELETE_COMMON_FILES]", "[POST_DELETE_COMMON_FILES]"):
                    self.assertFalse(os.path.exists(os.path.join(COMMON, *value.split("\\"))))
                elif section == "[REMOVE_FILES]":
                    self.assertEqual(os.path.isdir(os.path.join(COMMON, "jre")), value.lower() != "true")
                else:
                    self.fail(f"the guide lists {section}, which this test cannot check")


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1] + sys.argv[3:], verbosity=2)
