# Sourced by guest.sh when boot.env says QF_MODE=bench (make bench-bluetooth):
# the same 5 MiB Object Push PUT and Folder Browsing GET from obexftp and
# from obexd's client, against Quillfern and against BlueZ obexd as the
# server on the same radios, rounds alternated (Quillfern, obexd, ...), every
# transfer checked byte for byte; then the plain L2CAP and RFCOMM links
# without OBEX, as the ceiling. One line per run and a table at the end go
# into /tmp/results/bench.txt.

bench=$results/bench.txt
rounds=${QF_BENCH_ROUNDS:-5}
mib=${QF_PUSH_MIB:-5}
bytes=$((mib * 1048576))
ticks=$(getconf CLK_TCK)
: >"$bench"
note() { echo "$*" | tee -a "$bench"; }

start_stack bench-
pass bench-stack-ready "hci0 $server, phone hci1 $phone"
wait_for 30 link_gone
mgmt -i 0 io-cap 3 >/dev/null
mgmt -i 1 io-cap 3 >/dev/null
mgmt -i 1 pair -c 3 -t 0 "$server" >"$results/bench-pair.txt" 2>&1
trust_phone bench-trust.txt >/dev/null
[[ $(phone_state) == *Trusted=true* ]] || fail_and_stop bench-phone-trusted "$(phone_state)"
pass bench-phone-trusted "$(phone_state)"
start_obexd_client

push_file=push-5mib.bin
get_name=get-5mib.bin
obexd_root=/tmp/obexd-root
mkdir -p "$obexd_root"
head -c "$bytes" /dev/urandom >"$root/$get_name"
cp "$root/$get_name" "$obexd_root/$get_name"

# BlueZ obexd as the server: Object Push (accepting every push) and File
# Transfer on the folder, its records registered with bluetoothd; on a
# session bus of its own, beside the client's.
obexd_server_pid=
start_obexd_server() {
  local bus
  bus=$(dbus-daemon --session --fork --print-address)
  DBUS_SESSION_BUS_ADDRESS=$bus /usr/libexec/bluetooth/obexd -n -r "$obexd_root" -a \
    -p filesystem,bluetooth,opp,ftp >>"$results/obexd-server.log" 2>&1 &
  obexd_server_pid=$!
  wait_for 30 obexd_records || fail_and_stop bench-obexd-server "no obexd records on hci0; see bench-sdp.txt"
  op=$(record_channel 0x1105)
  fb=$(record_channel 0x1106)
}
stop_obexd_server() {
  kill "$obexd_server_pid"
  wait "$obexd_server_pid"
}
# The RFCOMM channel of the record of a class in bench-sdp.txt.
record_channel() {
  awk -v RS= -v class="($1)" 'index($0, class) && match($0, /Channel: [0-9]+/) {
    print substr($0, RSTART + 9, RLENGTH - 9); exit }' "$results/bench-sdp.txt"
}
obexd_records() {
  timeout 30 sdptool -i hci1 browse "$server" >"$results/bench-sdp.txt" 2>&1
  [ -n "$(record_channel 0x1105)" ] && [ -n "$(record_channel 0x1106)" ]
}

# The profile versions of Quillfern's records as the phone sees them, one
# word a record ("0x0101 0x0101" for Object Push and Folder Browsing without a PSM).
quillfern_record_versions() {
  timeout 30 sdptool -i hci1 browse "$server" 2>/dev/null |
    awk -v RS= -v op="$op_name" -v fb="$fb_name" '(index($0, "Service Name: " op "\n") ||
      index($0, "Service Name: " fb "\n")) && match($0, /Version: 0x[0-9a-f]+/) {
      printf "%s%s", sep, substr($0, RSTART + 9, RLENGTH - 9); sep = " " }'
}
only_rfcomm_records() { [ "$(quillfern_record_versions)" = "0x0101 0x0101" ]; }

