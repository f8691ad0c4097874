#!/usr/bin/python3
# An independent network client of the module server, written from the frame
# format alone with Debian's python3-zmq: every packet is one frame (address,
# length, payload). Run by python_client_test.cpp against a scripted module
# whose address is 2; prints "ok NAME" per check and exits 1 at the first
# failure.
import sys
import time

import zmq

PORT = int(sys.argv[1])
ADDRESS = 2
context = zmq.Context()


def client():
    socket = context.socket(zmq.DEALER)
    socket.setsockopt(zmq.LINGER, 0)
    socket.connect("tcp://127.0.0.1:%d" % PORT)
    return socket


def receive(socket, wait_ms):
    """The frames that arrive within wait_ms."""
    frames = []
    end = time.monotonic() + wait_ms / 1000.0
    while True:
        left = end - time.monotonic()
        if left <= 0 or not socket.poll(int(left * 1000) + 1):
            return frames
        frames.append(socket.recv())


def receive_count(socket, count, wait_ms=5000, settle_ms=200):
    """Frames until count have come (or wait_ms passed), then any more within settle_ms."""
    frames = []
    end = time.monotonic() + wait_ms / 1000.0
    while len(frames) < count:
        left = end - time.monotonic()
        if left <= 0 or not socket.poll(int(left * 1000) + 1):
            break
        frames.append(socket.recv())
    return frames + receive(socket, settle_ms)


def first(socket, wait_ms):
    if not socket.poll(wait_ms):
        return None
    return socket.recv()


def ping(n):
    return bytes([ADDRESS, 3, 0x11, n, 0x33])


def pong(n):
    return bytes([ADDRESS, 3, 0x11, n, 0x13])


def piece(sequence, more):
    # A UEI byte-string piece: command 0x12, option set 10, 24 bytes, sequence byte.
    return bytes([ADDRESS, 28, 0x12, 0x8A, 0x20]) + bytes([0xB0 + sequence] * 24) + \
        bytes([sequence | (0x80 if more else 0)])


def check(name, condition, detail=""):
    if not condition:
        print("FAILED %s %s" % (name, detail))
        sys.exit(1)
    print("ok %s" % name)
    sys.stdout.flush()


a, b = client(), client()

# Requests get their replies in order.
for n in range(1, 6):
    a.send(ping(n))
replies = [first(a, 5000) for _ in range(5)]
check("replies-in-order", replies == [pong(n) for n in range(1, 6)], replies)

# A stream enable sent twice subscribes once: one batch per heartbeat.
enable = bytes([ADDRESS, 7, 0x5D, 0x81, 0, 0, 0, 0, 1])
b.send(enable)
b.send(enable)
check("enable-answered", len(receive_count(b, 2)) == 2)
a.send(bytes([ADDRESS, 3, 0x12, 0x01, 0x20]))  # the module answers, then streams two samples
check("trigger-answered", first(a, 5000) == bytes([ADDRESS, 3, 0x12, 0x01, 0x00]))
batch = receive_count(b, 1)
samples = bytes([ADDRESS, 7, 0x12, 0x05, 0x41, 0, 0, 0, 7, ADDRESS, 7, 0x12, 0x05, 0x42, 0, 0, 0, 9])
check("stream-batched-once", batch == [samples], batch)
check("stream-only-to-subscribers", receive(a, 300) == [])

# A route packet never reaches the module and gets no reply.
a.send(bytes([0xAF, 1, 1]))
a.send(ping(6))
check("route-unanswered", receive_count(a, 1, settle_ms=300) == [pong(6)])

# A byte string reaches the module only with its last piece, in order; an
# out-of-order piece is dropped. Meanwhile another client's ping goes first.
a.send(piece(0, True))
a.send(piece(1, True))
b.send(ping(7))
check("other-client-first", first(b, 5000) == pong(7))
a.send(piece(3, True))  # out of order
a.send(piece(2, False))
ack = receive_count(a, 1, settle_ms=300)
check("one-ack-for-the-string", len(ack) == 1 and ack[0][-1] == 0x22, ack)

# A request the module never answers is given up: the next one's answer passes it over.
a.send(bytes([0x40, 3, 0x11, 0, 0]))
a.send(ping(8))
reply = first(a, 10000)
check("next-after-silence", reply == pong(8), reply)
check("silence-unanswered", receive(a, 300) == [])

a.close()
b.close()
context.term()
print("done")
