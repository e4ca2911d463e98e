// Syslog intake at a steady rate, in two roles run as separate processes:
//   bench_syslog receive DONE_FILE       the agent's syslog task, with the
//       agent's own settings, on a free loopback port; prints "ready PORT",
//       then "received N" once DONE_FILE exists (the sender has finished)
//       and a second passed without a logon.
//   bench_syslog send PORT RATE SECONDS  sends RATE syslog datagrams a second
//       from 127.0.0.1 to 127.0.0.1:PORT, paced every millisecond; prints "sent N".
// bench/syslog_run.sh runs them beside rsyslog.
#include "common/eventdispatcher.h"
#include "service/syslogtask.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QThread>
#include <QTimer>
#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

int receive(const QString &doneFile)
{
    // As the first run writes it, with syslog on and patterns for the sender's lines.
    settings::ADConfiguration config(QStringLiteral("bench"));
    config.setServers({QStringLiteral("127.0.0.1")});
    config.setIgnoreList({QStringLiteral("Administrator")});
    config.setDnsEnabled(qEnvironmentVariableIntValue("SSO_BENCH_DNS_ENABLED") != 0 ||
                         !qEnvironmentVariableIsSet("SSO_BENCH_DNS_ENABLED"));
    config.setSyslogState(true);
    config.setSyslogAddr(QStringLiteral("127.0.0.1"));
    config.setSyslogPort(0);
    config.setSyslogUserPattern(QStringLiteral("user=(\\S+)"));
    config.setSyslogAddrPattern(QStringLiteral("ip=(\\S+)"));
    config.setSyslogMsgPattern(QStringLiteral("logged on"));

    // In a thread of its own, its batches queued to this one, as a logon collector has it.
    auto *task = new service::SyslogTask(config);
    QThread thread;
    task->moveToThread(&thread);
    QObject::connect(&thread, &QThread::started, task, &service::SyslogTask::openSocket);
    QObject::connect(&thread, &QThread::finished, task, &service::SyslogTask::closeSocket);
    qint64 received = 0;
    QElapsedTimer sinceLast;
    QTimer idle;
    QObject::connect(task, &service::SyslogTask::newLogonCollected, &idle, [&](const common::LogonList &logons) {
        received += logons.size();
        if (qEnvironmentVariableIsSet("SSO_BENCH_TRACE") && sinceLast.isValid() && sinceLast.elapsed() > 200)
            std::fprintf(stderr, "gap %lld ms before batch of %d, %lld so far\n", sinceLast.elapsed(),
                         int(logons.size()), received);
        sinceLast.restart();
    });
    thread.start();
    quint16 port = 0;
    while (port == 0) {
        QThread::msleep(5);
        // Asked in the task's thread, which sets the listener.
        QMetaObject::invokeMethod(
            task, [&] { port = task->listenerForTest() ? task->listenerForTest()->localPort() : 0; },
            Qt::BlockingQueuedConnection);
    }
    std::printf("ready %u\n", port);
    std::fflush(stdout);
    QObject::connect(&idle, &QTimer::timeout, [&] {
        if (QFile::exists(doneFile) && (!sinceLast.isValid() || sinceLast.elapsed() >= 1000))
            QCoreApplication::quit();
    });
    idle.start(100);
    QCoreApplication::exec();
    thread.quit();
    thread.wait();
    delete task;
    std::printf("received %lld\n", received);
    return 0;
}

int send(quint16 port, int rate, int seconds)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in from{}, to{};
    from.sin_family = to.sin_family = AF_INET;
    from.sin_addr.s_addr = to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(port);
    if (::bind(fd, reinterpret_cast<sockaddr *>(&from), sizeof from) != 0)
        return 1;
    const long long total = (long long)rate * seconds;
    long long sent = 0;
    std::vector<char> buffers(64 * 128);
    std::vector<mmsghdr> messages(64);
    std::vector<iovec> vectors(64);
    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    timespec tick = start;
    while (sent < total) {
        tick.tv_nsec += 1000000;
        if (tick.tv_nsec >= 1000000000) {
            tick.tv_nsec -= 1000000000;
            ++tick.tv_sec;
        }
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &tick, nullptr);
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        const double elapsed = double(now.tv_sec - start.tv_sec) + double(now.tv_nsec - start.tv_nsec) / 1e9;
        long long due = std::min(total, (long long)(elapsed * rate)) - sent;
        while (due > 0) {
            const int count = int(std::min<long long>(due, 64));
            for (int i = 0; i < count; ++i) {
                const long long n = sent + i;
                char *text = &buffers[size_t(i) * 128];
                const int size =
                    std::snprintf(text, 128, "<38>Mar 10 12:00:00 dc01 auth: user=u%lld ip=10.%lld.%lld.%lld logged on",
                                  n, (n >> 16) & 255, (n >> 8) & 255, n & 255);
                vectors[size_t(i)] = iovec{text, size_t(size)};
                messages[size_t(i)] = mmsghdr{};
                messages[size_t(i)].msg_hdr.msg_name = &to;
                messages[size_t(i)].msg_hdr.msg_namelen = sizeof to;
                messages[size_t(i)].msg_hdr.msg_iov = &vectors[size_t(i)];
                messages[size_t(i)].msg_hdr.msg_iovlen = 1;
            }
            const int done = ::sendmmsg(fd, messages.data(), unsigned(count), 0);
            if (done <= 0)
                break;
            sent += done;
            due -= done;
        }
    }
    ::close(fd);
    std::printf("sent %lld\n", sent);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    common::usePlainEventDispatcher(); // as the agent runs
    QCoreApplication app(argc, argv);
    common::registerMetaTypes();
    if (argc == 3 && std::strcmp(argv[1], "receive") == 0)
        return receive(QString::fromLocal8Bit(argv[2]));
    if (argc == 5 && std::strcmp(argv[1], "send") == 0)
        return send(quint16(std::atoi(argv[2])), std::atoi(argv[3]), std::atoi(argv[4]));
    std::fprintf(stderr, "usage: %s receive DONE_FILE | send PORT RATE SECONDS\n", argv[0]);
    return 2;
}
