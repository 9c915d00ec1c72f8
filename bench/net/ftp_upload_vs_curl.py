#!/usr/bin/python3
"""Uploads one large file with lumisk-ftpput and with curl to the same local FTP server, in
active and passive mode, and prints throughput, the ratio ours/curl and our peak RSS.

    /usr/bin/python3 bench/net/ftp_upload_vs_curl.py --tool build/tools/lumisk-ftpput/lumisk-ftpput
        [--server pure-ftpd|pyftpdlib] [--size-mib 512] [--runs 3] [--root /dev/shm/...]

The server's root lives in memory (/dev/shm) by default so the disk does not set the pace;
each stored copy is checked for its size and removed before the next run.
"""
import argparse
import os
import shutil
import signal
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(os.path.dirname(HERE))


def run_measured(argv):
    """Runs argv under /usr/bin/time, returns (seconds, peak RSS in KiB)."""
    # /usr/bin/time reports the program's own peak, not that of the forked Python before exec.
    start = time.perf_counter()
    proc = subprocess.run(["/usr/bin/time", "-f", "RSS %M"] + argv, stdout=subprocess.DEVNULL,
                          stderr=subprocess.PIPE, text=True)
    elapsed = time.perf_counter() - start
    if proc.returncode != 0:
        sys.exit("failed (%d): %s\n%s" % (proc.returncode, " ".join(argv), proc.stderr))
    rss = int(proc.stderr.strip().splitlines()[-1].split()[1])
    return elapsed, rss


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tool", required=True)
    parser.add_argument("--server", default="pure-ftpd", choices=["pure-ftpd", "pyftpdlib"])
    parser.add_argument("--size-mib", type=int, default=512)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--root", default="/dev/shm/lumisk-bench-%d" % os.getpid())
    args = parser.parse_args()

    shutil.rmtree(args.root, ignore_errors=True)
    os.makedirs(args.root)
    local = os.path.join(args.root, "upload.bin")
    with open(local, "wb") as f:
        chunk = os.urandom(1 << 20)
        for _ in range(args.size_mib):
            f.write(chunk)
    size = os.path.getsize(local)

    server = subprocess.Popen(["/usr/bin/python3", os.path.join(SOURCE, "tests/net/ftpserver.py"), "--kind",
                               args.server, "--root", os.path.join(args.root, "srv"), "--folders", "12345"],
                              stdout=subprocess.PIPE)
    try:
        port = int(server.stdout.readline().split()[1])
        deadline = time.time() + 30
        import socket
        while True:
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                break
            except OSError:
                if time.time() > deadline:
                    raise
                time.sleep(0.05)
        target = os.path.join(args.root, "srv", "mbox1", "12345", "x.bin")
        url = "ftp://127.0.0.1:%d/12345/x.bin" % port
        clients = {
            ("active", "lumisk"): [args.tool, "127.0.0.1:%d" % port, "mbox1", "mira318", local, "12345/x.bin"],
            ("passive", "lumisk"): [args.tool, "--passive", "127.0.0.1:%d" % port, "mbox1", "mira318", local,
                                    "12345/x.bin"],
            ("active", "curl"): ["curl", "-sS", "--user", "mbox1:mira318", "-P", "127.0.0.1", "-T", local, url],
            ("passive", "curl"): ["curl", "-sS", "--user", "mbox1:mira318", "--disable-epsv", "-T", local, url],
        }
        results = {key: [] for key in clients}
        for _ in range(args.runs):
            # Interleaved, so a slow moment of the machine hits both clients alike.
            for key, argv in clients.items():
                seconds, rss = run_measured(argv)
                if os.path.getsize(target) != size:
                    sys.exit("%s stored %d bytes instead of %d" % (key, os.path.getsize(target), size))
                os.remove(target)
                results[key].append((seconds, rss))
    finally:
        server.send_signal(signal.SIGTERM)
        server.wait(timeout=30)
        shutil.rmtree(args.root, ignore_errors=True)

    mib = size / (1 << 20)
    print("%d MiB to %s on 127.0.0.1, median of %d runs" % (mib, args.server, args.runs))
    print("| mode | lumisk MiB/s (median / best) | curl MiB/s (median / best) | ratio lumisk/curl (median / best) "
          "| lumisk peak RSS MiB | curl peak RSS MiB |")
    print("|---|---|---|---|---|---|")
    for mode in ("active", "passive"):
        ours = sorted(s for s, _ in results[(mode, "lumisk")])
        theirs = sorted(s for s, _ in results[(mode, "curl")])
        med_ours, med_theirs = ours[args.runs // 2], theirs[args.runs // 2]
        ours_rss = max(r for _, r in results[(mode, "lumisk")]) / 1024
        curl_rss = max(r for _, r in results[(mode, "curl")]) / 1024
        print("| %s | %.0f / %.0f | %.0f / %.0f | %.2f / %.2f | %.1f | %.1f |" % (
            mode, mib / med_ours, mib / ours[0], mib / med_theirs, mib / theirs[0], med_theirs / med_ours,
            theirs[0] / ours[0], ours_rss, curl_rss))

if __name__ == "__main__":
    main()
