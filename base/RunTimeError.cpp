#include "RunTimeError.h"

#include <exception>
#include <new>

TrappedError CurrentTrappedError() {
    TrappedError error;
    try {
        throw;
    } catch (const RunTimeError& e) {
        error = {e.Number(), e.Description()};
    } catch (const std::bad_alloc&) {
        error = {7, "Out of memory"};
    } catch (const std::exception& e) {
        error = {51, std::string("Internal error: ") + e.what()};
    } catch (...) {
    }
    return error;
}
