#include "common/logon.h"

#include <QMetaType>
#include <gtest/gtest.h>
#include <sstream>

using common::Logoff;
using common::Logon;

namespace {
const QDateTime At = QDateTime(QDate(2024, 3, 1), QTime(8, 15, 2));

Logon alice(const QString &ip = QStringLiteral("10.0.0.5"))
{
    return Logon(QStringLiteral("alice"), QHostAddress(ip), At, QStringLiteral("PC07"), QStringLiteral("CORP"),
                 QStringLiteral("S-1-5-21-1-2-3-1104"), QStringLiteral("corp.example.com"));
}
} // namespace

TEST(Logon, EqualityIsUserIgnoringCaseAndAddressOnly)
{
    Logon a = alice();
    Logon b = alice();
    b.setUser(QStringLiteral("Alice"));
    b.setTime(At.addSecs(3600));
    b.setWorkstation(QStringLiteral("OTHER"));
    b.setSid(QString());
    EXPECT_TRUE(a == b);
    EXPECT_FALSE(a == alice(QStringLiteral("10.0.0.6")));
    EXPECT_TRUE(a != alice(QStringLiteral("10.0.0.6")));
}

TEST(Logon, Validity)
{
    struct Case { QString user; QString ip; bool valid; };
    const Case cases[] = {
        {"alice", "10.0.0.5", true},
        {"", "10.0.0.5", false},
        {"PC07$", "10.0.0.5", false},
        {"ANONYMOUS LOGON", "10.0.0.5", false},
        {"anonymous logon", "10.0.0.5", true},
        {"alice", "", false},
        {"alice", "fe80::1", true},
    };
    for (const Case &c : cases) {
        Logon logon = alice();
        logon.setUser(c.user);
        logon.setIp(QHostAddress(c.ip));
        EXPECT_EQ(logon.isValid(), c.valid) << c.user.toStdString() << " " << c.ip.toStdString();
    }
}

TEST(Logon, RemainingSeconds)
{
    const Logon logon = alice();
    EXPECT_EQ(logon.remainingSeconds(28800, At.addSecs(100)), 28700u);
    EXPECT_EQ(logon.remainingSeconds(28800, At.addSecs(28800)), 0u);
    EXPECT_EQ(logon.remainingSeconds(28800, At.addSecs(28801)), 0u);
    EXPECT_EQ(logon.remainingSeconds(28800, At.addSecs(-50)), 28850u);
    EXPECT_EQ(logon.remainingSeconds(28800, At), 28800u);
    // Given in ms since the epoch, "now" gives the same, partial seconds included.
    for (const qint64 ms : {100000LL, 28800000LL, 28801000LL, -50000LL, 0LL, 1500LL, -1500LL, 28799999LL}) {
        const QDateTime now = At.addMSecs(ms);
        EXPECT_EQ(logon.remainingSeconds(28800, now.toMSecsSinceEpoch()), logon.remainingSeconds(28800, now)) << ms;
    }
    EXPECT_EQ(Logon().remainingSeconds(60, At.toMSecsSinceEpoch()), Logon().remainingSeconds(60, At));
}

TEST(Logon, WorkstationFromHostName)
{
    const std::pair<QString, QString> cases[] = {
        {"pc07.corp.example.com", "PC07"},
        {"pc07", "PC07"},
        {".corp.example.com", ""},
        {"", ""},
    };
    for (const auto &c : cases) {
        Logon logon;
        logon.setWorkstation(QStringLiteral("before"));
        logon.setWorkstationFromHostName(c.first);
        EXPECT_EQ(logon.workstation(), c.second) << c.first.toStdString();
    }
}

TEST(Logon, TextForms)
{
    Logon logon = alice();
    EXPECT_EQ(logon.toString(),
              "2024-03-01T08:15:02: user: CORP\\alice from 10.0.0.5 domain corp.example.com on PC07 sid: "
              "S-1-5-21-1-2-3-1104");
    EXPECT_EQ(logon.netbiosUser(), "CORP\\alice");
    EXPECT_EQ(logon.fqdnUser(), "corp.example.com\\alice");

    logon.setWorkstation(QString());
    logon.setSid(QString());
    EXPECT_EQ(logon.toString(), "2024-03-01T08:15:02: user: CORP\\alice from 10.0.0.5 domain corp.example.com");

    // Placeholders inside the values must not be substituted a second time.
    logon.setDomain(QStringLiteral("%3"));
    logon.setUser(QStringLiteral("%1"));
    EXPECT_EQ(logon.toString(), "2024-03-01T08:15:02: user: %3\\%1 from 10.0.0.5 domain corp.example.com");

    Logon empty;
    EXPECT_EQ(empty.toString(), ": user: \\ from  domain ");
}

TEST(Logoff, TextFormsAndTypeNames)
{
    const Logoff ping(alice(), Logoff::LogoffPing);
    EXPECT_EQ(ping.toString(), "2024-03-01T08:15:02 : user: CORP\\alice from 10.0.0.5 on PC07 sid: S-1-5-21-1-2-3-1104 (ping)");
    const Logon &asLogon = ping;
    EXPECT_EQ(asLogon.toString(), ping.toString()) << "toString is virtual";

    const std::pair<Logoff::LogoffType, const char *> names[] = {
        {Logoff::LogoffPing, "ping"},       {Logoff::LogoffTimeout, "timeout"},
        {Logoff::LogoffRegister, "register"}, {Logoff::LogoffDns, "dns"},
        {Logoff::LogoffSessionReplace, "session replace"}, {Logoff::LogoffUnknown, "unknown"},
    };
    for (const auto &n : names)
        EXPECT_EQ(Logoff::typeName(n.first), QLatin1String(n.second));

    const Logoff unknown;
    EXPECT_TRUE(unknown.toString().endsWith(QLatin1String("(unknown)")));
    EXPECT_EQ(unknown.type(), Logoff::LogoffUnknown);
}

TEST(Logon, PrintHonoursWidthAndWritesTheVirtualTextForm)
{
    std::ostringstream out;
    const Logoff logoff(alice(), Logoff::LogoffDns);
    logoff.print(out);
    EXPECT_EQ(out.str(), logoff.toString().toStdString());

    std::ostringstream padded;
    Logon empty;
    padded.width(30);
    padded.fill('*');
    padded << empty;
    EXPECT_EQ(padded.str().size(), 30u);
    EXPECT_EQ(padded.str().front(), '*');
}

TEST(Logon, MetaTypesAreRegisteredUnderBothNames)
{
    common::registerMetaTypes();
    for (const char *name : {"LogonList", "common::LogonList", "ShdLogon", "QSharedPointer<Logon>", "common::ShdLogon",
                             "Logoff", "common::Logoff", "Logoff::LogoffType", "common::Logoff::LogoffType"})
        EXPECT_NE(QMetaType::type(name), QMetaType::UnknownType) << name;
    EXPECT_EQ(QMetaType::type("LogonList"), QMetaType::type("common::LogonList"));
}
