#!/usr/bin/env python3
"""mkmedia check gives install's verdict. Each row of the table is a hand edit of an install.cfg
on media mkmedia wrote, with what its writer meant; this lane's install.exe runs on the media
under Wine, and its trace log and the stand-in launcher's record say whether it read the file as
meant: the Java processes meant, and no other, each with the parameters meant, the class-path
and search-path entries meant, the archives meant in their order, and no line ignored. check must
exit 0 for exactly those rows, and otherwise name every line the row got wrong. Usage:
mkmedia_check_test.py <build-dir> <lane>, in the lane's Wine environment (mkmedia_test.sh)."""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

from mkmedia_test import BIN, COMMON, LANE, MEDIA, TOOL, java_processes, jar, mkmedia, read, run_install, write

SETUP, REGISTER = "com.example.Setup", "com.example.Register"
# Classes whose [CLASS] line is exactly that long.
CLASS_78, CLASS_79, CLASS_126 = ("com.example." + "L" * (length - len("com.example.")) for length in (78, 79, 126))
# A product whose [ZIP_FILES] line, kp\zip\<name>.zip, has 126 characters.
LONG_PRODUCT = "p" * (126 - len("kp\\zip\\.zip"))
BASE = f"""Hand edits of install.cfg, one per row.

[CLASSPATH]
kp\\classes;

[PATH]
kp\\tools;

[CLASS]
{SETUP}
{REGISTER}

[PARAMETERS]
0 -mode install
1 -quiet

[ZIP_FILES]
kp\\zip\\{LONG_PRODUCT}.zip
kp\\zip\\app.zip

"""


class Meant:
    """What the writer of a configuration meant install to do."""

    def __init__(self, processes=None, class_path=(), path=(), archives=None):
        self.processes = processes or [(SETUP, [], ["-mode", "install"]), (REGISTER, [], ["-quiet"])]
        self.class_path = ["C:\\media\\kp\\classes\\x.jar;", "C:\\media\\kp\\classes;", *class_path]
        self.path = ["C:\\media\\kp\\tools;", *path]
        self.archives = archives or ["kp\\windows\\jre.zip", f"{LONG_PRODUCT}.zip", "app.zip"]


def edited(*changes):
    """The base configuration with each (old, new) text replaced once."""
    text = BASE
    for old, new in changes:
        assert text.count(old) == 1, old
        text = text.replace(old, new)
    return text


