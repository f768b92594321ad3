#!/usr/bin/python3
"""Radar simulator: writes distance frames to a serial port or a pseudo-terminal.

A frame is 13 bytes:

    AA AA 0C 07 00 00 <count hi> <count lo> 00 <vel hi> <vel lo> 00 55

where distance = count * 0.01 (metres) and velocity = velocity count * 0.05 - 35
(the receiver ignores the velocity). Distance 3.00 m gives
AA AA 0C 07 00 00 01 2C 00 02 BC 00 55.

Examples:
    radar_sim.py --port /dev/ttyUSB0 --from 5.0 --to 0.5 --steps 20 --rate 5 --back
    radar_sim.py --port /dev/pts/3 --hex "AA AA 0C 07 00 00 01 2C 00 02 BC 00 55"

Importable: encode_frame, trajectory, frames_for_trajectory, stream.
"""
import argparse
import sys
import time

FRAME_HEAD = bytes([0xAA, 0xAA, 0x0C, 0x07, 0x00, 0x00])
FRAME_END = 0x55
STANDING_STILL = 700  # velocity count of 0 m/s: 700 * 0.05 - 35


def encode_frame(count, velocity_count=STANDING_STILL):
    """One frame carrying a distance count and a velocity count (both 0..65535)."""
    for value in (count, velocity_count):
        if not 0 <= value <= 0xFFFF:
            raise ValueError("count out of range 0..65535: %r" % value)
    return (FRAME_HEAD + count.to_bytes(2, "big") + b"\x00"
            + velocity_count.to_bytes(2, "big") + bytes([0x00, FRAME_END]))


def distance_count(metres):
    """The count the radar sends for a distance in metres."""
    return round(metres * 100)


def trajectory(start, stop, steps, back=False):
    """Evenly spaced distances from start to stop (steps >= 2), optionally back again."""
    if steps < 2:
        raise ValueError("need at least 2 steps")
    way = [start + (stop - start) * n / (steps - 1) for n in range(steps)]
    return way + way[-2::-1] if back else way


def frames_for_trajectory(distances, velocity_count=STANDING_STILL):
    """One frame per distance in metres."""
    return [encode_frame(distance_count(d), velocity_count) for d in distances]


def stream(write, frames, rate):
    """Call write(frame) for each frame, rate frames per second (0: no pause)."""
    for n, frame in enumerate(frames):
        if n and rate > 0:
            time.sleep(1.0 / rate)
        write(frame)


def parse_args(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--port", required=True, help="serial device or pty path")
    parser.add_argument("--baud", type=int, default=115200)
    parser.add_argument("--from", dest="start", type=float, default=5.0, help="first distance, m")
    parser.add_argument("--to", dest="stop", type=float, default=0.5, help="last distance, m")
    parser.add_argument("--steps", type=int, default=10)
    parser.add_argument("--rate", type=float, default=5.0, help="frames per second")
    parser.add_argument("--back", action="store_true", help="walk back to the first distance")
    parser.add_argument("--hex", help='raw bytes to send instead, e.g. "AA AA 0C 07 ..."')
    return parser.parse_args(argv)


def main(argv=None):
    args = parse_args(argv)
    import serial  # only the CLI needs pyserial

    if args.hex is not None:
        frames = [bytes.fromhex(args.hex)]
    else:
        frames = frames_for_trajectory(trajectory(args.start, args.stop, args.steps, args.back))
    port = serial.Serial(args.port, args.baud)
    try:
        stream(port.write, frames, args.rate)
        port.flush()
    finally:
        port.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
