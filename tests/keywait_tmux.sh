#!/usr/bin/env bash
# The exit key wait on a real terminal: setup-sim runs in a tmux pane, the prompt stays without
# a line end, the run waits, and one key press (a letter, F1, Ctrl+C) ends it without an echo.
# Usage: keywait_tmux.sh SETUP_SIM MACHINE_FOLDER
set -u
setup_sim=$1
machine=$2
if ! command -v tmux >/dev/null; then
  if [ "${CI:-}" = true ]; then echo "tmux is missing" >&2; exit 1; fi
  echo "tmux is not installed: skipped"; exit 77
fi
work=$(mktemp -d)
trap 'tmux -L "keywait$$" kill-server 2>/dev/null; rm -rf "$work"' EXIT
failures=0

screen() { tmux -L "keywait$$" capture-pane -p -t run | sed '/^$/d'; }

for key in x F1 C-c; do
  rm -rf "$work/machine" && cp -r "$machine" "$work/machine"
  tmux -L "keywait$$" new-session -d -s run -x 100 -y 10 \
    "'$setup_sim' --machine '$work/machine' -- 'D:\\win2000\\SETUP.EXE' </dev/null; echo \"EXIT=\$?\"; sleep 30"
  for _ in $(seq 50); do screen | grep -q 'Press any key to exit\.' && break; sleep 0.1; done
  sleep 0.5
  if screen | grep -q 'EXIT='; then
    echo "key $key: the run did not wait for a key"; failures=$((failures + 1))
  fi
  tmux -L "keywait$$" send-keys -t run "$key"
  for _ in $(seq 50); do screen | grep -q 'EXIT=' && break; sleep 0.1; done
  last=$(screen | tail -n 1)
  if [ "$last" != "Press any key to exit.EXIT=0" ]; then
    echo "key $key: expected the prompt without a line end, no echo and exit 0; the screen ends with: $last"
    failures=$((failures + 1))
  fi
  tmux -L "keywait$$" kill-session -t run
done
[ "$failures" -eq 0 ] && echo "the key wait held and ended on x, F1 and Ctrl+C"
exit $((failures > 0))
