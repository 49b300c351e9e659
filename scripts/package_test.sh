#!/usr/bin/env bash
# Builds the relaysim Debian package in a host build folder and checks it as a user would meet it:
# lintian, the unpacked programs, the manual page, the plain `cmake --install` tree; then the device
# install tree of an ARM cross-build folder.
# Usage: scripts/package_test.sh [BUILD_DIR [ARM_BUILD_DIR]]   (default: build build-arm)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
arm=${2:-build-arm}
jobs=${JOBS:-$(nproc)}

fail() { echo "package_test: FAIL: $*" >&2; exit 1; }
# The oldest C library the device programs of a cross-build without sysroot must run on.
glibc_floor=2.28
step() { echo "package_test: $*"; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

[ -f "$build/CPackConfig.cmake" ] || fail "$build is not a configured host build with relaysim"
# Only what the package holds: the checks do not wait on unrelated targets.
cmake --build "$build" -j"$jobs" --target relaysim reflector rtp_source >/dev/null

# A device program asks for no symbol version newer than the floor, and each C library function
# it takes unversioned from the process (the module, from the interpreter) exists in glibc at
# the floor: its oldest version in the cross toolchain's libc is no newer.
check_glibc_floor() {
  local file=$1 name newest oldest libc=/usr/arm-linux-gnueabihf/lib/libc.so.6
  readelf -V -W "$file" | sed -n '/Version needs/,$p' >"$tmp/needs"
  newest=$(sed -n 's/.*Name: GLIBC_\([0-9.]*\) .*/GLIBC_\1/p' "$tmp/needs" | sort -V | tail -1)
  [ "$(printf '%s\n' "${newest:-GLIBC_0}" "GLIBC_$glibc_floor" | sort -V | tail -1)" = "GLIBC_$glibc_floor" ] ||
    fail "$(basename "$file") needs $newest, newer than GLIBC_$glibc_floor"
  ! grep -qE 'Name: (GLIBCXX|CXXABI|GCC)_' "$tmp/needs" ||
    fail "$(basename "$file") needs the C++ or GCC runtime: $(grep -oE '(GLIBCXX|CXXABI|GCC)_[0-9.]+' "$tmp/needs" | sort -uV | tr '\n' ' ')"
  readelf --dyn-syms -W "$file" | awk '$7 == "UND" && $5 == "GLOBAL" && $8 != "" {print $8}' |
    grep -v '^_*Py' | sed 's/@.*//' | sort -u >"$tmp/imports" || true
  while read -r name; do
    oldest=$(readelf --dyn-syms -W "$libc" | awk -v n="$name" '$7 != "UND" {split($8, a, "@"); if (a[1] == n) print a[length(a)]}' |
             sort -V | head -1)
    [ -n "$oldest" ] || fail "$(basename "$file") imports $name, which the C library does not define"
    [ "$(printf '%s\n' "$oldest" "GLIBC_$glibc_floor" | sort -V | tail -1)" = "GLIBC_$glibc_floor" ] ||
      fail "$(basename "$file") imports $name, in glibc only since $oldest"
  done <"$tmp/imports"
  echo "package_test: $(basename "$file"): newest symbol version needed: ${newest:-none};" \
    "unversioned C library imports: $(wc -l <"$tmp/imports"), none newer than GLIBC_$glibc_floor"
}

step "cpack -G DEB in $build"
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
deb="$build/relaysim_${version}_$(dpkg --print-architecture).deb"
rm -f "$deb"
(cd "$build" && cpack -G DEB >"$tmp/cpack.log" 2>&1) || { cat "$tmp/cpack.log"; fail "cpack"; }
[ -f "$deb" ] || fail "cpack made no $deb"
[ "$(dpkg-deb -f "$deb" Package)" = relaysim ] || fail "package name"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "package version"
dpkg-deb -f "$deb" Depends | grep -q 'libc6' || fail "Depends lacks the computed library dependencies"
[ "$(dpkg-deb -f "$deb" Recommends)" = python3-matplotlib ] || fail "Recommends is not python3-matplotlib"

step "lintian"
root_flag=()
[ "$(id -u)" -ne 0 ] || root_flag=(--allow-root)
lintian "${root_flag[@]}" --fail-on error --display-info "$deb" || fail "lintian reports errors"

step "unpacked package"
dpkg-deb -x "$deb" "$tmp/deb"
usr="$tmp/deb/usr"
for f in bin/relaysim bin/relaysim-reflector bin/relaysim-rtp-source bin/relaysim-config-server \
         bin/relaysim-plot share/man/man1/relaysim.1.gz share/man/man1/relaysim-reflector.1.gz \
         share/man/man1/relaysim-plot.1.gz \
         share/doc/relaysim/copyright share/doc/relaysim/changelog.gz share/doc/relaysim/README.md.gz; do
  [ -e "$usr/$f" ] || fail "package lacks usr/$f"
done
zcat "$usr/share/doc/relaysim/changelog.gz" | head -1 | grep -q "^relaysim ($version) " ||
  fail "changelog.gz does not begin with version $version"
status=0
"$usr/bin/relaysim" </dev/null >"$tmp/usage.txt" 2>&1 || status=$?
[ "$status" -eq 255 ] || fail "relaysim without arguments exited $status, not 255"
grep -qF "Usage:$usr/bin/relaysim {-l local_port}" "$tmp/usage.txt" || fail "relaysim printed no usage text"
"$usr/bin/relaysim-reflector" --help | grep -q '^usage: relaysim-reflector ' || fail "relaysim-reflector --help"
"$usr/bin/relaysim-rtp-source" --help | grep -q '^usage: relaysim-rtp-source -t host:port' ||
  fail "relaysim-rtp-source --help"
printf 'time_s,decoders_online,received,lost\n1.0,2,98,2\n2.0,2,100,0\n' >"$tmp/run.csv"
"$usr/bin/relaysim-plot" "$tmp/run.csv" "$tmp/run.png" --max-loss 1 && [ -s "$tmp/run.png" ] ||
  fail "relaysim-plot drew no picture"
"$usr/bin/relaysim-config-server" --help | grep -q '^usage: relaysim-config-server' ||
  fail "relaysim-config-server --help"

step "manual page"
page="$usr/share/man/man1/relaysim.1.gz"
LC_ALL=C.UTF-8 MANWIDTH=2000 man --warnings -E UTF-8 -l -Tutf8 "$page" 2>"$tmp/man.err" | col -b >"$tmp/man.txt"
[ ! -s "$tmp/man.err" ] || { cat "$tmp/man.err"; fail "the manual page renders with warnings"; }
for option in -l -r -p -pd -n -st -x -c -d -e --duration --max-loss --max-jitter --clock-rate \
              --report --csv --prom; do
  grep -qE -- "(^|[ [(])$option( |$)" "$tmp/man.txt" || fail "the manual page does not document $option"
done
for section in SYNOPSIS OPTIONS CONSOLE OUTPUT "EXIT STATUS" EXAMPLES; do
  grep -q "^$section" "$tmp/man.txt" || fail "the manual page has no $section section"
done

step "cmake --install $build --component relaysim"
DESTDIR="$tmp/pc" cmake --install "$build" --prefix /usr/local --component relaysim >/dev/null
for f in bin/relaysim bin/relaysim-reflector bin/relaysim-rtp-source bin/relaysim-config-server \
         share/man/man1/relaysim.1 share/doc/relaysim/README.md; do
  [ -e "$tmp/pc/usr/local/$f" ] || fail "cmake --install lacks $f"
done

if [ -f "$arm/CMakeCache.txt" ]; then
  step "device install tree of $arm"
  cmake --build "$arm" -j"$jobs" >/dev/null
  DESTDIR="$tmp/arm" cmake --install "$arm" --prefix /usr >/dev/null
  patcher="$tmp/arm/usr/bin/lumatra_fw_update_patcher"
  [ -x "$patcher" ] || fail "the ARM install tree lacks usr/bin/lumatra_fw_update_patcher"
  readelf -h "$patcher" | grep -q 'Machine: *ARM' || fail "usr/bin/lumatra_fw_update_patcher is not an ARM program"
  [ ! -e "$tmp/arm/usr/bin/relaysim" ] || fail "the ARM install tree holds relaysim"
  if grep -q '^DEVICE_STATIC:BOOL=ON' "$arm/CMakeCache.txt"; then
    step "device programs need no C library newer than $glibc_floor"
    check_glibc_floor "$patcher"
    readelf -l -W "$patcher" | grep -q 'Requesting program interpreter' &&
      fail "usr/bin/lumatra_fw_update_patcher is not linked statically"
  fi
  if grep -q 'install(' voxframe/CMakeLists.txt; then
    module=$(compgen -G "$tmp/arm/usr/lib/python3*/site-packages/voxframe*.so") ||
      fail "the ARM install tree lacks usr/lib/python3.X/site-packages/voxframe*.so"
    ! grep -q '^DEVICE_STATIC:BOOL=ON' "$arm/CMakeCache.txt" || check_glibc_floor "$module"
  else
    step "voxframe has no install rule yet: not checked"
  fi
else
  step "no ARM build folder $arm: device install tree not checked"
fi
step "all package checks passed ($deb)"
