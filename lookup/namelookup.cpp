#include "lookup/namelookup.h"

#include "lookup/dnsclient.h"
#include "lookup/systemresolver.h"

#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <algorithm>
#include <ares.h>
#include <chrono>
#include <cstring>
#include <memory>
#include <netdb.h>
#include <unistd.h>

using lookup::DnsRecord;
using lookup::LookupOptions;
using lookup::LookupThread;

namespace {

const QString ModeAll = QStringLiteral("all");
const QString ModeLlmnr = QStringLiteral("llmnr");

QString threadId()
{
    return QString::number(static_cast<qlonglong>(::gettid()));
}

QString resolverErrorText(int status)
{
    return QStringLiteral("%1 (error: %2)").arg(QString::fromUtf8(::gai_strerror(status))).arg(status);
}

void logQueryFailure(quint16 type, int status, const QString &name)
{
    if (type != lookup::TypeAAAA)
        LookupThread::logHigh(QStringLiteral("DnsQuery(%1) failed : %2 for %3")
                                  .arg(lookup::dnsTypeName(type), lookup::dnsStatusText(status), name));
}

// The A or AAAA answer of a name as addresses; other record types are skipped.
QList<QHostAddress> addressesByDns(const QString &name, quint16 type, const LookupOptions &options)
{
    QList<QHostAddress> addresses;
    const std::optional<QList<DnsRecord>> records = dnsQuery(name, type, options);
    if (!records)
        return addresses;
    for (const DnsRecord &record : *records) {
        if (record.type == lookup::TypeA || record.type == lookup::TypeAAAA)
            addresses.append(record.address);
        else
            LookupThread::logHigh(QStringLiteral("DnsQuery return a bad type: %1").arg(record.type));
    }
    return addresses;
}

QList<QHostAddress> addressesBySystem(const QString &name)
{
    QList<QHostAddress> addresses;
    QList<lookup::ISystemResolver::Answer> answers;
    const int status = lookup::ISystemResolver::current()->addressesOf(name.toUtf8(), &answers);
    if (status == EAI_NONAME || status == EAI_NODATA)
        return addresses;
    if (status != 0) {
        LookupThread::logLow(QStringLiteral("getaddrinfo failed with error: %1").arg(resolverErrorText(status)));
        return addresses;
    }
    for (const lookup::ISystemResolver::Answer &answer : answers) {
        if (answer.family == AF_INET || answer.family == AF_INET6)
            addresses.append(answer.address);
        else
            LookupThread::logHigh(QStringLiteral("(getaddrinfo) Family: Other %1").arg(answer.family));
    }
    return addresses;
}

QString hostNameBySystem(const QString &addressText, const QHostAddress &address, const QString &domain)
{
    QByteArray host;
    int systemError = 0;
    const int status = lookup::ISystemResolver::current()->nameOf(address, &host, &systemError);
    if (status != 0) {
        const QString reason = status == EAI_SYSTEM ? errorText(systemError) : resolverErrorText(status);
        LookupThread::logLow(QStringLiteral("getnameinfo failed: %1 (status = %2).").arg(reason).arg(status));
        return QString();
    }
    const QString name = QString::fromUtf8(host);
    // A numeric answer is no name; compare as addresses too (::0:1 is ::1).
    if (name == addressText || QHostAddress(name) == address)
        return QString();
    const QString domainLabel = domain.section(QLatin1Char('.'), 0, 0);
    if (!name.isEmpty() && name.compare(domainLabel, Qt::CaseInsensitive) == 0) {
        LookupThread::logHigh(QStringLiteral("getnameinfo return domain in place of host"));
        return QString();
    }
    return name;
}

// One batch: a thread per qualifying item, at most options.threadLimit() at a
// time, all within options.batchLimitMs. take(i) copies the result of item i
// back; it runs in the caller's thread, for finished workers only.
bool runBatch(int count, const std::function<bool(int)> &qualifies,
              const std::function<std::function<void()>(int)> &workFor, const std::function<void(int)> &take,
              bool logWaits, const LookupOptions &options, lookup::BatchReport *report)
{
    lookup::BatchReport local;
    lookup::BatchReport &r = report ? *report : local;
    r = lookup::BatchReport();
    const int limit = options.threadLimit();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(options.batchLimitMs);
    const auto remaining = [&deadline] {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        return static_cast<int>(std::max<qint64>(0, left.count()));
    };
    QList<QPair<int, lookup::LookupThreadHandle>> started;
    QList<lookup::LookupThreadHandle> waiting;
    // Late workers are left to finish on their own copies; only finished ones count.
    const auto collect = [&] {
        for (const auto &entry : started)
            entry.second->abandon();
        for (const auto &entry : started) {
            if (entry.second->isFinished()) {
                take(entry.first);
                ++r.finished;
            } else {
                ++r.abandoned;
            }
        }
    };

    for (int i = 0; i < count; ++i) {
        if (!qualifies(i))
            continue;
        // The calling thread is being stopped: start nothing more.
        if (LookupThread::batchesInterrupted()) {
            collect();
            return false;
        }
        int error = 0;
        const lookup::LookupThreadHandle thread = LookupThread::start(workFor(i), &error);
        if (!thread) {
            LookupThread::logLow(QStringLiteral("Unable to create thread : %1").arg(errorText(error)));
            waitForThreads(waiting, true, remaining());
            collect();
            return false;
        }
        started.append(qMakePair(i, thread));
        waiting.append(thread);
        ++r.started;
        r.peakRunning = std::max(r.peakRunning, static_cast<int>(waiting.size()));
        if (waiting.size() >= limit && !waitForOneThread(waiting, remaining())) {
            if (logWaits)
                LookupThread::logHigh(QStringLiteral("wait for one thread error"));
            collect();
            return false;
        }
    }
    const bool complete = waitForThreads(waiting, true, remaining()) >= 0;
    if (!complete && logWaits)
        LookupThread::logHigh(QStringLiteral("waitForThreads error"));
    collect();
    return complete;
}

} // namespace

