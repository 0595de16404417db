// SPDX-License-Identifier: MIT
#ifndef HTTPTESTSERVER_H
#define HTTPTESTSERVER_H

#include <QByteArray>
#include <QList>
#include <QPointer>
#include <QSslCertificate>
#include <QSslKey>
#include <QTcpServer>
#include <QUrl>

class QTcpSocket;

// One request as it arrived on the wire.
struct RecordedRequest
{
    QByteArray method;
    QByteArray target; // path and query, exactly as sent
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray body;

    QByteArray path() const;
    QByteArray query() const;
    // Query items split the way a form decoder does: '+' is a space, then %XX.
    QList<QPair<QString, QString>> queryItems() const;
    QByteArray header(const QByteArray &name) const; // case-insensitive
};

// What the server answers to the next request.
struct ScriptedReply
{
    int status = 200;
    QByteArray body = "{}";
    QByteArray contentType = "application/json";
    QByteArray reason;   // empty: the usual phrase for the status
    bool noLength = false; // no Content-Length: the body ends when the connection closes
    bool stall = false;  // read the request, never answer
    bool hold = false;   // answer only when release() is called
};

// A small HTTP/1.1 server on 127.0.0.1 (optionally TLS) that records every
// request and answers from a script, in the manner of Qt's own network tests.
class HttpTestServer : public QTcpServer
{
    Q_OBJECT

public:
    explicit HttpTestServer(QObject *parent = nullptr);

    bool listenOnLoopback();
    void useTls(const QSslCertificate &certificate, const QSslKey &key);
    QUrl baseUrl() const;

    void enqueue(const ScriptedReply &reply);
    void enqueue(int status, const QByteArray &body);
    // Answers the held request with that index (order of arrival).
    void release(int heldIndex);

    QList<RecordedRequest> requests;
    int handshakeFailures = 0;

signals:
    void requestReceived();

protected:
    void incomingConnection(qintptr socketDescriptor) override;

private:
    struct Held
    {
        QPointer<QTcpSocket> socket;
        ScriptedReply reply;
    };

    void readFrom(QTcpSocket *socket);
    static void answer(QTcpSocket *socket, const ScriptedReply &reply);

    QList<ScriptedReply> m_script;
    QList<Held> m_held;
    QSslCertificate m_certificate;
    QSslKey m_key;
    bool m_tls = false;
};

#endif // HTTPTESTSERVER_H
