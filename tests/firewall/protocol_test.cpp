#include "common/clock.h"
#include "firewall/protocol.h"
#include "log/applicationdebug.h"
#include "settings/settings.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <ostream>
#include <vector>

using UtmConnect::AgentMessage;
using UtmConnect::MessageFramer;
using UtmConnect::Protocol;
using ProtocolException = UtmConnect::Client::ProtocolException;

namespace {

// ------------------------------------------------------------------ helpers

IniFile ini(const QString &text)
{
    IniFile file;
    file.parse(text);
    return file;
}

// What a parser made of a message: the rules' text forms, or the error.
struct Outcome
{
    std::vector<std::string> rules;
    int code = -1;
    std::string error;

    bool operator==(const Outcome &o) const { return rules == o.rules && code == o.code && error == o.error; }
};

std::ostream &operator<<(std::ostream &os, const Outcome &o)
{
    if (o.code >= 0)
        return os << "error " << o.code << " \"" << o.error << "\"";
    os << "rules {";
    for (const std::string &r : o.rules)
        os << " [" << r << "]";
    return os << " }";
}

Outcome rules(std::initializer_list<const char *> texts)
{
    Outcome o;
    for (const char *t : texts)
        o.rules.push_back(t);
    return o;
}

Outcome error(int code, const char *text)
{
    Outcome o;
    o.code = code;
    o.error = text;
    return o;
}

template <typename F> Outcome outcomeOf(F parse)
{
    Outcome o;
    try {
        parse(o);
    } catch (const ProtocolException &e) {
        o.rules.clear();
        o.code = e.code();
        o.error = e.what();
    }
    return o;
}

Outcome initialList(const QString &text)
{
    return outcomeOf([&](Outcome &o) {
        for (const common::UserRule &rule : Protocol::readInitialUserList(ini(text)))
            o.rules.push_back(rule.toString().toStdString());
    });
}

Outcome delta(const QString &text)
{
    return outcomeOf([&](Outcome &o) {
        for (const common::NewUserRule &rule : Protocol::readUserDelta(ini(text)))
            o.rules.push_back((rule.kind == common::NewUserRule::Add ? "add " : "del ") +
                              rule.toString().toStdString());
    });
}

// The firewall's view of what the agent sends: the same framing and reader.
struct Received
{
    IniFile message;
    QString text;
};

Received receive(const AgentMessage &sent)
{
    MessageFramer framer;
    framer.append(sent.frame());
    Received r;
    EXPECT_TRUE(framer.takeMessage(&r.text));
    EXPECT_FALSE(framer.hasPartialMessage());
    r.message.parse(r.text);
    return r;
}

common::Logon logon(const char *user, const char *ip, const QDateTime &time, const char *domain = "CORP",
                    const char *fqdn = "corp.example.com")
{
    return common::Logon(QString::fromUtf8(user), QHostAddress(QString::fromLatin1(ip)), time, QString(),
                         QString::fromUtf8(domain), QString(), QString::fromUtf8(fqdn));
}

std::vector<std::string> framesOf(MessageFramer &framer)
{
    std::vector<std::string> out;
    QString text;
    while (framer.takeMessage(&text))
        out.push_back(text.toStdString());
    return out;
}

// ------------------------------------------------------------------ framing

TEST(MessageFramer, CutsTheStreamIntoMessages)
{
    const struct
    {
        const char *name;
        QByteArray bytes;
        std::vector<std::string> messages;
        bool partialLeft;
    } cases[] = {
        {"one", "[UTM]\r\nversion=3\r\n.\r\n", {"[UTM]\nversion=3"}, false},
        {"two in one read",
         "[Ack]\r\nentries=1\r\n.\r\n[Keep-Alive]\r\n.\r\n",
         {"[Ack]\nentries=1", "[Keep-Alive]"},
         false},
        {"dot with bare LF is a line", "[a]\r\n.\n.\r\n", {"[a]\n."}, false},
        {"dot with blank is a line", "[a]\r\n. \r\n.\r\n", {"[a]\n."}, false},
        {"lines trimmed", "  [a]  \r\n\tk = v \n.\r\n", {"[a]\nk = v"}, false},
        {"empty lines kept", "[a]\r\n\r\nk=v\r\n.\r\n", {"[a]\n\nk=v"}, false},
        {"terminator alone is no message", ".\r\n.\r\n\r\n.\r\n[a]\r\n.\r\n", {"[a]"}, false},
        {"unfinished line waits", "[a]\r\n.\r\n[b]\r\nk=", {"[a]"}, true},
        {"unfinished message waits", "[b]\r\nk=v\r\n", {}, true},
        {"utf-8 decoded", "[a]\r\nuser=jos\xc3\xa9\r\n.\r\n", {"[a]\nuser=jos\xc3\xa9"}, false},
    };
    for (const auto &c : cases) {
        MessageFramer framer;
        framer.append(c.bytes);
        EXPECT_EQ(framesOf(framer), c.messages) << c.name;
        EXPECT_EQ(framer.hasPartialMessage(), c.partialLeft) << c.name;
    }
}

TEST(MessageFramer, AnySplitOfTheStreamGivesTheSameMessages)
{
    const QByteArray stream = "[UTM]\r\nversion=2\r\nserial=S1\r\n.\r\n[Ack]\r\nentries=0\r\n.\r\n";
    for (int cut = 0; cut <= stream.size(); ++cut) {
        MessageFramer framer;
        std::vector<std::string> got;
        framer.append(stream.left(cut));
        for (const std::string &m : framesOf(framer))
            got.push_back(m);
        framer.append(stream.mid(cut));
        for (const std::string &m : framesOf(framer))
            got.push_back(m);
        EXPECT_EQ(got, (std::vector<std::string>{"[UTM]\nversion=2\nserial=S1", "[Ack]\nentries=0"})) << cut;
    }
}

TEST(MessageFramer, BoundsALineWithoutEnd)
{
    MessageFramer framer;
    QString text;
    framer.append("[a]\r\n.\r\n");
    const QByteArray chunk(64 * 1024, 'x');
    int appended = 0;
    ASSERT_TRUE(framer.takeMessage(&text)); // the complete message first
    try {
        for (; appended < 32; ++appended) {
            framer.append(chunk);
            EXPECT_FALSE(framer.takeMessage(&text));
        }
        FAIL() << "no error after " << appended << " chunks";
    } catch (const ProtocolException &e) {
        EXPECT_EQ(e.code(), ProtocolException::ProtocolError);
        EXPECT_EQ(appended, MessageFramer::MaxMessageBytes / chunk.size());
    }
    // Reset: the next message goes through.
    EXPECT_FALSE(framer.hasPartialMessage());
    framer.append("[b]\r\n.\r\n");
    ASSERT_TRUE(framer.takeMessage(&text));
    EXPECT_EQ(text, QStringLiteral("[b]"));
}

TEST(MessageFramer, BoundsAMessageWithoutTerminator)
{
    QByteArray lines = "[a]\r\n";
    for (int i = 1; i < MessageFramer::MaxMessageLines; ++i)
        lines += "k=v\r\n";
    {
        MessageFramer framer;
        framer.append(lines + ".\r\n");
        QString text;
        ASSERT_TRUE(framer.takeMessage(&text)); // exactly at the limit
        EXPECT_EQ(ini(text).keyLineCount(), MessageFramer::MaxMessageLines - 1);
    }
    {
        MessageFramer framer;
        framer.append(lines + "k=v\r\n.\r\n");
        QString text;
        EXPECT_THROW(framer.takeMessage(&text), ProtocolException);
    }
    {
        // Long lines: the byte limit comes first.
        MessageFramer framer;
        const QByteArray line = "k=" + QByteArray(1000, 'v') + "\r\n";
        QString text;
        bool thrown = false;
        for (int i = 0; i < 2000 && !thrown; ++i) {
            framer.append(line);
            try {
                framer.takeMessage(&text);
            } catch (const ProtocolException &e) {
                thrown = true;
                EXPECT_NE(QString::fromLatin1(e.what()).indexOf(QStringLiteral("bytes")), -1) << e.what();
                EXPECT_GT(i, 1000);
            }
        }
        EXPECT_TRUE(thrown);
    }
}

TEST(AgentFraming, LinesJoinedByCrLfAndEndedByADotLine)
{
    const AgentMessage m{{QStringLiteral("[Ack]"), QStringLiteral("entries=2")}, -1};
    EXPECT_EQ(m.frame(), QByteArray("[Ack]\r\nentries=2\r\n.\r\n"));
    const AgentMessage alone{{QStringLiteral("[Alive]")}, -1};
    EXPECT_EQ(alone.frame(), QByteArray("[Alive]\r\n.\r\n"));
    EXPECT_EQ(Protocol::dump(QStringLiteral("[Ack]\r\nentries=2\r\n.\r\n")),
              QStringLiteral("    [Ack]\r\n    entries=2"));
}

// ---------------------------------------------------------------- handshake

TEST(Protocol, Handshake)
{
    const auto h = Protocol::readHandshake(
        ini(QStringLiteral("[UTM]\nversion=3\nmodel=FW-200\nfirmware=12.1 # build\nserial=SN123")));
    EXPECT_EQ(h.protocolVersion, 3);
    EXPECT_EQ(h.model, QStringLiteral("FW-200"));
    EXPECT_EQ(h.firmware, QStringLiteral("12.1"));
    EXPECT_EQ(h.serial, QStringLiteral("SN123"));

    const struct
    {
        const char *text;
        int code; // -1: accepted
    } cases[] = {
        {"[UTM]\nversion=2", -1},
        {"[UTM]\nversion=4", 2},
        {"[UTM]\nversion=-1", 2},
        {"[UTM]\nversion=three", 2},
        {"[UTM]\nserial=x", 2},
        {"[utm]\nversion=3", 1},
        {"[UTM]\nversion=3\n[Other]\nx=1", 1},
        {"[Configuration]\nController=10.0.0.1", 1},
        {"no section at all", 1},
    };
    for (const auto &c : cases) {
        int code = -1;
        try {
            Protocol::readHandshake(ini(QString::fromLatin1(c.text)));
        } catch (const ProtocolException &e) {
            code = e.code();
            if (code == 1)
                EXPECT_STREQ(e.what(), "Expected a handshake message but got something else");
            else
                EXPECT_STREQ(e.what(), "UTM protocol version not managed");
        }
        EXPECT_EQ(code, c.code) << c.text;
    }
}

TEST(Protocol, GoodbyeReasons)
{
    EXPECT_EQ(ProtocolException::reasonFor(0), QStringLiteral("Network error"));
    EXPECT_EQ(ProtocolException::reasonFor(1), QStringLiteral("Protocol error"));
    EXPECT_EQ(ProtocolException::reasonFor(2), QStringLiteral("Protocol version unsupported (expected 2 or 3)"));
    EXPECT_EQ(ProtocolException::reasonFor(3), QStringLiteral("Bad ack"));
    const ProtocolException e(2, QStringLiteral("UTM protocol version not managed"));
    EXPECT_EQ(e.className(), QStringLiteral("Client::ProtocolException"));

    // The Goodbye a version-4 firewall receives, as it reads it.
    const Received r = receive(Protocol::goodbyeMessage(e.reason()));
    EXPECT_TRUE(Protocol::isGoodbye(r.message));
    EXPECT_EQ(Protocol::goodbyeError(r.message), QStringLiteral("Protocol version unsupported (expected 2 or 3)"));
    EXPECT_EQ(r.text, QStringLiteral("[Goodbye]\nerror=\"Protocol version unsupported (expected 2 or 3)\""));
}

TEST(Protocol, MessageTypesRespectCase)
{
    EXPECT_TRUE(Protocol::isKeepAlive(ini(QStringLiteral("[Keep-Alive]"))));
    EXPECT_FALSE(Protocol::isKeepAlive(ini(QStringLiteral("[keep-alive]"))));
    EXPECT_FALSE(Protocol::isKeepAlive(ini(QStringLiteral("[Keep-Alive]\n[Ack]"))));
    EXPECT_THROW(Protocol::checkKeepAlive(ini(QStringLiteral("[keep-alive]"))), ProtocolException);
    EXPECT_NO_THROW(Protocol::checkKeepAlive(ini(QStringLiteral("[Keep-Alive]"))));
    EXPECT_EQ(Protocol::entryCount(ini(QStringLiteral("[Network]\nuser=a\nid=1\n#c\n[Network_2]\nuser=b"))), 3);
}

TEST(Protocol, AckCheck)
{
    const QString received = QStringLiteral("[Network]\nuser=bob");
    const struct
    {
        const char *text;
        int expected;
        int code;
        const char *error;
    } cases[] = {
        {"[Ack]\nentries=2", 2, -1, ""},
        {"[Ack]\nentries=0", 0, -1, ""},
        {"[Ack]\nentries=1", 2, 3, "Not the good ack"},
        {"[Ack]", 0, 3, "Not the good ack"},
        {"[Ack]\nentries=x", 0, 3, "Not the good ack"},
        {"[ack]\nentries=2", 2, 1, "Expected an ack message but got something else: [Network]\nuser=bob"},
        {"[Network]\nuser=bob", 2, 1, "Expected an ack message but got something else: [Network]\nuser=bob"},
    };
    for (const auto &c : cases) {
        Outcome got =
            outcomeOf([&](Outcome &) { Protocol::checkAck(ini(QString::fromLatin1(c.text)), received, c.expected); });
        EXPECT_EQ(got, c.code < 0 ? Outcome() : error(c.code, c.error)) << c.text;
    }
}

// ------------------------------------------------------------ configuration

settings::ADConfiguration configure(const char *text,
                                    const settings::ADConfiguration &stored = settings::ADConfiguration(),
                                    QString *adName = nullptr)
{
    return Protocol::readConfiguration(ini(QString::fromLatin1(text)), stored, QStringLiteral("SN1"),
                                       QDateTime(QDate(2024, 3, 1), QTime(8, 0)), adName);
}

TEST(Protocol, ConfigurationControllers)
{
    QString adName;
    const auto config = configure("[Configuration]\nController=10.0.0.9\nController_2=10.0.0.1\n"
                                  "Controller_4=10.0.0.4\nLogonTime=3600",
                                  settings::ADConfiguration(), &adName);
    EXPECT_EQ(config.servers(), (QStringList{QStringLiteral("10.0.0.9"), QStringLiteral("10.0.0.1")}));
    EXPECT_EQ(adName, QStringLiteral("10.0.0.1_10.0.0.9"));
    EXPECT_EQ(config.adName(), adName);

    const struct
    {
        const char *text;
        const char *error;
    } bad[] = {
        {"[Configuration]\nController=dc1.corp.example.com", "Controller should be an IP address"},
        {"[Configuration]\nController=10.0.0.1\nController_2=10.0.0.300", "Controller should be an IP address"},
        {"[Configuration]\nController=\nController_2=10.0.0.1", "No domain controller received"},
        {"[Configuration]\nLogonTime=10", "No domain controller received"},
        {"[configuration]\nController=10.0.0.1", "Expected a configuration message but got something else"},
        {"[UTM]\nversion=3", "Expected a configuration message but got something else"},
    };
    for (const auto &c : bad) {
        const Outcome got = outcomeOf([&](Outcome &) { configure(c.text); });
        EXPECT_EQ(got, error(1, c.error)) << c.text;
    }
}

TEST(Protocol, ConfigurationFieldsAndDefaults)
{
    const auto fresh = configure("[Configuration]\nController=::1\nLogonTime=7200");
    EXPECT_TRUE(fresh.isValid());
    EXPECT_EQ(fresh.name(), QStringLiteral("SN1"));
    EXPECT_EQ(fresh.firewallName(), QStringLiteral("SN1"));
    EXPECT_TRUE(fresh.enabled());
    EXPECT_EQ(fresh.maxLogonTime(), 7200u);
    EXPECT_TRUE(fresh.ignoreList().isEmpty()); // replaced whole, even by nothing
    EXPECT_FALSE(fresh.syslogState());
    EXPECT_EQ(fresh.syslogPort(), 514u);
    EXPECT_EQ(fresh.syslogAddr(), QStringLiteral("any"));
    EXPECT_FALSE(fresh.probeEnabled());
    EXPECT_TRUE(fresh.dnsEnabled());
    EXPECT_EQ(fresh.collectInterval(), 5u); // from the defaults
    EXPECT_EQ(fresh.cacheTimeout(), 86400u);
    EXPECT_EQ(fresh.probeTimeout(), 600u); // Probe off: ProbeTime not read
    EXPECT_EQ(fresh.lastUtmConnection(), QDateTime(QDate(2024, 3, 1), QTime(8, 0)));

    settings::ADConfiguration stored = Protocol::defaultConfiguration(QStringLiteral("SN1"));
    stored.setCollectInterval(17);
    stored.setApiName(QStringLiteral("Mock"));
    stored.setMethod(settings::ADConfiguration::ProbeRegister);
    stored.setIgnoreList({QStringLiteral("old")});
    const auto full = configure("[Configuration]\nController=10.0.0.1\nIgnore=svc\nIgnore_2=Administrator\n"
                                "Ignore_4=lost\nSyslogState=on\nSyslogPort=1514\nSyslogAddr=ANY\n"
                                "SyslogAddrPattern=\"ip=(\\S+) # x\"\nSyslogUserPattern=u=(\\w+)\n"
                                "SyslogMsgPattern=Logon\nLogonTime=28800\nProbe=1\nFqdn=corp.example.com\n"
                                "Netbios=CORP\nDnsEnabled=false\nProbeTime=300\nProbeMethod=Ping",
                                stored);
    EXPECT_EQ(full.ignoreList(), (QStringList{QStringLiteral("svc"), QStringLiteral("Administrator")}));
    EXPECT_TRUE(full.syslogState());
    EXPECT_EQ(full.syslogPort(), 1514u);
    EXPECT_EQ(full.syslogAddr(), QStringLiteral("any"));
    EXPECT_EQ(full.syslogAddrPattern(), QStringLiteral("ip=(\\S+) # x"));
    EXPECT_EQ(full.syslogUserPattern(), QStringLiteral("u=(\\w+)"));
    EXPECT_EQ(full.syslogMsgPattern(), QStringLiteral("Logon"));
    EXPECT_TRUE(full.probeEnabled());
    EXPECT_EQ(full.probeTimeout(), 300u);
    EXPECT_EQ(full.method(), settings::ADConfiguration::ProbeRegister); // "Ping" is not "ping"
    EXPECT_EQ(full.fqdn(), QStringLiteral("corp.example.com"));
    EXPECT_EQ(full.netbios(), QStringLiteral("CORP"));
    EXPECT_FALSE(full.dnsEnabled());
    EXPECT_EQ(full.collectInterval(), 17u); // kept from the stored configuration
    EXPECT_EQ(full.apiName(), QStringLiteral("Mock"));

    EXPECT_EQ(configure("[Configuration]\nController=10.0.0.1\nLogonTime=1\nProbe=true\nProbeMethod=registery", stored)
                  .method(),
              settings::ADConfiguration::ProbeRegister);
    stored.setMethod(settings::ADConfiguration::ProbeRegister);
    EXPECT_EQ(
        configure("[Configuration]\nController=10.0.0.1\nLogonTime=1\nProbe=true\nProbeMethod=ping", stored).method(),
        settings::ADConfiguration::ProbePing);
    EXPECT_EQ(configure("[Configuration]\nController=10.0.0.1\nLogonTime=1\nProbe=true\nProbeMethod=register", stored)
                  .method(),
              settings::ADConfiguration::ProbeRegister);

    // A missing LogonTime makes the configuration invalid; a negative one does not wrap around.
    EXPECT_FALSE(configure("[Configuration]\nController=10.0.0.1").isValid());
    EXPECT_EQ(configure("[Configuration]\nController=10.0.0.1\nLogonTime=-5").maxLogonTime(), 0u);
    EXPECT_EQ(configure("[Configuration]\nController=10.0.0.1\nLogonTime=1\nSyslogPort=-1").syslogPort(), 514u);
}

// Settings in a temporary folder, the log beside them.
class ProtocolWithSettings : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        settings::Settings::setDirectoryForTest(dir.path());
        ApplicationDebug::create(dir.filePath(QStringLiteral("log")));
        common::Clock::setNowForTest(QDateTime(QDate(2024, 3, 1), QTime(9, 0)));
    }
    void TearDown() override
    {
        common::Clock::resetForTest();
        settings::Settings::destroy();
        ApplicationDebug::destroy();
        settings::Settings::setDirectoryForTest(QString());
    }
    QString logText() const
    {
        QFile file(dir.filePath(QStringLiteral("log/protocol_test.log")));
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }

    QTemporaryDir dir;
};

