#!/usr/bin/env bash
# Installs the Debian packages Lumisk needs (only what is missing), then configures and builds.
# Idempotent: a second run installs nothing and rebuilds only what changed.
#   LUMISK_BUILD_DIR   build folder (default: build)
#   LUMISK_CMAKE_ARGS  extra arguments for the first configure (e.g. -DLUMISK_SANITIZE=ON)
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=${LUMISK_BUILD_DIR:-build}

# Every area lists its packages in scripts/packages/<area>.txt, one a line; # starts a comment.
mapfile -t wanted < <(sed -e 's/#.*//' -e 's/[[:space:]]//g' scripts/packages/*.txt | grep -v '^$' | sort -u)
missing=()
for pkg in "${wanted[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
  [[ $status == "install ok installed" ]] || missing+=("$pkg")
done
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  if [[ $(id -u) -ne 0 ]]; then
    echo "setup: these packages are missing and installing them needs root: ${missing[*]}" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

if [[ ! -f $build_dir/CMakeCache.txt ]]; then
  generator=()
  command -v ninja >/dev/null && generator=(-G Ninja)
  # shellcheck disable=SC2086
  cmake -S . -B "$build_dir" "${generator[@]}" ${LUMISK_CMAKE_ARGS:-} >"$build_dir.configure.log" 2>&1 ||
    { cat "$build_dir.configure.log"; exit 1; }
fi
log=$(mktemp)
if ! cmake --build "$build_dir" -j"$(nproc)" >"$log" 2>&1; then
  cat "$log"
  rm -f "$log"
  exit 1
fi
# Show warnings even on success: the build is meant to be warning-free.
grep -E 'warning:' "$log" || true
rm -f "$log"
