#!/usr/bin/env bash
# The end-to-end suite: the real SETUP.EXE on the real Windows services that Wine implements.
#
#   wine_suite.sh all               every check in a fresh prefix, then "N passed, N failed"
#   wine_suite.sh setup             makes the suite's prefix and keeps its server warm
#   wine_suite.sh check NAME        one check in the prefix that setup made: "platform" (the
#                                   backend's own checks), "keywait" (the exit tail's key wait
#                                   on a console, under tmux) or a scenario under scenarios/
#   wine_suite.sh cleanup           stops the prefix's server
#   wine_suite.sh list              the names of the checks
#
# Environment:
#   WINE_SUITE_DIR        work folder: prefix/, medium/ (drive D:), runs/ (required)
#   SETUP_EXE DEVTOOL_EXE PLATFORM_CHECK_EXE KVLSETUP_EXE ZOVDUVIK_EXE
#                         the built programs (required)
#   MEDIUM_DIR            the example installation medium (required)
#   NLS_DIR               the compiled catalogue files, for the medium's \nls\ (required)
#
# A scenario is a folder under scenarios/ that says what the machine has, how the program is
# started and what must come of it:
#   machine          (optional) one statement a line about the machine before the run:
#                      service-program        the service program's stand-in is
#                                             C:\windows\system32\zovduvik.exe
#                      older-setup-exit N     the older setup program's stand-in exits with N
#                      older-setup-says TEXT  ... and first writes TEXT (printf %b) to its output
#                      no-older-setup         the medium has no D:\nt\KVLSETUP.EXE
#   package/         (optional) files already deployed: copied into the package root
#   devices          one present device a line: its hardware IDs, separated by spaces
#   environment      (optional) VARIABLE=VALUE lines for the run (LC_ALL=de_DE.UTF-8)
#   command          the command line: the program's Windows path, then its arguments
#   input            (optional) the bytes of standard input, given through a pipe; none: an
#                    empty one
#   expected_output  standard output as the program writes it, with LF line ends; the check
#                    expects each LF as CR LF, as the C runtime's text mode writes it
#   output_encoding  (optional) the code page of the output (CP1252, CP932); expected_output
#                    is then written in UTF-8
#   expected_exit    the exit code
#   checks           (optional) one check a line (fields after the first two tab-separated):
#                      deployed              the package tree and its nineteen files, equal to
#                                            the medium's
#                      kept PATH             the package file PATH is still the one of package/
#                      driver HWID INF       the device that carries HWID has its driver
#                                            installed from the package's INF file INF
#                      no-driver HWID        the device that carries HWID has no driver
#                      absent HWID           no present device carries HWID
#                      starts RECORD N       a stand-in's record (a Windows path, such as
#                                            D:\nt\KVLSETUP.rec) holds N starts
#                      started RECORD FIELD<TAB>FIELD...
#                                            its one start shows these fields
#                                            (command_line=..., startf=N, show_window=N)
#                      runonce COMMAND       the RunOnce value "Setup" is COMMAND (REG_SZ)
#                      no-runonce            there is no RunOnce value "Setup"
#   restart/         (optional) a restart after the run: its devices are added (hardware that
#                    comes up again at the boot), then `wine wineboot -r` runs the RunOnce
#                    commands; its expected_output must begin what they print, and its checks
#                    follow
# The program runs with no console (all three standard streams redirected): the key wait of
# the exit tail ends at once.
set -u

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
scenarios="$here/scenarios"

case "${1:-}" in
  all | setup | check | cleanup | list) ;;
  *)
    sed -n '2,10p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'
    exit 2
    ;;
esac

# Wine is needed; without it the suite is skipped (exit 77), except in CI, where it fails.
if ! command -v wine >/dev/null 2>&1 || ! command -v wineserver >/dev/null 2>&1; then
  if [ "${CI:-}" = true ]; then
    echo "wine_suite: wine is not installed (apt-get install -y wine64)" >&2
    exit 1
  fi
  echo "wine_suite: skipped: wine is not installed (apt-get install -y wine64)"
  exit 77
fi

: "${WINE_SUITE_DIR:?set WINE_SUITE_DIR to a work folder}"
export WINEPREFIX="$WINE_SUITE_DIR/prefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win64
unset DISPLAY WAYLAND_DISPLAY

