#include "FakeNmcli.h"

#include <sys/stat.h>

#include <cstdlib>
#include <sstream>

namespace trelvo::test {

namespace {

// Written with the state directory in place of @STATE@. The state: profiles
// and active ("|"-separated lines), counter (the next active path's number),
// calls, stopped, sleeper.
constexpr const char* kScript = R"SH(#!/bin/bash
S='@STATE@'
printf '%s\n' "$*" >> "$S/calls"
if [ -e "$S/stopped" ]; then echo "Error: NetworkManager is not running." >&2; exit 8; fi
touch "$S/active"
esc() { local v=${1//\\/\\\\}; printf '%s' "${v//:/\\:}"; }
apath() { printf '/org/freedesktop/NetworkManager/ActiveConnection/%s' "$1"; }
while [ $# -gt 0 ]; do
  case "$1" in
    -t|-s) shift ;;
    -f|--wait) shift 2 ;;
    *) break ;;
  esac
done
[ "$1" = connection ] || { echo "Error: argument '$1' not understood." >&2; exit 2; }
case "$2" in
show)
  if [ "$3" = --active ]; then
    while IFS='|' read -r n t p; do
      printf '%s:%s:activated:%s\n' "$(esc "$n")" "$t" "$(esc "$p")"
    done < "$S/active"
  elif [ "$3" = id ]; then
    while IFS='|' read -r n t u pw m; do
      [ "$n" = "$4" ] || continue
      [ "$pw" = - ] && pw=
      printf 'connection.id:%s\nconnection.type:%s\nconnection.autoconnect:no\n' "$(esc "$n")" "$t"
      printf '%s.number:*99#\n%s.username:%s\n%s.password:%s\n' "$t" "$t" "$(esc "$u")" "$t" "$(esc "$pw")"
      printf 'GENERAL.NAME:%s\n' "$(esc "$n")"
      exit 0
    done < "$S/profiles"
    echo "Error: $4 - no such connection profile." >&2; exit 10
  else
    while IFS='|' read -r n rest; do esc "$n"; echo; done < "$S/profiles"
  fi ;;
up)
  while IFS='|' read -r n t u pw m; do
    [ "$n" = "$4" ] || continue
    case "$m" in
      fail) echo "Error: Connection activation failed: The modem could not be found." >&2
            echo "Hint: use 'journalctl -xe NM_CONNECTION=1234' to get more details." >&2; exit 4 ;;
      hang) sleep 30 & echo $! > "$S/sleeper"; wait; exit 0 ;;
      slow) sleep 1 ;;
    esac
    c=$(cat "$S/counter" 2>/dev/null || echo 1); echo $((c + 1)) > "$S/counter"
    N="$n" awk -F'|' '$1 != ENVIRON["N"]' "$S/active" > "$S/active.new"; mv "$S/active.new" "$S/active"
    printf '%s|%s|%s\n' "$n" "$t" "$(apath "$c")" >> "$S/active"
    echo "Connection successfully activated (D-Bus active path: $(apath "$c"))"
    exit 0
  done < "$S/profiles"
  echo "Error: unknown connection '$4'." >&2; exit 10 ;;
down)
  [ "$3" = apath ] || { echo "Error: only apath here." >&2; exit 2; }
  line=$(P="$4" awk -F'|' '$3 == ENVIRON["P"]' "$S/active" | head -n 1)
  [ -n "$line" ] || { echo "Error: '$4' is not an active connection." >&2; exit 10; }
  P="$4" awk -F'|' '$3 != ENVIRON["P"]' "$S/active" > "$S/active.new"; mv "$S/active.new" "$S/active"
  echo "Connection '${line%%|*}' successfully deactivated (D-Bus active path: $4)" ;;
*) echo "Error: argument '$2' not understood." >&2; exit 2 ;;
esac
)SH";

std::vector<std::string> ReadLines(const std::string& path) {
  std::vector<std::string> lines;
  if (!FileExists(path)) return lines;
  std::istringstream in(ReadFile(path));
  for (std::string line; std::getline(in, line);)
    if (!line.empty()) lines.push_back(line);
  return lines;
}

std::string JoinLines(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& l : lines) text += l + "\n";
  return text;
}

std::string CurrentPath() {
  const char* p = std::getenv("PATH");
  return p ? p : "";
}

}  // namespace

TFakeNmcli::TFakeNmcli(const std::vector<std::string>& profiles) : OldPath_(CurrentPath()) {
  MakeDir(Dir_ / "bin");
  std::string script = kScript;
  std::string state = Dir_.Path();
  state.pop_back();
  script.replace(script.find("@STATE@"), 7, state);
  WriteFile(Dir_ / "bin/nmcli", script);
  ::chmod((Dir_ / "bin/nmcli").c_str(), 0755);
  WriteFile(Dir_ / "profiles", JoinLines(profiles));
  ::setenv("PATH", (Dir_ / "bin:" + OldPath_).c_str(), 1);
}

TFakeNmcli::~TFakeNmcli() { ::setenv("PATH", OldPath_.c_str(), 1); }

std::vector<std::string> TFakeNmcli::Calls() const { return ReadLines(Dir_ / "calls"); }
void TFakeNmcli::ClearCalls() const { WriteFile(Dir_ / "calls", ""); }
std::vector<std::string> TFakeNmcli::Active() const { return ReadLines(Dir_ / "active"); }
void TFakeNmcli::SetActive(const std::vector<std::string>& lines) const { WriteFile(Dir_ / "active", JoinLines(lines)); }
void TFakeNmcli::StopService() const { WriteFile(Dir_ / "stopped", ""); }

std::string TFakeNmcli::HangingChild() const {
  auto lines = ReadLines(Dir_ / "sleeper");
  return lines.empty() ? "" : lines.front();
}

TNoNmcli::TNoNmcli() : OldPath_(CurrentPath()) { ::setenv("PATH", Dir_.Path().c_str(), 1); }
TNoNmcli::~TNoNmcli() { ::setenv("PATH", OldPath_.c_str(), 1); }

}  // namespace trelvo::test
