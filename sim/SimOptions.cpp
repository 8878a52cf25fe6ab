#include "sim/SimOptions.h"

#include "sim/DeviceOptions.h"
#include "sim/QfwMaker.h"

namespace kvr::sim {

std::vector<doc::OptionDoc> SimOptionDocs() {
    return {
        {"", "--segment", "NAME",
         "Attach the devices to the virtual Ethernet segment NAME in `$KVR_SEGMENT_DIR` (default `demo`)."},
        {"", "--interface", "IF",
         "Attach the devices to the real Ethernet interface IF instead; needs the capability `cap_net_raw` "
         "(or root)."},
        {"", "--config", "FILE",
         "Read lines `segment NAME`, `interface IF`, `log on|off`, `demo` and `device SPEC` from FILE; `#` "
         "starts a comment."},
        {"", "--device", "SPEC", "Add a device described by SPEC (key=value pairs, see DEVICE KEYS); repeatable."},
        {"", "--demo",
         "", "Add three devices: one in download mode, one with WPA-capable security, one with a 32-character name."},
        {"", "--log", "", "Print every frame the devices receive and send."},
        {"", "--make-qfw", "OUT",
         "Write a firmware file with correct checksums to OUT and exit; the arguments after OUT are its fields "
         "(see FIRMWARE FILE FIELDS)."},
        {"-h", "--help", "", "Print this help and exit."},
    };
}

std::string SimUsage() {
    return "Usage: kvrsim [--segment NAME | --interface IF] [--config FILE] [--device SPEC]...\n"
           "              [--demo] [--log] [--help]\n"
           "       kvrsim --make-qfw OUT [field=value]...\n"
           "Attaches simulated KVR devices to a virtual segment or a real Ethernet interface and\n"
           "answers them until interrupted.\n\n"
           "Options:\n" +
           doc::OptionsAsText(SimOptionDocs()) +
           "\nCommands on standard input: list, vanish MAC, appear MAC, move MAC SEGMENT,\n"
           "download MAC on|off, quit.\n\n" +
           DeviceOptionsHelp() + QfwFieldsHelp();
}

}  // namespace kvr::sim
