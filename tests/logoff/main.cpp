// The probing tests send real ICMP echoes and run real servers: the process
// moves into a network namespace of its own before anything else starts, so
// that nothing it sends leaves this machine. Otherwise as tests/support/testmain.cpp.
#include "common/logon.h"
#include "support/networknamespace.h"

#include <QCoreApplication>
#include <gtest/gtest.h>

int main(int argc, char **argv)
{
    testsupport::enterNetworkNamespace();
    QCoreApplication app(argc, argv);
    common::registerMetaTypes();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
