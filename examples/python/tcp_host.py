#!/usr/bin/env python3
"""tcp_host.py: the C tcp_host in Python. Sends header.txt and data.txt, ...
from the current folder, then receives the register's series into
got-header.txt and got-data.txt, ... as comma-separated files.

    tcp_host.py [REGISTER-ADDRESS [PORT]]      (default 127.0.0.1 9100)
"""
import sys

import orvlib

address = sys.argv[1] if len(sys.argv) > 1 else "127.0.0.1"
port = int(sys.argv[2]) if len(sys.argv) > 2 else 9100

try:
    with orvlib.Library() as lib, lib.open_tcp(address, port) as link:
        link.send(header="header.txt", data="data.txt", csv=True, command="PUT")
        count = link.receive(header="got-header.txt", data="got-data.txt", csv=True,
                             header_format=1, command="GET")
        print(f"received {count} data characters")
except orvlib.LinkError as error:
    sys.exit(f"{error}")
