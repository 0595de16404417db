// SPDX-License-Identifier: MIT
#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include <QImage>
#include <QMainWindow>

class QCamera;
class QCameraImageCapture;
class QLabel;
class QLineEdit;
class QNetworkAccessManager;
class QNetworkReply;
class QPushButton;
class QTextEdit;
class QVideoWidget;

class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

private slots:
    void onOpenCamera();
    void onCaptureAndOCR();
    void onImageCaptured(int id, const QImage &preview);
    void onGetAccessToken();
    void onOCRReply(QNetworkReply *reply);

private:
    void setupUI();
    void doOCR(const QImage &image);
    QString imageToBase64(const QImage &image);

    QVideoWidget *m_videoWidget = nullptr;
    QPushButton *m_btnOpenCamera = nullptr;
    QPushButton *m_btnCaptureOCR = nullptr;
    QPushButton *m_btnGetToken = nullptr;
    QLabel *m_statusLabel = nullptr;
    QLineEdit *m_editApiKey = nullptr;
    QLineEdit *m_editSecretKey = nullptr;
    QLineEdit *m_editAccessToken = nullptr;
    QTextEdit *m_textResult = nullptr;
    QCamera *m_camera = nullptr;
    QCameraImageCapture *m_imageCapture = nullptr;
    QImage m_lastCapturedImage;
    QNetworkAccessManager *m_networkManager = nullptr;
};

#endif // MAINWINDOW_H
