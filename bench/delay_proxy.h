// The loopback proxy of bench/delay_proxy.py, started in front of a port for one benchmark run.
#pragma once

#include <cerrno>
#include <cstdlib>
#include <string>

#include <sys/wait.h>
#include <unistd.h>

namespace tavik::bench {

// The delay proxy in front of a port: it reads our end of a pipe and stops when that closes.
class Proxy {
public:
    ~Proxy()
    {
        if (pid_ <= 0)
            return;
        close(toProxy_);
        close(fromProxy_);
        int status = 0;
        waitpid(pid_, &status, 0);
    }
    // The port it listens on, 0 when it did not start.
    int start(int target, int delayMs)
    {
        int toProxy[2], fromProxy[2];
        if (pipe(toProxy) != 0 || pipe(fromProxy) != 0)
            return 0;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(toProxy[0], 0);
            dup2(fromProxy[1], 1);
            close(toProxy[1]);
            close(fromProxy[0]);
            execl("/usr/bin/python3", "python3", DELAY_PROXY_PATH, std::to_string(target).c_str(),
                  std::to_string(delayMs).c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        close(toProxy[0]);
        close(fromProxy[1]);
        toProxy_ = toProxy[1];
        // The port, on a line of its own; the pipe stays open so the proxy may write more.
        fromProxy_ = fromProxy[0];
        std::string line;
        char c = 0;
        while (line.size() < 16) {
            const ssize_t got = read(fromProxy_, &c, 1);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0 || c == '\n')
                break;
            line += c;
        }
        return std::atoi(line.c_str());
    }

private:
    pid_t pid_ = -1;
    int toProxy_ = -1;
    int fromProxy_ = -1;
};

} // namespace tavik::bench
