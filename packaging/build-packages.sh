#!/usr/bin/env bash
# Builds the Debian packages: one for this machine's architecture and one for
# mipsel from the cross build (skipped, with a message, when the cross
# compiler is not installed; its recorder links Debian's librtlsdr for the
# board, which cmake/target-rtlsdr.sh unpacks, as root the first time).
# Release builds with the usual Debian hardening flags; the packages land in
# the directory given (default: build-packages/, which git ignores).
#   packaging/build-packages.sh [output directory]
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(mkdir -p "${1:-build-packages}" && cd "${1:-build-packages}" && pwd)
jobs=$(nproc)
((jobs > 2)) && jobs=2

hardening_c="-D_FORTIFY_SOURCE=2 -fstack-protector-strong"
hardening_ld="-Wl,-z,relro -Wl,-z,now"

build() {  # <build dir> [cmake arguments...]
    local dir=$1
    shift
    mkdir -p "$dir"
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVORLIX_BENCH=OFF \
          -DCMAKE_C_FLAGS="$hardening_c" -DCMAKE_CXX_FLAGS="$hardening_c" \
          -DCMAKE_EXE_LINKER_FLAGS="$hardening_ld" "$@" >"$dir/configure.log" ||
        { cat "$dir/configure.log"; return 1; }
    cmake --build "$dir" -j"$jobs" --target vorlix_dist
    (cd "$dir" && cpack -G DEB -B "$out")
}

build build-deb
if command -v mipsel-linux-gnu-g++ >/dev/null; then
    # The recorder links the board's librtlsdr, unpacked into the build tree.
    bash cmake/target-rtlsdr.sh build-deb-mipsel
    build build-deb-mipsel -DCMAKE_TOOLCHAIN_FILE=cmake/mipsel-linux-gnu.cmake \
          -DVORLIX_RTLSDR_ROOT="$PWD/build-deb-mipsel/target-rtlsdr" -DVORLIX_REQUIRE_RTLSDR=ON
else
    echo "mipsel-linux-gnu-g++ not installed: no mipsel package"
fi
rm -rf "$out/_CPack_Packages"
ls -l "$out"/*.deb