std::optional<QList<DnsRecord>> dnsQuery(const QString &name, quint16 type, const LookupOptions &options)
{
    QList<DnsRecord> records;
    const int status = options.mode == ModeLlmnr ? lookup::queryLlmnr(name, type, options, &records)
                                                 : lookup::queryDns(name, type, options, &records);
    if (status != ARES_SUCCESS) {
        logQueryFailure(type, status, name);
        return std::nullopt;
    }
    return records;
}

QList<QHostAddress> getIpFromHostName(const QString &name)
{
    return getIpFromHostName(name, LookupOptions::fromConfiguration());
}

QList<QHostAddress> getIpFromHostName(const QString &name, const LookupOptions &options)
{
    QList<QHostAddress> result = addressesByDns(name, lookup::TypeA, options);
    result.append(addressesByDns(name, lookup::TypeAAAA, options));
    // A name no resolver could be asked about (empty, illegal characters, too
    // long) has been logged by the DNS query and goes no further.
    if (result.isEmpty() && options.mode == ModeAll && lookup::isValidQueryName(name))
        result = addressesBySystem(name);
    return result;
}

QString reverseLookupName(const QString &address)
{
    QHostAddress parsed;
    if (!parsed.setAddress(address))
        return QString();
    QString name;
    if (parsed.protocol() == QAbstractSocket::IPv4Protocol) {
        const quint32 value = parsed.toIPv4Address();
        for (int shift = 0; shift < 32; shift += 8)
            name += QString::number((value >> shift) & 0xff) + QLatin1Char('.');
        return name + QStringLiteral("in-addr.arpa.");
    }
    static const char digits[] = "0123456789abcdef";
    const Q_IPV6ADDR bytes = parsed.toIPv6Address();
    for (int i = 15; i >= 0; --i) {
        name += QLatin1Char(digits[bytes.c[i] & 0x0f]);
        name += QLatin1Char('.');
        name += QLatin1Char(digits[bytes.c[i] >> 4]);
        name += QLatin1Char('.');
    }
    return name + QStringLiteral("ip6.arpa.");
}

QString getHostNameFromIp(const QString &address, const QString &domain)
{
    return getHostNameFromIp(address, domain, LookupOptions::fromConfiguration());
}

QString getHostNameFromIp(const QString &address, const QString &domain, const LookupOptions &options)
{
    const QString queryName = reverseLookupName(address);
    if (queryName.isEmpty()) {
        // Not an address: nothing to ask anyone.
        logQueryFailure(lookup::TypePTR, ARES_EBADNAME, address);
        return QString();
    }
    QString name;
    if (const std::optional<QList<DnsRecord>> records = dnsQuery(queryName, lookup::TypePTR, options)) {
        for (const DnsRecord &record : *records) {
            if (record.type == lookup::TypePTR) {
                name = record.host;
                break;
            }
            LookupThread::logHigh(QStringLiteral("DnsQuery return a bad type: %1").arg(record.type));
        }
    }
    if (name.isEmpty() && options.mode == ModeAll)
        name = hostNameBySystem(address, QHostAddress(address), domain);
    return name;
}

