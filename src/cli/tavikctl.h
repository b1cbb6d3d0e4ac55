// tavikctl, the headless companion of the program: inspects and maintains a profile from the
// command line (scripting, benchmarks, setting up a profile without the options dialog).
#pragma once

#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace tavik {

class Keyring;

struct TavikctlEnvironment {
    // True when the terminal takes UTF-8, as stored text is: arguments are taken as they are.
    // Otherwise arguments are read as Windows-1252 and output is Latin-1.
    bool utf8 = true;
    // Directory of the executable, where the shipped templates are looked for.
    std::string executableDirectory;
    // Asks for a user's password on the terminal; nullopt when it cannot be asked. Used when
    // $TAVIK_PASSWORD is not set.
    std::function<std::optional<std::string>(const std::string& prompt)> askPassword;
    // The desktop's keyring, where the server passwords are kept; nullptr for none.
    Keyring* keyring = nullptr;
};

// Runs one tavikctl command line (args without the program name). Returns the exit status:
// 0 done, 1 a file or profile error, 2 bad arguments.
int tavikctlMain(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                 const TavikctlEnvironment& env);

// Stored text (UTF-8, old 8-bit bytes as Windows-1252) for the terminal: UTF-8 there, else
// Latin-1 with "?" for what it lacks. Control characters other than tab become "?", so hostile
// mail cannot send escape sequences to the terminal.
std::string textForTerminal(const std::string& bytes, bool utf8);

} // namespace tavik
