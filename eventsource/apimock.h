#pragma once

#include "eventsource/iactivedirectoryeventcollector.h"

namespace userCollector {

// A source that reads nothing: collection runs without any event log.
class ApiMock : public IActiveDirectoryEventCollector
{
public:
    explicit ApiMock(const QString &server) : IActiveDirectoryEventCollector(server) {}

    common::LogonList collect() override;
    bool testConnection() override { return true; }
    void stop() override {}
};

} // namespace userCollector
