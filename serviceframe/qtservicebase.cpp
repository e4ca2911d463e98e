#include "serviceframe/qtservicebase.h"

#include "serviceframe/accountaccess.h"
#include "serviceframe/handlerthread.h"
#include "serviceframe/qtservicebase_p.h"
#include "serviceframe/qtservicecontrollerhandler.h"
#include "serviceframe/qtservicestarter.h"
#include "serviceframe/unitfile.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QTimer>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

QtServiceBase *QtServiceBasePrivate::instance = nullptr;
QtServiceBase::InterruptHandler QtServiceBasePrivate::interruptHandler = nullptr;

namespace {
const char *const UsageText =
    "\n%s -[i|u|e|t|p|r|c|v|h]\n"
    "\t-i(nstall) [account] [password]\t: Install the service, optionally using given account and password\n"
    "\t-u(ninstall)\t: Uninstall the service.\n"
    "\t-e(xec)\t\t: Run as a regular application. Useful for debugging.\n"
    "\t-t(erminate)\t: Stop the service.\n"
    "\t-p(ause)\t: Pause the service.\n"
    "\t-r(esume)\t: Resume a paused service.\n"
    "\t-c(ommand) num\t: Send command code num to the service.\n"
    "\t-v(ersion)\t: Print version and status information.\n"
    "\t-h(elp)   \t: Show this help\n"
    "\tNo arguments\t: Start the service.\n";

const int StartRequest = 256;
const int StopRequest = 1;
const int PauseRequest = 2;
const int ResumeRequest = 3;

int syslogPriority(QtServiceBase::MessageType type)
{
    switch (type) {
    case QtServiceBase::Error:
        return LOG_DAEMON | LOG_ERR;
    case QtServiceBase::Warning:
        return LOG_DAEMON | LOG_WARNING;
    case QtServiceBase::Success:
    case QtServiceBase::Information:
        break;
    }
    return LOG_DAEMON | LOG_INFO;
}

// One datagram in the local syslog format, to /dev/log (journald's socket).
// $SSO_AGENT_SYSLOG_SOCKET names another socket, for tests.
bool sendToSyslog(const QByteArray &datagram)
{
    QByteArray path = qgetenv("SSO_AGENT_SYSLOG_SOCKET");
    if (path.isEmpty())
        path = "/dev/log";
    sockaddr_un address;
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (path.size() >= int(sizeof address.sun_path))
        return false;
    std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    const ssize_t sent = ::sendto(fd, datagram.constData(), size_t(datagram.size()), MSG_NOSIGNAL,
                                  reinterpret_cast<sockaddr *>(&address), sizeof address);
    ::close(fd);
    return sent == datagram.size();
}

QByteArray latin1(const QString &text)
{
    return text.toLatin1();
}
} // namespace

// ---- QtServiceBasePrivate ---------------------------------------------------------------

QtServiceBasePrivate::QtServiceBasePrivate(QtServiceBase *service, const QString &name)
    : q(service), serviceName(name), controller(name)
{}

QString QtServiceBasePrivate::filePath() const
{
    char buffer[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0)
        return QFileInfo(args.value(0)).absoluteFilePath();
    return QString::fromLocal8Bit(buffer, int(n));
}

bool QtServiceBasePrivate::install(const QString &account, const QString &password)
{
    QString error;
    const bool installed =
        QtServiceController::install(serviceName, serviceDescription, filePath(), account, password, &error);
    if (!error.isEmpty())
        std::fprintf(stderr, "install: %s\n", error.toLocal8Bit().constData());
    return installed;
}

