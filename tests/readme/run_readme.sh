#!/usr/bin/env bash
# Follows README.md literally, as a new user would: clones the repository into a scratch
# directory and runs the README's shell blocks there, in the order they appear, in one shell
# (so an `export` or a `cd` carries over to the next block, as in a terminal). Fails at the
# first command that fails, naming the block's line in README.md.
#
# How the README's code blocks are read:
#   ```sh        run
#   ```c         saved, when its first line is a comment naming the file (/* host.c */), under
#                that name in the clone, as a user saves an example before building it
#   other fences (```, ```cmake, ...) are not run: output, formats, file contents
#   a fence right after the line <!-- readme-test: skip (why) --> is not run either (boards,
#   cross compilers, machines the test does not have)
# Commands that write outside the clone run inside the scratch directory instead: /opt/recorder
# and /srv/rec become <scratch>/opt/recorder and <scratch>/srv/rec, so the run needs no root
# and leaves nothing behind.
#
# Usage: run_readme.sh [--skip COMMAND]... [--clone DIR] [--list] [REPO]
#   --skip COMMAND  a line of a block whose command (without its comment) is exactly COMMAND
#                   is not run (CI runs `make test` as a stage of its own)
#   --clone DIR     clone into DIR (must not exist) and keep it afterwards; default: scratch
#   --list          print the script that would run, and run nothing
#   REPO            the repository to clone (default: the one holding this script)
set -euo pipefail

skips=()
clone=""
list=0
repo=""
while [ $# -gt 0 ]; do
  case "$1" in
    --skip) skips+=("$2"); shift 2 ;;
    --clone) clone=$2; shift 2 ;;
    --list) list=1; shift ;;
    -*) echo "run_readme.sh: unknown option $1" >&2; exit 2 ;;
    *) repo=$1; shift ;;
  esac
done
[ -n "$repo" ] || repo=$(git -C "$(dirname "$0")" rev-parse --show-toplevel)

scratch=$(mktemp -d "${TMPDIR:-/tmp}/readme_XXXXXX")
trap 'rm -rf "$scratch"' EXIT
[ -n "$clone" ] || clone="$scratch/clone"
# A repository owned by another user is still cloned (CI may check out as one user, run as root).
git -c safe.directory='*' clone -q "$repo" "$clone"
clone=$(cd "$clone" && pwd)

# The blocks as one bash script; each block starts with a line naming where it is.
script="$scratch/readme.sh"
skip_list=$(printf '%s\n' "${skips[@]+"${skips[@]}"}")
SKIPS="$skip_list" SCRATCH="$scratch" awk '
  BEGIN { n = split(ENVIRON["SKIPS"], skip, "\n"); scratch = ENVIRON["SCRATCH"] }
  function mapped(line) {
    gsub("/opt/recorder", scratch "/opt/recorder", line)
    gsub("/srv/rec", scratch "/srv/rec", line)
    return line
  }
  function skipped(line,   command, i) {
    command = line
    sub(/[ \t]*#.*$/, "", command)
    sub(/^[ \t]+/, "", command)
    for (i = 1; i <= n; ++i) if (skip[i] != "" && command == skip[i]) return 1
    return 0
  }
  mode == "" && /^```/ {
    fence = $0
    if (prev ~ /^<!-- readme-test: skip/) mode = "ignore"
    else if (fence == "```sh") { mode = "sh"; printf "echo \"=== README.md line %d\"\n", NR }
    else if (fence == "```c") mode = "c?"
    else mode = "ignore"
    prev = $0
    next
  }
  mode != "" && /^```$/ {
    if (mode == "c") print "SAVED_EOF"
    mode = ""; prev = $0; next
  }
  mode == "sh" {
    if (skipped($0)) printf "echo \"  (skipped: %s)\"\n", $0
    else print mapped($0)
  }
  mode == "c?" {
    if (match($0, /^\/\* [A-Za-z0-9_.-]+\.c \*\/$/)) {
      name = substr($0, 4, RLENGTH - 6)
      printf "echo \"=== README.md line %d: saved as %s\"\n", NR - 1, name
      printf "cat > %s <<'\''SAVED_EOF'\''\n", name
      mode = "c"
    } else {
      mode = "ignore"
    }
  }
  mode == "c" { print }
  { prev = $0 }
' "$clone/README.md" > "$script"

if [ "$list" -eq 1 ]; then
  cat "$script"
  exit 0
fi
mkdir -p "$scratch/opt" "$scratch/srv"
# A bash of its own: errexit holds in it whatever this script tests.
rc=0
(cd "$clone" && bash -eE -o pipefail -c '
  trap '\''echo "run_readme.sh: a README command failed (status $?): $BASH_COMMAND" >&2'\'' ERR
  source "$1"' run_readme "$script") || rc=$?
if [ "$rc" -ne 0 ]; then
  echo "run_readme.sh: FAILED in the block after the last \"=== README.md line\" marker" >&2
  exit 1
fi
echo "run_readme.sh: every README block ran"
