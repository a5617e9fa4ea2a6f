#!/usr/bin/env python3
"""Checks the deliverables of one architecture as files, without Windows: the machine and
optional-header kind, the subsystem, the system DLLs imported, and for the JNI libraries the
export table against the method table javac -h wrote from the Java declarations.

Usage: pe_check.py <lane x86|x64> <dist-dir> <jni-header-dir>
"""
import os
import re
import struct
import sys

MACHINE = {"x86": 0x014C, "x64": 0x8664}
MAGIC = {"x86": 0x10B, "x64": 0x20B}  # PE32, PE32+
SUBSYSTEM_GUI = 2
FILE_DLL = 0x2000

# Each deliverable: the DLLs it may import (no other), and for a JNI library its javac -h header.
DELIVERABLES = {
    "install.exe": ({"kernel32.dll", "user32.dll", "advapi32.dll", "msvcrt.dll"}, None),
    "Splash.exe": ({"kernel32.dll", "user32.dll", "gdi32.dll", "msvcrt.dll"}, None),
    "sysnat.dll": ({"kernel32.dll", "msvcrt.dll"}, "com_bravik_application_install_windows_KPNativeWin.h"),
    "hivenat.dll": ({"kernel32.dll", "advapi32.dll", "msvcrt.dll"}, "com_bravik_service_registry_NativeRegistryKey.h"),
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
        (self.machine, sections, _, _, _, optional_size, self.characteristics) = struct.unpack_from(
            "<HHIIIHH", self.data, nt + 4)
        optional = nt + 24
        self.magic, = struct.unpack_from("<H", self.data, optional)
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


def export_names(lane, methods):
    if lane == "x86":
        return sorted("_%s@%d" % (name, size) for name, size in methods)
    return sorted(name for name, _ in methods)


def check(lane, dist, headers):
    failures = []
    for file, (allowed, header) in DELIVERABLES.items():
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
        except (OSError, ValueError, struct.error) as error:
            problems = [str(error)]
        print("%s %s/%s%s" % ("FAIL" if problems else "ok  ", lane, file, "".join("\n     " + p for p in problems)))
        if problems:
            failures.append(file)
    return failures


if __name__ == "__main__":
    lane, dist, headers = sys.argv[1:4]
    failed = check(lane, dist, headers)
    print("%d passed, %d failed" % (len(DELIVERABLES) - len(failed), len(failed)))
    sys.exit(1 if failed else 0)
