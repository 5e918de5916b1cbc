#!/usr/bin/env bash
# Records the fixed sequence with two builds of record_fixed_sequence (or twice with one) and
# compares every stored file byte for byte. Each argument is a command line, for example
#   compare_recordings.sh build/tests/record_fixed_sequence \
#     "qemu-arm -L /usr/arm-linux-gnueabihf build-armhf/tests/record_fixed_sequence"
set -euo pipefail
work=$(mktemp -d "${TMPDIR:-/tmp}/recfixed_XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir "$work/first" "$work/second"
# shellcheck disable=SC2086
$1 "$work/first"
# shellcheck disable=SC2086
$2 "$work/second"
files=$(cd "$work/first" && ls)
[ -n "$files" ] || { echo "nothing was recorded" >&2; exit 1; }
if [ "$(cd "$work/second" && ls)" != "$files" ]; then
  echo "the two recordings left different files:" >&2
  ls -l "$work/first" "$work/second" >&2
  exit 1
fi
for f in $files; do
  if ! cmp "$work/first/$f" "$work/second/$f"; then
    cmp -l "$work/first/$f" "$work/second/$f" | head -20 >&2 || true
    exit 1
  fi
done
echo "$(echo "$files" | wc -w) files recorded byte-identically: $(echo $files)"
