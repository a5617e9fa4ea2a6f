"""What install.exe and Windows can hold, and where things stand on the media."""
import os
import re

# install.exe reads [CLASS], [PARAMETERS], [SPLASH_BITMAP], [CLASSPATH] and [PATH] lines in
# 80-byte pieces and [ZIP_FILES] lines in 128-byte pieces: a longer line arrives as two.
SHORT_LINE = 78
LONG_LINE = 126
CLASS_SLOTS = 10
ZIP_SLOTS = 30
DELETE_SLOTS = {"[DELETE_COMMON_FILES]": 40, "[POST_DELETE_COMMON_FILES]": 30}
# The longest common folder on a default system: a 32-bit program on 64-bit Windows is given
# "Program Files (x86)" as its Common Files folder. The runtime goes into its longer child.
LONGEST_COMMON = "C:\\Program Files (x86)\\Common Files\\bravik\\"
LONGEST_DESTINATION = LONGEST_COMMON + "jre"
# The families of Windows the media may serve. The 95 family's file functions take no path of
# MAX_PATH or more, so install leaves a deeper entry packed there; the NT family gets it through
# the "\\?\" form, which still holds a name to 255 characters and a path to 32,767.
FAMILIES = ("all", "nt")
# A 64-bit install.exe never runs on the 95 family: media for x64 serve the NT family alone.
ARCH_FAMILIES = {"x86": "all", "x64": "nt"}
LONGEST_ENTRY_95 = 260 - 2 - len(LONGEST_DESTINATION)
LONGEST_COMPONENT = 255
LONGEST_LONG_PATH = 32767
LONG_PATH_PREFIX = "\\\\?\\"
# What a variable's value may hold: 32,767 with its terminator. install refuses to start Java
# with a longer class path, and leaves out search-path entries past it.
VALUE_LIMIT = 32766
# The 95 family keeps its whole environment block within 32,767 bytes, so there the class path
# and the search path share what the other variables leave. Those, with the machine's own search
# path, are kept this much; a 95-family machine's environment is a few hundred bytes.
BLOCK_LIMIT_95 = 32767
ALLOWANCE_95 = 4096
TOGETHER_LIMIT_95 = BLOCK_LIMIT_95 - ALLOWANCE_95
# Where the media is assumed to be when no --media-root is given: the Downloads folder of a user
# with the longest name Windows allows (20 characters), the media's folder twice, as Windows'
# "Extract All" unpacks a zip that holds the folder.
DEFAULT_MEDIA_ROOT = "C:\\Users\\username-of-20-chars\\Downloads\\{name}\\{name}"
STAMP_LIMIT = 2**31 - 1
# What Windows gives a file it writes; an entry without attributes would get Unix ones from zipfile.
ARCHIVE_ATTRIBUTE = 0x20

MACHINES = {"x86": 0x014C, "x64": 0x8664}
DIST_FOLDERS = {"x86": "dist", "x64": os.path.join("dist", "x64")}
NATIVES = ("sysnat.dll", "hivenat.dll")
# The languages install can choose a splash folder for; in the C library's "C" locale, which is
# the one it runs in, it always chooses "en".
SPLASH_LANGUAGES = ("en", "de", "ru", "pt", "it", "cs", "ct")
SPLASH_LANGUAGE_CHOSEN = "en"

# Where things stand on the media, and inside the archives, with "/" between folders.
PROGRAM = "install.exe"
SPLASH_PROGRAM = "kp/bin/Splash.exe"
CONFIG_FILE = "kp/windows/install.cfg"
RUNTIME_ARCHIVE = "kp/windows/jre.zip"
PRODUCT_FOLDER = "kp/zip"
# The runtime's bin folder: the natives go beside its launcher, and a product's bin folder too
# ends up on the search path.
NATIVES_FOLDER = "bin"
LAUNCHER = "launch.exe"
# Folders whose archives end up on the class path, and whose programs on the search path, once
# the archives are unpacked (<common>\jre\..., <common>\kp\...) or from the media itself.
RUNTIME_CLASS_FOLDERS = ("lib",)
PRODUCT_CLASS_FOLDERS = ("lib", "data")
MEDIA_CLASS_FOLDERS = ("kp/lib", "jre/lib")
MEDIA_PROGRAM_FOLDERS = ("kp/bin", "jre/bin")
REQUIRED_ARCHIVES = ("rt.jar", "kp.jar")

FORBIDDEN_CHARACTERS = set('<>:"|?*\\')
DEVICE_NAMES = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"} | {
    prefix + digit for prefix in ("COM", "LPT") for digit in "123456789\u00b9\u00b2\u00b3"}
ARCHIVE_NAME = re.compile(r"[A-Za-z0-9][A-Za-z0-9._-]*\Z")
CONFIG_HEAD = "Written by mkmedia. Lines outside the sections, like this one, are free text."


class Refusals:
    """Every input the media cannot hold, each with the input it is about."""

    def __init__(self):
        self.messages = []

    def add(self, what, problem):
        self.messages.append(f"{what}: {problem}")


def families_of(arch, given):
    """(the families media of an architecture serve, None), or (None, why the families given
    make no sense for it)."""
    if given is None:
        return ARCH_FAMILIES[arch], None
    if given == "all" and ARCH_FAMILIES[arch] == "nt":
        return None, (f"{arch} media serve the NT family alone, since a 64-bit install.exe never runs on the 95 "
                      f"family: --families all is meaningless for them; leave it out, or give nt")
    return given, None


def quoted(text):
    """The text in quotes as it was given: repr() would double every backslash of a Windows
    path, and a release engineer copies these paths back into options."""
    return "'" + "".join(c if c >= " " else f"\\x{ord(c):02x}" for c in text) + "'"
