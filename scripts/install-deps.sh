#!/usr/bin/env bash
# Installs the Debian 12 packages Kavrel needs. Run as root (or through sudo).
#
#   install-deps.sh --tool   only what building the library and kavrel-term
#                            and running them needs (the README's first command)
#   install-deps.sh          everything: also the tests, sanitizers, packaging,
#                            the example check and the Windows build under Wine
set -euo pipefail

# Build and run: compiler, CMake with Ninja; the library's port discovery
# (libudev); kavrel-term's argument parsing (CLI11).
tool_packages=(build-essential cmake ninja-build pkg-config libcli11-dev libudev-dev)

test_packages=(
  # Tests, sanitizers and formatting: GoogleTest, clang with its runtimes.
  libgtest-dev libgmock-dev clang clang-format clang-tidy libclang-rt-14-dev
  # Packaging and the example check: dpkg-shlibdeps and file for cpack's DEB (in
  # dpkg-dev), gzip for the manual page, GLib for the toolkit example, socat
  # for the pseudo-terminals the examples, kavrel-term's tests and its
  # turn-around benchmark run against.
  dpkg-dev file gzip libglib2.0-dev socat
  # Windows build and its tests under Wine (scripts/wine-tests.sh): the
  # mingw-w64 -posix cross compilers (with windres and objdump), 64-bit Wine,
  # GoogleTest's sources to build for Windows; socat (above) wires the ports.
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine wine64 googletest
  # Network serial ports: ser2net as the RFC 2217 server the tests start on
  # 127.0.0.1, and pyserial (its rfc2217:// client) as the reference peer.
  ser2net python3-serial
)

packages=("${tool_packages[@]}")
case "${1:-}" in
  --tool) ;;
  "") packages+=("${test_packages[@]}") ;;
  *)
    echo "usage: $0 [--tool]" >&2
    exit 2
    ;;
esac

export DEBIAN_FRONTEND=noninteractive
apt-get update
apt-get install -y --no-install-recommends "${packages[@]}"
