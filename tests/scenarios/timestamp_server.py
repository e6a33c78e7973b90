#!/usr/bin/env python3
"""RFC 3161 time-stamp server for the signing scenario, on 127.0.0.1 and a free port, which it prints
first ("port N pid P"). Its authority is a self-signed certificate it makes in DIRECTORY when it starts
(tsa-cert.pem, which verifies the time stamps it gives); every query is answered by `openssl ts`.

  timestamp_server.py DIRECTORY
"""
import http.server
import os
import subprocess
import sys
import tempfile

CONFIG = """[tsa]
default_tsa = authority
[authority]
serial = {directory}/tsa-serial
crypto_device = builtin
default_policy = 1.2.3.4.1
digests = sha256
signer_digest = sha256
accuracy = secs:1
ess_cert_id_alg = sha256
"""


def make_authority(directory):
    with open(os.path.join(directory, "tsa.cnf"), "w", encoding="utf-8") as config:
        config.write(CONFIG.format(directory=directory))
    with open(os.path.join(directory, "tsa-serial"), "w", encoding="utf-8") as serial:
        serial.write("01\n")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-sha256", "-days", "2",
                    "-subj", "/CN=Kestro Test Time Stamps",
                    "-addext", "extendedKeyUsage=critical,timeStamping",
                    "-keyout", os.path.join(directory, "tsa-key.pem"),
                    "-out", os.path.join(directory, "tsa-cert.pem")],
                   check=True, capture_output=True)


def make_handler(directory):
    class Handler(http.server.BaseHTTPRequestHandler):
        def log_message(self, *args):
            pass

        def do_POST(self):
            query = self.rfile.read(int(self.headers.get("Content-Length", "0")))
            with tempfile.TemporaryDirectory() as work:
                with open(os.path.join(work, "query"), "wb") as out:
                    out.write(query)
                answer = subprocess.run(
                    ["openssl", "ts", "-reply", "-config", os.path.join(directory, "tsa.cnf"),
                     "-queryfile", os.path.join(work, "query"),
                     "-inkey", os.path.join(directory, "tsa-key.pem"),
                     "-signer", os.path.join(directory, "tsa-cert.pem"),
                     "-out", os.path.join(work, "reply")],
                    capture_output=True)
                if answer.returncode != 0:
                    self.send_error(500)
                    return
                with open(os.path.join(work, "reply"), "rb") as reply_file:
                    reply = reply_file.read()
            self.send_response(200)
            self.send_header("Content-Type", "application/timestamp-reply")
            self.send_header("Content-Length", str(len(reply)))
            self.end_headers()
            self.wfile.write(reply)

    return Handler


def main():
    directory = os.path.abspath(sys.argv[1])
    make_authority(directory)
    server = http.server.HTTPServer(("127.0.0.1", 0), make_handler(directory))
    print(f"port {server.server_address[1]} pid {os.getpid()}", flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
