#!/usr/bin/env bash
# Installs and builds what is missing, then runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
ctest --test-dir "${LUMISK_BUILD_DIR:-build}" --output-on-failure --timeout 900 -j"$(nproc)"
