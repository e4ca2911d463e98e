#pragma once

#include "serviceframe/qtservicebase.h"

// A service whose application object is of the given Qt application class.
// The frame deletes the application when its event loop has ended.
template <typename Application> class QtService : public QtServiceBase
{
public:
    QtService(int argc, char **argv, const QString &name) : QtServiceBase(argc, argv, name) {}
    ~QtService() override = default;

protected:
    Application *application() const { return m_app; }

    void createApplication(int &argc, char **argv) override { m_app = new Application(argc, argv); }
    int executeApplication() override { return Application::exec(); }

private:
    Application *m_app = nullptr;
};
