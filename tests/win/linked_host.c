/* A C host linked against the import library. It calls every export, so its
 * import table names all thirteen (check_host_imports.sh); it is linked, not
 * run: dll_host runs such a host under wine64. */
#include <stddef.h>

#include "orv_lib.h"

int main(void) {
    char text[32] = "";
    VersionRecord version = {text};
    uint32_t results = Ol_Version(&version);
    Ol_Initialize();
    results |= Ol_Open_RS(NULL) | Ol_Open_MWS(NULL) | Ol_Open_USB(NULL) | Ol_Write(NULL) |
               Ol_Read(NULL) | Ol_WriteRead(NULL, NULL, NULL) | Ol_EchoBack(NULL, NULL, NULL) |
               Ol_SignalWrite(3) | Ol_Cancel(1) | Ol_Close();
    Ol_End();
    return (int)results;
}
