#!/usr/bin/env bash
# Unpacks librtlsdr and the libraries it needs, Debian's packages for the
# board, into <build dir>/target-rtlsdr, where the cross build finds them
# (VORLIX_RTLSDR_ROOT in CMakeLists.txt). The packages are downloaded and
# unpacked, never installed: installing a :mipsel package brings the
# target's libc6 into /lib/mipsel-linux-gnu, which differs from the cross
# compiler's (/usr/mipsel-linux-gnu), and every program that qemu-mipsel
# runs then dies in exit(). Needs root the first time (dpkg
# --add-architecture, apt-get update).
#   cmake/target-rtlsdr.sh <build dir> [Debian architecture, default mipsel]
set -euo pipefail
build=${1:?usage: target-rtlsdr.sh <build dir> [architecture]}
arch=${2:-mipsel}
dest=$build/target-rtlsdr
packages=(librtlsdr-dev librtlsdr0 libusb-1.0-0 libusb-1.0-0-dev libudev1)

if [[ -f $dest/.unpacked ]]; then
    echo "target-rtlsdr: $dest is ready"
    exit 0
fi
if ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
    if [[ $(id -u) != 0 ]]; then
        echo "target-rtlsdr: run as root once: dpkg --add-architecture $arch && apt-get update" >&2
        exit 1
    fi
    dpkg --add-architecture "$arch"
fi
rm -rf "$dest"
mkdir -p "$dest/debs"
download() { (cd "$dest/debs" && apt-get download -q "${packages[@]/%/:$arch}"); }
# A new architecture, or package lists that are out of date: update once.
if ! download; then
    apt-get update -qq
    download
fi
for deb in "$dest"/debs/*.deb; do
    dpkg-deb -x "$deb" "$dest"
done
[[ -f $dest/usr/include/rtl-sdr.h ]] || { echo "target-rtlsdr: no rtl-sdr.h in $dest" >&2; exit 1; }
touch "$dest/.unpacked"
echo "target-rtlsdr: librtlsdr for $arch in $dest"
