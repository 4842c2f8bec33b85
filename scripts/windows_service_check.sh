#!/usr/bin/env bash
# VorlaWS.exe as a service of Wine's service manager, in the Wine prefix of the caller
# (scripts/windows_test.sh): "-i" installs it, "sc start" runs the service body, "sc stop" stops
# it, "-u" removes it; then "CMDLN" runs the body directly. Wine keeps no readable event log, so
# the records are read from the event log's echo file (VORLA_EVENT_LOG_ECHO), which carries every
# record with ReportEventW's result.
#   scripts/windows_service_check.sh BIN_DIR
set -euo pipefail

bin="$1"
exe="$(winepath -w "$bin/VorlaWS.exe")"
say() { echo "windows_service_check.sh: $*"; }
fail() {
  say "FAILED: $*"
  [ -f "$echo_file" ] && sed 's/^/  record: /' "$echo_file"
  exit 1
}
# The caller names the file before Wine starts, so that the service manager (and through it the
# service) has the variable too: VORLA_EVENT_LOG_ECHO as the programs see it (Z:\...), and its
# Linux path in VORLA_EVENT_LOG_ECHO_FILE.
echo_file="${VORLA_EVENT_LOG_ECHO_FILE:?the caller names the echo file before Wine starts}"
: >"$echo_file"
# Services take their environment from the system's, not from whoever started the manager: the
# variable goes there, and the manager is started anew to read it.
wine reg add 'HKLM\System\CurrentControlSet\Control\Session Manager\Environment' \
  /v VORLA_EVENT_LOG_ECHO /d "$VORLA_EVENT_LOG_ECHO" /f >/dev/null 2>&1
wineserver -k >/dev/null 2>&1 || true
wineserver -w >/dev/null 2>&1 || true

sc_state() {  # the service's state as "sc query" shows it (RUNNING, STOPPED, ...), or nothing
  wine sc query VorlaWS 2>/dev/null | tr -d '\r' | awk '/STATE/ {print $4}'
}
wait_state() {  # wait_state STATE SECONDS
  local i
  for ((i = 0; i < $2 * 5; i++)); do
    [ "$(sc_state)" = "$1" ] && return 0
    sleep 0.2
  done
  return 1
}
wait_record() {  # wait_record CODE SECONDS: a record with the event id (0x%08X) was reported
  local i
  for ((i = 0; i < $2 * 5; i++)); do
    grep -q "	$1	reported" "$echo_file" && return 0
    sleep 0.2
  done
  return 1
}

out="$(wine "$exe" -i 2>&1 | tr -d '\r')"
[[ "$out" == *"VorlaWS installed"* ]] || fail "-i printed: $out"
# (Wine's sc has no "qc": the service manager's registry key tells the program instead.)
wine reg query 'HKLM\System\CurrentControlSet\Services\VorlaWS' /v ImagePath 2>/dev/null |
  tr -d '\r' | grep -qi "VorlaWS.exe" || fail "the service manager does not know the program"
say "installed: $out"

wine sc start VorlaWS >/dev/null 2>&1 || true
wait_state RUNNING 30 || fail "the service did not reach RUNNING (state: $(sc_state))"
# 0x40000F02: the service has started.
wait_record 0x40000F02 30 || fail "no start record"
say "started; the start record was reported"

wine sc stop VorlaWS >/dev/null 2>&1 || true
wait_state STOPPED 30 || fail "the service did not stop (state: $(sc_state))"
# 0x40000F03: the service has stopped.
wait_record 0x40000F03 30 || fail "no stop record"
say "stopped; the stop record was reported"

out="$(wine "$exe" -u 2>&1 | tr -d '\r')"
[[ "$out" == *"VorlaWS removed"* ]] || fail "-u printed: $out"
# Wine's manager drops a deleted service when it ends, after the last program of the prefix.
timeout 60 wineserver -w >/dev/null 2>&1 || true
[ -z "$(sc_state)" ] || fail "the service is still registered after -u"
say "removed: $out"

# The body run directly: it starts (its start record) and is ended from outside.
: >"$echo_file"
wine "$exe" CMDLN >/dev/null 2>&1 &
pid=$!
wait_record 0x40000F02 30 || { kill "$pid" 2>/dev/null; fail "CMDLN: no start record"; }
kill "$pid" 2>/dev/null || true
wait "$pid" 2>/dev/null || true
say "CMDLN ran the service body"
