#!/usr/bin/env bash
# A private X session for trying things by hand: Xvfb on a free display number, two RandR monitors
# side by side (the left and right halves of the screen) and openbox as the window manager.
#
#   scripts/xvfb-session.sh start [WxHxD]   default 3840x1080x24; prints DISPLAY=:N on stdout,
#                                           so: export "$(scripts/xvfb-session.sh start)"
#   scripts/xvfb-session.sh stop [:N]       default: $DISPLAY if it is one of ours, else the only one
#   scripts/xvfb-session.sh status [:N]     exit status 0 if the session(s) run, 1 otherwise
#
# The process ids go to ${XDG_RUNTIME_DIR:-/tmp}/vorla-xvfb-N.pids; stop signals exactly those
# processes (after checking their names), never anything found by name.
set -euo pipefail

readonly STATE_DIR="${XDG_RUNTIME_DIR:-/tmp}"
readonly START_TIMEOUT_S=10
readonly STOP_TIMEOUT_S=5

die() {
  echo "xvfb-session: $*" >&2
  exit 1
}

usage() {
  sed -n '5,8s/^# //p' "$0" >&2
  exit 2
}

state_file() { echo "${STATE_DIR}/vorla-xvfb-$1.pids"; }
log_file() { echo "${STATE_DIR}/vorla-xvfb-$1-$2.log"; }

now_ms() {
  local t=${EPOCHREALTIME/[.,]/}
  echo $((t / 1000))
}

# poll_until SECONDS COMMAND...: runs COMMAND every 20 ms until it succeeds or time runs out.
poll_until() {
  local deadline=$(($(now_ms) + $1 * 1000))
  shift
  until "$@"; do
    (($(now_ms) < deadline)) || return 1
    sleep 0.02
  done
}

