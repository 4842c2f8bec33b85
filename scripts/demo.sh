#!/usr/bin/env bash
# A recording from start to end on this machine: a private X server with a window manager and an
# office-like scene (tools/scene), the recording server (vorla-recsrv) writing into the output
# folder, the Configurator (vorla-cfgsim) handing over settings (the server's address, an
# EncryptionPassword) and two rules, and "VorlaWS CMDLN" with temporary folders of its own.
#   rule 1 records while a window titled "Customer record" is open (the scene opens one for a while);
#   rule 2 records on an external trigger, fired and ended through VorlaWS's local HTTP interface.
# Beside it ffmpeg's x11grab + libvpx records the same display, for the CPU comparison.
# At the end everything it started is stopped (by pid) and a summary is printed. Exit code 0 only
# when frames were recorded, deciphered with valid digests, and the WebM files hold them all.
#
#   scripts/demo.sh [--seconds N] [--display :N] [--output DIR] [--size WxH] [--screenshot FILE]
#     --seconds N        recording time after the session opened (default 30, at least 8)
#     --display :N       record this running display instead (no scene of our own: the customer
#                        rule then records only if such a window shows up there)
#     --output DIR       the recording server's output folder (default ./demo-recordings); the
#                        previous run's folder is replaced (only one that vorla-recsrv wrote)
#     --size WxH         the private X server's screen (default 1920x1080)
#     --screenshot FILE  also save a headless Chromium screenshot of the viewer page as FILE
# Builds what is missing first (scripts/bootstrap.sh); BIN_DIR=DIR uses the programs in DIR and
# builds nothing.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
seconds=30
display=""
output="$PWD/demo-recordings"
size=1920x1080
screenshot=""
usage() { sed -n '2,/^set -euo/p' "$0" | sed '$d' | sed 's/^# \{0,1\}//' >&2; exit 2; }
while [ $# -gt 0 ]; do
  case "$1" in
    --seconds) seconds="${2:-}"; shift ;;
    --display) display="${2:-}"; shift ;;
    --output) output="${2:-}"; shift ;;
    --size) size="${2:-}"; shift ;;
    --screenshot) screenshot="${2:-}"; shift ;;
    -h|--help) usage ;;
    *) echo "demo: unknown option $1" >&2; usage ;;
  esac
  shift
