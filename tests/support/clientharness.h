// SPDX-License-Identifier: MIT
#ifndef CLIENTHARNESS_H
#define CLIENTHARNESS_H

#include "httptestserver.h"
#include "messageboxrecorder.h"
#include "windowparts.h"

#include <memory>

class MainWindow;

// A window that talks to its own loopback server, with message boxes
// recorded and closed. The server address is set before the window exists,
// as the window reads it once. Given a certificate, the server speaks TLS.
struct ClientHarness
{
    ClientHarness();
    ClientHarness(const QSslCertificate &certificate, const QSslKey &key);
    ~ClientHarness();

    HttpTestServer server;
    MessageBoxRecorder boxes;
    std::unique_ptr<MainWindow> window;
    std::unique_ptr<WindowParts> parts;

    // Replies still owned by the window's network manager.
    int pendingReplies() const;
};

#endif // CLIENTHARNESS_H
