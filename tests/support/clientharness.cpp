// SPDX-License-Identifier: MIT
#include "clientharness.h"

#include "mainwindow.h"

#include <QNetworkReply>

ClientHarness::ClientHarness()
    : ClientHarness(QSslCertificate(), QSslKey())
{
}

ClientHarness::ClientHarness(const QSslCertificate &certificate, const QSslKey &key)
{
    if (!certificate.isNull())
        server.useTls(certificate, key);
    if (!server.listenOnLoopback())
        qFatal("cannot listen on 127.0.0.1: %s", qPrintable(server.errorString()));
    qputenv("VIRELTO_API_BASE_URL", server.baseUrl().toEncoded());
    window = std::make_unique<MainWindow>();
    parts = std::make_unique<WindowParts>(*window);
}

ClientHarness::~ClientHarness()
{
    window.reset();
    qunsetenv("VIRELTO_API_BASE_URL");
}

int ClientHarness::pendingReplies() const
{
    return window->findChildren<QNetworkReply *>().size();
}