system32="$WINEPREFIX/drive_c/windows/system32"
package="$system32/drivers/orvan"
medium="$WINE_SUITE_DIR/medium"
run_once='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\RunOnce'

# The nineteen package files: source subdirectory on the medium, destination subdirectory.
package_files=(
  "win2000 win2000 ORVA.INF" "win2000 win2000 ORVAN.INF" "win2000 win2000 RUDX.INF"
  "win2000 win2000 ZOVRUDX.SYS" "win2000 win2000 ZOVTOLIN.DLL" "win2000 win2000 ZOVKAF.DLL"
  "win2000 win2000 ZOVKAF.SYS" "win2000 win2000 KAF.INF" "win2000 win2000 ORVA.CAT"
  "win2000 win2000 ORVAN.CAT" "win2000 win2000 RUDX.CAT" "win2000 win2000 KAF.CAT"
  "win2000 win2000 NUVELODA.DLL" "win2000 win2000 ZOVTOLIN.EXE" "win2000 win2000 ZOVDUVIK.EXE"
  "nt nt KVLSETUP.EXE" "win2000 win2000 SETUP.EXE" "nls win2000 ENGLISH.NLS"
  "nls win2000 JAPANESE.NLS"
)
package_dirs=(win2000 nt nt/X4400 nt/X4400/pivandor nls)

failures=0
fail() {
  echo "  FAILED: $*"
  failures=$((failures + 1))
}

require_programs() {
  local name
  for name in SETUP_EXE DEVTOOL_EXE PLATFORM_CHECK_EXE KVLSETUP_EXE ZOVDUVIK_EXE MEDIUM_DIR NLS_DIR; do
    if [ -z "${!name:-}" ] || [ ! -e "${!name}" ]; then
      echo "wine_suite: $name is not set to an existing path" >&2
      exit 2
    fi
  done
}

do_setup() {
  # A server left running on an old prefix of the same path would outlive its deletion.
  [ -d "$WINEPREFIX" ] && wineserver -k 2>/dev/null
  rm -rf "$WINEPREFIX"
  mkdir -p "$WINE_SUITE_DIR/runs"
  wine wineboot -i </dev/null >/dev/null 2>&1
  wineserver -w
  # Warm from here on; the timeout only ends a server that a broken run left behind. The server
  # and the services that Wine starts with the first program (services.exe, plugplay, ...)
  # outlive this script: none of them may hold its output open, or a test runner waiting for
  # the end of that output would wait for them.
  wineserver --persistent=600 </dev/null >/dev/null 2>&1
  wine cmd /c exit </dev/null >/dev/null 2>&1
}

do_cleanup() {
  wineserver -k 2>/dev/null
  return 0
}

