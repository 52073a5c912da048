#!/usr/bin/env python3
"""Writes a single-file BitTorrent metainfo for FILE with one announce URL; prints the info hash.
Used by the peer benchmark to give aria2c and opentracker the same content the engines move.
Usage: make_torrent.py FILE ANNOUNCE OUT [PIECE_LENGTH]"""
import hashlib
import os
import sys


def bencode(v):
    if isinstance(v, int):
        return b"i%de" % v
    if isinstance(v, bytes):
        return b"%d:%s" % (len(v), v)
    if isinstance(v, str):
        return bencode(v.encode())
    if isinstance(v, list):
        return b"l" + b"".join(bencode(x) for x in v) + b"e"
    if isinstance(v, dict):
        return b"d" + b"".join(bencode(k) + bencode(v[k]) for k in sorted(v)) + b"e"
    raise TypeError(type(v))


def main():
    path, announce, out = sys.argv[1:4]
    piece = int(sys.argv[4]) if len(sys.argv) > 4 else 1 << 20
    hashes = []
    with open(path, "rb") as f:
        while True:
            block = f.read(piece)
            if not block:
                break
            hashes.append(hashlib.sha1(block).digest())
    info = {"name": os.path.basename(path), "length": os.path.getsize(path), "piece length": piece,
            "pieces": b"".join(hashes)}
    with open(out, "wb") as f:
        f.write(bencode({"announce": announce, "info": info}))
    print(hashlib.sha1(bencode(info)).hexdigest())


if __name__ == "__main__":
    main()
