#!/usr/bin/env bash
# Checks the Debian package that scripts/deb.sh built, as Debian checks packages:
# lintian with no error and no warning, the AppStream metadata with
# `appstreamcli validate --pedantic`, the menu entry with desktop-file-validate. Then that
# it holds what it should and nothing else, that its version is the program's, and that
# its dependencies are those of a desktop program on Debian 12.
#
# Installing it (apt install ./quillfern_*.deb), running it and purging it changes the
# machine, so that part runs only as root on a machine that is there to be changed: CI
# (CI set, as CI services set it) or where QUILLFERN_DEB_INSTALL=1 says so. Elsewhere it is
# skipped with a message. It never touches a quillfern package that is installed already.
#   tests/deb/check.sh [PACKAGE_FOLDER]      (default build-deb)
set -uo pipefail

cd "$(dirname "$0")/../.."
out=${1:-build-deb}
version=$(dpkg-parsechangelog -S Version)
arch=$(dpkg --print-architecture)
deb="$out/quillfern_${version}_${arch}.deb"
changes="$out/quillfern_${version}_${arch}.changes"
project_version=$(sed -n 's/^project(Quillfern VERSION \([^ )]*\).*/\1/p' CMakeLists.txt)

failures=0
pass() { echo "PASS: $*"; }
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
# check "what" command...: PASS or FAIL by the command's exit code.
check() {
  local what=$1
  shift
  if "$@"; then pass "$what"; else fail "$what"; fi
}
same() { # same "what" expected actual
  if [ "$2" = "$3" ]; then pass "$1"; else fail "$1: expected '$2', got '$3'"; fi
}

if [ ! -f "$deb" ] || [ ! -f "$changes" ]; then
  echo "FAIL: no package in $out (make deb builds it)"
  exit 1
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
root="$work/root"
dpkg-deb -x "$deb" "$root"

# What the package holds: the program, its menu entry, icon, user unit, AppStream
# metadata, manual page and license, and the changelog every Debian package carries.
expected_files="/usr/bin/quillfern
/usr/lib/systemd/user/quillfern.service
/usr/share/applications/quillfern.desktop
/usr/share/doc/quillfern/changelog.gz
/usr/share/doc/quillfern/copyright
/usr/share/icons/hicolor/scalable/apps/quillfern.svg
/usr/share/man/man1/quillfern.1.gz
/usr/share/metainfo/io.github.quillfern.quillfern.metainfo.xml"
files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sed 's|^\./|/|' | sort)
same "the package holds these files and no others" "$expected_files" "$files"
check "its license is the project's (MIT)" grep -q "Permission is hereby granted, free of charge" \
  "$root/usr/share/doc/quillfern/copyright"

# One version: CMakeLists.txt's, which the program shows.
same "the package's version is the project's" "$project_version" "$(dpkg-deb -f "$deb" Version)"
shown=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$root/usr/bin/quillfern" --version)
same "the packaged program's --version" "Quillfern $project_version" "$shown"
same "the manual page's header" "Quillfern $project_version" \
  "$(zcat "$root/usr/share/man/man1/quillfern.1.gz" | sed -n 's/^\.TH [^"]*"\([^"]*\)".*/\1/p')"
