#!/usr/bin/env bash
# The installed tree: `cmake --install` into temporary directories with the
# prefix /usr (as the package does), with another prefix, and without DESTDIR,
# then the files, their modes, the unit's paths and the installed program.
#   install_check.sh <build dir> <tool programs> <emulator or "">
set -euo pipefail
build=$1 tools=$2 emulator=$3
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

install_into() {  # <destdir or ""> <prefix>
    if [[ -n $1 ]]; then
        DESTDIR=$1 cmake --install "$build" --prefix "$2" >"$tmp/install.log" 2>&1
    else
        cmake --install "$build" --prefix "$2" >"$tmp/install.log" 2>&1
    fi || { cat "$tmp/install.log"; fail "install to ${1:-}$2 failed"; return 1; }
}

# <root> <prefix> <sysconfdir>: the tree of one install.
check_tree() {
    local root=$1 prefix=$2 etc=$3 p
    local bin=$root$prefix/bin unit=$root$prefix/lib/systemd/system/vorlix.service
    local record_unit=$root$prefix/lib/systemd/system/vorlix-record.service
    for p in vorlix $tools; do
        [[ -f $bin/$p && -x $bin/$p ]] || fail "$bin/$p missing or not executable"
    done
    for p in vorlix $tools; do
        local page=$root$prefix/share/man/man1/$p.1.gz
        if [[ -f $page ]]; then
            gzip -t "$page" || fail "$page is not gzip"
            zcat "$page" | grep -q "^\.TH ${p^^} 1" || fail "$page is not the manual page of $p"
        else
            fail "$page missing"
        fi
    done
    for p in copyright changelog.Debian.gz; do
        [[ -f $root$prefix/share/doc/vorlix/$p ]] || fail "share/doc/vorlix/$p missing"
    done
    [[ -f $root$etc/default/vorlix ]] || fail "$root$etc/default/vorlix missing"
    if [[ -f $unit ]]; then
        grep -qFx "ExecStart=$prefix/bin/vorlix \$VORLIX_OPTIONS -o \${VORLIX_OUTPUT} \${VORLIX_INPUT}" "$unit" ||
            fail "ExecStart of $unit does not run $prefix/bin/vorlix"
        grep -qFx "EnvironmentFile=-$etc/default/vorlix" "$unit" ||
            fail "EnvironmentFile of $unit is not $etc/default/vorlix"
        if grep -q "@VORLIX" "$unit"; then fail "unreplaced @VORLIX in $unit"; fi
    else
        fail "$unit missing"
    fi
    if [[ -f $record_unit ]]; then
        grep -qFx "ExecStart=$prefix/bin/vorlix-record \$VORLIX_RECORD_OPTIONS -o /run/vorlix-record/capture" \
            "$record_unit" || fail "ExecStart of $record_unit does not run $prefix/bin/vorlix-record"
        grep -qFx "EnvironmentFile=-$etc/default/vorlix" "$record_unit" ||
            fail "EnvironmentFile of $record_unit is not $etc/default/vorlix"
        if grep -q "@VORLIX" "$record_unit"; then fail "unreplaced @VORLIX in $record_unit"; fi
    else
        fail "$record_unit missing"
    fi
    # Nothing world-writable, nothing executable that should not be.
    p=$(find "${root:-$prefix}" -perm -o+w ! -type l)
    [[ -z $p ]] || fail "world-writable: $p"
    for p in "$root$etc/default/vorlix" "$unit" "$record_unit"; do
        [[ -f $p && ! -x $p ]] || fail "$p is executable"
    done
}

# 1. The package layout: prefix /usr, defaults in /etc.
root=$tmp/root
if install_into "$root" /usr; then
    check_tree "$root" /usr /etc
    extra=$(cd "$root" && find . -type f | grep -vE '^\./(usr|etc/default)/' || true)
    [[ -z $extra ]] || fail "files outside /usr and /etc/default: $extra"
    # shellcheck disable=SC2086
    version=$($emulator "$root/usr/bin/vorlix" -V 2>&1) || fail "installed vorlix -V failed"
    [[ $version == *" version "* ]] || fail "installed vorlix -V printed: $version"

    # systemd's own check of the units, with their paths moved into the tree.
    if command -v systemd-analyze >/dev/null; then
        mkdir -p "$tmp/verify"
        for u in vorlix.service vorlix-record.service; do
            sed -e "s|=/usr/bin/vorlix|=$root/usr/bin/vorlix|" \
                -e "s|=-/etc/default/vorlix|=-$root/etc/default/vorlix|" \
                "$root/usr/lib/systemd/system/$u" >"$tmp/verify/$u"
        done
        out=$(SYSTEMD_LOG_LEVEL=warning systemd-analyze verify --man=no \
              "$tmp/verify/vorlix.service" "$tmp/verify/vorlix-record.service" 2>&1) ||
            fail "systemd-analyze verify failed: $out"
        if grep -qE 'vorlix(-record)?\.service' <<<"$out"; then
            fail "systemd-analyze verify: $out"
        elif [[ -n $out ]]; then
            echo "systemd-analyze, about other units: $out"
        fi
    else
        echo "systemd-analyze not installed: unit not verified"
    fi
fi

# 2. Another prefix: everything stays below it, configuration included.
if install_into "$tmp/root2" /opt/vorlix; then
    check_tree "$tmp/root2" /opt/vorlix /opt/vorlix/etc
    extra=$(cd "$tmp/root2" && find . -type f | grep -v '^\./opt/vorlix/' || true)
    [[ -z $extra ]] || fail "files outside the prefix /opt/vorlix: $extra"
fi

# 3. No DESTDIR: a plain prefix install writes nothing outside the prefix.
if install_into "" "$tmp/plain"; then
    check_tree "" "$tmp/plain" "$tmp/plain/etc"
fi

if ((failures)); then
    echo "$failures failure(s)"
    exit 1
fi
echo "install tree ok"
