#include "HelpDialog.h"

#include <QDebug>
#include <QFile>
#include <QFrame>
#include <QPushButton>
#include <QTextBrowser>
#include <QTextStream>
#include <QVBoxLayout>

QFrame *makeTextWindow(QWidget *aParent, const QString &aPath, bool aHtml)
{
    QFrame *frame = new QFrame(aParent);
    frame->setAutoFillBackground(true);
    frame->setFixedSize(800, 480);
    QVBoxLayout *layout = new QVBoxLayout(frame);
    layout->addSpacing(15);
    QPushButton *close = new QPushButton(QObject::tr("Close"), frame);
    QObject::connect(close, &QPushButton::clicked, frame, &QFrame::hide);
    layout->addWidget(close);
    layout->addSpacing(15);
    QTextBrowser *browser = new QTextBrowser(frame);
    layout->addWidget(browser);

    QFile file(aPath);
    if (file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        QTextStream stream(&file);
        const QString text = stream.readAll();
        if (aHtml)
            browser->setHtml(text);
        else
            browser->setPlainText(text);
    } else {
        qDebug() << "Cannot open " << aPath << ": " << file.errorString();
    }
    return frame;
}

HelpDialog::HelpDialog(const QString &aPage, QWidget *aParent)
    : QWidget(aParent)
    , page(aPage)
{
    // The object only carries the page; it must never cover its parent by itself.
    QWidget::setVisible(false);
}

void HelpDialog::showHelp()
{
    if (!helpWindow)
        helpWindow = makeTextWindow(parentWidget(), page, true);
    // Over whatever else the screen shows (the start-up dialog, the overlay's key colour).
    helpWindow->raise();
    helpWindow->show();
}
