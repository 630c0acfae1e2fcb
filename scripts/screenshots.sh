#!/usr/bin/env bash
# Takes the README's screenshots of the real program under Xvfb, with trayer
# as the notification area: the main window with TCP/IP on and two clients
# connected, the notification-area icon with its balloon, the log window, the
# settings dialog, the main window again with two slow pushes running, a
# Bluetooth box that says why it cannot start (and its message), then on a
# larger screen the main window at twice the size and in a dark palette, and
# the settings dialog of a first start. The PNGs go to docs/. Needs a built
# tree (make build).
set -euo pipefail
cd "$(dirname "$0")/.."

binary=build/quillfern
grab=build/tests/screen_grab
cmake --build build -j2 --target quillfern screen_grab > /dev/null
port=${QUILLFERN_SHOT_PORT:-6500}

work=$(mktemp -d)
pids=()
cleanup() {
  # Only what this script started, newest first.
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill "${pids[i]}" 2> /dev/null || true; done
  wait 2> /dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# The program's own folders, so the user's settings stay untouched.
mkdir -p "$work/run" "$work/config" "$work/Exchange/Photos"
chmod 700 "$work/run"
printf 'Holiday notes\n' > "$work/Exchange/notes.txt"
cat > "$work/config/Quillfern.ini" << INI
[Settings]
AutoStartTCP=1
BalloonNotification=1
TcpPort=$port
RootPath=$work/Exchange
PushPolicy=1
AlwaysAcceptDevices=00:1A:7D:DA:71:13 5C:F3:70:8B:12:4E
INI
export XDG_RUNTIME_DIR=$work/run XDG_CONFIG_HOME=$work/config HOME=$work
unset WAYLAND_DISPLAY QT_QPA_PLATFORM

display=:$((90 + RANDOM % 9))
Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp > /dev/null 2>&1 &
pids+=($!)
export DISPLAY=$display
for _ in $(seq 50); do xdotool getdisplaygeometry > /dev/null 2>&1 && break; sleep 0.1; done
trayer --edge bottom --align right --widthtype request --height 28 --transparent false \
  --tint 0x404040 > /dev/null 2>&1 &
pids+=($!)
sleep 1

"$binary" > "$work/program.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -S "$work/run/Quillfern.socket" ] && break; sleep 0.1; done
sleep 1
# The largest visible window of the title (the tray icon has one too).
find_window() {
  local best="" area=0 id
  for id in $(xdotool search --onlyvisible --name "$1"); do
    eval "$(xdotool getwindowgeometry --shell "$id")"
    if [ $((WIDTH * HEIGHT)) -gt "$area" ]; then area=$((WIDTH * HEIGHT)) best=$id; fi
  done
  echo "$best"
}
main=$(find_window '^Quillfern$')

# Some traffic for the log, then two clients that stay connected.
printf 'A picture\n' > "$work/photo.jpg"
(cd "$work" && obexftp -n "127.0.0.1:$port" -p photo.jpg > /dev/null 2>&1) || true
obexftp -n "127.0.0.1:$port" -l / > /dev/null 2>&1 || true
hold_client() {  # marker file written once the server has answered
  python3 - "$port" "$1" << 'PY' &
import socket, sys, time
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])))
s.sendall(bytes([0x80, 0x00, 0x07, 0x10, 0x00, 0xFF, 0xFF]))  # OBEX CONNECT
s.recv(64)
open(sys.argv[2], "w").close()
time.sleep(120)
PY
  pids+=($!)
}
hold_client "$work/held.1"
for _ in $(seq 100); do [ -e "$work/held.1" ] && break; sleep 0.1; done
hold_client "$work/held.2"
for _ in $(seq 100); do [ -e "$work/held.2" ] && break; sleep 0.1; done
# The window draws the second lamp on its next turn of the event loop.
sleep 0.6

shoot_window() {  # window id, file
  eval "$(xdotool getwindowgeometry --shell "$1")"
  "$grab" "$2" "$X" "$Y" "$WIDTH" "$HEIGHT"
}
shoot_window "$main" docs/main-window.png
# The balloon of the second connect beside the icon in the corner.
"$grab" docs/notification-area.png 624 568 400 200

click_toolbar() {  # position from the right: 1 Close ... 5 Log, 6 Open exchange folder
  eval "$(xdotool getwindowgeometry --shell "$main")"
  xdotool mousemove -- $((X + WIDTH - 3 - 42 * $1 + 21)) $((Y + 20))
  xdotool click 1
}
click_toolbar 5
sleep 1
log=$(find_window '^Log$')
shoot_window "$log" docs/log-window.png
# Out of the way of the main window's toolbar.
xdotool windowunmap "$log"
sleep 0.3
click_toolbar 4
sleep 1
settings=$(find_window '^Settings$')
shoot_window "$settings" docs/settings-dialog.png
# Its Close button, bottom right: the main window takes the pointer again.
eval "$(xdotool getwindowgeometry --shell "$settings")"
xdotool mousemove $((X + WIDTH - 80)) $((Y + HEIGHT - 20))
xdotool click 1
sleep 0.5