TEST_F(ProtocolWithSettings, ConfigurationIsStoredAndResultLinesTestTheControllers)
{
    settings::Settings *s = settings::Settings::instance();
    QSignalSpy added(s, &settings::Settings::adConfigAdded);
    const QString text = QStringLiteral("[Configuration]\nController=10.0.0.2\nController_2=10.0.0.1\nLogonTime=600");

    const auto update = Protocol::storeConfiguration(ini(text), QStringLiteral("SN9"), QStringLiteral("127.0.0.1"));
    EXPECT_FALSE(update.previous.isValid());
    EXPECT_EQ(update.adName, QStringLiteral("10.0.0.1_10.0.0.2"));
    ASSERT_EQ(added.count(), 1);
    const auto stored = s->adConfiguration(QStringLiteral("SN9"));
    EXPECT_TRUE(stored.isValid());
    EXPECT_EQ(stored.maxLogonTime(), 600u);
    EXPECT_EQ(stored.lastUtmConnection(), common::Clock::now());

    // No event source for an unknown ApiName: every controller is "KO".
    settings::ADConfiguration withApi = stored;
    withApi.setApiName(QStringLiteral("NoSuchApi"));
    const Received ko = receive(Protocol::resultMessage(Protocol::testControllers(withApi, false)));
    EXPECT_EQ(ko.text, QStringLiteral("[Result]\nController=KO\nController_2=KO"));
    EXPECT_TRUE(logText().contains(QStringLiteral("no event source")));

    withApi.setApiName(QStringLiteral("Mock"));
    const AgentMessage ok = Protocol::resultMessage(Protocol::testControllers(withApi, false));
    EXPECT_EQ(ok.expectedEntries, 2);
    const Received okRead = receive(ok);
    EXPECT_EQ(okRead.message.value(QStringLiteral("Result"), QStringLiteral("Controller_2")), QStringLiteral("OK"));
    EXPECT_EQ(Protocol::entryCount(okRead.message), 2);

    // Syslog mode as stored before the message: no test, one "OK" per controller just sent.
    withApi.setSyslogState(true);
    withApi.setApiName(QStringLiteral("NoSuchApi"));
    s->setADConfiguration(withApi);
    const QString three = QStringLiteral(
        "[Configuration]\nController=10.0.0.5\nController_2=10.0.0.6\nController_3=10.0.0.7\nLogonTime=600");
    const auto again = Protocol::storeConfiguration(ini(three), QStringLiteral("SN9"));
    EXPECT_TRUE(again.previous.syslogState());
    EXPECT_FALSE(again.current.syslogState());
    EXPECT_EQ(receive(Protocol::resultMessage(again)).text,
              QStringLiteral("[Result]\nController=OK\nController_2=OK\nController_3=OK"));
}

