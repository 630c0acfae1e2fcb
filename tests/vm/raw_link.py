#!/usr/bin/python3
"""The ceiling of the emulated link: moves bytes over a plain L2CAP socket
pair (enhanced retransmission mode, SEQPACKET, the MTU obexd asks for) or a
plain RFCOMM one, with no OBEX above.

    raw_link.py receive l2cap|rfcomm ADDRESS PORT BYTES
    raw_link.py send l2cap|rfcomm SOURCE SERVER PORT BYTES

The receiver takes one link, reads BYTES, answers one byte and prints the
count. The sender prints the seconds from its connect to that answer.
"""

import socket
import struct
import sys
import time

SOL_L2CAP = 6
L2CAP_OPTIONS = 1
L2CAP_MODE_ERTM = 3
MTU = 32767  # what obexd's client and server ask for on L2CAP
# Pieces of 8 KiB, as Quillfern's OBEX packets on L2CAP: an SDU of 32 KiB cut into the
# emulated link's small PDUs needs more send buffer than a socket has, and never leaves.
CHUNK = 8192
LIMIT_S = 120
ACCEPT_LIMIT_S = 30
# struct l2cap_options: omtu, imtu, flush_to, mode, fcs, max_tx, txwin_size
OPTIONS = "@HHHBBBH"


def make_socket(kind):
    if kind == "l2cap":
        link = socket.socket(socket.AF_BLUETOOTH, socket.SOCK_SEQPACKET, socket.BTPROTO_L2CAP)
        omtu, imtu, flush_to, mode, fcs, max_tx, txwin = struct.unpack(
            OPTIONS, link.getsockopt(SOL_L2CAP, L2CAP_OPTIONS, struct.calcsize(OPTIONS)))
        link.setsockopt(SOL_L2CAP, L2CAP_OPTIONS,
                        struct.pack(OPTIONS, MTU, MTU, flush_to, L2CAP_MODE_ERTM, fcs, max_tx, txwin))
        return link
    return socket.socket(socket.AF_BLUETOOTH, socket.SOCK_STREAM, socket.BTPROTO_RFCOMM)


def mode_of(link, kind):
    if kind != "l2cap":
        return "RFCOMM"
    omtu, imtu, _, mode, *_ = struct.unpack(
        OPTIONS, link.getsockopt(SOL_L2CAP, L2CAP_OPTIONS, struct.calcsize(OPTIONS)))
    return f"L2CAP mode {mode} ({'ERTM' if mode == L2CAP_MODE_ERTM else 'not ERTM'}), MTU out {omtu} in {imtu}"


def receive(kind, address, port, count):
    listener = make_socket(kind)
    listener.bind((address, port))
    listener.listen(1)
    listener.settimeout(ACCEPT_LIMIT_S)
    print("listening", flush=True)
    link, _ = listener.accept()
    link.settimeout(LIMIT_S)
    got = 0
    while got < count:
        piece = link.recv(MTU)
        if not piece:
            break
        got += len(piece)
    link.sendall(b"\x01")
    print(f"received {got} bytes over {mode_of(link, kind)}", flush=True)
    link.recv(1)  # until the sender closes
    return 0 if got == count else 1


def send(kind, source, server, port, count):
    link = make_socket(kind)
    link.settimeout(LIMIT_S)
    link.bind((source, 0))
    link.connect((server, port))
    data = bytes(CHUNK)
    started = time.monotonic()
    sent = 0
    while sent < count:
        size = min(CHUNK, count - sent)
        link.sendall(data[:size])
        sent += size
    answer = link.recv(1)
    seconds = time.monotonic() - started
    print(f"{seconds:.3f} {mode_of(link, kind)}")
    link.close()
    return 0 if answer == b"\x01" else 1


def main():
    role, kind = sys.argv[1], sys.argv[2]
    if role == "receive":
        return receive(kind, sys.argv[3], int(sys.argv[4]), int(sys.argv[5]))
    return send(kind, sys.argv[3], sys.argv[4], int(sys.argv[5]), int(sys.argv[6]))


if __name__ == "__main__":
    sys.exit(main())
