#include "app/shutdown_signals.h"

#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tavik {

namespace {

int pipeEnds[2] = {-1, -1};
constexpr int kCaught[] = {SIGTERM, SIGINT, SIGHUP};
struct sigaction previous[3];

extern "C" void onShutdownSignal(int number)
{
    // Only async-signal-safe calls here: one byte into the pipe.
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(number);
    ssize_t written = ::write(pipeEnds[0], &byte, 1);
    (void)written;
    errno = saved;
}

} // namespace

ShutdownSignals::ShutdownSignals(QObject* parent) : QObject(parent)
{
    if (pipeEnds[0] >= 0 || ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, pipeEnds) != 0)
        return;
    notifier_ = new QSocketNotifier(pipeEnds[1], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &ShutdownSignals::readPipe);
    struct sigaction action = {};
    action.sa_handler = onShutdownSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (std::size_t i = 0; i < std::size(kCaught); ++i)
        ::sigaction(kCaught[i], &action, &previous[i]);
    active_ = true;
}

ShutdownSignals::~ShutdownSignals()
{
    if (!active_)
        return;
    for (std::size_t i = 0; i < std::size(kCaught); ++i)
        ::sigaction(kCaught[i], &previous[i], nullptr);
    delete notifier_;
    ::close(pipeEnds[0]);
    ::close(pipeEnds[1]);
    pipeEnds[0] = pipeEnds[1] = -1;
}

void ShutdownSignals::readPipe()
{
    unsigned char byte = 0;
    int last = 0;
    while (::read(pipeEnds[1], &byte, 1) == 1)
        last = byte;
    if (last)
        emit shutdownRequested(last);
}

} // namespace tavik
