#!/usr/bin/env python3
"""HTTP server for the download scenarios, on 127.0.0.1 and a free port, which it prints first
("port N"), speaking HTTPS with the given certificate when --tls names one. Every request is appended to the log file as "<path> <User-Agent>".

  /files/NAME   NAME from the root directory, with its length
  /slow/NAME    the same, in 8 KiB pieces 100 ms apart
  /early/NAME   the length of NAME announced, half of it sent, then the connection closed
  /nolength     a body without a length, ended by closing the connection
  /redirect/REST  a redirection (302) to /REST
  anything else 404 with an HTML body and its length
"""
import argparse
import http.server
import os
import shutil
import ssl
import sys
import time


def make_handler(root, log_path):
    class Handler(http.server.BaseHTTPRequestHandler):
        def log_message(self, *args):
            pass

        def record(self):
            with open(log_path, "a", encoding="utf-8") as log:
                log.write(f"{self.path} {self.headers.get('User-Agent', '')}\n")

        def do_GET(self):
            self.record()
            if self.path.startswith("/redirect/"):
                self.send_response(302)
                self.send_header("Location", self.path[len("/redirect"):])
                self.send_header("Content-Length", "0")
                return self.end_headers()
            for prefix in ("/files/", "/slow/", "/early/"):
                if self.path.startswith(prefix):
                    path = os.path.join(root, os.path.basename(self.path[len(prefix):]))
                    if os.path.isfile(path):
                        return self.send_file(prefix, path)
            if self.path == "/nolength":
                self.send_response(200)
                self.send_header("Content-Type", "application/octet-stream")
                self.send_header("Connection", "close")
                self.end_headers()
                self.wfile.write(b"x" * 1000)
                self.close_connection = True
                return
            body = b"<html><body>404 Not Found</body></html>"
            self.send_response(404)
            self.send_header("Content-Type", "text/html")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def send_file(self, prefix, path):
            self.send_response(200)
            self.send_header("Content-Type", "application/octet-stream")
            self.send_header("Content-Length", str(os.path.getsize(path)))
            self.end_headers()
            with open(path, "rb") as f:
                if prefix == "/files/":
                    # In pieces, so that the benchmark's large files are not held in memory.
                    return shutil.copyfileobj(f, self.wfile, 1 << 20)
                body = f.read()
            if prefix == "/slow/":
                for start in range(0, len(body), 8192):
                    self.wfile.write(body[start:start + 8192])
                    self.wfile.flush()
                    time.sleep(0.1)
            else:
                self.wfile.write(body[: len(body) // 2])
                self.wfile.flush()
                self.close_connection = True

    return Handler


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    parser.add_argument("--log", required=True)
    parser.add_argument("--tls", nargs=2, metavar=("CERTIFICATE", "KEY"))
    options = parser.parse_args()
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), make_handler(options.root, options.log))
    if options.tls:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(*options.tls)
        server.socket = context.wrap_socket(server.socket, server_side=True)
    print(f"port {server.server_address[1]}", flush=True)
    server.serve_forever()


if __name__ == "__main__":
    sys.exit(main())
