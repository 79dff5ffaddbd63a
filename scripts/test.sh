#!/usr/bin/env bash
# Quick start, second command: installs what is missing, builds, and runs every test.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
bash "$root/scripts/bootstrap.sh"
bash "$root/scripts/build.sh" "$@"
cd "${BUILD_DIR:-$root/build}"
ctest --output-on-failure -j"$(nproc)"
