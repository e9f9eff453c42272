/* serial_host: the same exchange as tcp_host on a serial line. Sends
 * header.txt and data.txt, ... to station 000001, then receives the register's
 * series into got-header.txt and got-data.txt, ...
 *
 *   serial_host [COM-PORT [LINE-MODE]]      (default COM1, line mode 2)
 *
 * On POSIX, COM port n is the device in ORV_LIB_COM<n> (else /dev/ttyS<n-1>).
 * Line mode 2 suits devices without modem lines, like ptys and many USB
 * adapters; use 0 or 1 on a port whose DSR, CTS and carrier are wired.
 */
#include <stdio.h>
#include <stdlib.h>

#include "orv_lib.h"

int main(int argc, char** argv) {
    char station[] = "000001";
    SerialOpenRecord open = {station, argc > 1 ? (uint32_t)atoi(argv[1]) : 1, 2 /* 9600 baud */,
                             argc > 2 ? (uint32_t)atoi(argv[2]) : 2};
    char put[] = "PUT", get[] = "GET";
    char headerFile[] = "header.txt", dataFile[] = "data.txt";
    char gotHeader[] = "got-header.txt", gotData[] = "got-data.txt";
    uint32_t rc;

    Ol_Initialize();
    rc = Ol_Open_RS(&open);
    if (rc == OL_OK) {
        ExchangeRequest send = {0};
        send.direction = 1;
        send.selection = 0; /* select the station before the command */
        send.command = put;
        send.retries = 3;    /* per record */
        send.timeout = 3000; /* ms for each answer */
        send.selectRetries = 3;
        send.selectTimeout = 3000;
        HeaderFileDesc header = {0, headerFile, 0};
        DataFileDesc data = {1, 0, dataFile, 0};
        rc = Ol_WriteRead(&send, &header, &data);

        if (rc == OL_OK) {
            ExchangeRequest receive = send;
            receive.direction = 0;
            receive.command = get;
            HeaderFileDesc h = {1, gotHeader, 10000}; /* ms to wait for the header */
            DataFileDesc d = {1, 0, gotData, 10000};  /* ms to wait for each record */
            rc = Ol_WriteRead(&receive, &h, &d);
            printf("received %u data characters\n", d.byteCount);
        }
        Ol_Close();
    }
    printf("result %u\n", rc);
    Ol_End();
    return rc == OL_OK ? 0 : 1;
}
