#!/usr/bin/env python3
"""pyserial's RFC 2217 client as the reference in kavrel_network_port.

    rfc2217_client.py URL write COUNT    sends COUNT pattern bytes
    rfc2217_client.py URL read COUNT     receives COUNT pattern bytes
    rfc2217_client.py URL latency COUNT  receives COUNT single bytes

Each opens URL, then sends one byte (0x01) to tell the far end it is
connected. "write" prints the CLOCK_MONOTONIC time (ns) just before its
first write, and ends once the far end sends a byte back; "read" checks every byte (byte k is k mod 251) and prints the
time the last one arrived; "latency" reads one byte at a time and prints,
one line each, the time it arrived and its value. Exits 1 when a byte is
wrong or missing, 3 when the port cannot be used.
"""
import sys
import time

import serial

PATIENCE_SECONDS = 30


def now():
    return time.clock_gettime_ns(time.CLOCK_MONOTONIC)


def pattern(count):
    return bytes(k % 251 for k in range(count))


def main():
    url, mode, count = sys.argv[1], sys.argv[2], int(sys.argv[3])
    try:
        # ser2net does not answer DTR and RTS for a pty, which has no modem
        # lines; pyserial would give up on them otherwise.
        port = serial.serial_for_url(url + "?ign_set_control", baudrate=115200,
                                     timeout=PATIENCE_SECONDS)
    except (serial.SerialException, OSError) as error:
        print(f"rfc2217_client: {error}", file=sys.stderr)
        return 3
    try:
        port.write(b"\x01")
        if mode == "write":
            data = pattern(count)
            start = now()
            port.write(data)
            port.flush()
            print(start)
            # Closing now could make the server drop what it has not passed
            # on yet: the far end answers one byte once it has everything.
            if len(port.read(1)) != 1:
                print("rfc2217_client: the far end never confirmed", file=sys.stderr)
                return 1
        elif mode == "read":
            received = bytearray()
            while len(received) < count:
                chunk = port.read(count - len(received))
                if not chunk:
                    break
                received += chunk
            end = now()
            if bytes(received) != pattern(count):
                print(f"rfc2217_client: {len(received)} bytes, not the pattern", file=sys.stderr)
                return 1
            print(end)
        else:
            for _ in range(count):
                byte = port.read(1)
                stamp = now()
                if len(byte) != 1:
                    print("rfc2217_client: a byte did not come", file=sys.stderr)
                    return 1
                print(stamp, byte[0])
    finally:
        port.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
