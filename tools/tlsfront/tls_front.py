#!/usr/bin/env python3
"""The TLS front of the loopback publisher: test and demo equipment.

It listens on the loopback addresses and hands every connection, once the TLS
handshake is done, to the plain publisher on 127.0.0.1, so the update program
can be tried against an https:// publisher. It makes its own certificates
the first time, with the openssl command, into its state folder:

  ca.pem        the test CA, the one the test Wine prefix trusts (ca.der too)
  good          localhost, issued by the test CA
  other-host    quillfeed-elsewhere.example, issued by the test CA
  expired       localhost, issued by the test CA, valid in 2020 only
  untrusted     localhost, issued by a CA that nothing trusts

Which one it presents is read from the file "mode" of the state folder at
every new connection ("good" when there is none), so a test switches it
between two runs of the update program.

  tls_front.py certs STATE_DIR
  tls_front.py root-entry STATE_DIR   (the test CA as the registry keeps it)
  tls_front.py serve STATE_DIR LISTEN_PORT UPSTREAM_PORT

It serves until it is stopped, or by itself after an hour without a
connection, so that a front whose test run was cut short never lingers.
"""
import hashlib
import os
import socket
import ssl
import struct
import subprocess
import sys
import threading

MODES = ("good", "other-host", "expired", "untrusted")
IDLE_LIMIT_S = 3600


def openssl(*args, cwd):
    done = subprocess.run(("openssl",) + args, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                          text=True)
    if done.returncode != 0:
        raise SystemExit("openssl " + " ".join(args) + " failed:\n" + done.stderr)


def make_ca(state, name, subject):
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-sha256", "-days", "3650",
            "-keyout", name + ".key", "-out", name + ".pem", "-subj", "/CN=" + subject,
            "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign,cRLSign", cwd=state)


def issue(state, mode, ca, host, dates):
    """A server certificate for host, issued by ca, valid between dates."""
    ca_dir = os.path.join(state, "ca-" + mode)
    os.makedirs(ca_dir, exist_ok=True)
    open(os.path.join(ca_dir, "index.txt"), "w").close()
    with open(os.path.join(ca_dir, "ca.cnf"), "w") as cnf:
        cnf.write(f"""[ca]
default_ca = test_ca
[test_ca]
dir = {ca_dir}
database = $dir/index.txt
new_certs_dir = $dir
serial = $dir/serial
rand_serial = yes
default_md = sha256
policy = anything
copy_extensions = none
x509_extensions = server
unique_subject = no
[anything]
commonName = supplied
[server]
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature,keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = DNS:{host}
""")
    openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", mode + ".key", "-out", mode + ".csr",
            "-subj", "/CN=" + host, cwd=state)
    openssl("ca", "-batch", "-config", os.path.join(ca_dir, "ca.cnf"), "-cert", ca + ".pem",
            "-keyfile", ca + ".key", "-in", mode + ".csr", "-out", mode + ".pem", *dates, cwd=state)


def still_valid(state, mode):
    """The certificate is there and stays valid for another day."""
    pem = os.path.join(state, mode + ".pem")
    return os.path.exists(pem) and subprocess.run(
        ("openssl", "x509", "-checkend", "86400", "-noout", "-in", pem),
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0


def make_certs(state):
    state = os.path.abspath(state)
    os.makedirs(state, exist_ok=True)
    if all(os.path.exists(os.path.join(state, m + ".pem")) for m in MODES) and still_valid(state, "good"):
        return
    make_ca(state, "ca", "Quillfeed Test CA")
    make_ca(state, "rogue-ca", "Quillfeed Rogue CA")
    openssl("x509", "-in", "ca.pem", "-outform", "DER", "-out", "ca.der", cwd=state)
    current = ("-days", "30")
    issue(state, "good", "ca", "localhost", current)
    issue(state, "other-host", "ca", "quillfeed-elsewhere.example", current)
    issue(state, "expired", "ca", "localhost", ("-startdate", "20200101000000Z", "-enddate", "20201231000000Z"))
    issue(state, "untrusted", "rogue-ca", "localhost", current)


def pump(source, sink):
    try:
        while True:
            data = source.recv(65536)
            if not data:
                break
            sink.sendall(data)
    except OSError:
        pass
    finally:
        for s in (source, sink):
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass


def serve_connection(conn, context, upstream_port):
    try:
        conn.settimeout(60)
        tls = context.wrap_socket(conn, server_side=True)
    except (OSError, ssl.SSLError):
        # The client refused the certificate: what the faulty modes are for.
        conn.close()
        return
    try:
        upstream = socket.create_connection(("127.0.0.1", upstream_port), timeout=10)
    except OSError:
        tls.close()
        return
    tls.settimeout(None)
    upstream.settimeout(None)
    back = threading.Thread(target=pump, args=(upstream, tls), daemon=True)
    back.start()
    pump(tls, upstream)
    back.join()
    tls.close()
    upstream.close()


def current_mode(state):
    try:
        with open(os.path.join(state, "mode")) as f:
            mode = f.read().strip()
    except OSError:
        return "good"
    return mode if mode in MODES else "good"


def listeners(port):
    result = [socket.create_server(("127.0.0.1", port))]
    # Where localhost also names the IPv6 loopback, a client may try it first.
    if socket.has_ipv6:
        try:
            result.append(socket.create_server(("::1", port), family=socket.AF_INET6))
        except OSError:
            pass
    return result


def accept_loop(listener, state, contexts, upstream_port, accepted):
    while True:
        conn, _ = listener.accept()
        accepted[0] += 1
        context = contexts[current_mode(state)]
        threading.Thread(target=serve_connection, args=(conn, context, upstream_port), daemon=True).start()


def serve(state, port, upstream_port):
    make_certs(state)
    contexts = {}
    for mode in MODES:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(os.path.join(state, mode + ".pem"), os.path.join(state, mode + ".key"))
        contexts[mode] = context
    accepted = [0]
    for listener in listeners(port):
        threading.Thread(target=accept_loop, args=(listener, state, contexts, upstream_port, accepted),
                         daemon=True).start()
    print(f"TLS front on https://localhost:{port} for http://127.0.0.1:{upstream_port}", flush=True)
    seen = -1
    while accepted[0] != seen:
        seen = accepted[0]
        threading.Event().wait(IDLE_LIMIT_S)


def root_entry(state):
    """The test CA as the registry keeps a certificate of the Root store: the
    key name (its SHA-1 thumbprint) and the value Blob (one serialized
    property, the certificate itself: id 32, 1, length, DER bytes)."""
    with open(os.path.join(state, "ca.der"), "rb") as f:
        der = f.read()
    blob = struct.pack("<III", 32, 1, len(der)) + der
    return hashlib.sha1(der).hexdigest().upper() + " " + blob.hex()


def main(argv):
    if len(argv) == 3 and argv[1] == "certs":
        make_certs(argv[2])
    elif len(argv) == 3 and argv[1] == "root-entry":
        print(root_entry(argv[2]))
    elif len(argv) == 5 and argv[1] == "serve":
        serve(argv[2], int(argv[3]), int(argv[4]))
    else:
        sys.stderr.write(__doc__)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
