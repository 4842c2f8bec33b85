#!/usr/bin/env bash
# What VorlaWS costs on a private 1920x1080 X server showing an office-like scene, against a
# vorla-recsrv and a vorla-cfgsim on this machine. Needs a build (scripts/bootstrap.sh).
#
#   bench/workstation_usage.sh [--seconds N]          (default 30)
#     Records at 5 frames a second (VP8, frames enciphered with digests) and, side by side in the
#     same run, records the same display with ffmpeg's x11grab + libvpx (realtime, one thread);
#     prints CPU time and bytes per recorded frame of both and the ratios. Installs ffmpeg when
#     it is missing.
#   bench/workstation_usage.sh --idle [--seconds N]   (default 60)
#     A session is open and nothing records: prints VorlaWS's share of one core and its
#     resident set over the time.
#   VORLA_BENCH_TRAY=1 shows the tray icon in a running system tray (trayer) during the run.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bin="${BIN_DIR:-$root/build/bin}"
idle=0
seconds=""
while [ $# -gt 0 ]; do
  case "$1" in
    --idle) idle=1 ;;
    --seconds) seconds="$2"; shift ;;
    *) echo "usage: $0 [--idle] [--seconds N]" >&2; exit 2 ;;
  esac
  shift
done
[ -n "$seconds" ] || { [ "$idle" = 1 ] && seconds=60 || seconds=30; }
# shellcheck source=bench/ffmpeg_comparison.sh
. "$root/bench/ffmpeg_comparison.sh"
[ "$idle" = 1 ] || vorla_ensure_ffmpeg
work="$(mktemp -d /tmp/vorla-record-bench-XXXXXX)"
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# The X server, a window manager (the desktop shell whose owner is the logged-on user) and the scene.
exec {fd}<> <(:)
Xvfb -displayfd "$fd" -nolisten tcp -noreset -screen 0 1920x1080x24 >"$work/xvfb.log" 2>&1 &
pids+=($!)
read -r -t 5 -u "$fd" display_number
export DISPLAY=":$display_number"
openbox --sm-disable >/dev/null 2>&1 &
pids+=($!)
sleep 0.5
"$bin/vorla-office-scene" >/dev/null 2>&1 &
pids+=($!)

# The recording server and the Configurator with a rule that records all day at 5 frames a second
# (for --idle, a rule whose window of one second is never reached during the run).
"$bin/vorla-recsrv" --port 0 --output "$work/rec" --password bench >"$work/recsrv.log" 2>&1 &
pids+=($!)
for _ in $(seq 50); do grep -q 'listening on' "$work/recsrv.log" && break; sleep 0.1; done
rec_port="$(sed -n 's/.*listening on 127.0.0.1:\([0-9]*\).*/\1/p' "$work/recsrv.log" | head -1)"
if [ "$idle" = 1 ]; then
  window='"start_hour":0,"start_minute":0,"start_second":0,"end_hour":0,"end_minute":0,"end_second":1'
else
  window='"start_hour":0,"start_minute":0,"start_second":0,"end_hour":23,"end_minute":59,"end_second":59'
fi
cat >"$work/rules.json" <<JSON
{"rules":[{"name":"all day","inputs":[{"type":"schedule","name":"day",$window}],
 "true_actions":[{"type":"record","images_per_second":5,"codec":"VP80","quality":60}],
 "false_actions":[{"type":"stop"}]}]}
JSON
"$bin/vorla-cfgsim" --port 0 >"$work/cfgsim.log" 2>&1 &
pids+=($!)
for _ in $(seq 50); do grep -q 'listening on' "$work/cfgsim.log" && break; sleep 0.1; done
cfg_port="$(sed -n 's/.*listening on 127.0.0.1:\([0-9]*\).*/\1/p' "$work/cfgsim.log" | head -1)"
mkdir -p "$work/data/Vorla/Workstation"
cat >"$work/data/Vorla/Workstation/Workstation.ini" <<INI
[Config]
SCServerIP=127.0.0.1
RecordingPort=$rec_port
ConfigIP=127.0.0.1
ConfigPort=$cfg_port
BroadcastPort=0
SeatingType=2
INI
# VORLA_BENCH_TRAY=1: the tray icon is on, in a running system tray (trayer).
if [ "${VORLA_BENCH_TRAY:-0}" = 1 ]; then
  echo "EnableDesktopIcon=1" >>"$work/data/Vorla/Workstation/Workstation.ini"
  trayer --edge top --align right --widthtype request --height 32 >/dev/null 2>&1 &
  pids+=($!)
