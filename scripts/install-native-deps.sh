#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks for the native build.
# Idempotent: packages already present are left alone.
set -euo pipefail
PKGS=(build-essential cmake ninja-build pkg-config libgtest-dev zlib1g-dev libbz2-dev
      libjpeg62-turbo-dev libzip-dev libtinyxml-dev)
missing=()
for p in "${PKGS[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO="sudo"
    export DEBIAN_FRONTEND=noninteractive
    $SUDO apt-get -o DPkg::Lock::Timeout=600 update
    $SUDO apt-get -o DPkg::Lock::Timeout=600 install -y --no-install-recommends "${missing[@]}"
fi
