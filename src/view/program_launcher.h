// The desktop services the MIME type registry needs, seen from core: starting a viewer and
// asking the desktop's tools about associations. Implemented in the net layer with QProcess;
// tests substitute scripted implementations.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tavik {

// Starts outside programs with an argument list, never through a shell: each argument reaches
// the program unchanged as one argument, whatever bytes it holds.
class ProgramLauncher {
public:
    virtual ~ProgramLauncher() = default;

    // Starts `program` (a path, or a name looked up in PATH) detached from this process, so it
    // outlives the mailer. True when the program was started.
    virtual bool startProgram(const std::string& program, const std::vector<std::string>& arguments) = 0;

    // Runs `program` to its end and returns what it wrote to standard output. Empty optional when
    // it is missing, cannot start, exits with an error, runs too long or writes too much.
    virtual std::optional<std::string> queryProgram(const std::string& program,
                                                    const std::vector<std::string>& arguments) = 0;
};

} // namespace tavik
