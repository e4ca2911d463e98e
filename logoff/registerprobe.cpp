#include "logoff/registerprobe.h"

#include "log/applicationdebug.h"
#include "lookup/lookupoptions.h"
#include "lookup/lookupthread.h"
#include "lookup/namelookup.h"
#include "settings/settings.h"

#include <algorithm>
#include <atomic>
#include <limits>

namespace logoffCollector {

namespace {

std::atomic<int> timeLimitOverrideMs{0};

const QString volatileEnvironment = QStringLiteral("Volatile Environment");

} // namespace

RegisterProbe::RegisterProbe(quint32 pingTimeout, const QString &adName, unsigned int index, QObject *parent)
    : IProbeApi(adName, index, parent), pinger(pingTimeout, adName, index, this), registry(this)
{
    // As long as the pings of a probe may take, and never less than 10 s.
    registry.setTimeLimit(static_cast<int>(
        std::min<quint64>(std::max<quint64>(quint64(pingTimeout) * 4, 10000), std::numeric_limits<int>::max())));
    connect(&pinger, &PingProbe::probeSuccess, this, &RegisterProbe::onProbeSuccess);
    connect(&pinger, &PingProbe::probeFailure, this, &RegisterProbe::onProbeFailure);
}

RegisterProbe::~RegisterProbe()
{
    dropStage();
}

void RegisterProbe::setTimeLimitForTest(int milliseconds)
{
    timeLimitOverrideMs.store(milliseconds);
}

void RegisterProbe::probe(common::ShdLogon logon)
{
    if (!logon)
        return;
    dropStage();
    IProbeApi::probe(std::move(logon));
    pinger.probe(current);
}

void RegisterProbe::cancel()
{
    dropStage();
    pinger.cancel();
    current.clear();
}

bool RegisterProbe::isBusy() const
{
    return pinger.isBusy() || stageRunning;
}

void RegisterProbe::dropStage()
{
    ++generation;
    stageRunning = false;
    if (relay) {
        std::lock_guard<std::mutex> lock(relay->mutex);
        relay->target = nullptr;
    }
    relay.reset();
    registry.cancel();
}

QString RegisterProbe::addressText() const
{
    return current ? current->ip().toString() : QString();
}

void RegisterProbe::onProbeFailure(unsigned int, common::Logoff::LogoffType)
{
    // No answer to the pings: the host is gone, whatever the registry would say.
    emit probeFailure(index, common::Logoff::LogoffPing);
    emit probeCompleted(index);
}

void RegisterProbe::onProbeSuccess(unsigned int)
{
    stageRunning = true;
    const quint64 stage = ++generation;
    if (!current || !current->workstation().isEmpty()) {
        checkWithWorkstation();
        return;
    }
    // The reverse look-up may wait on name servers: it runs beside this thread.
    relay = std::make_shared<NameRelay>();
    relay->target = this;
    std::shared_ptr<NameRelay> way = relay;
    const QString address = addressText();
    const QString domain = current->domain();
    const lookup::LookupOptions options = lookup::LookupOptions::fromConfiguration();
    int error = 0;
    const lookup::LookupThreadHandle thread = lookup::LookupThread::start(
        [way, stage, address, domain, options] {
            const QString name = getHostNameFromIp(address, domain, options);
            std::lock_guard<std::mutex> lock(way->mutex);
            if (RegisterProbe *target = way->target)
                QMetaObject::invokeMethod(
                    target, [target, stage, name] { target->onHostName(stage, name); }, Qt::QueuedConnection);
        },
        &error);
    if (!thread) {
        ApplicationDebug::logLow(QStringLiteral("%1: Unable to create thread : %2").arg(adName, errorText(error)));
        QMetaObject::invokeMethod(
            this, [this, stage] { onHostName(stage, QString()); }, Qt::QueuedConnection);
    }
}

void RegisterProbe::onHostName(quint64 stage, const QString &hostName)
{
    if (stage != generation || !stageRunning)
        return; // a probe that has moved on
    relay.reset();
    current->setWorkstationFromHostName(hostName);
    checkWithWorkstation();
}

void RegisterProbe::checkWithWorkstation()
{
    if (!current) {
        complete();
        return;
    }
    if (current->workstation().isEmpty()) {
        ApplicationDebug::logLow(
            QStringLiteral("%1: Unable to find computer name for %2 (%3) so connection to registry is impossible")
                .arg(adName, current->user(), addressText()));
        present();
        return;
    }
    registry.setAuthFile(settings::Settings::instance()->globalConfiguration().RegistryAuthFile);
    if (const int limit = timeLimitOverrideMs.load())
        registry.setTimeLimit(limit);
    if (current->sid().isEmpty()) {
        registry.lookupSid(current->workstation(), current->ip(), current->netbiosUser(),
                           [this](const RemoteRegistry::Answer &answer) { onSid(answer); });
        return;
    }
    checkKey();
}

void RegisterProbe::onSid(const RemoteRegistry::Answer &answer)
{
    if (answer.outcome != RemoteRegistry::Outcome::Found) {
        registryError(QStringLiteral("LookupAccountName failed: %1 for %2(%3)")
                          .arg(answer.reason, current->workstation(), addressText()));
        return;
    }
    current->setSid(answer.sid); // the cache entry keeps it for the next probes
    checkKey();
}

void RegisterProbe::checkKey()
{
    ApplicationDebug::logHigh(QStringLiteral("RegConnectRegistry: %1 (%2)").arg(current->workstation(), addressText()));
    registry.checkUserKey(current->workstation(), current->ip(), current->sid(), volatileEnvironment,
                          [this](const RemoteRegistry::Answer &answer) { onKey(answer); });
}

void RegisterProbe::onKey(const RemoteRegistry::Answer &answer)
{
    const QString workstation = current->workstation();
    switch (answer.outcome) {
    case RemoteRegistry::Outcome::Found:
        present();
        return;
    case RemoteRegistry::Outcome::ConnectError:
        registryError(QStringLiteral("unable to connect to registry: %1 for %2 (%3)")
                          .arg(answer.reason, workstation, addressText()));
        return;
    case RemoteRegistry::Outcome::NotFound:
    case RemoteRegistry::Outcome::Error:
        ApplicationDebug::logHigh(QStringLiteral("%1: RegOpenKey: error: %2 for %3 (%4) sid: %5")
                                      .arg(adName, answer.reason, workstation, addressText(), current->sid()));
        break;
    }
    if (answer.outcome == RemoteRegistry::Outcome::Error) {
        // Access denied or a failing service says nothing about the user.
        registryError(QStringLiteral("unable to open registry key: %1 for %2 (%3) sid: %4")
                          .arg(answer.reason, workstation, addressText(), current->sid()));
        return;
    }
    stageRunning = false;
    emit probeFailure(index, common::Logoff::LogoffRegister);
    emit probeCompleted(index);
}

void RegisterProbe::present()
{
    stageRunning = false;
    emit probeSuccess(index);
    emit probeCompleted(index);
}

void RegisterProbe::registryError(const QString &message)
{
    ApplicationDebug::logLow(QStringLiteral("%1: %2").arg(adName, message));
    complete();
}

void RegisterProbe::complete()
{
    stageRunning = false;
    emit probeCompleted(index);
}

} // namespace logoffCollector
