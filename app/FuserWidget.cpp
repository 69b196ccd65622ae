#include "FuserWidget.h"

#include "DrawArea.h"
#include "Fuser.h"

#include <QButtonGroup>
#include <QDebug>
#include <QElapsedTimer>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

namespace {

// An RGB image over aImage's pixels (no copy) when its samples are interleaved RGB; otherwise
// over an interleaved copy. aKeep receives the image that owns the pixels.
QImage wrap(const Image<unsigned char> &aImage, std::vector<Image<unsigned char>> &aKeep)
{
    Image<unsigned char> image = aImage;
    if (image.channels() != 3 || image.pixelStride() != 3 || image.channelStride() != 1)
        image = image.clone();
    aKeep.push_back(image);
    return QImage(
        image.data(), image.width(), image.height(), image.rowStride(), QImage::Format_RGB888);
}

} // namespace

FuserWidget::FuserWidget(Fuser *aFuser, QWidget *aParent)
    : QWidget(aParent)
    , fuser(aFuser)
{
    resize(800, 480);
    QFrame *pictureFrame = new QFrame(this);
    pictureFrame->setGeometry(0, 0, 640, 480);
    drawArea = new DrawArea(this);
    drawArea->setGeometry(0, 0, 640, 480);

    QFrame *column = new QFrame(this);
    column->setGeometry(640, 0, 160, 480);
    QVBoxLayout *layout = new QVBoxLayout(column);
    layout->setSpacing(0);
    infoLabel = new QLabel(tr("Welcome"), column);
    progressLabel = new QLabel(column);
    jobsLabel = new QLabel(column);
    inputsButton = new QRadioButton(tr("Inputs"), column);
    resultButton = new QRadioButton(tr("Result"), column);
    deleteButton = new QPushButton(tr("Delete"), column);
    helpButton = new QPushButton(tr("Help"), column);
    backButton = new QPushButton(tr("Back"), column);
    layout->addWidget(infoLabel);
    layout->addWidget(progressLabel);
    layout->addWidget(jobsLabel);
    layout->addStretch(1);
    for (QWidget *control : { static_cast<QWidget *>(inputsButton),
             static_cast<QWidget *>(resultButton), static_cast<QWidget *>(deleteButton),
             static_cast<QWidget *>(helpButton), static_cast<QWidget *>(backButton) }) {
        // A touch screen: the keys belong to the screen (arrows step through the inputs), not
        // to whichever button was tapped last.
        control->setFocusPolicy(Qt::NoFocus);
        layout->addWidget(control);
    }
    QButtonGroup *group = new QButtonGroup(this);
    group->addButton(inputsButton);
    group->addButton(resultButton);

    connect(inputsButton, &QRadioButton::clicked, this, &FuserWidget::showInputs);
    connect(resultButton, &QRadioButton::clicked, this, &FuserWidget::showResult);
    connect(deleteButton, &QPushButton::clicked, this, &FuserWidget::deleteCurrentResult);
}

void FuserWidget::loadBurst()
{
    inputs.clear();
    result = QImage();
    shown.clear();
    QElapsedTimer timer;
    timer.start();
    fuser->loadPreviews();
    for (const Image<unsigned char> &preview : fuser->previews)
        inputs.append(wrap(preview, shown));
    currentInput = 0;
    inputsButton->setChecked(true);
    if (!inputs.isEmpty())
        showInputs();
    qDebug() << "Time to load burst: " << timer.elapsed();
}

void FuserWidget::showInputs()
{
    jobsLabel->hide();
    progressLabel->hide();
    infoLabel->show();
    if (inputs.isEmpty())
        loadBurst();
    if (inputs.isEmpty()) {
        qDebug() << "No inputs to display";
        return;
    }
    drawArea->setImage(inputs[currentInput]);
    drawArea->repaint();
    // The burst's shots can be fewer than its frames only when a burst was cut short; the
    // description then leaves the exposure out rather than read past the shots.
    int exposure = 0;
    float gain = 0.0f;
    if (currentInput < fuser->burstShots.size()) {
        exposure = fuser->burstShots[currentInput].exposure;
        gain = fuser->burstShots[currentInput].gain;
    }
    const QString text = QString::asprintf("Image %d of %d\nExp: %d ms\nGain: %f",
        int(currentInput) + 1, int(inputs.size()), exposure / 1000, double(gain));
    qDebug() << text;
    infoLabel->setText(text);
    inputsButton->setChecked(true);
}

void FuserWidget::mergeBurst()
{
    fuser->computePreview();
    if (fuser->previewResult.empty())
        return;
    result = wrap(fuser->previewResult, shown);
}

void FuserWidget::showResult()
{
    infoLabel->hide();
    jobsLabel->show();
    progressLabel->show();
    if (result.isNull())
        mergeBurst();
    if (result.isNull()) {
        qDebug() << "Compute burst failed, nothing to display";
        return;
    }
    drawArea->setImage(result);
    drawArea->repaint();
    resultButton->setChecked(true);
}

void FuserWidget::prevImage()
{
    if (inputs.isEmpty())
        return;
    if (currentInput > 0)
        --currentInput;
    showInputs();
}

void FuserWidget::nextImage()
{
    if (inputs.isEmpty())
        return;
    if (currentInput + 1 < unsigned(inputs.size()))
        ++currentInput;
    showInputs();
}

void FuserWidget::updateMergeProgress(int aPercent)
{
    qDebug() << "Progress: " << aPercent;
    progressLabel->setText(QString::asprintf("Done: %d %%\n", aPercent));
}

void FuserWidget::updateNumJobs(int aNum)
{
    qDebug() << "Num jobs: " << aNum;
    jobsLabel->setText(QString::asprintf("Pending: %d\n", aNum));
}

void FuserWidget::deleteCurrentResult()
{
    if (fuser->lastJob) {
        fuser->lastJob->deleted = true;
        // Let the job go now: its files are removed as soon as the merge thread is done with
        // it, not only when the next burst replaces it, and a second "Delete" cannot reach an
        // older burst through it.
        fuser->lastJob.reset();
    }
    backButton->click();
}

void FuserWidget::keyPressEvent(QKeyEvent *aEvent)
{
    switch (aEvent->key()) {
    case Qt::Key_Right:
        nextImage();
        break;
    case Qt::Key_Left:
        prevImage();
        break;
    case Qt::Key_R:
        showResult();
        break;
    default:
        QWidget::keyPressEvent(aEvent);
    }
}

void FuserWidget::mousePressEvent(QMouseEvent *aEvent)
{
    const QPoint at = aEvent->position().toPoint();
    pressX = at.x();
    pressY = at.y();
}

void FuserWidget::mouseReleaseEvent(QMouseEvent *aEvent)
{
    if (aEvent->position().toPoint().x() >= pressX) {
        qDebug() << "Next image";
        nextImage();
    } else {
        qDebug() << "Previous image";
        prevImage();
    }
}