TEST_F(ProtocolWithSettings, ConfigurationWithoutLogonTimeIsLoggedNotStored)
{
    settings::Settings *s = settings::Settings::instance();
    const auto update =
        Protocol::storeConfiguration(ini(QStringLiteral("[Configuration]\nController=10.0.0.1")), QStringLiteral("X"));
    EXPECT_FALSE(update.current.isValid());
    EXPECT_FALSE(s->adConfiguration(QStringLiteral("X")).isValid());
    EXPECT_TRUE(logText().contains(QStringLiteral("configuration of X not stored")));
}

TEST_F(ProtocolWithSettings, LoginReadsMaxLogonTimeOfTheFirewall)
{
    settings::ADConfiguration config = Protocol::defaultConfiguration(QStringLiteral("SN2"));
    config.setMaxLogonTime(1000);
    settings::Settings::instance()->setADConfiguration(config);
    const QDateTime now = common::Clock::now();
    const AgentMessage m =
        Protocol::loginMessage({logon("alice", "10.0.0.5", now.addSecs(-400))}, false, 2, QStringLiteral("SN2"));
    EXPECT_EQ(m.lines, (QStringList{QStringLiteral("[Login]"), QStringLiteral("CORP\\alice=600@10.0.0.5")}));

    const AgentMessage bad = Protocol::loginMessage({logon("al ice", "10.0.0.5", now)}, true, 2, QStringLiteral("SN2"),
                                                    QStringLiteral("10.1.1.1"));
    EXPECT_EQ(bad.lines, QStringList{QStringLiteral("[Startup]")});
    EXPECT_EQ(bad.expectedEntries, 0);
    EXPECT_TRUE(logText().contains(QStringLiteral("[UtmConnect] 10.1.1.1: User al ice contain forbidden chars")));
}

