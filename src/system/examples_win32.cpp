#include "system/examples.h"

const SystemExamples& system_examples() {
    static const SystemExamples examples = {
        "COM3",
        "COM4",
        nullptr,
        "upgrade.txt, beside upgrade.exe",
    };
    return examples;
}
