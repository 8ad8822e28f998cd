#!/usr/bin/env bash
# Installs the package on this machine with dpkg, checks the installed
# service, and removes and purges it again. Changes the system: run as root,
# on a CI machine or a test box.
#   package_install.sh <vorlix_*.deb>
set -euo pipefail
deb=$1
if [[ $(id -u) != 0 ]] || ! command -v dpkg >/dev/null; then
    echo "needs root and dpkg: install test skipped"
    exit 77
fi
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
status() { dpkg-query -W -f='${Status}' vorlix 2>/dev/null || true; }
wants=/etc/systemd/system/multi-user.target.wants/vorlix.service

# Install.
dpkg -i "$deb"
[[ $(status) == "install ok installed" ]] || fail "status after install: $(status)"
if entry=$(getent passwd vorlix); then
    IFS=: read -r _ _ uid _ _ home shell <<<"$entry"
    ((uid < 1000)) || fail "user vorlix is not a system user (uid $uid)"
    [[ $shell == */nologin ]] || fail "user vorlix has the shell $shell"
    [[ ! -e $home || $home == /nonexistent ]] || fail "user vorlix has the home $home"
else
    fail "no user vorlix"
fi
[[ -L $wants ]] || fail "the unit is not enabled ($wants)"
# The recorder's unit is there but left to the user to enable (it needs a dongle).
record_unit=/usr/lib/systemd/system/vorlix-record.service
[[ -f $record_unit ]] || fail "no $record_unit"
[[ ! -e /etc/systemd/system/multi-user.target.wants/vorlix-record.service ]] ||
    fail "the recorder's unit was enabled by the package"

# The program runs: its version, and without an input its fatal message.
version=$(/usr/bin/vorlix -V 2>&1) || fail "vorlix -V failed"
grep -qx '/usr/bin/vorlix version [0-9.]*' <<<"$version" || fail "vorlix -V printed: $version"
rc=0
msg=$(/usr/bin/vorlix -w 0 2>&1) || rc=$?
[[ $rc == 1 && $msg == *"Fatal - Missing file"* ]] || fail "vorlix without input: status $rc, $msg"
[[ -f /usr/share/man/man1/vorlix.1.gz ]] || fail "no manual page"
version=$(/usr/bin/vorlix-record -V 2>&1) || fail "vorlix-record -V failed"
grep -qx 'vorlix-record version [0-9.]*' <<<"$version" || fail "vorlix-record -V printed: $version"
[[ -f /usr/share/man/man1/vorlix-record.1.gz ]] || fail "no manual page of vorlix-record"
# Its dependencies are installed with the package: it runs, and this machine
# has no dongle.
rc=0
msg=$(/usr/bin/vorlix-record -t 0 2>&1) || rc=$?
[[ $rc == 1 && ($msg == *"no RTL-SDR device found"* || $msg == *"built without librtlsdr"*) ]] ||
    fail "vorlix-record without a dongle: status $rc, $msg"

# The unit's start condition, with the packaged defaults and with an input
# and a destination set.
unit=/usr/lib/systemd/system/vorlix.service
cond=$(sed -n 's/^ExecCondition=\/bin\/sh -c //p' "$unit" | sed -e "s/^'//" -e "s/'\$//" -e 's/\$\$/$/g')
[[ -n $cond ]] || fail "no ExecCondition in $unit"
if (set -a && . /etc/default/vorlix && sh -c "$cond") 2>/dev/null; then
    fail "the unit would start with the packaged defaults"
fi
(set -a && . /etc/default/vorlix && VORLIX_INPUT=/dev/null VORLIX_OUTPUT=127.0.0.1:1 sh -c "$cond") ||
    fail "the unit would not start with an input and a destination"

# Remove: the files go, the changed conffile stays.
echo 'VORLIX_OPTIONS="-t 60"' >>/etc/default/vorlix
dpkg -r vorlix
[[ $(status) == "deinstall ok config-files" ]] || fail "status after remove: $(status)"
[[ ! -e /usr/bin/vorlix && ! -e $unit && ! -e $record_unit ]] || fail "files left after remove"
grep -q -- '-t 60' /etc/default/vorlix || fail "the changed conffile is gone after remove"

# Purge: nothing of the package is left (the system user stays, as usual).
dpkg -P vorlix
[[ -z $(status) || $(status) == "unknown ok not-installed" ]] || fail "status after purge: $(status)"
[[ ! -e /etc/default/vorlix ]] || fail "/etc/default/vorlix left after purge"
[[ ! -e /var/lib/vorlix ]] || fail "/var/lib/vorlix left after purge"
[[ ! -e $wants ]] || fail "$wants left after purge"

if ((failures)); then
    echo "$failures failure(s)"
    exit 1
fi
echo "install, run, remove, purge: ok"
