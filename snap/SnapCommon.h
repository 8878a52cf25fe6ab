#pragma once
// Helpers shared by the SNAP classes (not part of their interfaces).
#include <exception>
#include <string>

#include "RunTimeError.h"
#include "basDebug.h"

namespace kvr::snapdetail {

// Logs a trapped run-time error of a procedure the way every procedure does.
inline void LogTrapped(const ModuleLog& log, const std::string& procedure) {
    try {
        throw;
    } catch (const RunTimeError& e) {
        log(FormatTrappedError(e.Number(), e.Description(), procedure), LEVEL_ERROR);
    } catch (const std::bad_alloc&) {
        log(FormatTrappedError(7, "Out of memory", procedure), LEVEL_ERROR);
    } catch (const std::exception& e) {
        log(FormatTrappedError(51, std::string("Internal error: ") + e.what(), procedure), LEVEL_ERROR);
    } catch (...) {
        log(FormatTrappedError(51, "Internal error", procedure), LEVEL_ERROR);
    }
}

inline const char* BoolText(bool b) { return b ? "True" : "False"; }

}  // namespace kvr::snapdetail
