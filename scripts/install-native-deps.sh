#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks for the native build.
# Idempotent: packages already present are left alone.
set -euo pipefail
. "$(dirname "$0")/lib/apt-ensure.sh"
kq_apt_ensure build-essential cmake ninja-build pkg-config libgtest-dev zlib1g-dev libbz2-dev \
    libjpeg62-turbo-dev libzip-dev libtinyxml-dev libexpat1-dev
