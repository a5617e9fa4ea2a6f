#!/usr/bin/env python3
"""Extraction benchmark.

Builds a runtime-sized archive from files on this machine (the installed JDK plus a tree of
small headers: 2,000+ entries, 100+ MB unpacked), then times, in one run on the same machine:
  - install.exe under Wine unpacking it as the media's jre.zip,
  - minizip's own miniunz, built for the same target, under Wine in the same prefix,
  - Info-ZIP unzip, natively;
three times each, and prints the medians and ratios. It also times a second install.exe run
with every version record current, against the bare start of a Windows program under Wine.

Usage: scripts/bench-extract.py [build-dir]   (after `make`)
Without a build tree it takes the x86 one where this machine runs 32-bit programs, otherwise
the x64 one, and says which.
"""
import os
import shutil
import statistics
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


def choose_build():
    if len(sys.argv) > 1:
        build = os.path.abspath(sys.argv[1])
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
    times = []
    for _ in range(runs):
        prepare()
        times.append(timed(command, cwd, env))
    return statistics.median(times), times


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
    build, lane, wine, env = choose_build()
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

    def clear_install():
        shutil.rmtree(common, ignore_errors=True)

    miniunz_out = os.path.join(bench, "miniunz-out")

    def clear_miniunz():
        shutil.rmtree(miniunz_out, ignore_errors=True)
        os.makedirs(miniunz_out)

    native_out = tempfile.mkdtemp()

    def clear_native():
        shutil.rmtree(native_out, ignore_errors=True)
        os.makedirs(native_out)

    install = [wine, "C:\\bench\\media\\install.exe"]
    results = {}
    results["install.exe (Wine)"] = median_of(clear_install, install, media, env)
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
    shutil.rmtree(native_out, ignore_errors=True)

    print()
    print("%-22s %10s   %s" % ("extraction", "median s", "runs"))
    for name, (median, runs) in results.items():
        print("%-22s %10.3f   %s" % (name, median, " ".join("%.3f" % r for r in runs)))
    ours = results["install.exe (Wine)"][0]
    print()
    print("install.exe / miniunz  = %.2f" % (ours / results["miniunz (Wine)"][0]))
    print("install.exe / unzip    = %.2f" % (ours / results["unzip (native)"][0]))
    print()
    print("second run, every record current:        %6.1f ms" % (second[0] * 1000))
    print("same run without the archive on the media: %6.1f ms" % (baseline[0] * 1000))
    print("  cost of the version check:               %6.1f ms" % ((second[0] - baseline[0]) * 1000))
    print("bare start of a Windows program under Wine: %6.1f ms" % (bare[0] * 1000))
    shutil.rmtree(bench, ignore_errors=True)
    clear_install()


if __name__ == "__main__":
    main()
