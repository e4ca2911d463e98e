// Feeds arbitrary bytes to the agent's reading of a firewall: the framer, in
// chunks whose sizes come from the input, then every parser on every complete
// message. Only protocol errors may come out; the framer must
// never hold more than its limits; every accepted rule must be valid.
#include "firewall/protocol.h"
#include "fuzz/fuzzcheck.h"

#include <QDateTime>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

using UtmConnect::Protocol;
using ProtocolException = UtmConnect::Client::ProtocolException;

void parseEverything(const QString &text)
{
    IniFile message;
    message.parse(text);
    FUZZ_CHECK(Protocol::entryCount(message) >= 0);
    (void)Protocol::dump(text);
    for (const QString &name : message.sectionNames())
        for (const QString &key : message.keys(name))
            (void)message.boolValue(name, key, message.intValue(name, key, 0) != 0);

    try {
        const auto handshake = Protocol::readHandshake(message);
        FUZZ_CHECK(handshake.protocolVersion == 2 || handshake.protocolVersion == 3);
    } catch (const ProtocolException &e) {
        FUZZ_CHECK(e.code() == 1 || e.code() == 2);
    }
    try {
        QString adName;
        const auto config = Protocol::readConfiguration(message, settings::ADConfiguration(), QStringLiteral("SN"),
                                                        QDateTime(), &adName);
        FUZZ_CHECK(!config.servers().isEmpty() && config.adName() == adName);
    } catch (const ProtocolException &e) {
        FUZZ_CHECK(e.code() == 1);
    }
    try {
        const auto rules = Protocol::readInitialUserList(message);
        for (const auto &rule : rules) {
            FUZZ_CHECK(rule.isValid() && rule.id != 0 && rule.id <= rules.size());
            (void)rule.toString();
        }
    } catch (const ProtocolException &e) {
        FUZZ_CHECK(e.code() == 1);
    }
    try {
        for (const auto &rule : Protocol::readUserDelta(message))
            FUZZ_CHECK(rule.isValid() && (rule.kind == 0 || rule.kind == 1));
    } catch (const ProtocolException &e) {
        FUZZ_CHECK(e.code() == 1);
    }
    try {
        Protocol::checkAck(message, text, 1);
    } catch (const ProtocolException &e) {
        FUZZ_CHECK(e.code() == 1 || e.code() == 3);
    }
    (void)Protocol::isKeepAlive(message);
    (void)Protocol::goodbyeError(message);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    // The first byte picks the read size, so lines and terminators are cut
    // at every position.
    const size_t chunk = size_t(data[0]) + 1;
    ++data;
    --size;

    UtmConnect::MessageFramer framer;
    for (size_t offset = 0; offset < size; offset += chunk) {
        framer.append(QByteArray(reinterpret_cast<const char *>(data) + offset, int(std::min(chunk, size - offset))));
        try {
            QString text;
            while (framer.takeMessage(&text)) {
                FUZZ_CHECK(!text.trimmed().isEmpty());
                parseEverything(text);
            }
        } catch (const ProtocolException &e) {
            FUZZ_CHECK(e.code() == 1);
        }
    }
    return 0;
}
