#!/usr/bin/env bash
# The Debian package as a real install meets it: builds the package from the build folder
# (configured for /usr), installs it with apt-get (which brings its declared dependencies),
# checks the installed box with "lumisk --check --no-modem" and places one simulated call
# through the installed programs and prompts (scripts/demo.sh with LUMISK_DEMO_INSTALLED=1),
# then removes the package again. Needs root. Exit status 0 only when all of it worked.
#   LUMISK_BUILD_DIR   build folder (default: build)
#   LUMISK_KEEP_PACKAGE=1  leaves the package installed (else it is purged at the end)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${LUMISK_BUILD_DIR:-build}
[[ $build = /* ]] || build=$root/$build

if [[ $(id -u) -ne 0 ]]; then
  echo "package-check: installing the package needs root" >&2
  exit 1
fi
if dpkg-query -W -f='${Status}' lumisk 2>/dev/null | grep -q 'install ok installed'; then
  echo "package-check: a lumisk package is installed already; remove it first (apt-get remove lumisk)" >&2
  exit 1
fi

bash scripts/setup.sh
# The installed program finds /etc/lumisk and /usr/share/lumisk: build for that prefix.
cmake -S . -B "$build" -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null
rm -f "$build"/lumisk_*.deb
(cd "$build" && cpack -G DEB >"$build/cpack.log" 2>&1) || { cat "$build/cpack.log"; exit 1; }
deb=$(ls "$build"/lumisk_*.deb)
echo "package-check: built $(basename "$deb")"
dpkg-deb -f "$deb" Depends | sed 's/^/  Depends: /'

cleanup() {
  rm -rf /etc/lumisk/package-check.conf /var/lib/lumisk/package-check
  if [[ ${LUMISK_KEEP_PACKAGE:-0} != 1 ]]; then
    # Purged, so the next run installs afresh; the user and /var/lib/lumisk stay, as on any box.
    DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq lumisk >/dev/null 2>&1 || true
  fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

export DEBIAN_FRONTEND=noninteractive
apt-get install -y -qq --no-install-recommends "$deb" >"$build/apt-install.log" 2>&1 ||
  { cat "$build/apt-install.log"; exit 1; }
echo "package-check: installed"

fail() {
  echo "package-check: FAILED: $*" >&2
  exit 1
}
# What the package and its maintainer scripts lay down.
for f in /usr/bin/lumisk /usr/bin/lumisk-dtmf /usr/bin/lumisk-ftpput /usr/bin/lumisk-linesim; do
  [[ -x $f ]] || fail "$f is missing"
done
for p in welcome enter message beep notfound thank; do
  [[ -s /usr/share/lumisk/prompts/$p.wav ]] || fail "prompt $p.wav is missing"
done
[[ $(stat -c '%a %G' /etc/lumisk/lumisk.conf) == "640 lumisk" ]] ||
  fail "/etc/lumisk/lumisk.conf is $(stat -c '%a %U:%G' /etc/lumisk/lumisk.conf), not 0640 group lumisk"
[[ -f /usr/lib/systemd/system/lumisk@.service ]] || fail "the systemd unit is missing"
id -nG lumisk | tr ' ' '\n' | grep -qx dialout || fail "user lumisk is not in group dialout"
id -nG lumisk | tr ' ' '\n' | grep -qx audio || fail "user lumisk is not in group audio"
[[ $(stat -c '%U' /var/lib/lumisk) == lumisk ]] || fail "/var/lib/lumisk does not belong to lumisk"
if command -v systemd-analyze >/dev/null; then
  # The modem's device unit does not exist here; anything else said of the unit is a fault.
  systemd-analyze verify lumisk@ttyACM0.service 2>&1 | grep 'lumisk@' | grep -v 'dev-ttyACM0.device' &&
    fail "systemd-analyze finds fault with the unit"
fi

# The example settings as installed: the check reads them and names what to set (the example
# names no upload server, so nothing leaves the machine).
echo "package-check: lumisk --check --no-modem on the example settings"
status=0
(cd /tmp && /usr/bin/lumisk --check --no-modem) >"$build/check-example.out" 2>&1 || status=$?
sed 's/^/  /' "$build/check-example.out"
((status == 1)) || fail "the check on the example settings ended with $status, not 1"
grep -q '^ok   settings /etc/lumisk/lumisk.conf$' "$build/check-example.out" ||
  fail "the check did not read /etc/lumisk/lumisk.conf"
grep -q '^ok   prompts: all six playable in /usr/share/lumisk/prompts$' "$build/check-example.out" ||
  fail "the installed program does not find its prompts"

# A box's own settings made as the README says, checked as the service's user: the group may
# read them, the box's folder is its own.
echo "package-check: lumisk --check --no-modem as user lumisk"
install -m 0640 -g lumisk /etc/lumisk/lumisk.conf /etc/lumisk/package-check.conf
install -d -o lumisk -g lumisk -m 0750 /var/lib/lumisk/package-check
status=0
runuser -u lumisk -- /usr/bin/lumisk --check --no-modem --config /etc/lumisk/package-check.conf \
  --workdir /var/lib/lumisk/package-check >"$build/check-user.out" 2>&1 || status=$?
sed 's/^/  /' "$build/check-user.out"
((status == 1)) || fail "the check as user lumisk ended with $status, not 1"
grep -q '^ok   settings /etc/lumisk/package-check.conf$' "$build/check-user.out" ||
  fail "user lumisk cannot read its settings"
grep -q '^ok   working folder /var/lib/lumisk/package-check is writable' "$build/check-user.out" ||
  fail "user lumisk cannot write its folder"

# A box of its own settings on a local server: the check passes and a call goes through.
LUMISK_DEMO_INSTALLED=1 bash scripts/demo.sh
echo "package-check: OK"
