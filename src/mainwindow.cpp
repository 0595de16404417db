// SPDX-License-Identifier: MIT
#include "mainwindow.h"

#include "redaction.h"
#include "serviceaddress.h"

#include <QBuffer>
#include <QCamera>
#include <QCameraImageCapture>
#include <QCameraInfo>
#include <QDebug>
#include <QFile>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPixmap>
#include <QPushButton>
#include <QTextEdit>
#include <QTimer>
#include <QUrlQuery>
#include <QVBoxLayout>
#include <QVideoWidget>

namespace {

const char IdleStyle[] = "color: #888; font-weight: bold; padding: 4px;";
const char BusyStyle[] = "color: #ff8c00; font-weight: bold; padding: 4px;";
const char SuccessStyle[] = "color: #107c10; font-weight: bold; padding: 4px;";
const char ErrorStyle[] = "color: red; font-weight: bold; padding: 4px;";

// The service address is read once per window; it rides on the network
// manager that talks to that service.
const char BaseUrlProperty[] = "vireltoApiBaseUrl";

// Long enough for a slow upload of a large still, short enough that a
// stalled request does not leave the status line busy for good.
constexpr int TransferTimeoutMs = 30000;

// Real replies are well under 1 MB; a body past this limit is abandoned
// while it downloads instead of being read into memory.
constexpr qint64 MaxReplyBytes = 8 * 1024 * 1024;
const char ReplyTooLargeProperty[] = "vireltoReplyTooLarge";

// Laying out a long unbroken line takes time that grows with the square of
// its length (64 KiB: about a second), so text from a reply is shown up to
// this size; a whole body in one log line helps nobody either. Both get the
// start and the full size.
constexpr int ShownBodyBytes = 16 * 1024;
constexpr int ShownTextChars = 16 * 1024;
constexpr int LoggedBodyBytes = 4 * 1024;
// Qt's error text quotes the server's reason phrase, which has no limit of its own.
constexpr int ShownErrorChars = 1024;

void setStatus(QLabel *label, const QString &text, const char *style)
{
    label->setText(text);
    label->setStyleSheet(QLatin1String(style));
}

QUrl endpointUrl(const QNetworkAccessManager *manager, const char *path)
{
    return ServiceAddress::endpoint(manager->property(BaseUrlProperty).toUrl(), path);
}

// Abandons reply as soon as its body is known to pass the limit, from the
// announced length or from what has arrived (a body may come without one).
void limitReplySize(QNetworkReply *reply)
{
    const auto check = [reply] {
        if (reply->property(ReplyTooLargeProperty).toBool())
            return;
        const qint64 announced = reply->header(QNetworkRequest::ContentLengthHeader).toLongLong();
        if (announced <= MaxReplyBytes && reply->bytesAvailable() <= MaxReplyBytes)
            return;
        reply->setProperty(ReplyTooLargeProperty, true);
        // Not from inside the reply's own signal: abort() emits finished at once.
        QMetaObject::invokeMethod(reply, &QNetworkReply::abort, Qt::QueuedConnection);
    };
    QObject::connect(reply, &QNetworkReply::metaDataChanged, reply, check);
    QObject::connect(reply, &QNetworkReply::readyRead, reply, check);
}

// Where to cut text at most limit characters long without splitting a character.
int charCut(const QString &text, int limit)
{
    return text.at(limit).isLowSurrogate() ? limit - 1 : limit;
}

bool replyFailed(const QNetworkReply *reply)
{
    return reply->property(ReplyTooLargeProperty).toBool() || reply->error() != QNetworkReply::NoError;
}

// Why a failed reply failed, with no secret of its request in it.
QString failureText(const QNetworkReply *reply)
{
    if (reply->property(ReplyTooLargeProperty).toBool())
        return QStringLiteral("The reply is larger than the 8 MiB limit and was not read.");
    const QString text = Redaction::text(reply->errorString(), reply->url());
    return text.size() <= ShownErrorChars ? text : text.left(charCut(text, ShownErrorChars)) + QStringLiteral("…");
}

// Where to cut UTF-8 text at most limit bytes long without splitting a character.
int utf8Cut(const QByteArray &bytes, int limit)
{
    int cut = limit;
    while (cut > 0 && (uchar(bytes.at(cut)) & 0xC0) == 0x80)
        --cut;
    return cut;
}

// A body as the result box shows it raw.
QString shownBody(const QByteArray &body, const QStringList &secrets = QStringList())
{
    const QByteArray text = secrets.isEmpty() ? body : Redaction::values(QString::fromUtf8(body), secrets).toUtf8();
    if (text.size() <= ShownBodyBytes)
        return QString::fromUtf8(text);
    const int cut = utf8Cut(text, ShownBodyBytes);
    return QString::fromUtf8(text.left(cut))
            + QStringLiteral("\n[first %1 of %2 bytes shown]").arg(cut).arg(body.size());
}

// Text from a reply as the result box shows it; no recognised still comes near the limit.
QString shownText(const QString &text)
{
    if (text.size() <= ShownTextChars)
        return text;
    const int cut = charCut(text, ShownTextChars);
    return text.left(cut) + QStringLiteral("\n[first %1 of %2 characters shown]").arg(cut).arg(text.size());
}

// A body, already masked, as the log shows it.
QByteArray loggedBody(const QByteArray &masked, qint64 replySize)
{
    if (masked.size() <= LoggedBodyBytes)
        return masked;
    return masked.left(LoggedBodyBytes) + " [first " + QByteArray::number(LoggedBodyBytes) + " of "
            + QByteArray::number(replySize) + " bytes shown]";
}

} // namespace

