#include "serviceframe/posixsignalwatcher.h"

#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
// [0] written by the handler, [1] read by the notifier. Set before the
// handlers are installed and closed only after they are removed.
int signalPair[2] = {-1, -1};

extern "C" void writeSignal(int number)
{
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(number);
    // A full pair means enough signals are already queued; dropping one is fine.
    [[maybe_unused]] const ssize_t n = ::write(signalPair[0], &byte, 1);
    errno = saved;
}

int signalOf(SignalWatcher::Action action)
{
    return action == SignalWatcher::Interrupt ? SIGINT : SIGTERM;
}
} // namespace

SignalWatcher *SignalWatcher::create(const QList<Action> &actions, QObject *parent)
{
    auto *watcher = new PosixSignalWatcher(actions, parent);
    if (!watcher->isValid()) {
        delete watcher;
        return nullptr;
    }
    return watcher;
}

PosixSignalWatcher::PosixSignalWatcher(const QList<Action> &actions, QObject *parent) : SignalWatcher(parent)
{
    qRegisterMetaType<SignalWatcher::Action>("SignalWatcher::Action");
    if (signalPair[0] >= 0)
        return; // one watcher per process
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, signalPair) != 0) {
        signalPair[0] = signalPair[1] = -1;
        return;
    }
    m_notifier = new QSocketNotifier(signalPair[1], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &PosixSignalWatcher::onReadable);
    for (const Action action : actions) {
        struct sigaction handler = {};
        handler.sa_handler = writeSignal;
        sigemptyset(&handler.sa_mask);
        handler.sa_flags = SA_RESTART;
        if (::sigaction(signalOf(action), &handler, nullptr) == 0)
            m_signals.append(signalOf(action));
    }
}

PosixSignalWatcher::~PosixSignalWatcher()
{
    if (!m_notifier)
        return;
    for (const int number : qAsConst(m_signals)) {
        struct sigaction handler = {};
        handler.sa_handler = SIG_DFL;
        sigemptyset(&handler.sa_mask);
        ::sigaction(number, &handler, nullptr);
    }
    delete m_notifier;
    ::close(signalPair[0]);
    ::close(signalPair[1]);
    signalPair[0] = signalPair[1] = -1;
}

void PosixSignalWatcher::onReadable()
{
    unsigned char numbers[16];
    const ssize_t n = ::read(signalPair[1], numbers, sizeof numbers);
    for (ssize_t i = 0; i < n; ++i)
        emit handleSignal(numbers[i] == SIGINT ? Interrupt : Terminate);
}
