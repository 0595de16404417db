// SPDX-License-Identifier: MIT
#include "mainwindow.h"
#include "serviceaddress.h"

#include <QApplication>
#include <QIcon>

#include <cstdio>

int main(int argc, char *argv[])
{
    // Refuse a bad service address before any window can send credentials
    // to it, and before a display is needed to say so.
    QString addressError;
    if (ServiceAddress::baseUrlFromEnvironment(&addressError).isEmpty()) {
        std::fprintf(stderr, "virelto: %s\n", addressError.toLocal8Bit().constData());
        return 2;
    }

    QApplication app(argc, argv);

    QIcon icon(QStringLiteral(":/logo1.ico"));
    QApplication::setWindowIcon(icon);

    MainWindow window;
    window.show();
    return app.exec();
}