# Lays the machine out afresh: the medium as drive D: (the example medium with the built
# SETUP.EXE, the compiled catalogue files and the older setup program's stand-in), no package,
# no test devices, no RunOnce value, no service program.
reset_machine() {
  rm -rf "$medium" "$package"
  cp -r "$MEDIUM_DIR" "$medium"
  mkdir -p "$medium/nls"
  cp "$NLS_DIR"/*.NLS "$medium/nls/"
  cp "$SETUP_EXE" "$medium/win2000/SETUP.EXE"
  mkdir -p "$medium/nt"
  cp "$KVLSETUP_EXE" "$medium/nt/KVLSETUP.EXE"
  ln -sfn "$medium" "$WINEPREFIX/dosdevices/d:"
  rm -f "$system32"/zovduvik.*
  wine "$DEVTOOL_EXE" clear </dev/null >/dev/null 2>&1 || fail "devtool clear"
  wine reg delete "$run_once" /v Setup /f </dev/null >/dev/null 2>&1
  return 0
}

create_devices() {
  local line
  while IFS= read -r line || [ -n "$line" ]; do
    [ -n "$line" ] || continue
    # shellcheck disable=SC2086  # one word per hardware ID
    wine "$DEVTOOL_EXE" create $line </dev/null >/dev/null 2>&1 || fail "devtool create $line"
  done <"$1"
}

# The devtool list line of the first present device that carries the hardware ID $1.
device_line() {
  wine "$DEVTOOL_EXE" list </dev/null 2>/dev/null | tr -d '\r' |
    awk -F'\t' -v id="$1" '{ n = split($2, ids, ";"); for (i = 1; i <= n; ++i) if (ids[i] == id) { print; exit } }'
}

check_deployed() {
  local dir entry from to name
  for dir in "${package_dirs[@]}"; do
    [ -d "$package/$dir" ] || fail "package directory $dir missing"
  done
  for entry in "${package_files[@]}"; do
    read -r from to name <<<"$entry"
    [ -e "$medium/$from/$name" ] || continue  # not on this medium
    if [ ! -f "$package/$to/$name" ]; then
      fail "$to/$name not deployed"
    elif ! cmp -s "$medium/$from/$name" "$package/$to/$name"; then
      fail "$to/$name differs from the medium's $from/$name"
    fi
  done
}

check_driver() {
  local id=$1 inf=$2 line driver values
  line=$(device_line "$id")
  if [ -z "$line" ]; then
    fail "no present device carries $id"
    return
  fi
  driver=$(cut -f3 <<<"$line")
  values=$(cut -f4 <<<"$line")
  [ "$driver" != "-" ] || fail "$id has no driver"
  # InfPath is the name of the INF the driver was installed from; the package INF's own AddReg
  # wrote PackageInf, so its install section ran.
  [[ ";$values;" == *";InfPath=$inf;"* ]] || fail "$id: driver not from $inf ($values)"
  local upper
  upper=$(tr '[:lower:]' '[:upper:]' <<<"$inf")
  [[ ";$values;" == *";PackageInf=$upper;"* ]] || fail "$id: $upper's AddReg did not run ($values)"
  [ -f "$package/win2000/$upper" ] || fail "$id: the package INF $upper is not deployed"
}

check_no_driver() {
  local line
  line=$(device_line "$1")
  [ -n "$line" ] || { fail "no present device carries $1"; return; }
  [ "$(cut -f3 <<<"$line")" = "-" ] || fail "$1 has a driver: $line"
}

# The host path of a Windows path on drive C: or D:.
host_path() {
  local path=${1//\\//}
  case $path in
    [Cc]:/*) echo "$WINEPREFIX/drive_c/${path:3}" ;;
    [Dd]:/*) echo "$medium/${path:3}" ;;
    *) echo "/nonexistent/$path" ;;
  esac
}

apply_machine() {
  local statement rest
  while read -r statement rest || [ -n "$statement" ]; do
    case $statement in
      "") ;;
      service-program) cp "$ZOVDUVIK_EXE" "$system32/zovduvik.exe" ;;
      older-setup-exit) printf '%s\n' "$rest" >"$medium/nt/KVLSETUP.exit" ;;
      older-setup-says) printf '%b' "$rest" >"$medium/nt/KVLSETUP.say" ;;
      no-older-setup) rm -f "$medium/nt/KVLSETUP.EXE" ;;
      *) fail "unknown machine statement '$statement' in $1" ;;
    esac
  done <"$1"
}

check_started() {
  local record lines field
  record=$(host_path "$1")
  lines=$( [ -f "$record" ] && wc -l <"$record" || echo 0)
  if [ "$lines" -ne 1 ]; then
    fail "$1: $lines starts, expected one"
    return
  fi
  local IFS=$'\t'
  for field in $2; do
    [[ $'\t'"$(cat "$record")"$'\t' == *$'\t'"$field"$'\t'* ]] ||
      fail "$1: no field '$field' in: $(cat "$record")"
  done
}

check_starts() {
  local record lines
  record=$(host_path "$1")
  lines=$( [ -f "$record" ] && wc -l <"$record" || echo 0)
  [ "$lines" -eq "$2" ] || fail "$1: $lines starts, expected $2"
}

run_once_value() {
  wine reg query "$run_once" /v Setup </dev/null 2>/dev/null | tr -d '\r' |
    sed -n 's/^ *Setup *REG_SZ *//p'
}

check_kept() {
  cmp -s "$2/package/$1" "$package/$1" || fail "package file $1 was not kept"
}

