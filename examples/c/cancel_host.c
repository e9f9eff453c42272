/* cancel_host: stops a running transfer from another thread. The main thread
 * waits up to a minute for the register's series; a second thread calls
 * Ol_Cancel(1) after the given time, and the transfer returns 36 at once.
 * A host does the same from its "Stop" button or its Ctrl-C handler.
 *
 *   cancel_host [REGISTER-ADDRESS [PORT [MS]]]   (default 127.0.0.1 9100 500)
 */
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include "orv_lib.h"

static void* cancel_later(void* ms) {
    long wait = *(const long*)ms;
    struct timespec pause = {wait / 1000, (wait % 1000) * 1000000L};
    nanosleep(&pause, NULL);
    Ol_Cancel(1); /* the one export that may be called from another thread */
    return NULL;
}

int main(int argc, char** argv) {
    char* address = argc > 1 ? argv[1] : "127.0.0.1";
    char terminal[] = "127.0.0.1";
    NetworkOpenRecord open = {address, terminal, argc > 2 ? (uint32_t)atoi(argv[2]) : 9100};
    long ms = argc > 3 ? atol(argv[3]) : 500;
    char get[] = "GET", gotHeader[] = "got-header.txt", gotData[] = "got-data.txt";
    pthread_t canceller;
    uint32_t rc;

    Ol_Initialize();
    rc = Ol_Open_MWS(&open);
    if (rc == OL_OK) {
        ExchangeRequest receive = {0};
        receive.command = get;
        receive.receiveWait = 60000;
        receive.retries = 3;
        receive.timeout = 250;
        HeaderFileDesc h = {1, gotHeader, 0};
        DataFileDesc d = {1, 0, gotData, 0};
        pthread_create(&canceller, NULL, cancel_later, &ms);
        rc = Ol_WriteRead(&receive, &h, &d);
        pthread_join(canceller, NULL);
        Ol_Cancel(0); /* clear the request, or every later transfer returns 36 too */
        Ol_Close();
    }
    printf("result %u%s\n", rc, rc == OL_CANCELLED ? " (cancelled)" : "");
    Ol_End();
    return rc == OL_CANCELLED ? 0 : 1;
}