// --------------------------------------------------------------- user lists

TEST(Protocol, RuleSections)
{
    const struct
    {
        const char *text;
        Outcome expected;
    } cases[] = {
        {"[Network]\nuser=bob\nid=1\naction=PASS\nHOST=!10.0.0.5", rules({"1: pass: bob on (!10.0.0.5)"})},
        {"[Network]\nuser=bob\nid=1\naction=block\nHOST=10.0.0.1-10.0.0.9\nNETWORK=10.0.0.5\n"
         "RANGE=10.0.0.0/255.255.255.0",
         rules({"1: block: bob on (10.0.0.5,10.0.0.0/24,10.0.0.1-10.0.0.9)"})},
        {"[Network]\nuser=any\nid=1\naction=pass\nhost2=10.0.0.1\nNetwork_10=::1\nRangeX=bad\nHOSTILE=10.0.0.2\n"
         "USER2=10.0.0.3\nHOST =10.0.0.4",
         rules({"1: pass: any on (10.0.0.1,::1,10.0.0.2,10.0.0.4)"})},
        {"[Network]\nuser=a\nid=1\naction=pass\nHOST=10.0.0.1\nHOST=10.0.0.2",
         rules({"1: pass: a on (10.0.0.1,10.0.0.2)"})},
        {"[Network]\nuser=\nid=1\naction=pass\nHOST=10.0.0.1",
         error(1, "The all users message is not well formed, user is missing")},
        {"[Network]\nid=1\naction=pass\nHOST=10.0.0.1",
         error(1, "The all users message is not well formed, user is missing")},
        {"[Network]\nuser=a\naction=pass\nHOST=10.0.0.1",
         error(1, "The all users message is not well formed, id is missing or = 0")},
        {"[Network]\nuser=a\nid=0\naction=pass\nHOST=10.0.0.1",
         error(1, "The all users message is not well formed, id is missing or = 0")},
        {"[Network]\nuser=a\nid=99999999999\naction=pass\nHOST=10.0.0.1",
         error(1, "The all users message is not well formed, id is missing or = 0")},
        {"[Network]\nuser=a\nid=1\naction=allow\nHOST=10.0.0.1",
         error(1, "The all users message is not well formed, action is missing")},
        {"[Network]\nuser=a\nid=1\naction=pass", error(1, "The initial user list message is not well formed")},
        {"[Network]\nuser=a\nid=1\naction=pass\nHOST=nonsense\nRANGE=10.0.0.9-",
         error(1, "The initial user list message is not well formed")},
    };
    for (const auto &c : cases)
        EXPECT_EQ(initialList(QString::fromLatin1(c.text)), c.expected) << c.text;
}

