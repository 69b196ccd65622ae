#include "SplashDialog.h"

#include "HelpDialog.h"

#include <Opsa/Ketto/PhonePath.h>
#include <QCheckBox>
#include <QDebug>
#include <QDir>
#include <QEvent>
#include <QFile>
#include <QFileInfo>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSaveFile>
#include <QVBoxLayout>

SplashDialog::SplashDialog(QWidget *aParent)
    : QWidget(aParent)
{
    if (aParent) {
        setGeometry(0, 0, aParent->width(), aParent->height());
        // The capture screen is built before it is made full screen.
        aParent->installEventFilter(this);
    }

    QFrame *panel = new QFrame(this);
    panel->setAutoFillBackground(true);
    panel->setFrameShape(QFrame::StyledPanel);
    QVBoxLayout *panelLayout = new QVBoxLayout(panel);
    QLabel *title = new QLabel(QStringLiteral("Duskline 1.0.6-1"), panel);
    title->setAlignment(Qt::AlignHCenter);
    QFont titleFont = title->font();
    titleFont.setBold(true);
    titleFont.setPointSizeF(titleFont.pointSizeF() * 1.5);
    title->setFont(titleFont);
    panelLayout->addWidget(title);
    QLabel *description = new QLabel(
        tr("A research prototype showing what the Opsa camera-control libraries can do with "
           "the phone's camera. It captures pictures of high-dynamic-range scenes, such as a "
           "portrait against a bright sky, by blending several differently exposed "
           "photographs into one."),
        panel);
    description->setWordWrap(true);
    description->setMaximumWidth(480);
    panelLayout->addWidget(description);
    problemLabel = new QLabel(panel);
    problemLabel->setWordWrap(true);
    problemLabel->setMaximumWidth(480);
    problemLabel->hide();
    panelLayout->addWidget(problemLabel);
    QPushButton *eula = new QPushButton(tr("Show licence agreement"), panel);
    connect(eula, &QPushButton::clicked, this, &SplashDialog::showEULA);
    panelLayout->addWidget(eula);
    QHBoxLayout *bottom = new QHBoxLayout;
    showAtLaunch = new QCheckBox(tr("Show at launch"), panel);
    bottom->addWidget(showAtLaunch);
    QPushButton *ok = new QPushButton(tr("Ok"), panel);
    connect(ok, &QPushButton::clicked, this, &SplashDialog::hide);
    bottom->addWidget(ok);
    panelLayout->addLayout(bottom);

    QHBoxLayout *middle = new QHBoxLayout;
    middle->addStretch();
    middle->addWidget(panel);
    middle->addStretch();
    QVBoxLayout *outer = new QVBoxLayout(this);
    outer->addStretch();
    outer->addLayout(middle);
    outer->addStretch();

    readSettings();
}

QString SplashDialog::settingsPath()
{
    return QString::fromStdString(Opsa::Ketto::phonePath("/home/user/.hdr"));
}

void SplashDialog::readSettings()
{
    const QString path = settingsPath();
    QFile file(path);
    QString problem;
    if (!file.exists() || QFileInfo(path).size() == 0) {
        // First launch: record the default so that the user finds the setting.
        file.close();
        QDir().mkpath(QFileInfo(path).absolutePath());
        QSaveFile out(path);
        if (!out.open(QIODevice::WriteOnly) || out.write("0\n", 2) != 2 || !out.commit())
            qWarning() << "Cannot create the settings file " << path << ": " << out.errorString();
        showAtLaunch->setChecked(true);
        setVisible(true);
        return;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        problem = file.errorString();
    } else {
        // The file is one character and a newline; a little more is read to tell a stored
        // setting from a file of other contents.
        const QByteArray content = file.read(8);
        if (content == "1\n" || content == "1") {
            showAtLaunch->setChecked(false);
            setVisible(false);
            return;
        }
        if (content != "0\n" && content != "0")
            problem = tr("it does not hold a setting");
    }
    if (!problem.isEmpty()) {
        qWarning() << "Settings file " << path << " cannot be used (" << problem
                   << "); using the defaults until the settings are saved";
        problemLabel->setText(tr("Your settings could not be read, so the defaults are shown. "
                                 "Press Ok to save them."));
        problemLabel->show();
    }
    showAtLaunch->setChecked(true);
    setVisible(true);
}

void SplashDialog::writeSettings()
{
    const QString path = settingsPath();
    // Written whole or not at all: a failed write keeps the previous setting.
    QSaveFile out(path);
    const char *text = showAtLaunch->isChecked() ? "0\n" : "1\n";
    if (out.open(QIODevice::WriteOnly) && out.write(text, 2) == 2 && out.commit()) {
        problemLabel->hide();
        return;
    }
    qWarning() << "Cannot write the settings file " << path << ": " << out.errorString();
}

void SplashDialog::setVisible(bool aVisible)
{
    QWidget::setVisible(aVisible);
    if (!aVisible)
        writeSettings();
}

void SplashDialog::showEULA()
{
    if (!eulaWindow)
        eulaWindow = makeTextWindow(parentWidget(), QStringLiteral(":/copyright"), false);
    eulaWindow->raise();
    eulaWindow->show();
}

bool SplashDialog::eventFilter(QObject *aWatched, QEvent *aEvent)
{
    if (aWatched == parentWidget() && aEvent->type() == QEvent::Resize)
        setGeometry(0, 0, parentWidget()->width(), parentWidget()->height());
    return QWidget::eventFilter(aWatched, aEvent);
}
