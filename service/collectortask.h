#pragma once

#include "common/logon.h"
#include "eventsource/iactivedirectoryeventcollector.h"
#include "service/collectionstats.h"
#include "settings/configuration.h"

#include <QDateTime>
#include <QObject>
#include <QString>
#include <QTimer>
#include <memory>

namespace service {

// Polls one domain controller through one event source: every
// CollectInterval seconds (counted from the end of a run) it collects and
// emits the batch, also an empty one. After a failed collection it emits
// nothing and waits ten times as long. It says once per 15 minutes of silence
// that nothing was found.
//
// Created without parent by its logon collector and moved into a thread of
// its own: started() -> startCollect, finished() -> stopAndDeleteTimer. Its
// slots, timer and event source run only in that thread; the source may block
// there as long as a read takes. The task owns its source and its timer.
// An ApiName that names no event source is logged at construction; such a
// task never collects.
class CollectorTask : public QObject
{
    Q_OBJECT
public:
    CollectorTask(const settings::ADConfiguration &config, const QString &server);
    ~CollectorTask() override;

    // The timer's current period in ms, -1 before the first start (tests).
    int timerIntervalForTest() const { return timer ? timer->interval() : -1; }
    bool hasEventSourceForTest() const { return eventSource != nullptr; }

signals:
    void newLogonCollected(common::LogonList logons, QString adName);

public slots:
    void startCollect();
    void stopAndDeleteTimer();

private slots:
    void run();

private:
    void startTimer(quint64 ms);
    QString prefix() const { return config.shortName() + QStringLiteral(": "); }

    std::unique_ptr<userCollector::IActiveDirectoryEventCollector> eventSource;
    QTimer *timer = nullptr;
    settings::ADConfiguration config;
    QDateTime lastLogonTime;
    QSharedPointer<CollectionStats> stats; // of the adName, shared with the agent's status
};

} // namespace service
