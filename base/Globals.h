#pragma once
// Program-wide values shared by all modules. Start-up sets them; each module
// reads and writes the ones it owns. The user-interface thread owns them;
// threads that work on devices at the same time only read them, except for
// the label counter (NextLabel) and DownloadInProgress (MarkDownloadInProgress),
// which guard their writes.
#include <cstdint>
#include <string>

namespace kvr {
class StatusWindowSink;
class ProgramStore;
}

inline constexpr const char* kProgramTitle = "KVRinstaller";

struct ProgramState {
    std::string UserLanguage = "English";
    bool QuietLogging = false;
    bool EngineeringFeatures = false;
    // Slot 0 of StatusWindowSlot: the status window receiving every message, or null.
    kvr::StatusWindowSink* StatusWindowSlot0 = nullptr;
    std::int16_t LabelCounter = 1;           // advanced by NextLabel
    std::uint8_t ModifiedSnap = 0;           // "Corvane compatibility" switch, 0 = off
    bool RediscoveryNeeded = true;
    std::string StartDirectory;              // current directory before start-up changed it
    std::string AppDirectory;                // directory of the running executable
    long DebugLoggingLevel = 7;
    // The program's database (its database manager), set when the manager's
    // construction has ended; null while there is none.
    kvr::ProgramStore* DbManager = nullptr;
    float AckTimeout = 0.2f;                 // seconds
    bool AutomationMode = false;
    bool EngineeringMode = false;
    long AuthorizationID = 0;                // --auth; not reset by the automation module
    bool DownloadInProgress = false;
};

// The one instance.
ProgramState& G();

// A download begins (true) or ends (false). Downloads may overlap: the flag
// stays set until the last one that began has ended.
void MarkDownloadInProgress(bool begins);
