#!/usr/bin/env python3
"""Checks the deliverables of one architecture as files, without Windows: the machine and
optional-header kind, the subsystem, the system DLLs imported, for the JNI libraries the
export table against the method table javac -h wrote from the Java declarations, the execution
level the manifest asks for (only the programs have one), the fixed version record against
the build's version, and what makes the files reproducible and their signatures removable: every
time stamp is the sources' time (or zero), the PE checksum is that of the bytes, and the length
is a multiple of 8 (a signature pads the file to that, and removing it must give the same bytes).

Usage: pe_check.py <lane x86|x64> <dist-dir> <jni-header-dir> <version, e.g. 1.0.0> <time stamp>
"""
import array
import os
import re
import struct
import sys
import xml.etree.ElementTree as ElementTree

MACHINE = {"x86": 0x014C, "x64": 0x8664}
MAGIC = {"x86": 0x10B, "x64": 0x20B}  # PE32, PE32+
SUBSYSTEM_GUI = 2
FILE_DLL = 0x2000
RESOURCE_DIRECTORY = 2
RT_VERSION, RT_MANIFEST = 16, 24
MANIFEST_ID = 1  # CREATEPROCESS_MANIFEST_RESOURCE_ID, the one the loader reads for a program
VERSION_ID = 1  # VS_VERSION_INFO
SUBDIRECTORY = 0x80000000  # an entry's target is a directory, not a data entry
VERSION_KEY = "VS_VERSION_INFO\0".encode("utf-16-le")
FIXED_FILE_INFO_SIGNATURE = 0xFEEF04BD
# UAC reads the execution level from this namespace only; an element elsewhere is ignored.
EXECUTION_LEVEL = "{urn:schemas-microsoft-com:asm.v3}requestedExecutionLevel"

# Each deliverable: the DLLs it may import (no other), for a JNI library its javac -h header,
# and the execution level its manifest asks for (None: no manifest).
DELIVERABLES = {
    "install.exe": ({"kernel32.dll", "user32.dll", "advapi32.dll", "msvcrt.dll"}, None, "requireAdministrator"),
    "Splash.exe": ({"kernel32.dll", "user32.dll", "gdi32.dll", "msvcrt.dll"}, None, "asInvoker"),
    "sysnat.dll": ({"kernel32.dll", "msvcrt.dll"}, "com_bravik_application_install_windows_KPNativeWin.h", None),
    "hivenat.dll": ({"kernel32.dll", "advapi32.dll", "msvcrt.dll"}, "com_bravik_service_registry_NativeRegistryKey.h",
                    None),
}


