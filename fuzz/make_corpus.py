#!/usr/bin/env python3
"""Writes the seed corpora under fuzz/corpus/: the request packets the tests send
(CONNECT, PUT with name, length and body, GET of a folder listing, SETPATH, ACTION,
DISCONNECT, ABORT), alone for the header codec and as whole sessions for the other targets."""
import pathlib

TARGET = bytes.fromhex("F9EC7BC4953C11D2984E525400DC9E09")


def packet(code, headers=b"", fields=b""):
    length = 3 + len(fields) + len(headers)
    return bytes([code, length >> 8, length & 0xFF]) + fields + headers


def var(hid, data):
    return bytes([hid, (len(data) + 3) >> 8, (len(data) + 3) & 0xFF]) + data


def name(text):
    return var(0x01, text.encode("utf-16-be") + b"\0\0" if text else b"")


def dest_name(text):
    return var(0x15, text.encode("utf-16-be") + b"\0\0")


def four(hid, value):
    return bytes([hid]) + value.to_bytes(4, "big")


CONNECT = packet(0x80, var(0x46, TARGET), bytes([0x10, 0x00, 0x20, 0x00]))
CONNECT_BARE = packet(0x80, b"", bytes([0x10, 0x00, 0x20, 0x00]))
DISCONNECT = packet(0x81)
ABORT = packet(0xFF)
PUT_WHOLE = packet(0x82, name("new.txt") + four(0xC3, 5) + var(0x49, b"hello"))
PUT_FIRST = packet(0x02, name("two.txt") + four(0xC3, 8) + var(0x48, b"four"))
PUT_LAST = packet(0x82, var(0x49, b"more"))
PUT_DELETE = packet(0x82, name("a.txt"))
GET_LISTING = packet(0x83, var(0x42, b"x-obex/folder-listing\0"))
GET_FILE = packet(0x83, name("a.txt"))
GET_MORE = packet(0x83)
SETPATH_SUB = packet(0x85, name("sub"), bytes([0x02, 0x00]))
SETPATH_NEW = packet(0x85, name("made"), bytes([0x00, 0x00]))
SETPATH_UP = packet(0x85, b"", bytes([0x03, 0x00]))
SETPATH_OUT = packet(0x85, name("link-out"), bytes([0x02, 0x00]))
SETPATH_HIDDEN = packet(0x85, name(".hidden-folder"), bytes([0x02, 0x00]))
ACTION_COPY = packet(0x86, bytes([0x94, 0x00]) + name("a.txt") + dest_name("copy.txt"))
ACTION_MOVE = packet(0x86, bytes([0x94, 0x01]) + name("sub") + dest_name("link-out/sub"))
ACTION_FIRST = packet(0x06, bytes([0x94, 0x01]) + name("a.txt"))
ACTION_LAST = packet(0x86, dest_name("sub/moved.txt"))

PACKETS = {
    "connect": CONNECT, "connect-bare": CONNECT_BARE, "disconnect": DISCONNECT,
    "abort": ABORT, "put-whole": PUT_WHOLE, "put-first": PUT_FIRST, "put-last": PUT_LAST,
    "put-delete": PUT_DELETE, "get-listing": GET_LISTING, "get-file": GET_FILE,
    "setpath-sub": SETPATH_SUB, "setpath-new": SETPATH_NEW, "setpath-up": SETPATH_UP,
    "action-copy": ACTION_COPY, "action-move": ACTION_MOVE,
}

SESSIONS = {
    "connect-disconnect": [CONNECT, DISCONNECT],
    "put": [CONNECT, PUT_WHOLE, DISCONNECT],
    "put-two-packets": [CONNECT, PUT_FIRST, PUT_LAST, DISCONNECT],
    "put-abort": [CONNECT, PUT_FIRST, ABORT, DISCONNECT],
    "delete": [CONNECT, PUT_DELETE, DISCONNECT],
    "listing": [CONNECT, GET_LISTING, GET_MORE, GET_MORE, DISCONNECT],
    "get-file": [CONNECT, GET_FILE, GET_MORE, DISCONNECT],
    "setpath": [CONNECT, SETPATH_SUB, GET_LISTING, SETPATH_UP, SETPATH_NEW, PUT_WHOLE, DISCONNECT],
    "setpath-out": [CONNECT, SETPATH_OUT, PUT_WHOLE, GET_LISTING, DISCONNECT],
    "hidden": [CONNECT, SETPATH_HIDDEN, GET_LISTING, PUT_WHOLE, DISCONNECT],
    "action": [CONNECT, ACTION_COPY, ACTION_MOVE, GET_LISTING, DISCONNECT],
    "action-two-packets": [CONNECT, ACTION_FIRST, ACTION_LAST, ABORT, DISCONNECT],
}

root = pathlib.Path(__file__).resolve().parent / "corpus"
for target in ("headers_fuzz", "transport_fuzz", "session_fuzz"):
    (root / target).mkdir(parents=True, exist_ok=True)
for key, data in PACKETS.items():
    (root / "headers_fuzz" / key).write_bytes(data)
for key, packets in SESSIONS.items():
    stream = b"".join(packets)
    # Whole packets, by prefix, and by prefix into a file; in pieces of 1, 7, 64 and all.
    for how in range(3):
        (root / "transport_fuzz" / f"{key}-{how}").write_bytes(bytes([how, 1, 7, 64, 0]) + stream)
    # Object Push, Folder Browsing with its target, TCP; hidden files off and on.
    for config in (0, 1, 2, 0x80, 0x81, 0x82):
        (root / "session_fuzz" / f"{key}-{config:02x}").write_bytes(bytes([config]) + stream)
