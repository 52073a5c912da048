#!/usr/bin/env python3
"""A tiny BitTorrent HTTP tracker for the WAN benchmark: it hands a downloader (left > 0) the
addresses listed in PEERS_FILE (one ADDR:PORT a line, re-read on every announce: the links in
front of the aria2c seeders) and gives seeders an empty list, so that no seeder ever reaches the
downloader around the links. Prints "ready PORT" once listening.
Usage: wan_tracker.py PORT PEERS_FILE"""
import http.server
import socket
import struct
import sys
import urllib.parse


def bencode(v):
    if isinstance(v, int):
        return b"i%de" % v
    if isinstance(v, bytes):
        return b"%d:%s" % (len(v), v)
    if isinstance(v, str):
        return bencode(v.encode())
    if isinstance(v, dict):
        return b"d" + b"".join(bencode(k) + bencode(v[k]) for k in sorted(v)) + b"e"
    raise TypeError(type(v))


class Handler(http.server.BaseHTTPRequestHandler):
    peers_file = ""

    def do_GET(self):
        query = urllib.parse.parse_qs(urllib.parse.urlsplit(self.path).query)
        left = int(query.get("left", ["0"])[0])
        peers = b""
        if left > 0:
            with open(self.peers_file) as f:
                for line in f:
                    line = line.strip()
                    if line:
                        host, port = line.rsplit(":", 1)
                        peers += socket.inet_aton(host) + struct.pack(">H", int(port))
        body = bencode({"interval": 1800, "min interval": 1800, "peers": peers})
        self.send_response(200)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


def main():
    Handler.peers_file = sys.argv[2]
    server = http.server.ThreadingHTTPServer(("127.0.0.1", int(sys.argv[1])), Handler)
    print("ready %d" % server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