TEST(Protocol, InitialUserList)
{
    const char *r1 = "user=a\nid=1\naction=pass\nHOST=10.0.0.1\n";
    const char *r2 = "user=b\nid=2\naction=block\nHOST=10.0.0.2\n";
    const QString s1 = QString::fromLatin1(r1), s2 = QString::fromLatin1(r2);
    const Outcome both = rules({"1: pass: a on (10.0.0.1)", "2: block: b on (10.0.0.2)"});
    const Outcome bad = error(1, "The initial user list message is not well formed");
    EXPECT_EQ(initialList("[Network]\n" + s1 + "[network_2]\n" + s2), both);
    EXPECT_EQ(initialList("[NETWORK]\n" + QString(s2).replace("id=2", "id=1") + "[Network_2]\n" +
                          QString(s1).replace("id=1", "id=2")),
              rules({"1: block: b on (10.0.0.2)", "2: pass: a on (10.0.0.1)"}));
    EXPECT_EQ(initialList(QStringLiteral("[Network]\nuser=a\nid=1\naction=pass\nHOST=10.0.0.1\n"
                                         "[Network_3]\nuser=b\nid=2\naction=pass\nHOST=10.0.0.2")),
              bad);
    EXPECT_EQ(initialList(QStringLiteral("[Network]\nuser=a\nid=1\naction=pass\nHOST=10.0.0.1\n"
                                         "[Network_2]\nuser=b\nid=1\naction=pass\nHOST=10.0.0.2")),
              bad);
    EXPECT_EQ(initialList(QStringLiteral("[Network]\nuser=a\nid=2\naction=pass\nHOST=10.0.0.1")), bad);
    EXPECT_EQ(initialList(QStringLiteral("[Network]\nuser=a\nid=-4\naction=pass\nHOST=10.0.0.1")),
              rules({"-4: pass: a on (10.0.0.1)"}));
    EXPECT_EQ(initialList(QStringLiteral("[Network_2]\nuser=a\nid=1\naction=pass\nHOST=10.0.0.1")), bad);
    EXPECT_EQ(initialList(QStringLiteral("[Network]\nuser=a\nid=1\naction=pass\nHOST=10.0.0.1\n"
                                         "[Network]\nuser=b\nid=2\naction=pass\nHOST=10.0.0.2")),
              bad);
    EXPECT_EQ(initialList(QString()), rules({}));
}

