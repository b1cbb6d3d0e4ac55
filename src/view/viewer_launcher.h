// The desktop side of viewer launches: QProcess with argument lists, never a shell.
#pragma once

#include <QtGlobal>

#include "view/program_launcher.h"

namespace tavik {

// Starts viewers detached and runs the desktop's query tools (xdg-mime) to their end. Strings
// are file-system bytes; one that would not reach the program byte for byte (a NUL, or bytes the
// file-name encoding cannot carry) is refused rather than passed on changed.
class ViewerLauncher : public ProgramLauncher {
public:
    // How long a query may run before it is killed and counts as failed.
    static constexpr int kDefaultQueryTimeoutMs = 5000;
    // The most standard output a query may write; more counts as failed.
    static constexpr qint64 kMaxQueryOutput = 64 * 1024;

    // `queryTimeoutMs` bounds each queryProgram call.
    explicit ViewerLauncher(int queryTimeoutMs = kDefaultQueryTimeoutMs);

    // Starts the program with QProcess::startDetached; remembers its process id.
    bool startProgram(const std::string& program, const std::vector<std::string>& arguments) override;
    // Runs the program with QProcess, standard input and error on the null device.
    std::optional<std::string> queryProgram(const std::string& program,
                                            const std::vector<std::string>& arguments) override;

    // Process id of the program the last successful startProgram started; 0 before any.
    qint64 lastProcessId() const { return lastProcessId_; }

private:
    int queryTimeoutMs_;
    qint64 lastProcessId_ = 0;
};

} // namespace tavik
