#!/usr/bin/env bash
# Builds SETUP.EXE and the release twice with the `windows` preset, each time from a copy of the
# repository's files in a folder of another name and length, and compares the two images, the
# two custom action DLLs of the Windows Installer package and the two release zips byte for byte. The copy holds the tracked files as they stand in the
# working tree, and the files not yet added that git does not ignore (a tracked build file may
# already name one); never build/.
#
#   platform/win32/check_reproducible.sh
#
# Exit code: 0 when the two images, DLLs and zips are the same bytes, 1 when they differ, 2
# when a copy or a build fails. Only the SETUP and release targets are built (the release with
# the program's part only, unsigned); the two trees are configured and built side by side. The
# temporary folders are removed however the check ends.
set -euo pipefail

readonly PRESET=windows
readonly TARGETS=(SETUP release)
readonly IMAGE=programs/SETUP.exe
readonly ACTION=release/msi/runsetup.dll
readonly RELEASE=release
readonly DIFFERENCES_SHOWN=20

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repository=$(git -C "$here" rev-parse --show-toplevel)

work=$(mktemp -d "${TMPDIR:-/tmp}/setup-reproducible.XXXXXX")
builds=()
# shellcheck disable=SC2317  # run by the traps
cleanup() {
  local pid
  for pid in "${builds[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 2' INT TERM

# Two source folders whose paths differ in name and in length.
first=$work/a
second=$work/second-tree-of-another-length

jobs=$(($(nproc) / 2))
[ "$jobs" -ge 1 ] || jobs=1

copy_tree() {
  mkdir -p "$1"
  # A tracked file deleted in the working tree is left out, as a build there would see it.
  git -C "$repository" ls-files -z --cached --others --exclude-standard |
    tar -C "$repository" --null --files-from=- --ignore-failed-read -cf - 2>/dev/null |
    tar -C "$1" -xf -
}

# The tools that stamp a build's time (the linker, the compiler's __DATE__ and __TIME__) take it
# from SOURCE_DATE_EPOCH: the two builds, although side by side, run as if years apart.
readonly FIRST_BUILD_TIME=946684800    # 2000-01-01
readonly SECOND_BUILD_TIME=1700000000  # 2023-11-14

build_tree() {
  (
    cd "$1"
    export SOURCE_DATE_EPOCH=$2
    cmake --preset "$PRESET" && cmake --build "build/$PRESET" --target "${TARGETS[@]}" -j "$jobs"
  ) >"$1.log" 2>&1
}

start=$SECONDS
for tree in "$first" "$second"; do
  if ! copy_tree "$tree"; then
    echo "check_reproducible: cannot copy the tracked files into $tree"
    exit 2
  fi
done

build_tree "$first" "$FIRST_BUILD_TIME" &
builds+=($!)
build_tree "$second" "$SECOND_BUILD_TIME" &
builds+=($!)
failed=0
for pid in "${builds[@]}"; do wait "$pid" || failed=1; done
builds=()
if [ "$failed" -ne 0 ]; then
  for tree in "$first" "$second"; do
    echo "--- build in $tree (last lines)"
    tail -n 20 "$tree.log"
  done
  echo "check_reproducible: FAILED: a build of the $PRESET preset failed"
  exit 2
fi

# compare NAME: the file NAME (relative to the build folder) of the two builds, byte for byte;
# says how they compare, and fails when they differ.
compare() {
  local a=$first/build/$PRESET/$1 b=$second/build/$PRESET/$1
  if cmp -s "$a" "$b"; then
    echo "check_reproducible: reproducible: the two $1 are byte-identical" \
      "($(stat -c %s "$a") bytes, sha256 $(sha256sum "$a" | cut -d' ' -f1))"
    return 0
  fi
  echo "check_reproducible: NOT reproducible: the two $1 differ" \
    "($(stat -c %s "$a") and $(stat -c %s "$b") bytes); first differing bytes" \
    "(offset, octal values):"
  cmp -l "$a" "$b" 2>/dev/null | head -n "$DIFFERENCES_SHOWN" || true
  return 1
}

zips=("$first/build/$PRESET/$RELEASE"/*.zip)
if [ ! -f "${zips[0]}" ] || [ "${#zips[@]}" -ne 1 ]; then
  echo "check_reproducible: FAILED: the release made no single zip in build/$PRESET/$RELEASE"
  exit 2
fi
status=0
compare "$IMAGE" || status=1
compare "$ACTION" || status=1
compare "$RELEASE/$(basename "${zips[0]}")" || status=1
echo "check_reproducible: $((SECONDS - start)) s"
exit "$status"
