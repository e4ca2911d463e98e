#pragma once

#include <QString>
#include <openssl/types.h>

class PskSocket;

// Process-wide OpenSSL glue of the TLS-PSK transport.
//
// OpenSSL's PSK callback only receives the SSL object, so every socket
// registers its SSL object here and the callback finds the socket again.
// A new SSL object at an address replaces the entry; a socket unregisters
// its object before freeing it. The map is guarded by a mutex so that
// servers in different threads (tests, benchmarks) cannot corrupt it; the
// agent itself uses it from the main thread only.
class SslRegistry
{
public:
    // Initialises libssl once per process (error strings loaded, random
    // generator seeded when it does not report itself seeded). Thread-safe.
    static void initOpenSsl();

    static void registerSocket(SSL *ssl, PskSocket *socket);
    // Removes the entry only when it still belongs to socket.
    static void unregisterSocket(SSL *ssl, const PskSocket *socket);
    static PskSocket *socketFor(const SSL *ssl);
    static int sizeForTest();

    // Every queued error of the calling thread's OpenSSL error queue, oldest
    // first, as standard error strings joined with ", "; empties the queue.
    // An empty queue gives the empty text.
    static QString errorText();
};
