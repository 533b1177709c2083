#!/usr/bin/env bash
# install_test.sh BUILD_DIR SOURCE_DIR CMAKE CXX
#
# Installs the build into a scratch prefix, checks what was installed,
# builds the consumer program against it with find_package and with
# pkg-config, and runs both: one stores a registry value that the other
# reads, and each writes an event log line into the log directory given in
# the environment.
set -euo pipefail
build=$1 source=$2 cmake=$3 cxx=$4
# Outside the build tree, as an installation is.
scratch=$(mktemp -d "${TMPDIR:-/tmp}/tminstall.XXXXXX")
mkdir -p "$scratch/log"
fail() { echo "FAIL: $* (kept: $scratch)" >&2; exit 1; }

prefix=$scratch/prefix
"$cmake" --install "$build" --prefix "$prefix" >"$scratch/install.log"

libdir=
for candidate in "$prefix"/lib/*/ "$prefix"/lib/; do
  if [ -e "$candidate/libtmcommon.so.1" ]; then libdir=${candidate#"$prefix"/}; libdir=${libdir%/}; break; fi
done
[ -n "$libdir" ] || fail "no libtmcommon.so.1 under $prefix/lib"
soname=$(objdump -p "$prefix/$libdir/libtmcommon.so.1" | awk '$1 == "SONAME" { print $2 }')
[ "$soname" = libtmcommon.so.1 ] || fail "soname is '$soname'"
[ -L "$prefix/$libdir/libtmcommon.so" ] || fail "no development link libtmcommon.so"
for h in tmcommon tmexport tmlogging tmmail tmplatform tmregistry tmwin32; do
  [ -f "$prefix/include/tmcommon/$h.h" ] || fail "header $h.h not installed"
done
extra=$(cd "$prefix/include/tmcommon" && ls | grep -vxE 'tm(common|export|logging|mail|platform|registry|win32)\.h' || true)
[ -z "$extra" ] || fail "private headers installed: $extra"
[ -x "$prefix/bin/tmctl" ] || fail "tmctl not installed"
[ -f "$prefix/$libdir/cmake/tmcommon/tmcommonConfigVersion.cmake" ] || fail "no CMake package version file"
# No installed binary may point into the build tree.
for f in "$prefix/bin/tmctl" "$prefix/$libdir/libtmcommon.so.1"; do
  if readelf -d "$f" | grep -E 'RUNPATH|RPATH' | grep -qF "$build"; then
    fail "$f has a run path into the build tree: $(readelf -d "$f" | grep -E 'RUNPATH|RPATH')"
  fi
done

# The consumer, both ways.
"$cmake" -S "$source/consumer" -B "$scratch/cmake-build" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_CXX_COMPILER="$cxx" >"$scratch/consumer-configure.log" ||
  { cat "$scratch/consumer-configure.log"; fail "find_package(tmcommon) failed"; }
"$cmake" --build "$scratch/cmake-build" >"$scratch/consumer-build.log" ||
  { cat "$scratch/consumer-build.log"; fail "the find_package consumer did not build"; }
export PKG_CONFIG_PATH="$prefix/$libdir/pkgconfig"
[ "$(pkg-config --modversion tmcommon)" != "" ] || fail "pkg-config does not know tmcommon"
# shellcheck disable=SC2046
"$cxx" -std=c++20 -Wall -Wextra -Werror -o "$scratch/consumer-pc" "$source/consumer/consumer.cpp" \
  $(pkg-config --cflags --libs tmcommon) || fail "the pkg-config consumer did not build"

export TAMARAK_REGISTRY=$scratch/registry.db
export TAMARAK_LOG_DIR=$scratch/log
by_cmake=$scratch/cmake-build/consumer
by_pc=$scratch/consumer-pc
# The pkg-config build has no run path: the scratch prefix is not a system one.
run_pc() { LD_LIBRARY_PATH="$prefix/$libdir" "$by_pc" "$@"; }

# No registry file until one is made on purpose.
"$by_cmake" get Greeting && fail "a registry that does not exist was read"
[ ! -e "$TAMARAK_REGISTRY" ] || fail "a registry call made $TAMARAK_REGISTRY"
"$by_cmake" init || fail "TmRegCreateRegistry: $?"

"$by_cmake" set Greeting "from find_package" || fail "set by the find_package consumer: $?"
got=$(run_pc get Greeting) || fail "get by the pkg-config consumer: $?"
[ "$got" = "from find_package" ] || fail "pkg-config consumer read '$got'"
run_pc set Greeting "from pkg-config" || fail "set by the pkg-config consumer: $?"
got=$("$by_cmake" get Greeting) || fail "get by the find_package consumer: $?"
[ "$got" = "from pkg-config" ] || fail "find_package consumer read '$got'"

for who in by_cmake by_pc; do
  text="line from the consumer $who $$"
  if [ $who = by_cmake ]; then dir=$("$by_cmake" log "$text"); else dir=$(run_pc log "$text"); fi ||
    fail "$who could not log"
  [ "${dir%/}" = "$scratch/log" ] || fail "$who logged into '$dir', not the log directory given"
  grep -qF "$text" "$scratch"/log/*.log || fail "$who's line is not in the log"
done
rm -rf "$scratch"
echo "installed, built both ways, read and logged"