fi
cat >"$work/settings.json" <<JSON
{"SCServerIP":"127.0.0.1","RecordingPort":$rec_port,"ConfigIP":"127.0.0.1","ConfigPort":$cfg_port,
 "BroadcastPort":0,"SeatingType":2,"EncryptionPassword":"bench"}
JSON
kill "${pids[-1]}"; wait "${pids[-1]}" 2>/dev/null || true; unset 'pids[-1]'
"$bin/vorla-cfgsim" --port "$cfg_port" -c 'wait 1 20000' \
  -c "config settings=$work/settings.json rules=$work/rules.json" >"$work/cfgsim.log" 2>&1 &
pids+=($!)

VORLA_COMMON_APPDATA="$work/data" VORLA_LOG_DIR="$work/log" VORLA_RUNTIME_DIR="$work/run" \
  VORLA_TEMP_DIR="$work" "$bin/VorlaWS" CMDLN >"$work/ws.log" 2>&1 &
ws=$!
pids+=($ws)
cpu_ticks() { vorla_cpu_ticks "$1"; }
hz="$(getconf CLK_TCK)"

if [ "$idle" = 1 ]; then
  # The session opened with the rules from the Configurator (the second session of the run).
  for _ in $(seq 300); do [ "$(grep -c 'session .* opened' "$work/recsrv.log")" -ge 2 ] && break; sleep 0.1; done
  [ "$(grep -c 'session .* opened' "$work/recsrv.log")" -ge 2 ] || { echo "no session opened"; cat "$work/ws.log"; exit 1; }
  before="$(cpu_ticks $ws)"
  peak=0
  for _ in $(seq "$seconds"); do
    sleep 1
    rss="$(awk '/^VmRSS/ {print $2}' "/proc/$ws/status")"
    [ "$rss" -gt "$peak" ] && peak="$rss"
  done
  after="$(cpu_ticks $ws)"
  grep -q 'segment .* opened' "$work/recsrv.log" && { echo "a segment opened: not idle"; exit 1; }
  python3 -c 'import sys; b,a,hz,s,peak=map(int,sys.argv[1:]); print(f"VorlaWS idle with a session open: {(a-b)*100.0/hz/s:.2f}% of one core over {s} s, resident set at most {peak/1024:.1f} MB")' \
    "$before" "$after" "$hz" "$seconds" "$peak"
  exit 0
fi

for _ in $(seq 300); do grep -q 'segment .* opened' "$work/recsrv.log" && break; sleep 0.1; done
grep -q 'segment .* opened' "$work/recsrv.log" || { echo "no segment opened"; cat "$work/ws.log"; exit 1; }

ws_before="$(cpu_ticks $ws)"
# PERF_DATA=FILE: also samples VorlaWS with perf over the window (for finding where time goes).
if [ -n "${PERF_DATA:-}" ]; then
  perf record -q -F 499 -g -p "$ws" -o "$PERF_DATA" -- sleep "$seconds" >/dev/null 2>&1 &
fi
vorla_ffmpeg_record "$DISPLAY" 1920x1080 5 "$seconds" "$work/ffmpeg"
ws_after="$(cpu_ticks $ws)"
kill -TERM "$ws"; wait "$ws" 2>/dev/null || true
for _ in $(seq 50); do grep -q 'closed:' "$work/recsrv.log" && break; sleep 0.1; done

# VorlaWS: the frames of the segment and their bytes as the server counted them; CPU over the
# same window as ffmpeg's recording (the frames of that window at the recorded rate).
read -r ws_frames ws_bytes < <(python3 -c '
import json,sys
i=json.load(open(sys.argv[1]))
f=b=0
for s in i.get("sessions",[]):
  for g in s.get("segments",[]): f+=g["frames"]; b+=g["bytes"]
print(f,b)' "$work/rec/index.json")
vorla_print_comparison "$(((ws_after - ws_before) * 1000 / hz))" "$((seconds * 5))" "$ws_frames" \
  "$ws_bytes" "$work/ffmpeg"