// ---------------------------------------------------------------------------
// Window object

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
{
    setWindowTitle(QStringLiteral("Virelto - Baidu OCR"));
    resize(920, 760);

    m_networkManager = new QNetworkAccessManager(this);
    // An unusable override leaves an empty address: requests then fail
    // locally instead of sending credentials to an unintended host.
    m_networkManager->setProperty(BaseUrlProperty, ServiceAddress::baseUrlFromEnvironment());

    setupUI();
}

MainWindow::~MainWindow()
{
    if (m_camera)
        m_camera->stop();
}

// ---------------------------------------------------------------------------
// Layout

void MainWindow::setupUI()
{
    auto *centralWidget = new QWidget(this);
    setCentralWidget(centralWidget);

    auto *mainLayout = new QVBoxLayout(centralWidget);
    mainLayout->setSpacing(8);
    mainLayout->setContentsMargins(12, 12, 12, 12);

    m_videoWidget = new QVideoWidget(this);
    m_videoWidget->setMinimumSize(640, 480);
    m_videoWidget->setStyleSheet(QStringLiteral(
            "background-color: #1e1e1e; border: 2px solid #555; border-radius: 4px;"));
    mainLayout->addWidget(m_videoWidget);

    m_statusLabel = new QLabel(QStringLiteral("● Camera is not opened"), this);
    m_statusLabel->setAlignment(Qt::AlignCenter);
    // Status texts carry what servers and the camera backend say: never markup.
    m_statusLabel->setTextFormat(Qt::PlainText);
    m_statusLabel->setStyleSheet(QLatin1String(IdleStyle));
    mainLayout->addWidget(m_statusLabel);

    auto *btnLayout = new QHBoxLayout;

    m_btnOpenCamera = new QPushButton(QStringLiteral("📷 Open Camera"), this);
    m_btnOpenCamera->setMinimumHeight(36);
    m_btnOpenCamera->setStyleSheet(QStringLiteral(
            "QPushButton {    background-color: #0078d4;    color: white;    border: none;"
            "    border-radius: 4px;    padding: 6px 20px;    font-size: 14px; }"
            "QPushButton:hover { background-color: #106ebe; }"
            "QPushButton:pressed { background-color: #005a9e; }"));

    m_btnCaptureOCR = new QPushButton(QStringLiteral("🔍 Capture OCR"), this);
    m_btnCaptureOCR->setMinimumHeight(36);
    m_btnCaptureOCR->setEnabled(false);
    m_btnCaptureOCR->setStyleSheet(QStringLiteral(
            "QPushButton {    background-color: #107c10;    color: white;    border: none;"
            "    border-radius: 4px;    padding: 6px 20px;    font-size: 14px; }"
            "QPushButton:hover { background-color: #138c13; }"
            "QPushButton:pressed { background-color: #0b5e0b; }"
            "QPushButton:disabled { background-color: #ccc; color: #888; }"));

    btnLayout->addWidget(m_btnOpenCamera);
    btnLayout->addWidget(m_btnCaptureOCR);
    btnLayout->addStretch(0);
    mainLayout->addLayout(btnLayout);

    auto *apiGroup = new QGroupBox(QStringLiteral("Baidu OCR API Settings"), this);
    apiGroup->setStyleSheet(QStringLiteral(
            "QGroupBox {    font-weight: bold;    border: 1px solid #ddd;    border-radius: 4px;"
            "    margin-top: 8px;    padding-top: 16px; }"
            "QGroupBox::title {    subcontrol-origin: margin;    left: 12px;    padding: 0 4px; }"));

    auto *apiLayout = new QVBoxLayout(apiGroup);
    apiLayout->setSpacing(6);

    auto *keyRow = new QHBoxLayout;
    auto *lblApiKey = new QLabel(QStringLiteral("API Key:"), this);
    lblApiKey->setMinimumWidth(90);
    m_editApiKey = new QLineEdit(this);
    m_editApiKey->setPlaceholderText(QStringLiteral("Enter the API Key of your Baidu AI application"));
    keyRow->addWidget(lblApiKey);
    keyRow->addWidget(m_editApiKey, 1);
    apiLayout->addLayout(keyRow);

    auto *secretRow = new QHBoxLayout;
    auto *lblSecretKey = new QLabel(QStringLiteral("Secret Key:"), this);
    lblSecretKey->setMinimumWidth(90);
    m_editSecretKey = new QLineEdit(this);
    m_editSecretKey->setPlaceholderText(QStringLiteral("Enter the Secret Key of your Baidu AI application"));
    m_editSecretKey->setEchoMode(QLineEdit::Password);
    secretRow->addWidget(lblSecretKey);
    secretRow->addWidget(m_editSecretKey, 1);
    apiLayout->addLayout(secretRow);

    auto *tokenRow = new QHBoxLayout;
    auto *lblToken = new QLabel(QStringLiteral("Access Token:"), this);
    lblToken->setMinimumWidth(90);
    m_editAccessToken = new QLineEdit(this);
    m_editAccessToken->setPlaceholderText(QStringLiteral("Or paste an existing Access Token here"));
    m_btnGetToken = new QPushButton(QStringLiteral("Get Token"), this);
    m_btnGetToken->setMinimumHeight(28);
    m_btnGetToken->setStyleSheet(QStringLiteral(
            "QPushButton {    background-color: #ff8c00;    color: white;    border: none;"
            "    border-radius: 4px;    padding: 4px 16px; }"
            "QPushButton:hover { background-color: #ffa500; }"));
    tokenRow->addWidget(lblToken);
    tokenRow->addWidget(m_editAccessToken, 1);
    tokenRow->addWidget(m_btnGetToken);
    apiLayout->addLayout(tokenRow);

    mainLayout->addWidget(apiGroup);

    auto *lblResult = new QLabel(QStringLiteral("Recognition Result:"), this);
    lblResult->setStyleSheet(QStringLiteral("font-weight: bold;"));
    mainLayout->addWidget(lblResult);

    m_textResult = new QTextEdit(this);
    m_textResult->setMinimumHeight(100);
    m_textResult->setPlaceholderText(
            QStringLiteral("Click \"Capture OCR\" to recognize text from the camera image..."));
    m_textResult->setReadOnly(false);
    m_textResult->setStyleSheet(QStringLiteral(
            "QTextEdit {    border: 1px solid #ccc;    border-radius: 4px;    padding: 6px;"
            "    font-size: 14px; }"));

    auto *resultLayout = new QHBoxLayout;
    resultLayout->setSpacing(8);
    resultLayout->setContentsMargins(0, 0, 0, 0);

    auto *logoLabel = new QLabel(this);
    logoLabel->setFixedSize(80, 64);
    logoLabel->setAlignment(Qt::AlignCenter);
    const QPixmap logoPixmap(QStringLiteral(":/imgs/logo4.png"));
    logoLabel->setPixmap(logoPixmap.scaled(80, 64, Qt::KeepAspectRatio, Qt::SmoothTransformation));

    resultLayout->addWidget(m_textResult, 1);
    resultLayout->addWidget(logoLabel, 0, Qt::AlignTop);
    mainLayout->addLayout(resultLayout, 1);

    connect(m_btnOpenCamera, &QPushButton::clicked, this, &MainWindow::onOpenCamera);
    connect(m_btnCaptureOCR, &QPushButton::clicked, this, &MainWindow::onCaptureAndOCR);
    connect(m_btnGetToken, &QPushButton::clicked, this, &MainWindow::onGetAccessToken);
}

