#!/usr/bin/env bash
# Runs Quillfern's Bluetooth services end to end on the real Linux Bluetooth
# stack inside a virtual machine: qemu with software emulation, a Debian
# kernel unpacked into a cache folder (never installed here), a busybox
# initramfs, and this computer's own / shared read-only as the guest's root,
# so that the guest runs the binaries built here. Two virtual controllers
# (btvirt) play the computer and the phone; tests/vm/guest.sh runs the checks
# (those about who may browse twice: bluetoothd without an agent, then with
# one that accepts every pairing) and writes one line per check into a
# results share.
#
#   tests/vm/run.sh QUILLFERN_BINARY [CACHE_DIR]
#
# Prints PASS or FAIL per check; exits non-zero when any check failed or did
# not run. A boot that never reached the guest script, or a guest that met
# a known emulation hiccup, is retried once. QF_VM_TIME_LIMIT (seconds,
# default 600) bounds each boot.
#
# With QF_VM_MODE=bench (make bench-bluetooth) the guest runs the side by
# side timing of tests/vm/bench_guest.sh instead (QF_BENCH_ROUNDS rounds,
# default 5; QF_VM_PUSH_MIB MiB per transfer, default 5) and this prints
# its runs and table.
#
# QF_VM_ONLY=obexd-push runs only obexd's client pushing 100 KiB once (gobex's
# trace and a backtrace in obexd-client.log, btmon in obexd-btmon.txt) and
# prints that check.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source_dir=$(cd "$here/../.." && pwd)
binary=${1:?usage: tests/vm/run.sh QUILLFERN_BINARY [CACHE_DIR]}
cache=${2:-$source_dir/build-vm}
mode=${QF_VM_MODE:-test}
if [ "$mode" = bench ]; then
  time_limit=${QF_VM_TIME_LIMIT:-5400}
else
  time_limit=${QF_VM_TIME_LIMIT:-600}
fi

binary=$(cd "$(dirname "$binary")" && pwd)/$(basename "$binary")
[ -x "$binary" ] || { echo "vm: no program at $binary (build first)"; exit 1; }
mkdir -p "$cache"
cache=$(cd "$cache" && pwd)

# The checks the guest must report, in the order it runs them.
expected_checks=(
  stack-ready quillfern-started records stranger-cannot-browse fifth-client-refused
  pairing push-5mib untrusted-cannot-browse obexd-ftp-untrusted-refused untrusted-cannot-delete
  trust fb-list trusted-deletes-over-op fb-get fb-mkdir fb-delete fb-refuses-without-target
  op-refuses-listing
  obexd-opp-push obexd-opp-non-ascii-name obexd-opp-existing-name-numbered
  obexd-opp-cancel-leaves-nothing obexd-ftp-list obexd-ftp-get obexd-ftp-put
  obexd-ftp-mkdir-chdir obexd-ftp-copy obexd-ftp-move obexd-ftp-delete obexd-over-l2cap-srm
  name-in-log
  agent-stack-ready agent-quillfern-started agent-stranger-cannot-browse agent-pairing
  agent-push agent-untrusted-cannot-browse agent-untrusted-cannot-delete agent-trust
  agent-fb-list agent-trusted-deletes-over-op
)

if ! command -v qemu-system-x86_64 >/dev/null ||
  ! qemu-system-x86_64 -accel help 2>/dev/null | grep -qx tcg; then
  echo "SKIP: the Bluetooth virtual-machine test needs qemu-system-x86_64 with TCG" \
    "(package qemu-system-x86, installed by scripts/setup.sh); it cannot run here."
  exit 0
fi

# The kernel: whatever linux-image-amd64 currently points to, unpacked once.
kernel_meta=${QF_VM_KERNEL:-linux-image-amd64}
kernel_package=$(apt-cache depends "$kernel_meta" 2>/dev/null |
  awk '$1 == "Depends:" && $2 ~ /^linux-image-/ { print $2; exit }')
if [ -z "$kernel_package" ]; then
  echo "vm: cannot resolve $kernel_meta (run apt-get update, e.g. through scripts/setup.sh)"
  exit 1
