#!/usr/bin/python3
"""The system's own FTP and SSH servers for the Hoistline tests and benchmark.

vsftpd --port P --dir D [--no-active] [--tls explicit|implicit]: vsftpd on
    127.0.0.1:P for anonymous logins; uploads, folders and deletions go below
    "/in" (D/root/in). --no-active refuses PORT and EPRT. With --tls the login
    and every data connection must be encrypted; the server's certificate
    (for 127.0.0.1 only) is signed by a test CA, D/ca.pem, made here.
    --old-tls-only: TLS 1.0 and 1.1 only, allowed by D/openssl.cnf.
proftpd, pure-ftpd: FTP with TLS for sshd's account, uploads below "/in";
    installed or, as they conflict with vsftpd, unpacked in $HOISTLINE_TEST_SERVERS.
sshd --port P --dir D --user U --password W: sshd on 127.0.0.1:P, SFTP and
    password logins only, for a throw-away account U (home D/home) made here
    and removed when the server stops on SIGTERM; host keys of the types in
    --host-keys; --legacy: SHA-1 host key signatures too, logins by key only.
--max-file-size N: for either server, writes past N bytes fail (a full disk).
vsftpd and sshd need root.
"""

import argparse
import os
import pwd
import resource
import signal
import subprocess
import time


def run(*argv, **options):
    subprocess.run(argv, check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, **options)


def certificates(d):
    key = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes"]
    run("openssl", "req", "-x509", *key, "-keyout", "ca.key", "-out",
        "ca.pem", "-days", "2", "-subj", "/CN=Hoistline test CA", cwd=d)
    run("openssl", "req", "-new", *key, "-keyout", "server.key", "-out",
        "server.csr", "-subj", "/CN=127.0.0.1", cwd=d)
    with open(os.path.join(d, "san"), "w") as san:
        san.write("subjectAltName=IP:127.0.0.1\n")
    run("openssl", "x509", "-req", "-in", "server.csr", "-CA", "ca.pem",
        "-CAkey", "ca.key", "-CAcreateserial", "-days", "2", "-extfile",
        "san", "-out", "server.pem", cwd=d)


def limit_file_size(args):
    if args.max_file_size:
        resource.setrlimit(resource.RLIMIT_FSIZE, (args.max_file_size,) * 2)


def vsftpd(args, d):
    # vsftpd refuses an anonymous root its account could write to.
    os.makedirs(os.path.join(d, "root", "in"), mode=0o777, exist_ok=True)
    os.chmod(os.path.join(d, "root", "in"), 0o777)
    os.makedirs("/var/run/vsftpd/empty", exist_ok=True)
    conf = dict(listen="YES", listen_address="127.0.0.1",
                listen_port=args.port, background="NO", local_enable="NO",
                anonymous_enable="YES", no_anon_password="YES",
                anon_root=os.path.join(d, "root"), write_enable="YES",
                anon_upload_enable="YES", anon_mkdir_write_enable="YES",
                anon_other_write_enable="YES", anon_umask="022",
                port_enable="NO" if args.no_active else "YES",
                seccomp_sandbox="NO", vsftpd_log_file=os.path.join(d, "log"))
    if args.old_tls_only:
        os.environ["OPENSSL_CONF"] = os.path.join(d, "openssl.cnf")
        with open(os.environ["OPENSSL_CONF"], "w") as out:
            out.write("openssl_conf=a\n[a]\nssl_conf=b\n[b]\nsystem_default=c\n[c]\n"
                      "MinProtocol=TLSv1\nMaxProtocol=TLSv1.1\nCipherString=DEFAULT@SECLEVEL=0\n")
        conf.update(ssl_ciphers="DEFAULT@SECLEVEL=0", xferlog_enable="YES",
                    log_ftp_protocol="YES")
    if args.tls:
        certificates(d)
        conf.update(ssl_enable="YES", allow_anon_ssl="YES",
                    force_anon_logins_ssl="YES", force_anon_data_ssl="YES",
                    rsa_cert_file=os.path.join(d, "server.pem"),
                    rsa_private_key_file=os.path.join(d, "server.key"),
                    implicit_ssl="YES" if args.tls == "implicit" else "NO")
    with open(os.path.join(d, "vsftpd.conf"), "w") as out:
        out.writelines(f"{k}={v}\n" for k, v in conf.items())
    limit_file_size(args)
    os.execv("/usr/sbin/vsftpd", ["vsftpd", os.path.join(d, "vsftpd.conf")])


def unpacked(name):  # the root of the file tree that holds /usr/sbin/<name>
    root = os.environ.get("HOISTLINE_TEST_SERVERS", "/opt/hoistline-test-servers")
    return "" if os.path.exists("/usr/sbin/" + name) else root


