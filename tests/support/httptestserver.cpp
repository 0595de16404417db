// SPDX-License-Identifier: MIT
#include "httptestserver.h"

#include <QSslSocket>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace {

const char BufferProperty[] = "httpBuffer";

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 500: return "Internal Server Error";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    default: return "Status";
    }
}

// A Qt client waits for the delayed ACK of its request before it sends the
// body; acknowledging at once saves about 40 ms per POST.
void quickAck(QTcpSocket *socket)
{
    const int on = 1;
    ::setsockopt(int(socket->socketDescriptor()), IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
}

} // namespace

QByteArray RecordedRequest::path() const
{
    const int mark = target.indexOf('?');
    return mark < 0 ? target : target.left(mark);
}

QByteArray RecordedRequest::query() const
{
    const int mark = target.indexOf('?');
    return mark < 0 ? QByteArray() : target.mid(mark + 1);
}

QList<QPair<QString, QString>> RecordedRequest::queryItems() const
{
    QList<QPair<QString, QString>> items;
    const QByteArray q = query();
    if (q.isEmpty())
        return items;
    for (QByteArray pair : q.split('&')) {
        pair.replace('+', ' ');
        const int eq = pair.indexOf('=');
        const QByteArray key = eq < 0 ? pair : pair.left(eq);
        const QByteArray value = eq < 0 ? QByteArray() : pair.mid(eq + 1);
        items.append({QString::fromUtf8(QByteArray::fromPercentEncoding(key)),
                      QString::fromUtf8(QByteArray::fromPercentEncoding(value))});
    }
    return items;
}

QByteArray RecordedRequest::header(const QByteArray &name) const
{
    for (const auto &h : headers) {
        if (h.first.compare(name, Qt::CaseInsensitive) == 0)
            return h.second;
    }
    return QByteArray();
}

HttpTestServer::HttpTestServer(QObject *parent)
    : QTcpServer(parent)
{
}

bool HttpTestServer::listenOnLoopback()
{
    return listen(QHostAddress::LocalHost, 0);
}

void HttpTestServer::useTls(const QSslCertificate &certificate, const QSslKey &key)
{
    m_certificate = certificate;
    m_key = key;
    m_tls = true;
}

QUrl HttpTestServer::baseUrl() const
{
    QUrl url;
    url.setScheme(m_tls ? QStringLiteral("https") : QStringLiteral("http"));
    url.setHost(QStringLiteral("127.0.0.1"));
    url.setPort(serverPort());
    return url;
}

void HttpTestServer::enqueue(const ScriptedReply &reply)
{
    m_script.append(reply);
}

void HttpTestServer::enqueue(int status, const QByteArray &body)
{
    ScriptedReply reply;
    reply.status = status;
    reply.body = body;
    m_script.append(reply);
}

void HttpTestServer::release(int heldIndex)
{
    const Held &held = m_held.at(heldIndex);
    if (held.socket)
        answer(held.socket, held.reply);
}

void HttpTestServer::incomingConnection(qintptr socketDescriptor)
{
    QTcpSocket *socket = nullptr;
    if (m_tls) {
        auto *ssl = new QSslSocket(this);
        ssl->setSocketDescriptor(socketDescriptor);
        ssl->setLocalCertificate(m_certificate);
        ssl->setPrivateKey(m_key);
        connect(ssl, QOverload<const QList<QSslError> &>::of(&QSslSocket::sslErrors), this,
                [this] { ++handshakeFailures; });
        connect(ssl, &QAbstractSocket::errorOccurred, this, [this, ssl] {
            if (!ssl->isEncrypted())
                ++handshakeFailures;
        });
        ssl->startServerEncryption();
        socket = ssl;
    } else {
        socket = new QTcpSocket(this);
        socket->setSocketDescriptor(socketDescriptor);
    }
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    connect(socket, &QTcpSocket::readyRead, this, [this, socket] { readFrom(socket); });
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
}

void HttpTestServer::readFrom(QTcpSocket *socket)
{
    quickAck(socket);
    QByteArray buffer = socket->property(BufferProperty).toByteArray() + socket->readAll();

    for (;;) {
        const int headerEnd = buffer.indexOf("\r\n\r\n");
        if (headerEnd < 0)
            break;
        const QList<QByteArray> lines = buffer.left(headerEnd).split('\n');
        RecordedRequest request;
        const QList<QByteArray> requestLine = lines.first().trimmed().split(' ');
        request.method = requestLine.value(0);
        request.target = requestLine.value(1);
        qsizetype contentLength = 0;
        for (int i = 1; i < lines.size(); ++i) {
            const int colon = lines[i].indexOf(':');
            if (colon < 0)
                continue;
            const QByteArray name = lines[i].left(colon).trimmed();
            const QByteArray value = lines[i].mid(colon + 1).trimmed();
            request.headers.append({name, value});
            if (name.compare("content-length", Qt::CaseInsensitive) == 0)
                contentLength = value.toLongLong();
        }
        const qsizetype total = headerEnd + 4 + contentLength;
        if (buffer.size() < total)
            break;
        request.body = buffer.mid(headerEnd + 4, contentLength);
        buffer.remove(0, total);

        const ScriptedReply reply = m_script.isEmpty() ? ScriptedReply() : m_script.takeFirst();
        requests.append(request);
        if (reply.hold)
            m_held.append({socket, reply});
        else if (!reply.stall)
            answer(socket, reply);
        emit requestReceived();
    }
    socket->setProperty(BufferProperty, buffer);
}

void HttpTestServer::answer(QTcpSocket *socket, const ScriptedReply &reply)
{
    QByteArray response = "HTTP/1.1 " + QByteArray::number(reply.status) + ' '
            + (reply.reason.isEmpty() ? reasonPhrase(reply.status) : reply.reason) + "\r\n";
    if (!reply.contentType.isEmpty())
        response += "Content-Type: " + reply.contentType + "\r\n";
    if (reply.noLength)
        response += "Connection: close\r\n\r\n";
    else
        response += "Content-Length: " + QByteArray::number(reply.body.size()) + "\r\n\r\n";
    response += reply.body;
    socket->write(response);
    if (reply.noLength)
        socket->disconnectFromHost();
}
