// The syslog listener over real UDP on loopback: util-linux logger as a real
// sender, plain sockets for the odd cases (other senders, IPv6, CR LF,
// invalid UTF-8, empty and 64 KiB datagrams, bursts).
#include "common/clock.h"
#include "log/applicationdebug.h"
#include "service/syslogtask.h"
#include "support/qtprinters.h"
#include "support/tempinstance.h"

#include <QProcess>
#include <QSemaphore>
#include <QSignalSpy>
#include <QTest>
#include <QThread>
#include <QUdpSocket>
#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using service::SyslogTask;

quint16 freePort()
{
    QUdpSocket probe;
    probe.bind(QHostAddress(QHostAddress::LocalHost), 0);
    return probe.localPort();
}

// A sender bound to one loopback address.
class Sender
{
public:
    explicit Sender(const char *from, quint16 port, const char *to = nullptr)
        : target(QString::fromLatin1(to ? to : from)), port(port)
    {
        EXPECT_TRUE(socket.bind(QHostAddress(QString::fromLatin1(from)), 0)) << from;
    }
    void send(const QByteArray &payload) { EXPECT_EQ(socket.writeDatagram(payload, target, port), payload.size()); }

private:
    QUdpSocket socket;
    QHostAddress target;
    quint16 port;
};

// Holds the listener's thread so that datagrams queue up in the socket, to be read in one notification.
class ListenerPause
{
public:
    explicit ListenerPause(QObject *listener)
    {
        QMetaObject::invokeMethod(
            listener,
            [this] {
                entered.release();
                gate.acquire();
            },
            Qt::QueuedConnection);
        entered.acquire();
    }
    ~ListenerPause() { resume(); }
    void resume()
    {
        if (!resumed)
            gate.release();
        resumed = true;
    }

private:
    QSemaphore entered, gate;
    bool resumed = false;
};

int openDescriptors()
{
    const auto entries = std::filesystem::directory_iterator("/proc/self/fd");
    return int(std::distance(begin(entries), end(entries)));
}

QStringList logonTexts(const common::LogonList &logons)
{
    QStringList list;
    for (const common::Logon &logon : logons)
        list.append(logon.user() + QLatin1Char('@') + logon.ip().toString());
    return list;
}

class SyslogTaskTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ApplicationDebug::create(instance.filePath(QStringLiteral("log")));
        ApplicationDebug::applyVerboseLevel(2);
        common::Clock::setNowForTest(now);
        // Only the loopback entries send; the others make adName longer than its 30-character short name.
        config.setServers({QStringLiteral("127.0.0.1"), QStringLiteral("::1"), QStringLiteral("192.0.2.250"),
                           QStringLiteral("198.51.100.250")});
        config.setIgnoreList({QStringLiteral("Administrator")});
        config.setSyslogState(true);
        config.setSyslogAddr(QStringLiteral("127.0.0.1"));
        config.setSyslogPort(freePort());
        config.setSyslogUserPattern(QStringLiteral("user=(\\S+)"));
        config.setSyslogAddrPattern(QStringLiteral("ip=(\\S+)"));
        config.setSyslogMsgPattern(QStringLiteral("logged on"));
        config.setNetbios(QStringLiteral("CORP"));
        config.setFqdn(QStringLiteral("corp.test"));
    }
    void TearDown() override
    {
        ApplicationDebug::destroy();
        common::Clock::resetForTest();
    }

    QString log() const { return testsupport::logFolderText(instance.path()); }
    // Waits until the spy has seen at least count emissions.
    static bool waitFor(QSignalSpy &spy, int count)
    {
        return QTest::qWaitFor([&] { return spy.count() >= count; }, 10000);
    }
    static common::LogonList emitted(const QSignalSpy &spy, int index)
    {
        return spy.at(index).at(0).value<common::LogonList>();
    }
    static common::LogonList allEmitted(const QSignalSpy &spy)
    {
        common::LogonList all;
        for (int i = 0; i < spy.count(); ++i)
            all += emitted(spy, i);
        return all;
    }

    testsupport::TempInstance instance;
    settings::ADConfiguration config{QStringLiteral("fw1")};
    const QDateTime now = QDateTime(QDate(2026, 3, 10), QTime(12, 0, 0));
};

