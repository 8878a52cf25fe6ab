#pragma once
// Linux glue for the command line and for starting programs.
//
// The automation parser works on one command-line text in which every option
// begins with "/" or "--" and values that contain "/" or "--" are quoted.
// JoinCommandLine turns the program's argv into that text, so
//   KVRinstaller --download /home/ann/fw.qfw --unattended
// arrives as  --download "/home/ann/fw.qfw" --unattended
//
// Programs are always started from an argument list (posix_spawn), never
// through a shell.
#include <sys/types.h>

#include <string>
#include <vector>

namespace kvr {

// True when the argument is itself an option: "/" followed by one letter
// ("/D", "/u"), or "--" followed by a letter ("--download", "--auth=5").
bool IsSwitchArgument(const std::string& arg);

// Joins the arguments (argv[1..], without the program name) into one command
// line. Options stay as they are; every other argument is put in double
// quotes. An option written "--name=value" becomes --name "value". Double
// quote characters inside a value cannot be carried by the command line and
// are dropped.
std::string JoinCommandLine(const std::vector<std::string>& args);
std::string JoinCommandLine(int argc, const char* const* argv);  // skips argv[0]

// A file name from the command line as a full path: absolute when it begins
// with "/", otherwise relative to startDirectory (the directory the program
// was started from; the current directory when startDirectory is empty).
// An empty name gives an empty result.
std::string ResolveCommandLinePath(const std::string& fileName, const std::string& startDirectory);

// Starts the program at `path` (no PATH search, no shell) with the argument
// list argv, argv[0] being the name the program sees. It inherits only
// standard input, output and error: no adapter socket, output file, database
// or lock of ours, since it may run on long after us. Returns 0 with its
// process id in pid, or the errno value that kept it from starting.
int StartProgram(const std::string& path, const std::vector<std::string>& argv, pid_t& pid);

// Starts a program from an argument list (argv[0] is the program's path; no
// PATH search, no shell). With wait = false the call returns at once and the
// child is reaped in the background. With wait = true it waits for the end,
// letting pending window events run every 100 ms (EventPump seam), and gives
// the exit status in *exitCode (128 + signal number when a signal ended it).
// Returns false, with a description in *error, when the program could not be
// started.
bool SpawnProgram(const std::vector<std::string>& argv, bool wait, int* exitCode = nullptr,
                  std::string* error = nullptr);

}  // namespace kvr
