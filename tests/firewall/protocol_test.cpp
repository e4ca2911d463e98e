#include "common/clock.h"
#include "firewall/protocol.h"
#include "log/applicationdebug.h"
#include "settings/settings.h"
#include "support/tempinstance.h"

#include <QFile>
#include <QSet>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <functional>
#include <gtest/gtest.h>
#include <vector>

using UtmConnect::AgentMessage;
using UtmConnect::MessageFramer;
using UtmConnect::Protocol;
using ProtocolException = UtmConnect::Client::ProtocolException;

namespace {

IniFile ini(const QString &text)
{
    IniFile file;
    file.parse(text);
    return file;
}

// What a call made: its text, or "error N: what" when it threw.
std::string outcome(const std::function<QString()> &call)
{
    try {
        return call().toStdString();
    } catch (const ProtocolException &e) {
        return "error " + std::to_string(e.code()) + ": " + e.what();
    }
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
    EXPECT_TRUE(framer.takeMessage(&r.text)); // one whole message, nothing left
    EXPECT_FALSE(framer.hasPartialMessage());
    r.message.parse(r.text);
    return r;
}

common::Logon logon(const char *user, const char *ip, const QDateTime &time, const char *domain = "CORP")
{
    return common::Logon(QString::fromUtf8(user), QHostAddress(QString::fromLatin1(ip)), time, QString(),
                         QString::fromUtf8(domain), QString(), QStringLiteral("corp.example.com"));
}

std::vector<std::string> framesOf(MessageFramer &framer)
{
    std::vector<std::string> out;
    QString text;
    while (framer.takeMessage(&text))
        out.push_back(text.toStdString());
    return out;
}

// Appends the chunk until the framer refuses; the 0-based count at the refusal
// (or -1) and the error text.
std::pair<int, std::string> feedUntilRefused(MessageFramer &framer, const QByteArray &chunk, int max)
{
    QString text;
    for (int i = 0; i < max; ++i) {
        framer.append(chunk);
        try {
            EXPECT_FALSE(framer.takeMessage(&text)) << i;
        } catch (const ProtocolException &e) {
            EXPECT_EQ(e.code(), ProtocolException::ProtocolError);
            return {i, e.what()};
        }
    }
    return {-1, ""};
}

TEST(MessageFramer, CutsTheStreamIntoMessages)
{
    const struct
    {
        const char *name;
        QByteArray bytes;
        std::vector<std::string> messages;
        bool partialLeft;
    } cases[] = {{"one", "[UTM]\r\nversion=3\r\n.\r\n", {"[UTM]\nversion=3"}, false},
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
                 {"utf-8 decoded", "[a]\r\nuser=jos\xc3\xa9\r\n.\r\n", {"[a]\nuser=jos\xc3\xa9"}, false}};
    for (const auto &c : cases) {
        MessageFramer framer;
        framer.append(c.bytes);
        EXPECT_EQ(framesOf(framer), c.messages) << c.name;
        EXPECT_EQ(framer.hasPartialMessage(), c.partialLeft) << c.name;
    }
    // Any split of a stream gives the same messages.
    const QByteArray stream = "[UTM]\r\nversion=2\r\nserial=S1\r\n.\r\n[Ack]\r\nentries=0\r\n.\r\n";
    for (int cut = 0; cut <= stream.size(); ++cut) {
        MessageFramer framer;
        framer.append(stream.left(cut));
        std::vector<std::string> got = framesOf(framer);
        framer.append(stream.mid(cut));
        for (const std::string &m : framesOf(framer))
            got.push_back(m);
        EXPECT_EQ(got, (std::vector<std::string>{"[UTM]\nversion=2\nserial=S1", "[Ack]\nentries=0"})) << cut;
    }
    // The agent's side: lines joined by CR LF and ended by a dot line.
    EXPECT_EQ((AgentMessage{{"[Ack]", "entries=2"}, -1}.frame()), QByteArray("[Ack]\r\nentries=2\r\n.\r\n"));
    EXPECT_EQ((AgentMessage{{"[Alive]"}, -1}.frame()), QByteArray("[Alive]\r\n.\r\n"));
    EXPECT_EQ(Protocol::dump("[Ack]\r\nentries=2\r\n.\r\n"), QStringLiteral("    [Ack]\r\n    entries=2"));
}

TEST(MessageFramer, BoundsLinesAndMessages)
{
    // A line without end is refused at the byte limit; then the next message goes through.
    MessageFramer framer;
    QString text;
    framer.append("[a]\r\n.\r\n");
    ASSERT_TRUE(framer.takeMessage(&text)); // the complete message first
    const QByteArray chunk(64 * 1024, 'x');
    EXPECT_EQ(feedUntilRefused(framer, chunk, 32).first, MessageFramer::MaxMessageBytes / chunk.size());
    EXPECT_FALSE(framer.hasPartialMessage());
    framer.append("[b]\r\n.\r\n");
    ASSERT_TRUE(framer.takeMessage(&text));
    EXPECT_EQ(text, QStringLiteral("[b]"));

    // A message without terminator: lines up to the limit, or bytes when lines are long.
    QByteArray lines = "[a]\r\n";
    for (int i = 1; i < MessageFramer::MaxMessageLines; ++i)
        lines += "k=v\r\n";
    MessageFramer atLimit, beyond, longLines;
    atLimit.append(lines + ".\r\n");
    ASSERT_TRUE(atLimit.takeMessage(&text));
    EXPECT_EQ(ini(text).keyLineCount(), MessageFramer::MaxMessageLines - 1);
    EXPECT_EQ(feedUntilRefused(beyond, lines + "k=v\r\n.\r\n", 1).first, 0);
    const auto refused = feedUntilRefused(longLines, "k=" + QByteArray(1000, 'v') + "\r\n", 2000);
    EXPECT_GT(refused.first, 1000);
    EXPECT_NE(refused.second.find("bytes"), std::string::npos) << refused.second;
}

// -------------------------------------------------------------- the readers

using Reader = std::function<QString(const IniFile &)>;

QString handshake(const IniFile &m)
{
    const auto h = Protocol::readHandshake(m);
    return QStringLiteral("v%1 %2 %3 %4").arg(h.protocolVersion).arg(h.model, h.firmware, h.serial);
}

Reader ack(int expected)
{
    return [expected](const IniFile &m) {
        Protocol::checkAck(m, QStringLiteral("[Network]\nuser=bob"), expected); // the message being acknowledged
        return QStringLiteral("ok");
    };
}

QString controllers(const IniFile &m)
{
    QString adName;
    const auto config = Protocol::readConfiguration(m, settings::ADConfiguration(), "SN1",
                                                    QDateTime(QDate(2024, 3, 1), QTime(8, 0)), &adName);
    EXPECT_EQ(config.adName(), adName);
    return config.servers().join(',') + ' ' + adName;
}

QString initialList(const IniFile &m)
{
    QString out;
    for (const common::UserRule &rule : Protocol::readInitialUserList(m))
        out += '[' + rule.toString() + ']';
    return out;
}

QString delta(const IniFile &m)
{
    QString out;
    for (const common::NewUserRule &rule : Protocol::readUserDelta(m))
        out += (rule.kind == common::NewUserRule::Add ? "[add " : "[del ") + rule.toString() + ']';
    return out;
}

TEST(Protocol, MessageReaders)
{
    const std::string a1 = "user=a\nid=1\naction=pass\nHOST=10.0.0.1\n",
                      a2 = "user=a\nid=2\naction=pass\nHOST=10.0.0.1\n",
                      b1 = "user=b\nid=1\naction=block\nHOST=10.0.0.2\n",
                      b2 = "user=b\nid=2\naction=block\nHOST=10.0.0.2\n",
                      a7 = "user=a\nid=7\naction=pass\nHOST=10.0.0.1\n";
    const std::string notHandshake = "error 1: Expected a handshake message but got something else",
                      badVersion = "error 2: UTM protocol version not managed",
                      // The received text as it is logged: its line breaks escaped.
        notAck = "error 1: Expected an ack message but got something else: [Network]\\nuser=bob",
                      badAck = "error 3: Not the good ack", notIp = "error 1: Controller should be an IP address",
                      noController = "error 1: No domain controller received",
                      notConfiguration = "error 1: Expected a configuration message but got something else",
                      badList = "error 1: The initial user list message is not well formed",
                      badDelta = "error 1: The user delta message is not well formed",
                      noUser = "error 1: The all users message is not well formed, user is missing",
                      noId = "error 1: The all users message is not well formed, id is missing or = 0";
    const struct
    {
        Reader read;
        std::string text;
        std::string expected;
    } cases[] = {
        {handshake, "[UTM]\nversion=3\nmodel=FW-200\nfirmware=12.1 # build\nserial=SN123", "v3 FW-200 12.1 SN123"},
        {handshake, "[UTM]\nversion=2", "v2   "},
        {handshake, "[UTM]\nversion=4", badVersion},
        {handshake, "[UTM]\nversion=-1", badVersion},
        {handshake, "[UTM]\nversion=three", badVersion},
        {handshake, "[UTM]\nserial=x", badVersion},
        {handshake, "[utm]\nversion=3", notHandshake},
        {handshake, "[UTM]\nversion=3\n[Other]\nx=1", notHandshake},
        {handshake, "[Configuration]\nController=10.0.0.1", notHandshake},
        {handshake, "no section at all", notHandshake},
        {ack(2), "[Ack]\nentries=2", "ok"},
        {ack(0), "[Ack]\nentries=0", "ok"},
        {ack(2), "[Ack]\nentries=1", badAck},
        {ack(0), "[Ack]", badAck},
        {ack(0), "[Ack]\nentries=x", badAck},
        {ack(2), "[ack]\nentries=2", notAck},
        {ack(2), "[Network]\nuser=bob", notAck},
        // Controllers numbered without gaps; the AD name is made of them sorted.
        {controllers, "[Configuration]\nController=10.0.0.9\nController_2=10.0.0.1\nController_4=10.0.0.4\nLogonTime=1",
         "10.0.0.9,10.0.0.1 10.0.0.1_10.0.0.9"},
        {controllers, "[Configuration]\nController=dc1.corp.example.com", notIp},
        {controllers, "[Configuration]\nController=10.0.0.1\nController_2=10.0.0.300", notIp},
        {controllers, "[Configuration]\nController=\nController_2=10.0.0.1", noController},
        {controllers, "[Configuration]\nLogonTime=10", noController},
        {controllers, "[configuration]\nController=10.0.0.1", notConfiguration},
        {controllers, "[UTM]\nversion=3", notConfiguration},
        // Rule sections: entries of any key starting with HOST, NETWORK or RANGE, hosts first.
        {initialList, "[Network]\nuser=bob\nid=1\naction=PASS\nHOST=!10.0.0.5", "[1: pass: bob on (!10.0.0.5)]"},
        {initialList,
         "[Network]\nuser=bob\nid=1\naction=block\nHOST=10.0.0.1-10.0.0.9\nNETWORK=10.0.0.5\n"
         "RANGE=10.0.0.0/255.255.255.0",
         "[1: block: bob on (10.0.0.5,10.0.0.0/24,10.0.0.1-10.0.0.9)]"},
        {initialList,
         "[Network]\nuser=any\nid=1\naction=pass\nhost2=10.0.0.1\nNetwork_10=::1\nRangeX=bad\nHOSTILE=10.0.0.2\n"
         "USER2=10.0.0.3\nHOST =10.0.0.4",
         "[1: pass: any on (10.0.0.1,::1,10.0.0.2,10.0.0.4)]"},
        {initialList, "[Network]\n" + a1 + "HOST=10.0.0.2", "[1: pass: a on (10.0.0.1,10.0.0.2)]"},
        {initialList, "[Network]\nuser=\nid=1\naction=pass\nHOST=10.0.0.1", noUser},
        {initialList, "[Network]\nid=1\naction=pass\nHOST=10.0.0.1", noUser},
        {initialList, "[Network]\nuser=a\naction=pass\nHOST=10.0.0.1", noId},
        {initialList, "[Network]\nuser=a\nid=0\naction=pass\nHOST=10.0.0.1", noId},
        {initialList, "[Network]\nuser=a\nid=99999999999\naction=pass\nHOST=10.0.0.1", noId},
        {initialList, "[Network]\nuser=a\nid=1\naction=allow\nHOST=10.0.0.1",
         "error 1: The all users message is not well formed, action is missing"},
        {initialList, "[Network]\nuser=a\nid=1\naction=pass", badList},
        {initialList, "[Network]\nuser=a\nid=1\naction=pass\nHOST=nonsense\nRANGE=10.0.0.9-", badList},
        // Sections numbered from 1 without gaps, ids numbered by section, any case.
        {initialList, "[Network]\n" + a1 + "[network_2]\n" + b2,
         "[1: pass: a on (10.0.0.1)][2: block: b on (10.0.0.2)]"},
        {initialList, "[NETWORK]\n" + b1 + "[Network_2]\n" + a2,
         "[1: block: b on (10.0.0.2)][2: pass: a on (10.0.0.1)]"},
        {initialList, "[Network]\n" + a1 + "[Network_3]\n" + b2, badList},
        {initialList, "[Network]\n" + a1 + "[Network_2]\n" + b1, badList},
        {initialList, "[Network]\n" + a2, badList},
        {initialList, "[Network]\nuser=a\nid=-4\naction=pass\nHOST=10.0.0.1", "[-4: pass: a on (10.0.0.1)]"},
        {initialList, "[Network_2]\n" + a1, badList},
        {initialList, "[Network]\n" + a1 + "[Network]\n" + b2, badList},
        {initialList, "", ""},
        // What arrives over the wire is UTF-8; the reader works on its Latin-1 form.
        {initialList, "[Network]\nuser=\xe5\xbc\xa0\xe4\xb8\x89\nid=1\naction=pass\nHOST=10.0.0.1",
         "[1: pass: ?? on (10.0.0.1)]"},
        // Deltas: any number, any case, each number once.
        {delta, "[Adduser]\n" + a7 + "[DELUSER_7]\n" + a7,
         "[add 7: pass: a on (10.0.0.1)][del 7: pass: a on (10.0.0.1)]"},
        {delta, "[adduser_12]\n" + a7 + "[Adduser_3]\n" + a7,
         "[add 7: pass: a on (10.0.0.1)][add 7: pass: a on (10.0.0.1)]"},
        {delta, "[Adduser_x]\n" + a7, badDelta},
        {delta, "[Adduser_1_2]\n" + a7, badDelta},
        {delta, "[Adduser_]\n" + a7, badDelta},
        {delta, "[Network]\n" + a7, badDelta},
        {delta, "[Adduser_1]\n" + a7 + "[Adduser_1]\n" + a7, badDelta}, // the first would be lost
        {delta, "[Adduser]\nuser=a\nid=7\naction=pass\nHOST=nonsense", badDelta},
        {delta, "[Deluser]\nuser=a\nid=0\naction=pass\nHOST=10.0.0.1", noId}};
    for (const auto &c : cases)
        EXPECT_EQ(outcome([&] { return c.read(ini(QString::fromStdString(c.text))); }), c.expected) << c.text;
}

TEST(Protocol, MessageTypesAndGoodbyeReasons)
{
    EXPECT_TRUE(Protocol::isKeepAlive(ini(QStringLiteral("[Keep-Alive]"))));
    EXPECT_FALSE(Protocol::isKeepAlive(ini(QStringLiteral("[keep-alive]"))));
    EXPECT_FALSE(Protocol::isKeepAlive(ini(QStringLiteral("[Keep-Alive]\n[Ack]"))));
    EXPECT_THROW(Protocol::checkKeepAlive(ini(QStringLiteral("[keep-alive]"))), ProtocolException);
    EXPECT_NO_THROW(Protocol::checkKeepAlive(ini(QStringLiteral("[Keep-Alive]"))));
    EXPECT_EQ(Protocol::entryCount(ini(QStringLiteral("[Network]\nuser=a\nid=1\n#c\n[Network_2]\nuser=b"))), 3);

    const QStringList reasons{"Network error", "Protocol error", "Protocol version unsupported (expected 2 or 3)",
                              "Bad ack"};
    for (int code = 0; code < reasons.size(); ++code)
        EXPECT_EQ(ProtocolException::reasonFor(code), reasons[code]) << code;
    const ProtocolException e(2, QStringLiteral("UTM protocol version not managed"));
    // The Goodbye a version-4 firewall receives, as it reads it.
    const Received r = receive(Protocol::goodbyeMessage(e.reason()));
    EXPECT_TRUE(Protocol::isGoodbye(r.message));
    EXPECT_EQ(Protocol::goodbyeError(r.message), reasons[2]);
    EXPECT_EQ(r.text, QStringLiteral("[Goodbye]\nerror=\"Protocol version unsupported (expected 2 or 3)\""));
}

// ------------------------------------------------------------ configuration

settings::ADConfiguration configure(const char *text,
                                    const settings::ADConfiguration &stored = settings::ADConfiguration())
{
    return Protocol::readConfiguration(ini(QString::fromLatin1(text)), stored, QStringLiteral("SN1"),
                                       QDateTime(QDate(2024, 3, 1), QTime(8, 0)));
}

// Every field the configuration message can set, in one comparable line.
std::string describe(const settings::ADConfiguration &c)
{
    return QStringLiteral("valid=%1 name=%2/%3 enabled=%4 logon=%5 ignore=%6 syslog=%7:%8:%9 patterns=%10|%11|%12 "
                          "probe=%13:%14:%15 fqdn=%16 netbios=%17 dns=%18 collect=%19 cache=%20 api=%21 last=%22")
        .arg(c.isValid())
        .arg(c.name(), c.firewallName())
        .arg(c.enabled())
        .arg(c.maxLogonTime())
        .arg(c.ignoreList().join(QLatin1Char(',')))
        .arg(c.syslogState())
        .arg(c.syslogPort())
        .arg(c.syslogAddr())
        .arg(c.syslogAddrPattern(), c.syslogUserPattern(), c.syslogMsgPattern())
        .arg(c.probeEnabled())
        .arg(c.probeTimeout())
        .arg(c.method() == settings::ADConfiguration::ProbePing ? "ping" : "register")
        .arg(c.fqdn(), c.netbios())
        .arg(c.dnsEnabled())
        .arg(c.collectInterval())
        .arg(c.cacheTimeout())
        .arg(c.apiName(), c.lastUtmConnection().toString(Qt::ISODate))
        .toStdString();
}

TEST(Protocol, ConfigurationFieldsAndDefaults)
{
    // Defaults where the message is silent; the ignore list is replaced whole, even by nothing;
    // ProbeTime is not read while Probe is off.
    EXPECT_EQ(describe(configure("[Configuration]\nController=::1\nLogonTime=7200")),
              "valid=1 name=SN1/SN1 enabled=1 logon=7200 ignore= syslog=0:514:any patterns=|| probe=0:600:ping fqdn= "
              "netbios= dns=1 collect=5 cache=86400 api= last=2024-03-01T08:00:00");

    settings::ADConfiguration stored = Protocol::defaultConfiguration(QStringLiteral("SN1"));
    stored.setCollectInterval(17);
    stored.setApiName(QStringLiteral("Mock"));
    stored.setMethod(settings::ADConfiguration::ProbeRegister);
    stored.setIgnoreList({QStringLiteral("old")});
    // Ignore_4 after a gap is lost; "ANY" is lower-cased; "Ping" is not "ping"; the collect
    // interval and API name are kept from the stored configuration.
    const auto full = configure("[Configuration]\nController=10.0.0.1\nIgnore=svc\nIgnore_2=Administrator\n"
                                "Ignore_4=lost\nSyslogState=on\nSyslogPort=1514\nSyslogAddr=ANY\n"
                                "SyslogAddrPattern=\"ip=(\\S+) # x\"\nSyslogUserPattern=u=(\\w+)\n"
                                "SyslogMsgPattern=Logon\nLogonTime=28800\nProbe=1\nFqdn=corp.example.com\n"
                                "Netbios=CORP\nDnsEnabled=false\nProbeTime=300\nProbeMethod=Ping",
                                stored);
    EXPECT_EQ(describe(full), "valid=1 name=SN1/SN1 enabled=1 logon=28800 ignore=svc,Administrator "
                              "syslog=1:1514:any patterns=ip=(\\S+) # x|u=(\\w+)|Logon probe=1:300:register "
                              "fqdn=corp.example.com netbios=CORP dns=0 collect=17 cache=86400 api=Mock "
                              "last=2024-03-01T08:00:00");

    for (const auto &[method, expected] : {std::pair{"registery", settings::ADConfiguration::ProbeRegister},
                                           {"ping", settings::ADConfiguration::ProbePing},
                                           {"register", settings::ADConfiguration::ProbeRegister}})
        EXPECT_EQ(configure(("[Configuration]\nController=10.0.0.1\nLogonTime=1\nProbe=true\nProbeMethod=" +
                             std::string(method))
                                .c_str(),
                            stored)
                      .method(),
                  expected)
            << method;

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
    QString logText() const { return testsupport::logFolderText(dir.path()); }

    QTemporaryDir dir;
};

// Syslog mode, where controllers are not tested, is checked through a firewall in the connection tests.
TEST_F(ProtocolWithSettings, ConfigurationIsStoredAndResultLinesTestTheControllers)
{
    settings::Settings *s = settings::Settings::instance();
    QSignalSpy added(s, &settings::Settings::adConfigAdded);
    // Without LogonTime: logged, not stored.
    EXPECT_FALSE(Protocol::storeConfiguration(ini("[Configuration]\nController=10.0.0.1"), "X").current.isValid());
    EXPECT_FALSE(s->adConfiguration(QStringLiteral("X")).isValid());
    EXPECT_TRUE(logText().contains(QStringLiteral("configuration of X not stored")));

    const auto update = Protocol::storeConfiguration(
        ini("[Configuration]\nController=10.0.0.2\nController_2=10.0.0.1\nLogonTime=600"), "SN9", "127.0.0.1");
    EXPECT_FALSE(update.previous.isValid());
    EXPECT_EQ(update.adName, QStringLiteral("10.0.0.1_10.0.0.2"));
    ASSERT_EQ(added.count(), 1);
    settings::ADConfiguration stored = s->adConfiguration(QStringLiteral("SN9"));
    EXPECT_TRUE(stored.isValid());
    EXPECT_EQ(stored.maxLogonTime(), 600u);
    EXPECT_EQ(stored.lastUtmConnection(), common::Clock::now());

    // No event source for an unknown ApiName: every controller is "KO".
    stored.setApiName(QStringLiteral("NoSuchApi"));
    EXPECT_EQ(receive(Protocol::resultMessage(Protocol::testControllers(stored, false))).text,
              QStringLiteral("[Result]\nController=KO\nController_2=KO"));
    EXPECT_TRUE(logText().contains(QStringLiteral("no event source")));
    stored.setApiName(QStringLiteral("Mock"));
    const AgentMessage ok = Protocol::resultMessage(Protocol::testControllers(stored, false));
    EXPECT_EQ(ok.expectedEntries, 2);
    EXPECT_EQ(receive(ok).text, QStringLiteral("[Result]\nController=OK\nController_2=OK"));
}

// --------------------------------------------------------------- user lists

// 500 rules of ten hosts each, then one rule of a thousand hosts.
TEST(Protocol, InitialUserListWithManyEntriesAndRules)
{
    QString text;
    for (int i = 1; i <= 500; ++i) {
        text += QStringLiteral("[Network%1]\nuser=user%2\nid=%2\naction=pass\nHOSTX=not-an-address\n")
                    .arg(i == 1 ? QString() : QStringLiteral("_%1").arg(i))
                    .arg(i);
        for (int h = 0; h < 10; ++h)
            text += QStringLiteral("HOST%1=10.%2.0.%3\n").arg(h).arg(i % 256).arg(h);
    }
    const QList<common::UserRule> list = Protocol::readInitialUserList(ini(text));
    ASSERT_EQ(list.size(), 500);
    EXPECT_EQ(list.last().hosts.size(), 10);
    EXPECT_EQ(list.last().id, 500);
    QString big = QStringLiteral("[Network]\nuser=bob\nid=1\naction=pass\n");
    for (int h = 0; h < 1000; ++h)
        big += QStringLiteral("HOST_%1=10.0.%2.%3\n").arg(h).arg(h / 256).arg(h % 256);
    EXPECT_EQ(Protocol::readInitialUserList(ini(big)).first().hosts.size(), 1000);
}

// ------------------------------------------------------------- agent texts

TEST(Protocol, AgentMessagesAsTheFirewallReadsThem)
{
    EXPECT_EQ(receive(Protocol::agentMessage(3)).text, QStringLiteral("[Agent]\nversion=3"));
    EXPECT_EQ(Protocol::agentMessage(3).expectedEntries, -1);
    const Received ack = receive(Protocol::ackMessage(4));
    Protocol::checkAck(ack.message, ack.text, 4); // the agent's Ack passes the agent's own check
    EXPECT_TRUE(Protocol::isOfType(receive(Protocol::aliveMessage()).message, QStringLiteral("Alive")));
    EXPECT_EQ(Protocol::resultMessage(QList<bool>{}).lines, QStringList{QStringLiteral("[Result]")});

    const common::Logoff off(logon("alice", "10.0.0.5", QDateTime()), common::Logoff::LogoffPing);
    const auto v2 = Protocol::logoutMessage(off, 2);
    ASSERT_TRUE(v2.has_value());
    EXPECT_EQ(v2->expectedEntries, 1);
    EXPECT_EQ(receive(*v2).text, QStringLiteral("[Logout]\nCORP\\alice=10.0.0.5"));
    EXPECT_EQ(Protocol::logoutMessage(off, 3)->lines.last(), QStringLiteral("corp.example.com\\alice=10.0.0.5"));
    EXPECT_FALSE(Protocol::logoutMessage(common::Logoff(), 3).has_value());
}

// Each user once, ignoring case, with the seconds left of every logon;
// version 3 names the DNS domain; unsendable logons are left out.
TEST(Protocol, LoginMessages)
{
    const QDateTime now(QDate(2024, 3, 1), QTime(12, 0));
    const AgentMessage m = Protocol::loginMessage({logon("alice", "10.0.0.5", now.addSecs(-2400)),
                                                   logon("bob", "10.0.0.7", now.addSecs(-25800)),
                                                   logon("alice", "10.0.0.9", now.addSecs(-700))},
                                                  false, 2, 28800, now);
    EXPECT_EQ(m.expectedEntries, 2);
    EXPECT_EQ(receive(m).text, QStringLiteral("[Login]\nCORP\\alice=26400@10.0.0.5,28100@10.0.0.9\n"
                                              "CORP\\bob=3000@10.0.0.7"));
    // An expired logon has 0 seconds left; IPv6 travels too.
    EXPECT_EQ(Protocol::loginMessage({logon("carol", "2001:db8::7", now.addSecs(-30000))}, true, 3, 28800, now).lines,
              (QStringList{"[Startup]", "corp.example.com\\carol=0@2001:db8::7"}));

    // No address, a header-like or a "=" domain are not sent.
    const AgentMessage mixed = Protocol::loginMessage(
        {logon("Alice", "10.0.0.1", now), logon("alice", "10.0.0.2", now), logon("dave", "0.0.0.0", now),
         common::Logon(QStringLiteral("erin"), QHostAddress(), now, {}, QStringLiteral("CORP"), {}, {}),
         logon("frank", "10.0.0.3", now, "[CORP]"), logon("gina", "10.0.0.4", now, "CO=RP"),
         logon("jos\xc3\xa9", "10.0.0.5", now)},
        false, 2, 100, now);
    EXPECT_EQ(mixed.expectedEntries, 3);
    EXPECT_EQ(receive(mixed).text, QString::fromUtf8("[Login]\nCORP\\Alice=100@10.0.0.1,100@10.0.0.2\n"
                                                     "CORP\\dave=100@0.0.0.0\nCORP\\jos\xc3\xa9=100@10.0.0.5"));
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
    EXPECT_EQ(m.expectedEntries, 0);
    EXPECT_EQ(m.frame(), QByteArray("[Login]\r\n.\r\n"));
    for (const char *fine : {"alice", "a.b-c_d", "jos\xc3\xa9", "#x", "[x]", "a@b"})
        EXPECT_FALSE(Protocol::hasForbiddenChars(QString::fromUtf8(fine))) << fine;
}

} // namespace

