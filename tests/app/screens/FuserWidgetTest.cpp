#include "FuserWidget.h"

#include "AppTestSupport.h"
#include "DrawArea.h"
#include "Fuser.h"
#include "ScreensSupport.h"
#include "SimPhone.h"
#include "support/TestSupport.h"

#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>

using testsupport::listDir;

namespace {

// A scene with corners to register on (blocks on a ramp), seen at aScale times its light.
Image<unsigned char> scene(double aScale)
{
    Image<unsigned char> rgb(640, 480, 3);
    for (int y = 0; y < 480; ++y)
        for (int x = 0; x < 640; ++x) {
            const bool block = (x / 40 + y / 40) % 3 == 0;
            const double light = (block ? 150.0 : 40.0 + x / 8.0) * aScale;
            for (int c = 0; c < 3; ++c)
                rgb(x, y, c) = static_cast<unsigned char>(std::min(255.0, light * (0.8 + 0.1 * c)));
        }
    return rgb;
}

// Mean grey of aRect in aImage.
double meanGrey(const QImage &aImage, const QRect &aRect)
{
    double sum = 0;
    for (int y = aRect.top(); y <= aRect.bottom(); ++y)
        for (int x = aRect.left(); x <= aRect.right(); ++x)
            sum += qGray(aImage.pixel(x, y));
    return sum / (aRect.width() * aRect.height());
}

// The result browser after a burst of three, long exposure first, on a phone whose photo
// directory is a fresh folder; its labels follow the merge thread as the application wires
// them.
class FuserWidgetTest : public ::testing::Test
{
protected:
    FuserWidgetTest()
    {
        const double scales[] = { 1.6, 0.8, 0.4 };
        const int exposures[] = { 8000, 2828, 1000 };
        const float gains[] = { 1.0f, 1.5f, 2.0f };
        for (int i = 0; i < 3; ++i) {
            fuser.frames.push_back(apptest::yuvFrame(scene(scales[i])));
            fuser.burstShots[i].exposure = exposures[i];
            fuser.burstShots[i].gain = gains[i];
        }
        QObject::connect(&fuser.asyncFuser, &AsyncFuser::percentDone, &widget,
            &FuserWidget::updateMergeProgress);
        QObject::connect(
            &fuser.asyncFuser, &AsyncFuser::numPending, &widget, &FuserWidget::updateNumJobs);
    }

    std::vector<std::string> photos() const
    {
        return listDir(phone.path("/home/user/MyDocs/DCIM"));
    }

    // Waits, handling the queued signals, until the merge thread has nothing left to do, the
    // browser has been told so and the thread has let go of its last job (which removes a
    // deleted burst's files).
    bool mergesDone()
    {
        const bool told = QTest::qWaitFor(
            [&] {
                return fuser.asyncFuser.numJobs() == 0
                    && widget.jobsLabel->text() == "Pending: 0\n";
            },
            120000);
        fuser.asyncFuser.wait();
        return told;
    }

    Opsa::Sim::SimPhone phone;
    Fuser fuser { 640, 480, Opsa::UYVY, 3 };
    FuserWidget widget { &fuser };
};

} // namespace

TEST_F(FuserWidgetTest, StepsThroughTheInputsByKeysAndSwipesAndShowsThePreview)
{
    widget.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&widget));
    widget.loadBurst();
    ASSERT_EQ(widget.inputImages().size(), 3);
    EXPECT_EQ(widget.infoLabel->text(), "Image 1 of 3\nExp: 8 ms\nGain: 1.000000");
    EXPECT_TRUE(widget.inputsButton->isChecked());
    const QRect picture(0, 0, 640, 480);
    QImage shot = screens::screenshot(&widget, "browser-inputs");
    for (QWidget *label : { widget.infoLabel })
        EXPECT_TRUE(screens::showsText(shot, label));
    for (QAbstractButton *button : widget.findChildren<QAbstractButton *>())
        EXPECT_TRUE(screens::showsText(shot, button)) << button->text().toStdString();
    const double first = meanGrey(shot, picture);

    QTest::keyClick(&widget, Qt::Key_Right);
    QTest::keyClick(&widget, Qt::Key_Right);
    EXPECT_EQ(widget.infoLabel->text(), "Image 3 of 3\nExp: 1 ms\nGain: 2.000000");
    const double last = meanGrey(screens::screenshot(&widget, "browser-input3"), picture);
    EXPECT_GT(first, last + 40) << "the long exposure is shown first, the short one last";
    QTest::keyClick(&widget, Qt::Key_Right);
    EXPECT_EQ(widget.current(), 2u);

    // A swipe to the left goes back; the direction alone counts.
    QTest::mousePress(&widget, Qt::LeftButton, {}, QPoint(300, 200));
    QTest::mouseRelease(&widget, Qt::LeftButton, {}, QPoint(299, 260));
    EXPECT_EQ(widget.infoLabel->text(), "Image 2 of 3\nExp: 2 ms\nGain: 1.500000");
    QTest::keyClick(&widget, Qt::Key_Left);
    QTest::keyClick(&widget, Qt::Key_Left);
    EXPECT_EQ(widget.current(), 0u);

    QTest::keyClick(&widget, Qt::Key_R);
    EXPECT_TRUE(widget.resultButton->isChecked());
    EXPECT_FALSE(widget.infoLabel->isVisible());
    EXPECT_TRUE(widget.progressLabel->isVisible());
    ASSERT_FALSE(widget.resultImage().isNull());
    EXPECT_EQ(widget.drawArea->image(), widget.resultImage());
    shot = screens::screenshot(&widget, "browser-result");
    // The fused preview keeps the shadows of the long exposure and the blocks of the short.
    const double fused = meanGrey(shot, picture);
    EXPECT_LT(fused, first);
    EXPECT_GT(fused, last);
    EXPECT_EQ(screens::pixelsLike(shot, picture, qRgb(0, 0, 255), 8), 0);

    // A tap on the picture goes back to the inputs, one further on.
    QTest::mouseClick(&widget, Qt::LeftButton, {}, QPoint(320, 240));
    EXPECT_TRUE(widget.inputsButton->isChecked());
    EXPECT_EQ(widget.infoLabel->text().left(12), "Image 2 of 3");
    QTest::mouseClick(widget.resultButton, Qt::LeftButton, {}, QPoint(8, 8));
    EXPECT_EQ(widget.drawArea->image(), widget.resultImage());
    QTest::mouseClick(widget.inputsButton, Qt::LeftButton, {}, QPoint(8, 8));
    EXPECT_EQ(widget.drawArea->image(), widget.inputImages()[1]);
}