void QtServiceBasePrivate::checkAccountAccess(const QString &account) const
{
    QString user;
    QString error;
    if (!serviceframe::unitUser(account, &user, &error) || user == QLatin1String("root"))
        return;
    const QString folder = QFileInfo(filePath()).absolutePath();
    QStringList paths;
    if (!serviceframe::AccountAccess::unwritable(user, folder, writtenBesideExecutable, &paths, &error)) {
        std::fprintf(stderr, "Warning: could not check what %s may write in %s: %s\n", user.toLocal8Bit().constData(),
                     folder.toLocal8Bit().constData(), error.toLocal8Bit().constData());
        return;
    }
    if (paths.isEmpty())
        return;
    std::fprintf(stderr,
                 "Warning: the service runs as %s, who cannot write %s.\n"
                 "The service keeps its configuration and its log there. To give them to %s, run as root:\n"
                 "  %s\n",
                 user.toLocal8Bit().constData(), paths.join(QStringLiteral(", ")).toLocal8Bit().constData(),
                 user.toLocal8Bit().constData(),
                 serviceframe::AccountAccess::fixCommand(user, folder, paths).toLocal8Bit().constData());
}

void QtServiceBasePrivate::prepareArguments(const QStringList &arguments)
{
    m_appArgStorage.clear();
    for (const QString &argument : arguments)
        m_appArgStorage.append(argument.toLocal8Bit());
    m_appArgv.clear();
    for (QByteArray &argument : m_appArgStorage)
        m_appArgv.push_back(argument.data());
    m_appArgv.push_back(nullptr);
    m_appArgc = int(m_appArgStorage.size());
}

bool QtServiceBasePrivate::createApplication()
{
    q->createApplication(m_appArgc, m_appArgv.data());
    return QCoreApplication::instance() != nullptr;
}

SignalWatcher *QtServiceBasePrivate::createSignalWatcher()
{
    SignalWatcher *watcher = SignalWatcher::create({SignalWatcher::Interrupt, SignalWatcher::Terminate});
    if (watcher) {
        QObject::connect(watcher, &SignalWatcher::handleSignal, watcher,
                         [this](SignalWatcher::Action action) { onSignal(action); });
    }
    return watcher;
}

void QtServiceBasePrivate::onSignal(SignalWatcher::Action action)
{
    // As a service, SIGTERM is what the service manager sends to stop it.
    const bool stopRequest = handlerThread && action == SignalWatcher::Terminate;
    if (!stopRequest && interruptHandler) {
        interruptHandler();
        return;
    }
    if (stopRequested)
        return;
    if (handlerThread)
        handlerThread->beginStop();
    handleRequest(StopRequest);
}

void QtServiceBasePrivate::handleRequest(int code)
{
    switch (code) {
    case StartRequest:
        q->start();
        return;
    case StopRequest:
        if (!stopRequested) {
            stopRequested = true;
            q->stop();
            QCoreApplication::quit();
        }
        return;
    case PauseRequest:
        if (!stopRequested)
            q->pause();
        return;
    case ResumeRequest:
        if (!stopRequested)
            q->resume();
        return;
    default:
        if (code >= 128 && code <= 255 && !stopRequested)
            q->processCommand(code - 128);
        return;
    }
}

int QtServiceBasePrivate::runApplication(const QStringList &arguments)
{
    console = true;
    prepareArguments(arguments);
    if (!createApplication())
        return -1;
    auto starter = std::make_unique<QtServiceStarter>(this);
    QTimer::singleShot(0, starter.get(), &QtServiceStarter::slotStart);
    std::unique_ptr<SignalWatcher> watcher(createSignalWatcher());
    int result = q->executeApplication();
    if (result == 0)
        result = failureExitCode;
    watcher.reset();
    starter.reset();
    delete QCoreApplication::instance();
    return result;
}

