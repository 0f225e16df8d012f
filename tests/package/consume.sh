#!/usr/bin/env bash
# Installs the build into a private prefix and builds and runs a host program against it,
# through the CMake package and through pkg-config. The host passes no -std flag of its own
# (the compiler's default may be older than C++20): each route must supply the standard that
# the public headers need.
set -euo pipefail
build=$1; source=$2; flags=${3:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" > /dev/null
cmake -S "$source/tests/package/consumer" -B "$work/consumer" -G Ninja \
      -DCMAKE_PREFIX_PATH="$work/prefix" -DCMAKE_CXX_FLAGS="$flags" > /dev/null
cmake --build "$work/consumer" > /dev/null
"$work/consumer/consumer" "$work/cmake-host.kvx"
pc=$(dirname "$(find "$work/prefix" -name kvx.pc | head -n 1)")
export PKG_CONFIG_PATH=$pc
c++ $flags "$source/tests/package/consumer/main.cpp" $(pkg-config --cflags --libs kvx) \
    -Wl,-rpath,"$(pkg-config --variable=libdir kvx)" -o "$work/pc-host"
"$work/pc-host" "$work/pc-host.kvx"
# The installed tool finds the installed library and reads what the host wrote.
"$work/prefix/bin/kvx" verify -q "$work/pc-host.kvx"
# The manual page and the bash completion are installed, and the completion offers the commands.
test -s "$work/prefix/share/man/man1/kvx.1"
man_text=$(MANWIDTH=100 man -l "$work/prefix/share/man/man1/kvx.1" 2>/dev/null || true)
[ -z "$man_text" ] || grep -q "read, write and inspect KVX project files" <<<"$man_text"
completion="$work/prefix/share/bash-completion/completions/kvx"
test -s "$completion"
bash -c "source '$completion'; COMP_WORDS=(kvx un); COMP_CWORD=1; _kvx; [ \"\${COMPREPLY[*]}\" = unpack ]"
