#!/usr/bin/env bash
# Installs what the Windows leg needs for one architecture (KQ_WIN_TARGET,
# i686 by default, or x86_64) on a Debian 12 machine (run as root, or with
# sudo at hand):
#   - mingw-w64 for the target (posix threads), widl and windres, zlib for
#     mingw, Wine (32- and 64-bit), and Xvfb with xauth and unzip for the
#     end-to-end checks, and what the native build needs
#     (scripts/install-native-deps.sh): those checks write their models and
#     the reference thumbnails with native programs;
#   - static builds of bzip2, libjpeg-turbo, tinyxml, expat and libzip from
#     Debian's source packages, and of GoogleTest from /usr/src/googletest,
#     with the target's toolchain file (64-bit file offsets; SSE2 floats on
#     i686), installed into the target's KQ_MINGW_PREFIX (scripts/lib/windows-env.sh).
#     libjpeg-turbo is built with its SIMD code (assembled with nasm), as
#     the native build's system library is.
# A prefix whose stamp matches the recipe is reused as it is; any other
# (half-built, older recipe) is built anew. Apt steps are skipped when
# nothing is missing.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
. "$ROOT/scripts/lib/windows-env.sh"

RECIPE="$(kq_mingw_recipe)"
STAMP="$KQ_MINGW_PREFIX/.kq-complete"

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"

PKGS=(cmake ninja-build make pkg-config dpkg-dev xz-utils nasm
      mingw-w64-tools libz-mingw-w64-dev googletest
      wine wine64 xvfb xauth unzip)
case "$KQ_WIN_TARGET" in
    i686)   PKGS+=(g++-mingw-w64-i686-posix binutils-mingw-w64-i686) ;;
    x86_64) PKGS+=(g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64) ;;
esac

. "$(dirname "$0")/lib/apt-ensure.sh"

updated=0
apt_update() {
    if [ "$updated" -eq 0 ]; then
        kq_apt_update
        updated=1
    fi
}

# --- packages -------------------------------------------------------------
bash "$ROOT/scripts/install-native-deps.sh"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386
    updated_arch=1
