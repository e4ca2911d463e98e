#include "eventsource/logonrules.h"

#include <QMap>
#include <functional>
#include <gtest/gtest.h>

using namespace userCollector;

namespace {

// Answers from a table keyed by "name|from|to"; counts every call.
class FakeTranslator : public INameTranslator
{
public:
    struct Answer
    {
        bool ok;
        QString text;
        quint32 code;
    };
    QMap<QString, Answer> answers;
    QStringList calls;

    bool translateName(const QString &name, NameFormat from, NameFormat to, QString *translated,
                       quint32 *errorCode) override
    {
        const QString key = QStringLiteral("%1|%2|%3").arg(name).arg(from).arg(to);
        calls << key;
        const Answer answer = answers.value(key, Answer{false, QString(), ErrorNotAvailable});
        *translated = answer.text;
        *errorCode = answer.code;
        return answer.ok;
    }
};

class LogonRulesTest : public ::testing::Test
{
protected:
    void SetUp() override { INameTranslator::setInstanceForTest(&translator); }
    void TearDown() override { INameTranslator::setInstanceForTest(nullptr); }
    FakeTranslator translator;
};

TEST_F(LogonRulesTest, DnsFormTranslatesBackOnlyAfterCode1301)
{
    translator.answers[QStringLiteral("EMEA/|7|2")] = {false, QString(), INameTranslator::ErrorSomeNotMapped};
    translator.answers[QStringLiteral("EMEA\\|2|7")] = {true, QStringLiteral("emea.corp.example.com/"), 0};
    EXPECT_EQ(DomainNameCache::dnsForm(QStringLiteral("EMEA")), QStringLiteral("emea.corp.example.com"));

    // Success of the first call, or another code, means the name already is a DNS name.
    translator.answers[QStringLiteral("corp.example.com/|7|2")] = {true, QStringLiteral("CORP\\"), 0};
    EXPECT_EQ(DomainNameCache::dnsForm(QStringLiteral("corp.example.com")), QStringLiteral("corp.example.com"));
    translator.answers[QStringLiteral("LAB/|7|2")] = {false, QString(), INameTranslator::ErrorNoSuchUser};
    EXPECT_EQ(DomainNameCache::dnsForm(QStringLiteral("LAB")), QStringLiteral("LAB"));
    // 1301 and then a failure keeps the name.
    translator.answers[QStringLiteral("GONE/|7|2")] = {false, QString(), INameTranslator::ErrorSomeNotMapped};
    EXPECT_EQ(DomainNameCache::dnsForm(QStringLiteral("GONE")), QStringLiteral("GONE"));
}

TEST_F(LogonRulesTest, NetbiosFormTranslatesBackOnlyAfterCode1317)
{
    translator.answers[QStringLiteral("emea.corp.example.com\\|2|7")] = {false, QString(),
                                                                         INameTranslator::ErrorNoSuchUser};
    translator.answers[QStringLiteral("emea.corp.example.com/|7|2")] = {true, QStringLiteral("EMEA\\"), 0};
    EXPECT_EQ(DomainNameCache::netbiosForm(QStringLiteral("emea.corp.example.com")), QStringLiteral("EMEA"));
    translator.answers[QStringLiteral("X\\|2|7")] = {false, QString(), INameTranslator::ErrorSomeNotMapped};
    EXPECT_EQ(DomainNameCache::netbiosForm(QStringLiteral("X")), QStringLiteral("X"));
}

TEST_F(LogonRulesTest, ConfiguredDomainNeedsNoTranslationAndOthersAreTranslatedOnce)
{
    DomainNameCache cache;
    QString domain;
    QString fqdn;
    for (const char *seen : {"corp", "CORP", "Corp.Example.Com"}) {
        cache.map(QString::fromLatin1(seen), QStringLiteral("CORP"), QStringLiteral("corp.example.com"), &domain,
                  &fqdn);
        EXPECT_EQ(domain, QStringLiteral("CORP")) << seen;
        EXPECT_EQ(fqdn, QStringLiteral("corp.example.com")) << seen;
    }
    EXPECT_TRUE(translator.calls.isEmpty());

    // The default answer is "not available": the untranslated name is kept, in
    // upper case for NetBIOS and lower case for DNS, and asked for only once.
    for (int i = 0; i < 3; ++i) {
        cache.map(QStringLiteral("Other"), QStringLiteral("CORP"), QStringLiteral("corp.example.com"), &domain, &fqdn);
        EXPECT_EQ(domain, QStringLiteral("OTHER"));
        EXPECT_EQ(fqdn, QStringLiteral("other"));
    }
    EXPECT_EQ(translator.calls.size(), 2);
}

TEST_F(LogonRulesTest, EventAddressDropsTheMappedPrefixAndRefusesNonAddresses)
{
    // Event text, the address taken (empty: none).
    const std::vector<std::pair<const char *, const char *>> cases{
        {"::ffff:10.1.2.3", "10.1.2.3"},
        {"::FFFF:10.1.2.3", "10.1.2.3"},
        {"10.1.2.3", "10.1.2.3"},
        {"fe80::1c2b:3a4d:5e6f:7081", "fe80::1c2b:3a4d:5e6f:7081"},
        {"-", ""},
        {"", ""},
        {"::ffff:", ""},
        {"::ffff:0a01:0203", "10.1.2.3"},
        {"not an address", ""},
    };
    for (const auto &[text, expected] : cases)
        EXPECT_EQ(eventAddress(QString::fromLatin1(text), true), QHostAddress(QString::fromLatin1(expected))) << text;
}

TEST_F(LogonRulesTest, MakeLogonAppliesTheFilters)
{
    const QDateTime time = QDateTime::fromSecsSinceEpoch(1700000000);
    LogonCandidate good{QStringLiteral("alice"),
                        QHostAddress(QStringLiteral("10.0.0.5")),
                        time,
                        QStringLiteral("-"),
                        QStringLiteral("corp"),
                        QStringLiteral("S-1-5-21-1"),
                        LogonTypeNetwork,
                        QStringLiteral("Kerberos")};
    LogonRules rules(QStringLiteral("192.0.2.10"), {QStringLiteral("administrator")},
                     QStringLiteral("corp.example.com"), QStringLiteral("CORP"));
    common::Logon logon;
    ASSERT_TRUE(rules.makeLogon(good, &logon));
    EXPECT_EQ(logon.toString(),
              QStringLiteral("%1: user: CORP\\alice from 10.0.0.5 domain corp.example.com sid: S-1-5-21-1")
                  .arg(time.toString(Qt::ISODate)));

    const std::vector<std::tuple<const char *, std::function<void(LogonCandidate &)>, bool>> cases{
        {"interactive", [](LogonCandidate &c) { c.logonType = LogonTypeInteractive; }, true},
        {"unlock", [](LogonCandidate &c) { c.logonType = LogonTypeUnlock; }, true},
        {"ticket", [](LogonCandidate &c) { c.logonType = LogonTypeTicketOk; }, true},
        {"refused ticket", [](LogonCandidate &c) { c.logonType = LogonTypeTicketFailed; }, false},
        {"remote interactive", [](LogonCandidate &c) { c.logonType = QStringLiteral("10"); }, false},
        {"no type", [](LogonCandidate &c) { c.logonType.clear(); }, false},
        {"ntlm", [](LogonCandidate &c) { c.logonProcess = QStringLiteral("NtLmSsp"); }, false},
        {"advapi", [](LogonCandidate &c) { c.logonProcess = QStringLiteral("ADVAPI"); }, false},
        {"ignored", [](LogonCandidate &c) { c.user = QStringLiteral("Administrator"); }, false},
        {"machine", [](LogonCandidate &c) { c.user = QStringLiteral("PC07$"); }, false},
        {"anonymous", [](LogonCandidate &c) { c.user = QStringLiteral("ANONYMOUS LOGON"); }, false},
        {"no address", [](LogonCandidate &c) { c.address = QHostAddress(); }, false},
        {"loopback v4", [](LogonCandidate &c) { c.address = QHostAddress(QHostAddress::LocalHost); }, true},
        {"loopback v6", [](LogonCandidate &c) { c.address = QHostAddress(QHostAddress::LocalHostIPv6); }, true},
    };
    for (const auto &[why, change, accepted] : cases) {
        LogonCandidate candidate = good;
        change(candidate);
        EXPECT_EQ(rules.makeLogon(candidate, &logon), accepted) << why;
    }
    LogonCandidate loopback = good;
    loopback.address = QHostAddress(QHostAddress::LocalHost);
    ASSERT_TRUE(rules.makeLogon(loopback, &logon));
    EXPECT_EQ(logon.ip(), QHostAddress(QStringLiteral("192.0.2.10")));

    // A domain controller named by host name cannot stand in for loopback.
    LogonRules byName(QStringLiteral("dc01"), {}, QString(), QString());
    EXPECT_FALSE(byName.makeLogon(loopback, &logon));
}

} // namespace
