// Runs GoogleTest inside a QCoreApplication so that tests can use event
// loops, timers, sockets and QSignalSpy.
#include "common/logon.h"

#include <QCoreApplication>
#include <gtest/gtest.h>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    common::registerMetaTypes();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
