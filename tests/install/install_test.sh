#!/usr/bin/env bash
# Installs the build into a temporary prefix and builds a tiny C host against it twice:
# through find_package(recorder) and through pkg-config. Both hosts must run.
set -euo pipefail
build_dir=$1
source_dir=$2
work=$(mktemp -d /tmp/recinstall_XXXXXX)
trap 'rm -rf "$work"' EXIT
cmake --install "$build_dir" --prefix "$work/prefix" >/dev/null
test -f "$work/prefix/include/recorder.h"
ls "$work/prefix"/lib*/librecorder.so.1 >/dev/null
libdir=$(dirname "$(ls "$work/prefix"/lib*/librecorder.so.1)")

cmake -S "$source_dir/tests/install/host" -B "$work/cmake-host" -G Ninja \
  -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/cmake-host" >/dev/null
LD_LIBRARY_PATH="$libdir" "$work/cmake-host/host"

export PKG_CONFIG_PATH="$libdir/pkgconfig"
# shellcheck disable=SC2046
cc -std=c99 -Wall -Werror "$source_dir/tests/install/host/host.c" -o "$work/pc-host" \
  $(pkg-config --cflags --libs recorder)
LD_LIBRARY_PATH="$libdir" "$work/pc-host"
