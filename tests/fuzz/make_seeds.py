#!/usr/bin/env python3
"""Writes the seed inputs of the fuzz targets into corpus/: scripts that walk
each target's ordinary paths (plug-in, description, delivery, read, events,
trigger, removal; the sensor's bring-up and streamed frames), from which the
fuzzer mutates. Run again after changing how a target reads its input."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))

# tessip_fuzz: the operations in the order of its Op enumeration; an
# operation's byte plus OPS addresses the second camera.
READ, INFO, CONTROL, EVENTS, OTHER, WRITE, DESCRIBE, DELIVER, TRIGGER, TAKE, FAIL, \
    REOPEN, CLOSE_EVENT, STOP_START, SURPRISE, LOWER, FOREIGN = range(17)
OPS = 17
# The arrangement byte: a filter above tessip, a second camera.
FILTER_ABOVE, TWO_CAMERAS = 1, 2


def describe(count):
    # 40 bytes of description, then "a random word" as the byte count.
    return bytes([DESCRIBE]) + bytes(range(40)) + bytes([4]) + struct.pack("<I", count)


def tessip_life(flags, *steps, arrangement=0):
    return bytes([flags, 1, arrangement]) + b"".join(steps)


def second(step):
    return bytes([step[0] + OPS]) + step[1:]


def read_exact():
    return bytes([READ, 0, 2])


def set_events(first, second):
    return bytes([EVENTS, first, second, 2])


def control(code, out_pick=2):
    return bytes([CONTROL, code, 0, 0, 0, 0, 0, 0, 0, 2, out_pick])


def tessip_seeds():
    frame = describe(640 * 480 * 3) + bytes([DELIVER, 9])
    small = describe(100) + bytes([DELIVER, 3])
    for flags in range(4):
        yield f"life-{flags}", tessip_life(flags, small, read_exact(), bytes([INFO, 2]),
                                           small, bytes([READ, 0, 1]), read_exact(),
                                           arrangement=flags)
    yield "events", tessip_life(0, set_events(1, 2), control(2), bytes([TRIGGER, 1]),
                                bytes([TRIGGER, 0]), control(3), bytes([TAKE]), frame,
                                read_exact(), set_events(0, 0), set_events(4, 3))
    yield "removal", tessip_life(1, small, control(0), bytes([SURPRISE]), read_exact(),
                                 bytes([TRIGGER, 1]))
    yield "arrangement", tessip_life(0, small, second(small), bytes([FOREIGN, 1]), read_exact(),
                                     second(read_exact()), bytes([FOREIGN, 0]), control(0),
                                     bytes([SURPRISE]), second(read_exact()),
                                     arrangement=FILTER_ABOVE | TWO_CAMERAS)
    yield "failures", tessip_life(0, bytes([FAIL, 1, 0]), set_events(1, 2), bytes([FAIL, 4, 0]),
                                  small, read_exact(), bytes([REOPEN, STOP_START]),
                                  bytes([LOWER, 1, 2, 0, OTHER]) + bytes(38))


def orvane_bridge():
    registers = bytearray(512)
    struct.pack_into("<H", registers, 0, 0x8243)
    script = bytes(registers) + bytes(range(256)) + bytes(256) + bytes([0])
    script += b"".join(struct.pack("<iii", 1, 1000, 0) for _ in range(9))
    script += bytes(6)  # no registry values: the defaults
    device = bytearray(196)
    struct.pack_into("<iI", device, 0, 18, 0xBA)
    script += bytes(device) + bytes([1])  # the driven sensor
    script += bytes([1, 2, 0x82, 0x43])   # the probe finds it
    script += bytes([1])                  # no auxiliary type
    return script


def command(code, *values):
    values = list(values) + [0] * (4 - len(values))
    body = bytes([code]) + struct.pack("<4I", *values)
    if code == 2:
        body += bytes([1])  # with a frame-size record
    return bytes([1]) + body + bytes([1, 1])


def orvane_seeds():
    bring_up = command(2) + command(0) + command(3, 0, 1) + command(6, 1) + command(16, 0, 21, 22)
    frame = command(14) + struct.pack("<I", 0x40608050) + command(17) + struct.pack("<I", 0x40608050)
    yield "bring-up", orvane_bridge() + bytes([0]) + bring_up
    yield "streaming", orvane_bridge() + bring_up + frame * 40
    yield "every-code", orvane_bridge() + b"".join(command(code, 5, 6, 7, 8) for code in range(24))


def write(target, seeds):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    for name, data in seeds:
        with open(os.path.join(folder, name), "wb") as out:
            out.write(data)


write("tessip_fuzz", tessip_seeds())
write("orvane_fuzz", orvane_seeds())
