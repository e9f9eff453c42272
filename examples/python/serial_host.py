#!/usr/bin/env python3
"""serial_host.py: the same exchange on a serial line, to station 000001.

    serial_host.py [COM-PORT [LINE-MODE]]      (default COM1, line mode 2)

On POSIX, COM port n is the device in ORV_LIB_COM<n> (else /dev/ttyS<n-1>).
Line mode 2 suits devices without modem lines (ptys, many USB adapters).
"""
import sys

import orvlib

port = int(sys.argv[1]) if len(sys.argv) > 1 else 1
line_mode = int(sys.argv[2]) if len(sys.argv) > 2 else 2

try:
    with orvlib.Library() as lib, lib.open_serial(port, station="000001", baud=9600,
                                                  line_mode=line_mode) as link:
        link.send(header="header.txt", data="data.txt", csv=True, command="PUT")
        count = link.receive(header="got-header.txt", data="got-data.txt", csv=True,
                             header_format=1, command="GET", record_timeout=10000)
        print(f"received {count} data characters")
except orvlib.LinkError as error:
    sys.exit(f"{error}")
