#pragma once

#include <QObject>

class QtServiceBasePrivate;

// Lives in the application thread and turns the requests posted by the
// control socket's thread into the service's operations: 1001 stop (then the
// application quits), 1002 pause, 1003 resume, 1256 start, 1000 + n for user
// control n (the service's processCommand gets n - 128).
class QtServiceControllerHandler : public QObject
{
    Q_OBJECT
public:
    explicit QtServiceControllerHandler(QtServiceBasePrivate *service);

protected:
    void customEvent(QEvent *event) override;

private:
    QtServiceBasePrivate *m_service;
};