done
[[ "$seconds" =~ ^[0-9]+$ ]] && [ "$seconds" -ge 8 ] || { echo "demo: --seconds takes a number >= 8" >&2; exit 2; }
[[ "$size" =~ ^[0-9]+x[0-9]+$ ]] || { echo "demo: --size takes WxH" >&2; exit 2; }
[ -z "$display" ] || [[ "$display" =~ ^:[0-9]+(\.[0-9]+)?$ ]] || { echo "demo: --display takes :N" >&2; exit 2; }
case "$output" in /*) ;; *) output="$PWD/$output" ;; esac
[ -z "$screenshot" ] || case "$screenshot" in /*) ;; *) screenshot="$PWD/$screenshot" ;; esac

# ---- Programs
if [ -n "${BIN_DIR:-}" ]; then
  bin="$BIN_DIR"
else
  echo "demo: installing and building what is missing (scripts/bootstrap.sh)"
  VORLA_BUILD_TARGETS="VorlaWS vorla-recsrv vorla-cfgsim vorla-office-scene" \
    "$root/scripts/bootstrap.sh"
  bin="${BUILD_DIR:-$root/build}/bin"
fi
for p in VorlaWS vorla-recsrv vorla-cfgsim vorla-office-scene; do
  [ -x "$bin/$p" ] || { echo "demo: $bin/$p is missing" >&2; exit 1; }
done
for c in Xvfb openbox curl ffmpeg ffprobe python3 xprop; do
  command -v "$c" >/dev/null || { echo "demo: $c is missing (scripts/bootstrap.sh installs it)" >&2; exit 1; }
done
# shellcheck source=bench/ffmpeg_comparison.sh
. "$root/bench/ffmpeg_comparison.sh"

# ---- The output folder: a previous run's is replaced, anything else is left alone.
if [ -e "$output" ]; then
  if [ -d "$output" ] && { [ -f "$output/index.json" ] || [ -z "$(ls -A "$output")" ]; }; then
    rm -rf "$output"
  else
    echo "demo: $output exists and is not a recording folder; choose another with --output" >&2
    exit 1
  fi
fi

work="$(mktemp -d /tmp/vorla-demo-XXXXXX)"
pids=()
# Stops what this script started, newest first: SIGTERM, then SIGKILL after 10 s.
stop_pid() {
  local p="$1" i
  kill -TERM "$p" 2>/dev/null || return 0
  for i in $(seq 100); do kill -0 "$p" 2>/dev/null || break; sleep 0.1; done
  kill -KILL "$p" 2>/dev/null || true
  wait "$p" 2>/dev/null || true
}
cleanup() {
  local i
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do stop_pid "${pids[i]}"; done
  pids=()
  [ "${VORLA_DEMO_KEEP_WORK:-0}" = 1 ] || rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
started() { pids+=("$1"); }
forget() {  # a pid that has been stopped and waited for
  local keep=() p
  for p in "${pids[@]}"; do [ "$p" = "$1" ] || keep+=("$p"); done
  pids=("${keep[@]}")
}
wait_for() {  # wait_for SECONDS COMMAND...: true once COMMAND succeeds
  local limit=$(( $1 * 10 )) i
  shift
  for ((i = 0; i < limit; i++)); do "$@" && return 0; sleep 0.1; done
  return 1
}
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
fail() {
  echo "demo: $*" >&2
  for f in recsrv cfgsim ws; do
    [ -f "$work/$f.log" ] && { echo "---- $f (last lines)" >&2; tail -n 15 "$work/$f.log" >&2; }
  done
  exit 1
}

# ---- The X server, the window manager
own_display=0
if [ -z "$display" ]; then
  own_display=1
  exec {fd}<> <(:)
  Xvfb -displayfd "$fd" -nolisten tcp -noreset -screen 0 "${size}x24" >"$work/xvfb.log" 2>&1 &
  started $!
  read -r -t 10 -u "$fd" display_number || fail "Xvfb did not start"
  exec {fd}>&-
  display=":$display_number"
  export DISPLAY="$display"
  openbox --sm-disable >"$work/openbox.log" 2>&1 &
  started $!
  wait_for 10 sh -c 'xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q "window id"' ||
    fail "the window manager did not start"
else
  export DISPLAY="$display"
  xprop -root >/dev/null 2>&1 || fail "cannot open the display $display"
  size="$(xdpyinfo 2>/dev/null | sed -n 's/.*dimensions: *\([0-9]*x[0-9]*\) pixels.*/\1/p' | head -1)"
  [ -n "$size" ] || fail "cannot read the size of $display"
fi

# ---- The recording server, the Configurator's files, the Configurator
password="demo-$(date +%s)"
"$bin/vorla-recsrv" --port 0 --output "$output" --password "$password" --http 0 \
  >"$work/recsrv.log" 2>&1 &
recsrv=$!
started $recsrv
wait_for 10 grep -q 'viewer at http' "$work/recsrv.log" || fail "vorla-recsrv did not start"
rec_port="$(sed -n 's/.*listening on 127.0.0.1:\([0-9]*\).*/\1/p' "$work/recsrv.log" | head -1)"
viewer_url="$(sed -n 's/.*viewer at \(http[^ ]*\).*/\1/p' "$work/recsrv.log" | head -1)"
cfg_port="$(free_port)"
http_port="$(free_port)"

record='{"type":"record","images_per_second":5,"codec":"VP80","quality":60}'
cat >"$work/rules.json" <<JSON
{"rules": [
  {"name": "Customer record open", "inputs": [{"type": "app", "name": "customer", "title": "Customer record"}],
   "true_actions": [$record], "false_actions": [{"type": "stop"}]},
  {"name": "External trigger", "inputs": [{"type": "ext", "name": "ext"}],
   "true_actions": [$record], "false_actions": [{"type": "stop"}]}
]}
JSON
cat >"$work/settings.json" <<JSON
{"SCServerIP": "127.0.0.1", "RecordingPort": $rec_port, "ConfigIP": "127.0.0.1", "ConfigPort": $cfg_port,
 "BroadcastPort": 0, "SeatingType": 2, "AssignedFCC": "VP80", "EncryptionPassword": "$password",
 "HTTPPort": 0}
