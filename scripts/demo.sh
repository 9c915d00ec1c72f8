#!/usr/bin/env bash
# One whole simulated call, ring to upload, on real parts: installs what is missing and builds
# (scripts/setup.sh), starts a real FTP server on 127.0.0.1 with the six mailbox accounts, runs
# "lumisk --headless" on the simulated modem line and sound card, places one call with the keys
# 12345 and a spoken message, waits for the upload and reports where the recording landed.
# Exit status 0 only when the file on the server is a valid WAV file holding the whole message.
# Everything it starts is stopped at the end; LUMISK_KEEP_DEMO=1 keeps its folder for a look.
# Before the call, "lumisk --check" tries the box's parts.
# --voice-modem runs the box on the simulator's voice modem alone ([sound] driver = modem): the
# call's audio goes over the modem's serial line, no sound card.
# LUMISK_DEMO_INSTALLED=1 runs the installed package instead of the build (/usr/bin/lumisk and
# lumisk-linesim, the prompts in /usr/share/lumisk/prompts, the box's folder by --workdir) and
# builds nothing; its check leaves the modem out.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

voice=0
for arg in "$@"; do
  case $arg in
  --voice-modem) voice=1 ;;
  *)
    echo "usage: scripts/demo.sh [--voice-modem]" >&2
    exit 2
    ;;
  esac
done

installed=${LUMISK_DEMO_INSTALLED:-0}
if [[ $installed = 1 ]]; then
  linesim=/usr/bin/lumisk-linesim
  for f in /usr/bin/lumisk "$linesim" /usr/share/lumisk/prompts/welcome.wav; do
    [[ -e $f ]] || { echo "demo: FAILED: $f is not installed" >&2; exit 1; }
  done
else
  bash scripts/setup.sh
  build=${LUMISK_BUILD_DIR:-build}
  [[ $build = /* ]] || build=$root/$build
  linesim=$build/tools/lumisk-linesim/lumisk-linesim
fi

work=$(mktemp -d /tmp/lumisk-demo.XXXXXX)
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do
    kill "$pid" 2>/dev/null || true
  done
  for pid in "${pids[@]}"; do
    wait "$pid" 2>/dev/null || true
  done
  if [[ ${LUMISK_KEEP_DEMO:-0} = 1 ]]; then
    echo "demo: files kept in $work"
  else
    rm -rf "$work"
  fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

fail() {
  echo "demo: FAILED: $*" >&2
  for f in box.out box.err line.out ftp.err; do
    [[ -s $work/$f ]] && { echo "--- $f" >&2; tail -n 20 "$work/$f" >&2; }
  done
  exit 1
}

# Waits up to $2 seconds for a line matching $3 in file $1 and prints it.
wait_line() {
  local file=$1 seconds=$2 pattern=$3 line
  local until=$((SECONDS + seconds))
  while ((SECONDS < until)); do
    if line=$(grep -m1 -E -- "$pattern" "$file" 2>/dev/null); then
      printf '%s\n' "$line"
      return 0
    fi
    sleep 0.1
  done
  return 1
}

start=$SECONDS
mkdir -p "$work/box" "$work/ftp"

# The upload server: six accounts, password mira318, each with the mailbox folder 12345.
/usr/bin/python3 tests/net/ftpserver.py --kind pyftpdlib --root "$work/ftp" --folders 12345 \
  >"$work/ftp.out" 2>"$work/ftp.err" &
pids+=($!)
port=$(wait_line "$work/ftp.out" 30 '^PORT [0-9]+') || fail "the FTP server did not start"
port=${port#PORT }

# The telephone line: the modem on a pseudo-terminal and the caller at the sound card, or a voice
# modem that carries the caller's audio itself.
if ((voice)); then
  line=(--voice-modem 16bit,8bit,ulaw,alaw)
else
  line=(--capture "$work/capture" --playback "$work/playback")
fi
"$linesim" "${line[@]}" --control "$work/line.ctl" --log "$work/modem.log" >"$work/line.out" 2>"$work/line.err" &
pids+=($!)
pty=$(wait_line "$work/line.out" 30 '^pty ') || fail "the line simulator did not start"
pty=${pty#pty }

# The box: its own folder holds the program, lumisk.conf, pager.ini and the prompts; the
# installed program keeps only lumisk.conf and pager.ini there.
if [[ $installed = 1 ]]; then
  box=(/usr/bin/lumisk --config "$work/box/lumisk.conf" --workdir "$work/box")
else
  cp "$build/src/app/lumisk" "$work/box/"
  cp "$build"/prompts/*.wav "$work/box/"
  box=(./lumisk)
fi
cat >"$work/box/lumisk.conf" <<EOF
[modem]
port = $pty
[upload]
host = 127.0.0.1
port = $port
passive = 0
password = mira318
account1 = mbox1
account2 = mbox2
account3 = mbox3
account4 = mbox4
account5 = mbox5
account6 = mbox6
timeout = 20
EOF
if ((voice)); then
  printf '[sound]\ndriver = modem\n' >>"$work/box/lumisk.conf"
  format=1 # the modem offers 8000 Hz mono, 8-bit then 16-bit
else
  printf '[sound]\ndriver = sim\ncapture = %s\nplayback = %s\n' "$work/capture" "$work/playback" \
    >>"$work/box/lumisk.conf"
  format=2
fi
chmod 600 "$work/box/lumisk.conf" # it holds the upload password
# Time limit 12 s, modem strings, "Autosave wave" on, recording as 8000 Hz 16-bit mono.
printf '12\r\nATM1\r\nATH1\r\nATH0\r\n1\r\n0\r\n%s\r\n' "$format" >"$work/box/pager.ini"

check=(--check)
[[ $installed = 1 ]] && check+=(--no-modem)
echo "demo: lumisk ${check[*]}"
checked=0
(cd "$work/box" && exec env LC_ALL=C "${box[@]}" "${check[@]}") >"$work/check.out" 2>&1 || checked=$?
sed 's/^/  /' "$work/check.out"
((checked == 0)) || fail "lumisk --check exit $checked: $(grep -m1 '^FAIL' "$work/check.out")"

(cd "$work/box" && exec env LC_ALL=C XDG_RUNTIME_DIR="$work" "${box[@]}" --headless \
  >"$work/box.out" 2>"$work/box.err") &
pids+=($!)
wait_line "$work/box.out" 30 ' ready$' >/dev/null || fail "the box did not start"
wait_line "$work/line.out" 30 ' ATM1$' >/dev/null || fail "the box did not initialise the modem"

# The caller's message, 8 kHz 16-bit mono like the line.
text="Hello, this is the Lumisk demo calling. Please call me back tomorrow morning. Thank you."
if command -v espeak-ng >/dev/null; then
  espeak-ng -s 150 -w "$work/spoken.wav" "$text"
  sox -q "$work/spoken.wav" -r 8000 -b 16 -c 1 -e signed-integer "$work/message.wav"
else
  sox -q -n -r 8000 -b 16 -c 1 -e signed-integer "$work/message.wav" synth 4 sine 440 vol 0.4
fi

echo "demo: calling mailbox 12345"
if ((voice)); then
  echo "call 12345 wav $work/message.wav" >"$work/line.ctl"
else
  echo "call 12345 heard=$work/heard.wav wav $work/message.wav" >"$work/line.ctl"
fi
wait_line "$work/line.out" 90 '^call (hangup|failed)' >/dev/null || fail "the call did not end"
grep -q '^call hangup' "$work/line.out" || fail "$(grep -m1 '^call failed' "$work/line.out")"
# The call's own upload, or (the mailbox checked while the caller listened) the outbox's right
# after the hang-up.
done_line=$(wait_line "$work/box.out" 30 ' (upload (done|failed)|delivered|retry failed|undeliverable) ') ||
  fail "no upload reported"
case $done_line in
  *" upload done "*) remote=$(sed -E 's/.* upload done (.*) as ([^@]*)@.*/\1/' <<<"$done_line") ;;
  *" delivered "*) remote=$(sed -E 's/.* delivered (.*) after [0-9]+ tries$/\1/' <<<"$done_line") ;;
  *) fail "$done_line" ;;