// ---------------------------------------------------------------------------
// Camera

void MainWindow::onOpenCamera()
{
    const auto showOpened = [this] {
        m_btnOpenCamera->setText(QStringLiteral("📷 Close Camera"));
        m_btnCaptureOCR->setEnabled(true);
        setStatus(m_statusLabel, QStringLiteral("● Camera opened"), SuccessStyle);
    };

    if (m_camera && m_camera->state() == QCamera::ActiveState) {
        m_camera->stop();
        m_btnOpenCamera->setText(QStringLiteral("📷 Open Camera"));
        m_btnCaptureOCR->setEnabled(false);
        setStatus(m_statusLabel, QStringLiteral("● Camera closed"), IdleStyle);
        return;
    }

    if (!m_camera) {
        const QList<QCameraInfo> cameras = QCameraInfo::availableCameras();
        if (cameras.isEmpty()) {
            QMessageBox::warning(this, QStringLiteral("Error"),
                                 QStringLiteral("No USB camera detected.\n"
                                                "Please check whether the camera is connected correctly."));
            return;
        }

        m_camera = new QCamera(cameras.first(), this);
        m_imageCapture = new QCameraImageCapture(m_camera, this);
        m_imageCapture->setCaptureDestination(QCameraImageCapture::CaptureToBuffer);
        m_camera->setViewfinder(m_videoWidget);

        connect(m_imageCapture, &QCameraImageCapture::imageCaptured,
                this, &MainWindow::onImageCaptured);
        // Without this a failed capture would leave "Capturing image..." for good.
        connect(m_imageCapture,
                QOverload<int, QCameraImageCapture::Error, const QString &>::of(&QCameraImageCapture::error),
                this, [this](int, QCameraImageCapture::Error, const QString &errorString) {
                    setStatus(m_statusLabel, QStringLiteral("● Capture failed: ") + errorString, ErrorStyle);
                    QMessageBox::warning(this, QStringLiteral("Error"),
                                         QStringLiteral("Capture failed.\n") + errorString);
                });
        connect(m_camera, QOverload<QCamera::Error>::of(&QCamera::error), this,
                [this](QCamera::Error) {
                    setStatus(m_statusLabel,
                              QStringLiteral("● Camera error: ") + m_camera->errorString(),
                              ErrorStyle);
                    m_btnOpenCamera->setText(QStringLiteral("📷 Open Camera"));
                    m_btnCaptureOCR->setEnabled(false);
                });
    }

    m_camera->start();

    if (m_camera->state() == QCamera::ActiveState) {
        showOpened();
        return;
    }

    // Some backends only become active a little after start().
    QTimer::singleShot(1000, this, [this, showOpened] {
        if (m_camera && m_camera->state() == QCamera::ActiveState)
            showOpened();
        else
            setStatus(m_statusLabel, QStringLiteral("● Failed to start camera"), ErrorStyle);
    });
}

