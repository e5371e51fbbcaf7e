#!/usr/bin/env bash
# The scenarios of wine_suite.sh on the simulated machine: each folder of scenarios/ becomes a
# machine folder, setup-sim runs the scenario's command line on it, and the scenario's expected
# output, exit code and checks are held against what the run did.
#
#   sim_suite.sh all               every scenario, then "N passed, N failed, N skipped"
#   sim_suite.sh check NAME        one scenario under scenarios/ (exit 77: not for the simulator)
#   sim_suite.sh list              the names of the scenarios
#
# Environment:
#   SIM_SUITE_DIR   work folder: runs/NAME/ holds each scenario's machine and output (required)
#   SETUP_SIM       the built setup-sim (required)
#   MEDIUM_DIR      the example installation medium (required)
#   NLS_DIR         the compiled catalogue files, for the medium's \nls\ (required)
#
# Needs python3 (for machine.json and journal.jsonl), iconv and setsid.
#
# wine_suite.sh says how a scenario folder is written. On the simulator:
#   machine          service-program, older-setup-exit, older-setup-says: a #!/bin/sh stand-in
#                    (D:\nt\KVLSETUP.EXE, C:\windows\system32\zovduvik.exe) that, like the Windows
#                    stand-in, appends a line to NAME.rec for each start, writes NAME.say and exits
#                    with NAME.exit; no-older-setup removes D:\nt\KVLSETUP.EXE
#   devices          machine.json's "devices", in order, each with "update": "ok"; a device that
#                    restart/devices lists again is hardware that comes back at the restart
#                    ("reappears": true), where Wine creates it anew after the run; a device
#                    only restart/devices lists is added to machine.json before the restart
#   environment      LC_ALL (or LANG) gives machine.json's "language"; other variables are set
#                    for the run
#   expected_output  compared with LF line ends, as the simulator writes them
#   checks           driver: machine.json's device "driver" (the INF path installed);
#                    started/starts: the stand-in's record and the journal's CreateProcessA
#                    entries (a console_processes field is skipped: the simulator keeps no
#                    console process list); runonce: machine.json's "registry"; absent: the device is no longer
#                    present and a DIF_REMOVE took it (journal and "removed_devices")
#   restart/         setup-sim --reboot; its standard output is only what the RunOnce commands
#                    print, so it is compared whole
# setup-sim runs in a session of its own, without a terminal: the key wait of the exit tail ends
# at once, as it does under Wine with the three standard streams redirected.
set -u

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
scenarios="$here/scenarios"
exit_skipped=77

case "${1:-}" in
  all | check | list) ;;
  *)
    sed -n '2,9p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'
    exit 2
    ;;
esac

# The system directory of the suite's machines: Wine's, so that the expected output and the
# checks read the same on both.
system_directory='C:\windows\system32'
package_windows="$system_directory\\drivers\\orvan"

# The nineteen package files: source subdirectory on the medium, destination subdirectory (the
# list of wine_suite.sh).
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

# Language identifiers for the locales a scenario's environment may name (what Wine's
# GetSystemDefaultLangID gives for them).
declare -A language_ids=(
  [C]=1033 [POSIX]=1033 [en_US]=1033 [en_GB]=2057 [de_DE]=1031 [fr_FR]=1036 [es_ES]=3082
  [ja_JP]=1041
)