bool lookupAddressesInThreads(QList<HostAddresses> &items)
{
    return lookupAddressesInThreads(items, LookupOptions::fromConfiguration());
}

bool lookupAddressesInThreads(QList<HostAddresses> &items, const LookupOptions &options, lookup::BatchReport *report)
{
    std::vector<std::shared_ptr<QList<QHostAddress>>> found(static_cast<size_t>(items.size()));
    const auto qualifies = [&items](int i) { return !items.at(i).name.isEmpty(); };
    const auto workFor = [&items, &found, &options](int i) -> std::function<void()> {
        auto slot = std::make_shared<QList<QHostAddress>>();
        found[static_cast<size_t>(i)] = slot;
        const QString name = items.at(i).name;
        return [slot, name, options] {
            LookupThread::logHigh(
                QStringLiteral("Search for %1 in thread %2 with getIpFromHostName").arg(name, threadId()));
            *slot = getIpFromHostName(name, options);
            LookupThread::logHigh(
                QStringLiteral("Lookup for %1 in thread %2 found %3 ips").arg(name, threadId()).arg(slot->size()));
        };
    };
    const auto take = [&items, &found](int i) { items[i].append(*found[static_cast<size_t>(i)]); };
    return runBatch(items.size(), qualifies, workFor, take, false, options, report);
}

bool lookupHostNamesInThreads(common::LogonList &logons)
{
    return lookupHostNamesInThreads(logons, LookupOptions::fromConfiguration());
}

bool lookupHostNamesInThreads(common::LogonList &logons, const LookupOptions &options, lookup::BatchReport *report)
{
    std::vector<std::shared_ptr<QString>> names(static_cast<size_t>(logons.size()));
    const auto qualifies = [&logons](int i) { return logons.at(i).workstation().isEmpty(); };
    const auto workFor = [&logons, &names, &options](int i) -> std::function<void()> {
        auto slot = std::make_shared<QString>();
        names[static_cast<size_t>(i)] = slot;
        const common::Logon &logon = logons.at(i);
        const QString ip = logon.ip().toString();
        const QString domain = logon.domain();
        const QString user = logon.user();
        return [slot, ip, domain, user, options] {
            *slot = getHostNameFromIp(ip, domain, options);
            const QString shown = slot->isEmpty() ? QStringLiteral("nothing") : *slot;
            LookupThread::logHigh(
                QStringLiteral("reverse lookup returned %1 for %2(%3) in thread %4").arg(shown, ip, user, threadId()));
        };
    };
    const auto take = [&logons, &names](int i) {
        logons[i].setWorkstationFromHostName(*names[static_cast<size_t>(i)]);
    };
    return runBatch(logons.size(), qualifies, workFor, take, true, options, report);
}

bool flushResolverCache()
{
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected()) {
        LookupThread::logLow(
            QStringLiteral("unable to flush the resolver cache: no system bus (%1)").arg(bus.lastError().message()));
        return false;
    }
    const QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.resolve1"), QStringLiteral("/org/freedesktop/resolve1"),
        QStringLiteral("org.freedesktop.resolve1.Manager"), QStringLiteral("FlushCaches"));
    const QDBusMessage reply = bus.call(call, QDBus::Block, 5000);
    if (reply.type() != QDBusMessage::ReplyMessage) {
        LookupThread::logLow(
            QStringLiteral("unable to flush the resolver cache: %1 (%2)").arg(reply.errorMessage(), reply.errorName()));
        return false;
    }
    return true;
}

QString errorText(int code)
{
    char buffer[1024] = {};
    const char *text = ::strerror_r(code, buffer, sizeof buffer);
    return QStringLiteral("%1 (error: %2)").arg(QString::fromLocal8Bit(text)).arg(code);
}

int waitForThreads(const QList<lookup::LookupThreadHandle> &threads, bool waitAll, int timeoutMs)
{
    const int index = LookupThread::waitFor(threads, waitAll, timeoutMs);
    if (index < 0 && !LookupThread::batchesInterrupted())
        LookupThread::logLow(QStringLiteral("waiting for look-up threads failed with a time-out"));
    return index;
}

bool waitForOneThread(QList<lookup::LookupThreadHandle> &threads, int timeoutMs)
{
    if (threads.isEmpty())
        return true;
    const int index = waitForThreads(threads, false, timeoutMs);
    if (index < 0)
        return false;
    threads.removeAt(index);
    return true;
}