fi
missing=()
for p in "${PKGS[@]}"; do kq_apt_installed "$p" || missing+=("$p"); done
if [ ${#missing[@]} -gt 0 ] || [ -n "${updated_arch:-}" ]; then
    echo "-- installing ${missing[*]:-(i386 architecture only)}"
    apt_update
    [ ${#missing[@]} -eq 0 ] || kq_apt install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
# 32-bit Wine on its own: where its packages cannot be had (no i386 lists,
# a mirror mid-sync), the 64-bit tests can still run, and the Windows leg
# chooses them when 32-bit Wine does not start. Tried once, by the i686 set-up.
if [ "$KQ_WIN_TARGET" = i686 ] && ! kq_apt_installed wine32:i386; then
    echo "-- installing wine32:i386"
    apt_update
    if ! kq_apt install -y -qq --no-install-recommends wine32:i386 >/dev/null; then
        echo "-- 32-bit Wine could not be installed here: only 64-bit Windows tests can run" >&2
    fi
fi

# --- static libraries -----------------------------------------------------
if [ -f "$STAMP" ] && [ "$(cat "$STAMP")" = "$RECIPE" ]; then
    echo "-- reusing the complete $KQ_WIN_TARGET dependency prefix $KQ_MINGW_PREFIX"
    exit 0
fi

if [ -e "$KQ_MINGW_PREFIX" ]; then
    # Only ever wipe a folder this script made (or an empty one).
    if [ -f "$KQ_MINGW_PREFIX/.kq-prefix" ] || [ -z "$(ls -A "$KQ_MINGW_PREFIX")" ]; then
        echo "-- rebuilding the $KQ_WIN_TARGET dependency prefix $KQ_MINGW_PREFIX (incomplete, or built by an older recipe)"
        $SUDO rm -rf "$KQ_MINGW_PREFIX"
    else
        echo "KQ_MINGW_PREFIX=$KQ_MINGW_PREFIX exists and was not made by this script; refusing to replace it" >&2
        exit 1
    fi
fi
$SUDO mkdir -p "$KQ_MINGW_PREFIX"
[ -z "$SUDO" ] || $SUDO chown "$(id -u):$(id -g)" "$KQ_MINGW_PREFIX"
touch "$KQ_MINGW_PREFIX/.kq-prefix"

# Source packages need deb-src entries.
SRCLIST=/etc/apt/sources.list.d/debian.sources
if [ -f "$SRCLIST" ] && ! grep -q '^Types:.*deb-src' "$SRCLIST"; then
    $SUDO sed -i 's/^Types: deb$/Types: deb deb-src/' "$SRCLIST"
    updated=0
elif [ ! -f "$SRCLIST" ] && [ -f /etc/apt/sources.list ] \
     && ! grep -rqs '^deb-src ' /etc/apt/sources.list /etc/apt/sources.list.d/; then
    grep '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' \
        | $SUDO tee /etc/apt/sources.list.d/kq-deb-src.list >/dev/null
    updated=0
fi
apt_update

WORK="$(mktemp -d "${TMPDIR:-/tmp}/kq-mingw-src.XXXXXX")"
trap 'rm -rf "$WORK"' EXIT
chmod 755 "$WORK"   # apt's download user must reach it
echo "-- fetching the source packages"
# Without -t bookworm apt picks the security suite's sources, which 404.
(cd "$WORK" && kq_apt source -qq -t bookworm bzip2 libjpeg-turbo tinyxml expat libzip >"$WORK/source.log" 2>&1) \
    || { cat "$WORK/source.log"; exit 1; }

TOOLCHAIN="$KQ_WIN_TOOLCHAIN"
P="$KQ_MINGW_PREFIX"
T="$KQ_MINGW_TRIPLE"
JOBS="$(nproc)"
# What the toolchain file gives the CMake builds, for the two built by hand.
CFLAGS_T="-O2 -D_FILE_OFFSET_BITS=64"
[ "$KQ_WIN_TARGET" != i686 ] || CFLAGS_T="$CFLAGS_T -msse2 -mfpmath=sse"
srcdir() { find "$WORK" -maxdepth 1 -mindepth 1 -type d -name "$1-*" | head -n1; }

cmake_dep() { # name srcdir [cmake args...]
    local name="$1" src="$2"; shift 2
    cmake -S "$src" -B "$WORK/build-$name" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" -DKQ_MINGW_PREFIX="$P" \
        -DCMAKE_INSTALL_PREFIX="$P" -DBUILD_SHARED_LIBS=OFF "$@"
    cmake --build "$WORK/build-$name" -j"$JOBS"
    cmake --install "$WORK/build-$name"
}

build_bzip2() {
    local s; s="$(srcdir bzip2)"
    # Only the library: the Makefile's program link does not work for mingw.
    make -C "$s" -j"$JOBS" libbz2.a CC="$T-gcc-posix" AR="$T-ar" RANLIB="$T-ranlib" \
        CFLAGS="$CFLAGS_T -Wall"
    mkdir -p "$P/include" "$P/lib"
    cp "$s/bzlib.h" "$P/include/"
    cp "$s/libbz2.a" "$P/lib/"
}

build_tinyxml() {
    local s f; s="$(srcdir tinyxml)"
    mkdir -p "$WORK/build-tinyxml" "$P/include" "$P/lib/pkgconfig"
    for f in tinyxml tinystr tinyxmlerror tinyxmlparser; do
        # shellcheck disable=SC2086  # the flags are several words
        "$T-g++-posix" $CFLAGS_T -DTIXML_USE_STL -c "$s/$f.cpp" -o "$WORK/build-tinyxml/$f.o"
    done
    "$T-ar" rcs "$P/lib/libtinyxml.a" "$WORK"/build-tinyxml/*.o
    cp "$s/tinyxml.h" "$s/tinystr.h" "$P/include/"
}

build_jpeg() {
    # With its SIMD code, as the native build's system library has it: the
    # C routines alone decode corrupt data to other pixels than the native
    # build shows, and take about twice as long over a large snapshot.
    # REQUIRE_SIMD fails the build rather than leave SIMD out quietly when
    # the assembler cannot be used.
    cmake_dep jpeg "$(srcdir libjpeg-turbo)" -DWITH_SIMD=ON -DREQUIRE_SIMD=ON \
        -DCMAKE_ASM_NASM_COMPILER=nasm -DENABLE_SHARED=OFF \
        -DENABLE_STATIC=ON -DWITH_TURBOJPEG=OFF -DWITH_JPEG8=OFF -DWITH_JPEG7=OFF
}

build_zip() {
    cmake_dep zip "$(srcdir libzip)" -DZLIB_USE_STATIC_LIBS=ON \
        -DENABLE_COMMONCRYPTO=OFF -DENABLE_GNUTLS=OFF -DENABLE_MBEDTLS=OFF \
        -DENABLE_OPENSSL=OFF -DENABLE_WINDOWS_CRYPTO=OFF -DENABLE_BZIP2=ON \
        -DENABLE_LZMA=OFF -DENABLE_ZSTD=OFF -DBUILD_TOOLS=OFF -DBUILD_REGRESS=OFF \
        -DBUILD_EXAMPLES=OFF -DBUILD_DOC=OFF
}

build_expat() {
    # Static, so consumers define XML_STATIC (cmake/KQDependencies.cmake).
    # Debian's source keeps upstream's repository layout: the library's
    # CMake project is in its expat/ folder.
    local s; s="$(srcdir expat)"
    [ -f "$s/CMakeLists.txt" ] || s="$s/expat"
    # Debian's security patches test "XML_DTD == 1", as its autotools build
    # defines it; upstream's CMake template defines it empty.
    sed -i 's/^#cmakedefine XML_DTD$/#cmakedefine XML_DTD 1/' "$s/expat_config.h.cmake"
    cmake_dep expat "$s" -DEXPAT_SHARED_LIBS=OFF -DEXPAT_BUILD_TESTS=OFF \
        -DEXPAT_BUILD_TOOLS=OFF -DEXPAT_BUILD_EXAMPLES=OFF -DEXPAT_BUILD_DOCS=OFF \
        -DEXPAT_BUILD_FUZZERS=OFF -DEXPAT_BUILD_PKGCONFIG=OFF -DEXPAT_MSVC_STATIC_CRT=OFF
}

build_gtest() {
    cmake_dep gtest /usr/src/googletest -DINSTALL_GTEST=ON -DBUILD_GMOCK=ON
}

step() { # name function: runs it with its output in a log, shown on failure
    local start=$SECONDS
    if "$2" >"$WORK/$1.log" 2>&1; then
        echo "--   $1 built in $((SECONDS - start)) s"
    else
        echo "--   $1 FAILED; its log:" >&2
        cat "$WORK/$1.log" >&2
        return 1
    fi
}

echo "-- cross-building the static libraries into $P"
# libzip needs bzip2 installed first; the rest are independent.
pids=()
( step bzip2 build_bzip2 && step libzip build_zip ) & pids+=($!)
step tinyxml build_tinyxml & pids+=($!)
step expat build_expat & pids+=($!)
step libjpeg-turbo build_jpeg & pids+=($!)
step googletest build_gtest & pids+=($!)
fail=0
for pid in "${pids[@]}"; do wait "$pid" || fail=1; done
[ "$fail" -eq 0 ] || { echo "dependency build failed; $P stays incomplete" >&2; exit 1; }

# Written last: its presence means every library above is installed.
echo "$RECIPE" >"$STAMP"
echo "-- dependency prefix $P complete"