cpu_of() { awk -v ticks="$ticks" '{ printf "%.3f", ($14 + $15) / ticks }' "/proc/$1/stat"; }
# One transfer: SERVER_NAME PID STORE CLIENT KIND ROUND; a line into bench.txt.
run_one() {
  local who=$1 pid=$2 store=$3 client=$4 kind=$5 round=$6 cpu_before cpu_after started seconds ok how=""
  rm -f "$store/$push_file" "$phone_dir/$get_name"
  wait_for 30 link_gone
  cpu_before=$(cpu_of "$pid")
  started=$(date +%s.%N)
  case $client-$kind in
    obexftp-put) obex bench-last.txt -B "$op" -U none -p "$push_file" ;;
    obexftp-get) obex bench-last.txt -B "$fb" -g "$get_name" ;;
    obexd*-put)
      how=$(timeout 300 python3 "$here/obexd_client.py" bench-put "$server" "$phone" "$phone_dir/$push_file" 2>>"$results/bench-obexd.txt")
      ;;
    obexd*-get)
      how=$(timeout 300 python3 "$here/obexd_client.py" bench-get "$server" "$phone" "$get_name" "$phone_dir/$get_name" 2>>"$results/bench-obexd.txt")
      ;;
  esac
  seconds=$(awk -v a="$started" -v b="$(date +%s.%N)" 'BEGIN { printf "%.3f", b - a }')
  # obexd's client times the transfer alone, without making the session.
  [ -n "$how" ] && seconds=$(echo "$how" | awk '{ print $(NF - 1) }')
  cpu_after=$(cpu_of "$pid")
  if [ "$kind" = put ]; then
    cmp -s "$phone_dir/$push_file" "$store/$push_file" && ok=identical || ok=DIFFERS
  else
    cmp -s "$store/$get_name" "$phone_dir/$get_name" && ok=identical || ok=DIFFERS
  fi
  note "run $kind $client $who $round $seconds $(awk -v a="$cpu_before" -v b="$cpu_after" 'BEGIN { printf "%.2f", b - a }') $ok ${how% * *}"
}

note "# kind client server round seconds server-cpu-seconds check transport"
for ((round = 1; round <= rounds; round++)); do
  for who in quillfern obexd; do
    if [ "$who" = quillfern ]; then
      start_quillfern bench-
      pid=$quillfern_pid store=$root
    else
      start_obexd_server
      pid=$obexd_server_pid store=$obexd_root
    fi
    for client in obexftp obexd; do
      for kind in put get; do run_one "$who" "$pid" "$store" "$client" "$kind" "$round"; done
    done
    if [ "$who" = quillfern ]; then
      # obexd's client again, with Quillfern's records naming no PSM: over RFCOMM.
      stop_quillfern
      start_quillfern bench- --no-l2cap
      # The client searches the records at each session: until bluetoothd has
      # dropped the records that named a PSM, it would take L2CAP to a PSM
      # nobody listens on any more.
      wait_for 30 only_rfcomm_records || say "the phone still sees records '$(quillfern_record_versions)'"
      for kind in put get; do run_one quillfern "$quillfern_pid" "$root" obexd-rfcomm "$kind" "$round"; done
      stop_quillfern
    else
      stop_obexd_server
    fi
  done
done

# The ceiling: the same bytes on the same radios with no OBEX.
for kind in l2cap rfcomm; do
  port=$([ "$kind" = l2cap ] && echo 4113 || echo 20)
  for try in 1 2 3; do
    rm -f "$results/raw-receiver.txt"
    python3 "$here/raw_link.py" receive "$kind" "$server" "$port" "$bytes" >"$results/raw-receiver.txt" 2>&1 &
    receiver=$!
    wait_for 10 grep -q listening "$results/raw-receiver.txt"
    wait_for 30 link_gone
    timeout 150 python3 "$here/raw_link.py" send "$kind" "$phone" "$server" "$port" "$bytes" \
      >"$results/raw-sender-$kind-$try.txt" 2>&1
    kill "$receiver" 2>/dev/null
    wait "$receiver"
    note "raw $kind $try $(tail -n 1 "$results/raw-sender-$kind-$try.txt")"
  done
done

python3 "$here/bench_table.py" "$bench" "$mib" | tee -a "$bench"
say "bench done"
