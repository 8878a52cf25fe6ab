#pragma once
// What the foundation takes from the program's database: the status log the
// debug log writes to, the settings it reads and writes, and the string tables of the
// user's language. The program's database manager implements it and makes
// itself G().DbManager when its construction has ended (its destructor clears
// that again); the debug log and the string lookup reach it only through here.
#include <optional>
#include <string>

namespace kvr {

class ProgramStore {
public:
    virtual ~ProgramStore() = default;
    // Appends one status-log row, whatever the log's threshold.
    virtual void AppendToLog(const std::string& message, long level, const std::string& module, long runTime) = 0;
    // The value of a setting; defaultValue (when given) when it has no row or
    // its value is empty.
    virtual std::string GetSetting(const std::string& appName, const std::string& section, const std::string& keyName,
                                   const std::optional<std::string>& defaultValue = std::nullopt) = 0;
    // Adds or edits the setting's row; an empty value leaves the old value.
    virtual void SaveSetting(const std::string& appName, const std::string& section, const std::string& keyName,
                             const std::string& value) = 0;
    // Text of string id in the user's language, else the program's built-in
    // strings; defaultString (or "") when neither has it.
    virtual std::string LoadResStringDb(long id, const std::optional<std::string>& defaultString = std::nullopt) = 0;
};

}  // namespace kvr
