#!/usr/bin/env bash
# Installs the build into a scratch prefix and builds a small outside program against it,
# once through the CMake package and once through pkg-config, then runs both and the tool.
# usage: install_test.sh BUILD_DIR [COMPILER_FLAGS]
set -euo pipefail
build=$1
flags=${2:-}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
prefix=$tmp/prefix

cmake --install "$build" --prefix "$prefix" >/dev/null
"$prefix/bin/kzvideo" version

mkdir -p "$tmp/src"
cat >"$tmp/src/use.c" <<'C'
#include <kzvideo.h>
#include <stdio.h>

int main(void) {
  uint32_t session = KZBegin(NULL);
  char text[128];
  uint32_t number = KZVersion(text, sizeof text);
  if (!session || !number || !KZEnd(session)) return 1;
  printf("outside program: %s\n", text);
  return 0;
}
C
cat >"$tmp/src/CMakeLists.txt" <<'CM'
cmake_minimum_required(VERSION 3.25)
project(use LANGUAGES C)
find_package(kzvideo 1 REQUIRED)
add_executable(use use.c)
target_link_libraries(use PRIVATE kzvideo::kzvideo)
CM
cmake -S "$tmp/src" -B "$tmp/build" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_C_FLAGS="$flags" \
  -DCMAKE_EXE_LINKER_FLAGS="$flags" -DCMAKE_C_COMPILER_LAUNCHER= >/dev/null
cmake --build "$tmp/build" >/dev/null
"$tmp/build/use"

export PKG_CONFIG_PATH=$(dirname "$(find "$prefix" -name kzvideo.pc)")
# shellcheck disable=SC2046,SC2086
cc $flags -o "$tmp/use-pc" "$tmp/src/use.c" $(pkg-config --cflags --libs kzvideo)
LD_LIBRARY_PATH=$(pkg-config --variable=libdir kzvideo) "$tmp/use-pc"