void MainWindow::onCaptureAndOCR()
{
    if (!m_camera || m_camera->state() != QCamera::ActiveState) {
        QMessageBox::warning(this, QStringLiteral("Notice"),
                             QStringLiteral("Please open the camera first."));
        return;
    }
    if (!m_imageCapture) {
        QMessageBox::warning(this, QStringLiteral("Notice"),
                             QStringLiteral("Image capture module is not initialized."));
        return;
    }

    setStatus(m_statusLabel, QStringLiteral("⏳ Capturing image..."), BusyStyle);
    m_imageCapture->capture(QString());
}

void MainWindow::onImageCaptured(int id, const QImage &preview)
{
    Q_UNUSED(id)

    if (preview.isNull()) {
        setStatus(m_statusLabel, QStringLiteral("● Capture failed"), ErrorStyle);
        QMessageBox::warning(this, QStringLiteral("Error"),
                             QStringLiteral("Capture failed. The image is empty."));
        return;
    }

    m_lastCapturedImage = preview;
    setStatus(m_statusLabel, QStringLiteral("⏳ Capture completed. Recognizing text..."), BusyStyle);
    doOCR(preview);
}

// ---------------------------------------------------------------------------
// Access token

void MainWindow::onGetAccessToken()
{
    const QString apiKey = m_editApiKey->text().trimmed();
    const QString secretKey = m_editSecretKey->text().trimmed();
    if (apiKey.isEmpty() || secretKey.isEmpty()) {
        QMessageBox::warning(this, QStringLiteral("Notice"),
                             QStringLiteral("Please enter the API Key and Secret Key first."),
                             QMessageBox::Ok);
        return;
    }

    setStatus(m_statusLabel, QStringLiteral("⏳ Getting Access Token..."), BusyStyle);

    QUrl url = endpointUrl(m_networkManager, ServiceAddress::TokenPath);
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("client_id"), ServiceAddress::encodedQueryValue(apiKey));
    query.addQueryItem(QStringLiteral("client_secret"), ServiceAddress::encodedQueryValue(secretKey));
    query.addQueryItem(QStringLiteral("grant_type"), QStringLiteral("client_credentials"));
    url.setQuery(query);

    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    request.setRawHeader("Accept", "application/json");
    request.setTransferTimeout(TransferTimeoutMs);

    const QByteArray postData;
    qDebug() << "Token request url:" << Redaction::url(url).toString();

    QNetworkReply *reply = m_networkManager->post(request, postData);
    limitReplySize(reply);
    connect(reply, &QNetworkReply::finished, this, [this, reply] {
        reply->deleteLater();

        if (replyFailed(reply)) {
            const QString err = failureText(reply);
            setStatus(m_statusLabel, QStringLiteral("● Failed to get token: ") + err, ErrorStyle);
            QMessageBox::warning(this, QStringLiteral("Network Error"),
                                 QStringLiteral("Failed to get Access Token:\n") + err,
                                 QMessageBox::Ok);
            return;
        }

        const QByteArray responseData = reply->readAll();
        // The Secret Key sent and a token pasted earlier stay out of sight
        // even if the service echoes them.
        QStringList secrets = Redaction::secretValues(reply->request().url());
        const QString pastedToken = m_editAccessToken->text().trimmed();
        if (!pastedToken.isEmpty())
            secrets << pastedToken;
        qDebug() << "Token response:"
                 << loggedBody(Redaction::replyBody(responseData, secrets), responseData.size());

        QJsonParseError parseErr;
        const QJsonDocument doc = QJsonDocument::fromJson(responseData, &parseErr);
        if (parseErr.error != QJsonParseError::NoError) {
            setStatus(m_statusLabel, QStringLiteral("● Failed to parse token response"), ErrorStyle);
            m_textResult->setPlainText(QStringLiteral("JSON parse error:\n") + parseErr.errorString()
                                       + QStringLiteral("\n\nRaw response:\n")
                                       + shownBody(responseData, secrets));
            return;
        }
        if (!doc.isObject()) {
            setStatus(m_statusLabel, QStringLiteral("● Invalid token response format"), ErrorStyle);
            m_textResult->setPlainText(QStringLiteral("Token response is not a JSON object:\n")
                                       + shownBody(responseData, secrets));
            return;
        }

        const QJsonObject obj = doc.object();
        // Only a string with something in it is a token; anything else must
        // not replace one the user already has.
        const QJsonValue tokenValue = obj.value(QLatin1String("access_token"));
        const QString token = tokenValue.toString();
        if (tokenValue.isString() && !token.trimmed().isEmpty()) {
            m_editAccessToken->setText(token);
            setStatus(m_statusLabel, QStringLiteral("✅ Access Token obtained successfully"), SuccessStyle);
            QMessageBox::information(this, QStringLiteral("Success"),
                                     QStringLiteral("Access Token obtained successfully.\n"
                                                    "It has been filled in automatically."),
                                     QMessageBox::Ok);
            return;
        }

        const QString error = obj.value(QLatin1String("error")).toString();
        const QString errorDesc = obj.value(QLatin1String("error_description")).toString();
        setStatus(m_statusLabel, QStringLiteral("● Failed to get Access Token"), ErrorStyle);
        m_textResult->setPlainText(
                QStringLiteral("Failed to get Access Token:\nError: %1\nDescription: %2\n\nRaw response:\n%3")
                        .arg(shownText(error), shownText(errorDesc), shownBody(responseData, secrets)));
    });
}

