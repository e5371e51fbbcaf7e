#!/usr/bin/env bash
# Whole runs of setup-sim under Valgrind's memcheck: every example machine once (and the
# upgrade's restart run), with any memory error or leak failing the test.
# Usage: memcheck_run.sh SETUP_SIM MACHINES_DIR
set -u
setup_sim=$1
machines=$2
if ! command -v valgrind >/dev/null; then
  if [ "${CI:-}" = true ]; then echo "valgrind is missing" >&2; exit 1; fi
  echo "valgrind is not installed: skipped"; exit 77
fi
work=$(mktemp -d)
trap 'chmod -R u+w "$work"; rm -rf "$work"' EXIT
failures=0
memcheck() {  # NAME INPUT ARGS...
  local name=$1 input=$2; shift 2
  # setsid: no controlling terminal, so the key wait ends at once even when the tests were
  # started from a terminal.
  printf '%s' "$input" | setsid --wait valgrind --quiet --error-exitcode=99 --leak-check=full \
    --errors-for-leak-kinds=definite,indirect --trace-children=no \
    "$setup_sim" "$@" >"$work/$name.out" 2>"$work/$name.err"
  local code=$?
  # The program's own exit codes are 0 to 3; 99 is memcheck's.
  if [ "$code" -eq 99 ] || [ "$code" -gt 3 ]; then
    echo "memcheck: the $name run ended with $code:"; cat "$work/$name.err"
    failures=$((failures + 1))
  fi
}
for machine in first-install handover reboot-needed newer-deployed upgrade; do
  cp -r "$machines/$machine" "$work/$machine"
  memcheck "$machine" "n
" --machine "$work/$machine" -- 'D:\win2000\SETUP.EXE'
done
memcheck upgrade-restart "" --machine "$work/upgrade" --reboot
memcheck malformed "" --machine "$work/nowhere" -- 'D:\win2000\SETUP.EXE'
[ "$failures" -eq 0 ] && echo "memcheck: no errors in $(ls "$work"/*.out | wc -l) runs"
exit $((failures > 0))
