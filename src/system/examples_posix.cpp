#include "system/examples.h"

const SystemExamples& system_examples() {
    static const SystemExamples examples = {
        "/dev/ttyUSB0",
        "/dev/ttyUSB1",
        "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0",
        "man upgrade",
    };
    return examples;
}
