#pragma once

#include "serviceframe/qtservicebase.h"
#include "serviceframe/qtservicecontroller.h"
#include "serviceframe/signalwatcher.h"

#include <QByteArrayList>
#include <vector>

class HandlerThread;

// The frame's private state; touched by the main (application) thread only,
// except `q` which the handler thread uses for logMessage.
class QtServiceBasePrivate
{
public:
    QtServiceBasePrivate(QtServiceBase *service, const QString &name);

    // The command-line actions and the two ways of running.
    int runApplication(const QStringList &arguments); // -e
    bool runService(int *exitCode);
    bool install(const QString &account, const QString &password);
    // After install: warns on standard error when the account cannot write
    // what the service writes beside its executable.
    void checkAccountAccess(const QString &account) const;
    QString filePath() const;

    // Application thread: carries out request `code` (start 256, stop 1,
    // pause 2, resume 3, user control 128..255).
    void handleRequest(int code);
    // Application thread: what answers a query, empty when refused.
    QtServiceBase::QueryAnswer answerQuery(const QByteArray &query);
    void onSignal(SignalWatcher::Action action);
    void startService() { q->start(); }

    QtServiceBase *q;
    QString serviceName;
    QString serviceDescription;
    QtServiceBase::ServiceFlags serviceFlags = QtServiceBase::Default;
    QStringList args;
    QStringList writtenBesideExecutable;
    QtServiceController controller;
    HandlerThread *handlerThread = nullptr;
    bool stopRequested = false;
    bool console = false;    // runApplication (-e) runs the service
    int failureExitCode = 0; // set by reportFailure

    static QtServiceBase *instance;
    static QtServiceBase::InterruptHandler interruptHandler;

private:
    void prepareArguments(const QStringList &arguments);
    bool createApplication();
    SignalWatcher *createSignalWatcher();

    // The application keeps references to these for its whole life.
    int m_appArgc = 0;
    QByteArrayList m_appArgStorage;
    std::vector<char *> m_appArgv;
};