run_checks() {
  local dir=$1 check a b
  [ -f "$dir/checks" ] || return 0
  while read -r check a b || [ -n "$check" ]; do
    case $check in
      "") ;;
      deployed) check_deployed ;;
      kept) check_kept "$a" "$dir" ;;
      driver) check_driver "$a" "$b" ;;
      no-driver) check_no_driver "$a" ;;
      absent) [ -z "$(device_line "$a")" ] || fail "a present device still carries $a" ;;
      starts) check_starts "$a" "$b" ;;
      started) check_started "$a" "$b" ;;
      runonce)
        local value
        value=$(run_once_value)
        [ "$value" = "$a${b:+ $b}" ] || fail "RunOnce Setup is '$value', expected '$a${b:+ $b}'"
        ;;
      no-runonce) [ -z "$(run_once_value)" ] || fail "RunOnce Setup is set: $(run_once_value)" ;;
      *) fail "unknown check '$check' in $dir/checks" ;;
    esac
  done <"$dir/checks"
}

# Compares standard output with a scenario's expected_output (LF line ends there, CR LF here);
# with "prefix", the output need only begin with it.
compare_output() {
  local expected=$1 actual=$2 out=$3 how=${4:-whole} encoding=${5:-}
  if [ -n "$encoding" ]; then
    iconv -f UTF-8 -t "$encoding" "$expected"
  else
    cat "$expected"
  fi | perl -0777 -pe 's/\n/\r\n/g' >"$out/expected_stdout"
  if [ "$how" = prefix ]; then
    head -c "$(wc -c <"$out/expected_stdout")" "$actual" >"$out/stdout_compared"
    actual="$out/stdout_compared"
  fi
  if ! cmp -s "$out/expected_stdout" "$actual"; then
    fail "standard output differs (expected, then actual; ^M is CR, \$ is LF):"
    diff <(cat -A "$out/expected_stdout") <(cat -A "$actual") | sed 's/^/    /'
  fi
}

# Runs one scenario folder.
run_scenario() {
  local dir=$1 name out command_line expected_exit
  name=$(basename "$dir")
  out="$WINE_SUITE_DIR/runs/$name"
  rm -rf "$out"
  mkdir -p "$out"
  reset_machine
  [ -f "$dir/machine" ] && apply_machine "$dir/machine"
  if [ -d "$dir/package" ]; then
    mkdir -p "$package"
    cp -r "$dir/package/." "$package/"
  fi
  [ -f "$dir/devices" ] && create_devices "$dir/devices"

  read -r -a command_line <"$dir/command"
  local input=/dev/null environment=()
  [ -f "$dir/input" ] && input="$dir/input"
  [ -f "$dir/environment" ] && mapfile -t environment <"$dir/environment"
  (cd "$WINE_SUITE_DIR" &&
    env "${environment[@]}" wine "${command_line[@]}" < <(cat "$input") >"$out/stdout" 2>"$out/stderr")
  local code=$?

  expected_exit=$(tr -d '[:space:]' <"$dir/expected_exit")
  [ "$code" = "$expected_exit" ] || fail "exit code $code, expected $expected_exit"
  local encoding=
  [ -f "$dir/output_encoding" ] && encoding=$(tr -d '[:space:]' <"$dir/output_encoding")
  compare_output "$dir/expected_output" "$out/stdout" "$out" whole "$encoding"
  [ -s "$out/stderr" ] && fail "standard error is not empty: $(head -c 300 "$out/stderr")"
  run_checks "$dir"

  if [ -d "$dir/restart" ]; then
    echo "  restart"
    mkdir -p "$out/restart"
    [ -f "$dir/restart/devices" ] && create_devices "$dir/restart/devices"
    (cd "$WINE_SUITE_DIR" && wine wineboot -r </dev/null >"$out/restart/stdout" 2>"$out/restart/stderr")
    compare_output "$dir/restart/expected_output" "$out/restart/stdout" "$out/restart" prefix
    run_checks "$dir/restart"
  fi
}

run_platform_check() {
  local out="$WINE_SUITE_DIR/runs/platform"
  mkdir -p "$out"
  wine "$PLATFORM_CHECK_EXE" </dev/null >"$out/stdout" 2>"$out/stderr" || fail "platform_check exit code $?"
  tr -d '\r' <"$out/stdout" | sed 's/^/  /'
  # Standard streams: text-mode output, standard input read byte for byte.
  printf 'x\r\ny\x1az\n' | wine "$PLATFORM_CHECK_EXE" stdio >"$out/stdio" 2>/dev/null
  [ "$(od -An -c "$out/stdio" | tr -s ' ')" = " 7 8 0 d 0 a 7 9 1 a 7 a 0 a \r \n" ] ||
    fail "stdio: $(od -An -c "$out/stdio")"
}