TEST(Protocol, InitialUserListWithManyEntriesAndRules)
{
    QString text;
    const int count = 500;
    for (int i = 1; i <= count; ++i) {
        text += (i == 1 ? QStringLiteral("[Network]\n") : QStringLiteral("[Network_%1]\n").arg(i));
        text += QStringLiteral("user=user%1\nid=%1\naction=pass\n").arg(i);
        for (int h = 0; h < 10; ++h)
            text += QStringLiteral("HOST%1=10.%2.0.%3\n").arg(h).arg(i % 256).arg(h);
        text += QStringLiteral("HOSTX=not-an-address\n");
    }
    const QList<common::UserRule> list = Protocol::readInitialUserList(ini(text));
    ASSERT_EQ(list.size(), count);
    EXPECT_EQ(list.last().hosts.size(), 10);
    EXPECT_EQ(list.last().id, count);

    // One rule with a thousand entries.
    QString big = QStringLiteral("[Network]\nuser=bob\nid=1\naction=pass\n");
    for (int h = 0; h < 1000; ++h)
        big += QStringLiteral("HOST_%1=10.0.%2.%3\n").arg(h).arg(h / 256).arg(h % 256);
    EXPECT_EQ(Protocol::readInitialUserList(ini(big)).first().hosts.size(), 1000);
}

