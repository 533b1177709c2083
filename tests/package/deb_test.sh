#!/usr/bin/env bash
# deb_test.sh BUILD_DIR CPACK
#
# Makes the Debian package of the build (cpack -G DEB), checks its
# dependencies and where its files go, extracts it into a scratch root and
# runs the extracted tmctl: --version, and env with and without a registry
# of its own (without one, an installed tmctl names the machine's registry).
set -euo pipefail
build=$1 cpack=$2
# Outside the build tree: a library found inside it counts as a build-tree
# run, with the developer's defaults.
scratch=$(mktemp -d "${TMPDIR:-/tmp}/tmdeb.XXXXXX")
fail() { echo "FAIL: $* (kept: $scratch)" >&2; exit 1; }

(cd "$scratch" && "$cpack" -G DEB --config "$build/CPackConfig.cmake" >cpack.log 2>&1) ||
  { cat "$scratch/cpack.log"; fail "cpack -G DEB failed"; }
deb=$(ls "$scratch"/*.deb)

depends=$(dpkg-deb -f "$deb" Depends)
for d in libc6 libsqlite3 libstdc++6; do
  [[ $depends == *"$d"* ]] || fail "Depends lacks $d: $depends"
done
contents=$(dpkg-deb -c "$deb" | awk '{ print $6 }')
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || gcc -print-multiarch)
expected=(./usr/lib/$multiarch/libtmcommon.so.1 ./usr/lib/$multiarch/libtmcommon.so
          ./usr/include/tmcommon/tmcommon.h ./usr/include/tmcommon/tmwin32.h ./usr/bin/tmctl
          ./usr/lib/$multiarch/cmake/tmcommon/tmcommonConfig.cmake
          ./usr/lib/$multiarch/pkgconfig/tmcommon.pc)
# The manual page and the completion, when this build writes them.
[ -f "$build/tools/tmctl.1" ] && expected+=(./usr/share/man/man1/tmctl.1)
[ -f "$build/tools/tmctl.bash" ] && expected+=(./usr/share/bash-completion/completions/tmctl)
for f in "${expected[@]}"; do
  grep -qxF "$f" <<<"$contents" || grep -qxF "$f ->" <<<"$contents" || fail "$f is not in the package"
done
grep -q 'prefix=/usr$' <(dpkg-deb --fsys-tarfile "$deb" | tar -xO "./usr/lib/$multiarch/pkgconfig/tmcommon.pc") ||
  fail "tmcommon.pc does not name the prefix /usr"

root=$scratch/root
dpkg-deb -x "$deb" "$root"
tmctl=$root/usr/bin/tmctl
export LD_LIBRARY_PATH=$root/usr/lib/$multiarch
# The extracted library, not the build tree's.
ldd "$tmctl" | grep -F "libtmcommon.so.1 => $root/usr/lib/$multiarch/" >/dev/null ||
  fail "tmctl does not load the extracted library: $(ldd "$tmctl" | grep tmcommon)"
"$tmctl" --version | grep -q '^tmctl [0-9]' || fail "tmctl --version: $("$tmctl" --version 2>&1)"
# Without a registry of its own, the installed tool names the machine's.
env -u TAMARAK_REGISTRY "$tmctl" env >"$scratch/env-default.out" 2>&1 || true
grep -q '^registry: *.*/lib/tamarak/registry.db' "$scratch/env-default.out" ||
  fail "tmctl env does not name the machine's registry: $(cat "$scratch/env-default.out")"
export TAMARAK_REGISTRY=$scratch/registry.db TAMARAK_LOG_DIR=$scratch/log
"$tmctl" reg init >/dev/null || fail "tmctl reg init failed"
"$tmctl" env >"$scratch/env.out" 2>&1 || fail "tmctl env failed: $(cat "$scratch/env.out")"
grep -qxF "registry:       $TAMARAK_REGISTRY" "$scratch/env.out" || fail "registry line: $(cat "$scratch/env.out")"
grep -qF "log directory:  $TAMARAK_LOG_DIR/" "$scratch/env.out" || fail "log line: $(cat "$scratch/env.out")"
rm -rf "$scratch"
echo "package made, extracted and run"
