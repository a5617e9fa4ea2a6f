# Sourced by setup.sh: how set-up gets its packages from apt when the mirror is not whole.
# Mirrors are caught mid-sync several times a year (an index whose size does not match its
# Release file), and then stay so for minutes or hours. Set-up retries the index download a few
# times, then goes on with the indexes it got, and installs what it can: only the 32-bit Wine
# packages may be left out, since the x86 lane can run in the emulated guest without them.
#
# Everything apt is asked goes through apt_get, so that a test can answer in its place.

# Three tries, ten seconds apart: a dropped connection or a sync that is just finishing is over
# within that; a mirror caught mid-sync stays so for far longer than a first run should wait.
apt_update_tries=${BRAVIK_APT_UPDATE_TRIES:-3}
apt_update_pause=${BRAVIK_APT_UPDATE_PAUSE:-10}

apt_get() { as_root apt-get "$@"; }

# Fetches the package indexes, retrying; returns 0 whatever the outcome, after saying once
# what apt could not fetch.
update_indexes() {
    local try out
    for ((try = 1; try <= apt_update_tries; try++)); do
        if out=$(apt_get update -qq 2>&1); then
            return 0
        fi
        [ "$try" -lt "$apt_update_tries" ] && sleep "$apt_update_pause"
    done
    echo "setup: apt-get update failed $apt_update_tries times; going on with the indexes it has:"
    apt_said "$out" 5 | sed 's/^/setup:   /'
    return 0
}

# The first <count> of apt's error and warning lines in <output>, or its last <count> lines when
# it has none (a failing sudo, say): apt_said <output> <count>. Never fails, so that set -e
# and pipefail in setup.sh cannot end set-up here.
apt_said() {
    local lines
    lines=$(printf '%s\n' "$1" | grep -E '^(E|W):') || lines=$(printf '%s\n' "$1" | tail -n "$2")
    printf '%s\n' "$lines" | sed -n "1,$2p"
}

# The decision, from what apt answered: install_decision <all-installed> <without-i386-installed>
# where each is "ok" or "failed" ("-" when that install was not tried). Prints one of
#   all           everything is installed
#   without-i386  all but the 32-bit Wine packages: the x86 lane goes to the guest
#   stop          not even the x64 lane can be set up
install_decision() {
    if [ "$1" = ok ]; then
        echo all
    elif [ "$2" = ok ]; then
        echo without-i386
    else
        echo stop
    fi
}

# Called, when the 32-bit Wine packages cannot be installed, before the rest is: set-up starts
# the guest image build there, so that it overlaps the longest installation.
before_install_without_i386() { :; }

# Installs the packages given, all at once, then, if that fails, all but the i386 ones.
# Returns non-zero only when even those cannot be installed, after printing apt's message.
# When the i386 ones are left out, prints one line that says so and keeps it in apt_note.
install_packages() {
    local wanted=("$@") rest=() optional=() p all=failed without=- out first=
    apt_note=
    for p in "${wanted[@]}"; do
        case "$p" in *:i386) optional+=("$p") ;; *) rest+=("$p") ;; esac
    done
    if out=$(DEBIAN_FRONTEND=noninteractive apt_get install -y -qq --no-install-recommends "${wanted[@]}" 2>&1); then
        all=ok
    else
        first=$(printf '%s\n' "$out" | grep -E '^E:' | tail -n 1) || first=$(apt_said "$out" 1)
        first=${first%.}
    fi
    if [ "$all" != ok ] && [ ${#optional[@]} -gt 0 ]; then
        without=failed
        before_install_without_i386
        if [ ${#rest[@]} -eq 0 ] ||
           out=$(DEBIAN_FRONTEND=noninteractive apt_get install -y -qq --no-install-recommends "${rest[@]}" 2>&1); then
            without=ok
        fi
    fi
    case $(install_decision "$all" "$without") in
        all) return 0 ;;
        without-i386)
            apt_note="setup: ${optional[*]} cannot be installed now (apt: ${first#E: }; most often a mirror caught mid-sync, serving"
            apt_note+=" i386 libraries that do not match their amd64 twins): the x86 lane runs in the emulated guest,"
            apt_note+=" and make demo shows the x64 build"
            echo "$apt_note"
            return 0 ;;
        *)
            apt_said "$out" 20 >&2
            echo "setup: apt cannot install what the x64 lane needs; try again later (a mirror mid-sync" \
                 "recovers within hours), or point /etc/apt/sources.list.d at another Debian 12 mirror" >&2
            return 1 ;;
    esac
}
