#!/usr/bin/env bash
# The Debian package of a build tree: built with cpack into a temporary
# directory, then its metadata (dpkg-deb -I), its contents (dpkg-deb -c), and
# the extracted program.
#   package_check.sh <build dir> <architecture> <tool programs> <emulator or ""> <skip 0/1>
#                    <recorder built with librtlsdr: ON/OFF>
set -euo pipefail
build=$1 arch=$2 tools=$3 emulator=$4 skip=$5 rtlsdr=${6:-OFF}
if ((skip)); then
    echo "sanitizer build: its binaries need the sanitizer run-times, no package"
    exit 77
fi
for t in cpack dpkg-deb; do
    command -v $t >/dev/null || { echo "$t not installed"; exit 77; }
done
[[ -n $arch ]] || { echo "FAIL: no package architecture configured"; exit 1; }

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

(cd "$build" && cpack -G DEB -B "$tmp/out" --config CPackConfig.cmake) >"$tmp/cpack.log" 2>&1 ||
    { cat "$tmp/cpack.log"; echo "FAIL: cpack"; exit 1; }
shopt -s nullglob
debs=("$tmp"/out/vorlix_*_"$arch".deb)
((${#debs[@]} == 1)) || { ls -R "$tmp/out"; echo "FAIL: expected one vorlix_*_$arch.deb"; exit 1; }
deb=${debs[0]}
echo "package: $(basename "$deb"), $(stat -c %s "$deb") bytes"

# Metadata.
field() { dpkg-deb -f "$deb" "$1"; }
[[ $(field Package) == vorlix ]] || fail "Package: $(field Package)"
[[ $(field Architecture) == "$arch" ]] || fail "Architecture: $(field Architecture), want $arch"
[[ $(field Version) =~ ^[0-9]+\.[0-9]+\.[0-9]+-[0-9]+$ ]] || fail "Version: $(field Version)"
[[ $(field Section) == hamradio ]] || fail "Section: $(field Section)"
[[ $(field Maintainer) =~ ^[^\<]+\ \<[^@]+@[^\>]+\>$ ]] || fail "Maintainer: $(field Maintainer)"
[[ -n $(field Description) ]] || fail "no Description"
# The C library, and besides it only the C++ run-time and, for the
# recorder's dongles, librtlsdr0 when it is built with it.
depends=$(field Depends)
grep -qE '(^|, )libc6 \(>= 2\.[0-9]+\)' <<<"$depends" || fail "Depends lacks a versioned libc6: $depends"
allowed='libc6|libstdc\+\+6|libgcc-s1'
if [[ $rtlsdr == ON ]]; then
    grep -qE '(^|, )librtlsdr0 \(>= [0-9.]+\)' <<<"$depends" || fail "Depends lacks librtlsdr0: $depends"
    allowed+='|librtlsdr0'
fi
others=$(tr ',' '\n' <<<"$depends" | sed -E 's/^ *([^ (]+).*/\1/' | grep -vxE "$allowed" || true)
[[ -z $others ]] || fail "unexpected dependencies: $others"

# Maintainer scripts and the conffile.
mkdir "$tmp/control"
dpkg-deb -e "$deb" "$tmp/control"
for s in postinst prerm postrm; do
    if [[ -f $tmp/control/$s ]]; then
        [[ -x $tmp/control/$s ]] || fail "$s is not executable"
        sh -n "$tmp/control/$s" || fail "$s: syntax error"
        head -1 "$tmp/control/$s" | grep -qx '#!/bin/sh' || fail "$s does not start with #!/bin/sh"
    else
        fail "no $s"
    fi
done
grep -q useradd "$tmp/control/postinst" || fail "postinst creates no user"
[[ -f $tmp/control/conffiles && $(cat "$tmp/control/conffiles") == /etc/default/vorlix ]] ||
    fail "conffiles is not exactly /etc/default/vorlix"
[[ -f $tmp/control/md5sums ]] || fail "no md5sums"

# Contents: paths, owners, modes.
dpkg-deb -c "$deb" >"$tmp/contents"
paths=$(awk '{print $6}' "$tmp/contents")
want=(./usr/bin/vorlix ./usr/share/man/man1/vorlix.1.gz ./usr/lib/systemd/system/vorlix.service
      ./usr/lib/systemd/system/vorlix-record.service
      ./etc/default/vorlix ./usr/share/doc/vorlix/copyright ./usr/share/doc/vorlix/changelog.Debian.gz)
for t in $tools; do want+=("./usr/bin/$t" "./usr/share/man/man1/$t.1.gz"); done
for p in "${want[@]}"; do
    grep -qxF "$p" <<<"$paths" || fail "package lacks $p"
done
unexpected=$(grep -vE '^\./(|etc/|etc/default/.*|usr/|usr/(bin|lib|share)/.*)$' <<<"$paths" || true)
[[ -z $unexpected ]] || fail "unexpected paths: $unexpected"
owners=$(awk '{print $2}' "$tmp/contents" | sort -u)
[[ $owners == root/root ]] || fail "owners: $owners"
grep -E '^-' "$tmp/contents" | awk '{print $1, $6}' | while read -r mode path; do
    case $path in
        ./usr/bin/*) [[ $mode == -rwxr-xr-x ]] || echo "FAIL: $path has mode $mode" ;;
        *) [[ $mode == -rw-r--r-- ]] || echo "FAIL: $path has mode $mode" ;;
    esac
done >"$tmp/modes"
if [[ -s $tmp/modes ]]; then cat "$tmp/modes"; fail "file modes"; fi

# The extracted files: stripped program of the right architecture that runs.
dpkg-deb -x "$deb" "$tmp/x"
if command -v file >/dev/null; then
    info=$(file -b "$tmp/x/usr/bin/vorlix")
    [[ $info == *", stripped"* ]] || fail "vorlix is not stripped: $info"
    case $arch in
        amd64) [[ $info == *x86-64* ]] || fail "vorlix is not x86-64: $info" ;;
        mipsel) [[ $info == *"LSB executable, MIPS"* || $info == *"LSB pie executable, MIPS"* ]] ||
                    fail "vorlix is not little-endian MIPS: $info" ;;
    esac
fi
# shellcheck disable=SC2086
version=$($emulator "$tmp/x/usr/bin/vorlix" -V 2>&1) || fail "extracted vorlix -V failed: $version"
[[ $version == *" version "* ]] || fail "extracted vorlix -V printed: $version"
# shellcheck disable=SC2086
version=$($emulator "$tmp/x/usr/bin/vorlix-record" -V 2>&1) || fail "extracted vorlix-record -V failed: $version"
[[ $version == "vorlix-record version "* ]] || fail "extracted vorlix-record -V printed: $version"
grep -q '^ExecStart=/usr/bin/vorlix ' "$tmp/x/usr/lib/systemd/system/vorlix.service" ||
    fail "the unit does not run /usr/bin/vorlix"
grep -q '^ExecStart=/usr/bin/vorlix-record ' "$tmp/x/usr/lib/systemd/system/vorlix-record.service" ||
    fail "the recorder's unit does not run /usr/bin/vorlix-record"
# The licence: machine-readable copyright naming BSD-2-Clause, with its text.
copyright=$tmp/x/usr/share/doc/vorlix/copyright
grep -qx 'License: BSD-2-Clause' "$copyright" || fail "copyright does not name BSD-2-Clause"
grep -q 'Copyright: .*the vorlix developers' "$copyright" || fail "copyright names no holder"
grep -q 'Redistributions in binary form must reproduce' "$copyright" ||
    fail "copyright lacks the licence text"

if ((failures)); then
    echo "$failures failure(s)"
    exit 1
fi
echo "package ok"