TEST_F(SyslogTaskTest, LoggerMessagesBecomeLogonsInTheTasksOwnThread)
{
    struct Case
    {
        const char *bindTo, *sendTo;
    };
    // "any" takes both IP versions; an IPv4 sender then arrives IPv4-mapped and still matches.
    for (const Case &c : {Case{"any", "127.0.0.1"}, Case{"any", "::1"}, Case{"127.0.0.1", "127.0.0.1"}}) {
        config.setSyslogAddr(QString::fromLatin1(c.bindTo));
        config.setSyslogPort(freePort());
        auto *task = new SyslogTask(config);
        auto *thread = new QThread;
        task->moveToThread(thread);
        QObject::connect(thread, &QThread::started, task, &SyslogTask::openSocket);
        QObject::connect(thread, &QThread::finished, task, &SyslogTask::closeSocket);
        QObject::connect(thread, &QThread::finished, thread, &QThread::deleteLater);
        QSignalSpy spy(task, &SyslogTask::newLogonCollected);
        thread->start();
        ASSERT_TRUE(QTest::qWaitFor([&] { return task->listenerForTest() != nullptr; }, 10000)) << c.bindTo;

        // logger writes an RFC 3164 header before the message: the patterns see it too.
        const int status = QProcess::execute(QStringLiteral("logger"),
                                             {QStringLiteral("-n"), QString::fromLatin1(c.sendTo), QStringLiteral("-P"),
                                              QString::number(config.syslogPort()), QStringLiteral("-d"),
                                              QStringLiteral("--rfc3164"), QStringLiteral("-t"), QStringLiteral("auth"),
                                              QStringLiteral("user=alice ip=10.0.0.5 logged on")});
        ASSERT_EQ(status, 0) << "logger";
        ASSERT_TRUE(waitFor(spy, 1)) << c.sendTo;
        const common::LogonList logons = emitted(spy, 0);
        ASSERT_EQ(logons.size(), 1) << c.sendTo;
        EXPECT_EQ(logons.first().toString(),
                  common::Logon(QStringLiteral("alice"), QHostAddress(QStringLiteral("10.0.0.5")), now, QString(),
                                QStringLiteral("CORP"), QString(), QStringLiteral("corp.test"))
                      .toString());
        EXPECT_EQ(spy.at(0).at(1).toString(), config.shortName());
        EXPECT_EQ(config.shortName().size(), 30);

        thread->quit();
        thread->wait();
        delete task;
        // The socket is gone with the task: the port is free again.
        QUdpSocket again;
        EXPECT_TRUE(again.bind(QHostAddress(QHostAddress::LocalHost), quint16(config.syslogPort()))) << c.bindTo;
    }
    EXPECT_TRUE(log().contains(QStringLiteral("Received from syslog: <13>")));
}

