#!/usr/bin/env bash
# Builds quillmere and starts it in the foreground on its built-in defaults.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh --build-only
cmake -S . -B build -G Ninja
cmake --build build -j "$(nproc)" --target quillmere
exec ./build/quillmere "$@"
