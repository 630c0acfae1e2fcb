#!/usr/bin/env bash
# Starts Quillfern headless on the OBEX port with the user's documents
# folder as the exchange folder.
set -euo pipefail
cd "$(dirname "$0")/.."

binary=build/quillfern
port=${QUILLFERN_PORT:-650}

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
if [ "$port" -lt 1024 ] && [ "$(id -u)" -ne 0 ]; then
  if ! getcap "$binary" 2>/dev/null | grep -q cap_net_bind_service; then
    echo "Port $port is privileged: granting $binary cap_net_bind_service (sudo setcap)."
    sudo setcap cap_net_bind_service=+ep "$binary"
  fi
fi

echo "Quillfern serves OBEX over TCP/IP on port $port."
echo "Files go to: $folder"
echo "Try it from another terminal:  obexftp -n 127.0.0.1 -l"
echo "Stop with Ctrl+C."
exec "$binary" --headless --root "$folder" --port "$port"
