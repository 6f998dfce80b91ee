#!/usr/bin/env bash
# Installs every Debian 12 package the build, the tests and the tools need.
# Run as root (or through sudo).
set -euo pipefail

packages=(
  # Build and test: compiler, CMake with Ninja, GoogleTest, formatting.
  build-essential cmake ninja-build pkg-config libgtest-dev libgmock-dev
  clang clang-format clang-tidy libclang-rt-14-dev
  # kavrel-term: argument parsing (CLI11) and the port list (libudev).
  libcli11-dev libudev-dev
  # Packaging and the example check: dpkg-shlibdeps and file for cpack's DEB (in
  # dpkg-dev), gzip for the manual page, GLib for the toolkit example, socat
  # for the pseudo-terminal the examples run against.
  dpkg-dev file gzip libglib2.0-dev socat
  # Windows build and its tests under Wine (scripts/wine-tests.sh): the
  # mingw-w64 -posix cross compilers (with windres and objdump), 64-bit Wine,
  # GoogleTest's sources to build for Windows; socat (above) wires the ports.
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine wine64 googletest
  # Network serial ports: ser2net as the RFC 2217 server the tests start on
  # 127.0.0.1, and pyserial (its rfc2217:// client) as the reference peer.
  ser2net python3-serial
)

export DEBIAN_FRONTEND=noninteractive
apt-get update
apt-get install -y --no-install-recommends "${packages[@]}"
