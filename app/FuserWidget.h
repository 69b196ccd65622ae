#pragma once

// FuserWidget: the result browser shown after a burst. A 640 × 480 picture (the burst's quick
// fused preview or one of its input photographs) with a column of controls on the right:
// the description of the shown input, the background merge's progress and the number of
// pending merges, "Inputs"/"Result", "Delete", "Help" and "Back". Swipes and the arrow keys
// step through the inputs.
//
// Thread: GUI only. updateMergeProgress and updateNumJobs receive the merge thread's signals
// by queued connection.

#include "core/Image"

#include <QImage>
#include <QWidget>
#include <vector>

class DrawArea;
class Fuser;
class QLabel;
class QPushButton;
class QRadioButton;

class FuserWidget : public QWidget
{
    Q_OBJECT

public:
    // aFuser must outlive the widget.
    FuserWidget(Fuser *aFuser, QWidget *aParent = nullptr);

    DrawArea *drawArea;
    QLabel *infoLabel;
    QLabel *progressLabel;
    QLabel *jobsLabel;
    QPushButton *deleteButton;
    // Connected by the application controller.
    QPushButton *helpButton;
    QPushButton *backButton;
    QRadioButton *inputsButton;
    QRadioButton *resultButton;

    // Index of the shown input, and the burst's inputs and fused preview as shown.
    unsigned int current() const { return currentInput; }
    const QList<QImage> &inputImages() const { return inputs; }
    const QImage &resultImage() const { return result; }

public slots:
    // Shows input currentInput with its exposure and gain, loading the burst first if needed.
    void showInputs();
    // Shows the fused preview, computing it first if needed.
    void showResult();
    // Takes the Fuser's previews of the collected burst as the inputs and shows the first.
    void loadBurst();
    // Has the Fuser fuse the previews and takes the result.
    void mergeBurst();
    void prevImage();
    void nextImage();
    void updateMergeProgress(int aPercent);
    void updateNumJobs(int aNum);
    // Marks the newest merge job deleted (its files go with it) and returns to the camera.
    void deleteCurrentResult();

protected:
    void keyPressEvent(QKeyEvent *aEvent) override;
    void mousePressEvent(QMouseEvent *aEvent) override;
    void mouseReleaseEvent(QMouseEvent *aEvent) override;

private:
    int pressX = 0;
    int pressY = 0;
    Fuser *fuser;
    unsigned int currentInput = 0;
    QList<QImage> inputs;
    QImage result;
    // The images whose pixels inputs and result show: held so that the pixels live as long as
    // the QImages, whatever the Fuser does with its own previews meanwhile.
    std::vector<Image<unsigned char>> shown;
};
