#!/usr/bin/python3
"""An RFC 3161 time-stamp server on loopback for the signing tests: each
POSTed request is answered by `openssl ts -reply` with the test authority's
time-stamping certificate.

    timestamp_server.py CERT_DIR PORT_FILE LOG_FILE

CERT_DIR holds ca.pem, tsa.pem and tsa.key (tests/products/make-test-certificate.sh);
the chosen port is written to PORT_FILE once the server listens, and one line
per answered request goes to LOG_FILE."""
import http.server
import os
import subprocess
import sys
import tempfile

CONFIG = """
[ tsa ]
default_tsa = test_tsa
[ test_tsa ]
serial = {dir}/tsa.serial
crypto_device = builtin
signer_cert = {dir}/tsa.pem
signer_key = {dir}/tsa.key
certs = {dir}/ca.pem
signer_digest = sha256
default_policy = 1.3.6.1.4.1.311.3.2.1
digests = sha1, sha256, sha384, sha512
accuracy = secs:1
ordering = yes
tsa_name = yes
ess_cert_id_chain = no
ess_cert_id_alg = sha256
"""


def main():
    cert_dir, port_file, log_file = (os.path.abspath(a) for a in sys.argv[1:4])
    config = os.path.join(cert_dir, "tsa.cnf")
    with open(config, "w") as f:
        f.write(CONFIG.format(dir=cert_dir))
    with open(os.path.join(cert_dir, "tsa.serial"), "w") as f:
        f.write("01\n")

    class Handler(http.server.BaseHTTPRequestHandler):
        def do_POST(self):
            query = self.rfile.read(int(self.headers.get("Content-Length", 0)))
            with tempfile.TemporaryDirectory() as work:
                query_file = os.path.join(work, "query.tsq")
                with open(query_file, "wb") as f:
                    f.write(query)
                made = subprocess.run(
                    ["openssl", "ts", "-reply", "-config", config, "-queryfile", query_file,
                     "-out", os.path.join(work, "reply.tsr")], capture_output=True)
                if made.returncode != 0:
                    self.send_error(400, made.stderr.decode(errors="replace")[:200])
                    return
                with open(os.path.join(work, "reply.tsr"), "rb") as f:
                    reply = f.read()
            self.send_response(200)
            self.send_header("Content-Type", "application/timestamp-reply")
            self.send_header("Content-Length", str(len(reply)))
            self.end_headers()
            self.wfile.write(reply)
            with open(log_file, "a") as log:
                log.write(f"answered {len(query)}-byte request with {len(reply)} bytes\n")

        def log_message(self, *args):
            pass

    server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
    with open(port_file + ".partial", "w") as f:
        f.write(str(server.server_address[1]))
    os.replace(port_file + ".partial", port_file)
    server.serve_forever()


if __name__ == "__main__":
    main()