// ---------------------------------------------------------------------------
// Image encoding

QString MainWindow::imageToBase64(const QImage &image)
{
    if (image.isNull()) {
        qDebug() << "imageToBase64 failed: image is null";
        return QString();
    }

    qDebug() << "Original image size:" << image.size() << "format:" << image.format();

    QImage sendImage = image.convertToFormat(QImage::Format_RGB888);
    if (sendImage.width() > 1600)
        sendImage = sendImage.scaledToWidth(1600, Qt::SmoothTransformation);

    QByteArray imageBytes;
    QBuffer buffer(&imageBytes);
    if (!buffer.open(QIODevice::WriteOnly)) {
        qDebug() << "imageToBase64 failed: buffer open failed";
        return QString();
    }
    const bool saveOk = sendImage.save(&buffer, "PNG", -1);
    buffer.close();

    if (!saveOk || imageBytes.isEmpty()) {
        qDebug() << "imageToBase64 failed: image save failed" << "saveOk:" << saveOk
                 << "bytes:" << imageBytes.size();
        return QString();
    }

    QFile debugFile(QStringLiteral("ocr_debug.png"));
    if (debugFile.open(QIODevice::WriteOnly)) {
        debugFile.write(imageBytes);
        debugFile.close();
        qDebug() << "Saved debug image: ocr_debug.png" << "bytes:" << imageBytes.size();
    } else {
        qDebug() << "Failed to save debug image:" << debugFile.errorString();
    }

    const QByteArray base64 = imageBytes.toBase64();

    qDebug() << "Image bytes length:" << imageBytes.size();
    qDebug() << "Base64 length:" << base64.size();
    qDebug() << "Image header hex:" << imageBytes.left(16).toHex(' ');

    return QString::fromLatin1(base64);
}