# Running (not a zombie) and still the program we started, so a reused process id is left alone.
is_running() {
  local pid=$1 name=$2 comm stat state
  [[ $pid =~ ^[0-9]+$ ]] || return 1
  comm=$(cat "/proc/${pid}/comm" 2>/dev/null) || return 1
  [[ $comm == "$name" ]] || return 1
  stat=$(cat "/proc/${pid}/stat" 2>/dev/null) || return 1
  state=${stat##*) }
  [[ ${state%% *} != Z ]]
}

is_gone() { ! is_running "$1" "$2"; }

stop_process() {
  local pid=$1 name=$2
  is_running "$pid" "$name" || return 0
  kill -TERM "$pid" 2>/dev/null || true
  if ! poll_until "$STOP_TIMEOUT_S" is_gone "$pid" "$name"; then
    echo "xvfb-session: ${name} (${pid}) ignored SIGTERM, killing it" >&2
    kill -KILL "$pid" 2>/dev/null || true
    poll_until 2 is_gone "$pid" "$name" || echo "xvfb-session: ${name} (${pid}) is still there" >&2
  fi
}

# The root window's _NET_SUPPORTING_WM_CHECK names a window whose own property names itself.
# A window manager that exited leaves the root property behind, hence the second look.
wm_ready() {
  local display=$1 root child self
  root=$(DISPLAY=$display xprop -root -notype _NET_SUPPORTING_WM_CHECK 2>/dev/null) || return 1
  child=${root##*# }
  [[ $child == 0x* ]] || return 1
  self=$(DISPLAY=$display xprop -id "$child" -notype _NET_SUPPORTING_WM_CHECK 2>/dev/null) || return 1
  [[ ${self##*# } == "$child" ]]
}

wm_ready_or_dead() {
  wm_ready "$1" || ! is_running "$2" openbox
}

# Millimetres at 96 dpi, rounded: 1920 px -> 508 mm.
mm() { echo $((($1 * 254 + 480) / 960)); }

# Resolves the session to act on: the argument, else $DISPLAY if ours, else the only session.
pick_number() {
  local arg=${1:-} files
  if [[ -n $arg ]]; then
    [[ $arg =~ ^:?([0-9]+)$ ]] || die "not a display: ${arg} (expected :N)"
    echo "${BASH_REMATCH[1]}"
    return
  fi
  if [[ ${DISPLAY:-} =~ ^:([0-9]+)$ && -f $(state_file "${BASH_REMATCH[1]}") ]]; then
    echo "${BASH_REMATCH[1]}"
    return
  fi
  shopt -s nullglob
  files=("${STATE_DIR}"/vorla-xvfb-*.pids)
  shopt -u nullglob
  ((${#files[@]} > 0)) || die "no session found in ${STATE_DIR}"
  ((${#files[@]} == 1)) || die "several sessions run; name one: $(list_displays "${files[@]}")"
  local name=${files[0]##*/vorla-xvfb-}
  echo "${name%.pids}"
}

list_displays() {
  local f name out=()
  for f in "$@"; do
    name=${f##*/vorla-xvfb-}
    out+=(":${name%.pids}")
  done
  echo "${out[*]}"
}

# Sets xvfb_pid and openbox_pid from a state file.
read_pids() {
  xvfb_pid="" openbox_pid=""
  local key value
  while read -r key value; do
    case $key in
    xvfb) xvfb_pid=$value ;;
    openbox) openbox_pid=$value ;;
    esac
  done <"$1"
}

# State of a start in progress, for cleanup_failed_start.
started=0 work="" number="" xvfb_pid="" openbox_pid=""

cleanup_failed_start() {
  if ((started == 0)); then
    if [[ -n $openbox_pid ]]; then stop_process "$openbox_pid" openbox; fi
    if [[ -n $xvfb_pid ]]; then stop_process "$xvfb_pid" Xvfb; fi
    if [[ -n $number ]]; then
      rm -f "$(state_file "$number")" "$(log_file "$number" xvfb)" "$(log_file "$number" openbox)"
    fi
  fi
  if [[ -n $work ]]; then rm -rf "$work"; fi
}

cmd_start() {
  local geometry=${1:-3840x1080x24}
  [[ $geometry =~ ^([0-9]+)x([0-9]+)x([0-9]+)$ ]] || die "not a geometry: ${geometry} (expected WxHxD)"
  local width=${BASH_REMATCH[1]} height=${BASH_REMATCH[2]}
  local tool
  for tool in Xvfb xrandr openbox xprop; do
    command -v "$tool" >/dev/null || die "${tool} is not installed"
  done
  mkdir -p "$STATE_DIR"

  work=$(mktemp -d "${STATE_DIR}/vorla-xvfb-start.XXXXXX")
  mkfifo "${work}/displayfd"
  # Until the session is complete, leaving (failure, Ctrl-C) stops what was started.
  trap cleanup_failed_start EXIT

  # -displayfd: Xvfb picks a free number and writes it once it accepts connections.
  # -noreset: otherwise the server resets when its last client leaves and the monitors vanish.
  Xvfb -displayfd 3 -nolisten tcp -noreset -screen 0 "$geometry" \
    3>"${work}/displayfd" </dev/null >"${work}/xvfb.log" 2>&1 &
  xvfb_pid=$!
  if ! read -r -t "$START_TIMEOUT_S" number <"${work}/displayfd" || [[ ! $number =~ ^[0-9]+$ ]]; then
    echo "xvfb-session: Xvfb did not report a display number; its output:" >&2
    tail -n 20 "${work}/xvfb.log" >&2 || true
    exit 1
  fi
  local display=":${number}"
  mv "${work}/xvfb.log" "$(log_file "$number" xvfb)"
  printf 'display %s\nxvfb %s\n' "$display" "$xvfb_pid" >"$(state_file "$number")"

  # The first monitor takes over the output "screen", otherwise the automatic monitor stays and
  # there are three.
  local half=$((width / 2))
  DISPLAY=$display xrandr --setmonitor LEFT "${half}/$(mm "$half")x${height}/$(mm "$height")+0+0" screen \
    >/dev/null || die "xrandr --setmonitor LEFT failed"
  DISPLAY=$display xrandr --setmonitor RIGHT "$((width - half))/$(mm $((width - half)))x${height}/$(mm "$height")+${half}+0" none \
    >/dev/null || die "xrandr --setmonitor RIGHT failed"

  DISPLAY=$display openbox --sm-disable </dev/null >"$(log_file "$number" openbox)" 2>&1 &
  openbox_pid=$!
  printf 'openbox %s\n' "$openbox_pid" >>"$(state_file "$number")"
  poll_until "$START_TIMEOUT_S" wm_ready_or_dead "$display" "$openbox_pid" || true
  if ! wm_ready "$display"; then
    echo "xvfb-session: openbox did not become ready; its output:" >&2
    tail -n 20 "$(log_file "$number" openbox)" >&2 || true
    exit 1
  fi

  started=1
  echo "xvfb-session: ${display} ${geometry}, monitors LEFT and RIGHT, openbox;" \
    "Xvfb ${xvfb_pid}, openbox ${openbox_pid}; stop with: $0 stop ${display}" >&2
  echo "DISPLAY=${display}"
}

cmd_stop() {
  local number
  number=$(pick_number "${1:-}")
  local file
  file=$(state_file "$number")
  [[ -f $file ]] || die "no session :${number} (no ${file})"
  read_pids "$file"
  # The window manager first: it would otherwise die noisily of the lost connection.
  if [[ -n $openbox_pid ]]; then stop_process "$openbox_pid" openbox; fi
  if [[ -n $xvfb_pid ]]; then stop_process "$xvfb_pid" Xvfb; fi
  rm -f "$file" "$(log_file "$number" xvfb)" "$(log_file "$number" openbox)"
  echo "xvfb-session: stopped :${number}" >&2
}

cmd_status() {
  local files=() file
  if [[ -n ${1:-} ]]; then
    files=("$(state_file "$(pick_number "$1")")")
    [[ -f ${files[0]} ]] || { echo "no session ${1}"; return 1; }
  else
    shopt -s nullglob
    files=("${STATE_DIR}"/vorla-xvfb-*.pids)
    shopt -u nullglob
    ((${#files[@]} > 0)) || { echo "no sessions"; return 1; }
  fi
  local all_running=0 number xvfb_state openbox_state
  for file in "${files[@]}"; do
    number=${file##*/vorla-xvfb-}
    number=${number%.pids}
    read_pids "$file"
    xvfb_state="stopped" openbox_state="stopped"
    is_running "$xvfb_pid" Xvfb && xvfb_state="running"
    is_running "$openbox_pid" openbox && openbox_state="running"
    echo ":${number} Xvfb ${xvfb_pid:-?} ${xvfb_state}, openbox ${openbox_pid:-?} ${openbox_state}"
    [[ $xvfb_state == running && $openbox_state == running ]] || all_running=1
  done
  return "$all_running"
}

main() {
  local command=${1:-}
  (($# > 0)) && shift
  (($# <= 1)) || usage
  case $command in
  start) cmd_start "$@" ;;
  stop) cmd_stop "$@" ;;
  status) cmd_status "$@" ;;
  *) usage ;;
  esac
}

main "$@"
