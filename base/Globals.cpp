#include "Globals.h"

ProgramState& G() {
    static ProgramState state;
    return state;
}
