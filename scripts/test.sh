#!/usr/bin/env bash
# Builds quillmere and its tests in build/ and runs every test with CTest.
# QM_SANITIZE=address or QM_SANITIZE=thread builds into build-<name>/ instead.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
dir=build
[ -n "${QM_SANITIZE:-}" ] && dir="build-${QM_SANITIZE}"
cmake -S . -B "$dir" -G Ninja -DQM_SANITIZE="${QM_SANITIZE:-}"
cmake --build "$dir" -j "$(nproc)"
ctest --test-dir "$dir" --output-on-failure -j "$(nproc)"