// ---------------------------------------------------------------------------
// Recognition request and reply

void MainWindow::doOCR(const QImage &image)
{
    const QString accessToken = m_editAccessToken->text().trimmed();
    if (accessToken.isEmpty()) {
        setStatus(m_statusLabel, QStringLiteral("● Error: Access Token is required"), ErrorStyle);
        QMessageBox::warning(this, QStringLiteral("Missing Token"),
                             QStringLiteral("Please enter the API Key and Secret Key, then click \"Get Token\",\n"
                                            "or paste an existing Access Token."),
                             QMessageBox::Ok);
        return;
    }

    const QString base64Image = imageToBase64(image);
    if (base64Image.isEmpty()) {
        setStatus(m_statusLabel, QStringLiteral("● Failed to convert image"), ErrorStyle);
        QMessageBox::warning(this, QStringLiteral("Error"),
                             QStringLiteral("Failed to convert image to Base64."), QMessageBox::Ok);
        return;
    }

    QUrl url = endpointUrl(m_networkManager, ServiceAddress::OcrPath);
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("access_token"), ServiceAddress::encodedQueryValue(accessToken));
    url.setQuery(query);

    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::ContentTypeHeader,
                      QStringLiteral("application/x-www-form-urlencoded"));
    request.setRawHeader("Accept", "application/json");
    request.setTransferTimeout(TransferTimeoutMs);

    const QByteArray encodedImage = QUrl::toPercentEncoding(base64Image);
    QByteArray postData;
    postData.reserve(6 + encodedImage.size());
    postData.append("image=");
    postData.append(encodedImage);

    qDebug() << "OCR request url:" << Redaction::url(url).toString();
    qDebug() << "OCR image base64 length:" << base64Image.length();
    qDebug() << "OCR post data length:" << postData.length();

    QNetworkReply *reply = m_networkManager->post(request, postData);
    limitReplySize(reply);
    connect(reply, &QNetworkReply::finished, this, [this, reply] { onOCRReply(reply); });
}

