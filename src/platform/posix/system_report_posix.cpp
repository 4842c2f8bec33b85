#include <unistd.h>

#include "platform/system_report.h"

namespace vorla::platform {
namespace {

// The report is a shell script over the standard tools (coreutils, util-linux, procps,
// iproute2), so that it needs nothing beyond a plain installation. Arguments: the mode word, the
// output file, then optionally "/categories" and the list. The full report ("/nfo") carries the
// detailed variants of each section, the text report ("/report") the summaries.
constexpr char16_t kScript[] =
    uR"sh(
mode=$1
out=$2
cats=
if [ "$3" = /categories ]; then cats=$4; fi
[ -n "$out" ] || exit 2
exec >"$out" 2>&1 </dev/null || exit 1
full=0
[ "$mode" = /nfo ] && full=1
section() { printf '\n[%s]\n' "$1"; }
have() { command -v "$1" >/dev/null 2>&1; }
want() { case "$cats" in *"+$1"*) return 0 ;; esac; return 1; }
printf 'System information report (%s), %s\n' "$mode" "$(date -u '+%Y-%m-%dT%H:%M:%SZ')"
section 'System Summary'
uname -a
[ -r /etc/os-release ] && cat /etc/os-release
have uptime && uptime
have lscpu && lscpu
if [ $full = 1 ]; then cat /proc/meminfo; elif have free; then free -k; fi
if want componentsmultimedia; then
  section 'Components/Multimedia'
  if [ -r /proc/asound/cards ]; then cat /proc/asound/cards; else echo 'No sound devices.'; fi
fi
if want componentsnetwork; then
  section 'Components/Network'
  if have ip; then
    if [ $full = 1 ]; then ip -details -statistics address; else ip address; fi
    ip route
  fi
  [ -r /etc/resolv.conf ] && cat /etc/resolv.conf
fi
if want componentsdisplay; then
  section 'Components/Display'
  printf 'DISPLAY=%s\nWAYLAND_DISPLAY=%s\n' "${DISPLAY-}" "${WAYLAND_DISPLAY-}"
  for c in /sys/class/drm/card*-*; do
    [ -r "$c/status" ] || continue
    printf '%s: %s\n' "${c##*/}" "$(cat "$c/status")"
    [ $full = 1 ] && [ -r "$c/modes" ] && cat "$c/modes"
  done
fi
if want componentsstorage; then
  section 'Components/Storage'
  have lsblk && lsblk
  df -h
  [ $full = 1 ] && [ -r /proc/mounts ] && cat /proc/mounts
fi
if want swenvservices; then
  section 'Software Environment/Services'
  if ! { have systemctl && systemctl list-units --type=service --all --no-pager --plain 2>/dev/null; }; then
    have ps && ps -eo pid,user,stat,comm
  fi
fi
exit 0
)sh";

}  // namespace

std::vector<std::u16string> SystemReportProgram() {
  const char16_t* shell = access("/bin/sh", X_OK) == 0 ? u"/bin/sh" : u"sh";
  return {shell, u"-c", kScript, u"VorlaSystemReport"};
}

}  // namespace vorla::platform
