#!/usr/bin/env bash
# Installs and builds what is missing, then runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
# A failed case is run once more before the run fails: CallFlow.RingInTwoPieces... has failed
# a few times in a hundred on a heavily loaded machine and is not understood yet; every failure
# still shows in the output.
ctest --test-dir "${LUMISK_BUILD_DIR:-build}" --output-on-failure --timeout 900 -j"$(nproc)" --repeat until-pass:2
