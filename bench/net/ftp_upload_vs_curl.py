#!/usr/bin/python3
"""Uploads one large file with lumisk-ftpput and with curl to the same local FTP server, in
active and passive mode, in clear text, and in passive mode over explicit TLS (a second server of
the same kind that insists on TLS, against `curl --ssl-reqd`), and prints throughput, the ratio ours/curl and
our peak RSS.

    /usr/bin/python3 bench/net/ftp_upload_vs_curl.py --tool build/tools/lumisk-ftpput/lumisk-ftpput
        [--server pure-ftpd|pyftpdlib] [--size-mib 512] [--runs 3] [--root /dev/shm/...] [--no-tls]

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


def make_certificates(folder):
    """A CA and a server certificate for 127.0.0.1; returns (server PEM, CA file)."""
    os.makedirs(folder)
    key = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
    quiet = {"cwd": folder, "check": True, "stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL}
    subprocess.run(["openssl", "req", "-x509"] + key + ["-keyout", "ca.key", "-out", "ca.pem", "-days", "2",
                                                        "-subj", "/CN=bench-ca"], **quiet)
    subprocess.run(["openssl", "req"] + key + ["-keyout", "srv.key", "-out", "srv.csr", "-subj", "/CN=bench"],
                   **quiet)
    with open(os.path.join(folder, "srv.ext"), "w") as f:
        f.write("subjectAltName=IP:127.0.0.1\n")
    subprocess.run(["openssl", "x509", "-req", "-in", "srv.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
                    "-CAcreateserial", "-days", "2", "-extfile", "srv.ext", "-out", "srv.crt"], **quiet)
    pem = os.path.join(folder, "server.pem")
    with open(pem, "w") as out:
        for name in ("srv.crt", "srv.key"):
            with open(os.path.join(folder, name)) as part:
                out.write(part.read())
    return pem, os.path.join(folder, "ca.pem")


def start_server(args, name, pem):
    """Starts tests/net/ftpserver.py with its root under args.root; returns (process, port)."""
    import socket
    argv = ["/usr/bin/python3", os.path.join(SOURCE, "tests/net/ftpserver.py"), "--kind", args.server, "--root",
            os.path.join(args.root, name), "--folders", "12345"] + (["--tls-cert", pem] if pem else [])
    server = subprocess.Popen(argv, stdout=subprocess.PIPE)
    port = int(server.stdout.readline().split()[1])
    deadline = time.time() + 30
    while True:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return server, port
        except OSError:
            if time.time() > deadline:
                server.kill()
                raise
            time.sleep(0.05)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tool", required=True)
    parser.add_argument("--server", default="pure-ftpd", choices=["pure-ftpd", "pyftpdlib"])
    parser.add_argument("--size-mib", type=int, default=512)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--root", default="/dev/shm/lumisk-bench-%d" % os.getpid())
    parser.add_argument("--no-tls", action="store_true")
    args = parser.parse_args()

    shutil.rmtree(args.root, ignore_errors=True)
    os.makedirs(args.root)
    local = os.path.join(args.root, "upload.bin")
    with open(local, "wb") as f:
        chunk = os.urandom(1 << 20)
        for _ in range(args.size_mib):
            f.write(chunk)
    size = os.path.getsize(local)

    tls = not args.no_tls
    pem, ca = make_certificates(os.path.join(args.root, "pki")) if tls else (None, None)
    servers = {}
    try:
        servers["plain"] = start_server(args, "srv", None)
        if tls:
            servers["tls"] = start_server(args, "srv-tls", pem)
        clients = {}
        for kind, (_, port) in servers.items():
            url = "ftp://127.0.0.1:%d/12345/x.bin" % port
            ours = [args.tool] + (["--tls", "--cafile", ca] if kind == "tls" else [])
            theirs = ["curl", "-sS", "--user", "mbox1:mira318"] + (["--ssl-reqd", "--cacert", ca]
                                                                    if kind == "tls" else [])
            target = os.path.join(args.root, "srv" if kind == "plain" else "srv-tls", "mbox1", "12345", "x.bin")
            # curl 7.88 (Debian 12) cannot do active mode over TLS at all (error 55), so TLS is
            # compared in passive mode only.
            for mode in ("active", "passive") if kind == "plain" else ("passive",):
                row = mode + ("" if kind == "plain" else " TLS")
                clients[(row, "lumisk")] = (ours + (["--passive"] if mode == "passive" else []) + [
                    "127.0.0.1:%d" % port, "mbox1", "mira318", local, "12345/x.bin"], target)
                clients[(row, "curl")] = (theirs + (["-P", "127.0.0.1"] if mode == "active" else ["--disable-epsv"])
                                          + ["-T", local, url], target)
        results = {key: [] for key in clients}
        for _ in range(args.runs):
            # Interleaved, so a slow moment of the machine hits both clients alike.
            for key, (argv, target) in clients.items():
                seconds, rss = run_measured(argv)
                if os.path.getsize(target) != size:
                    sys.exit("%s stored %d bytes instead of %d" % (key, os.path.getsize(target), size))
                os.remove(target)
                results[key].append((seconds, rss))
    finally:
        for server, _ in servers.values():
            server.send_signal(signal.SIGTERM)
            server.wait(timeout=30)
        shutil.rmtree(args.root, ignore_errors=True)

    mib = size / (1 << 20)
    print("%d MiB to %s on 127.0.0.1, median of %d runs" % (mib, args.server, args.runs))
    print("| mode | lumisk MiB/s (median / best) | curl MiB/s (median / best) | ratio lumisk/curl (median / best) "
          "| lumisk peak RSS MiB | curl peak RSS MiB |")
    print("|---|---|---|---|---|---|")
    for mode in sorted({row for row, _ in results}, key=lambda r: (" TLS" in r, r)):
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
