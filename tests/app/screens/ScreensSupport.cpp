#include "ScreensSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QWidget>

namespace screens {

namespace {

    QtMsgType logLevel = QtDebugMsg;

    // Qt's levels in order of severity (its enum puts QtInfoMsg last).
    int severity(QtMsgType aType)
    {
        return aType == QtInfoMsg ? 1 : (aType == QtDebugMsg ? 0 : int(aType) + 1);
    }

} // namespace

QImage screenshot(QWidget *aWidget, const QString &aName)
{
    QCoreApplication::processEvents();
    QImage shot = aWidget->grab().toImage().convertToFormat(QImage::Format_RGB32);
    QDir().mkpath(QStringLiteral(SCREENSHOT_DIR));
    shot.save(QStringLiteral(SCREENSHOT_DIR "/") + aName + QStringLiteral(".png"));
    return shot;
}

int pixelsLike(const QImage &aImage, const QRect &aRect, QRgb aColour, int aTolerance)
{
    const QRect area = aRect & aImage.rect();
    int count = 0;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x) {
            const QRgb p = aImage.pixel(x, y);
            count += std::abs(qRed(p) - qRed(aColour)) <= aTolerance
                && std::abs(qGreen(p) - qGreen(aColour)) <= aTolerance
                && std::abs(qBlue(p) - qBlue(aColour)) <= aTolerance;
        }
    return count;
}

::testing::AssertionResult showsText(const QImage &aShot, QWidget *aWidget)
{
    const QRect inWindow(aWidget->mapTo(aWidget->window(), QPoint(0, 0)), aWidget->size());
    if (!QRect(0, 0, 800, 480).contains(inWindow))
        return ::testing::AssertionFailure()
            << "at (" << inWindow.x() << ", " << inWindow.y() << ") " << inWindow.width() << " × "
            << inWindow.height() << ", outside the 800 × 480 screen";
    const QSize needed = aWidget->minimumSizeHint();
    if (aWidget->width() < needed.width() || aWidget->height() < needed.height())
        return ::testing::AssertionFailure()
            << aWidget->width() << " × " << aWidget->height() << " clips its text, which needs "
            << needed.width() << " × " << needed.height();
    // The ground is the most common brightness; text is what stands well apart from it.
    std::vector<int> histogram(256, 0);
    const QRect area = inWindow & aShot.rect();
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            ++histogram[qGray(aShot.pixel(x, y))];
    const int ground
        = int(std::max_element(histogram.begin(), histogram.end()) - histogram.begin());
    int text = 0;
    for (int level = 0; level < 256; ++level)
        if (std::abs(level - ground) >= 100)
            text += histogram[level];
    if (text < 15)
        return ::testing::AssertionFailure()
            << "only " << text << " pixels stand out from the ground (grey " << ground << ")";
    return ::testing::AssertionSuccess();
}

Log::Log(QtMsgType aLevel)
{
    lines().clear();
    logLevel = aLevel;
    previous = qInstallMessageHandler(
        [](QtMsgType aType, const QMessageLogContext &, const QString &aText) {
            if (severity(aType) >= severity(logLevel))
                lines() << aText;
        });
}

Log::~Log()
{
    qInstallMessageHandler(previous);
}

QStringList &Log::lines()
{
    static QStringList said;
    return said;
}

} // namespace screens