namespace {

// "[Header] n: line|line" per message.
std::vector<std::string> shape(const QList<AgentMessage> &messages)
{
    std::vector<std::string> out;
    for (const AgentMessage &m : messages)
        out.push_back(QStringLiteral("%1 %2: %3")
                          .arg(m.lines.first())
                          .arg(m.expectedEntries)
                          .arg(m.lines.mid(1).join(QLatin1Char('|')))
                          .toStdString());
    return out;
}

AgentMessage loginOf(const char *header, const QStringList &users)
{
    return AgentMessage{QStringList{QString::fromLatin1(header)} + users, qint32(users.size())};
}

} // namespace

// Cutting a login into messages a firewall reads whole: user lines move
// whole while they fit in a message, only a line too long for any message
// is spread over several, and nothing is lost or reordered.
TEST(Protocol, LoginsAreCutToTheReadLimits)
{
    const QStringList five{"C\\a=1@10.0.0.1", "C\\b=1@10.0.0.2", "C\\c=1@10.0.0.3", "C\\d=1@10.0.0.4",
                           "C\\e=1@10.0.0.5"};
    // On the wire: "[Login]" (7) and the terminator's 5 bytes, then 16 per line (CR LF and 14).
    const struct
    {
        const char *name;
        AgentMessage login;
        qint64 maxBytes;
        int maxLines;
        std::vector<std::string> expected;
        QVector<QVector<int>> items; // address items of each message
    } cases[] = {
        {"fits",
         loginOf("[Startup]", five),
         1 << 20,
         10000,
         {"[Startup] 5: C\\a=1@10.0.0.1|C\\b=1@10.0.0.2|C\\c=1@10.0.0.3|C\\d=1@10.0.0.4|C\\e=1@10.0.0.5"},
         {{0, 1, 2, 3, 4}}},
        {"exactly at both limits",
         loginOf("[Login]", five),
         12 + 5 * 16,
         6,
         {"[Login] 5: C\\a=1@10.0.0.1|C\\b=1@10.0.0.2|C\\c=1@10.0.0.3|C\\d=1@10.0.0.4|C\\e=1@10.0.0.5"},
         {{0, 1, 2, 3, 4}}},
        {"lines, header counted",
         loginOf("[Startup]", five),
         1 << 20,
         3,
         {"[Startup] 2: C\\a=1@10.0.0.1|C\\b=1@10.0.0.2", "[Login] 2: C\\c=1@10.0.0.3|C\\d=1@10.0.0.4",
          "[Login] 1: C\\e=1@10.0.0.5"},
         {{0, 1}, {2, 3}, {4}}},
        {"bytes, terminator counted",
         loginOf("[Login]", five),
         12 + 5 * 16 - 1,
         10000,
         {"[Login] 4: C\\a=1@10.0.0.1|C\\b=1@10.0.0.2|C\\c=1@10.0.0.3|C\\d=1@10.0.0.4", "[Login] 1: C\\e=1@10.0.0.5"},
         {{0, 1, 2, 3}, {4}}},
        {"a line too long for any message goes on under its key",
         loginOf("[Login]", {"C\\a=1@10.0.0.1", "C\\b=1@10.0.0.2,2@10.0.0.3,3@10.0.0.4,4@10.0.0.5", "C\\c=1@10.0.0.6"}),
         12 + 2 * 16 + 9,
         10000,
         {"[Login] 2: C\\a=1@10.0.0.1|C\\b=1@10.0.0.2", "[Login] 1: C\\b=2@10.0.0.3,3@10.0.0.4,4@10.0.0.5",
          "[Login] 1: C\\c=1@10.0.0.6"},
         {{0, 1}, {2, 3, 4}, {5}}},
        {"nobody", loginOf("[Startup]", {}), 100, 2, {"[Startup] 0: "}, {{}}},
        {"a key longer than a message",
         loginOf("[Login]", {"C\\a=1@10.0.0.1", "C\\" + QString(40, 'x') + "=1@1.2.3.4"}),
         12 + 16,
         10000,
         {"[Login] 1: C\\a=1@10.0.0.1"},
         {{0}}},
    };
    QTemporaryDir dir;
    ApplicationDebug::create(dir.filePath(QStringLiteral("log")));
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const QList<AgentMessage> split = Protocol::splitLogin(c.login, QString(), c.maxBytes, c.maxLines);
        EXPECT_EQ(shape(split), c.expected);
        QVector<QVector<int>> items;
        Protocol::splitLogin(c.login, QString(), c.maxBytes, c.maxLines, &items);
        EXPECT_EQ(items, c.items);
        for (const AgentMessage &m : split) {
            EXPECT_LE(m.frame().size(), c.maxBytes);
            EXPECT_LE(m.lines.size(), c.maxLines);
        }
    }
    EXPECT_TRUE(testsupport::logFolderText(dir.path()).contains("User C\\xxxxxxxx"));
    EXPECT_TRUE(testsupport::logFolderText(dir.path()).contains(" too long for a message, not sent"));
    ApplicationDebug::destroy();
}

