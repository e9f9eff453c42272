/* A Windows host on the USB link: loads Orv_Lib.dll and opens "pipe\NAME",
 * a message-mode named pipe that usb_pipe_peer serves in place of the device
 * and behind which it plays the register. Runs a sending and a receiving
 * Ol_WriteRead of a two-file csv series, an Ol_Write and an Ol_Read (the peer
 * checks every packet on the wire), and checks that the removal monitor's
 * window lives exactly as long as the link (usb_host starts and stops the
 * monitor twice). */
#include "host_check.h"
#include "usb_peer.h"

int main(void) {
    setvbuf(stdout, NULL, _IONBF, 0);
    HMODULE dll = load_dll();
    if (dll == NULL) return 1;
    __typeof__(&Ol_Initialize) initialize = OL_LOAD(dll, Ol_Initialize);
    __typeof__(&Ol_End) end = OL_LOAD(dll, Ol_End);
    __typeof__(&Ol_Open_USB) openUsb = OL_LOAD(dll, Ol_Open_USB);
    __typeof__(&Ol_Close) close_ = OL_LOAD(dll, Ol_Close);
    __typeof__(&Ol_Write) write = OL_LOAD(dll, Ol_Write);
    __typeof__(&Ol_Read) read = OL_LOAD(dll, Ol_Read);

    CreateDirectoryA("usb_host_files", NULL);
    FILE* f = fopen("usb_host_files\\write.bin", "wb");
    for (int i = 0; i < 1500 && f != NULL; ++i) fputc(i % 251, f);
    if (f != NULL) fclose(f);

    initialize();
    UsbPeer peer;
    if (!usb_peer_start("exchanges", &peer)) return 1;
    UsbOpenRecord open = {peer.device};
    check(FindWindowA("wh01", "SPV_Thread") == NULL, "no monitor window before the open");
    uint32_t rc = openUsb(&open);
    check(rc == 0, "Ol_Open_USB on the pipe");
    if (rc != 0) {
        TerminateProcess(peer.process.hProcess, 1);
        end();
        return 1;
    }
    check(FindWindowA("wh01", "SPV_Thread") != NULL, "the monitor window exists while open");

    ExchangeRequest request;
    memset(&request, 0, sizeof request);
    exchange_series(OL_LOAD(dll, Ol_WriteRead), "usb_host_files", &request);

    char writePath[] = "usb_host_files\\write.bin";
    SendFileDesc writeFile = {writePath, 0};
    check(write(&writeFile) == 0, "Ol_Write of 1500 bytes");
    char readPath[] = "usb_host_files\\read.txt";
    DataFileDesc readFile = {0, 9, readPath, 0};
    check(read(&readFile) == 0, "Ol_Read of two blocks");
    check(file_is_text(readPath, "AB\r\nCDE\r\n"), "Ol_Read's file");
    check(readFile.byteCount == 5, "Ol_Read's byte count");

    check(close_() == 0, "Ol_Close");
    check(FindWindowA("wh01", "SPV_Thread") == NULL, "the monitor window is gone after Ol_Close");
    usb_peer_finish(&peer, "the register's verdict on the exchanges");

    end();
    FreeLibrary(dll);
    printf("usb_dll_host: %s\n", g_failed == 0 ? "all passed" : "FAILED");
    return g_failed == 0 ? 0 : 1;
}
