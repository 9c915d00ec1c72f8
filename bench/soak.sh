#!/usr/bin/env bash
# Soak run (not a CI test): N whole simulated calls back to back through one long-running
# "lumisk --headless" under AddressSanitizer and UndefinedBehaviorSanitizer, with a real FTP
# server on 127.0.0.1 and the line simulator; varied mailbox numbers, key timings and messages
# from a seeded generator. Prints calls through, byte-identical uploads, sanitizer reports (also
# the leak check at the box's exit on SIGTERM), the box's peak memory and open descriptors.
#
#   bench/soak.sh N [--seed S] [--ftp pyftpdlib|pure-ftpd]
#
# Builds what it needs in build-asan (LUMISK_SOAK_BUILD names another sanitizer build folder).
# LUMISK_KEEP_SOAK=1 keeps the work folder with the logs and per-call figures (calls.csv).
# Exit status 0 only when every call went through, every upload is byte-identical and the box
# reported nothing.
set -euo pipefail
cd "$(dirname "$0")/.."
if [[ $# -lt 1 || ! $1 =~ ^[0-9]+$ ]]; then
  echo "usage: bench/soak.sh N [--seed S] [--ftp pyftpdlib|pure-ftpd]" >&2
  exit 2
fi
build=$(realpath -m "${LUMISK_SOAK_BUILD:-build-asan}")

# The driver's own checks first: a soak that miscounts would pass silently.
/usr/bin/python3 -m unittest -q bench/soak/test_soak.py

if [[ -f $build/CMakeCache.txt ]]; then
  if ! grep -q '^LUMISK_SANITIZE:BOOL=ON$' "$build/CMakeCache.txt"; then
    echo "soak: $build is not a sanitizer build (LUMISK_SANITIZE=ON)" >&2
    exit 2
  fi
else
  cmake -S . -B "$build" -G Ninja -DLUMISK_SANITIZE=ON -DLUMISK_BENCH=OFF
fi
cmake --build "$build" -j2 --target lumisk lumisk-linesim

exec /usr/bin/python3 bench/soak/soak.py "$@" --build "$build"
