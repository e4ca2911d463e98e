// Real ICMP echoes inside the test's own network namespace: 127.0.0.0/8 and
// ::1 answer, the silent range never does, the unreachable ranges and the
// ICMP-error range fail at once (see tests/support/networknamespace.h).
#include "common/exception.h"
#include "logoff/icmpsocket.h"
#include "logoff/iprobeapi.h"
#include "logoff/pingprobe.h"
#include "logoff/registerprobe.h"
#include "probetestsupport.h"

#include <QTest>
#include <cerrno>
#include <linux/capability.h>
#include <memory>
#include <sys/syscall.h>
#include <unistd.h>

using logoffCollector::IcmpSocket;
using logoffCollector::IProbeApi;
using logoffCollector::PingProbe;
using probetest::logonAt;
using probetest::ProbeRecorder;

namespace {

// Long enough that only an error can end an attempt before a bounded wait does.
constexpr quint32 LongTimeoutMs = 60000;

class PingProbeTest : public ::testing::TestWithParam<IcmpSocket::Allowed>
{
protected:
    void SetUp() override
    {
        SKIP_WITHOUT_NETNS();
        if (GetParam() == IcmpSocket::Allowed::DatagramOnly) {
            // Per namespace: lets this (root) process open ICMP datagram sockets.
            groupRange = std::make_unique<testsupport::SysctlOverride>(QStringLiteral("net/ipv4/ping_group_range"),
                                                                       QStringLiteral("0 2147483647"));
            ASSERT_TRUE(groupRange->ok());
        }
        IcmpSocket::setAllowedForTest(GetParam());
    }
    void TearDown() override
    {
        IcmpSocket::setAllowedForTest(IcmpSocket::Allowed::Any);
        IcmpSocket::failSendsForTest(0);
    }

    probetest::LogCapture log;
    std::unique_ptr<testsupport::SysctlOverride> groupRange;
};

TEST_P(PingProbeTest, OutcomesByAddress)
{
    struct Case
    {
        const char *address;
        quint32 timeoutMs;
        const char *outcome;
        int failedAttempts; // "ICMP failed" lines
    };
    const Case cases[] = {
        {"127.0.0.1", LongTimeoutMs, "success 7", 0},
        {"127.31.4.5", LongTimeoutMs, "success 7", 0},
        {"::1", LongTimeoutMs, "success 7", 0},
        {"::ffff:127.0.0.1", LongTimeoutMs, "success 7", 0}, // a mapped address is pinged as IPv4
        {"10.202.0.9", 40, "failure 7 ping", 4},             // never answers: four echoes
        {"10.203.0.9", LongTimeoutMs, "failure 7 ping", 4},  // no route: each send fails at once
        {"fd00:203::9", LongTimeoutMs, "failure 7 ping", 4},
        {"fd00:202::9", LongTimeoutMs, "failure 7 ping", 4}, // an ICMP error ends each echo at once
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.address);
        PingProbe probe(c.timeoutMs, QStringLiteral("dc"), 7);
        ProbeRecorder recorder(&probe);
        probe.probe(logonAt(QString::fromLatin1(c.address)));
        EXPECT_TRUE(probe.isBusy());
        ASSERT_TRUE(recorder.waitCompleted());
        EXPECT_EQ(recorder.events, (QStringList{QString::fromLatin1(c.outcome), QStringLiteral("completed 7")}));
        EXPECT_FALSE(probe.isBusy());
        EXPECT_EQ(probe.attemptsLeftForTest(), PingProbe::Attempts);
        const QString address = QHostAddress(QString::fromLatin1(c.address)).toString();
        EXPECT_EQ(log.count(QStringLiteral("for %1\r\n").arg(address)), c.failedAttempts) << log.text().toStdString();
    }
    const QString text = log.text();
    EXPECT_TRUE(text.contains(QStringLiteral("dc: ICMP failed : Connection timed out (error: 110) for 10.202.0.9")));
    EXPECT_TRUE(text.contains(QStringLiteral("dc: ICMP failed : No route to host (error: 113) for 10.203.0.9")));
    EXPECT_TRUE(text.contains(QStringLiteral("for fd00:202::9")));
    EXPECT_TRUE(text.contains(GetParam() == IcmpSocket::Allowed::RawOnly
                                  ? QStringLiteral("ICMP v4 echoes use a raw socket")
                                  : QStringLiteral("ICMP v4 echoes use an unprivileged datagram socket")));
}

