#!/bin/busybox sh
# /init of the virtual machine's initramfs. Loads the modules listed in
# /modules/order (dependencies first), mounts the host's / read-only as the new
# root, gives it writable tmpfs where daemons write, mounts the results share,
# and hands over to the guest script named in the results share's boot.env.
# Any failure here ends in a kernel panic, which (panic=-1, -no-reboot) ends
# the virtual machine at once.

/bin/busybox --install -s /bin
export PATH=/bin

fail() {
  echo "vm-init: $*"
  exit 1
}

mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev

while read -r module; do
  insmod "/modules/$module" || fail "insmod $module failed"
done </modules/order

# virtio devices appear asynchronously after their driver loads.
tries=0
until mount -t 9p -o trans=virtio,version=9p2000.L,ro,msize=262144,cache=loose hostroot /newroot 2>/dev/null; do
  tries=$((tries + 1))
  [ "$tries" -lt 50 ] || fail "cannot mount the host's root"
  sleep 0.1
done

for dir in tmp run var/lib/bluetooth; do
  mount -t tmpfs -o mode=0755 tmpfs "/newroot/$dir" || fail "tmpfs on /$dir failed"
done
chmod 1777 /newroot/tmp
mkdir -p /newroot/tmp/results
mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144 results /newroot/tmp/results ||
  fail "cannot mount the results share"

for dir in proc sys dev; do
  mount --move "/$dir" "/newroot/$dir" || fail "moving /$dir failed"
done

# boot.env names the guest script (QF_GUEST_SCRIPT), the project's folder
# (QF_PROJECT) and what it tests.
. /newroot/tmp/results/boot.env || fail "no boot.env in the results share"
# The project at its own path again, also where a tmpfs above now hides it.
mkdir -p "/newroot$QF_PROJECT" 2>/dev/null || true
mount -t 9p -o trans=virtio,version=9p2000.L,ro,msize=262144,cache=loose project "/newroot$QF_PROJECT" ||
  fail "cannot mount the project's folder"
echo "vm-init: switching to $QF_GUEST_SCRIPT"
exec switch_root /newroot /bin/bash "$QF_GUEST_SCRIPT"