TEST(Protocol, UserDelta)
{
    const char *rule = "user=a\nid=7\naction=pass\nHOST=10.0.0.1\n";
    auto section = [&](const char *name) {
        return QStringLiteral("[%1]\n%2").arg(QLatin1String(name), QLatin1String(rule));
    };
    const Outcome bad = error(1, "The user delta message is not well formed");
    EXPECT_EQ(delta(section("Adduser") + section("DELUSER_7")),
              rules({"add 7: pass: a on (10.0.0.1)", "del 7: pass: a on (10.0.0.1)"}));
    EXPECT_EQ(delta(section("adduser_12") + section("Adduser_3")),
              rules({"add 7: pass: a on (10.0.0.1)", "add 7: pass: a on (10.0.0.1)"}));
    EXPECT_EQ(delta(section("Adduser_x")), bad);
    EXPECT_EQ(delta(section("Adduser_1_2")), bad);
    EXPECT_EQ(delta(section("Adduser_")), bad);
    EXPECT_EQ(delta(section("Network")), bad);
    EXPECT_EQ(delta(section("Adduser_1") + section("Adduser_1")), bad); // the first would be lost
    EXPECT_EQ(delta(QStringLiteral("[Adduser]\nuser=a\nid=7\naction=pass\nHOST=nonsense")), bad);
    EXPECT_EQ(delta(QStringLiteral("[Deluser]\nuser=a\nid=0\naction=pass\nHOST=10.0.0.1")),
              error(1, "The all users message is not well formed, id is missing or = 0"));
}

TEST(Protocol, NonAsciiRuleTextIsReadAsQuestionMarks)
{
    // What arrives over the wire is UTF-8; the reader works on its Latin-1 form.
    MessageFramer framer;
    framer.append("[Network]\r\nuser=\xe5\xbc\xa0\xe4\xb8\x89\r\nid=1\r\naction=pass\r\nHOST=10.0.0.1\r\n.\r\n");
    QString text;
    ASSERT_TRUE(framer.takeMessage(&text));
    EXPECT_EQ(initialList(text), rules({"1: pass: ?? on (10.0.0.1)"}));
}

// ------------------------------------------------------------- agent texts

TEST(Protocol, AgentAckAliveRoundTrip)
{
    const Received agent = receive(Protocol::agentMessage(3));
    EXPECT_EQ(agent.message.sectionNames(), QStringList{QStringLiteral("Agent")});
    EXPECT_EQ(agent.message.intValue(QStringLiteral("Agent"), QStringLiteral("version"), -1), 3);
    EXPECT_EQ(Protocol::agentMessage(3).expectedEntries, -1);

    const Received ack = receive(Protocol::ackMessage(4));
    Protocol::checkAck(ack.message, ack.text, 4); // the agent's Ack passes the agent's own check
    EXPECT_TRUE(Protocol::isOfType(receive(Protocol::aliveMessage()).message, QStringLiteral("Alive")));
    EXPECT_EQ(Protocol::resultMessage(QList<bool>{}).lines, QStringList{QStringLiteral("[Result]")});
}

