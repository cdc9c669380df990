#!/usr/bin/env python3
"""A local FTP server for the FTP folder tests, on 127.0.0.1 only.

Serves --root to one user with full rights, writes the bound port to --port-file once it
listens, and runs until it is terminated. --inject adds listing entries of kind "file" that
do not exist on disk (to feed the client names no real file system could hold, such as
"../x.xml"); --no-mlsd makes the server refuse MLSD/MLST so that clients fall back to LIST.
"""
import argparse
import os
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.filesystems import AbstractedFS
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    parser.add_argument("--port-file", required=True)
    parser.add_argument("--user", default="user")
    parser.add_argument("--password", default="secret")
    parser.add_argument("--inject", action="append", default=[])
    parser.add_argument("--no-mlsd", action="store_true")
    args = parser.parse_args()

    injected = list(args.inject)

    class InjectingFS(AbstractedFS):
        def format_mlsx(self, basedir, listing, perms, facts, ignore_err=True):
            yield from super().format_mlsx(basedir, listing, perms, facts, ignore_err)
            for name in injected:
                yield ("type=file;size=1;perm=r; %s\r\n" % name).encode("utf8")

        def format_list(self, basedir, listing, ignore_err=True):
            yield from super().format_list(basedir, listing, ignore_err)
            for name in injected:
                yield ("-rw-r--r--   1 user     group           1 Jan 01 12:00 %s\r\n"
                       % name).encode("utf8")

    class Handler(FTPHandler):
        abstracted_fs = InjectingFS
        if args.no_mlsd:
            proto_cmds = {k: v for k, v in FTPHandler.proto_cmds.items()
                          if k not in ("MLSD", "MLST")}

    authorizer = DummyAuthorizer()
    authorizer.add_user(args.user, args.password, args.root, perm="elradfmwMT")
    Handler.authorizer = authorizer
    Handler.banner = "q2 test ftp"
    Handler.auth_failed_timeout = 0.1  # answer a wrong password at once
    server = FTPServer(("127.0.0.1", 0), Handler)
    port = server.socket.getsockname()[1]
    tmp = args.port_file + ".tmp"
    with open(tmp, "w") as f:
        f.write("%d\n" % port)
    os.rename(tmp, args.port_file)
    sys.stdout.flush()
    server.serve_forever(handle_exit=True)


if __name__ == "__main__":
    main()
