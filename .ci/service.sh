#!/usr/bin/env bash
# The entropy service, checked on a machine where neither systemd nor udev runs: the package's
# files, the unit through systemd-analyze verify with the package installed, the unit's own
# command line run with probes in place of rngacq and rngd to see who holds the capability, and
# the udev rules through udevadm test on emulated devices, with the service's rule linked in as
# the manual page says and without it. Needs the Debian packages of .ci/package.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
export DEBIAN_FRONTEND=noninteractive
release=build/release
rules_build=build/service-rules
unit=/usr/lib/systemd/system/rngacq-rngd@.service
opt_in=/usr/share/rngacq/61-rngacq-rngd.rules
serial=EMU-0001

scripts/install-packages.sh service
fail() {
  echo "service check: $*" >&2
  exit 1
}

echo "-- the package's files"
deb=$(ls "$release"/rngacq_*.deb)
contents=$(dpkg-deb --contents "$deb" | awk '{ print $6 }')
for path in "$unit" /usr/lib/sysusers.d/rngacq.conf /usr/lib/udev/rules.d/60-rngacq.rules "$opt_in"; do
  grep -qx ".$path" <<<"$contents" || fail "$deb lacks $path"
done
control=$(mktemp -d)
dpkg-deb --control "$deb" "$control"
[ -x "$control/postinst" ] && grep -q 'systemd-sysusers rngacq.conf' "$control/postinst" ||
  fail "$deb has no postinst that makes the user rngacq"
rm -rf "$control"

