#!/usr/bin/env bash
# Soak run (not a CI test): N whole simulated calls back to back through one long-running
# "lumisk --headless" under AddressSanitizer and UndefinedBehaviorSanitizer, with a real FTP
# server on 127.0.0.1 and the line simulator; varied mailbox numbers, key timings and messages
# from a seeded generator; the server is stopped now and then during a call and started again
# soon after, so the box's outbox must deliver those messages; some callers key while the greeting
# plays, some key nothing and must be hung up with "no number". The calls come over the line
# simulator's line model (9 dB loss, mu-law, line noise, the echo of the box's own prompts at 15 dB
# return loss, a quarter of the calls at 6 dB) and the box checks each number on the server while
# the caller listens, leaving a checked number's message to the outbox after the hang-up;
# --line SETTINGS replaces the model, --clean-line drops it. Prints calls through,
# byte-identical uploads (also those through the outbox), type-ahead and silent calls, lines left
# off hook, sanitizer reports (also the leak check at the box's exit on SIGTERM), the box's peak
# memory and open descriptors.
#
#   bench/soak.sh N [--seed S] [--ftp pyftpdlib|pure-ftpd] [--line SETTINGS | --clean-line]
#
# Builds what it needs in build-asan (LUMISK_SOAK_BUILD names another sanitizer build folder).
# LUMISK_SOAK_PLAIN=1 runs a build without sanitizers instead (default folder build), for the
# box's memory without ASan's. LUMISK_SOAK_QUARANTINE_MB sets ASan's quarantine (default 16).
# LUMISK_KEEP_SOAK=1 keeps the work folder with the logs and per-call figures (calls.csv).
# Exit status 0 only when every call went through, every upload is byte-identical and the box
# reported nothing.
set -euo pipefail
cd "$(dirname "$0")/.."
if [[ $# -lt 1 || ! $1 =~ ^[0-9]+$ ]]; then
  echo "usage: bench/soak.sh N [--seed S] [--ftp pyftpdlib|pure-ftpd]" >&2
  exit 2
fi
plain=${LUMISK_SOAK_PLAIN:-0}
if [[ $plain = 1 ]]; then
  build=$(realpath -m "${LUMISK_SOAK_BUILD:-build}")
  sanitize=OFF
else
  build=$(realpath -m "${LUMISK_SOAK_BUILD:-build-asan}")
  sanitize=ON
fi

# The driver's own checks first: a soak that miscounts would pass silently.
/usr/bin/python3 -m unittest -q bench/soak/test_soak.py

if [[ -f $build/CMakeCache.txt ]]; then
  if ! grep -q "^LUMISK_SANITIZE:BOOL=$sanitize\$" "$build/CMakeCache.txt"; then
    echo "soak: $build is not a build with LUMISK_SANITIZE=$sanitize" >&2
    exit 2
  fi
else
  cmake -S . -B "$build" -G Ninja -DLUMISK_SANITIZE=$sanitize -DLUMISK_BENCH=OFF
fi
cmake --build "$build" -j2 --target lumisk lumisk-linesim

extra=()
[[ $plain = 1 ]] && extra=(--plain)
exec /usr/bin/python3 bench/soak/soak.py "$@" --build "$build" "${extra[@]}"
