#pragma once

#include <QObject>

class QtServiceBasePrivate;

// Calls the service's start once the event loop runs (console mode).
class QtServiceStarter : public QObject
{
    Q_OBJECT
public:
    explicit QtServiceStarter(QtServiceBasePrivate *service) : m_service(service) {}

public slots:
    void slotStart();

private:
    QtServiceBasePrivate *m_service;
};
