#pragma once
// What the foundation takes from the program's database: the settings it
// reads and writes, and the string table of the user's language. The
// program's database manager implements it and makes itself G().DbManager
// when its construction has ended (its destructor clears that again); the
// string lookup reaches it only through here. The store answers from its own
// tables; falling back to the built-in texts is the lookup's business.
#include <optional>
#include <string>

namespace kvr {

class ProgramStore {
public:
    virtual ~ProgramStore() = default;
    // The value of a setting; defaultValue (when given) when it has no row or
    // its value is empty.
    virtual std::string GetSetting(const std::string& appName, const std::string& section, const std::string& keyName,
                                   const std::optional<std::string>& defaultValue = std::nullopt) = 0;
    // Adds or edits the setting's row; an empty value leaves the old value.
    virtual void SaveSetting(const std::string& appName, const std::string& section, const std::string& keyName,
                             const std::string& value) = 0;
    // Text of string id in the string table of the user's language; nothing
    // when the table has no such row or there is no table. When the table
    // cannot be read, failure (when given) is set to an "Error #n: ..." text.
    virtual std::optional<std::string> StoredString(long id, std::string* failure = nullptr) = 0;
};

}  // namespace kvr
