#pragma once

// Helpers of the screens suite: screenshots with the checks a person would make of them, and
// the application's log lines.

#include <QImage>
#include <QRect>
#include <QStringList>
#include <gtest/gtest.h>

class QWidget;

namespace screens {

// Renders aWidget as the screen shows it (after pending layout and paint events) and saves it
// as <aName>.png in the suite's screenshot folder.
QImage screenshot(QWidget *aWidget, const QString &aName);

// Number of pixels of aImage within aRect (clipped) that lie within aTolerance of aColour in
// every channel.
int pixelsLike(const QImage &aImage, const QRect &aRect, QRgb aColour, int aTolerance = 0);

// Whether aWidget's text shows whole and legibly: the widget lies inside the phone's 800 × 480
// screen, is as large as its text needs, and its part of aShot (a screenshot of its window)
// has enough pixels standing well apart from the ground to be read.
::testing::AssertionResult showsText(const QImage &aShot, QWidget *aWidget);

// The log lines of at least aLevel said while the object lives.
class Log
{
public:
    explicit Log(QtMsgType aLevel = QtDebugMsg);
    ~Log();
    int count(const QString &aText) const { return int(lines().filter(aText).size()); }
    static QStringList &lines();

private:
    QtMessageHandler previous;
};

} // namespace screens
