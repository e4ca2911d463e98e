#include "serviceframe/controlchannel.h"
#include "support/fakecontrolserver.h"

#include <QTemporaryDir>
#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace serviceframe;

namespace {

struct ParseCase
{
    const char *line;
    bool valid;
    ControlRequest::Kind kind;
    int control;
};

TEST(ParseControlRequest, AcceptsExactlyTheKnownLines)
{
    const ParseCase cases[] = {
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
        {"STOP", false, ControlRequest::Interrogate, 0},
        {"stop ", false, ControlRequest::Interrogate, 0},
        {"", false, ControlRequest::Interrogate, 0},
    };
    for (const ParseCase &c : cases) {
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
    testsupport::FakeControlServer server(socketPath(), [](const QByteArray &request) {
        return request == "pause" ? QByteArray("ok paused") : QByteArray("refused running");
    });
    ASSERT_TRUE(server.isListening());

    ControlReply reply = send(ControlRequest::Pause);
    EXPECT_TRUE(reply.answered);
    EXPECT_TRUE(reply.accepted);
    EXPECT_EQ(reply.state, ServiceState::Paused);

    reply = send(ControlRequest::UserControl, 133);
    EXPECT_TRUE(reply.answered);
    EXPECT_FALSE(reply.accepted);
    EXPECT_EQ(reply.state, ServiceState::Running);
    EXPECT_EQ(server.requests(), (QList<QByteArray>{"pause", "control 133"}));
}

TEST_F(SendControlRequest, NobodyListening)
{
    ControlReply reply = send(ControlRequest::Interrogate);
    EXPECT_FALSE(reply.connected);
    EXPECT_EQ(reply.error, ENOENT);

    // A socket file left behind by a killed process.
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray path = socketPath().toLocal8Bit();
    std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    ::close(fd);
    reply = send(ControlRequest::Interrogate);
    EXPECT_FALSE(reply.connected);
    EXPECT_EQ(reply.error, ECONNREFUSED);
}

TEST_F(SendControlRequest, MalformedOrMissingRepliesAreNotAnswers)
{
    const QByteArray replies[] = {"ok", "ok sleeping", "yes running", ""};
    for (const QByteArray &answer : replies) {
        testsupport::FakeControlServer server(socketPath(), [answer](const QByteArray &) { return answer; });
        const ControlReply reply = send(ControlRequest::Stop);
        EXPECT_TRUE(reply.connected) << answer.constData();
        EXPECT_FALSE(reply.answered) << answer.constData();
        EXPECT_NE(reply.error, 0) << answer.constData();
    }
}

TEST_F(SendControlRequest, TooLongPathIsRefused)
{
    ControlRequest request;
    const ControlReply reply = sendControlRequest(QString(200, QLatin1Char('x')), request, 100);
    EXPECT_FALSE(reply.connected);
    EXPECT_EQ(reply.error, ENAMETOOLONG);
}

} // namespace