// A host that answers only from the third echo on is present.
TEST_P(PingProbeTest, AnswerToTheThirdEchoIsSuccess)
{
    const QString address = QStringLiteral("10.202.0.33");
    PingProbe probe(400, QStringLiteral("dc"), 2);
    ProbeRecorder recorder(&probe);
    probe.probe(logonAt(address));
    // The second echo is on its way (and lost): the host comes up before the third.
    ASSERT_TRUE(QTest::qWaitFor([&] { return probe.attemptsLeftForTest() == 3; }, 20000));
    QString output;
    ASSERT_TRUE(testsupport::runCommand(QStringLiteral("ip addr add %1/32 dev lo").arg(address), &output))
        << output.toStdString();
    ASSERT_TRUE(recorder.waitCompleted());
    testsupport::runCommand(QStringLiteral("ip addr del %1/32 dev lo").arg(address));
    EXPECT_EQ(recorder.events, (QStringList{QStringLiteral("success 2"), QStringLiteral("completed 2")}));
    EXPECT_EQ(log.count(QStringLiteral("ICMP failed : Connection timed out (error: 110) for 10.202.0.33")), 2);
    EXPECT_EQ(probe.attemptsLeftForTest(), PingProbe::Attempts);
}

// Many probes of one thread share one socket per family; every answer reaches its own probe.
TEST_P(PingProbeTest, ProbesShareOneSocketAndGetTheirOwnAnswers)
{
    std::vector<std::unique_ptr<PingProbe>> probes;
    std::vector<std::unique_ptr<ProbeRecorder>> recorders;
    const int before = IcmpSocket::openCount();
    for (unsigned int i = 0; i < 60; ++i) {
        // Every fifth one silent, the others answering from distinct loopback addresses; some IPv6.
        const QString address = i % 5 == 4   ? QStringLiteral("10.202.1.%1").arg(i)
                                : i % 5 == 3 ? QStringLiteral("::1")
                                             : QStringLiteral("127.0.%1.%2").arg(i / 10).arg(i + 1);
        probes.push_back(std::make_unique<PingProbe>(300, QStringLiteral("dc"), i));
        recorders.push_back(std::make_unique<ProbeRecorder>(probes.back().get()));
        probes.back()->probe(logonAt(address));
    }
    EXPECT_EQ(IcmpSocket::openCount() - before, 2);
    for (unsigned int i = 0; i < 60; ++i) {
        ASSERT_TRUE(QTest::qWaitFor([&] { return recorders[i]->events.size() == 2; }, 20000)) << i;
        const QString expected =
            i % 5 == 4 ? QStringLiteral("failure %1 ping").arg(i) : QStringLiteral("success %1").arg(i);
        EXPECT_EQ(recorders[i]->events.value(0), expected);
    }
    probes.clear();
    EXPECT_EQ(IcmpSocket::openCount(), before);
}

TEST_P(PingProbeTest, CancelNullLogonAndSendFailures)
{
    PingProbe probe(LongTimeoutMs, QStringLiteral("dc"), 1);
    ProbeRecorder recorder(&probe);

    probe.probe(common::ShdLogon());
    EXPECT_FALSE(probe.isBusy());

    // A null address goes to the IPv6 echo, which has no destination.
    try {
        probe.probe(logonAt(QString()));
        ADD_FAILURE() << "no exception";
    } catch (const common::Exception &e) {
        EXPECT_STREQ(e.what(), "Destination socket invalid: Destination address required (error: 89)");
    }
    EXPECT_FALSE(probe.isBusy());

    probe.probe(logonAt(QStringLiteral("10.202.0.40")));
    const QSharedPointer<IcmpSocket> socket = IcmpSocket::forThread(IcmpSocket::Family::V4);
    EXPECT_EQ(socket->pendingCount(), 1);
    probe.cancel();
    EXPECT_FALSE(probe.isBusy());
    EXPECT_TRUE(probe.currentLogon().isNull());
    EXPECT_EQ(socket->pendingCount(), 0);

    // A first send that fails for a local reason raises and leaves nothing behind.
    IcmpSocket::failSendsForTest(ENOBUFS);
    try {
        probe.probe(logonAt(QStringLiteral("127.0.0.1")));
        ADD_FAILURE() << "no exception";
    } catch (const common::Exception &e) {
        EXPECT_STREQ(e.what(), "Send echo v4 failed : No buffer space available (error: 105)");
    }
    EXPECT_FALSE(probe.isBusy());
    EXPECT_EQ(socket->pendingCount(), 0);

    // A retry that cannot be sent is the last failed attempt.
    PingProbe quick(30, QStringLiteral("dc"), 1);
    ProbeRecorder quickRecorder(&quick);
    IcmpSocket::failSendsForTest(ENOBUFS, 1);
    quick.probe(logonAt(QStringLiteral("10.202.0.42")));
    ASSERT_TRUE(quickRecorder.waitCompleted());
    EXPECT_EQ(quickRecorder.events, (QStringList{QStringLiteral("failure 1 ping"), QStringLiteral("completed 1")}));
    EXPECT_EQ(quick.attemptsLeftForTest(), PingProbe::Attempts);
    EXPECT_EQ(socket->pendingCount(), 0);
    EXPECT_TRUE(log.text().contains(QStringLiteral(
        "dc: Ping failed for 10.202.0.42: Send echo v4 failed : No buffer space available (error: 105)")));
    EXPECT_TRUE(recorder.events.isEmpty());
}