JSON
"$bin/vorla-cfgsim" --port "$cfg_port" -c 'wait 1 20000' \
  -c "config settings=$work/settings.json rules=$work/rules.json" >"$work/cfgsim.log" 2>&1 &
cfgsim=$!
started $cfgsim
wait_for 10 grep -q 'listening on' "$work/cfgsim.log" || fail "vorla-cfgsim did not start"

# ---- VorlaWS, with temporary folders
mkdir -p "$work/data/Vorla/Workstation" "$work/log" "$work/run" "$work/temp" "$work/units"
cat >"$work/data/Vorla/Workstation/Workstation.ini" <<INI
[Config]
HTTPPort=$http_port
SCServerIP=127.0.0.1
RecordingPort=$rec_port
ConfigIP=127.0.0.1
ConfigPort=$cfg_port
BroadcastPort=0
SeatingType=2
INI
VORLA_COMMON_APPDATA="$work/data" VORLA_LOG_DIR="$work/log" VORLA_RUNTIME_DIR="$work/run" \
  VORLA_TEMP_DIR="$work/temp" VORLA_SYSTEMD_DIR="$work/units" \
  "$bin/VorlaWS" CMDLN >"$work/ws.log" 2>&1 &
ws=$!
started $ws
# The session that runs under the Configurator's settings and rules: the one opened after they
# were sent (VorlaWS restarts its first session when they arrive).
wait_for 20 grep -q 'sent configuration' "$work/cfgsim.log" || fail "VorlaWS did not take the configuration"
session_with_rules() {
  python3 - "$output/index.json" <<'PY'
import json, sys
try:
    i = json.load(open(sys.argv[1]))
except Exception:
    sys.exit(1)
s = [x for x in i.get("sessions", []) if x.get("open") and int(x.get("rules", 0)) == 2]
sys.exit(0 if s else 1)
PY
}
wait_for 20 session_with_rules || fail "no session with the two rules opened"
wait_for 5 curl -sf -m 2 "http://127.0.0.1:$http_port/Workstation/Ping" -o /dev/null ||
  fail "the local HTTP interface does not answer on port $http_port"

# ---- The scene and its times (seconds after the session opened)
t_open=$((seconds / 10 > 1 ? seconds / 10 : 1))
t_close=$((seconds * 4 / 10))
t_trigger=$((seconds * 55 / 100))
t_untrigger=$((seconds * 8 / 10))
echo "demo: recording $display ($size) for $seconds s: customer record $t_open-$t_close s," \
  "external trigger $t_trigger-$t_untrigger s"
t0="$(date +%s.%N)"
if [ "$own_display" = 1 ]; then
  "$bin/vorla-office-scene" --seconds "$((seconds + 5))" --customer-record "$t_open:$t_close" \
    >"$work/scene.log" 2>&1 &
  started $!
fi
vorla_ffmpeg_record "$DISPLAY" "$size" 5 "$seconds" "$work/ffmpeg" &
ffmpeg_pid=$!
started $ffmpeg_pid
ws_before="$(vorla_cpu_ticks "$ws")"
sleep_until() { local s; s="$(python3 -c "import sys,time; print(max(0.0, $t0 + $1 - time.time()))")"; sleep "$s"; }

trigger() {  # trigger 1|0 METADATA
  curl -s -m 5 -d "{\"Recording\":{\"MetaData\":\"$2\",\"Start\":$1,\"Blank\":0}}" \
    "http://127.0.0.1:$http_port/Workstation/RecordingControl"
}
sleep_until "$t_trigger"
started_answer="$(trigger 1 'demo trigger')"
sleep_until "$t_untrigger"
stopped_answer="$(trigger 0 '')"
sleep_until "$seconds"
ws_after="$(vorla_cpu_ticks "$ws")"

