"""The manifest of the media: every file install reads, unpacks or starts, with its SHA-256 and
size, in a text a person can read. scripts/sign-media.sh signs it; a signed install.exe uses
nothing from the media that it does not list as it stands."""
import hashlib
import os
import re

# Beside install.exe, at the media's root (or an update folder's).
MANIFEST = "media.manifest"
SIGNATURE = "media.manifest.p7s"
FIRST_LINE = "# bravik media manifest 1: SHA-256, size in bytes, path below the media root"
# install.exe carries its own (Authenticode) signature; the manifest cannot list itself.
NOT_LISTED = ("install.exe", MANIFEST, SIGNATURE, "media.manifest.tsr")
CHUNK = 1024 * 1024
# A manifest line as install takes it: 64 hex digits, a blank, the size in decimal, a blank, a path.
MANIFEST_LINE = re.compile(r"([0-9A-Fa-f]{64}) ([0-9]+) (.+)\Z", re.S)


def file_digest(path):
    """(SHA-256 in lower-case hex, size) of a file."""
    digest = hashlib.sha256()
    size = 0
    with open(path, "rb") as file:
        while chunk := file.read(CHUNK):
            digest.update(chunk)
            size += len(chunk)
    return digest.hexdigest(), size


def listed_paths(root):
    """Every file below root the manifest lists, by its path with "/", in a stable order."""
    paths = []
    for folder, folders, names in os.walk(root):
        folders.sort()
        inside = os.path.relpath(folder, root).replace(os.sep, "/")
        for name in sorted(names):
            path = ("" if inside == "." else inside + "/") + name
            if path.lower() not in NOT_LISTED:
                paths.append(path)
    return paths


def manifest_text(root):
    """The manifest of the files below root: one line per file, "<sha256> <size> <path>" with
    "\\" between folders, lines ended by CR LF."""
    lines = [FIRST_LINE]
    for path in listed_paths(root):
        digest, size = file_digest(os.path.join(root, *path.split("/")))
        lines.append(f"{digest} {size} {path.replace('/', chr(92))}")
    return "\r\n".join(lines) + "\r\n"


def write_manifest(root):
    with open(os.path.join(root, MANIFEST), "w", encoding="utf-8", newline="") as out:
        out.write(manifest_text(root))


def read_manifest(path):
    """{lower-case path with "/": (sha256, size, path as listed)} of a manifest file, parsed as
    install parses it; a line install would not take raises ValueError in install's words."""
    entries = {}
    with open(path, encoding="utf-8", newline="") as file:
        lines = file.read().split("\n")
    for number, line in enumerate(lines, 1):
        line = line[:-1] if line.endswith("\r") else line
        if not line or line.startswith("#"):
            continue
        match = MANIFEST_LINE.match(line)
        listed = match and match[3]
        if not match or listed.startswith("\\") or ":" in listed or ".." in listed or \
                listed.replace("\\", "/").lower() in entries:
            raise ValueError(f"line {number} is not \"<SHA-256> <size> <path>\"")
        entries[listed.replace("\\", "/").lower()] = (match[1].lower(), int(match[2]), listed)
    return entries


def unlisted_files(root, findings):
    """Adds a finding for every file that the manifest at root does not cover as it stands."""
    manifest = os.path.join(root, MANIFEST)
    if not os.path.isfile(manifest):
        return
    try:
        entries = read_manifest(manifest)
    except (ValueError, UnicodeDecodeError) as error:
        findings.add(MANIFEST, f"cannot be read ({error}): a signed install.exe refuses these media")
        return
    for path in listed_paths(root):
        entry = entries.pop(path.lower(), None)
        if entry is None:
            findings.add(path, "is not in the manifest: a signed install.exe does not use it")
        elif file_digest(os.path.join(root, *path.split("/"))) != entry[:2]:
            findings.add(path, "differs from the manifest: a signed install.exe stops at it")
    for _, _, listed in entries.values():
        findings.add(listed.replace("\\", "/"), "is in the manifest but not in the media")
