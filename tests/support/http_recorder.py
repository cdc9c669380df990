#!/usr/bin/env python3
"""A local HTTP or HTTPS server that records every request it gets, for tests.

Each request is appended to --log as one JSON line:
  {"method": ..., "path": ..., "version": ..., "headers": [[name, value], ...],
   "body": text, "tls": bool}
(the body decoded as UTF-8, undecodable bytes as \\xNN). The line is written and flushed
before the reply goes out, so a client that has its reply finds its request in the log.

The reply is --status (default 200) with the body --body (default "ok"); a path that starts
with /status/NNN is answered with status NNN instead. With --cert and --key the server
speaks TLS only.

Binds --host (default 127.0.0.1; only loopback addresses are accepted) on --port (default
0: any free port) and writes the bound port to --port-file once it listens. Runs until it
is terminated (SIGTERM or SIGINT).
"""
import argparse
import http.server
import ipaddress
import json
import os
import re
import signal
import socket
import ssl
import sys
import threading

CONNECTION_TIMEOUT_S = 10


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--port-file", required=True)
    parser.add_argument("--log", required=True)
    parser.add_argument("--status", type=int, default=200)
    parser.add_argument("--body", default="ok")
    parser.add_argument("--cert")
    parser.add_argument("--key")
    args = parser.parse_args()

    if not ipaddress.ip_address(args.host).is_loopback:
        sys.exit("http_recorder: only loopback addresses may be bound")

    context = None
    if args.cert:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(args.cert, args.key)

    log_lock = threading.Lock()
    log_file = open(args.log, "a", encoding="utf-8")

    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"
        timeout = CONNECTION_TIMEOUT_S

        def log_message(self, *unused):
            pass

        def handle_any(self):
            length = int(self.headers.get("Content-Length") or 0)
            body = self.rfile.read(length) if length > 0 else b""
            record = {
                "method": self.command,
                "path": self.path,
                "version": self.request_version,
                "headers": [[k, v] for k, v in self.headers.items()],
                "body": body.decode("utf-8", "backslashreplace"),
                "tls": context is not None,
            }
            with log_lock:
                log_file.write(json.dumps(record, ensure_ascii=False) + "\n")
                log_file.flush()
            status = args.status
            match = re.match(r"^/status/(\d{3})", self.path)
            if match:
                status = int(match.group(1))
            reply = args.body.encode("utf-8")
            self.send_response(status)
            self.send_header("Content-Type", "text/html; charset=utf-8")
            self.send_header("Content-Length", str(len(reply)))
            self.end_headers()
            self.wfile.write(reply)

        do_GET = do_POST = do_PUT = do_DELETE = do_HEAD = do_PATCH = handle_any

    class Server(http.server.ThreadingHTTPServer):
        address_family = socket.AF_INET6 if ":" in args.host else socket.AF_INET
        daemon_threads = True

        def finish_request(self, request, client_address):
            # The TLS handshake runs on the request's thread, so that a client that never
            # completes it cannot stall the server.
            request.settimeout(CONNECTION_TIMEOUT_S)
            if context is None:
                super().finish_request(request, client_address)
                return
            try:
                tls = context.wrap_socket(request, server_side=True)
            except (ssl.SSLError, OSError):
                return  # a client that refused our certificate: nothing to record
            try:
                super().finish_request(tls, client_address)
            finally:
                tls.close()

        def handle_error(self, request, client_address):
            pass  # a client that hangs up early is no concern of the recorder

    server = Server((args.host, args.port), Handler)
    signal.signal(signal.SIGTERM, lambda *unused: threading.Thread(target=server.shutdown).start())
    port = server.server_address[1]
    tmp = args.port_file + ".tmp"
    with open(tmp, "w") as f:
        f.write("%d\n" % port)
    os.rename(tmp, args.port_file)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        server.server_close()
        log_file.close()


if __name__ == "__main__":
    main()
