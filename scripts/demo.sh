#!/usr/bin/env bash
# Demo on one machine: the stand-in reflector, relaysim with 10 decoders and 10 encoders,
# and an RTP tone source feeding relaysim's local port.
#
#   bash scripts/demo.sh            interactive: type a stream index and Enter, Ctrl-C ends
#   bash scripts/demo.sh SECONDS    a measured run (--duration SECONDS): selects stream 0 by
#                                   itself, listens on the player port in place of a player,
#                                   prints the summary, checks that the streams came online and
#                                   that stream 0's datagrams arrived at the player port, and
#                                   leaves the run's CSV, JSON report and plot in the build folder
# Ports can be moved with DEMO_REFLECTOR_PORT, DEMO_DECODER_PORT, DEMO_LOCAL_PORT, DEMO_PLAYER_PORT.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-}
# Stream 0 is selected 4 s in, once the streams are up: a shorter run can't show it played.
if [ -n "$seconds" ] && ! [[ "$seconds" =~ ^[0-9]+$ && "$seconds" -ge 5 ]]; then
  echo "demo: SECONDS must be a whole number of 5 or more, not '$seconds'" >&2
  exit 2
fi
for tool in cmake make g++ python3; do
  command -v "$tool" >/dev/null ||
    { echo "demo: $tool is missing; install what the demo needs with: bash scripts/setup.sh demo" >&2; exit 1; }
done
build=${DEMO_BUILD_DIR:-build-demo}
reflector_port=${DEMO_REFLECTOR_PORT:-40000}
decoder_port=${DEMO_DECODER_PORT:-40002}
local_port=${DEMO_LOCAL_PORT:-40010}
player_port=${DEMO_PLAYER_PORT:-40020}

# A port that another program holds would fail the demo half-way with a socket error.
busy=$(python3 - "$reflector_port" "$decoder_port" "$local_port" <<'PY'
import socket, sys
for port in dict.fromkeys(sys.argv[1:]):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    try:
        s.bind(("0.0.0.0", int(port)))
    except OSError:
        print(port)
    finally:
        s.close()
PY
)
if [ -n "$busy" ]; then
  echo "demo: UDP port $(echo $busy | tr ' ' ',') in use by another program; choose free ones with" \
       "DEMO_REFLECTOR_PORT, DEMO_DECODER_PORT, DEMO_LOCAL_PORT" >&2
  exit 1
fi

. scripts/progress.sh
mkdir -p "$build"
progress "demo: building relaysim and the stand-ins in $build/" "$build/demo-build.log" % \
  bash -c 'cmake -S . -B "$1" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF -DBUILD_RELAYSIM=ON \
             -DBUILD_VOXFRAME=OFF -DBUILD_PATCHER=OFF &&
           cmake --build "$1" -j"$(nproc)" --target relaysim reflector rtp_source' - "$build"

sdp="$build/demo-player.sdp"
cat >"$sdp" <<SDP
v=0
o=- 0 0 IN IP4 127.0.0.1
s=relaysim demo
c=IN IP4 127.0.0.1
t=0 0
m=audio $player_port RTP/AVP 0
a=rtpmap:0 PCMU/8000
SDP

pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap cleanup EXIT INT TERM

"$build/tools/reflector" -a 127.0.0.1 -e "$reflector_port" -d "$decoder_port" \
  >"$build/demo-reflector.log" 2>&1 &
pids+=($!)
"$build/tools/rtp_source" -t "127.0.0.1:$local_port" -f 440 >"$build/demo-source.log" 2>&1 &
pids+=($!)

cat <<TEXT

demo: reflector on 127.0.0.1:$reflector_port (decoder requests on $decoder_port),
      a 440 Hz tone into relaysim's local port $local_port, player port $player_port.
demo: to listen, run in another terminal:
        ffplay -nodisp -protocol_whitelist file,udp,rtp -i $sdp
      or:  vlc rtp://@:$player_port
TEXT

relaysim=("$build/relaysim/emulator/relaysim" -n 10 -d -e -l "$local_port"
          -r "127.0.0.1:$reflector_port" -pd "$decoder_port" -p "127.0.0.1:$player_port")
report="$build/demo-report.json"

if [ -z "$seconds" ]; then
  cat <<TEXT
demo: to select a stream, type its index (0 to 9) and Enter; -1 stops listening; Ctrl-C ends
      the run with its summary, the delay of the tone through the reflector included.

TEXT
  # A measured run (its report), so that a live line shows what the decoders receive each second.
  "${relaysim[@]}" --report "$report" || true
  exit 0
fi
echo "demo: unattended: relaysim runs ${seconds} s and selects stream 0 itself after 4 s."
echo
# A stand-in player: counts the datagrams arriving on the player port until it is told to stop.
heard="$build/demo-player.count"
rm -f "$heard"
python3 - "$player_port" "$heard" <<'PY' &
import signal, socket, sys
port, out = int(sys.argv[1]), sys.argv[2]
signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
count = 0
try:
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind(("127.0.0.1", port))
    while True:
        s.recv(2048)
        count += 1
except OSError:
    count = "busy"
finally:
    with open(out, "w") as f:
        f.write("%s\n" % count)
PY
listener_pid=$!
pids+=("$listener_pid")

log="$build/demo-relaysim.log"
run_csv="$build/demo-run.csv"
plot="$build/demo-run.png"
# Input ends after the selection; the run ends by itself with its verdict as exit status. Its
# output is shown as it comes (a live line every 2 s) and kept in the log.
{ sleep 4; echo 0; } | "${relaysim[@]}" --duration "$seconds" --max-loss 1 --interval 2 \
  --csv "$run_csv" --report "$report" > >(tee "$log") 2>&1 &
relaysim_pid=$!
pids+=("$relaysim_pid")
status=0
wait "$relaysim_pid" || status=$?
sleep 0.2  # tee's last lines
echo
if /usr/bin/python3 scripts/plot_run.py "$run_csv" "$plot" --report "$report"; then
  echo "demo: run's CSV $run_csv, report $report, plot $plot"
else
  echo "demo: no plot; CSV $run_csv, report $report"
fi
kill "$listener_pid" 2>/dev/null || true
wait "$listener_pid" 2>/dev/null || true
heard_count=$(cat "$heard" 2>/dev/null || echo 0)
if [ "$heard_count" = busy ]; then
  echo "demo: the player port $player_port is in use (a player listening?): arrivals not counted"
else
  echo "demo: $heard_count datagrams of stream 0 arrived at the player port $player_port"
fi
if [ "$status" -eq 0 ] && grep -q "Online \[Total online: 10\]" "$log" \
   && grep -q "reflector stream online" "$log" && grep -q "local stream online" "$log" \
   && { [ "$heard_count" = busy ] || [ "$heard_count" -gt 0 ]; }; then
  echo "demo: OK: 10 decoder streams online, local stream relayed, stream 0 heard on the player port"
else
  echo "demo: FAILED (relaysim exit status $status): see $log and $build/demo-reflector.log"
  exit 1
fi