same "the newest release in the AppStream metadata" "$project_version" \
  "$(sed -n 's/.*<release version="\([^"]*\)".*/\1/p' \
    "$root/usr/share/metainfo/io.github.quillfern.quillfern.metainfo.xml" | head -n 1)"

# Dependencies: the shared libraries' packages, Qt's platform plugins (without them the
# window cannot open), xdg-utils (opening folders and files); bluez recommended.
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for needed in libc6 libqt6widgets6 libsystemd0 qt6-qpa-plugins xdg-utils; do
  check "Depends names $needed" grep -qE "(^|, )$needed( |,|$)" <<< "$depends"
done
check "Depends names no development package" bash -c "! grep -q -- '-dev\b' <<< '$depends'"
same "Recommends" "bluez" "$(dpkg-deb -f "$deb" Recommends)"

# The user unit is there to be switched on by whoever wants it, never for everyone: the
# postinst (dh_installsystemduser --no-enable) enables it again only on an upgrade, where
# an earlier version was installed and someone had enabled it.
dpkg-deb -e "$deb" "$work/control"
check "the postinst enables the user unit only where it was enabled before" bash -c \
  "grep -q \"if deb-systemd-helper --user debian-installed 'quillfern.service'\" '$work/control/postinst'"

echo "--- lintian"
lintian --fail-on error,warning --display-info --pedantic "$changes" 2>&1 | tee "$work/lintian"
check "lintian: no error and no warning" [ "${PIPESTATUS[0]}" -eq 0 ]
check "lintian: no error or warning tag either" \
  bash -c "! grep -qE '^(E|W): ' '$work/lintian'"

echo "--- appstreamcli validate --pedantic"
check "appstreamcli validate --pedantic" appstreamcli validate --pedantic --no-net --explain \
  "$root/usr/share/metainfo/io.github.quillfern.quillfern.metainfo.xml"
check "appstreamcli validate-tree --pedantic (metadata, menu entry, icon together)" \
  appstreamcli validate-tree --pedantic --no-net "$root"
echo "--- desktop-file-validate"
validated=$(desktop-file-validate "$root/usr/share/applications/quillfern.desktop" 2>&1)
same "desktop-file-validate: nothing to say" "" "$validated"

# apt's and dpkg's own output goes to a log, shown when the step fails.
apt_get() {
  if DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 -y -q "$@" \
    > "$work/apt.log" 2>&1; then
    grep -E '^(Setting up|Removing|Purging)' "$work/apt.log"
  else
    cat "$work/apt.log"
    return 1
  fi
}

# Installed as a user installs it, run, and purged.
serve_check() {
  local exchange="$work/exchange" port="" pid
  mkdir -p "$exchange"
  echo "from the computer" > "$exchange/waiting.txt"
  quillfern --headless --no-settings --root "$exchange" --port 0 --listen 127.0.0.1 \
    > "$work/serve.out" 2> "$work/serve.err" &
  pid=$!
  for _ in $(seq 100); do
    port=$(sed -n 's/^Port: //p' "$work/serve.out")
    [ -n "$port" ] && break
    sleep 0.1
  done
  check "the installed program serves headless (Port: $port)" [ -n "$port" ]
  if [ -n "$port" ]; then
    check "obexftp lists the exchange folder" \
      bash -c "timeout 30 obexftp -n '127.0.0.1:$port' -l 2>/dev/null | grep -q waiting.txt"
    echo "from the phone" > "$work/pushed.txt"
    (cd "$work" && timeout 30 obexftp -n "127.0.0.1:$port" -p pushed.txt > /dev/null 2>&1)
    same "obexftp pushes a file into it" "from the phone" "$(cat "$exchange/pushed.txt" 2>/dev/null)"
  fi
  kill -TERM "$pid"
  wait "$pid"
  same "SIGTERM ends it with exit code 0" 0 "$?"
  cat "$work/serve.out" "$work/serve.err"
}

install_check() {
  if dpkg-query -W -f='${Status}' quillfern 2> /dev/null | grep -q 'ok installed'; then
    fail "quillfern is installed on this machine already; left alone, not tried"
    return
  fi
  dpkg-query -W -f='${Package}\n' | sort > "$work/packages.before"
  echo "--- apt install ./$(basename "$deb")"
  apt_get install "$(realpath "$deb")"
  check "apt install ./$(basename "$deb")" dpkg-query -W quillfern
  dpkg-query -W -f='${Package}\n' | sort > "$work/packages.after"
  comm -13 "$work/packages.before" "$work/packages.after" | grep -vx quillfern > "$work/brought"
  echo "Installed with it: $(tr '\n' ' ' < "$work/brought")"
  dpkg -L quillfern | sort > "$work/owned"

  same "quillfern --version" "Quillfern $project_version" "$(quillfern --version)"
  check "quillfern --help exits 0" bash -c "quillfern --help > /dev/null"
  quillfern --no-such-option 2> /dev/null
  same "an unknown option exits 2" 2 "$?"
  check "man finds quillfern(1)" bash -c "man -w quillfern | grep -q /usr/share/man/man1/quillfern.1.gz"
  check "the user unit is not enabled" \
    bash -c "! find /etc/systemd/user -name quillfern.service 2>/dev/null | grep -q ."
  serve_check

  echo "--- apt purge quillfern"
  apt_get purge quillfern
  check "dpkg knows quillfern no more" bash -c "! dpkg-query -W quillfern 2>/dev/null"
  # Every file it put down is gone, and the folders that were its alone.
  local left
  left=$(while read -r path; do
    if [ -e "$path" ] && { [ ! -d "$path" ] || [[ "$path" == */quillfern ]]; }; then echo "$path"; fi
  done < "$work/owned")
  same "nothing of the package is left" "" "$left"
  same "no state of it is left" "" \
    "$(find /var/lib/dpkg/info /var/lib/systemd /etc -name '*quillfern*' 2> /dev/null)"
  if [ -s "$work/brought" ]; then
    echo "--- apt purge of what came with it: $(tr '\n' ' ' < "$work/brought")"
    # shellcheck disable=SC2046
    apt_get purge $(cat "$work/brought")
  fi
}

if [ "$(id -u)" -eq 0 ] && { [ -n "${CI:-}" ] || [ "${QUILLFERN_DEB_INSTALL:-}" = 1 ]; }; then
  install_check
else
  echo "SKIP: apt install, run and apt purge of the package change this machine: they run" \
    "only as root where CI is set or QUILLFERN_DEB_INSTALL=1"
fi

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) of the package failed"
  exit 1
fi
echo "The package passed every check."
