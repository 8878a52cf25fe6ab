// Writes the dissector's sample capture: snap_sample_capture FILE.pcap
#include <exception>
#include <iostream>

#include "SampleFrames.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "Usage: snap_sample_capture FILE.pcap\n";
        return 2;
    }
    try {
        samples::WriteSampleCapture(argv[1]);
    } catch (const std::exception& e) {
        std::cerr << "snap_sample_capture: " << e.what() << '\n';
        return 1;
    }
    return 0;
}
