// SPDX-License-Identifier: MIT
#include "clientharness.h"
#include "mainwindow.h"
#include "temporaryworkingdirectory.h"

#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSslConfiguration>
#include <QTest>

// The program never weakens certificate checks: an unknown CA is refused,
// and trusting it the standard way is all it takes to connect.
class tst_Tls : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void refusesUnknownAuthority();
    void acceptsTrustedAuthority();

private:
    QSslCertificate m_ca;
    QSslCertificate m_certificate;
    QSslKey m_key;
    QSslConfiguration m_originalDefault;
};

void tst_Tls::initTestCase()
{
    m_originalDefault = QSslConfiguration::defaultConfiguration();
    const QString certs = QStringLiteral(VIRELTO_TEST_CERTS_DIR);
    m_ca = QSslCertificate::fromPath(certs + QStringLiteral("/ca.pem")).value(0);
    m_certificate = QSslCertificate::fromPath(certs + QStringLiteral("/server.pem")).value(0);
    QFile keyFile(certs + QStringLiteral("/server.key"));
    QVERIFY(keyFile.open(QIODevice::ReadOnly));
    m_key = QSslKey(&keyFile, QSsl::Ec);
    QVERIFY(!m_ca.isNull() && !m_certificate.isNull() && !m_key.isNull());
}

void tst_Tls::cleanup()
{
    QSslConfiguration::setDefaultConfiguration(m_originalDefault);
}

void tst_Tls::refusesUnknownAuthority()
{
    ClientHarness h(m_certificate, m_key);
    QVERIFY(h.server.baseUrl().toString().startsWith(QStringLiteral("https://")));

    h.parts->apiKey->setText(QStringLiteral("key"));
    h.parts->secretKey->setText(QStringLiteral("secret"));
    h.parts->getToken->click();
    QTRY_COMPARE(h.boxes.boxes.size(), 1);

    QCOMPARE(h.boxes.boxes.first().title, QStringLiteral("Network Error"));
    QVERIFY2(h.parts->status->text().startsWith(QStringLiteral("● Failed to get token: ")),
             qPrintable(h.parts->status->text()));
    QVERIFY(h.parts->accessToken->text().isEmpty());
    QVERIFY2(h.server.requests.isEmpty(), "credentials reached an untrusted server");
}

void tst_Tls::acceptsTrustedAuthority()
{
    // Adding to the list that systemCaCertificates() returns keeps the
    // system roots; addCaCertificate() on a default configuration drops them.
    QSslConfiguration trusting = QSslConfiguration::defaultConfiguration();
    trusting.setCaCertificates(QSslConfiguration::systemCaCertificates() << m_ca);
    QSslConfiguration::setDefaultConfiguration(trusting);

    ClientHarness h(m_certificate, m_key); // a fresh window: a pooled connection keeps its old trust
    h.server.enqueue(200, R"({"access_token":"24.tls","expires_in":2592000})");
    h.server.enqueue(200, R"({"words_result":[{"words":"over TLS"}],"words_result_num":1})");

    h.parts->apiKey->setText(QStringLiteral("key"));
    h.parts->secretKey->setText(QStringLiteral("secret"));
    h.parts->getToken->click();
    QTRY_COMPARE(h.parts->accessToken->text(), QStringLiteral("24.tls"));
    QCOMPARE(h.boxes.titles(), QStringList{QStringLiteral("Success")});

    TemporaryWorkingDirectory workDir;
    QVERIFY(workDir.isValid());
    QImage image(32, 24, QImage::Format_RGB32);
    image.fill(Qt::white);
    deliverCapturedImage(*h.window, image);
    QTRY_COMPARE(h.parts->status->text(), QStringLiteral("✅ Recognition completed. 1 lines detected."));

    QCOMPARE(h.server.requests.size(), 2);
    QCOMPARE(h.server.requests.at(0).path(), QByteArray("/oauth/2.0/token"));
    QCOMPARE(h.server.requests.at(1).query(), QByteArray("access_token=24.tls"));
}

QTEST_MAIN(tst_Tls)
#include "tst_tls.moc"
