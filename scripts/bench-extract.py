#!/usr/bin/env python3
"""Extraction benchmark.

Builds a runtime-sized archive from files on this machine (the installed JDK plus a tree of
small headers: 2,000+ entries, 100+ MB unpacked), then times, in one run on the same machine:
  - install.exe under Wine unpacking it as the media's jre.zip,
  - minizip's own miniunz, built for the same target, under Wine in the same prefix,
  - Info-ZIP unzip, natively;
three times each after a run that is not counted, and prints the medians and ratios. It also times a second install.exe run
with every version record current, against the bare start of a Windows program under Wine.

Then it shows where install.exe's extraction time goes:
  - platform calls per unpacked entry: Wine's relay trace of the calls install.exe itself makes
    (to KERNEL32, msvcrt, ...), in a prefix of its own, with the archive minus without it;
  - seconds per phase (walk, names, create, open, read, inflate, write, finish, wait): from a
    build of its own configured with -DEXTRACT_TIMING=ON in build/bench-<lane>, whose
    install.exe appends a line per archive to the file EXTRACT_TIMING_REPORT names. Workers'
    phases add up over threads, so on more than one thread they can exceed the wall time.

Usage: scripts/bench-extract.py [build-dir] [--against OLD-install.exe] [--sign-media] [--install-only]
(after `make`)
Without a build tree it takes the x86 one where this machine runs 32-bit programs, otherwise
the x64 one, and says which. --against times another install.exe (an older build, say) in the
same runs, turn about with the current one. --sign-media gives the media a manifest, signed by
scripts/sign-media.sh with the key the BRAVIK_SIGN_* settings name: an install.exe built with
that key's certificate (build/x64/bin/pinned/install.exe for the build tree's test keys) given to
--against then checks the media, against the build's own in the same runs, for the cost of
signed media. --install-only stops after the install.exe runs: first runs, then re-runs with
every version record current.
"""
import argparse
import collections
import os
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import time
import zipfile

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
RUNS = 3
MIN_ENTRIES = 2000
MIN_BYTES = 100 * 1024 * 1024


def lane_of(build):
    """The lane of a build tree: its name, loader, Wine environment and why it cannot run here."""
    script = '. "$0/scripts/wine-env.sh" "$1" && printf "%s\\n" "$lane" "$WINELOADER" "$(lane_unavailable)" && env -0'
    out = subprocess.run(["bash", "-c", script, TOP, build], check=True, capture_output=True).stdout.decode()
    lane, loader, why, environment = out.split("\n", 3)
    env = dict(item.split("=", 1) for item in environment.split("\0") if "=" in item)
    env.pop("DISPLAY", None)
    return lane, loader, env, why


def choose_build(requested):
    if requested:
        build = os.path.abspath(requested)
    else:
        build = os.path.join(TOP, "build", "x86")
        if lane_of(build)[3]:
            build = os.path.join(TOP, "build", "x64")
    lane, loader, env, why = lane_of(build)
    if why:
        sys.exit("cannot benchmark here: " + why)
    print("lane: %s (%s, %s)" % (lane, build, loader))
    return build, lane, loader, env


