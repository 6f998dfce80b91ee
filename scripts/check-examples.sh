#!/usr/bin/env bash
# Checks Kavrel the way its users get it, without installing anything on
# this machine:
#   1. a Release build installed with `cmake --install` into a scratch prefix;
#   2. the Debian package from `cpack -G DEB`: its dependencies resolved by
#      apt's simulation on this Debian release, its files unpacked with
#      `dpkg -x` into a scratch root.
# Against each, the example hosts are built twice, once through
# find_package(Kavrel 3 CONFIG) and once through pkg-config; the two port
# hosts run against a socat pseudo-terminal pair whose far end echoes, the
# port lister lists this machine's ports; the packaged kavrel-term runs its
# demo.
#
#   bash scripts/check-examples.sh [BUILD_DIR]     (default build/check-examples)
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=${1:-build/check-examples}
scratch=$(mktemp -d "${TMPDIR:-/tmp}/kavrel-check.XXXXXX")
echo_pid=""

cleanup() {
  if [[ -n "$echo_pid" ]] && kill -0 "$echo_pid" 2>/dev/null; then kill "$echo_pid"; fi
  rm -rf "$scratch"
}
trap cleanup EXIT

step() { printf '\n=== %s\n' "$*"; }
fail() { printf 'check-examples: FAILED: %s\n' "$*" >&2; exit 1; }

# An echoing far end on a fresh pseudo-terminal; sets echo_port ("pts/N").
start_echo_port() {
  local log="$scratch/socat.log"
  : >"$log"
  socat -d -d PTY,raw,echo=0 EXEC:cat 2>"$log" &
  echo_pid=$!
  local tries=0
  until grep -q 'PTY is /dev/pts/' "$log"; do
    tries=$((tries + 1))
    [[ $tries -gt 100 ]] && fail "socat did not create a pseudo-terminal: $(cat "$log")"
    sleep 0.05
  done
  echo_port=$(sed -n 's|.*PTY is /dev/\(pts/[0-9]*\).*|\1|p' "$log" | head -n 1)
}

stop_echo_port() {
  if [[ -n "$echo_pid" ]]; then
    kill "$echo_pid" 2>/dev/null || true
    wait "$echo_pid" 2>/dev/null || true
    echo_pid=""
  fi
}

# Runs one example host against an echoing port; the text must come back,
# and the library must have said nothing on stderr: it is quiet unless asked.
run_example() {
  local program=$1
  local text="kavrel-check-$RANDOM"
  start_echo_port
  local output
  output=$(env -u KAVREL_TRACE "$program" "$echo_port" "$text" 2>"$scratch/stderr") ||
    fail "$program exited with an error: $(cat "$scratch/stderr")"
  stop_echo_port
  [[ "$output" == *"$text"* ]] || fail "$program: expected the echo of $text, got: $output"
  [[ ! -s "$scratch/stderr" ]] || fail "$program wrote on stderr: $(cat "$scratch/stderr")"
  echo "  $(basename "$program") on $echo_port: echo received, stderr empty"
}

# Runs the port lister: it must succeed and end with its count.
run_lister() {
  local program=$1 output
  output=$("$program") || fail "$program exited with an error"
  [[ "$(tail -n 1 <<<"$output")" =~ ^[0-9]+\ serial\ ports?$ ]] ||
    fail "$program: unexpected output: $output"
  echo "  $(basename "$program"): $(tail -n 1 <<<"$output")"
}