class PeImage:
    """The headers, sections and directories of a PE32 or PE32+ file."""

    def __init__(self, path):
        with open(path, "rb") as f:
            self.data = f.read()
        if self.data[:2] != b"MZ":
            raise ValueError(path + " has no DOS header")
        nt = struct.unpack_from("<I", self.data, 0x3C)[0]
        if self.data[nt:nt + 4] != b"PE\0\0":
            raise ValueError(path + " has no PE signature")
        (self.machine, sections, self.time_stamp, _, _, optional_size, self.characteristics) = struct.unpack_from(
            "<HHIIIHH", self.data, nt + 4)
        optional = nt + 24
        self.magic, = struct.unpack_from("<H", self.data, optional)
        self.checksum_offset = optional + 64
        self.checksum, = struct.unpack_from("<I", self.data, self.checksum_offset)
        self.subsystem, = struct.unpack_from("<H", self.data, optional + 68)
        directories = optional + (96 if self.magic == 0x10B else 112)
        count, = struct.unpack_from("<I", self.data, directories - 4)
        self.directories = [struct.unpack_from("<II", self.data, directories + 8 * i) for i in range(count)]
        self.sections = []
        table = optional + optional_size
        for i in range(sections):
            _, vsize, vaddr, rsize, raw = struct.unpack_from("<8sIIII", self.data, table + 40 * i)
            self.sections.append((vaddr, max(vsize, rsize), raw))

    def offset(self, rva):
        for vaddr, size, raw in self.sections:
            if vaddr <= rva < vaddr + size:
                return rva - vaddr + raw
        raise ValueError("address 0x%x outside every section" % rva)

    def u16(self, rva):
        return struct.unpack_from("<H", self.data, self.offset(rva))[0]

    def u32(self, rva):
        return struct.unpack_from("<I", self.data, self.offset(rva))[0]

    def string(self, rva):
        start = self.offset(rva)
        return self.data[start:self.data.index(b"\0", start)].decode("latin-1")

    def imports(self):
        rva, size = self.directories[1]
        names = []
        while rva and size:
            name = self.u32(rva + 12)
            if name == 0:
                break
            names.append(self.string(name))
            rva += 20
        return names

    def exports(self):
        rva, size = self.directories[0]
        if not rva:
            return []
        count, table = self.u32(rva + 24), self.u32(rva + 32)
        return [self.string(self.u32(table + 4 * i)) for i in range(count)]

    def directory_time_stamps(self):
        """The time stamps of the export and resource directories that the file has."""
        return [self.u32(self.directories[i][0] + 4) for i in (0, RESOURCE_DIRECTORY)
                if len(self.directories) > i and self.directories[i][0]]

    def computed_checksum(self):
        """The PE checksum of the bytes: their 16-bit words added with end-around carry, the
        checksum field itself left out, plus the length."""
        data = bytearray(self.data)
        data[self.checksum_offset:self.checksum_offset + 4] = bytes(4)
        if len(data) % 2:
            data.append(0)
        words = array.array("H", bytes(data))
        if sys.byteorder == "big":
            words.byteswap()
        total = sum(words)
        while total >> 16:
            total = (total & 0xFFFF) + (total >> 16)
        return total + len(self.data)

    def resource(self, kind, ident):
        """The bytes of the resource of that numeric type and id, in its first language; None
        when there is none."""
        if len(self.directories) <= RESOURCE_DIRECTORY or not self.directories[RESOURCE_DIRECTORY][0]:
            return None
        root = self.directories[RESOURCE_DIRECTORY][0]
        target = SUBDIRECTORY  # the root directory, at offset 0
        for wanted in (kind, ident, None):  # the type, name and language levels
            if not target & SUBDIRECTORY:
                raise ValueError("resource tree ends above the language level")
            directory = root + (target & ~SUBDIRECTORY)
            count = self.u16(directory + 12) + self.u16(directory + 14)
            entries = [(self.u32(directory + 16 + 8 * i), self.u32(directory + 20 + 8 * i)) for i in range(count)]
            matches = [entry_target for name, entry_target in entries if wanted is None or name == wanted]
            if not matches:
                return None
            target = matches[0]
        if target & SUBDIRECTORY:
            raise ValueError("resource tree deeper than type, name and language")
        rva, size = self.u32(root + target), self.u32(root + target + 4)
        start = self.offset(rva)
        return self.data[start:start + size]


def method_table(header):
    """Each native method of a javac -h header with the argument bytes of its 32-bit export."""
    text = open(header).read()
    methods = []
    for name, params in re.findall(r"JNICALL (Java_\w+)\s*\(([^)]*)\)", text):
        types = [p.strip() for p in params.split(",")]
        methods.append((name, sum(8 if t in ("jlong", "jdouble") else 4 for t in types)))
    if not methods:
        raise ValueError(header + " declares no native method")
    return methods


def execution_level(manifest):
    """The level of the one requestedExecutionLevel element UAC reads; raises on malformed XML,
    for which Windows would refuse to start the program."""
    levels = [e.get("level") for e in ElementTree.fromstring(manifest).iter(EXECUTION_LEVEL)]
    if len(levels) != 1:
        raise ValueError("%d execution levels in the manifest" % len(levels))
    return levels[0]


