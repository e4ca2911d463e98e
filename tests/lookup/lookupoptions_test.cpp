// What the look-up takes from the configuration.
#include "lookup/lookupoptions.h"
#include "lookuptestsupport.h"
#include "settings/configuration.h"
#include "settings/settings.h"
#include "support/tempinstance.h"

#include <gtest/gtest.h>

using lookup::Endpoint;
using lookup::LookupOptions;

namespace {
Endpoint at(const char *address, quint16 port)
{
    return Endpoint{QHostAddress(QString::fromLatin1(address)), port};
}
} // namespace

TEST(LookupOptions, ParsesEndpoints)
{
    struct Case
    {
        QString text;
        QList<Endpoint> expected;
        bool logged;
    };
    const QList<Case> cases = {
        {QStringLiteral("127.0.0.1"), {at("127.0.0.1", 53)}, false},
        {QStringLiteral("127.0.0.1:5353"), {at("127.0.0.1", 5353)}, false},
        {QStringLiteral(" 10.0.0.1:54 , 10.0.0.2 "), {at("10.0.0.1", 54), at("10.0.0.2", 53)}, false},
        {QStringLiteral("::1"), {at("::1", 53)}, false},
        {QStringLiteral("[::1]:5300"), {at("::1", 5300)}, false},
        {QStringLiteral("[fd00::1]"), {at("fd00::1", 53)}, false},
        {QString(), {}, false},
        {QStringLiteral("dns.corp.test"), {}, true},
        {QStringLiteral("10.0.0.1:0"), {}, true},
        {QStringLiteral("10.0.0.1:70000"), {}, true},
        {QStringLiteral("10.0.0.1:x"), {}, true},
        {QStringLiteral("[::1"), {}, true},
        {QStringLiteral("[::1]x"), {}, true},
        {QStringLiteral("bad,10.0.0.3"), {at("10.0.0.3", 53)}, true},
    };
    for (const Case &c : cases) {
        lookuptest::LogTail log;
        EXPECT_EQ(LookupOptions::parseEndpoints(c.text, 53, QStringLiteral("DnsServers")), c.expected)
            << c.text.toStdString();
        EXPECT_EQ(log.contains(QStringLiteral("DnsServers entry must be an ip with an optional port: ")), c.logged)
            << c.text.toStdString();
    }
}

TEST(LookupOptions, ThreadLimit)
{
    for (const auto &c : QList<QPair<int, int>>{{64, 64}, {1, 1}, {10, 10}, {100, 64}, {0, 1}, {-3, 1}}) {
        LookupOptions options;
        options.maxThreadPool = c.first;
        EXPECT_EQ(options.threadLimit(), c.second) << c.first;
    }
}

TEST(LookupOptions, ReadsTheReadOnlyKeysBesideTheSettingsAndNeverWritesThem)
{
    static testsupport::TempInstance instance;
    instance.writeFile(QStringLiteral("config.ini"),
                       "[Global]\nLookup=llmnr\nMaxThreadPool=8\n"
                       "DnsServers=127.0.0.1:5353, [::1]:53\nLlmnrTarget=127.0.0.1:5356\n");
    settings::Settings::setDirectoryForTest(instance.path());
    const LookupOptions options = LookupOptions::fromConfiguration();
    EXPECT_EQ(options.mode, QStringLiteral("llmnr"));
    EXPECT_EQ(options.maxThreadPool, 8);
    EXPECT_EQ(options.dnsServers, (QList<Endpoint>{at("127.0.0.1", 5353), at("::1", 53)}));
    EXPECT_EQ(options.llmnrTargets, QList<Endpoint>{at("127.0.0.1", 5356)});
    EXPECT_EQ(options.batchLimitMs, 300000);
    settings::Settings::destroy();
    EXPECT_TRUE(instance.readFile(QStringLiteral("config.ini")).contains("DnsServers=127.0.0.1:5353"));

    // Without the keys: the system's resolvers and the multicast groups.
    const LookupOptions plain =
        LookupOptions::fromConfiguration(settings::GlobalConfiguration(), instance.filePath(QStringLiteral("no.ini")));
    EXPECT_TRUE(plain.dnsServers.isEmpty());
    EXPECT_TRUE(plain.llmnrTargets.isEmpty());
}