TEST_F(SyslogTaskTest, EveryAcceptedDatagramGivesOneEmissionWithTheLogonsOfItsLines)
{
    struct Case
    {
        const char *name;
        QByteArray payload;
        QStringList logons;
    };
    const QList<Case> cases = {
        {"one line of three is a logon; the others lack the state or name an ignored user",
         "user=alice ip=10.0.0.5 logged on\nuser=bob ip=10.0.0.6 logged off\nuser=ADMINISTRATOR ip=10.0.0.7 logged on",
         {"alice@10.0.0.5"}},
        {"no address capture", "user=bob logged on", {}},
        {"an address that does not parse", "user=bob ip=pc07 logged on", {}},
        {"a machine account", "user=PC07$ ip=10.0.0.6 logged on", {}},
        {"Windows line ends",
         "user=carol ip=10.0.0.7 logged on\r\nuser=dan ip=fd00::8 logged on\r\n",
         {"carol@10.0.0.7", "dan@fd00::8"}},
        {"empty lines between", "\n\nuser=erin ip=10.0.0.9 logged on\n\n", {"erin@10.0.0.9"}},
        {"invalid UTF-8",
         "user=\xff\xfe"
         "fay ip=10.0.0.10 logged on",
         {QString::fromUtf8("\xff\xfe"
                            "fay") +
          QStringLiteral("@10.0.0.10")}},
        {"an empty datagram", "", {}},
    };
    SyslogTask task(config);
    QSignalSpy spy(&task, &SyslogTask::newLogonCollected);
    task.openSocket();
    ASSERT_NE(task.listenerForTest(), nullptr);
    Sender sender("127.0.0.1", quint16(config.syslogPort()));
    for (const Case &c : cases) {
        const int before = spy.count();
        sender.send(c.payload);
        ASSERT_TRUE(waitFor(spy, before + 1)) << c.name;
        EXPECT_EQ(logonTexts(emitted(spy, before)), c.logons) << c.name;
    }
    // The largest datagram, every line a logon.
    QByteArray big;
    int lines = 0;
    for (; big.size() < 64000; ++lines)
        big += QStringLiteral("user=u%1 ip=10.3.%2.%3 logged on\n")
                   .arg(lines)
                   .arg(lines / 250)
                   .arg(lines % 250 + 1)
                   .toLatin1();
    const int before = spy.count();
    sender.send(big);
    ASSERT_TRUE(waitFor(spy, before + 1));
    const common::LogonList logons = emitted(spy, before);
    ASSERT_EQ(logons.size(), lines);
    EXPECT_EQ(logons.last().user(), QStringLiteral("u%1").arg(lines - 1));
    QCoreApplication::processEvents();
    EXPECT_EQ(spy.count(), cases.size() + 1);
}

TEST_F(SyslogTaskTest, ACarriageReturnStaysInTheLineAndInvalidPatternsOrServersMatchNothing)
{
    config.setSyslogAddrPattern(QStringLiteral("ip=(\\S+)$"));
    SyslogTask strict(config);
    EXPECT_EQ(logonTexts(strict.logonsFromDatagram("user=carol logged on ip=10.0.0.7\r\n")), QStringList());
    EXPECT_EQ(logonTexts(strict.logonsFromDatagram("user=carol logged on ip=10.0.0.7\n")),
              QStringList{QStringLiteral("carol@10.0.0.7")});

    config.setSyslogAddrPattern(QStringLiteral("ip=("));
    config.setSyslogUserPattern(QStringLiteral("user=[a-"));
    config.setSyslogMsgPattern(QStringLiteral("(logged"));
    SyslogTask broken(config);
    const QString text = log();
    const int ip = text.indexOf(QStringLiteral("Invalid regular expression for IP"));
    const int user = text.indexOf(QStringLiteral("Invalid regular expression for user"));
    const int state = text.indexOf(QStringLiteral("Invalid regular expression for state"));
    EXPECT_TRUE(ip >= 0 && ip < user && user < state) << text.toStdString();
    EXPECT_TRUE(broken.logonsFromDatagram("user=alice ip=10.0.0.5 logged on").isEmpty());

    // Senders are known by address only: a name in Servers is said once and
    // never matches; the other entries still do.
    config = settings::ADConfiguration(QStringLiteral("fw2"));
    config.setServers({QStringLiteral("dc01.corp.test"), QStringLiteral("127.0.0.1")});
    config.setSyslogAddr(QStringLiteral("127.0.0.1"));
    config.setSyslogPort(freePort());
    config.setSyslogMsgPattern(QStringLiteral("logged on"));
    config.setSyslogUserPattern(QStringLiteral("user=(\\S+)"));
    config.setSyslogAddrPattern(QStringLiteral("ip=(\\S+)"));
    SyslogTask named(config);
    EXPECT_EQ(log().count(config.shortName() +
                          QStringLiteral(": dc01.corp.test is not an IP address: no syslog is taken from it")),
              1);
    QSignalSpy spy(&named, &SyslogTask::newLogonCollected);
    named.openSocket();
    ASSERT_NE(named.listenerForTest(), nullptr);
    Sender("127.0.0.1", quint16(config.syslogPort())).send("user=alice ip=10.0.0.5 logged on");
    ASSERT_TRUE(waitFor(spy, 1));
    EXPECT_EQ(logonTexts(emitted(spy, 0)), QStringList{QStringLiteral("alice@10.0.0.5")});
    named.closeSocket();
}

