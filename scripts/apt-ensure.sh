# Sourced by the set-up scripts. kq_apt_ensure PACKAGE... installs, with
# apt-get, the packages that are not installed yet; nothing happens when all
# are there.
kq_apt_ensure() {
    local missing=() p sudo=""
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    [ ${#missing[@]} -gt 0 ] || return 0
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    kq_apt_update $sudo
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y \
        --no-install-recommends "${missing[@]}"
}

# kq_apt_update [sudo]: apt-get update, tried again when a mirror answers
# with an index that is being synced or a failed download. After the last
# try it carries on with the lists it has: the install that follows fails
# loudly if a package cannot be had.
kq_apt_update() {
    local try
    for try in 1 2 3; do
        "$@" env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 update -qq && return 0
        echo "-- apt-get update failed (try $try of 3)" >&2
        [ "$try" -eq 3 ] || sleep $((try * 10))
    done
    echo "-- going on with the package lists apt has" >&2
}