# (what, the configuration, what its writer meant, whether install reads it as meant, the lines
# check must name: every line whose reading differs)
ROWS = [
    ("as mkmedia writes it", BASE, Meant(), True, []),
    ("a header in lower case", edited(("[CLASS]", "[class]")), Meant(), True, []),
    ("[PARAMETERS] with a trailing blank, alone",
     edited(("[PARAMETERS]", "[PARAMETERS] ")), Meant(), False, ["[PARAMETERS] ", "0 -mode install", "1 -quiet"]),
    ("[PARAMETERS] right after the [CLASS] lines",
     edited((f"{REGISTER}\n\n[PARAMETERS]", f"{REGISTER}\n[PARAMETERS]")), Meant(), False,
     ["[PARAMETERS]", "0 -mode install", "1 -quiet"]),
    ("[PARAMETERS] with a trailing blank, right after the [CLASS] lines",
     edited((f"{REGISTER}\n\n[PARAMETERS]", f"{REGISTER}\n[PARAMETERS] ")), Meant(), False,
     ["[PARAMETERS] ", "0 -mode install", "1 -quiet"]),
    ("[ZIP_FILES] right after the [PARAMETERS] lines", edited(("1 -quiet\n\n", "1 -quiet\n")), Meant(), False,
     ["[ZIP_FILES]", "kp\\zip\\p", "kp\\zip\\app.zip"]),
    ("[PATH] with a trailing blank, alone", edited(("[PATH]", "[PATH] ")), Meant(), False, ["[PATH] ", "kp\\tools;"]),
    ("[CLASS] after a tab", edited(("[CLASS]", "\t[CLASS]")), Meant(), False, ["\t[CLASS]", SETUP, REGISTER]),
    # The launcher splits its command line at blanks and tabs alike.
    ("a [CLASS] line that begins with a tab", edited((REGISTER, "\t" + REGISTER)), Meant(), True, []),
    ("a tab between a parameter's words", edited(("0 -mode install", "0 -mode\tinstall")), Meant(), True, []),
    ("a [PARAMETERS] line that begins with a tab", edited(("1 -quiet", "\t1 -quiet")), Meant(), False, ["\t1 -quiet"]),
    ("a [CLASSPATH] line that begins with a tab", edited(("kp\\classes;", "\tkp\\classes;")), Meant(), False,
     ["\tkp\\classes;"]),
    ("a line of a tab alone after the [CLASS] lines", edited((f"{REGISTER}\n\n", f"{REGISTER}\n\t\n")), Meant(),
     False, ["\t", "[PARAMETERS]", "0 -mode install", "1 -quiet"]),
    ("a [CLASS] line that begins with a blank", edited((REGISTER, " " + REGISTER)), Meant(), False,
     [" " + REGISTER]),
    ("a [CLASS] line of 78 characters", edited((REGISTER, CLASS_78)),
     Meant([(SETUP, [], ["-mode", "install"]), (CLASS_78, [], ["-quiet"])]), True, []),
    ("a [CLASS] line of 79 characters, the last of its section", edited((REGISTER, CLASS_79)),
     Meant([(SETUP, [], ["-mode", "install"]), (CLASS_79, [], ["-quiet"])]), True, []),
    ("a [CLASS] line of 79 characters before another", edited((SETUP, CLASS_79)),
     Meant([(CLASS_79, [], ["-mode", "install"]), (REGISTER, [], ["-quiet"])]), False, [REGISTER]),
    ("a [CLASS] line of 126 characters", edited((REGISTER, CLASS_126)),
     Meant([(SETUP, [], ["-mode", "install"]), (CLASS_126, [], ["-quiet"])]), False, [CLASS_126]),
    ("a [PARAMETERS] line of 126 characters", edited(("1 -quiet", "1 -quiet -log " + "l" * 112)),
     Meant([(SETUP, [], ["-mode", "install"]), (REGISTER, [], ["-quiet", "-log", "l" * 112])]), False,
     ["1 -quiet -log "]),
    ("a [ZIP_FILES] line of 127 characters", edited(("kp\\zip\\p", "kp\\zip\\\\p")), Meant(), False, ["kp\\zip\\app.zip"]),
    ("';' missing from the last [CLASSPATH] line", edited(("kp\\classes;", "kp\\classes")), Meant(), True, []),
    ("';' missing from a [CLASSPATH] line before another", edited(("kp\\classes;", "kp\\classes\nkp\\more;")),
     Meant(class_path=["C:\\media\\kp\\more\\y.jar;"]), False, ["kp\\classes"]),
    ("';' missing from the last [PATH] line", edited(("kp\\tools;", "kp\\tools")), Meant(), True, []),
    ("';' missing from a [PATH] line before another", edited(("kp\\tools;", "kp\\tools\nC:\\Tools\\bin;")),
     Meant(path=["C:\\Tools\\bin;"]), False, ["kp\\tools"]),
    # The C runtime's text mode ends a file at a Ctrl-Z, which old editors put at its end.
    ("a Ctrl-Z at the end", BASE + "\x1a", Meant(), True, []),
    ("a Ctrl-Z before [PARAMETERS]", edited((f"{REGISTER}\n\n[PARAMETERS]", f"{REGISTER}\n\n\x1a\n[PARAMETERS]")),
     Meant(), False, ["\x1a", "[PARAMETERS]", "0 -mode install", "1 -quiet", "[ZIP_FILES]", "kp\\zip\\p",
                      "kp\\zip\\app.zip"]),
    ("a parameter without its slot digit", edited(("1 -quiet", "-quiet")), Meant(), False, ["-quiet"]),
    ("a parameter in a slot without a class", edited(("1 -quiet", "2 -quiet")), Meant(), False, ["2 -quiet"]),
    # The release engineer's file: the header with a trailing blank right after the [CLASS]
    # lines, beside two other mistakes.
    ("the reported combination",
     edited((f"{REGISTER}\n\n[PARAMETERS]", f"{REGISTER}\n[PARAMETERS] "),
            ("kp\\classes;", "kp\\classes\nkp\\more;"), ("kp\\tools;", "\tkp\\tools;")),
     Meant(class_path=["C:\\media\\kp\\more\\y.jar;"]), False,
     ["[PARAMETERS] ", "0 -mode install", "1 -quiet", "kp\\classes", "\tkp\\tools;"]),
]