fi
kernel_dir=$cache/kernel/$kernel_package
if [ ! -f "$kernel_dir/.ready" ]; then
  echo "vm: fetching $kernel_package into $kernel_dir"
  rm -rf "$kernel_dir"
  mkdir -p "$kernel_dir/deb"
  (cd "$kernel_dir/deb" && apt-get download -q -o APT::Sandbox::User=root "$kernel_package")
  dpkg-deb -x "$kernel_dir"/deb/*.deb "$kernel_dir/root"
  rm -rf "$kernel_dir/deb"
  kernel_version=$(ls "$kernel_dir/root/lib/modules")
  depmod -b "$kernel_dir/root" "$kernel_version"
  touch "$kernel_dir/.ready"
fi
kernel_version=$(ls "$kernel_dir/root/lib/modules")
module_root=$kernel_dir/root/lib/modules/$kernel_version
vmlinuz=$kernel_dir/root/boot/vmlinuz-$kernel_version

# The initramfs: static busybox, /init, and the modules with their
# dependencies (from modules.dep), dependencies first.
wanted_modules=(virtio_pci 9pnet_virtio 9p bluetooth rfcomm hci_vhci cmac ecb algif_hash algif_skcipher)
declare -A module_path=() module_deps=() loaded=()
while IFS= read -r line; do
  path=${line%%:*}
  name=${path##*/}
  name=${name%.xz}
  name=${name%.ko}
  name=${name//-/_}
  module_path[$name]=$path
  module_deps[$name]=${line#*:}
done <"$module_root/modules.dep"
order=()
add_module() {
  local name=${1//-/_} dep
  [ -n "${loaded[$name]:-}" ] && return 0
  if [ -z "${module_path[$name]:-}" ]; then
    if grep -qE "/$1\.ko(\.xz)?\$" "$module_root/modules.builtin"; then return 0; fi
    echo "vm: module $1 not found in $kernel_package"
    exit 1
  fi
  loaded[$name]=1
  for dep in ${module_deps[$name]}; do
    dep=${dep##*/}
    dep=${dep%.xz}
    add_module "${dep%.ko}"
  done
  order+=("${module_path[$name]}")
}
for module in "${wanted_modules[@]}"; do add_module "$module"; done

initramfs=$cache/initramfs-$kernel_version.gz
staging=$(mktemp -d "$cache/initramfs.XXXXXX")
trap 'rm -rf "$staging"' EXIT
mkdir -p "$staging"/{bin,dev,proc,sys,newroot,modules}
cp /bin/busybox "$staging/bin/busybox"
cp "$here/init.sh" "$staging/init"
chmod 755 "$staging/init"
: >"$staging/modules/order"
for path in "${order[@]}"; do
  name=${path##*/}
  if [[ $name == *.xz ]]; then
    name=${name%.xz}
    xz -dc "$module_root/$path" >"$staging/modules/$name"
  else
    cp "$module_root/$path" "$staging/modules/"
  fi
  echo "$name" >>"$staging/modules/order"
done
(cd "$staging" && find . | cpio -o -H newc --quiet | gzip -1) >"$initramfs.tmp"
mv "$initramfs.tmp" "$initramfs"

# btvirt forwards ACL data under the sender's connection handle; the shim
# gives the receiver its own (see btvirt_handles.c).
shim=$cache/btvirt_handles.so
cc -shared -fPIC -O2 -Wall -Wextra -Werror -o "$shim.tmp" "$here/btvirt_handles.c" -ldl
mv "$shim.tmp" "$shim"

# Reading the host's files through 9p is the slow part of the guest's
# start; having them in this computer's page cache first helps.
cat "$binary" /usr/libexec/bluetooth/bluetoothd /usr/bin/btvirt /usr/bin/obexftp \
  /usr/bin/sdptool /usr/bin/btmgmt /usr/bin/bluetoothctl /usr/bin/dbus-daemon \
  /usr/libexec/bluetooth/obexd >/dev/null 2>&1 || true

# The project's folder is shared once more on its own: the guest puts tmpfs on
# /tmp, which would hide a checkout (and its build) that lives below /tmp.
project=$source_dir

boot_once() {
  local results=$1
  rm -rf "$results"
  mkdir -p "$results"
  cat >"$results/boot.env" <<EOF
QF_GUEST_SCRIPT='${QF_VM_GUEST_SCRIPT:-$here/guest.sh}'
QF_BINARY='$binary'
QF_BTVIRT_PRELOAD='$shim'
QF_PUSH_MIB='${QF_VM_PUSH_MIB:-5}'
QF_PROJECT='$project'
QF_MODE='$mode'
QF_BENCH_ROUNDS='${QF_BENCH_ROUNDS:-5}'
QF_ONLY='${QF_VM_ONLY:-}'
EOF
  local started status
  started=$(date +%s)
  set +e
  timeout --kill-after=10 "$time_limit" qemu-system-x86_64 \
    -accel tcg -cpu max -smp 2 -m 1024 \
    -nodefaults -no-user-config -display none -no-reboot \
    -serial "file:$results/console.log" \
    -kernel "$vmlinuz" -initrd "$initramfs" \
    -append "console=ttyS0 panic=-1 loglevel=4 rdinit=/init" \
    -fsdev "local,id=hostroot,path=/,security_model=none,readonly=on,multidevs=remap" \
    -device virtio-9p-pci,fsdev=hostroot,mount_tag=hostroot \
    -fsdev "local,id=results,path=$results,security_model=none,multidevs=remap" \
    -device virtio-9p-pci,fsdev=results,mount_tag=results \
    -fsdev "local,id=project,path=$project,security_model=none,readonly=on,multidevs=remap" \
    -device virtio-9p-pci,fsdev=project,mount_tag=project \
    >"$results/qemu.log" 2>&1
  status=$?
  set -e
  echo "vm: the virtual machine ran $(($(date +%s) - started)) s (qemu exit status $status)"
  [ "$status" -eq 124 ] && echo "vm: stopped at the time limit of $time_limit s"
  return 0
}

results=$cache/results
run_started=$(date +%s)
boot_once "$results"
if [ ! -f "$results/started" ] || [ -f "$results/hiccup" ]; then
  echo "vm: the boot did not reach the checks or met an emulation hiccup; booting once more"
  cat "$results/hiccup" 2>/dev/null || true
  tail -n 20 "$results/console.log" 2>/dev/null || true
  mv "$results" "$results.first"
  boot_once "$results"
fi

if [ "$mode" = bench ]; then
  cat "$results/bench.txt" 2>/dev/null
  echo "vm: whole run $(($(date +%s) - run_started)) s; logs in $results"
  if ! grep -q '^| ' "$results/bench.txt" 2>/dev/null || grep -q '^not counted' "$results/bench.txt"; then
    echo "vm: the bench did not finish, or a transfer failed"
    grep '^FAIL' "$results/checks" 2>/dev/null
    tail -n 30 "$results/guest.log" 2>/dev/null || true
    exit 1
  fi
  exit 0
fi

if [ -n "${QF_VM_ONLY:-}" ]; then
  cat "$results/checks" 2>/dev/null
  echo "vm: logs in $results"
  ! grep -q '^FAIL' "$results/checks" && grep -q '^PASS obexd-push-100k' "$results/checks"
  exit
fi

failed=0
for check in "${expected_checks[@]}"; do
  line=$(grep -m1 -E "^(PASS|FAIL) $check( |:|\$)" "$results/checks" 2>/dev/null || true)
  if [ -z "$line" ]; then
    echo "FAIL $check: did not run"
    failed=$((failed + 1))
  else
    echo "$line"
    [[ $line == PASS* ]] || failed=$((failed + 1))
  fi
done
echo "vm: whole run $(($(date +%s) - run_started)) s"
if [ "$failed" -ne 0 ]; then
  echo "vm: $failed of ${#expected_checks[@]} checks failed; logs in $results"
  echo "---- guest log (last 60 lines)"
  tail -n 60 "$results/guest.log" 2>/dev/null || true
  echo "---- console (last 30 lines)"
  tail -n 30 "$results/console.log" 2>/dev/null || true
  exit 1
fi
echo "vm: all ${#expected_checks[@]} Bluetooth checks passed"