def timed(command, cwd=None, env=None):
    start = time.perf_counter()
    subprocess.run(command, cwd=cwd, env=env, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return time.perf_counter() - start


def median_of(prepare, command, cwd=None, env=None, runs=RUNS):
    """The median of runs timed runs after one that is not counted (caches, Wine's start)."""
    prepare()
    timed(command, cwd, env)
    times = []
    for _ in range(runs):
        prepare()
        times.append(timed(command, cwd, env))
    return statistics.median(times), times


class Trash:
    """A folder beside the outputs that they are moved into between runs, removed at the end."""

    def __init__(self, parent):
        self.folder = tempfile.mkdtemp(prefix="bench-trash-", dir=parent)
        self.count = 0

    def take(self, path):
        if os.path.exists(path):
            self.count += 1
            os.rename(path, os.path.join(self.folder, str(self.count)))

    def empty(self):
        shutil.rmtree(self.folder, ignore_errors=True)


def build_timing_tree(lane):
    """The install.exe of build/bench-<lane>, built with the extraction timing switch on."""
    tree = os.path.join(TOP, "build", "bench-" + lane)
    subprocess.run(["cmake", "--preset", lane, "-B", tree, "-DEXTRACT_TIMING=ON", "-DBUILD_TESTING=OFF"],
                   cwd=TOP, check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", tree, "--target", "install_exe", "-j", "2"], cwd=TOP, check=True,
                   stdout=subprocess.DEVNULL)
    return tree


def relay_prefix(tree, bench):
    """A prefix of the timing tree whose relay trace shows every call install.exe makes, with
    C:\\bench shared with the benchmark's prefix."""
    subprocess.run([os.path.join(TOP, "scripts", "wine-prefix.sh"), tree], check=True, stdout=subprocess.DEVNULL)
    env = lane_of(tree)[2]
    reg = os.path.join(tree, "relay.reg")
    with open(reg, "w") as out:
        out.write("REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Wine\\Debug]\n"
                  "\"RelayInclude\"=-\n\"RelayFromInclude\"=\"install.exe\"\n")
    subprocess.run([env["WINELOADER"], "regedit", "/S", "Z:" + reg.replace("/", "\\")], env=env, check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run([env["WINELOADER"], "wineserver", "-w"], env=env, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    link = os.path.join(env["WINEPREFIX"], "drive_c", "bench")
    if os.path.islink(link):
        os.unlink(link)
    shutil.rmtree(link, ignore_errors=True)
    os.symlink(bench, link)
    return env


def image_range(program):
    """The addresses a program's image takes when loaded at its preferred base."""
    with open(program, "rb") as image:
        data = image.read(4096)
    header = struct.unpack_from("<I", data, 0x3C)[0] + 24
    if struct.unpack_from("<H", data, header)[0] == 0x20B:
        base = struct.unpack_from("<Q", data, header + 24)[0]
    else:
        base = struct.unpack_from("<I", data, header + 28)[0]
    return base, base + struct.unpack_from("<I", data, header + 56)[0]


def builtin_dll(lane, name):
    """The file of one of Wine's own DLLs for the lane's architecture."""
    triplet, folder = ("i386-linux-gnu", "i386-windows") if lane == "x86" else ("x86_64-linux-gnu", "x86_64-windows")
    return "/usr/lib/%s/wine/%s/%s" % (triplet, folder, name)


def platform_calls(env, command, cwd, program, lane):
    """Calls to the system DLLs made in one run by install.exe, directly or through the C
    runtime's own file functions, by function: the relay trace lines of its process whose return
    address lies in its image or in msvcrt's. The C runtime's own functions count apart."""
    traced = dict(env, WINEDEBUG="+pid,+relay,+loaddll")
    run = subprocess.run(command, cwd=cwd, env=traced, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    lines = run.stderr.decode(errors="replace").splitlines()
    name = os.path.basename(program).lower()
    process = None
    ranges = []
    for line in lines:
        if ":trace:loaddll:" not in line or " at " not in line:
            continue
        pid = line.split(":", 1)[0]
        loaded = line.split('"')[1].lower()
        base = int(line.rsplit(" at ", 1)[1].split(":")[0], 16)
        if loaded.endswith("\\" + name) and process is None:
            process = pid
            low, high = image_range(program)
            ranges.append((base, base + high - low, False))
        elif loaded.endswith("\\msvcrt.dll") and pid == process:
            low, high = image_range(builtin_dll(lane, "msvcrt.dll"))
            ranges.append((base, base + high - low, True))
    calls = collections.Counter()
    for line in lines:
        at = line.find(":Call ")
        ret = line.rfind(" ret=")
        if at < 0 or ret < at or line.split(":", 1)[0] != process:
            continue
        callee = line[at + 6:line.index("(", at)]
        address = int(line[ret + 5:], 16)
        for low, high, runtime in ranges:
            if low <= address < high and not (runtime and callee.lower().startswith(("msvcrt.", "ucrtbase."))):
                calls[callee] += 1
    return calls


def read_timing(path):
    """The phases of the timing report's first archive, as a dict of numbers."""
    with open(path) as report:
        fields = report.readline().split()
    return {key: float(value) for key, value in (f.split("=", 1) for f in fields if not f.startswith("archive="))}


def print_breakdown(label, timing, calls, entries):
    print()
    print("where %s's extraction time goes (timing build, one run)" % label)
    wall = timing["wall"]
    phases = ["walk", "names", "create", "open", "read", "inflate", "write", "finish", "wait"]
    print("  %d entries unpacked, %.1f MB, %.3f s from opening the archive to its last entry"
          % (timing["entries"], timing["bytes"] / 1e6, wall))
    for phase in phases:
        print("  %-8s %7.3f s  %5.1f%%  %7.1f us/entry"
              % (phase, timing[phase], 100 * timing[phase] / wall, 1e6 * timing[phase] / max(timing["entries"], 1)))
    per_entry = ("walk", "names", "create", "open", "finish")
    print("  per-entry overhead (walk+names+create+open+finish): %.3f s" % sum(timing[p] for p in per_entry))
    # The C runtime's string and memory helpers and the heap never leave the process; the
    # system's own calls (files, directories, times, threads) are what costs under Wine.
    runtime = collections.Counter({n: c for n, c in calls.items() if n.lower().startswith(("msvcrt.", "ucrtbase."))})
    heap = collections.Counter({n: c for n, c in calls.items() if "heap" in n.lower()})
    system = calls - runtime - heap
    print()
    print("calls per unpacked entry, by install.exe or by the C runtime for it: %.1f to the system, "
          "%.1f to the heap, %.1f to the C runtime"
          % (sum(system.values()) / entries, sum(heap.values()) / entries, sum(runtime.values()) / entries))
    for name, count in system.most_common(12):
        print("  %-36s %6.2f" % (name, count / entries))
    print("  C runtime: " + ", ".join("%s %.1f" % (n.split(".", 1)[1], c / entries) for n, c in runtime.most_common(6)))


def java_home():
    javac = os.path.realpath(shutil.which("javac"))
    return os.path.dirname(os.path.dirname(javac))


def build_archive(path):
    sources = [(java_home(), "jdk")]
    headers = sorted(os.path.join(root, name) for root, _, names in os.walk("/usr/include") for name in names)
    entries = bytes_total = 0
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED, compresslevel=6) as archive:
        for top, prefix in sources:
            for root, _, names in os.walk(top, followlinks=True):
                for name in sorted(names):
                    full = os.path.join(root, name)
                    if not os.path.isfile(full):
                        continue
                    archive.write(full, os.path.join(prefix, os.path.relpath(full, top)))
                    entries += 1
                    bytes_total += os.path.getsize(full)
        for full in headers:
            if entries >= MIN_ENTRIES + 400 and bytes_total >= MIN_BYTES:
                break
            if os.path.isfile(full) and not os.path.islink(full):
                archive.write(full, os.path.join("include", os.path.relpath(full, "/usr/include")))
                entries += 1
                bytes_total += os.path.getsize(full)
        # Last, so that finding it walks the whole central directory.
        archive.writestr("jre.ver", "date=1796688000")
    return entries + 1, bytes_total


def main():
    options = argparse.ArgumentParser(description="extraction benchmark")
    options.add_argument("build", nargs="?")
    options.add_argument("--against", help="another install.exe to time in the same runs")
    options.add_argument("--against-timing", help="the timing build of that install.exe, for its breakdown")
    options.add_argument("--sign-media", action="store_true", help="sign the media's manifest (BRAVIK_SIGN_*)")
    options.add_argument("--install-only", action="store_true", help="time the install.exe runs alone")
    args = options.parse_args()
    build, lane, wine, env = choose_build(args.build)
    subprocess.run(["cmake", "--build", "--preset", lane, "--target", "miniunz"], cwd=TOP, check=True,
                   stdout=subprocess.DEVNULL)
    subprocess.run([os.path.join(TOP, "scripts", "wine-prefix.sh"), build], check=True, stdout=subprocess.DEVNULL)
    drive_c = os.path.join(env["WINEPREFIX"], "drive_c")
    common = os.path.join(drive_c, "Program Files", "Common Files", "bravik")
    bench = os.path.join(drive_c, "bench")
    shutil.rmtree(bench, ignore_errors=True)
    media = os.path.join(bench, "media")
    for folder in ("kp/windows", "kp/bin", "kp/lib", "jre/lib"):
        os.makedirs(os.path.join(media, folder))
    shutil.copy(os.path.join(build, "bin", "install.exe"), media)
    shutil.copy(os.path.join(build, "bin", "stubs", "launch.exe"), os.path.join(media, "kp", "bin"))
    shutil.copy(os.path.join(build, "bin", "miniunz.exe"), bench)
    for jar in ("kp/lib/kp.jar", "jre/lib/rt.jar"):
        open(os.path.join(media, jar), "w").close()
    with open(os.path.join(media, "kp", "windows", "install.cfg"), "w", newline="\r\n") as cfg:
        cfg.write("[CLASS]\nbench.Main\n")

    archive = os.path.join(media, "kp", "windows", "jre.zip")
    print("building the archive ...", flush=True)
    entries, total = build_archive(archive)
    print("archive: %d entries, %.1f MB unpacked, %.1f MB packed"
          % (entries, total / 1e6, os.path.getsize(archive) / 1e6))
    if args.sign_media:
        sys.path.insert(0, os.path.join(TOP, "tools"))
        from mkmedia_lib.manifest import write_manifest
        write_manifest(media)
        subprocess.run([os.path.join(TOP, "scripts", "sign-media.sh"), media], check=True)

    # Every timed run starts on a settled disk, with the output of the run before moved aside
    # rather than removed: the write-back of 300 MB would stall the next run, and ext4, making a
    # file, looks past every inode freed in the last half minute, which after 2,400 removals
    # makes each file creation several times slower, for every extractor alike.
    trash = Trash(drive_c)
    native_trash = Trash(tempfile.gettempdir())

    def clear_install():
        trash.take(common)
        os.sync()

    miniunz_out = os.path.join(bench, "miniunz-out")

    def clear_miniunz():
        trash.take(miniunz_out)
        os.makedirs(miniunz_out)
        os.sync()

    native_out = tempfile.mkdtemp()

    def clear_native():
        native_trash.take(native_out)
        os.makedirs(native_out)
        os.sync()

    install = [wine, "C:\\bench\\media\\install.exe"]
    current = os.path.join(build, "bin", "install.exe")
    programs = {"install.exe (Wine)": current}
    if args.against:
        programs["--against (Wine)"] = os.path.abspath(args.against)

    def put_install(program):
        shutil.copy(program, os.path.join(media, "install.exe"))

    # The install.exe builds take turns, so that a change in the machine's load hits them alike.
    install_times = {name: [] for name in programs}
    for name, program in programs.items():
        put_install(program)
        clear_install()
        timed(install, media, env)
    for _ in range(RUNS):
        for name, program in programs.items():
            put_install(program)
            clear_install()
            install_times[name].append(timed(install, media, env))
    # Then the same builds again with every version record current: nothing is unpacked.
    rerun_times = {name: [] for name in programs}
    for _ in range(RUNS):
        for name, program in programs.items():
            put_install(program)
            rerun_times[name].append(timed(install, media, env))
    put_install(current)
    results = {name: (statistics.median(times), times) for name, times in install_times.items()}
    if args.install_only:
        reruns = {name: (statistics.median(times), times) for name, times in rerun_times.items()}
        for label, table in (("first run", results), ("re-run", reruns)):
            for name, (median, runs) in table.items():
                print("%-10s %-22s %10.3f   %s" % (label, name, median, " ".join("%.3f" % r for r in runs)))
            if args.against:
                print("%-10s --against / install.exe = %.3f"
                      % (label, table["--against (Wine)"][0] / table["install.exe (Wine)"][0]))
        shutil.rmtree(bench, ignore_errors=True)
        clear_install()
        trash.empty()
        return
    results["miniunz (Wine)"] = median_of(
        clear_miniunz, [wine, "C:\\bench\\miniunz.exe", "-x", "-o", "C:\\bench\\media\\kp\\windows\\jre.zip",
                        "-d", "C:\\bench\\miniunz-out"], bench, env)
    results["unzip (native)"] = median_of(clear_native, ["unzip", "-q", "-o", archive, "-d", native_out])

    # Every record current: install.exe only checks the archive's stamp. The same run without
    # the archive on the media is the baseline: process start, configuration, paths, launcher.
    second = median_of(lambda: None, install, media, env, runs=9)
    parked = archive + ".parked"
    os.rename(archive, parked)
    baseline = median_of(lambda: None, install, media, env, runs=9)
    os.rename(parked, archive)
    bare = median_of(lambda: None, [wine, "C:\\bench\\media\\kp\\bin\\launch.exe"], media, env, runs=9)
    native_trash.take(native_out)

    print()
    print("%-22s %10s   %s" % ("extraction", "median s", "runs"))
    for name, (median, runs) in results.items():
        print("%-22s %10.3f   %s" % (name, median, " ".join("%.3f" % r for r in runs)))
    unzip = results["unzip (native)"][0]
    print()
    for name in programs:
        ours = results[name][0]
        print("%s" % name)
        print("  / miniunz                                  = %.2f" % (ours / results["miniunz (Wine)"][0]))
        print("  / unzip                                    = %.2f" % (ours / unzip))
        print("  extraction alone (run minus the run without the archive, %.3f s) / unzip = %.2f"
              % (ours - baseline[0], (ours - baseline[0]) / unzip))
    print()
    print("second run, every record current:        %6.1f ms" % (second[0] * 1000))
    print("same run without the archive on the media: %6.1f ms" % (baseline[0] * 1000))
    print("  cost of the version check:               %6.1f ms" % ((second[0] - baseline[0]) * 1000))
    print("bare start of a Windows program under Wine: %6.1f ms" % (bare[0] * 1000))

    print()
    print("building the timing build ...", flush=True)
    tree = build_timing_tree(lane)
    breakdowns = [("install.exe", os.path.join(tree, "bin", "install.exe"), current)]
    if args.against_timing:
        breakdowns.append(("--against", os.path.abspath(args.against_timing), programs["--against (Wine)"]))
    relay_env = relay_prefix(tree, bench)
    relay_common = os.path.join(relay_env["WINEPREFIX"], "drive_c", "Program Files", "Common Files", "bravik")
    for label, timing_build, deliverable in breakdowns:
        report = os.path.join(tree, "extract-timing.txt")
        if os.path.exists(report):
            os.remove(report)
        put_install(timing_build)
        clear_install()
        timed(install, media, dict(env, EXTRACT_TIMING_REPORT="Z:" + report.replace("/", "\\")))
        timing = read_timing(report)

        put_install(deliverable)
        trash.take(relay_common)
        with_archive = platform_calls(relay_env, install, media, deliverable, lane)
        os.rename(archive, parked)
        without_archive = platform_calls(relay_env, install, media, deliverable, lane)
        os.rename(parked, archive)
        trash.take(relay_common)
        with_archive.subtract(without_archive)
        calls = collections.Counter({name: count for name, count in with_archive.items() if count > 0})
        print_breakdown(label, timing, calls, int(timing["entries"]))
    put_install(current)
    os.unlink(os.path.join(relay_env["WINEPREFIX"], "drive_c", "bench"))
    shutil.rmtree(bench, ignore_errors=True)
    clear_install()
    trash.empty()
    native_trash.empty()


if __name__ == "__main__":
    main()
