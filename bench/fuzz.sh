#!/usr/bin/env bash
# Runs every libFuzzer target for SECONDS each (default 600), at most two at a time and at the
# lowest priority, each from its committed seed corpus, and prints executions and findings per
# target. Builds build-fuzz (clang, LUMISK_FUZZ=ON) if needed.
#
#   bench/fuzz.sh [SECONDS] [TARGET...]     (no TARGET: all of them)
#
# Working corpora grow in build-fuzz/fuzz-corpus/<target>; crashes, leaks and time-outs land in
# build-fuzz/fuzz-findings/<target>/. Exit 1 when any target found something.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}
shift || true
build=$(realpath -m "${LUMISK_FUZZ_BUILD_DIR:-build-fuzz}")

# target  binary (under the build folder)  seed corpus
targets=(
  "audio_wave_open_fuzz      tests/fuzz/audio/audio_wave_open_fuzz        tests/fuzz/audio/corpus"
  "fuzz_net_reply_reader     tests/fuzz/net/fuzz_net_reply_reader         tests/fuzz/net/corpus-reply"
  "fuzz_net_passive_reply    tests/fuzz/net/fuzz_net_passive_reply        tests/fuzz/net/corpus-pasv"
  "fuzz_net_tls_login        tests/fuzz/net/fuzz_net_tls_login            tests/fuzz/net/corpus-tls-login"
  "serial_settings_text_fuzz tests/fuzz/serial/serial_settings_text_fuzz  tests/fuzz/serial/corpus"
  "decoder_fuzz              tests/fuzz/decoder/decoder_fuzz              tests/fuzz/decoder/corpus"
  "app_pager_ini_fuzz        tests/fuzz/app/app_pager_ini_fuzz            tests/fuzz/app/corpus-pager-ini"
  "app_lumisk_conf_fuzz      tests/fuzz/app/app_lumisk_conf_fuzz          tests/fuzz/app/corpus-lumisk-conf"
  "app_modem_text_fuzz       tests/fuzz/app/app_modem_text_fuzz           tests/fuzz/app/corpus-modem-text"
)

chosen=()
for entry in "${targets[@]}"; do
  read -r name _ _ <<<"$entry"
  if [ $# -eq 0 ] || printf '%s\n' "$@" | grep -qx "$name"; then
    chosen+=("$entry")
  fi
done
[ ${#chosen[@]} -gt 0 ] || { echo "fuzz.sh: no such target: $*" >&2; exit 2; }

if [ ! -f "$build/build.ninja" ]; then
  CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DLUMISK_FUZZ=ON >/dev/null
fi
names=()
for entry in "${chosen[@]}"; do
  read -r name _ _ <<<"$entry"
  names+=("$name")
done
cmake --build "$build" -j2 --target "${names[@]}" >/dev/null

run_one() {
  # Absolute paths: the modem-text target changes its current folder.
  local name=$1 binary=$2 seeds=$PWD/$3
  local work="$build/fuzz-corpus/$name" findings="$build/fuzz-findings/$name" log="$build/fuzz-logs/$name.log"
  mkdir -p "$work" "$findings" "$(dirname "$log")"
  # The modem-text target builds a window: it needs Qt's offscreen platform.
  QT_QPA_PLATFORM=offscreen nice -n 19 "$build/$binary" -max_total_time="$seconds" -print_final_stats=1 \
    -timeout=25 -rss_limit_mb=2048 -artifact_prefix="$findings/" "$work" "$seeds" >"$log" 2>&1 || true
}

pids=()
for entry in "${chosen[@]}"; do
  read -r name binary seeds <<<"$entry"
  if [ ${#pids[@]} -ge 2 ]; then
    wait -n || true
    alive=()
    for p in "${pids[@]}"; do kill -0 "$p" 2>/dev/null && alive+=("$p"); done
    pids=("${alive[@]}")
  fi
  run_one "$name" "$binary" "$seeds" &
  pids+=($!)
done
for p in "${pids[@]}"; do wait "$p" || true; done

status=0
printf '%-26s %12s %9s %s\n' target executions findings "(${seconds} s each)"
for entry in "${chosen[@]}"; do
  read -r name _ _ <<<"$entry"
  log="$build/fuzz-logs/$name.log"
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  found=$(find "$build/fuzz-findings/$name" -type f | wc -l)
  [ "$found" -eq 0 ] || status=1
  printf '%-26s %12s %9s\n' "$name" "${execs:-?}" "$found"
done
exit $status
