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
if [ "$idle" = 0 ] && ! command -v ffmpeg >/dev/null; then
  sudo=""; [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get install -y -qq --no-install-recommends ffmpeg >/dev/null
fi
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
"$bin/vorla_office_scene" >/dev/null 2>&1 &
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
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
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
ffmpeg -hide_banner -nostats -benchmark -f x11grab -framerate 5 -video_size 1920x1080 \
  -i "$DISPLAY" -t "$seconds" -c:v libvpx -deadline realtime -threads 1 -y "$work/ffmpeg.webm" \
  >"$work/ffmpeg.log" 2>&1
ws_after="$(cpu_ticks $ws)"
kill -TERM "$ws"; wait "$ws" 2>/dev/null || true
for _ in $(seq 50); do grep -q 'closed:' "$work/recsrv.log" && break; sleep 0.1; done

read -r ff_user ff_sys < <(sed -n 's/.*utime=\([0-9.]*\)s stime=\([0-9.]*\)s.*/\1 \2/p' "$work/ffmpeg.log")
ff_frames="$(ffprobe -v error -count_packets -select_streams v:0 -show_entries stream=nb_read_packets \
  -of csv=p=0 "$work/ffmpeg.webm")"
ff_bytes="$(ffprobe -v error -select_streams v:0 -show_entries packet=size -of csv=p=0 "$work/ffmpeg.webm" | awk '{s+=$1} END {print s}')"
# VorlaWS: the frames of the segment and their bytes as the server counted them; CPU over the
# same window as ffmpeg's recording (the frames of that window at the recorded rate).
read -r ws_frames ws_bytes < <(python3 -c '
import json,sys
i=json.load(open(sys.argv[1]))
f=b=0
for s in i.get("sessions",[]):
  for g in s.get("segments",[]): f+=g["frames"]; b+=g["bytes"]
print(f,b)' "$work/rec/index.json")
python3 - "$ws_before" "$ws_after" "$hz" "$seconds" "$ws_frames" "$ws_bytes" "$ff_user" "$ff_sys" "$ff_frames" "$ff_bytes" <<'PY'
import sys
wb, wa, hz, secs, wf, wbytes, fu, fs, ff, fbytes = sys.argv[1:]
ws_cpu_ms = (int(wa) - int(wb)) * 1000.0 / int(hz)
ws_frames_window = int(secs) * 5
ff_cpu_ms = (float(fu) + float(fs)) * 1000.0
ws_per = ws_cpu_ms / ws_frames_window
ff_per = ff_cpu_ms / int(ff)
ws_bpf = int(wbytes) / max(1, int(wf))
ff_bpf = int(fbytes) / max(1, int(ff))
print(f"VorlaWS: {ws_per:.2f} ms CPU per frame ({ws_cpu_ms:.0f} ms over {ws_frames_window} frames), "
      f"{ws_bpf:.0f} bytes per frame ({wf} frames, {wbytes} bytes)")
print(f"ffmpeg : {ff_per:.2f} ms CPU per frame ({ff_cpu_ms:.0f} ms over {ff} frames), "
      f"{ff_bpf:.0f} bytes per frame ({fbytes} bytes)")
print(f"ratios : CPU {ws_per/ff_per:.2f}x, bytes {ws_bpf/ff_bpf:.2f}x")
PY
