// tavikctl, the headless companion of the program: inspects and maintains a profile from the
// command line (scripting, benchmarks, setting up a profile without the options dialog).
#pragma once

#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace tavik {

struct TavikctlEnvironment {
    // True when the terminal takes UTF-8: stored 8-bit text is shown as UTF-8 and arguments are
    // read as UTF-8. Otherwise bytes pass unchanged.
    bool utf8 = true;
    // Directory of the executable, where the shipped templates are looked for.
    std::string executableDirectory;
    // Asks for a user's password on the terminal; nullopt when it cannot be asked. Used when
    // $TAVIK_PASSWORD is not set.
    std::function<std::optional<std::string>(const std::string& prompt)> askPassword;
};

// Runs one tavikctl command line (args without the program name). Returns the exit status:
// 0 done, 1 a file or profile error, 2 bad arguments.
int tavikctlMain(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                 const TavikctlEnvironment& env);

// Stored 8-bit text (ISO-8859-1) as UTF-8; control characters other than tab become "?", so
// hostile mail cannot send escape sequences to the terminal.
std::string latin1ForTerminal(const std::string& bytes, bool utf8);
// A UTF-8 argument as 8-bit text; false when it holds a character beyond ISO-8859-1 or bad UTF-8.
bool utf8ToLatin1(const std::string& utf8, std::string& latin1);

} // namespace tavik
