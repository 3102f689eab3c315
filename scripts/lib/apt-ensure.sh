# shellcheck shell=bash
# Sourced by the set-up scripts. kq_apt_ensure PACKAGE... installs, with
# apt-get, the packages that are not installed yet; nothing happens when all
# are there.
kq_apt_ensure() {
    local missing=() p
    for p in "$@"; do
        kq_apt_installed "$p" || missing+=("$p")
    done
    [ ${#missing[@]} -gt 0 ] || return 0
    kq_apt_update
    kq_apt install -y --no-install-recommends "${missing[@]}"
}

# kq_apt_installed PACKAGE: whether dpkg has it installed.
kq_apt_installed() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}

# kq_apt ARGS...: apt-get, through sudo unless run as root, never asking.
kq_apt() {
    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 "$@"
}

# kq_apt_update: apt-get update, tried again when a mirror answers with an
# index that is being synced or a failed download. After the last try it
# carries on with the lists it has: the install that follows fails loudly
# if a package cannot be had.
kq_apt_update() {
    local try
    for try in 1 2 3; do
        kq_apt update -qq && return 0
        echo "-- apt-get update failed (try $try of 3)" >&2
        [ "$try" -eq 3 ] || sleep $((try * 10))
    done
    echo "-- going on with the package lists apt has" >&2
}