TEST_F(SyslogTaskTest, ARejectedSenderNeitherHoldsBackTheQueueNorFloodsTheLog)
{
    SyslogTask task(config);
    QSignalSpy spy(&task, &SyslogTask::newLogonCollected);
    task.openSocket();
    ASSERT_NE(task.listenerForTest(), nullptr);
    Sender stranger("127.0.0.2", quint16(config.syslogPort()), "127.0.0.1");
    Sender controller("127.0.0.1", quint16(config.syslogPort()));
    {
        // All of it waits in the socket and is read in one notification.
        ListenerPause pause(task.listenerForTest());
        for (int i = 0; i < 5; ++i)
            stranger.send("user=mallory ip=10.0.0.66 logged on");
        controller.send("user=alice ip=10.0.0.5 logged on");
    }
    ASSERT_TRUE(waitFor(spy, 1));
    EXPECT_EQ(logonTexts(allEmitted(spy)), QStringList{QStringLiteral("alice@10.0.0.5")});
    const QString notice =
        config.shortName() + QStringLiteral(": Received syslog traffic from 127.0.0.2, we reject it");
    EXPECT_EQ(log().count(notice), 1);

    // A minute later the sender is named again, with what was dropped meanwhile.
    common::Clock::advanceForTest(60);
    stranger.send("user=mallory ip=10.0.0.66 logged on");
    controller.send("user=alice ip=10.0.0.5 logged on");
    ASSERT_TRUE(waitFor(spy, 2));
    EXPECT_EQ(log().count(notice), 2);
    EXPECT_TRUE(log().contains(notice + QStringLiteral(" (5 datagrams since the last notice)")));
}

TEST_F(SyslogTaskTest, ABurstIsReadWholeAndWithDnsEnabledMergedIntoOneBatch)
{
    constexpr int Burst = 4000; // read in one turn of the listener's event loop
    for (bool dnsEnabled : {false, true}) {
        config.setDnsEnabled(dnsEnabled);
        config.setSyslogPort(freePort());
        SyslogTask task(config);
        QSignalSpy spy(&task, &SyslogTask::newLogonCollected);
        task.openSocket();
        ASSERT_NE(task.listenerForTest(), nullptr);
        if (geteuid() == 0) { // beyond net.core.rmem_max only with CAP_NET_ADMIN
            EXPECT_GE(task.listenerForTest()->receiveBufferBytes(), service::SyslogListener::ReceiveBufferBytes);
        }
        Sender sender("127.0.0.1", quint16(config.syslogPort()));
        {
            ListenerPause pause(task.listenerForTest());
            for (int i = 0; i < Burst; ++i)
                sender.send(
                    QStringLiteral("user=u%1 ip=10.4.%2.%3 logged on").arg(i).arg(i / 250).arg(i % 250 + 1).toLatin1());
        }
        ASSERT_TRUE(QTest::qWaitFor([&] { return allEmitted(spy).size() >= Burst; }, 20000))
            << dnsEnabled << ": " << allEmitted(spy).size();
        QCoreApplication::processEvents();
        EXPECT_EQ(spy.count(), dnsEnabled ? 1 : Burst);
        EXPECT_EQ(allEmitted(spy).size(), Burst);
    }
}