// With the real limits, a batch of any size reaches the agent's own reader
// as whole messages: many users, one user at very many addresses, names
// outside ASCII (counted in bytes, not characters).
TEST(Protocol, LargeLoginsPassTheAgentsOwnReader)
{
    const QDateTime now(QDate(2024, 3, 1), QTime(12, 0));
    common::LogonList logons;
    for (int i = 0; i < 30000; ++i)
        logons.append(logon(QStringLiteral("j\u00f6rg%1").arg(i).toUtf8().constData(),
                            QStringLiteral("10.1.%1.%2").arg(i / 256).arg(i % 256).toLatin1().constData(), now));
    for (int i = 0; i < 70000; ++i)
        logons.append(logon("svc", QStringLiteral("10.2.%1.%2").arg(i / 256).arg(i % 256).toLatin1().constData(), now));
    const AgentMessage whole = Protocol::loginMessage(logons, true, 2, 28800, now);
    ASSERT_GT(whole.frame().size(), MessageFramer::MaxMessageBytes);

    const QList<AgentMessage> split = Protocol::splitLogin(whole);
    QStringList items; // "key=item" in the order sent
    QStringList expected;
    for (const QString &line : whole.lines.mid(1)) {
        const QString key = line.section('=', 0, 0);
        for (const QString &item : line.section('=', 1).split(','))
            expected.append(key + '=' + item);
    }
    MessageFramer reader;
    for (int i = 0; i < split.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(split.at(i).lines.first(), i == 0 ? "[Startup]" : "[Login]");
        reader.append(split.at(i).frame());
        QString text;
        ASSERT_TRUE(reader.takeMessage(&text)); // throws above a limit
        const Received r{ini(text), text};
        EXPECT_EQ(Protocol::entryCount(r.message), split.at(i).expectedEntries);
        QSet<QString> keys;
        for (const QString &line : split.at(i).lines.mid(1)) {
            const QString key = line.section('=', 0, 0);
            EXPECT_FALSE(keys.contains(key.toUpper())) << "a key twice in one message";
            keys.insert(key.toUpper());
            for (const QString &item : line.section('=', 1).split(','))
                items.append(key + '=' + item);
        }
    }
    EXPECT_GE(split.size(), 5); // four for the lines, the long line over two
    EXPECT_EQ(items, expected);
}