bool QtServiceBasePrivate::runService(int *exitCode)
{
    // Started by systemd (Type=notify) or not a service at all.
    if (qEnvironmentVariableIsEmpty("NOTIFY_SOCKET"))
        return false;
    prepareArguments(args);

    auto thread = std::make_unique<HandlerThread>(this, QtServiceController::controlSocketPath(serviceName),
                                                  serviceFlags.testFlag(QtServiceBase::CanBeSuspended));
    handlerThread = thread.get();
    thread->start();
    const bool served = thread->startSemaphore().tryAcquire(1, 20000) && thread->listening();
    if (!served || !createApplication()) {
        thread->shutdown();
        thread->wait();
        handlerThread = nullptr;
        return false;
    }

    auto handler = std::make_unique<QtServiceControllerHandler>(this);
    std::unique_ptr<SignalWatcher> watcher(createSignalWatcher());
    thread->applicationReady(handler.get());
    *exitCode = q->executeApplication();
    if (*exitCode == 0)
        *exitCode = failureExitCode;

    thread->applicationFinished(*exitCode);
    thread->shutdown();
    if (!thread->wait(1000))
        thread->wait(); // a request is still being answered; never delete a running thread
    handlerThread = nullptr;
    thread.reset();
    watcher.reset();
    handler.reset();
    delete QCoreApplication::instance();
    return true;
}

// ---- QtServiceControllerHandler, QtServiceStarter ------------------------------------------

QtServiceControllerHandler::QtServiceControllerHandler(QtServiceBasePrivate *service) : m_service(service) {}

QtServiceBase::QueryAnswer QtServiceBasePrivate::answerQuery(const QByteArray &query)
{
    return stopRequested ? QtServiceBase::QueryAnswer() : q->answerQuery(query);
}

void QtServiceControllerHandler::customEvent(QEvent *event)
{
    if (auto *query = dynamic_cast<QueryEvent *>(event))
        query->result->answer = m_service->answerQuery(query->result->query);
    else
        m_service->handleRequest(int(event->type()) - int(QEvent::User));
    if (m_service->handlerThread)
        m_service->handlerThread->requestDone();
}

void QtServiceStarter::slotStart()
{
    m_service->startService();
}

// ---- QtServiceBase ------------------------------------------------------------------------

QtServiceBase::QtServiceBase(int argc, char **argv, const QString &name)
    : d_ptr(std::make_unique<QtServiceBasePrivate>(this, name))
{
    Q_ASSERT(!QtServiceBasePrivate::instance);
    QtServiceBasePrivate::instance = this;
    for (int i = 0; i < argc; ++i)
        d_ptr->args.append(QString::fromLocal8Bit(argv[i]));
}

QtServiceBase::~QtServiceBase()
{
    QtServiceBasePrivate::instance = nullptr;
}

void QtServiceBase::reportFailure(const QString &reason, int exitCode)
{
    d_ptr->failureExitCode = exitCode != 0 ? exitCode : 1;
    if (d_ptr->handlerThread)
        d_ptr->handlerThread->reportFailure(reason);
}

bool QtServiceBase::runsInConsole() const
{
    return d_ptr->console;
}

QtServiceBase *QtServiceBase::instance()
{
    return QtServiceBasePrivate::instance;
}

void QtServiceBase::setInterruptHandler(InterruptHandler handler)
{
    QtServiceBasePrivate::interruptHandler = handler;
}

QString QtServiceBase::serviceName() const
{
    return d_ptr->serviceName;
}

QString QtServiceBase::serviceDescription() const
{
    return d_ptr->serviceDescription;
}

void QtServiceBase::setServiceDescription(const QString &description)
{
    d_ptr->serviceDescription = description;
}

QtServiceBase::ServiceFlags QtServiceBase::serviceFlags() const
{
    return d_ptr->serviceFlags;
}

void QtServiceBase::setServiceFlags(ServiceFlags flags)
{
    d_ptr->serviceFlags = flags;
}

void QtServiceBase::setWrittenBesideExecutable(const QStringList &names)
{
    d_ptr->writtenBesideExecutable = names;
}

void QtServiceBase::stop() {}
void QtServiceBase::pause() {}
void QtServiceBase::resume() {}
void QtServiceBase::processCommand(int code)
{
    Q_UNUSED(code)
}

QtServiceBase::QueryAnswer QtServiceBase::answerQuery(const QByteArray &query)
{
    Q_UNUSED(query)
    return QueryAnswer();
}