TEST_F(SyslogTaskTest, AfterABurstTooLargeForOneTurnTheSocketKeepsDelivering)
{
    // More than one turn of the listener reads: the rest is read on the next
    // turns, and datagrams sent afterwards still come.
    constexpr int Burst = 10000;
    config.setDnsEnabled(true);
    SyslogTask task(config);
    QSignalSpy spy(&task, &SyslogTask::newLogonCollected);
    task.openSocket();
    ASSERT_NE(task.listenerForTest(), nullptr);
    Sender sender("127.0.0.1", quint16(config.syslogPort()));
    for (int round = 0; round < 3; ++round) {
        {
            ListenerPause pause(task.listenerForTest());
            for (int i = 0; i < Burst; ++i)
                sender.send(
                    QStringLiteral("user=u%1 ip=10.6.%2.%3 logged on").arg(i).arg(i / 250).arg(i % 250 + 1).toLatin1());
        }
        ASSERT_TRUE(QTest::qWaitFor([&] { return allEmitted(spy).size() >= Burst; }, 20000))
            << round << ": " << allEmitted(spy).size();
        for (int i = 0; i < 3; ++i) {
            const int before = allEmitted(spy).size();
            sender.send("user=late ip=10.7.0.1 logged on");
            ASSERT_TRUE(QTest::qWaitFor([&] { return allEmitted(spy).size() > before; }, 5000)) << round;
        }
        spy.clear();
    }
    // An empty socket at a notification is no error worth a line.
    EXPECT_FALSE(log().contains(QStringLiteral("Error on UDP socket")));
}

TEST_F(SyslogTaskTest, SendersOfBothIpVersionsAreRecognisedWhenReadInOneBatch)
{
    // Bound to "any", an IPv4 sender arrives IPv4-mapped; the entry 127.0.0.1 still takes it.
    config.setSyslogAddr(QStringLiteral("any"));
    SyslogTask task(config);
    QSignalSpy spy(&task, &SyslogTask::newLogonCollected);
    task.openSocket();
    ASSERT_NE(task.listenerForTest(), nullptr);
    Sender v4("127.0.0.1", quint16(config.syslogPort()));
    Sender v6("::1", quint16(config.syslogPort()));
    Sender stranger("127.0.0.2", quint16(config.syslogPort()), "127.0.0.1");
    {
        ListenerPause pause(task.listenerForTest());
        for (int i = 0; i < 40; ++i) {
            v4.send(QStringLiteral("user=a%1 ip=10.5.0.%2 logged on").arg(i).arg(i + 1).toLatin1());
            stranger.send("user=mallory ip=10.0.0.66 logged on");
            v6.send(QStringLiteral("user=b%1 ip=fd00::%2 logged on").arg(i).arg(i + 1).toLatin1());
        }
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return allEmitted(spy).size() >= 80; }, 10000)) << allEmitted(spy).size();
    QStringList users;
    for (const common::Logon &logon : allEmitted(spy))
        users.append(logon.user());
    EXPECT_EQ(users.size(), 80);
    EXPECT_FALSE(users.contains(QStringLiteral("mallory")));
    EXPECT_TRUE(users.contains(QStringLiteral("a39")) && users.contains(QStringLiteral("b39")));
}

TEST_F(SyslogTaskTest, TasksOnOnePortShareTheSocketEachTakingItsOwnSenders)
{
    settings::ADConfiguration other = config;
    config.setServers({QStringLiteral("127.0.0.1")});
    other.setServers({QStringLiteral("127.0.0.2")});
    auto first = std::make_unique<SyslogTask>(config);
    SyslogTask second(other);
    QSignalSpy firstSpy(first.get(), &SyslogTask::newLogonCollected);
    QSignalSpy secondSpy(&second, &SyslogTask::newLogonCollected);
    first->openSocket();
    second.openSocket();
    ASSERT_EQ(first->listenerForTest(), second.listenerForTest());
    ASSERT_NE(first->listenerForTest(), nullptr);
    Sender one("127.0.0.1", quint16(config.syslogPort()));
    Sender two("127.0.0.2", quint16(config.syslogPort()), "127.0.0.1");
    one.send("user=alice ip=10.0.0.5 logged on");
    two.send("user=bob ip=10.0.0.6 logged on");
    ASSERT_TRUE(waitFor(firstSpy, 1));
    ASSERT_TRUE(waitFor(secondSpy, 1));
    EXPECT_EQ(logonTexts(allEmitted(firstSpy)), QStringList{QStringLiteral("alice@10.0.0.5")});
    EXPECT_EQ(logonTexts(allEmitted(secondSpy)), QStringList{QStringLiteral("bob@10.0.0.6")});
    EXPECT_FALSE(log().contains(QStringLiteral("we reject it")));

    // The socket stays while one task listens; the first one's senders are then rejected.
    first->closeSocket();
    first.reset();
    one.send("user=alice ip=10.0.0.5 logged on");
    two.send("user=bob ip=10.0.0.6 logged on");
    ASSERT_TRUE(waitFor(secondSpy, 2));
    EXPECT_TRUE(log().contains(QStringLiteral("Received syslog traffic from 127.0.0.1, we reject it")));
    second.closeSocket();
    QUdpSocket again;
    EXPECT_TRUE(again.bind(QHostAddress(QHostAddress::LocalHost), quint16(config.syslogPort())));
}