# ---- Stop in order: VorlaWS closes its session at the server, then the tools.
stop_pid "$ws"; forget "$ws"
wait "$ffmpeg_pid" 2>/dev/null || true
forget "$ffmpeg_pid"
stop_pid "$cfgsim"; forget "$cfgsim"
stop_pid "$recsrv"; forget "$recsrv"
grep -q 'vorla-recsrv: stopped' "$work/recsrv.log" || fail "vorla-recsrv did not stop in order"

# ---- The summary and the checks of the files
hz="$(getconf CLK_TCK)"
ws_cpu_ms=$(((ws_after - ws_before) * 1000 / hz))
answer() { tr -d ' \n' <<<"$1" | sed -n 's/.*"Result":"\([^"]*\)".*"EventId":"\([^"]*\)".*/result \1, event \2/p'; }
echo
echo "external trigger through http://127.0.0.1:$http_port/Workstation/RecordingControl:"
echo "  start: $(answer "$started_answer")   stop: $(answer "$stopped_answer")"
set +e
python3 - "$output" "$ws_cpu_ms" >"$work/summary.txt" <<'PY'
import json, os, subprocess, sys
out, ws_cpu_ms = sys.argv[1], int(sys.argv[2])
index = json.load(open(os.path.join(out, "index.json")))
ok = True
problems = []
def t(ms, base):
    return "-" if not ms else f"{(int(ms) - base) / 1000:+.1f} s"
frames = bytes_ = checked = failed = undeciphered = 0
print("Summary")
for s in index["sessions"]:
    base = int(s["start_time"])
    print(f"  session {s['id']}: user {s['user']} on {s['workstation']}, "
          f"{'frames enciphered' if s['enciphered'] else 'frames plain'}, {s['rules']} rules, "
          f"{len(s['segments'])} segments, {len(s['events'])} events, until {t(s['end_time'], base)}")
    for g in s["segments"]:
        frames += int(g["frames"]); bytes_ += int(g["bytes"])
        checked += int(g["digests_checked"]); failed += int(g["digest_failures"])
        undeciphered += int(g["undeciphered_frames"])
        line = (f"    segment {g['id']}: {t(g['start_time'], base)} to {t(g['end_time'], base)}, "
                f"{g['frames']} frames ({g['key_frames']} key), {g['bytes']} bytes, "
                f"{g['digests_checked']} digests checked, {g['digest_failures']} failed")
        print(line)
        if not g["webm"]:
            print(f"      no WebM file: {g['webm_note']}")
            if g["codec"] == "VP80":
                problems.append(f"segment {g['id']} has no WebM file ({g['webm_note']})")
            continue
        path = os.path.join(out, g["webm"])
        probe = subprocess.run(["ffprobe", "-v", "error", "-count_packets", "-select_streams", "v:0",
                                "-show_entries", "stream=codec_name,nb_read_packets:format=duration",
                                "-of", "json", path], capture_output=True, text=True)
        info = json.loads(probe.stdout or "{}")
        stream = (info.get("streams") or [{}])[0]
        codec, packets = stream.get("codec_name"), int(stream.get("nb_read_packets", -1))
        duration = float(info.get("format", {}).get("duration", -1))
        # The file's time codes follow the capture times of the frames it holds; the last frame
        # lasts one frame interval.
        expected = (int(g["last_capture_time"]) - int(g["webm_origin"])) / 1000 + 1 / max(1, int(g["frame_rate"]))
        decode = subprocess.run(["ffmpeg", "-v", "error", "-c:v", "libvpx", "-i", path, "-f", "framecrc", "-"],
                                capture_output=True, text=True)
        decoded = sum(1 for l in decode.stdout.splitlines() if l and not l.startswith("#"))
        print(f"      WebM {g['webm']}: {codec}, {packets} frames, {duration:.2f} s "
              f"(capture times give {expected:.2f} s), libvpx decoded {decoded}")
        if codec != "vp8" or packets != int(g["webm_frames"]) or packets != int(g["frames_written"]):
            problems.append(f"{g['webm']}: {codec} with {packets} frames, the index says {g['webm_frames']}")
        if abs(duration - expected) > 0.05:
            problems.append(f"{g['webm']}: duration {duration:.3f} s, expected {expected:.3f} s")
        if decode.returncode != 0 or decode.stderr.strip() or decoded != packets:
            problems.append(f"{g['webm']}: libvpx decoded {decoded} of {packets} frames {decode.stderr.strip()}")
    for e in s["events"]:
        print(f"    event {e['id']} (rule {e['rule']}): {t(e['start_time'], base)} to "
              f"{t(e['end_time'], base)}, {e['recorded_bytes']} bytes")
