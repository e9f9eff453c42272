/* tcp_host: a full exchange over TCP. Sends header.txt and the series
 * data.txt, data.002, ... from the current folder, then receives the
 * register's series into got-header.txt and got-data.txt, ... as
 * comma-separated files.
 *
 *   tcp_host [REGISTER-ADDRESS [PORT]]      (default 127.0.0.1 9100)
 */
#include <stdio.h>
#include <stdlib.h>

#include "orv_lib.h"

int main(int argc, char** argv) {
    char* address = argc > 1 ? argv[1] : "127.0.0.1";
    char terminal[] = "127.0.0.1";
    NetworkOpenRecord open = {address, terminal, argc > 2 ? (uint32_t)atoi(argv[2]) : 9100};
    char put[] = "PUT", get[] = "GET";
    char headerFile[] = "header.txt", dataFile[] = "data.txt"; /* data.txt, data.002 */
    char gotHeader[] = "got-header.txt", gotData[] = "got-data.txt";
    uint32_t rc;

    Ol_Initialize();
    rc = Ol_Open_MWS(&open);
    if (rc == OL_OK) {
        ExchangeRequest send = {0};
        send.direction = 1;                         /* the PC sends */
        send.command = put;                         /* cut at its first CR, sent first */
        send.receiveWait = 10000;                   /* ms for each answer */
        send.retries = 160;                         /* send attempts per block */
        send.timeout = 250;                         /* ms between attempts */
        HeaderFileDesc header = {0, headerFile, 0}; /* hex header text */
        DataFileDesc data = {1, 0, dataFile, 0};    /* csv rows */
        rc = Ol_WriteRead(&send, &header, &data);

        if (rc == OL_OK) {
            ExchangeRequest receive = send;
            receive.direction = 0; /* the PC receives */
            receive.command = get;
            HeaderFileDesc h = {1, gotHeader, 0}; /* header as comma-separated fields */
            DataFileDesc d = {1, 0, gotData, 0};
            rc = Ol_WriteRead(&receive, &h, &d);
            printf("received %u data characters\n", d.byteCount);
        }
        Ol_Close();
    }
    printf("result %u\n", rc);
    Ol_End(); /* always, before unloading the library */
    return rc == OL_OK ? 0 : 1;
}