INSTANTIATE_TEST_SUITE_P(Kinds, PingProbeTest,
                         ::testing::Values(IcmpSocket::Allowed::RawOnly, IcmpSocket::Allowed::DatagramOnly),
                         [](const ::testing::TestParamInfo<IcmpSocket::Allowed> &info) {
                             return info.param == IcmpSocket::Allowed::RawOnly ? "Raw" : "Datagram";
                         });

// Switches CAP_NET_RAW off in the calling thread's effective set (capabilities are per thread).
class WithoutRawCapability
{
public:
    WithoutRawCapability()
    {
        header.version = _LINUX_CAPABILITY_VERSION_3;
        ::syscall(SYS_capget, &header, saved);
        __user_cap_data_struct reduced[2] = {saved[0], saved[1]};
        reduced[CAP_NET_RAW / 32].effective &= ~(1u << (CAP_NET_RAW % 32));
        ok = ::syscall(SYS_capset, &header, reduced) == 0;
    }
    ~WithoutRawCapability() { ::syscall(SYS_capset, &header, saved); }
    bool ok = false;

private:
    __user_cap_header_struct header{};
    __user_cap_data_struct saved[2]{};
};

TEST(IcmpSocketTest, ChoosesTheKindThatOpensAndSaysWhenNoneDoes)
{
    SKIP_WITHOUT_NETNS();
    probetest::LogCapture log;
    IcmpSocket::setAllowedForTest(IcmpSocket::Allowed::Any);
    // ping_group_range "1 0" (the default): no datagram socket, so raw.
    testsupport::SysctlOverride closed(QStringLiteral("net/ipv4/ping_group_range"), QStringLiteral("1 0"));
    EXPECT_EQ(IcmpSocket::forThread(IcmpSocket::Family::V4)->kind(), IcmpSocket::Kind::Raw);
    {
        testsupport::SysctlOverride open(QStringLiteral("net/ipv4/ping_group_range"), QStringLiteral("0 2147483647"));
        EXPECT_EQ(IcmpSocket::forThread(IcmpSocket::Family::V6)->kind(), IcmpSocket::Kind::Datagram);
    }
    WithoutRawCapability dropped;
    ASSERT_TRUE(dropped.ok);
    PingProbe probe(100, QStringLiteral("dc"), 0);
    try {
        probe.probe(logonAt(QStringLiteral("127.0.0.1")));
        ADD_FAILURE() << "no exception";
    } catch (const common::Exception &e) {
        EXPECT_STREQ(e.what(), "Create ICMP v4 failed : Operation not permitted (error: 1)");
    }
    EXPECT_FALSE(probe.isBusy());
    const QString text = log.text();
    EXPECT_TRUE(text.contains(QStringLiteral("ICMP v4 echoes use a raw socket")));
    EXPECT_TRUE(text.contains(QStringLiteral("ICMP v6 echoes use an unprivileged datagram socket")));
    EXPECT_TRUE(text.contains(QStringLiteral("ICMP v4: no unprivileged datagram socket (Permission denied (error: 13)) "
                                             "and no raw socket (Operation not permitted (error: 1)); the service "
                                             "needs CAP_NET_RAW or a group inside net.ipv4.ping_group_range")));
}

TEST(ProbeFactoryTest, ExactlyPingMakesAPingProbe)
{
    const struct
    {
        const char *method;
        bool ping;
    } cases[] = {{"ping", true}, {"Ping", false}, {"", false}, {"register", false}, {"ping ", false}};
    for (const auto &c : cases) {
        std::unique_ptr<IProbeApi> probe(
            IProbeApi::create(QString::fromLatin1(c.method), 100, QStringLiteral("dc"), 3));
        EXPECT_EQ(qobject_cast<PingProbe *>(probe.get()) != nullptr, c.ping) << c.method;
        EXPECT_EQ(qobject_cast<logoffCollector::RegisterProbe *>(probe.get()) != nullptr, !c.ping) << c.method;
        EXPECT_EQ(probe->workerIndex(), 3u);
    }
}

} // namespace