TEST_F(FuserWidgetTest, FollowsTheMergeJobsProgressAndPendingCount)
{
    widget.show();
    widget.loadBurst();
    widget.showResult();
    QSignalSpy progress(&fuser.asyncFuser, &AsyncFuser::percentDone);
    fuser.queueMergeJob();
    EXPECT_EQ(widget.jobsLabel->text(), "Pending: 1\n"); // said on the GUI thread, at once
    ASSERT_TRUE(mergesDone());
    EXPECT_EQ(widget.progressLabel->text(), "Done: 100 %\n");
    EXPECT_GT(progress.size(), 3);
    const QImage shot = screens::screenshot(&widget, "browser-merged");
    EXPECT_TRUE(screens::showsText(shot, widget.progressLabel));
    EXPECT_TRUE(screens::showsText(shot, widget.jobsLabel));
    EXPECT_EQ(photos().size(), 1u);
}

TEST_F(FuserWidgetTest, DeleteRemovesTheNewestBurstsFilesAndGoesBack)
{
    QSignalSpy back(widget.backButton, &QPushButton::clicked);
    fuser.saveInputs = true;
    widget.loadBurst();
    fuser.queueMergeJob();
    ASSERT_TRUE(mergesDone());
    ASSERT_EQ(photos().size(), 4u); // the result and its three inputs

    QTest::mouseClick(widget.deleteButton, Qt::LeftButton);
    EXPECT_EQ(back.size(), 1);
    EXPECT_TRUE(photos().empty());

    // Deleted while it is being merged: nothing is left once the merge thread lets go.
    fuser.queueMergeJob();
    widget.deleteCurrentResult();
    ASSERT_TRUE(mergesDone());
    EXPECT_TRUE(photos().empty());
    EXPECT_EQ(back.size(), 2);

    // With no burst left to delete, Delete only goes back.
    widget.deleteCurrentResult();
    EXPECT_EQ(back.size(), 3);
}

TEST_F(FuserWidgetTest, ABurstOfWrongSizedFramesShowsNothingNew)
{
    fuser.frames.clear();
    for (int i = 0; i < 3; ++i)
        fuser.frames.push_back(apptest::flatYuvFrame(320, 240, 100));
    widget.show();
    screens::Log log;
    widget.loadBurst();
    EXPECT_TRUE(widget.inputImages().isEmpty());
    EXPECT_EQ(widget.infoLabel->text(), "Welcome");
    QTest::mouseClick(widget.inputsButton, Qt::LeftButton, {}, QPoint(8, 8));
    EXPECT_EQ(log.count("Time to load burst"), 2) << "one load, then one more for Inputs";
    EXPECT_EQ(log.count("No inputs to display"), 1);
    widget.showResult();
    EXPECT_EQ(log.count("Compute burst failed, nothing to display"), 1);
    // The picture is the empty one: blue.
    const QImage shot = screens::screenshot(&widget, "browser-empty");
    EXPECT_EQ(screens::pixelsLike(shot, QRect(0, 0, 640, 480), qRgb(0, 0, 255)), 640 * 480);
    EXPECT_TRUE(screens::showsText(
        shot, widget.jobsLabel->isVisible() ? widget.resultButton : widget.inputsButton));
}
