// Starting other programs: the detached service process of the built-in service manager,
// the manager tools (systemctl), and the program itself with a switch from the window.
// No shell is involved anywhere: a command line is split into words here and the words
// are passed to exec as they are.
// Callable from any thread; the children get the default signal dispositions and an empty
// signal mask whatever the caller has set.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace q2 {

// Words of a command line: blanks separate words; a pair of double quotes groups blanks
// into a word (the quotes themselves are dropped); inside quotes \" is a quote and \\ a
// backslash. An empty line gives no words.
std::vector<std::string> SplitCommandLine(const std::string& line);

// The word as it must stand in a command line for SplitCommandLine to give it back:
// unchanged when it holds no blank, quote or backslash and is not empty, else quoted.
std::string QuoteCommandWord(const std::string& word);

using tEnvironment = std::vector<std::pair<std::string, std::string>>;

// Starts args[0] (found through PATH when it holds no "/") with the arguments args[1..] as
// a process of its own session: not a child of the caller, working folder "/", standard
// input and output on /dev/null, no descriptors of the caller; the caller's environment
// plus `extraEnv`. Returns the new process's id once the program has been executed.
// Throws tSystemError when it cannot be started (for example code 2 for a missing file).
int64_t LaunchDetached(const std::vector<std::string>& args, const tEnvironment& extraEnv);

// The kernel's start time (clock ticks since boot) of the live process `pid`, or nothing
// when there is no such process or it has ended and waits to be reaped. Together with the
// id it tells a process apart from a later one that got the same id.
std::optional<uint64_t> ProcessStartTime(int64_t pid);

// Sends SIGTERM. False (errno set) when the signal could not be sent.
bool TerminateProcess(int64_t pid);

struct tProgramResult {
  int exitStatus = 0;  // the exit code, or 128 + the signal that ended it
  std::string out;     // what it wrote on its standard output
  std::string err;     // ... and on its standard error
};

// Runs args[0] (found through PATH when it holds no "/") with args[1..] and waits for it
// to end, checking every pollMs and calling `pump` (when set) between the checks so that a
// window stays responsive. Its standard input is /dev/null; its output is collected.
// Throws std::runtime_error with the system's message when the program cannot be started.
tProgramResult RunProgram(const std::vector<std::string>& args,
                          const std::function<void()>& pump = nullptr, int pollMs = 50);

}  // namespace q2