def sshd(args, d):
    home = os.path.join(d, "home")
    command = ["/usr/sbin/sshd", "-D", "-e", "-f", os.path.join(d, "sshd_config")]
    if args.server != "sshd":
        certificates(d)
        os.makedirs(os.path.join(home, "in"), mode=0o777, exist_ok=True)
        os.chmod(os.path.join(home, "in"), 0o777)
        command = [unpacked("pure-ftpd") + "/usr/sbin/pure-ftpd", "-S", f"127.0.0.1,{args.port}",
                   "-l", "unix", "-E", "-A", "-Y", "2", "-2", f"{d}/server.pem,{d}/server.key"]
    if args.server == "proftpd":
        with open(os.path.join(d, "proftpd.conf"), "w") as out:
            out.write(f"Port {args.port}\nDefaultAddress 127.0.0.1\nSocketBindTight on\nUser "
                      f"nobody\nGroup nogroup\nScoreboardFile {d}/board\nPidFile {d}/pid\n"
                      "DelayTable none\nWtmpLog off\nUseIPv6 off\nDefaultRoot ~\n"
                      f"ModulePath {unpacked('proftpd')}/usr/lib/proftpd\nLoadModule mod_tls.c"
                      f"\nTLSEngine on\nTLSRequired on\nTLSECCertificateFile {d}/server.pem\n"
                      f"TLSECCertificateKeyFile {d}/server.key\n")
        command = [unpacked("proftpd") + "/usr/sbin/proftpd", "-n", "-q", "-c", out.name]
    keys = [os.path.join(d, "host_key_" + kind) for kind in args.host_keys.split(",")]
    for key, kind in zip(keys, args.host_keys.split(",")):
        if not os.path.exists(key):
            run("ssh-keygen", "-q", "-t", kind, "-N", "", "-f", key)
    with open(os.path.join(d, "sshd_config"), "w") as out:
        out.write(f"Port {args.port}\nListenAddress 127.0.0.1\n"
                  + "".join(f"HostKey {key}\n" for key in keys) +
                  "PidFile none\nUsePAM no\nKbdInteractiveAuthentication no\n"
                  + ("HostKeyAlgorithms +ssh-rsa\nPasswordAuthentication no\n" if args.legacy
                     else "PasswordAuthentication yes\nPubkeyAuthentication no\n") +
                  f"StrictModes no\nAllowUsers {args.user}\n"
                  "Subsystem sftp internal-sftp\nForceCommand internal-sftp\n")
    os.makedirs("/run/sshd", mode=0o755, exist_ok=True)

    # The account goes again however the server ends: SIGTERM (which the
    # tests send twice, to the process and to its group) unwinds through the
    # "finally" once and is ignored from then on. useradd and userdel are
    # retried while another test holds the password file's lock.
    def stop(*_):
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
        raise SystemExit(0)

    def retried(*argv):
        for attempt in range(50):
            if subprocess.run(argv, stderr=subprocess.DEVNULL).returncode == 0:
                return
            time.sleep(0.2)

    signal.signal(signal.SIGTERM, stop)
    server = None
    try:
        subprocess.run(["userdel", args.user], stderr=subprocess.DEVNULL)
        retried("useradd", "--no-create-home", "--home-dir", home, "--shell",
                "/bin/sh", args.user)
        run("chpasswd", input=f"{args.user}:{args.password}\n".encode())
        os.makedirs(home, exist_ok=True)
        account = pwd.getpwnam(args.user)
        os.chown(home, account.pw_uid, account.pw_gid)
        server = subprocess.Popen(command, preexec_fn=lambda: limit_file_size(args),
                                  restore_signals=False)
        server.wait()
    finally:
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
        if server is not None and server.poll() is None:
            server.terminate()
            server.wait()
        retried("userdel", args.user)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("server", choices=["vsftpd", "sshd", "proftpd", "pure-ftpd"])
    parser.add_argument("--dir", required=True)
    parser.add_argument("--port", type=int)
    parser.add_argument("--no-active", action="store_true")
    parser.add_argument("--tls", choices=["explicit", "implicit"])
    parser.add_argument("--user")
    parser.add_argument("--password")
    parser.add_argument("--max-file-size", type=int)
    parser.add_argument("--old-tls-only", action="store_true")
    parser.add_argument("--host-keys", default="ed25519")
    parser.add_argument("--legacy", action="store_true")
    args = parser.parse_args()
    # The account's home lies below D, which it must be able to enter.
    os.chmod(args.dir, 0o755)
    (vsftpd if args.server == "vsftpd" else sshd)(args, args.dir)


if __name__ == "__main__":
    main()
