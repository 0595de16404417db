// SPDX-License-Identifier: MIT
#include "mainwindow.h"
#include "windowdriver.h"

#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QSslConfiguration>
#include <QTemporaryDir>
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
    bool openssl(const QStringList &arguments);
    std::unique_ptr<MainWindow> windowFor(HttpTestServer &server);

    QTemporaryDir m_dir;
    QSslCertificate m_ca;
    QSslCertificate m_certificate;
    QSslKey m_key;
    QSslConfiguration m_originalDefault;
};

bool tst_Tls::openssl(const QStringList &arguments)
{
    QProcess process;
    process.setWorkingDirectory(m_dir.path());
    process.start(QStringLiteral("openssl"), arguments);
    if (!process.waitForFinished(60000) || process.exitCode() != 0) {
        qWarning() << "openssl" << arguments << process.readAllStandardError();
        return false;
    }
    return true;
}

void tst_Tls::initTestCase()
{
    m_originalDefault = QSslConfiguration::defaultConfiguration();
    QVERIFY(m_dir.isValid());
    const QStringList ec = {QStringLiteral("-newkey"), QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
                            QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes")};
    QVERIFY(openssl(QStringList{QStringLiteral("req"), QStringLiteral("-x509")} + ec
                    + QStringList{QStringLiteral("-keyout"), QStringLiteral("ca.key"), QStringLiteral("-out"),
                                  QStringLiteral("ca.pem"), QStringLiteral("-days"), QStringLiteral("2"),
                                  QStringLiteral("-subj"), QStringLiteral("/CN=Loopback Test CA"),
                                  QStringLiteral("-addext"), QStringLiteral("basicConstraints=critical,CA:TRUE"),
                                  QStringLiteral("-addext"), QStringLiteral("keyUsage=critical,keyCertSign,cRLSign")}));
    QVERIFY(openssl(QStringList{QStringLiteral("req")} + ec
                    + QStringList{QStringLiteral("-keyout"), QStringLiteral("server.key"), QStringLiteral("-out"),
                                  QStringLiteral("server.csr"), QStringLiteral("-subj"), QStringLiteral("/CN=127.0.0.1")}));
    QFile ext(m_dir.filePath(QStringLiteral("server.ext")));
    QVERIFY(ext.open(QIODevice::WriteOnly));
    ext.write("subjectAltName=IP:127.0.0.1\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n");
    ext.close();
    QVERIFY(openssl({QStringLiteral("x509"), QStringLiteral("-req"), QStringLiteral("-in"), QStringLiteral("server.csr"),
                     QStringLiteral("-CA"), QStringLiteral("ca.pem"), QStringLiteral("-CAkey"), QStringLiteral("ca.key"),
                     QStringLiteral("-CAcreateserial"), QStringLiteral("-days"), QStringLiteral("2"),
                     QStringLiteral("-extfile"), QStringLiteral("server.ext"), QStringLiteral("-out"),
                     QStringLiteral("server.pem")}));

    m_ca = QSslCertificate::fromPath(m_dir.filePath(QStringLiteral("ca.pem"))).value(0);
    m_certificate = QSslCertificate::fromPath(m_dir.filePath(QStringLiteral("server.pem"))).value(0);
    QFile keyFile(m_dir.filePath(QStringLiteral("server.key")));
    QVERIFY(keyFile.open(QIODevice::ReadOnly));
    m_key = QSslKey(&keyFile, QSsl::Ec);
    QVERIFY(!m_ca.isNull() && !m_certificate.isNull() && !m_key.isNull());
}

void tst_Tls::cleanup()
{
    QSslConfiguration::setDefaultConfiguration(m_originalDefault);
    qunsetenv("VIRELTO_API_BASE_URL");
}

std::unique_ptr<MainWindow> tst_Tls::windowFor(HttpTestServer &server)
{
    server.useTls(m_certificate, m_key);
    if (!server.listenOnLoopback())
        return nullptr;
    qputenv("VIRELTO_API_BASE_URL", server.baseUrl().toEncoded());
    return std::make_unique<MainWindow>();
}

void tst_Tls::refusesUnknownAuthority()
{
    HttpTestServer server;
    MessageBoxRecorder boxes;
    auto window = windowFor(server);
    QVERIFY(window);
    WindowParts parts(*window);
    QVERIFY(server.baseUrl().toString().startsWith(QStringLiteral("https://")));

    parts.apiKey->setText(QStringLiteral("key"));
    parts.secretKey->setText(QStringLiteral("secret"));
    parts.getToken->click();
    QTRY_COMPARE(boxes.boxes.size(), 1);

    QCOMPARE(boxes.boxes.first().title, QStringLiteral("Network Error"));
    QVERIFY2(parts.status->text().startsWith(QStringLiteral("● Failed to get token: ")), qPrintable(parts.status->text()));
    QVERIFY(parts.accessToken->text().isEmpty());
    QVERIFY2(server.requests.isEmpty(), "credentials reached an untrusted server");
}

void tst_Tls::acceptsTrustedAuthority()
{
    // Adding to the list that systemCaCertificates() returns keeps the
    // system roots; addCaCertificate() on a default configuration drops them.
    QSslConfiguration trusting = QSslConfiguration::defaultConfiguration();
    trusting.setCaCertificates(QSslConfiguration::systemCaCertificates() << m_ca);
    QSslConfiguration::setDefaultConfiguration(trusting);

    HttpTestServer server;
    MessageBoxRecorder boxes;
    auto window = windowFor(server); // a fresh window: a pooled connection keeps its old trust
    QVERIFY(window);
    WindowParts parts(*window);
    server.enqueue(200, R"({"access_token":"24.tls","expires_in":2592000})");
    server.enqueue(200, R"({"words_result":[{"words":"over TLS"}],"words_result_num":1})");

    parts.apiKey->setText(QStringLiteral("key"));
    parts.secretKey->setText(QStringLiteral("secret"));
    parts.getToken->click();
    QTRY_COMPARE(parts.accessToken->text(), QStringLiteral("24.tls"));
    QCOMPARE(boxes.titles(), QStringList{QStringLiteral("Success")});

    QTemporaryDir workDir;
    const QString previousDir = QDir::currentPath();
    QDir::setCurrent(workDir.path());
    QImage image(32, 24, QImage::Format_RGB32);
    image.fill(Qt::white);
    deliverCapturedImage(*window, image);
    QTRY_COMPARE(parts.status->text(), QStringLiteral("✅ Recognition completed. 1 lines detected."));
    QDir::setCurrent(previousDir);

    QCOMPARE(server.requests.size(), 2);
    QCOMPARE(server.requests.at(0).path(), QByteArray("/oauth/2.0/token"));
    QCOMPARE(server.requests.at(1).query(), QByteArray("access_token=24.tls"));
}

QTEST_MAIN(tst_Tls)
#include "tst_tls.moc"
