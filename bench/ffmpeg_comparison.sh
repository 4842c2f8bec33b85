# The comparison of VorlaWS's recording costs with ffmpeg's x11grab + libvpx (realtime, one
# thread) on the same display. Sourced by bench/workstation_usage.sh and scripts/demo.sh.

# Installs ffmpeg when it is missing.
vorla_ensure_ffmpeg() {
  command -v ffmpeg >/dev/null && return 0
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get install -y -qq --no-install-recommends ffmpeg >/dev/null
}

# CPU time (user + system) of a process so far, in clock ticks (getconf CLK_TCK a second).
vorla_cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }

# vorla_ffmpeg_record DISPLAY WxH RATE SECONDS PREFIX
# Records DISPLAY for SECONDS at RATE frames a second into PREFIX.webm (ffmpeg's own report with
# its CPU times in PREFIX.log). Blocks until done; run it in the background to record beside
# VorlaWS.
vorla_ffmpeg_record() {
  ffmpeg -hide_banner -nostats -benchmark -f x11grab -framerate "$3" -video_size "$2" \
    -i "$1" -t "$4" -c:v libvpx -deadline realtime -threads 1 -y "$5.webm" >"$5.log" 2>&1
}

# vorla_print_comparison WS_CPU_MS WS_CPU_FRAMES WS_FRAMES WS_BYTES PREFIX [LABEL]
# Prints CPU time and bytes per frame of VorlaWS (its CPU over WS_CPU_FRAMES frames, bytes over
# the WS_FRAMES frames the server counted) and of the ffmpeg recording PREFIX, and the ratios.
vorla_print_comparison() {
  local ff_user ff_sys ff_frames ff_bytes
  read -r ff_user ff_sys < <(sed -n 's/.*utime=\([0-9.]*\)s stime=\([0-9.]*\)s.*/\1 \2/p' "$5.log")
  ff_frames="$(ffprobe -v error -count_packets -select_streams v:0 -show_entries stream=nb_read_packets \
    -of csv=p=0 "$5.webm")"
  ff_bytes="$(ffprobe -v error -select_streams v:0 -show_entries packet=size -of csv=p=0 "$5.webm" |
    awk '{s+=$1} END {print s}')"
  python3 - "$1" "$2" "$3" "$4" "$ff_user" "$ff_sys" "$ff_frames" "$ff_bytes" "${6:-}" <<'PY'
import sys
ws_cpu_ms, ws_cpu_frames, wf, wbytes, fu, fs, ff, fbytes, label = sys.argv[1:]
ws_cpu_ms = float(ws_cpu_ms)
ff_cpu_ms = (float(fu) + float(fs)) * 1000.0
ws_per = ws_cpu_ms / max(1, int(ws_cpu_frames))
ff_per = ff_cpu_ms / max(1, int(ff))
ws_bpf = int(wbytes) / max(1, int(wf))
ff_bpf = int(fbytes) / max(1, int(ff))
print(f"VorlaWS: {ws_per:.2f} ms CPU per frame ({ws_cpu_ms:.0f} ms over {ws_cpu_frames} frames{label}), "
      f"{ws_bpf:.0f} bytes per frame ({wf} frames, {wbytes} bytes)")
print(f"ffmpeg : {ff_per:.2f} ms CPU per frame ({ff_cpu_ms:.0f} ms over {ff} frames), "
      f"{ff_bpf:.0f} bytes per frame ({fbytes} bytes)")
print(f"ratios : CPU {ws_per/ff_per:.2f}x, bytes {ws_bpf/ff_bpf:.2f}x")
PY
}
