#!/usr/bin/env python3
"""pyserial's RFC 2217 client as the far end of a test.

    rfc2217_peer.py URL SEND_FILE RECEIVE_FILE COUNT

Opens URL (rfc2217://host:port), writes the bytes of SEND_FILE, then reads
until COUNT bytes have arrived or 30 seconds have passed, and writes what
arrived to RECEIVE_FILE. Exits 0 when all COUNT bytes arrived, 2 when fewer
did, 3 when the port could not be used.
"""
import sys
import time

import serial

DEADLINE_SECONDS = 30


def main():
    url, send_path, receive_path, count = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
    with open(send_path, "rb") as send_file:
        outgoing = send_file.read()
    try:
        # ser2net does not answer DTR and RTS changes for a device without
        # modem lines (a pty); pyserial would otherwise give up on them.
        port = serial.serial_for_url(url + "?ign_set_control", timeout=0.5)
    except (serial.SerialException, OSError) as error:
        print(f"rfc2217_peer: {error}", file=sys.stderr)
        return 3
    received = bytearray()
    try:
        port.write(outgoing)
        port.flush()
        end = time.monotonic() + DEADLINE_SECONDS
        while len(received) < count and time.monotonic() < end:
            received += port.read(count - len(received))
    finally:
        port.close()
    with open(receive_path, "wb") as receive_file:
        receive_file.write(received)
    return 0 if len(received) == count else 2


if __name__ == "__main__":
    sys.exit(main())
