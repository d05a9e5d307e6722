// Compiled, not run: the USB records' static layout checks for the build this is compiled for. The test
// suite compiles it for 32-bit x86 as well, where every pointer-sized field shrinks.
#include <usb.h>
#include <usbbusif.h>
#include <usbdlib.h>
#include <usbioctl.h>

int main() {
    return 0;
}