# The stand-in for a program that the setup program starts, as wintests/standin.cpp is on
# Windows: beside it NAME.exit (the exit code), NAME.say (what it writes to its output) and
# NAME.rec, to which it appends one line for each start. The simulator gives it the rest of the
# command line as arguments and the machine folder in SETUP_SIM_MACHINE; how it was started
# (startup record, creation flags) is in the journal.
read -r -d '' standin_script <<'SH'
#!/bin/sh
base=${0%.*}
drives="${SETUP_SIM_MACHINE:-}/drives/"
program=$0
case $0 in
  "$drives"*)
    rest=${0#"$drives"}
    program="${rest%%/*}:\\$(printf '%s' "${rest#*/}" | tr / '\\')"
    ;;
esac
printf 'command_line=%s%s\n' "$program" "${1+ $*}" >>"$base.rec"
[ -f "$base.say" ] && cat "$base.say"
code=0
[ -s "$base.exit" ] && code=$(tr -d ' \r\n' <"$base.exit")
exit "$code"
SH

# What the suite reads from and writes to machine.json and journal.jsonl.
read -r -d '' json_tool <<'PY'
import json
import sys

RUN_ONCE = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce"


def id_lines(path):
    """The hardware-ID lists of a devices file: one device a line, IDs separated by spaces."""
    try:
        with open(path, encoding="utf-8") as lines:
            return [line.split() for line in lines if line.split()]
    except FileNotFoundError:
        return []


def load(path):
    with open(path, encoding="utf-8") as text:
        return json.load(text)


def save(path, machine):
    with open(path, "w", encoding="utf-8") as text:
        json.dump(machine, text, indent=2)
        text.write("\n")


def journal(machine_dir):
    try:
        with open(machine_dir + "/journal.jsonl", encoding="utf-8") as lines:
            return [json.loads(line) for line in lines if line.strip()]
    except FileNotFoundError:
        return []


def carries(device, hardware_id):
    ids = device.get("hardware_ids") or []
    return any(each.lower() == hardware_id.lower() for each in ids)


def program_of(command_line):
    """The program of a command line, as the simulator splits it: quoted, or up to a space."""
    if command_line.startswith('"'):
        end = command_line.find('"', 1)
        return command_line[1:] if end < 0 else command_line[1:end]
    return command_line.split(" ", 1)[0]


def without_extension(path):
    path = path.replace("/", "\\")
    dot = path.rfind(".")
    return path[:dot] if dot > path.rfind("\\") else path


def main(command, *args):
    if command == "machine":
        # machine SCENARIO MACHINE_JSON SYSTEM_DIRECTORY LANGUAGE
        scenario, out, system_directory, language = args
        again = id_lines(scenario + "/restart/devices")
        devices = []
        for ids in id_lines(scenario + "/devices"):
            device = {"hardware_ids": ids, "update": "ok", "driver": None}
            if ids in again:
                device["reappears"] = True
            devices.append(device)
        save(out, {
            "system_directory": system_directory,
            "current_drive": "C",
            "language": int(language),
            "sleep": "virtual",
            "registry_writable": True,
            "registry": {},
            "devices": devices,
            "faults": [],
        })
    elif command == "new-hardware":
        # new-hardware SCENARIO MACHINE_JSON: restart devices that the machine did not have
        # before are new hardware, present from the restart on.
        scenario, path = args
        before = id_lines(scenario + "/devices")
        machine = load(path)
        for ids in id_lines(scenario + "/restart/devices"):
            if ids not in before:
                machine["devices"].append({"hardware_ids": ids, "update": "ok", "driver": None})
        save(path, machine)
    elif command == "device":
        # device MACHINE_JSON HWID: the driver of the first present device that carries HWID
        # ("-" for none); exit code 1 when no present device carries it.
        path, hardware_id = args
        for device in load(path)["devices"]:
            if carries(device, hardware_id):
                print(device.get("driver") or "-")
                return 0
        return 1
    elif command == "absent":
        # absent MACHINE_DIR DEVICES HWID: why HWID is not absent, if it is not: a present
        # device carries it, or a device that carried it before the run (a line of the
        # scenario's devices file) went without a DIF_REMOVE, which both the journal and
        # "removed_devices" show.
        machine_dir, devices_file, hardware_id = args
        machine = load(machine_dir + "/machine.json")
        if any(carries(device, hardware_id) for device in machine["devices"]):
            print("a present device still carries " + hardware_id)
            return 0
        if not any(carries({"hardware_ids": ids}, hardware_id) for ids in id_lines(devices_file)):
            return 0
        removals = [entry for entry in journal(machine_dir)
                    if entry.get("op") == "SetupDiCallClassInstaller" and entry.get("ok")
                    and entry.get("function") == "DIF_REMOVE" and carries(entry, hardware_id)]
        removed = [device for device in machine.get("removed_devices", [])
                   if carries(device, hardware_id)]
        if not removals:
            print(hardware_id + " is gone without a DIF_REMOVE in the journal")
        elif not removed:
            print(hardware_id + " is not among the machine's removed_devices")
    elif command == "runonce":
        # runonce MACHINE_JSON: the RunOnce value "Setup" as TYPE<TAB>DATA; nothing when none.
        registry = load(args[0]).get("registry", {})
        for key, values in registry.items():
            if key.lower() != RUN_ONCE.lower():
                continue
            for name, value in values.items():
                if name.lower() == "setup":
                    print("%s\t%s" % (value.get("type"), value.get("data")))
    elif command == "starts":
        # starts MACHINE_DIR RECORD: the successful CreateProcessA entries for the program
        # beside the record (same path without extension), one a line as the Windows stand-in
        # records a start: command_line=...<TAB>startf=N<TAB>show_window=N<TAB>creation_flags=N
        machine_dir, record = args
        wanted = without_extension(record).lower()
        for entry in journal(machine_dir):
            if entry.get("op") != "CreateProcessA" or not entry.get("ok"):
                continue
            if without_extension(program_of(entry["command_line"])).lower() != wanted:
                continue
            print("command_line=%s\tstartf=%d\tshow_window=%d\tcreation_flags=%d" % (
                entry["command_line"], entry["startf"], entry["show_window"],
                entry["creation_flags"]))
    else:
        print("sim_suite: unknown json_tool command " + command, file=sys.stderr)
        return 2
    return 0


sys.exit(main(*sys.argv[1:]))
PY

json_tool() {
  python3 -c "$json_tool" "$@"
}

failures=0
fail() {
  echo "  FAILED: $*"
  failures=$((failures + 1))
}

# A check or a part of one that the simulator cannot express, said by name.
skip_check() {
  echo "  skipped on the simulator: $*"
}

require_tools() {
  local name
  for name in SETUP_SIM MEDIUM_DIR NLS_DIR; do
    if [ -z "${!name:-}" ] || [ ! -e "${!name}" ]; then
      echo "sim_suite: $name is not set to an existing path" >&2
      exit 2
    fi
  done
  : "${SIM_SUITE_DIR:?set SIM_SUITE_DIR to a work folder}"
  for name in python3 iconv setsid; do
    if ! command -v "$name" >/dev/null 2>&1; then
      echo "sim_suite: $name is not installed" >&2
      exit 2
    fi
  done
}

# The host path of a Windows path (drive letter, then the path) in the machine folder $machine.
host_path() {
  local path=${1//\\//}
  case $path in
    [A-Za-z]:/*)
      local letter=${path:0:1}
      echo "$machine/drives/${letter^^}/${path:3}"
      ;;
    *) echo "/nonexistent/$path" ;;
  esac
}

# Lays out a machine folder for the scenario folder $1 in $machine: machine.json, the medium as
# drive D: (the example medium, the compiled catalogue files, the older setup program's
# stand-in) and an empty C:\windows\system32\drivers.
build_machine() {
  local dir=$1 language=$2
  rm -rf "$machine"
  mkdir -p "$machine/drives" "$machine/drives/C/windows/system32/drivers"
  cp -r "$MEDIUM_DIR" "$machine/drives/D"
  mkdir -p "$machine/drives/D/nls" "$machine/drives/D/nt"
  cp "$NLS_DIR"/*.NLS "$machine/drives/D/nls/"
  install_standin 'D:\nt\KVLSETUP.EXE'
  json_tool machine "$dir" "$machine/machine.json" "$system_directory" "$language" ||
    fail "cannot write machine.json"
}

install_standin() {
  local program
  program=$(host_path "$1")
  mkdir -p "$(dirname "$program")"
  printf '%s\n' "$standin_script" >"$program"
  chmod +x "$program"
}

apply_machine() {
  local statement rest
  while read -r statement rest || [ -n "$statement" ]; do
    case $statement in
      "") ;;
      service-program) install_standin "$system_directory\\zovduvik.exe" ;;
      older-setup-exit) printf '%s\n' "$rest" >"$machine/drives/D/nt/KVLSETUP.exit" ;;
      older-setup-says) printf '%b' "$rest" >"$machine/drives/D/nt/KVLSETUP.say" ;;
      no-older-setup) rm -f "$machine/drives/D/nt/KVLSETUP.EXE" ;;
      *) fail "unknown machine statement '$statement' in $1" ;;
    esac
  done <"$1"
}

# The language identifier that the scenario's environment gives the machine (1033 without one);
# the other variables go into the array `environment`.
read_environment() {
  local file=$1 line name value locale
  language=1033
  environment=()
  [ -f "$file" ] || return 0
  local lc_all='' lang=''
  while IFS= read -r line || [ -n "$line" ]; do
    [ -n "$line" ] || continue
    name=${line%%=*}
    value=${line#*=}
    case $name in
      LC_ALL) lc_all=$value ;;
      LANG) lang=$value ;;
      *) environment+=("$line") ;;
    esac
  done <"$file"
  locale=${lc_all:-$lang}
  [ -n "$locale" ] || return 0
  locale=${locale%%.*}
  locale=${locale%%@*}
  if [ -z "${language_ids[$locale]:-}" ]; then
    fail "no language identifier for the locale '$locale' (add it to language_ids)"
    return 1
  fi
  language=${language_ids[$locale]}
}

package_host() {
  host_path "$package_windows"
}

check_deployed() {
  local dir entry from to name package medium="$machine/drives/D"
  package=$(package_host)
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

# The device's "driver" is the INF path that the driver update installed: it must be the
# package's INF file INF in the deployed package, and that file must be there.
check_driver() {
  local id=$1 inf=$2 driver upper
  if ! driver=$(json_tool device "$machine/machine.json" "$id"); then
    fail "no present device carries $id"
    return
  fi
  if [ "$driver" = "-" ]; then
    fail "$id has no driver"
    return
  fi
  upper=$(tr '[:lower:]' '[:upper:]' <<<"$inf")
  local expected="$package_windows\\win2000\\$inf"
  # The folder as Windows compares it (letter case ignored), the file name as the program
  # passed it (InfPath under Wine).
  if [ "${driver##*\\}" != "$inf" ] ||
    [ "${driver,,}" != "${expected,,}" ]; then
    fail "$id: driver not from $expected ($driver)"
  fi
  [ -f "$(package_host)/win2000/$upper" ] || fail "$id: the package INF $upper is not deployed"
}

check_no_driver() {
  local driver
  if ! driver=$(json_tool device "$machine/machine.json" "$1"); then
    fail "no present device carries $1"
    return
  fi
  [ "$driver" = "-" ] || fail "$1 has a driver: $driver"
}

# absent HWID: no present device carries it, and when one did before the run, a DIF_REMOVE
# took it.
check_absent() {
  local why
  why=$(json_tool absent "$machine" "$scenario/devices" "$1") || why="cannot read the machine"
  [ -z "$why" ] || fail "$why"
}

# The number of lines in a stand-in's record.
record_lines() {
  local record
  record=$(host_path "$1")
  if [ -f "$record" ]; then wc -l <"$record"; else echo 0; fi
}

# starts RECORD N: the stand-in ran N times, and the journal has N successful starts of it.
check_starts() {
  local ran journaled
  ran=$(record_lines "$1")
  journaled=$(json_tool starts "$machine" "$1" | wc -l)
  [ "$ran" -eq "$2" ] || fail "$1: $ran starts, expected $2"
  [ "$journaled" -eq "$2" ] || fail "$1: the journal has $journaled starts, expected $2"
}

# started RECORD FIELD...: one start, whose journal entry shows these fields (command_line as
# the program passed it, startf and show_window of the startup record).
check_started() {
  local ran start field
  ran=$(record_lines "$1")
  start=$(json_tool starts "$machine" "$1")
  if [ "$ran" -ne 1 ]; then
    fail "$1: $ran starts, expected one"
    return
  fi
  if [ "$(grep -c . <<<"$start")" -ne 1 ]; then
    fail "$1: the journal has not one start of its program: ${start:-none}"
    return
  fi
  local IFS=$'\t'
  for field in $2; do
    case $field in
      console_processes=*)
        # Wine counts the processes attached to the stand-in's console; the simulator has no
        # console process list (a child started with CREATE_NEW_CONSOLE just does not share
        # the program's standard streams).
        skip_check "started $1 $field: the simulator keeps no console process count"
        ;;
      *)
        [[ $'\t'"$start"$'\t' == *$'\t'"$field"$'\t'* ]] ||
          fail "$1: no field '$field' in the journal's start: $start"
        ;;
    esac
  done
}

check_kept() {
  cmp -s "$2/package/$1" "$(package_host)/$1" || fail "package file $1 was not kept"
}

run_once_value() {
  json_tool runonce "$machine/machine.json"
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
      absent) check_absent "$a" ;;
      starts) check_starts "$a" "$b" ;;
      started) check_started "$a" "$b" ;;
      runonce)
        local value
        value=$(run_once_value)
        [ "$value" = "REG_SZ"$'\t'"$a${b:+ $b}" ] ||
          fail "RunOnce Setup is '$value', expected REG_SZ '$a${b:+ $b}'"
        ;;
      no-runonce) [ -z "$(run_once_value)" ] || fail "RunOnce Setup is set: $(run_once_value)" ;;
      *) fail "unknown check '$check' in $dir/checks" ;;
    esac
  done <"$dir/checks"
}

# Compares standard output with a scenario's expected_output, byte for byte (LF line ends on
# both sides).
compare_output() {
  local expected=$1 actual=$2 out=$3 encoding=${4:-}
  if [ -n "$encoding" ]; then
    iconv -f UTF-8 -t "$encoding" "$expected" >"$out/expected_stdout" ||
      fail "cannot convert $expected to $encoding"
  else
    cp "$expected" "$out/expected_stdout"
  fi
  if ! cmp -s "$out/expected_stdout" "$actual"; then
    fail "standard output differs (expected, then actual; ^M is CR, \$ is LF):"
    diff <(cat -A "$out/expected_stdout") <(cat -A "$actual") | sed 's/^/    /'
  fi
}

# Runs setup-sim on the machine with the given arguments, standard input from $input, output
# into $out; in a session of its own, so that no terminal is there for the key wait.
run_setup_sim() {
  local out=$1 input=$2
  shift 2
  (cd "$machine" &&
    env "${environment[@]}" setsid -w "$SETUP_SIM" --machine "$machine" "$@" \
      < <(cat "$input") >"$out/stdout" 2>"$out/stderr")
}

# Runs one scenario folder.
run_scenario() {
  local dir=$1 scenario=$1 name out command_line expected_exit language environment
  name=$(basename "$dir")
  out="$SIM_SUITE_DIR/runs/$name"
  rm -rf "$out"
  mkdir -p "$out"
  out=$(cd "$out" && pwd)  # the stand-ins see the machine folder as an absolute path
  machine="$out/machine"

  read_environment "$dir/environment" || return
  build_machine "$dir" "$language"
  [ -f "$dir/machine" ] && apply_machine "$dir/machine"
  if [ -d "$dir/package" ]; then
    mkdir -p "$(package_host)"
    cp -r "$dir/package/." "$(package_host)/"
  fi

  read -r -a command_line <"$dir/command"
  local input=/dev/null
  [ -f "$dir/input" ] && input="$dir/input"
  run_setup_sim "$out" "$input" -- "${command_line[@]}"
  local code=$?

  expected_exit=$(tr -d '[:space:]' <"$dir/expected_exit")
  [ "$code" = "$expected_exit" ] || fail "exit code $code, expected $expected_exit"
  local encoding=
  [ -f "$dir/output_encoding" ] && encoding=$(tr -d '[:space:]' <"$dir/output_encoding")
  compare_output "$dir/expected_output" "$out/stdout" "$out" "$encoding"
  [ -s "$out/stderr" ] && fail "standard error is not empty: $(head -c 300 "$out/stderr")"
  run_checks "$dir"

  if [ -d "$dir/restart" ]; then
    echo "  restart"
    mkdir -p "$out/restart"
    [ -f "$dir/restart/devices" ] && json_tool new-hardware "$dir" "$machine/machine.json"
    run_setup_sim "$out/restart" /dev/null --reboot
    code=$?
    # 0, 1 and 2 are the program's exit codes; anything else is setup-sim's own error.
    [ "$code" -le 2 ] || fail "restart: setup-sim exit code $code: $(head -c 300 "$out/restart/stderr")"
    compare_output "$dir/restart/expected_output" "$out/restart/stdout" "$out/restart"
    [ -s "$out/restart/stderr" ] &&
      fail "restart: standard error is not empty: $(head -c 300 "$out/restart/stderr")"
    run_checks "$dir/restart"
  fi
}

list_checks() {
  local dir
  for dir in "$scenarios"/*/; do basename "$dir"; done
}

# Runs one check and says how it went: 0 passed, 1 failed, 77 skipped.
run_check() {
  local name=$1 before=$failures start=$SECONDS
  echo "--- $name"
  case $name in
    platform)
      echo "  skipped: the Windows backend's own checks run under Wine only (wine_suite.sh check platform)"
      return "$exit_skipped"
      ;;
    keywait)
      echo "  skipped: the key wait needs a real console, under Wine only (wine_suite.sh check keywait)"
      return "$exit_skipped"
      ;;
  esac
  if [ -d "$scenarios/$name" ]; then
    run_scenario "$scenarios/$name"
  else
    fail "no scenario named $name"
  fi
  if [ "$failures" -eq "$before" ]; then
    echo "  ok ($((SECONDS - start)) s)"
    return 0
  fi
  return 1
}

case "${1:-}" in
  list) list_checks ;;
  check)
    require_tools
    [ -n "${2:-}" ] || { echo "usage: sim_suite.sh check NAME" >&2; exit 2; }
    run_check "$2"
    ;;
  all)
    require_tools
    passed=0 failed=0 skipped=0
    for name in $(list_checks); do
      run_check "$name"
      case $? in
        0) passed=$((passed + 1)) ;;
        "$exit_skipped") skipped=$((skipped + 1)) ;;
        *) failed=$((failed + 1)) ;;
      esac
    done
    echo "$passed passed, $failed failed, $skipped skipped"
    [ "$failed" -eq 0 ]
    ;;
esac
