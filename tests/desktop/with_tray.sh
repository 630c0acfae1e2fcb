#!/usr/bin/env bash
# Runs a test program on the X server that xvfb-run started, with trayer as
# the notification area; trayer is stopped by its own process id afterwards.
set -uo pipefail
trayer --edge bottom --align right --widthtype request --height 28 --transparent false \
  > /dev/null 2>&1 &
tray=$!
sleep 1
QT_QPA_PLATFORM=xcb "$@"
result=$?
kill "$tray" 2> /dev/null
wait "$tray" 2> /dev/null
exit $result
