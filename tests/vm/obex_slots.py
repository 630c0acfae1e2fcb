#!/usr/bin/python3
"""Fills the four slots of a Bluetooth OBEX service and checks that a fifth
client is refused.

    obex_slots.py SERVER_ADDRESS CHANNEL FIFTH_ADDRESS HOLDER_ADDRESS...

Each holder is a local radio (one RFCOMM link per device and channel): it
connects to the channel and completes an OBEX CONNECT. While all of them stay
connected, the fifth radio connects; the server must answer it with
Service Unavailable (D3 00 03) and close the link. Prints what happened and
exits 0 only when the refusal came as described.
"""

import socket
import sys
import time

# OBEX CONNECT: version 1.0, no flags, maximum packet length 1024, no headers.
CONNECT = bytes([0x80, 0x00, 0x07, 0x10, 0x00, 0x04, 0x00])
REFUSAL = bytes([0xD3, 0x00, 0x03])
TIMEOUT_S = 20


def open_link(source, server, channel):
    link = socket.socket(socket.AF_BLUETOOTH, socket.SOCK_STREAM, socket.BTPROTO_RFCOMM)
    link.settimeout(TIMEOUT_S)
    link.bind((source, 0))
    link.connect((server, channel))
    return link


def read_exactly(link, count):
    data = b""
    while len(data) < count:
        piece = link.recv(count - len(data))
        if not piece:
            break
        data += piece
    return data


def read_response(link):
    head = read_exactly(link, 3)
    if len(head) < 3:
        return head
    length = int.from_bytes(head[1:3], "big")
    return head + read_exactly(link, max(0, length - 3))


def main():
    server, channel, fifth = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    holders = sys.argv[4:]
    held = []
    try:
        for source in holders:
            link = open_link(source, server, channel)
            link.sendall(CONNECT)
            answer = read_response(link)
            if answer[:1] != b"\xa0":
                print(f"holder {source}: CONNECT answered {answer.hex()}, not A0")
                return 1
            print(f"holder {source}: connected")
            held.append(link)

        started = time.monotonic()
        link = open_link(fifth, server, channel)
        try:
            link.sendall(CONNECT)
        except OSError:
            pass  # the refusal may already have closed the link
        answer = read_exactly(link, 3)
        try:
            rest = link.recv(64)
        except OSError:
            rest = b""
        closed_after = time.monotonic() - started
        link.close()
        print(f"fifth {fifth}: got {answer.hex() or 'nothing'}, then "
              f"{'end of link' if not rest else rest.hex()} after {closed_after:.1f} s")
        if answer != REFUSAL or rest:
            return 1

        # The holders are still served.
        for link in held:
            link.sendall(bytes([0x81, 0x00, 0x03]))  # DISCONNECT
            answer = read_response(link)
            if answer[:1] != b"\xa0":
                print(f"a holder's DISCONNECT answered {answer.hex()}, not A0")
                return 1
        print("the four holders disconnected normally")
        return 0
    finally:
        for link in held:
            link.close()


if __name__ == "__main__":
    sys.exit(main())
