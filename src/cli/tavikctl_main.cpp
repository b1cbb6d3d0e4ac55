#include "cli/tavikctl.h"
#include "net/password_keeping.h"

#include <clocale>
#include <cstring>
#include <iostream>
#include <fcntl.h>
#include <langinfo.h>
#include <termios.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// Reads a line from the terminal with echo off; nullopt without a terminal.
std::optional<std::string> askPasswordOnTerminal(const std::string& prompt)
{
    int tty = ::open("/dev/tty", O_RDWR | O_CLOEXEC);
    if (tty < 0)
        return std::nullopt;
    termios saved {};
    bool restore = ::tcgetattr(tty, &saved) == 0;
    if (restore) {
        termios quiet = saved;
        quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
        ::tcsetattr(tty, TCSAFLUSH, &quiet);
    }
    (void)!::write(tty, prompt.data(), prompt.size());
    std::string line;
    char c;
    while (::read(tty, &c, 1) == 1 && c != '\n' && line.size() < 4096)
        line.push_back(c);
    (void)!::write(tty, "\n", 1);
    if (restore)
        ::tcsetattr(tty, TCSAFLUSH, &saved);
    ::close(tty);
    return line;
}

} // namespace

int main(int argc, char** argv)
{
    std::setlocale(LC_ALL, "");
    tavik::TavikctlEnvironment env;
    const char* codeset = nl_langinfo(CODESET);
    env.utf8 = codeset && std::strcmp(codeset, "UTF-8") == 0;
    char exe[4096];
    ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n > 0) {
        std::string path(exe, static_cast<std::size_t>(n));
        env.executableDirectory = path.substr(0, path.find_last_of('/') + 1);
    }
    env.askPassword = askPasswordOnTerminal;
    std::unique_ptr<tavik::Keyring> keyring = tavik::desktopKeyring();
    env.keyring = keyring.get();
    std::vector<std::string> args(argv + 1, argv + argc);
    int status = tavik::tavikctlMain(args, std::cout, std::cerr, env);
    std::cout.flush();
    return status;
}