# The exit tail's key wait on a real console: SETUP.EXE in a tmux pane (standard input on the
# terminal, Wine in the foreground process group) waits after "Press any key to exit." until a
# key comes, and a key press (a letter, then F1 in a second run) ends it with the run's exit code.
run_key_wait() {
  if ! command -v tmux >/dev/null 2>&1; then
    fail "tmux is not installed (apt-get install -y tmux)"
    return
  fi
  local out="$WINE_SUITE_DIR/runs/keywait" key session
  rm -rf "$out"
  mkdir -p "$out"
  for key in x F1; do
    reset_machine
    printf '0\n' >"$medium/nt/KVLSETUP.exit"
    # A tmux server of its own, started from here: the pane gets this script's environment.
    session="wine_suite_keywait_$$"
    cat >"$out/run.sh" <<SCRIPT
#!/usr/bin/env bash
cd "$WINE_SUITE_DIR" || exit 99
timeout --foreground 60 wine 'D:\win2000\SETUP.EXE'
echo \$? >"$out/exit_code"
SCRIPT
    rm -f "$out/exit_code"
    tmux -S "$out/tmux.socket" new-session -d -s "$session" -x 120 -y 30 "bash $out/run.sh"
    local waited=0
    until tmux -S "$out/tmux.socket" capture-pane -p -t "$session" 2>/dev/null | grep -q 'Press any key to exit.'; do
      sleep 0.2
      waited=$((waited + 1))
      if [ -e "$out/exit_code" ]; then
        fail "$key: the program ended (exit code $(cat "$out/exit_code")) without waiting for a key"
        tmux -S "$out/tmux.socket" kill-server 2>/dev/null
        continue 2
      fi
      if [ "$waited" -gt 150 ]; then
        fail "$key: no 'Press any key to exit.' on the console"
        tmux -S "$out/tmux.socket" capture-pane -p -t "$session" 2>/dev/null | sed 's/^/    /'
        tmux -S "$out/tmux.socket" kill-server 2>/dev/null
        continue 2
      fi
    done
    sleep 1
    [ ! -e "$out/exit_code" ] || fail "$key: the program did not wait for a key"
    tmux -S "$out/tmux.socket" send-keys -t "$session" "$key"
    waited=0
    until [ -e "$out/exit_code" ] || [ "$waited" -gt 50 ]; do
      sleep 0.2
      waited=$((waited + 1))
    done
    if [ ! -e "$out/exit_code" ]; then
      fail "$key: the key press did not end the wait"
    elif [ "$(cat "$out/exit_code")" != 0 ]; then
      fail "$key: exit code $(cat "$out/exit_code"), expected 0"
    fi
    tmux -S "$out/tmux.socket" kill-server 2>/dev/null
  done
  return 0
}

list_checks() {
  echo platform
  echo keywait
  local dir
  for dir in "$scenarios"/*/; do basename "$dir"; done
}

# Runs one check and says how it went; returns non-zero when it failed.
run_check() {
  local name=$1 before=$failures start=$SECONDS
  echo "--- $name"
  if [ "$name" = platform ]; then
    run_platform_check
  elif [ "$name" = keywait ]; then
    run_key_wait
  elif [ -d "$scenarios/$name" ]; then
    run_scenario "$scenarios/$name"
  else
    fail "no check named $name"
  fi
  if [ "$failures" -eq "$before" ]; then
    echo "  ok ($((SECONDS - start)) s)"
    return 0
  fi
  return 1
}

case "${1:-}" in
  setup) do_setup ;;
  cleanup) do_cleanup ;;
  list) list_checks ;;
  check)
    require_programs
    [ -n "${2:-}" ] || { echo "usage: wine_suite.sh check NAME" >&2; exit 2; }
    run_check "$2"
    ;;
  all)
    require_programs
    do_setup
    passed=0 failed=0
    for name in $(list_checks); do
      if run_check "$name"; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
    done
    do_cleanup
    echo "$passed passed, $failed failed"
    [ "$failed" -eq 0 ]
    ;;
esac
