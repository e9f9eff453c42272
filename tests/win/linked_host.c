/* A host that links against the import library and calls every export, so its
 * import table names all thirteen. Run (on x86_64) it checks a short session. */
#include <stdio.h>
#include <string.h>

#include "orv_lib.h"

int main(void) {
    char text[32] = "";
    VersionRecord version = {text};
    int failed = 0;
    Ol_Version(&version);
    failed += strcmp(text, "Ver 1.2") != 0;
    failed += Ol_Open_RS(NULL) != OL_BAD_STATE;
    Ol_Initialize();
    failed += Ol_Write(NULL) != OL_NO_LINK;
    failed += Ol_Read(NULL) != OL_NO_LINK;
    failed += Ol_WriteRead(NULL, NULL, NULL) != OL_NO_LINK;
    failed += Ol_EchoBack(NULL, NULL, NULL) != OL_NO_LINK;
    failed += Ol_SignalWrite(3) != OL_BAD_STATE;
    failed += Ol_Cancel(1) != OL_OK;
    failed += Ol_Open_MWS(NULL) != OL_NO_LINK;
    failed += Ol_Open_USB(NULL) != OL_BAD_STATE;
    failed += Ol_Close() != OL_OK;
    Ol_End();
    printf("linked host: version \"%s\", %d check(s) failed\n", text, failed);
    return failed == 0 ? 0 : 1;
}