# Two pushes that go slowly: a 4 MB file that says its size (a ring that
# fills) and an object without a length (an arc that runs round). They take
# slots 3 and 4 beside the two held clients; the tooltip is the first one's.
slow_push() {  # name, declared length (0: none), bytes a packet, seconds between packets
  python3 - "$port" "$@" << 'PY' &
import socket, struct, sys, time
port, name, size, piece, gap = int(sys.argv[1]), sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), float(sys.argv[5])
s = socket.create_connection(("127.0.0.1", port))
s.sendall(bytes([0x80, 0x00, 0x07, 0x10, 0x00, 0x20, 0x00]))  # CONNECT, 8 KiB packets
s.recv(64)
encoded = name.encode("utf-16-be") + b"\0\0"
headers = bytes([0x01]) + struct.pack(">H", 3 + len(encoded)) + encoded
if size:
    headers += bytes([0xC3]) + struct.pack(">I", size)
data = b"q" * piece
deadline = time.time() + 120
while time.time() < deadline:
    body = headers + bytes([0x48]) + struct.pack(">H", 3 + len(data)) + data
    s.sendall(bytes([0x02]) + struct.pack(">H", 3 + len(body)) + body)  # PUT, not final
    if s.recv(64)[:1] != b"\x90":
        break
    headers = b""
    time.sleep(gap)
PY
  pids+=($!)
}
slow_push holiday-video.mp4 4000000 6000 0.015
sleep 0.3
slow_push camera-roll.tar 0 2000 0.02
sleep 2.5
# The first pushing lamp (slot 3 of the TCP/IP box), with its tooltip.
eval "$(xdotool getwindowgeometry --shell "$main")"
xdotool mousemove $((X + ${QUILLFERN_SHOT_LAMP_X:-318})) $((Y + ${QUILLFERN_SHOT_LAMP_Y:-125}))
sleep 1.5
eval "$(xdotool getwindowgeometry --shell "$main")"
"$grab" docs/transfer-ring.png "$X" "$Y" "$((WIDTH + 90))" "$((HEIGHT + 20))"

# Bluetooth Object Push on a computer whose Bluetooth cannot serve (this one
# has no bluetoothd): the message, then the box that keeps the reason.
xdotool mousemove 0 0
eval "$(xdotool getwindowgeometry --shell "$main")"
xdotool mousemove $((X + 70)) $((Y + ${QUILLFERN_SHOT_OP_SWITCH_Y:-262}))
xdotool click 1
sleep 1.5
message=""
for id in $(xdotool search --onlyvisible --name '^Quillfern$'); do
  [ "$id" != "$main" ] && message=$id
done
if [ -z "$message" ]; then
  echo "No message came up for Bluetooth Object Push (set QUILLFERN_SHOT_OP_SWITCH_Y)" >&2
  exit 1
fi
shoot_window "$message" docs/bluetooth-message.png
# Its OK button, bottom right.
eval "$(xdotool getwindowgeometry --shell "$message")"
xdotool mousemove $((X + WIDTH - 45)) $((Y + HEIGHT - 20))
xdotool click 1
sleep 1
xdotool mousemove 0 0
sleep 0.5
shoot_window "$main" docs/bluetooth-reason.png

# The rest on a screen of its own, twice as large, each a program of its own.
stop_program() {
  kill "$program" 2> /dev/null || true
  wait "$program" 2> /dev/null || true
}
for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill "${pids[i]}" 2> /dev/null || true; done
wait 2> /dev/null || true
pids=()
display=:$((${display#:} + 10))
Xvfb "$display" -screen 0 2048x1536x24 -nolisten tcp > /dev/null 2>&1 &
pids+=($!)
export DISPLAY=$display
for _ in $(seq 50); do xdotool getdisplaygeometry > /dev/null 2>&1 && break; sleep 0.1; done
start_program() {  # environment assignments for the program
  env "$@" "$binary" > "$work/program.log" 2>&1 &
  program=$!
  pids+=("$program")
  for _ in $(seq 100); do [ -S "$work/run/Quillfern.socket" ] && break; sleep 0.1; done
  sleep 1.5
}

start_program QT_SCALE_FACTOR=2
shoot_window "$(find_window '^Quillfern$')" docs/main-window-2x.png
stop_program

# A dark palette as a KDE Plasma user has it: Qt reads it from kdeglobals.
cat > "$work/config/kdeglobals" << KDE
[Colors:Window]
BackgroundNormal=42,46,50
ForegroundNormal=239,240,241
[Colors:View]
BackgroundNormal=27,30,32
ForegroundNormal=239,240,241
[Colors:Button]
BackgroundNormal=49,54,59
ForegroundNormal=239,240,241
[Colors:Selection]
BackgroundNormal=61,174,233
ForegroundNormal=252,252,252
[Colors:Tooltip]
BackgroundNormal=49,54,59
ForegroundNormal=239,240,241
KDE
start_program XDG_CURRENT_DESKTOP=KDE KDE_SESSION_VERSION=5 KDE_FULL_SESSION=true
shoot_window "$(find_window '^Quillfern$')" docs/main-window-dark.png
stop_program
rm "$work/config/kdeglobals"

# A first start: no settings file yet.
rm "$work/config/Quillfern.ini"
start_program
shoot_window "$(find_window '^Settings$')" docs/first-start.png
stop_program
echo "Screenshots written to docs/: main-window notification-area log-window settings-dialog" \
  "transfer-ring bluetooth-message bluetooth-reason main-window-2x main-window-dark first-start"