def install_verdict(trace, launches, meant):
    """Whether install read the configuration as its writer meant, from what it did."""
    archives = re.findall(r"^Skipping unzipping of zipFile (.+) $", trace, re.M)
    return (java_processes(launches) == meant.processes and "Configuration line ignored" not in trace and
            archives == meant.archives and all(
                all(entry in launch["CLASSPATH"] for entry in meant.class_path) and
                all(entry in launch["PATH"] + ";" for entry in meant.path) for launch in launches))


def named_lines(output):
    return {int(number) for number in re.findall(r"^mkmedia check: kp/windows/install\.cfg line (\d+): ", output, re.M)}


class CheckGivesInstallsVerdict(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp()
        inputs = os.path.join(cls.work, "in")
        for name, data in (("runtime/bin/launch.exe", read(os.path.join(BIN, "stubs", "launch.exe"))),
                           ("runtime/lib/rt.jar", b"rt"),
                           ("app/lib/kp.jar", jar(SETUP, REGISTER, CLASS_78, CLASS_79, CLASS_126)),
                           (f"{LONG_PRODUCT}/doc/readme.txt", b"r"), ("extra/kp/classes/x.jar", b"x"),
                           ("extra/kp/more/y.jar", b"y"), ("extra/kp/tools/tool.txt", b"t")):
            write(os.path.join(inputs, name), data)
        for place in (MEDIA, COMMON):
            shutil.rmtree(place, ignore_errors=True)
        result = mkmedia(["--arch", LANE, "--dist", BIN, "--runtime", os.path.join(inputs, "runtime"),
                          "--product", os.path.join(inputs, LONG_PRODUCT), "--product", os.path.join(inputs, "app"),
                          "--media-files", os.path.join(inputs, "extra"), "--class", SETUP, "--output", MEDIA])
        assert result.returncode == 0, result.stderr
        # Unsigned media: check would report every hand edit as differing from the manifest.
        os.remove(os.path.join(MEDIA, "media.manifest"))
        # A first run unpacks the archives; each row's run then finds every record current.
        write(os.path.join(MEDIA, "kp", "windows", "install.cfg"), BASE.replace("\n", "\r\n").encode("ascii"))
        run_install()

    @classmethod
    def tearDownClass(cls):
        for place in (cls.work, MEDIA, COMMON):
            shutil.rmtree(place, ignore_errors=True)

    def test_check_exits_0_exactly_when_install_reads_the_file_as_meant(self):
        for what, config, meant, as_meant, mistakes in ROWS:
            with self.subTest(what):
                write(os.path.join(MEDIA, "kp", "windows", "install.cfg"), config.replace("\n", "\r\n").encode("ascii"))
                check = subprocess.run([sys.executable, TOOL, "check", MEDIA, "--media-root", "C:\\media"],
                                       capture_output=True, text=True, timeout=120)
                trace, launches = run_install()

                self.assertEqual(install_verdict(trace, launches, meant), as_meant, (trace, launches))
                self.assertEqual(check.returncode, 0 if as_meant else 1, check.stdout + check.stderr)
                lines = config.split("\n")
                self.assertEqual(named_lines(check.stdout),
                                 {next(number for number, line in enumerate(lines, 1) if line.startswith(mistake))
                                  for mistake in mistakes}, check.stdout)
                self.assertNotIn("outside plain ASCII", check.stdout)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1] + sys.argv[3:], verbosity=2)
