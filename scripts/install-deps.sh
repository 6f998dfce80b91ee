#!/usr/bin/env bash
# Installs every Debian 12 package the build, the tests and the tools need.
# Run as root (or through sudo).
set -euo pipefail

packages=(
  # Build and test: compiler, CMake with Ninja, GoogleTest, formatting.
  build-essential cmake ninja-build pkg-config libgtest-dev libgmock-dev
  clang clang-format clang-tidy libclang-rt-14-dev
)

export DEBIAN_FRONTEND=noninteractive
apt-get update
apt-get install -y --no-install-recommends "${packages[@]}"