# Builds the examples against the Kavrel installed under prefix, through
# CMake and through pkg-config, and runs every program.
check_against() {
  local label=$1 prefix=$2
  local out="$scratch/$label"

  step "$label: examples through find_package(Kavrel 3 CONFIG)"
  cmake -S examples -B "$out/cmake" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_FIND_USE_SYSTEM_PACKAGE_REGISTRY=OFF >/dev/null
  local found
  found=$(sed -n 's/^Kavrel_DIR:PATH=//p' "$out/cmake/CMakeCache.txt")
  [[ "$found" == "$prefix"/* ]] || fail "find_package found Kavrel at $found, not under $prefix"
  echo "  Kavrel_DIR=$found"
  cmake --build "$out/cmake" -j2 >/dev/null
  run_example "$out/cmake/kavrel-example-loop"
  run_example "$out/cmake/kavrel-example-glib"
  run_lister "$out/cmake/kavrel-example-ports"

  step "$label: examples through pkg-config"
  local pc
  pc=$(find "$prefix" -name kavrel.pc -print -quit)
  [[ -n "$pc" ]] || fail "no kavrel.pc under $prefix"
  export PKG_CONFIG_PATH
  PKG_CONFIG_PATH=$(dirname "$pc")
  echo "  pkg-config kavrel $(pkg-config --modversion kavrel): $(pkg-config --cflags --libs kavrel)"
  local libdir
  libdir=$(pkg-config --variable=libdir kavrel)
  mkdir -p "$out/pkg-config"
  # shellcheck disable=SC2046 # word splitting of pkg-config's flags is intended
  c++ -std=c++17 -Wall -Wextra -Werror -O2 -o "$out/pkg-config/kavrel-example-loop" \
    examples/message_loop/message_loop.cpp $(pkg-config --cflags --libs kavrel) \
    -Wl,-rpath,"$libdir"
  # shellcheck disable=SC2046
  c++ -std=c++17 -Wall -Wextra -Werror -O2 -o "$out/pkg-config/kavrel-example-glib" \
    examples/glib_window/glib_window.cpp $(pkg-config --cflags --libs kavrel glib-2.0) \
    -Wl,-rpath,"$libdir"
  # shellcheck disable=SC2046
  c++ -std=c++17 -Wall -Wextra -Werror -O2 -o "$out/pkg-config/kavrel-example-ports" \
    examples/list_ports/list_ports.cpp $(pkg-config --cflags --libs kavrel) -Wl,-rpath,"$libdir"
  unset PKG_CONFIG_PATH
  run_example "$out/pkg-config/kavrel-example-loop"
  run_example "$out/pkg-config/kavrel-example-glib"
  run_lister "$out/pkg-config/kavrel-example-ports"
}

step "Release build in $build_dir"
# /usr as the configured prefix gives the Debian library directory
# (lib/<multiarch>); everything installed is relocatable, so the same build
# also installs into the scratch prefix.
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DKAVREL_BUILD_TESTS=OFF -DKAVREL_BUILD_BENCH=OFF -DKAVREL_FAULT_INJECTION=OFF >/dev/null
cmake --build "$build_dir" -j2

step "cmake --install into a scratch prefix"
prefix="$scratch/prefix"
cmake --install "$build_dir" --prefix "$prefix" >/dev/null
for file in bin/kavrel-term include/kavrel/SerialCtl.h include/kavrel/host.h \
  include/kavrel/types.h include/kavrel/version.h include/kavrel/errors.h \
  include/kavrel/port_list.h share/man/man1/kavrel-term.1.gz; do
  [[ -e "$prefix/$file" ]] || fail "missing after install: $file"
done
library=$(find "$prefix" -name 'libKavrel.so.3.0.7.2' -print -quit)
[[ -n "$library" ]] || fail "libKavrel.so.3.0.7.2 not installed"
soname=$(readelf -d "$library" | sed -n 's/.*SONAME.*\[\(.*\)\]/\1/p')
[[ "$soname" == "libKavrel.so.3" ]] || fail "SONAME is $soname"
echo "  $library (SONAME $soname)"
"$prefix/bin/kavrel-term" --version >/dev/null || fail "the installed kavrel-term does not run"
echo "  $prefix/bin/kavrel-term runs"
check_against prefix "$prefix"

step "cpack -G DEB"
(cd "$build_dir" && cpack -G DEB >/dev/null)
deb=$(find "$build_dir" -maxdepth 1 -name 'kavrel_*.deb' -print -quit)
[[ -n "$deb" ]] || fail "cpack made no .deb"
dpkg-deb --field "$deb" Package Version Architecture Depends
# The library finds ports through libudev, so the package needs it.
depends=$(dpkg-deb --field "$deb" Depends)
[[ "$depends" == *libudev1* ]] || fail "$deb does not depend on libudev1: $depends"
# The package's dependencies must be satisfiable on this Debian release;
# the simulation changes nothing on the machine.
apt-get install --simulate --no-install-recommends "$(realpath "$deb")" >"$scratch/apt.log" 2>&1 ||
  fail "apt cannot install $deb: $(tail -n 5 "$scratch/apt.log")"
grep -q '^Inst kavrel ' "$scratch/apt.log" || fail "apt's simulation did not install kavrel"
echo "  apt-get --simulate: installs cleanly"

step "dpkg -x into a scratch root"
root="$scratch/root"
dpkg -x "$deb" "$root"
dpkg-deb --contents "$deb" | awk '{print "  " $6 ($7 ? " " $7 " " $8 : "")}'
check_against deb "$root/usr"

step "kavrel-term from the package"
"$root/usr/bin/kavrel-term" --version
"$root/usr/bin/kavrel-term" --demo --capture "$scratch/demo.cap" >"$scratch/demo.log" ||
  fail "kavrel-term --demo from the package: $(tail -n 3 "$scratch/demo.log")"
tail -n 8 "$scratch/demo.log"

printf '\ncheck-examples: all checks passed (%s)\n' "$(basename "$deb")"
