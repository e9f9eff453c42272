/* orv-info: a minimal host. It prints the library's version and what the
 * library answers in each state of its lifecycle, without a register. */
#include <stdio.h>

#include "orv_lib.h"

static void show(const char *call, uint32_t code) { printf("  %-34s -> %u\n", call, code); }

int main(void) {
    char text[32] = "";
    VersionRecord version = {text};
    Ol_Version(&version);
    printf("Orv_Lib %s\n", text);

    printf("before Ol_Initialize:\n");
    show("Ol_Open_MWS", Ol_Open_MWS(NULL));
    show("Ol_Cancel(1)", Ol_Cancel(1));

    Ol_Initialize();
    printf("initialised, no link open:\n");
    show("Ol_Write", Ol_Write(NULL));
    show("Ol_Cancel(4)", Ol_Cancel(4));
    show("Ol_Cancel(0)", Ol_Cancel(0));
    show("Ol_SignalWrite(3)", Ol_SignalWrite(3));
    show("Ol_Close", Ol_Close());

    Ol_End();
    printf("ended.\n");
    return 0;
}