void MainWindow::onOCRReply(QNetworkReply *reply)
{
    if (!reply)
        return;
    reply->deleteLater();

    if (replyFailed(reply)) {
        const QString errMsg = failureText(reply);
        setStatus(m_statusLabel, QStringLiteral("● OCR request failed: ") + errMsg, ErrorStyle);
        QMessageBox::warning(this, QStringLiteral("Network Error"),
                             QStringLiteral("OCR request failed:\n") + errMsg, QMessageBox::Ok);
        return;
    }

    const QByteArray responseData = reply->readAll();
    qDebug() << "OCR response:"
             << loggedBody(Redaction::replyBody(responseData, Redaction::secretValues(reply->request().url())),
                           responseData.size());

    QJsonParseError parseErr;
    const QJsonDocument doc = QJsonDocument::fromJson(responseData, &parseErr);
    if (parseErr.error != QJsonParseError::NoError) {
        setStatus(m_statusLabel, QStringLiteral("● Failed to parse OCR response"), ErrorStyle);
        m_textResult->setPlainText(QStringLiteral("JSON parse error:\n") + parseErr.errorString()
                                   + QStringLiteral("\n\nRaw response:\n") + shownBody(responseData));
        return;
    }
    if (!doc.isObject()) {
        setStatus(m_statusLabel, QStringLiteral("● Invalid OCR response format"), ErrorStyle);
        m_textResult->setPlainText(QStringLiteral("OCR response is not a JSON object:\n")
                                   + shownBody(responseData));
        return;
    }

    const QJsonObject obj = doc.object();
    if (obj.contains(QLatin1String("error_code"))) {
        const int errCode = obj.value(QLatin1String("error_code")).toInt();
        const QString errMsg = obj.value(QLatin1String("error_msg")).toString();
        setStatus(m_statusLabel, QStringLiteral("● OCR error [%1]").arg(errCode), ErrorStyle);
        m_textResult->setPlainText(
                QStringLiteral("Baidu OCR returned an error:\nError code: %1\nError message: %2\n\n"
                               "Raw response:\n%3")
                        .arg(QString::number(errCode), shownText(errMsg), shownBody(responseData)));
        return;
    }

    QString resultText;
    const QJsonArray wordsResult = obj.value(QLatin1String("words_result")).toArray();
    for (const QJsonValue &element : wordsResult) {
        const QJsonObject wordObj = element.toObject();
        resultText += wordObj.value(QLatin1String("words")).toString();
        resultText += QLatin1Char('\n');
    }
    const int wordCount = obj.value(QLatin1String("words_result_num")).toInt();

    if (resultText.trimmed().isEmpty())
        resultText = QStringLiteral("No text recognized");
    m_textResult->setPlainText(shownText(resultText.trimmed()));
    setStatus(m_statusLabel, QStringLiteral("✅ Recognition completed. %1 lines detected.").arg(wordCount),
              SuccessStyle);
}
