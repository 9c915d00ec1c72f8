#!/usr/bin/python3
"""Starts a real FTP server on 127.0.0.1 for tests, benchmarks and the demo.

    /usr/bin/python3 tests/net/ftpserver.py --kind pyftpdlib|pure-ftpd --root DIR
        [--accounts mbox1,...,mbox6] [--password mira318] [--folders 12345,007] [--port N]
        [--tls-cert PEM]

With --tls-cert (a PEM file holding the server's certificate, its chain and its key) the server
speaks explicit TLS (AUTH TLS) and refuses clear text on the control and the data connections.

Every account gets the home folder DIR/<account> holding the given mailbox folders. The first
line on stdout is "PORT <n>"; the server then runs in this process (pure-ftpd replaces it by
exec, so the process id stays the server's) until it receives SIGTERM. pure-ftpd may need a
moment after that line before it accepts; callers connect with retries.
"""
import argparse
import os
import pwd
import signal
import socket
import subprocess
import sys


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def make_homes(root, accounts, folders, uid, gid):
    homes = {}
    for account in accounts:
        home = os.path.join(root, account)
        os.makedirs(home, exist_ok=True)
        for folder in folders:
            os.makedirs(os.path.join(home, folder), exist_ok=True)
        homes[account] = home
        if os.geteuid() == 0:
            for path, dirs, files in os.walk(home):
                os.chown(path, uid, gid)
                for name in files:
                    os.chown(os.path.join(path, name), uid, gid)
    return homes


def run_pyftpdlib(args, accounts, folders):
    from pyftpdlib.authorizers import DummyAuthorizer
    from pyftpdlib.handlers import FTPHandler
    from pyftpdlib.servers import FTPServer
    import logging

    logging.basicConfig(level=logging.WARNING)
    homes = make_homes(args.root, accounts, folders, os.geteuid(), os.getegid())
    authorizer = DummyAuthorizer()
    for account, home in homes.items():
        authorizer.add_user(account, args.password, home, perm="elradfmwMT")
    if args.tls_cert:
        from pyftpdlib.handlers import TLS_FTPHandler
        handler = TLS_FTPHandler
        handler.certfile = args.tls_cert
        handler.tls_control_required = True
        handler.tls_data_required = True
    else:
        handler = FTPHandler
    if args.cut_first:
        # A server that loses the tail of the first recording it takes and still says 226: the
        # file is cut before the client's next command is read, as if the data had stopped.
        cut = {"done": False}

        class CuttingHandler(handler):
            def on_file_received(self, path):
                if not cut["done"] and path.endswith(".wav"):
                    cut["done"] = True
                    os.truncate(path, min(args.cut_first, os.path.getsize(path)))
        handler = CuttingHandler
    handler.authorizer = authorizer
    handler.banner = "pyftpdlib ready."
    server = FTPServer(("127.0.0.1", args.port), handler)
    server.max_cons = 64
    signal.signal(signal.SIGTERM, lambda *_: server.close_all() or sys.exit(0))
    print("PORT %d" % server.socket.getsockname()[1], flush=True)
    server.serve_forever(handle_exit=True)


def run_pure_ftpd(args, accounts, folders):
    # Virtual users map onto an unprivileged system user; pure-ftpd refuses root sessions.
    if os.geteuid() == 0:
        nobody = pwd.getpwnam("nobody")
        uid, gid = nobody.pw_uid, nobody.pw_gid
    else:
        uid, gid = os.geteuid(), os.getegid()
    homes = make_homes(args.root, accounts, folders, uid, gid)
    # Beside the homes, outside every chroot; removed with the root.
    state = os.path.join(args.root, ".pure-ftpd")
    os.makedirs(state, exist_ok=True)
    # A fast MD5-crypt hash: the default hash makes every log-in take seconds.
    digest = subprocess.run(["openssl", "passwd", "-1", "-salt", "lumisk", args.password],
                            check=True, capture_output=True, text=True).stdout.strip()
    passwd = os.path.join(state, "pureftpd.passwd")
    with open(passwd, "w") as f:
        for account, home in homes.items():
            f.write("%s:%s:%d:%d::%s/./::::::::::::\n" % (account, digest, uid, gid, os.path.abspath(home)))
    pdb = os.path.join(state, "pureftpd.pdb")
    subprocess.run(["pure-pw", "mkdb", pdb, "-f", passwd], check=True)
    port = args.port or free_port()
    print("PORT %d" % port, flush=True)
    tls = ["-Y", "3", "-2", args.tls_cert] if args.tls_cert else []
    os.execvp("pure-ftpd", ["pure-ftpd", "-S", "127.0.0.1,%d" % port, "-l", "puredb:" + pdb, "-E", "-4", "-H",
                            "-A", "-u", "1", "-c", "64", "-C", "64", "-I", "15"] + tls)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--kind", choices=["pyftpdlib", "pure-ftpd"], required=True)
    parser.add_argument("--root", required=True)
    parser.add_argument("--accounts", default="mbox1,mbox2,mbox3,mbox4,mbox5,mbox6")
    parser.add_argument("--password", default="mira318")
    parser.add_argument("--folders", default="")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--tls-cert", default="")
    parser.add_argument("--cut-first", type=int, default=0,
                        help="pyftpdlib: keep only this many bytes of the first .wav stored, answering 226")
    args = parser.parse_args()
    accounts = [a for a in args.accounts.split(",") if a]
    folders = [f for f in args.folders.split(",") if f]
    if args.kind == "pyftpdlib":
        run_pyftpdlib(args, accounts, folders)
    else:
        run_pure_ftpd(args, accounts, folders)


if __name__ == "__main__":
    main()
