// SPDX-License-Identifier: MIT
// The window's capture-to-request path (store the frame, encode it as PNG,
// write the debug copy, Base64 and form-encode it, post it) against a bare
// PNG encode of the same frame.
#include "mainwindow.h"
#include "temporaryworkingdirectory.h"
#include "windowparts.h"

#include <QBuffer>
#include <QLineEdit>
#include <QPainter>
#include <QTcpServer>
#include <QTest>

class CaptureBench : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void barePngEncode();
    void captureToRequest();

private:
    QImage m_frame;
    TemporaryWorkingDirectory m_dir; // for the debug copy of each PNG
    QTcpServer m_sink; // accepts the requests and never answers
};

void CaptureBench::initTestCase()
{
    // A camera-like 1280x720 frame: a page of text under uneven light.
    m_frame = QImage(1280, 720, QImage::Format_RGB32);
    QPainter painter(&m_frame);
    QLinearGradient light(0, 0, 1280, 720);
    light.setColorAt(0, QColor(250, 248, 240));
    light.setColorAt(1, QColor(200, 196, 186));
    painter.fillRect(m_frame.rect(), light);
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(40);
    painter.setFont(font);
    for (int line = 0; line < 7; ++line)
        painter.drawText(100, 120 + line * 80, QStringLiteral("Line %1 of a printed page, read by the camera.").arg(line));
    painter.end();

    QVERIFY(m_sink.listen(QHostAddress::LocalHost));
    qputenv("VIRELTO_API_BASE_URL", "http://127.0.0.1:" + QByteArray::number(m_sink.serverPort()));
    QVERIFY(m_dir.isValid());
}

void CaptureBench::barePngEncode()
{
    QBENCHMARK {
        QByteArray bytes;
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        m_frame.save(&buffer, "PNG");
    }
}

void CaptureBench::captureToRequest()
{
    MainWindow window;
    const WindowParts parts(window);
    QVERIFY(parts.complete());
    parts.accessToken->setText(QStringLiteral("token"));
    QBENCHMARK {
        deliverCapturedImage(window, m_frame);
    }
}

QTEST_MAIN(CaptureBench)
#include "capture_bench.moc"