echo "-- installed: the system user, systemd-analyze verify"
debs=("$release"/*.deb)
mapfile -t names < <(for d in "${debs[@]}"; do dpkg-deb --field "$d" Package; done)
apt-get install -y -qq -o DPkg::Lock::Timeout=600 "${debs[@]/#/$PWD/}" >/dev/null
scratch=$(mktemp -d)
trap 'apt-get remove -y -qq "${names[@]}" >/dev/null; rm -rf "$scratch"' EXIT
getent passwd rngacq | grep -q ':/nonexistent:/usr/sbin/nologin$' || fail "postinst made no system user rngacq"
getent group rngacq >/dev/null || fail "postinst made no group rngacq"
gid=$(getent group rngacq | cut -d: -f3)
instance=$(systemd-escape --template=rngacq-rngd@.service "$serial")
# verify succeeds even with an unknown key or a missing manual page, and says so: any output fails.
verified=$(systemd-analyze verify "$instance" 2>&1) || fail "systemd-analyze verify: $verified"
[ -z "$verified" ] || fail "systemd-analyze verify $instance: $verified"
# verify looks at the first program only; those inside the shell's command line must exist too.
exec_start=$(sed -n 's/^ExecStart=//p' "$unit")
for program in $(grep -o "/[a-z/]*bin/[a-z-]*" <<<"$exec_start" | sort -u); do
  [ -x "$program" ] || fail "the unit runs $program, which is not installed"
done
echo "verified $instance; programs: $(grep -o "/[a-z/]*bin/[a-z-]*" <<<"$exec_start" | sort -u | xargs)"

echo "-- the unit's command line: only rngd keeps CAP_SYS_ADMIN"
# What systemd does for User=, AmbientCapabilities=, CapabilityBoundingSet= and
# NoNewPrivileges=, done by setpriv; the specifier and the doubled dollar as systemd expands them.
grep -qx 'AmbientCapabilities=CAP_SYS_ADMIN' "$unit" && grep -qx 'CapabilityBoundingSet=CAP_SYS_ADMIN' "$unit" &&
  grep -qx 'NoNewPrivileges=yes' "$unit" && grep -qx 'User=rngacq' "$unit" || fail "the unit's privilege settings changed"
chmod 755 "$scratch"
caps=$scratch/caps
mkdir "$caps" && chown rngacq:rngacq "$caps"
# Each probe notes its capabilities, user and arguments; rngd's reads what rngacq's writes.
report='grep -E "^Cap(Inh|Prm|Eff|Amb)" /proc/self/status; echo "uid $(id -un)"; echo "args $*"'
printf '#!/bin/bash\n{ %s; } >%s\necho data\n' "$report" "$caps/acq.txt" >"$scratch/acq"
printf '#!/bin/bash\n{ %s; read -r line; echo "read $line"; } >%s\n' "$report" "$caps/rngd.txt" >"$scratch/rngd"
chmod 755 "$scratch/acq" "$scratch/rngd"
command=${exec_start//\$\$/\$}
command=${command//%I/$serial}
command=${command//\/usr\/bin\/rngacq/$scratch/acq}
command=${command//\/usr\/sbin\/rngd/$scratch/rngd}
argv=()
eval "argv=($command)"
setpriv --reuid=rngacq --regid=rngacq --init-groups --inh-caps=+sys_admin --ambient-caps=+sys_admin \
  --bounding-set=-all,+sys_admin --no-new-privs "${argv[@]}" </dev/null || fail "the unit's command line failed"
none=0000000000000000
sys_admin=0000000000200000
for set in Inh Prm Eff Amb; do
  grep -qx "Cap$set:"$'\t'"$none" "$caps/acq.txt" || fail "rngacq keeps a capability: $(cat "$caps/acq.txt")"
done
for set in Prm Eff Amb; do
  grep -qx "Cap$set:"$'\t'"$sys_admin" "$caps/rngd.txt" || fail "rngd lacks CAP_SYS_ADMIN or has more: $(cat "$caps/rngd.txt")"
done
grep -qx "args /STDOUT /STREAM /RECONNECT /SERIAL=$serial" "$caps/acq.txt" || fail "rngacq's arguments: $(cat "$caps/acq.txt")"
grep -qx "args -f -r /dev/stdin" "$caps/rngd.txt" && grep -qx "read data" "$caps/rngd.txt" &&
  grep -qx "uid rngacq" "$caps/rngd.txt" || fail "rngd's side: $(cat "$caps/rngd.txt")"
# A failing acquisition fails the unit even when rngd ends well.
printf '#!/bin/sh\nexit 1\n' >"$scratch/acq"
if setpriv --reuid=rngacq --regid=rngacq --init-groups "${argv[@]}" </dev/null; then
  fail "the unit's command line succeeds although rngacq failed"
fi
echo "rngacq: no capability; rngd: CAP_SYS_ADMIN alone; both as rngacq; rngacq's failure is the unit's"

echo "-- udev rules on emulated devices (udevadm test)"
# The rule as generated for a module ID, the ID list of the packages being empty.
cmake -S . -B "$rules_build" -G Ninja -DRNGACQ_MODULE_IDS=1234:5678 -DRNGACQ_TESTS=OFF -DRNGACQ_BENCH=OFF >/dev/null
generated=$rules_build/packaging/60-rngacq.rules
grep -q '^SUBSYSTEM=="usb", .*ATTR{idVendor}=="1234", ATTR{idProduct}=="5678", ' "$generated" ||
  fail "$generated has no line for 1234:5678"
# device NAME PRODUCT SERIAL: an umockdev description of a USB device 1234:PRODUCT.
device() {
  printf '%s\n' "P: /devices/pci0000:00/0000:00:14.0/usb1/1-3" "N: bus/usb/001/003" \
    "E: DEVNAME=/dev/bus/usb/001/003" "E: DEVTYPE=usb_device" "E: SUBSYSTEM=usb" "E: MAJOR=189" \
    "E: MINOR=2" 'A: idVendor=1234\n' "A: idProduct=$2\\n" "A: serial=$3\\n" 'A: busnum=1\n' \
    'A: devnum=3\n' 'A: dev=189:2\n' >"$scratch/$1.umockdev"
}
# run NAME linked|unlinked: udevadm test of the device NAME, in a mount namespace of its own where
# the generated rule stands in /run/udev/rules.d and /etc/udev/rules.d holds only the link.
run() {
  unshare -m bash -c 'set -e
    mount -t tmpfs tmpfs /run
    mkdir -p /run/udev/rules.d
    cp "$1" /run/udev/rules.d/60-rngacq.rules
    mount -t tmpfs tmpfs /etc/udev/rules.d
    if [ "$2" = linked ]; then ln -s "$3" /etc/udev/rules.d/; fi
    umockdev-run -d "$4" -- udevadm test --action=add /sys/devices/pci0000:00/0000:00:14.0/usb1/1-3' \
    _ "$generated" "$2" "$opt_in" "$scratch/$1.umockdev" >"$scratch/$1-$2.txt" 2>&1 ||
    fail "udevadm test $1 ($2): $(tail -n 20 "$scratch/$1-$2.txt")"
  out=$scratch/$1-$2.txt
  # A key udev does not know, a group it cannot find or a substitution it refuses is logged, not fatal.
  if grep -E 'rngacq[^ ]*\.rules:[0-9]+ (Invalid|Unknown|Failed|failed)|rngacq[^ ]*\.rules.*(error|ignoring)' "$out"; then
    fail "udevadm test $1 ($2) complains about the rules"
  fi
}
has() { grep -Fqx -- "$1" "$out" || fail "udevadm test: no '$1' in $out"; }
lacks() { ! grep -Fq -- "$1" "$out" || fail "udevadm test: '$1' in $out"; }
access() {
  grep ' GROUP ' "$out" | tail -n 1 | grep -Eq "/60-rngacq\.rules:[0-9]+ GROUP $gid\$" &&
    grep ' MODE ' "$out" | tail -n 1 | grep -Eq '/60-rngacq\.rules:[0-9]+ MODE 0660$' ||
    fail "udevadm test: the node's group and mode are not 60-rngacq.rules' in $out"
  grep -q '^TAGS=.*:uaccess:' "$out" || fail "udevadm test: no uaccess in $out"
}
device module 5678 "$serial"
device other 9999 "$serial"
device odd 5678 'odd serial$1'

run module unlinked
access
lacks SYSTEMD_WANTS
lacks /dev/rngacq/

run module linked
access
has "SYSTEMD_WANTS=$instance"
grep -q '^TAGS=.*:systemd:' "$out" || fail "udevadm test: no systemd tag in $out"
grep -q "^DEVLINKS=.*/dev/rngacq/$serial" "$out" || fail "udevadm test: no /dev/rngacq/$serial in $out"
# The unit binds itself to the device unit of that link, and takes the serial back from %I.
escaped=${instance#rngacq-rngd@}
escaped=${escaped%.service}
binds=$(sed -n 's/^BindsTo=//p' "$unit")
[ "${binds//%i/$escaped}" = "$(systemd-escape --path --suffix=device "/dev/rngacq/$serial")" ] ||
  fail "BindsTo=$binds does not name the device unit of /dev/rngacq/$serial"
[ "$(systemd-escape --unescape "$escaped")" = "$serial" ] || fail "%I of $instance is not $serial"
[ -f "/usr/lib/systemd/system/${instance%%@*}@.service" ] || fail "SYSTEMD_WANTS names a unit that is not installed"

run other linked
lacks RNGACQ_MODULE
lacks SYSTEMD_WANTS
run odd linked
access
lacks SYSTEMD_WANTS
echo "udev: group rngacq 0660 with uaccess; $instance wanted only when linked, for the module's ID and a plain serial"
