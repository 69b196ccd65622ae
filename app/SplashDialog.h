#pragma once

// SplashDialog: the start-up ("About") dialog over the capture screen: the application's
// title and a short description, the licence agreement on request, and whether the dialog is
// to appear at launch. That choice is the one setting kept between launches, in the settings
// file "/home/user/.hdr" (of the phone in use): "0\n" shows the dialog at launch, "1\n" does
// not.
//
// A settings file that is missing or empty is created with "0\n". One that cannot be read or
// holds anything else is left as it is: the defaults apply (the dialog shows, "Show at launch"
// checked), the dialog says so once, and the file is only written when the user next hides the
// dialog ("Ok").
//
// Thread: GUI only.

#include <QString>
#include <QWidget>

class QCheckBox;
class QFrame;
class QLabel;

class SplashDialog : public QWidget
{
    Q_OBJECT

public:
    // Reads the settings file and shows or hides itself accordingly. Covers aParent's whole
    // area, following its size.
    explicit SplashDialog(QWidget *aParent);

    // The real path of the settings file.
    static QString settingsPath();

    // The "Show at launch" check box, and the licence window (null until first shown).
    QCheckBox *showAtLaunchBox() const { return showAtLaunch; }
    QFrame *licenceWindow() const { return eulaWindow; }
    // The line shown when the settings file could not be used; hidden otherwise.
    QLabel *settingsProblemLabel() const { return problemLabel; }

public slots:
    // Hiding (by "Ok", hide() or at start-up) stores the state of "Show at launch".
    void setVisible(bool aVisible) override;
    void showEULA();

protected:
    bool eventFilter(QObject *aWatched, QEvent *aEvent) override;

private:
    void readSettings();
    void writeSettings();

    QCheckBox *showAtLaunch;
    QFrame *eulaWindow = nullptr;
    QLabel *problemLabel;
};