def fixed_versions(version_info):
    """(file version, product version) of a VS_VERSIONINFO, each as four numbers."""
    if version_info[6:6 + len(VERSION_KEY)] != VERSION_KEY:
        raise ValueError("version resource without its VS_VERSION_INFO key")
    fixed = (6 + len(VERSION_KEY) + 3) & ~3  # the record starts on the next 32-bit boundary
    signature, _, file_ms, file_ls, product_ms, product_ls = struct.unpack_from("<6I", version_info, fixed)
    if signature != FIXED_FILE_INFO_SIGNATURE:
        raise ValueError("fixed version record signature 0x%08x" % signature)
    return ((file_ms >> 16, file_ms & 0xFFFF, file_ls >> 16, file_ls & 0xFFFF),
            (product_ms >> 16, product_ms & 0xFFFF, product_ls >> 16, product_ls & 0xFFFF))


def export_names(lane, methods):
    if lane == "x86":
        return sorted("_%s@%d" % (name, size) for name, size in methods)
    return sorted(name for name, _ in methods)


def check(lane, dist, headers, version, time_stamp):
    failures = []
    for file, (allowed, header, level) in DELIVERABLES.items():
        path = os.path.join(dist, file)
        try:
            pe = PeImage(path)
            problems = []
            if pe.machine != MACHINE[lane] or pe.magic != MAGIC[lane]:
                problems.append("machine 0x%04x, optional header 0x%x" % (pe.machine, pe.magic))
            is_dll = bool(pe.characteristics & FILE_DLL)
            if is_dll != file.endswith(".dll"):
                problems.append("DLL flag %s" % is_dll)
            if file.endswith(".exe") and pe.subsystem != SUBSYSTEM_GUI:
                problems.append("subsystem %d, not GUI" % pe.subsystem)
            extra = sorted(d for d in pe.imports() if d.lower() not in allowed)
            if extra:
                problems.append("imports %s" % extra)
            if header:
                want = export_names(lane, method_table(os.path.join(headers, header)))
                got = sorted(pe.exports())
                if got != want:
                    missing, extra = sorted(set(want) - set(got)), sorted(set(got) - set(want))
                    problems.append("exports: %d missing (first %s), %d extra (first %s)" %
                                    (len(missing), missing[:1], len(extra), extra[:1]))
            elif pe.exports():
                problems.append("exports %s" % pe.exports())
            manifest = pe.resource(RT_MANIFEST, MANIFEST_ID)
            got_level = manifest and execution_level(manifest)
            if got_level != level:
                problems.append("manifest execution level %s, not %s" % (got_level, level))
            version_info = pe.resource(RT_VERSION, VERSION_ID)
            if version_info is None:
                problems.append("no version resource")
            elif fixed_versions(version_info) != (version, version):
                problems.append("file and product version %s, not %s" % (fixed_versions(version_info), version))
            stamps = [pe.time_stamp] + pe.directory_time_stamps()
            if pe.time_stamp != time_stamp or any(stamp not in (0, time_stamp) for stamp in stamps):
                problems.append("time stamps %s, not the sources' %d" % (stamps, time_stamp))
            if pe.checksum != pe.computed_checksum():
                problems.append("PE checksum 0x%x, the bytes give 0x%x" % (pe.checksum, pe.computed_checksum()))
            if len(pe.data) % 8:
                problems.append("length %d is not a multiple of 8" % len(pe.data))
        except (OSError, ValueError, struct.error, ElementTree.ParseError) as error:
            problems = [str(error)]
        print("%s %s/%s%s" % ("FAIL" if problems else "ok  ", lane, file, "".join("\n     " + p for p in problems)))
        if problems:
            failures.append(file)
    return failures


if __name__ == "__main__":
    lane, dist, headers, version_text, time_stamp = sys.argv[1:6]
    # The project version has up to four numbers; the fixed record always holds four.
    version = tuple(int(n) for n in (version_text.split(".") + ["0"] * 3)[:4])
    failed = check(lane, dist, headers, version, int(time_stamp))
    print("%d passed, %d failed" % (len(DELIVERABLES) - len(failed), len(failed)))
    sys.exit(1 if failed else 0)
