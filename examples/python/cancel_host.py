#!/usr/bin/env python3
"""cancel_host.py: stops a running transfer from another thread. The main
thread waits for the register's series; a timer thread cancels after MS
milliseconds, and the receive raises LinkError with result CANCELLED. Pressing
Ctrl-C during a transfer cancels it the same way.

    cancel_host.py [REGISTER-ADDRESS [PORT [MS]]]   (default 127.0.0.1 9100 500)
"""
import sys
import threading

import orvlib

address = sys.argv[1] if len(sys.argv) > 1 else "127.0.0.1"
port = int(sys.argv[2]) if len(sys.argv) > 2 else 9100
ms = int(sys.argv[3]) if len(sys.argv) > 3 else 500

with orvlib.Library() as lib, lib.open_tcp(address, port) as link:
    timer = threading.Timer(ms / 1000, lib.cancel)
    timer.start()
    try:
        link.receive(header="got-header.txt", data="got-data.txt", command="GET",
                     receive_wait=60000)
        sys.exit("the transfer ended before the cancel")
    except orvlib.LinkError as error:
        if error.result is not orvlib.Result.CANCELLED:
            raise
        print(f"result {error.code} (cancelled)")
    finally:
        timer.join()
        lib.cancel(0)  # withdraw the request, or every later transfer stops too
