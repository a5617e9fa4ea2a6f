"""The archives of the media: how they are written, their stamps, and what an earlier release's
archives held."""
import os
import shutil
import time
import zipfile
import zlib

from .limits import ARCHIVE_ATTRIBUTE, STAMP_LIMIT


def entry_time(stamp):
    """The date and time every entry of an archive carries: the stamp's, in UTC, so that the
    archive is the same on every host; install gives each file this time, read as local time.
    The zip format starts in 1980."""
    return max(time.gmtime(stamp)[:6], (1980, 1, 1, 0, 0, 0))


def entry_info(name, stamp):
    info = zipfile.ZipInfo(name, entry_time(stamp))
    info.compress_type = zipfile.ZIP_DEFLATED
    # Fields that would otherwise say which system wrote the archive.
    info.create_system = 0
    info.external_attr = ARCHIVE_ATTRIBUTE
    return info


def write_archive(path, version_name, files, stamp):
    """A zip of the version entry and the files in their order, with no field that depends on
    the host or the time of writing. Names beyond ASCII go in UTF-8 with flag bit 11."""
    with zipfile.ZipFile(path, "w", allowZip64=True) as archive:
        archive.writestr(entry_info(version_name, stamp), f"date={stamp}".encode("ascii"))
        for entry, source in files:
            info = entry_info(entry, stamp)
            if isinstance(source, bytes):
                archive.writestr(info, source)
                continue
            info.file_size = os.path.getsize(source)
            with open(source, "rb") as data, archive.open(info, "w") as packed:
                shutil.copyfileobj(data, packed, 1 << 20)


def read_stamp(text):
    """The stamp of a version entry's text as install reads it: the number after the first '='
    as the C library's atol takes it, 0 when there is none."""
    value = text.partition("=")[2] if "=" in text else ""
    digits = value.lstrip(" \t\r\n\v\f")
    sign = -1 if digits[:1] == "-" else 1
    digits = digits[1:] if digits[:1] in "+-" and digits else digits
    number = ""
    for c in digits:
        if not c.isdigit():
            break
        number += c
    return sign * int(number) if number else 0


def archive_stamp(archive, version_name):
    """The stamp of an open archive's version entry (its name compared without regard to case),
    or 0 when it has none."""
    for info in archive.infolist():
        if info.filename.lower() == version_name.lower():
            return read_stamp(archive.read(info).decode("latin-1"))
    return 0


def default_stamp(environ, refusals):
    """The stamp of archives that changed: SOURCE_DATE_EPOCH when it is set, as for the rest of
    a reproducible build, otherwise the time of the build. Never a file's time: a copy keeps
    its files' times, and an older file in a new release would not order it after the last."""
    given = environ.get("SOURCE_DATE_EPOCH")
    if given is None:
        return int(time.time())
    if not given.isdigit():
        refusals.add(f"SOURCE_DATE_EPOCH {given}", "is not a number of seconds since 1970")
        return 0
    return int(given)


def source_bytes(source):
    if isinstance(source, bytes):
        return source
    with open(source, "rb") as data:
        return data.read()


def same_content(path, version_name, files):
    """True when the archive at path holds exactly these files, by name and bytes, beside its
    version entry; the entries' times and the version entry do not count."""
    with zipfile.ZipFile(path) as archive:
        infos = [info for info in archive.infolist() if info.filename.lower() != version_name.lower()]
        if sorted(info.filename for info in infos) != sorted(entry for entry, _ in files):
            return False
        held = {info.filename: info for info in infos}
        for entry, source in files:
            data = source_bytes(source)
            info = held[entry]
            if info.file_size != len(data) or info.CRC != zlib.crc32(data) or archive.read(info) != data:
                return False
    return True


class PreviousMedia:
    """The archives of an earlier release's media, for the stamps of the next."""

    def __init__(self, root):
        self.root = root

    def archive(self, media_path):
        path = os.path.join(self.root, *media_path.split("/"))
        return path if os.path.isfile(path) else None

    def stamp_for(self, media_path, version_name, files, stamp):
        """The stamp an archive gets against this release, and why it cannot get one or None:
        unchanged it keeps the earlier stamp, so install does not unpack it again; changed it
        must get a greater one, or install would skip it on every machine that has the earlier."""
        path = self.archive(media_path)
        if path is None:
            return stamp, None
        try:
            with zipfile.ZipFile(path) as archive:
                earlier = archive_stamp(archive, version_name)
            unchanged = same_content(path, version_name, files)
        except (OSError, zipfile.BadZipFile) as error:
            return stamp, f"its archive in --previous {self.root} cannot be read ({error})"
        if unchanged and earlier:
            return earlier, None
        if stamp <= earlier:
            return stamp, (f"changed since --previous {self.root}, whose stamp is {earlier}, and the stamp {stamp} "
                           f"is not greater, so install would skip it where that release is installed; give a "
                           f"later SOURCE_DATE_EPOCH or --stamp")
        return stamp, None


def archive_stamps(archives, given, previous, refusals):
    """The stamp of each (what, media path, version name, files), in order."""
    stamps = []
    for what, media_path, version_name, files in archives:
        stamp = given
        if previous is not None:
            stamp, problem = previous.stamp_for(media_path, version_name, files, given)
            if problem:
                refusals.add(what, problem)
        if files and not 1 <= stamp <= STAMP_LIMIT:
            refusals.add(what, f"the stamp {stamp} is not between 1 and {STAMP_LIMIT}: install keeps it in a "
                               "signed 32-bit number and takes 0 for no stamp; give another with --stamp")
        stamps.append(stamp)
    return stamps
