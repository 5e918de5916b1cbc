#!/usr/bin/env bash
# Installs the build into a temporary prefix and builds a tiny C host against it three times:
# through find_package(recorder), through pkg-config, and through pkg-config with the library
# staged in a board's root file system (DESTDIR, PKG_CONFIG_SYSROOT_DIR). Every host must run.
# Then the README's two example hosts (recording and playback) are taken out of README.md,
# built against the prefix with a run path, and run: what the first records, the second plays.
# The optional arguments are the build's C flags (-m32 for a 32-bit build, so the hosts match
# the library), the program that runs its executables (empty when they run natively), the C
# compiler and the CMake toolchain file of a cross build.
set -euo pipefail
build_dir=$1
source_dir=$2
c_flags=${3:-}
emulator=${4:-}
c_compiler=${5:-cc}
toolchain=${6:-}
work=$(mktemp -d /tmp/recinstall_XXXXXX)
trap 'rm -rf "$work"' EXIT
cmake --install "$build_dir" --prefix "$work/prefix" >/dev/null
test -f "$work/prefix/include/recorder.h"
ls "$work/prefix"/lib*/librecorder.so.1 >/dev/null
libdir=$(dirname "$(ls "$work/prefix"/lib*/librecorder.so.1)")
# The installed tool finds the installed library through its run path.
# shellcheck disable=SC2086
rc=0
$emulator "$work/prefix/bin/dvrtool" dates "$work" >/dev/null 2>&1 || rc=$?
[ "$rc" -eq 1 ]  # no index files there: exit 1, not a failure to load the library

cmake -S "$source_dir/tests/install/host" -B "$work/cmake-host" -G Ninja \
  -DCMAKE_PREFIX_PATH="$work/prefix" -DCMAKE_C_FLAGS="$c_flags" \
  ${toolchain:+-DCMAKE_TOOLCHAIN_FILE="$toolchain"} >/dev/null
cmake --build "$work/cmake-host" >/dev/null
LD_LIBRARY_PATH="$libdir" $emulator "$work/cmake-host/host"

export PKG_CONFIG_PATH="$libdir/pkgconfig"
# shellcheck disable=SC2046,SC2086
"$c_compiler" -std=c99 -Wall -Werror $c_flags "$source_dir/tests/install/host/host.c" \
  -o "$work/pc-host" $(pkg-config --cflags --libs recorder)
LD_LIBRARY_PATH="$libdir" $emulator "$work/pc-host"

# A board's root file system staged on the build machine: the paths pkg-config gives point
# into the staging directory.
sysroot=$work/board
DESTDIR=$sysroot cmake --install "$build_dir" --prefix /usr/local >/dev/null
board_libdir=$(dirname "$(ls "$sysroot"/usr/local/lib*/librecorder.so.1)")
unset PKG_CONFIG_PATH
flags=$(PKG_CONFIG_SYSROOT_DIR=$sysroot PKG_CONFIG_LIBDIR="$board_libdir/pkgconfig" \
  pkg-config --cflags --libs recorder)
case "$flags" in *"-L$sysroot/usr/local/lib"*) ;; *) echo "pkg-config gave: $flags" >&2; exit 1 ;; esac
# shellcheck disable=SC2086
"$c_compiler" -std=c99 -Wall -Werror $c_flags "$source_dir/tests/install/host/host.c" \
  -o "$work/board-host" $flags
LD_LIBRARY_PATH="$board_libdir" $emulator "$work/board-host"

# The README's hosts: each ```c block that starts with "/* NAME.c */".
awk -v dir="$work" '
  /^```c$/ { inblock = 1; file = ""; next }
  /^```$/ { inblock = 0; next }
  inblock && file == "" && match($0, /^\/\* [a-z_]+\.c \*\/$/) { file = dir "/" $2 }
  inblock && file != "" { print > file }
' "$source_dir/README.md"
export PKG_CONFIG_PATH="$libdir/pkgconfig"
for host in record_host play_host; do
  test -f "$work/$host.c" || { echo "README.md has no $host.c example"; exit 1; }
  # shellcheck disable=SC2046,SC2086
  "$c_compiler" -std=c99 -Wall -Werror -pthread $c_flags "$work/$host.c" -o "$work/$host" \
    $(pkg-config --cflags --libs recorder) -Wl,-rpath,"$libdir"
done
mkdir "$work/rec"
$emulator "$work/record_host" "$work/rec" | grep -qx "75 frames recorded"
# Without the run path nothing would load it; with it no LD_LIBRARY_PATH is needed.
played=$(env -u LD_LIBRARY_PATH $emulator "$work/play_host" "$work/rec")
echo "$played" | grep -qx "75 frames shown, last tag 74" || { echo "play_host: $played"; exit 1; }

