#!/usr/bin/env bash
# scripts/setup-apt.sh driven by a stand-in for apt: apt_get answers each call from the case's
# table row, sleep and as_root only record, so the machine's own apt is never asked. Each case
# runs what setup.sh runs, the index update and then the installation, under setup.sh's shell
# options, and checks the exit status, the calls apt got, the pauses and what was printed.
# Usage: setup_apt_test.sh <scripts-dir>
set -uo pipefail
scripts=$1
work=$(mktemp -d "${TMPDIR:-/tmp}/bravik-setup-apt.XXXXXX")
trap 'rm -rf "$work"' EXIT

fetch_failed='E: Failed to fetch http://mirror/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress? [IP: 192.0.2.1 80]'
broken='E: Unable to correct problems, you have held broken packages.'
no_package='E: Unable to locate package g++-mingw-w64-i686-posix'

# Put in place after setup-apt.sh is sourced, which defines the real apt_get. The hook that starts
# the guest image build only records when it was called.
# How the stand-in answers "apt-get update": one word per try, the last repeated (ok, fail:
# the fetch failure, mute: a failure without an E: or W: line). And "apt-get install": all (anything), no-i386 (nothing with an i386 package), none.
stand_in_for_apt() {
apt_get() {
    case "$1" in
        update)
            local answers=($updates) n
            n=$(grep -c '^update' "$work/calls")
            echo "update" >>"$work/calls"
            case "${answers[$n]:-${answers[-1]}}" in
                ok) return 0 ;;
                fail) echo "$fetch_failed"; echo 'E: Some index files failed to download.' ;;
                mute) echo 'sudo: a password is required' ;;
            esac
            return 100 ;;
        install)
            shift
            while [[ $1 == -* ]]; do shift; done
            echo "install $*" >>"$work/calls"
            case "$installable" in
                all) return 0 ;;
                no-i386) [[ " $* " != *:i386\ * ]] && return 0; echo "$broken" ;;
                none) echo "$no_package" ;;
            esac
            return 100 ;;
    esac
    echo "unexpected apt-get $*" >>"$work/calls"
    return 1
}
as_root() { echo "as_root $*" >>"$work/calls"; }
sleep() { echo "sleep $*" >>"$work/calls"; }
before_install_without_i386() { echo "guest image" >>"$work/calls"; }
}

# One row per case: name | update answers | what installs | packages set-up is missing |
# exit status | apt's calls, ";"-separated | extended regexes the output must match, ";"-separated
# ("!" before one: must not match; "1x" before one: exactly one line matches; out: or err: picks
# the stream, out: when none).
cases=(
"mirror recovers on the third try|fail fail ok|all|wine wine32:i386 cmake|0|update;update;update;install wine wine32:i386 cmake|!.;err:!."
"indexes never come|fail|all|wine wine32:i386 cmake|0|update;update;update;install wine wine32:i386 cmake|1xfailed 3 times. going on with the indexes it has;setup:   E: Failed to fetch .*Mirror sync in progress;err:!."
"update fails without a word of apt's|mute|all|wine cmake|0|update;update;update;install wine cmake|failed 3 times;sudo: a password is required"
"32-bit Wine cannot be installed|ok|no-i386|wine wine32:i386 cmake|0|update;install wine wine32:i386 cmake;guest image;install wine cmake|1xwine32:i386 cannot be installed now \(apt: Unable to correct problems.*the x86 lane runs in the emulated guest.*make demo shows the x64 build;err:!."
"only the 32-bit Wine is missing|ok|no-i386|wine32:i386|0|update;install wine32:i386;guest image|1xwine32:i386 cannot be installed now.*emulated guest"
"not even the x64 lane installs|fail|none|wine wine32:i386 cmake|1|update;update;update;install wine wine32:i386 cmake;guest image;install wine cmake|err:^E: Unable to locate package g\+\+-mingw;err:1xtry again later.*another Debian 12 mirror;!cannot be installed now"
"no 32-bit package to leave out|ok|none|wine cmake|1|update;install wine cmake|err:^E: Unable to locate package;err:try again later"
)

failures=0
fail() { echo "FAIL: $name: $*"; failures=$((failures + 1)); }

for row in "${cases[@]}"; do
    IFS='|' read -r name updates installable missing want_status want_calls patterns <<<"$row"
    : >"$work/calls"
    rm -f "$work/note"
    # A subshell with setup.sh's options: a step that would end set-up early shows as a status.
    (
        set -euo pipefail
        . "$scripts/setup-apt.sh"
        stand_in_for_apt
        update_indexes
        read -ra wanted <<<"$missing"
        install_packages "${wanted[@]}" || exit 1
        printf '%s\n' "$apt_note" >"$work/note"
    ) >"$work/out" 2>"$work/err"
    status=$?
    [ "$status" = "$want_status" ] || fail "exit status $status, not $want_status; stderr: $(cat "$work/err")"
    calls=$(grep -v '^sleep' "$work/calls" | paste -sd';')
    [ "$calls" = "$want_calls" ] || fail "apt got [$calls], not [$want_calls]"
    # What set-up keeps for the next hour's runs is the line it printed, or nothing.
    [ "$status" != 0 ] || [ "$(cat "$work/note")" = "$(grep 'cannot be installed now' "$work/out")" ] ||
        fail "kept [$(cat "$work/note")] after printing [$(cat "$work/out")]"
    # Three tries, a pause of the default length between two of them, none after the last.
    tries=$(grep -c '^update' "$work/calls")
    pauses=$(grep -c '^sleep 10$' "$work/calls")
    [ "$pauses" = $((tries - 1)) ] && ! grep -q '^sleep' <(grep -v '^sleep 10$' "$work/calls") ||
        fail "$pauses pauses of 10 s for $tries tries: $(paste -sd' ' "$work/calls")"
    IFS=';' read -ra wants <<<"$patterns"
    for want in "${wants[@]}"; do
        stream=out
        case "$want" in out:* | err:*) stream=${want%%:*}; want=${want#*:} ;; esac
        case "$want" in
            '!'*) grep -qE -- "${want#!}" "$work/$stream" && fail "std$stream matches /${want#!}/: $(cat "$work/$stream")" ;;
            1x*) [ "$(grep -cE -- "${want#1x}" "$work/$stream")" = 1 ] ||
                     fail "std$stream has not exactly one line matching /${want#1x}/: $(cat "$work/$stream")" ;;
            *) grep -qE -- "$want" "$work/$stream" || fail "std$stream lacks /$want/: $(cat "$work/$stream")" ;;
        esac
    done
done

# The pause and the number of tries can be changed from the environment.
: >"$work/calls"
(updates=fail installable=all
 BRAVIK_APT_UPDATE_TRIES=2 BRAVIK_APT_UPDATE_PAUSE=1
 . "$scripts/setup-apt.sh"; stand_in_for_apt; update_indexes) >/dev/null 2>&1
[ "$(paste -sd' ' "$work/calls")" = "update sleep 1 update" ] ||
    { name="tries and pause from the environment"; fail "calls: $(paste -sd' ' "$work/calls")"; }

echo "setup_apt: $([ "$failures" = 0 ] && echo passed || echo "$failures failed") (${#cases[@]} cases)"
[ "$failures" = 0 ]
