#pragma once
// Helpers shared by the SNAP classes (not part of their interfaces).
#include <exception>
#include <string>

#include "RunTimeError.h"
#include "basDebug.h"

namespace kvr::snapdetail {

// Logs a trapped run-time error of a procedure the way every procedure does.
inline void LogTrapped(const ModuleLog& log, const std::string& procedure) { LogTrappedError(log, procedure); }

}  // namespace kvr::snapdetail
