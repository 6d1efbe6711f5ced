#!/bin/bash
# Boots a private systemd as PID 1 of its own namespaces, for the service
# tests. Run it under
#   unshare --pid --fork --mount --uts --ipc --mount-proc systemd_sandbox.sh STATE
# STATE is a folder of the test's own; the sandbox's system console is the
# file STATE/console.
#
# The manager sees only the units written here: /run, /etc/systemd/system
# and /var/log are empty tmpfs mounts of this namespace, and the unit path is
# restricted to /etc/systemd/system. Started with its normal unit path,
# systemd would run the machine's sysinit.target, whose tmpfiles set-up
# empties the real /tmp and /var/tmp.
set -euo pipefail
state="$1"

mount --make-rprivate /
mount -t tmpfs -o mode=755 tmpfs /run
mount -t tmpfs -o mode=755 tmpfs /etc/systemd/system
mount -t tmpfs -o mode=755 tmpfs /var/log
# The system console becomes a file the test reads, where there is one.
: > "$state/console"
chmod 666 "$state/console"
if [ -e /dev/console ] && mount --bind "$state/console" /dev/console; then
  : > "$state/console-bound"
fi

units=/etc/systemd/system
for target in sysinit basic multi-user network shutdown qm-sandbox; do
  cat > "$units/$target.target" <<EOF
[Unit]
Description=$target of the service test sandbox
DefaultDependencies=no
EOF
done

# The system bus, so that commands of unprivileged users reach the manager
# (and are refused by it) as on a real machine.
cat > "$units/dbus.socket" <<EOF
[Unit]
DefaultDependencies=no
[Socket]
ListenStream=/run/dbus/system_bus_socket
EOF
cat > "$units/dbus.service" <<EOF
[Unit]
DefaultDependencies=no
Requires=dbus.socket
[Service]
ExecStart=/usr/bin/dbus-daemon --system --address=systemd: --nofork --nopidfile --systemd-activation --syslog-only
EOF
mkdir -p "$units/qm-sandbox.target.wants"
ln -s ../dbus.socket "$units/qm-sandbox.target.wants/dbus.socket"
ln -s ../dbus.service "$units/qm-sandbox.target.wants/dbus.service"

exec env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin SYSTEMD_UNIT_PATH=/etc/systemd/system container=qm-sandbox \
  /lib/systemd/systemd --system --unit=qm-sandbox.target
