#!/usr/bin/python3
"""The system's own FTP and SSH servers for the Hoistline tests and benchmark.

    system_servers.py certificates --dir D
        Makes a test CA (D/ca.pem) and a server certificate it signed for
        the address 127.0.0.1 only (D/server.pem, D/server.key).
    system_servers.py vsftpd --port P --root R --log L [--no-active]
                             [--tls explicit|implicit --cert C --key K]
        vsftpd on 127.0.0.1:P for anonymous logins. R must not be writable
        by the server's ftp account; R/in is made writable: uploads, folders
        and deletions go there. --no-active refuses PORT and EPRT. With
        --tls, login and every data connection must be protected. Each
        command and reply is logged to L.
    system_servers.py sshd --port P --user U --password W --home H
                           --host-key K --log L
        OpenSSH's sshd on 127.0.0.1:P, serving SFTP only, password logins
        only, to a throw-away account U made here (useradd) with home H,
        and removed again when the server stops (SIGTERM). The host key K is
        made when missing.

vsftpd and sshd need root; without it the script says so and exits with 77.
"""

import argparse
import os
import pwd
import signal
import subprocess
import sys
import time


def certificates(args):
    def openssl(*argv):
        subprocess.run(["openssl", *argv], check=True, cwd=args.dir,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    key = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes"]
    openssl("req", "-x509", *key, "-keyout", "ca.key", "-out", "ca.pem",
            "-days", "2", "-subj", "/CN=Hoistline test CA")
    openssl("req", "-new", *key, "-keyout", "server.key", "-out", "server.csr",
            "-subj", "/CN=127.0.0.1")
    with open(os.path.join(args.dir, "server.ext"), "w") as ext:
        ext.write("subjectAltName=IP:127.0.0.1\n")
    openssl("x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey",
            "ca.key", "-CAcreateserial", "-days", "2", "-extfile",
            "server.ext", "-out", "server.pem")


def vsftpd(args):
    os.makedirs(os.path.join(args.root, "in"), exist_ok=True)
    os.chmod(args.root, 0o755)
    os.chmod(os.path.join(args.root, "in"), 0o777)
    os.makedirs("/var/run/vsftpd/empty", exist_ok=True)
    conf = {
        "listen": "YES", "listen_address": "127.0.0.1",
        "listen_port": str(args.port), "background": "NO",
        "anonymous_enable": "YES", "no_anon_password": "YES",
        "local_enable": "NO", "anon_root": args.root, "write_enable": "YES",
        "anon_upload_enable": "YES", "anon_mkdir_write_enable": "YES",
        "anon_other_write_enable": "YES", "anon_umask": "022",
        "port_enable": "NO" if args.no_active else "YES",
        # The session processes would otherwise refuse to run in containers
        # that filter system calls themselves.
        "seccomp_sandbox": "NO",
        "log_ftp_protocol": "YES", "vsftpd_log_file": args.log,
        "xferlog_enable": "YES", "xferlog_std_format": "NO",
    }
    if args.tls:
        conf.update({
            "ssl_enable": "YES", "allow_anon_ssl": "YES",
            "force_anon_logins_ssl": "YES", "force_anon_data_ssl": "YES",
            "rsa_cert_file": args.cert, "rsa_private_key_file": args.key,
            "implicit_ssl": "YES" if args.tls == "implicit" else "NO",
        })
    path = os.path.join(os.path.dirname(args.log), "vsftpd.conf")
    with open(path, "w") as out:
        out.writelines(f"{k}={v}\n" for k, v in conf.items())
    os.execv("/usr/sbin/vsftpd", ["vsftpd", path])


def sshd(args):
    folder = os.path.dirname(args.log)
    if not os.path.exists(args.host_key):
        subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f",
                        args.host_key], check=True)
    config = os.path.join(folder, "sshd_config")
    with open(config, "w") as out:
        out.write(f"""Port {args.port}
ListenAddress 127.0.0.1
HostKey {args.host_key}
PidFile none
UsePAM no
PasswordAuthentication yes
KbdInteractiveAuthentication no
PubkeyAuthentication no
PermitRootLogin no
StrictModes no
AllowUsers {args.user}
Subsystem sftp internal-sftp
ForceCommand internal-sftp
""")
    os.makedirs("/run/sshd", mode=0o755, exist_ok=True)

    # The account goes again however the server ends: SIGTERM (sent twice
    # by the tests, to the process and to its group) unwinds through the
    # "finally" below once, and is ignored from then on.
    def stop(*_):
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
        raise SystemExit(0)

    signal.signal(signal.SIGTERM, stop)
    server = None
    try:
        # A leftover of a run that was killed goes first; useradd and userdel
        # are retried while another test holds the password file's lock.
        subprocess.run(["userdel", args.user], stderr=subprocess.DEVNULL)
        for attempt in range(50):
            if subprocess.run(["useradd", "--no-create-home", "--home-dir",
                               args.home, "--shell", "/bin/sh",
                               args.user]).returncode == 0:
                break
            time.sleep(0.2)
        else:
            sys.exit("useradd failed")
        subprocess.run(["chpasswd"], input=f"{args.user}:{args.password}\n",
                       text=True, check=True)
        os.makedirs(args.home, exist_ok=True)
        account = pwd.getpwnam(args.user)
        os.chown(args.home, account.pw_uid, account.pw_gid)
        with open(args.log, "ab") as log:
            server = subprocess.Popen(["/usr/sbin/sshd", "-D", "-e", "-f",
                                       config], stdout=log, stderr=log)
        server.wait()
    finally:
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
        if server is not None and server.poll() is None:
            server.terminate()
            server.wait()
        for attempt in range(50):
            if subprocess.run(["userdel", args.user],
                              stderr=subprocess.DEVNULL).returncode in (0, 6):
                break
            time.sleep(0.2)


def main():
    parser = argparse.ArgumentParser()
    sub = parser.add_subparsers(dest="server", required=True)
    p = sub.add_parser("certificates")
    p.add_argument("--dir", required=True)
    p = sub.add_parser("vsftpd")
    p.add_argument("--port", type=int, required=True)
    p.add_argument("--root", required=True)
    p.add_argument("--log", required=True)
    p.add_argument("--no-active", action="store_true")
    p.add_argument("--tls", choices=["explicit", "implicit"])
    p.add_argument("--cert")
    p.add_argument("--key")
    p = sub.add_parser("sshd")
    for option in ("--user", "--password", "--home", "--host-key", "--log"):
        p.add_argument(option, required=True)
    p.add_argument("--port", type=int, required=True)
    args = parser.parse_args()

    if args.server == "certificates":
        certificates(args)
        return
    if os.geteuid() != 0:
        print(f"{args.server} needs root: it switches users and, for sshd, "
              "adds a throw-away account", file=sys.stderr)
        sys.exit(77)
    {"vsftpd": vsftpd, "sshd": sshd}[args.server](args)


if __name__ == "__main__":
    main()
