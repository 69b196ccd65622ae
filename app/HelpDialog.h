#pragma once

// HelpDialog: the help page of one screen. The object itself is never shown; on the first
// showHelp() it builds a full-screen window over its parent (a "Close" button above a text
// browser with the page) and afterwards only shows that window again.
//
// Thread: GUI only.

#include <QString>
#include <QWidget>

class QFrame;

class HelpDialog : public QWidget
{
    Q_OBJECT

public:
    // aPage: the HTML page to show, usually the resource ":/help.html". The window is a child
    // of aParent.
    HelpDialog(const QString &aPage, QWidget *aParent);

    // The help window; null until the first showHelp().
    QFrame *window() const { return helpWindow; }

public slots:
    void showHelp();

private:
    QString page;
    QFrame *helpWindow = nullptr;
};

// A window of 800 × 480 (the phone's screen) over aParent with a "Close" button and a text
// browser showing the file aPath (a resource or a file), as HTML when aHtml and as plain text
// otherwise. A file that cannot be read leaves the browser empty, with one log line. Used by the
// help and the licence windows.
QFrame *makeTextWindow(QWidget *aParent, const QString &aPath, bool aHtml);