TEST_F(SyslogTaskTest, ASocketThatCannotBindIsRetriedEveryThirtySecondsWithAFreshOne)
{
    // Another program holds the port (without address reuse, so no second socket may join it).
    const int holder = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(quint16(config.syslogPort()));
    ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);

    SyslogTask task(config);
    QSignalSpy spy(&task, &SyslogTask::newLogonCollected);
    ApplicationDebug::logLow(QStringLiteral("the log file is open from here on"));
    const int descriptors = openDescriptors();
    task.openSocket();
    EXPECT_EQ(task.listenerForTest(), nullptr);
    EXPECT_TRUE(task.bindRetryTimerForTest()->isActive());
    EXPECT_EQ(task.bindRetryTimerForTest()->interval(), 30000);
    const QString unable = config.shortName() + QStringLiteral(": Unable to bind UDP socket: ");
    EXPECT_EQ(log().count(unable), 1);
    // Each attempt takes a fresh socket; a failed one is closed, not kept.
    EXPECT_EQ(openDescriptors(), descriptors);
    for (int attempt = 2; attempt <= 3; ++attempt) {
        task.bindRetryTimerForTest()->start(0); // the 30 seconds are up
        ASSERT_TRUE(QTest::qWaitFor([&] { return log().count(unable) == attempt; }, 5000)) << attempt;
        EXPECT_TRUE(task.bindRetryTimerForTest()->isActive());
        EXPECT_EQ(openDescriptors(), descriptors) << attempt;
    }

    ::close(holder);
    task.bindRetryTimerForTest()->start(0); // the 30 seconds are up
    ASSERT_TRUE(QTest::qWaitFor([&] { return task.listenerForTest() != nullptr; }, 5000));
    EXPECT_FALSE(task.bindRetryTimerForTest()->isActive());
    Sender("127.0.0.1", quint16(config.syslogPort())).send("user=alice ip=10.0.0.5 logged on");
    ASSERT_TRUE(waitFor(spy, 1));

    // An address that is no address of this machine cannot be bound either
    // (nothing is sent there).
    const int failures = log().count(unable);
    config.setSyslogAddr(QStringLiteral("::2"));
    SyslogTask foreign(config);
    foreign.openSocket();
    EXPECT_EQ(foreign.listenerForTest(), nullptr);
    EXPECT_TRUE(foreign.bindRetryTimerForTest()->isActive());
    EXPECT_EQ(log().count(unable), failures + 1);
    foreign.closeSocket();

    // An address that does not parse never binds.
    config.setSyslogAddr(QStringLiteral("not-an-address"));
    SyslogTask unparsable(config);
    unparsable.openSocket();
    EXPECT_EQ(unparsable.listenerForTest(), nullptr);
    EXPECT_TRUE(log().contains(QStringLiteral(": Unable to bind UDP socket: \"not-an-address\" is not an IP address")));
    unparsable.closeSocket();
    EXPECT_FALSE(unparsable.bindRetryTimerForTest()->isActive());

    config.setSyslogAddr(QStringLiteral("127.0.0.1"));
    config.setSyslogPort(70000);
    SyslogTask outOfRange(config);
    outOfRange.openSocket();
    EXPECT_EQ(outOfRange.listenerForTest(), nullptr);
    EXPECT_TRUE(log().contains(QStringLiteral(": Unable to bind UDP socket: port 70000 is out of range")));
    outOfRange.closeSocket();
}

} // namespace
