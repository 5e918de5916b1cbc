#!/usr/bin/env bash
# run_readme.sh on small repositories whose README holds one kind of block each: it runs the
# shell blocks in order in one shell, saves the named C examples, leaves out what it must not
# run, keeps system paths inside its scratch directory, and fails when a command fails.
set -euo pipefail
runner="$(cd "$(dirname "$0")" && pwd)/run_readme.sh"
work=$(mktemp -d "${TMPDIR:-/tmp}/readmetest_XXXXXX")
trap 'rm -rf "$work"' EXIT
failures=0

# check NAME STATUS README-TEXT [RUNNER-ARGS...]: the README is committed to a fresh
# repository and the runner must end with STATUS.
check() {
  local name=$1 want=$2 text=$3
  shift 3
  local repo="$work/$name"
  git init -q "$repo"
  printf '%s\n' "$text" > "$repo/README.md"
  git -C "$repo" add README.md
  git -C "$repo" -c user.name=t -c user.email=t@t commit -qm readme
  local got=0
  "$runner" "$@" "$repo" > "$work/$name.out" 2>&1 || got=$?
  if [ "$got" -ne "$want" ]; then
    echo "FAIL $name: exit $got, wanted $want"; sed 's/^/  /' "$work/$name.out"
    failures=$((failures + 1))
  else
    echo "ok   $name"
  fi
}

fence='```'
check blocks_run_in_order_in_one_shell 0 "
${fence}sh
export GREETING=hello
echo \"\$GREETING\" > said
${fence}
${fence}c
/* host.c */
int main(void) { return 0; }
${fence}
${fence}sh
test \"\$(cat said)\" = \"\$GREETING\" && test -f host.c && grep -q 'int main' host.c
${fence}"

check a_failing_command_fails_the_run 1 "
${fence}sh
true
false
touch after
${fence}"

check a_failure_in_a_later_block_fails_the_run 1 "
${fence}sh
true
${fence}
${fence}sh
ls /no/such/directory | cat
${fence}"

check output_and_marked_blocks_are_not_run 0 "
${fence}
false
${fence}
<!-- readme-test: skip (needs a board) -->
${fence}sh
false
${fence}
${fence}c
int unnamed(void) { return 1 / 0; }
${fence}"

check skipped_commands_are_not_run 0 "
${fence}sh
make test    # the whole suite
${fence}" --skip "make test"

# System paths land in the scratch directory: nothing appears under /opt or /srv.
marker="readme-test-$$"
check system_paths_stay_in_scratch 0 "
${fence}sh
mkdir -p /opt/recorder/$marker /srv/rec/$marker && test -d /opt/recorder/$marker
${fence}"
if [ -e "/opt/recorder/$marker" ] || [ -e "/srv/rec/$marker" ]; then
  echo "FAIL system_paths_stay_in_scratch: wrote outside the scratch directory"
  failures=$((failures + 1))
fi

[ "$failures" -eq 0 ]
