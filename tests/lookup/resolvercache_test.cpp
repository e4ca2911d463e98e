// The resolver cache flush against a stand-in for systemd-resolved on a
// private message bus that the test starts and points the system bus at.
#include "lookup/namelookup.h"
#include "lookuptestsupport.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <atomic>
#include <future>
#include <gtest/gtest.h>

namespace {

class FakeResolved : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.resolve1.Manager")
public:
    std::atomic<int> flushes{0};
public slots:
    void FlushCaches() { ++flushes; }
};

// A message bus of our own, started before anything in the process touches D-Bus.
class PrivateBus
{
public:
    PrivateBus()
    {
        const QString config = m_dir.filePath(QStringLiteral("bus.conf"));
        QFile file(config);
        if (!file.open(QIODevice::WriteOnly))
            return;
        file.write(QStringLiteral("<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                                  " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                                  "<busconfig><type>session</type><listen>unix:path=%1</listen>"
                                  "<auth>EXTERNAL</auth><policy context=\"default\">"
                                  "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
                                  "<allow own=\"*\"/></policy></busconfig>\n")
                       .arg(m_dir.filePath(QStringLiteral("socket")))
                       .toUtf8());
        file.close();
        // Ends with the test process even when the test dies.
        m_daemon.start(QStringLiteral("setpriv"),
                       {QStringLiteral("--pdeathsig"), QStringLiteral("TERM"), QStringLiteral("--"),
                        QStringLiteral("dbus-daemon"), QStringLiteral("--config-file=%1").arg(config),
                        QStringLiteral("--nofork"), QStringLiteral("--print-address=1")});
        if (!m_daemon.waitForStarted(5000) || !m_daemon.waitForReadyRead(5000))
            return;
        m_address = QString::fromUtf8(m_daemon.readLine()).trimmed();
    }
    ~PrivateBus()
    {
        m_daemon.terminate();
        m_daemon.waitForFinished(5000);
    }
    QString address() const { return m_address; }

private:
    QTemporaryDir m_dir;
    QProcess m_daemon;
    QString m_address;
};

// flushResolverCache blocks on the bus; the stand-in answers from this
// thread's event loop, so the flush runs beside it.
bool flushInAnotherThread()
{
    std::future<bool> result = std::async(std::launch::async, [] { return flushResolverCache(); });
    const bool ready =
        QTest::qWaitFor([&] { return result.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, 15000);
    EXPECT_TRUE(ready);
    return result.get(); // the bus call gives up after its own time-out
}

} // namespace

TEST(ResolverCache, FlushAsksResolvedOnTheSystemBus)
{
    PrivateBus bus;
    if (bus.address().isEmpty())
        GTEST_SKIP() << "dbus-daemon cannot run here";
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", bus.address().toUtf8());

    {
        // The bus runs, the resolver does not.
        lookuptest::LogTail log;
        EXPECT_FALSE(flushInAnotherThread());
        EXPECT_TRUE(log.contains(QStringLiteral("unable to flush the resolver cache: "))) << log.text().toStdString();
    }

    QDBusConnection service = QDBusConnection::connectToBus(bus.address(), QStringLiteral("fake-resolved"));
    ASSERT_TRUE(service.isConnected());
    FakeResolved resolved;
    ASSERT_TRUE(service.registerObject(QStringLiteral("/org/freedesktop/resolve1"), &resolved,
                                       QDBusConnection::ExportAllSlots));
    ASSERT_TRUE(service.registerService(QStringLiteral("org.freedesktop.resolve1")));
    EXPECT_TRUE(flushInAnotherThread());
    EXPECT_EQ(resolved.flushes.load(), 1);
    service.unregisterService(QStringLiteral("org.freedesktop.resolve1"));
    QDBusConnection::disconnectFromBus(QStringLiteral("fake-resolved"));
}

#include "resolvercache_test.moc"