esac
local_file=$(grep -m1 ' recording ' "$work/box.out" | sed -E 's/.* recording //')
server_file=$(find "$work/ftp" -path "*/$remote" -type f | head -n 1)
[[ -n $server_file && -f $server_file ]] || fail "no file $remote on the server"
account=$(basename "$(dirname "$(dirname "$server_file")")")
cmp -s "$local_file" "$server_file" || fail "the file on the server differs from the recording"

# A valid WAV file, and the whole message in it sample for sample.
report=$(/usr/bin/python3 - "$server_file" "$work/message.wav" <<'EOF'
import sys, wave
def samples(path):
    with wave.open(path, "rb") as w:
        return w.getparams(), w.readframes(w.getnframes())
try:
    params, data = samples(sys.argv[1])
    _, message = samples(sys.argv[2])
except Exception as e:
    print("not a valid WAV file: %s" % e)
    sys.exit(1)
# A completed recording: the RIFF size and the data chunk's size match the file's length.
raw = open(sys.argv[1], "rb").read()
riff_ok = raw[:4] == b"RIFF" and int.from_bytes(raw[4:8], "little") == len(raw) - 8
data_at = raw.find(b"data", 12)
data_ok = data_at > 0 and data_at + 8 + int.from_bytes(raw[data_at + 4:data_at + 8], "little") == len(raw)
if not (riff_ok and data_ok):
    print("the WAV headers do not match the file's length (an unfinished recording)")
    sys.exit(1)
seconds = params.nframes / params.framerate
found = (params.framerate, params.sampwidth, params.nchannels) == (8000, 2, 1) and data.find(message) >= 0
print("%.2f s, %d Hz %d-bit %s; message of %.2f s %s" % (
    seconds, params.framerate, 8 * params.sampwidth, "mono" if params.nchannels == 1 else "stereo",
    len(message) / 16000, "found whole" if found else "NOT found whole"))
sys.exit(0 if found else 1)
EOF
) || fail "recording check: $report"

number=$(grep -m1 ' number ' "$work/box.out" | sed -E 's/.* number //')
echo
echo "The box answered, heard the keys $number and recorded the caller."
echo "  remote path:  $remote (account $account on 127.0.0.1:$port)"
echo "  recording:    $report"
echo "  box events:"
sed 's/^/    /' "$work/box.out"
echo "  modem saw:    $(awk '{print $3}' "$work/modem.log" | paste -sd' ')"
if ((voice)); then
  echo "  voice modem:  $(grep -m1 ' voice modem ' "$work/box.out" | sed -E 's/.* voice modem //')"
  echo "  caller heard: $(grep -m1 '^call hangup' "$work/line.out" | sed -E 's/^call hangup //') in the prompts"
else
  echo "  caller heard: $(grep -m1 '^call hangup' "$work/line.out" | sed -E 's/.*heard //') of prompts"
fi
echo "demo: OK in $((SECONDS - start)) s after the build"
