#!/usr/bin/env bash
# Starts Quillfern: on a desktop (DISPLAY or WAYLAND_DISPLAY set) its window,
# whose settings say which services run; otherwise headless on the OBEX port
# with the user's documents folder as the exchange folder, reachable from
# this computer only unless QUILLFERN_LISTEN names another address (0.0.0.0:
# every network).
set -euo pipefail
cd "$(dirname "$0")/.."

binary=build/quillfern

if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  echo "Quillfern opens its window (a first start asks for the exchange folder)."
  echo "Its services are switched on in the window; Minimize hides it in the notification area."
  exec "$binary"
fi

port=${QUILLFERN_PORT:-650}
# Whoever reaches the port can read and change the exchange folder, so a
# first try stays on this computer.
listen=${QUILLFERN_LISTEN:-127.0.0.1}

folder=${QUILLFERN_ROOT:-}
if [ -z "$folder" ]; then
  folder=$(xdg-user-dir DOCUMENTS 2>/dev/null || true)
  if [ -z "$folder" ] || [ "$folder" = "$HOME" ]; then
    folder="$HOME/Documents"
  fi
fi
mkdir -p "$folder"

# Ports below 1024 are privileged on Linux. A normal user gets the one
# capability that binding them needs, on this program only.
if [ "$port" -gt 0 ] && [ "$port" -lt 1024 ] && [ "$(id -u)" -ne 0 ]; then
  if ! getcap "$binary" 2>/dev/null | grep -q cap_net_bind_service; then
    echo "Port $port is privileged: granting $binary cap_net_bind_service (sudo setcap)."
    sudo setcap cap_net_bind_service=+ep "$binary"
  fi
fi

case "$listen" in
  127.* | ::1) local_only=yes ;;
  *) local_only=no ;;
esac
# A client on this computer reaches a listener on any address through
# loopback; one bound to a single address only there. obexftp connects
# over IPv4 only, so an IPv6 address gets no example.
case "$listen" in
  0.0.0.0 | ::) try_host=127.0.0.1 ;;
  *:*) try_host= ;;
  *) try_host=$listen ;;
esac
if [ -n "$try_host" ] && [ "$port" != 650 ]; then try_host="$try_host:$port"; fi

echo "Quillfern serves OBEX over TCP/IP on port $port."
echo "Files go to: $folder"
if [ "$local_only" = yes ]; then
  echo "Only this computer can connect (listening on $listen)."
  echo "To serve your network instead:  QUILLFERN_LISTEN=0.0.0.0 make run"
fi
if [ -n "$try_host" ]; then
  echo "Try it from another terminal:  obexftp -n $try_host -l"
fi
echo "Stop with Ctrl+C."
exec "$binary" --headless --root "$folder" --port "$port" --listen "$listen" --services tcp
