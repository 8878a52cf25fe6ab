#include "modSNAP.h"

#include "Globals.h"

std::int16_t NextLabel() {
    std::int16_t& counter = G().LabelCounter;
    // The 16-bit counter would overflow past 32767: wrap to 1. Anything outside
    // 1..32767 (a stray value set elsewhere) also restarts at 1.
    if (counter >= 32767 || counter < 0) {
        counter = 1;
    } else {
        counter = static_cast<std::int16_t>(counter + 1);
    }
    return counter;
}

std::int16_t CurrentLabel() { return G().LabelCounter; }
