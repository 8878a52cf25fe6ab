#pragma once
// The one exception type of the main program: a numbered run-time error with a
// description. Thrown only by the low-level helpers that raise numbered errors
// (byte-array conversions and the like) and caught at every procedure boundary
// that traps errors, which logs
//   "Error #" + number + ": " + description + " in " + procedure name
// and returns the procedure's failure value. Never crosses a procedure boundary.
#include <stdexcept>
#include <string>

class RunTimeError : public std::runtime_error {
public:
    RunTimeError(long number, const std::string& description)
        : std::runtime_error(description), m_number(number), m_description(description) {}
    long Number() const noexcept { return m_number; }
    const std::string& Description() const noexcept { return m_description; }

private:
    long m_number;
    std::string m_description;
};

// "Error #30752: <description> in <procedure>"
inline std::string FormatTrappedError(long number, const std::string& description,
                                      const std::string& procedure) {
    return "Error #" + std::to_string(number) + ": " + description + " in " + procedure;
}

// A trapped error as its number and description.
struct TrappedError {
    long number = 51;
    std::string description = "Internal error";
};

// Only inside a catch block: the error being handled. A RunTimeError gives
// its own number and description, running out of memory 7 "Out of memory",
// any other exception 51 "Internal error: " + its text, anything else 51
// "Internal error".
TrappedError CurrentTrappedError();

inline std::string FormatTrappedError(const TrappedError& error, const std::string& procedure) {
    return FormatTrappedError(error.number, error.description, procedure);
}