TEST(Protocol, LoginExampleRoundTrip)
{
    const QDateTime now(QDate(2024, 3, 1), QTime(12, 0));
    const common::LogonList logons = {
        logon("alice", "10.0.0.5", now.addSecs(-2400)),
        logon("bob", "10.0.0.7", now.addSecs(-25800)),
        logon("alice", "10.0.0.9", now.addSecs(-700)),
    };
    const AgentMessage m = Protocol::loginMessage(logons, false, 2, 28800, now);
    EXPECT_EQ(m.expectedEntries, 2);
    const Received r = receive(m);
    EXPECT_EQ(r.message.sectionNames(), QStringList{QStringLiteral("Login")});
    EXPECT_EQ(r.message.value(QStringLiteral("Login"), QStringLiteral("CORP\\alice")),
              QStringLiteral("26400@10.0.0.5,28100@10.0.0.9"));
    EXPECT_EQ(r.message.value(QStringLiteral("Login"), QStringLiteral("CORP\\bob")), QStringLiteral("3000@10.0.0.7"));
    EXPECT_EQ(Protocol::entryCount(r.message), m.expectedEntries);

    // Version 3 uses the DNS domain; an expired logon has 0 seconds left; IPv6 travels too.
    const AgentMessage v3 =
        Protocol::loginMessage({logon("carol", "2001:db8::7", now.addSecs(-30000))}, true, 3, 28800, now);
    EXPECT_EQ(v3.lines,
              (QStringList{QStringLiteral("[Startup]"), QStringLiteral("corp.example.com\\carol=0@2001:db8::7")}));
}

TEST(Protocol, LoginGroupsUsersIgnoringCaseAndSkipsUnsendable)
{
    const QDateTime now(QDate(2024, 3, 1), QTime(12, 0));
    const AgentMessage m = Protocol::loginMessage(
        {logon("Alice", "10.0.0.1", now), logon("alice", "10.0.0.2", now), logon("dave", "0.0.0.0", now),
         common::Logon(QStringLiteral("erin"), QHostAddress(), now, {}, QStringLiteral("CORP"), {}, {}),
         logon("frank", "10.0.0.3", now, "[CORP]"), logon("gina", "10.0.0.4", now, "CO=RP"),
         logon("jos\xc3\xa9", "10.0.0.5", now)},
        false, 2, 100, now);
    const Received r = receive(m);
    EXPECT_EQ(r.message.value(QStringLiteral("Login"), QStringLiteral("corp\\ALICE")),
              QStringLiteral("100@10.0.0.1,100@10.0.0.2"));
    EXPECT_EQ(r.message.value(QStringLiteral("Login"), QStringLiteral("CORP\\dave")), QStringLiteral("100@0.0.0.0"));
    EXPECT_EQ(r.message.value(QStringLiteral("Login"), QStringLiteral("CORP\\jos\xe9")),
              QStringLiteral("100@10.0.0.5"));
    EXPECT_EQ(m.expectedEntries, 3); // alice, dave, jose: no address, a header-like or a "=" domain are not sent
    EXPECT_EQ(Protocol::entryCount(r.message), 3);
}

TEST(Protocol, ForbiddenCharactersNeverReachTheWire)
{
    const QDateTime now(QDate(2024, 3, 1), QTime(12, 0));
    const QString forbidden = QStringLiteral("\"\t&~|=*<>!()\\$%?'` ");
    ASSERT_EQ(forbidden.size(), 19);
    common::LogonList logons;
    for (QChar c : forbidden + QStringLiteral("\r\n") + QChar(0x7f))
        logons.append(logon(QStringLiteral("u%1x").arg(c).toUtf8().constData(), "10.0.0.1", now));
    for (const common::Logon &l : logons) {
        EXPECT_TRUE(Protocol::hasForbiddenChars(l.user())) << l.user().toStdString();
        EXPECT_FALSE(Protocol::logoutMessage(common::Logoff(l, common::Logoff::LogoffPing), 2).has_value());
    }
    const AgentMessage m = Protocol::loginMessage(logons, false, 2, 100, now);
    EXPECT_EQ(m.lines, QStringList{QStringLiteral("[Login]")});
    EXPECT_EQ(m.expectedEntries, 0);
    EXPECT_EQ(m.frame(), QByteArray("[Login]\r\n.\r\n"));
    for (const char *fine : {"alice", "a.b-c_d", "jos\xc3\xa9", "#x", "[x]", "a@b"})
        EXPECT_FALSE(Protocol::hasForbiddenChars(QString::fromUtf8(fine))) << fine;
}

TEST(Protocol, LogoutRoundTrip)
{
    const common::Logoff off(logon("alice", "10.0.0.5", QDateTime()), common::Logoff::LogoffPing);
    const auto v2 = Protocol::logoutMessage(off, 2);
    ASSERT_TRUE(v2.has_value());
    EXPECT_EQ(v2->expectedEntries, 1);
    const Received r = receive(*v2);
    EXPECT_EQ(r.message.value(QStringLiteral("Logout"), QStringLiteral("CORP\\alice")), QStringLiteral("10.0.0.5"));
    EXPECT_EQ(Protocol::entryCount(r.message), 1);
    EXPECT_EQ(Protocol::logoutMessage(off, 3)->lines.last(), QStringLiteral("corp.example.com\\alice=10.0.0.5"));
    EXPECT_FALSE(Protocol::logoutMessage(common::Logoff(), 3).has_value());
}

} // namespace