print(f"  frames {frames}, {bytes_} bytes, {bytes_ / max(1, frames):.0f} bytes per frame, "
      f"digests {checked} checked / {failed} failed, {undeciphered} not deciphered")
print(f"  VorlaWS CPU {ws_cpu_ms} ms over the run: {ws_cpu_ms / max(1, frames):.2f} ms per recorded frame")
if frames == 0:
    problems.append("no frames were recorded")
if checked != frames or failed or undeciphered:
    problems.append("not every frame was deciphered with a valid digest")
if not any(len(s["segments"]) >= 2 and len(s["events"]) >= 2 for s in index["sessions"]):
    problems.append("no session has two segments and two events (customer record, external trigger)")
for p in problems:
    print("  PROBLEM: " + p)
print(f"FRAMES {frames} {bytes_}")
sys.exit(1 if problems else 0)
PY
summary_rc=$?
set -e
grep -v '^FRAMES ' "$work/summary.txt"
read -r _ ws_frames ws_bytes < <(grep '^FRAMES ' "$work/summary.txt")

echo
echo "CPU per recorded frame, VorlaWS (its CPU over the whole run, idle stretches included)"
echo "against ffmpeg x11grab + libvpx (realtime, one thread) recording the same display meanwhile:"
vorla_print_comparison "$ws_cpu_ms" "$ws_frames" "$ws_frames" "$ws_bytes" "$work/ffmpeg" \
  " recorded" || echo "  (the ffmpeg recording could not be read)"

# ---- The viewer page in headless Chromium: every player loads and seeks to an event.
viewer_rc=0
if command -v chromium >/dev/null; then
  page="file://$output/index.html"
  # Headless Chromium runs the page on virtual time, which can run out before a busy machine has
  # decoded the first pictures of large videos (measured here under load: one run in three): a
  # check that does not come back "ok" is tried again, up to ten times (a second or two each),
  # before it counts.
  for attempt in $(seq 10); do
    dom="$(timeout 60 chromium --headless --no-sandbox --disable-gpu --mute-audio \
      --virtual-time-budget=15000 --dump-dom "$page" 2>/dev/null || true)"
    state="$(sed -n 's/.*id="viewer-check" data-state="\([a-z]*\)".*/\1/p' <<<"$dom" | head -1)"
    [ "$state" = ok ] && break
  done
  echo
  echo "viewer page check (headless Chromium): ${state:-no answer}"
  [ "$state" = ok ] || sed -n 's/.*id="viewer-check" data-state="[a-z]*">\([^<]*\)<.*/  \1/p' <<<"$dom" | head -1
  [ "$state" = ok ] || viewer_rc=1
  if [ -n "$screenshot" ]; then
    mkdir -p "$(dirname "$screenshot")"
    timeout 60 chromium --headless --no-sandbox --disable-gpu --mute-audio --hide-scrollbars \
      --virtual-time-budget=15000 --window-size=1280,1000 --screenshot="$screenshot" "$page" \
      >/dev/null 2>&1 || viewer_rc=1
    echo "viewer screenshot: $screenshot"
  fi
fi
echo
echo "viewer page: $output/index.html"
echo "  (open it in a browser; during the run it was also served at $viewer_url)"
[ "$summary_rc" = 0 ] && [ "$viewer_rc" = 0 ]