void QtServiceBase::logMessage(const QString &message, MessageType type, int id, uint category, const QByteArray &data)
{
    // The system log has no event ids, categories or raw data.
    Q_UNUSED(id)
    Q_UNUSED(category)
    Q_UNUSED(data)
    char stamp[32] = {};
    const std::time_t now = std::time(nullptr);
    std::tm local;
    localtime_r(&now, &local);
    static const char *const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::snprintf(stamp, sizeof stamp, "%s %2d %02d:%02d:%02d", months[local.tm_mon % 12], local.tm_mday, local.tm_hour,
                  local.tm_min, local.tm_sec);
    const QByteArray ident = d_ptr->serviceName.toUtf8();
    const QByteArray datagram = QByteArray("<") + QByteArray::number(syslogPriority(type)) + ">" + QByteArray(stamp) +
                                " " + ident + "[" + QByteArray::number(qint64(::getpid())) + "]: " + message.toUtf8();
    if (!sendToSyslog(datagram))
        std::fprintf(stderr, "%s: %s\n", ident.constData(), message.toLocal8Bit().constData());
}

int QtServiceBase::exec()
{
    QtServiceBasePrivate &d = *d_ptr;
    const QByteArray name = latin1(d.serviceName);
    if (d.args.size() > 1) {
        const QString a = d.args.at(1);
        if (a == QLatin1String("-i") || a == QLatin1String("-install")) {
            if (!d.controller.isInstalled()) {
                const QString account = d.args.value(2);
                const QString password = d.args.value(3);
                if (!d.install(account, password)) {
                    std::fprintf(stderr, "The service %s could not be installed\n", name.constData());
                    return -1;
                }
                std::printf("The service %s has been installed under: %s\n", name.constData(),
                            latin1(d.filePath()).constData());
                std::fflush(stdout);
                d.checkAccountAccess(account);
            } else {
                std::fprintf(stderr, "The service %s is already installed\n", name.constData());
            }
            return 0;
        }
        if (a == QLatin1String("-u") || a == QLatin1String("-uninstall")) {
            if (d.controller.isInstalled()) {
                if (!d.controller.uninstall()) {
                    std::fprintf(stderr, "The service %s could not be uninstalled\n", name.constData());
                    return -1;
                }
                std::printf("The service %s has been uninstalled.\n", name.constData());
            } else {
                std::fprintf(stderr, "The service %s is not installed\n", name.constData());
            }
            return 0;
        }
        if (a == QLatin1String("-v") || a == QLatin1String("-version")) {
            std::printf("The service\n\t%s\n\t%s\n\n", name.constData(), latin1(d.args.at(0)).constData());
            std::printf("is %s", d.controller.isInstalled() ? "installed" : "not installed");
            std::printf(" and %s\n\n", d.controller.isRunning() ? "running" : "not running");
            return 0;
        }
        if (a == QLatin1String("-e") || a == QLatin1String("-exec")) {
            QStringList arguments = d.args;
            arguments.removeAt(1);
            const int result = d.runApplication(arguments);
            if (result == -1)
                qErrnoWarning(errno, "The service could not be executed.");
            return result;
        }
        if (a == QLatin1String("-t") || a == QLatin1String("-terminate")) {
            if (!d.controller.stop())
                qErrnoWarning(errno, "The service could not be stopped.");
            return 0;
        }
        if (a == QLatin1String("-p") || a == QLatin1String("-pause")) {
            d.controller.pause();
            return 0;
        }
        if (a == QLatin1String("-r") || a == QLatin1String("-resume")) {
            d.controller.resume();
            return 0;
        }
        if (a == QLatin1String("-c") || a == QLatin1String("-command")) {
            // Absent or not a number: 0, as toInt reports.
            const int code = d.args.value(2).toInt();
            d.controller.sendCommand(code);
            return 0;
        }
        if (a == QLatin1String("-h") || a == QLatin1String("-help")) {
            std::printf(UsageText, latin1(d.args.at(0)).constData());
            return 0;
        }
    }
    int exitCode = 0;
    if (!d.runService(&exitCode)) {
        std::fprintf(stderr, "The service %s could not start\n", name.constData());
        return -4;
    }
    return exitCode;
}
