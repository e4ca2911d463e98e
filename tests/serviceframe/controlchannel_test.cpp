#include "serviceframe/controlchannel.h"
#include "support/fakecontrolserver.h"

#include <QTemporaryDir>
#include <cerrno>
#include <gtest/gtest.h>

using namespace serviceframe;

namespace {

TEST(ParseControlRequest, AcceptsExactlyTheKnownLines)
{
    const struct
    {
        const char *line;
        bool valid;
        ControlRequest::Kind kind;
        int control;
    } cases[] = {
        {"stop", true, ControlRequest::Stop, 0},
        {"pause", true, ControlRequest::Pause, 0},
        {"resume", true, ControlRequest::Resume, 0},
        {"interrogate", true, ControlRequest::Interrogate, 0},
        {"control 128", true, ControlRequest::UserControl, 128},
        {"control 133", true, ControlRequest::UserControl, 133},
        {"control 255", true, ControlRequest::UserControl, 255},
        {"control 127", false, ControlRequest::Interrogate, 0}, // not a user control
        {"control 256", false, ControlRequest::Interrogate, 0},
        {"control -5", false, ControlRequest::Interrogate, 0},
        {"control 0133", false, ControlRequest::Interrogate, 0},
        {"control 13x", false, ControlRequest::Interrogate, 0},
        {"control ", false, ControlRequest::Interrogate, 0},
        {"status", true, ControlRequest::Query, 0},
        {"mappings", true, ControlRequest::Query, 0},
        {"mappings {\"ip\":\"10.0.0.5\"}", true, ControlRequest::Query, 0},
        {"mappings ", false, ControlRequest::Interrogate, 0},
        {"status ", false, ControlRequest::Interrogate, 0},
        {"STOP", false, ControlRequest::Interrogate, 0},
        {"stop ", false, ControlRequest::Interrogate, 0},
        {"", false, ControlRequest::Interrogate, 0},
    };
    for (const auto &c : cases) {
        ControlRequest request;
        EXPECT_EQ(parseControlRequest(c.line, &request), c.valid) << c.line;
        if (c.valid) {
            EXPECT_EQ(request.kind, c.kind) << c.line;
            EXPECT_EQ(request.control, c.control) << c.line;
            EXPECT_EQ(controlRequestLine(request), QByteArray(c.line)) << "round trip";
        }
    }
}

TEST(StateText, RoundTripsEveryState)
{
    for (int value = 1; value <= 7; ++value) {
        const auto state = ServiceState(value);
        ServiceState parsed = ServiceState::Stopped;
        ASSERT_TRUE(stateFromText(stateText(state), &parsed)) << value;
        EXPECT_EQ(parsed, state);
    }
    ServiceState parsed;
    EXPECT_FALSE(stateFromText("sleeping", &parsed));
}

class SendControlRequest : public ::testing::Test
{
protected:
    QString socketPath() const { return m_dir.filePath(QStringLiteral("control")); }
    ControlReply send(ControlRequest::Kind kind, int control = 0, int timeoutMs = 2000)
    {
        ControlRequest request;
        request.kind = kind;
        request.control = control;
        return sendControlRequest(socketPath(), request, timeoutMs);
    }

    QTemporaryDir m_dir;
};

TEST_F(SendControlRequest, ReadsTheServiceStateFromTheReply)
{
    const struct
    {
        QByteArray answer;
        bool answered;
        bool accepted;
        ServiceState state;
    } cases[] = {
        {"ok paused", true, true, ServiceState::Paused},
        {"refused running", true, false, ServiceState::Running},
        // Malformed or missing: no answer.
        {"ok", false, false, {}},
        {"ok sleeping", false, false, {}},
        {"yes running", false, false, {}},
        {"", false, false, {}},
    };
    for (const auto &c : cases) {
        testsupport::FakeControlServer server(socketPath(), [&c](const QByteArray &) { return c.answer; });
        ASSERT_TRUE(server.isListening());
        const ControlReply reply = send(ControlRequest::UserControl, 133);
        EXPECT_TRUE(reply.connected) << c.answer.constData();
        EXPECT_EQ(reply.answered, c.answered) << c.answer.constData();
        if (c.answered) {
            EXPECT_EQ(reply.accepted, c.accepted) << c.answer.constData();
            EXPECT_EQ(reply.state, c.state) << c.answer.constData();
        } else {
            EXPECT_NE(reply.error, 0) << c.answer.constData();
        }
        EXPECT_EQ(server.requests(), QList<QByteArray>{"control 133"});
    }
}

TEST_F(SendControlRequest, NobodyListening)
{
    ControlReply reply = send(ControlRequest::Interrogate);
    EXPECT_FALSE(reply.connected);
    EXPECT_EQ(reply.error, ENOENT);

    ASSERT_TRUE(testsupport::leaveStaleSocket(socketPath()));
    reply = send(ControlRequest::Interrogate);
    EXPECT_FALSE(reply.connected);
    EXPECT_EQ(reply.error, ECONNREFUSED);
}

TEST_F(SendControlRequest, TooLongPathIsRefused)
{
    ControlRequest request;
    const ControlReply reply = sendControlRequest(QString(200, QLatin1Char('x')), request, 100);
    EXPECT_FALSE(reply.connected);
    EXPECT_EQ(reply.error, ENAMETOOLONG);
}

} // namespace
