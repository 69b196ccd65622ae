#include "CameraWidget.h"

#include "CameraThread.h"
#include "Fuser.h"
#include "OverlayWidget.h"
#include "core/Assert"

#include <QButtonGroup>
#include <QDebug>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QTimer>
#include <QVBoxLayout>
#include <cmath>
#include <cstdio>

namespace {

// One viewfinder frame in the overlay's format: 480 rows of 640 UYVY pixels.
constexpr int KRowBytes = OverlayWidget::KWidth * 2;
constexpr int KRows = OverlayWidget::KHeight;

// Holds an image's buffer lock while the screen copies it, so that the capture daemon never
// writes a frame half over the one being shown.
class ImageLock
{
public:
    explicit ImageLock(Opsa::Image &aImage)
        : image(aImage)
        , held(aImage.lock())
    { }
    ~ImageLock()
    {
        if (held)
            image.unlock();
    }
    ImageLock(const ImageLock &) = delete;
    ImageLock &operator=(const ImageLock &) = delete;

private:
    Opsa::Image &image;
    bool held;
};

bool fitsOverlay(const Opsa::Image &aImage)
{
    return aImage.hasData() && aImage.width() >= OverlayWidget::KWidth
        && aImage.height() >= OverlayWidget::KHeight && aImage.type() == Opsa::UYVY;
}

} // namespace

CameraWidget::CameraWidget(Fuser *aFuser, QWidget *aParent)
    : QWidget(aParent)
    , fuser(aFuser)
{
    CORE_ASSERT(aFuser != nullptr);
    cameraThread = nullptr;
    setupUi();
    showSimpleMode();
    mode = ShowBoth;
}

void CameraWidget::setupUi()
{
    QHBoxLayout *row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    overlay = new OverlayWidget(this);
    overlay->setFixedSize(OverlayWidget::KWidth, OverlayWidget::KHeight);
    row->addWidget(overlay);

    QVBoxLayout *column = new QVBoxLayout;
    column->setSpacing(0);
    pendingLabel = new QLabel(tr("Pending: 0"), this);
    bracketLabel = new QLabel(tr("Bracket: "), this);
    numPhotosLabel = new QLabel(tr("Num photos:"), this);
    longButton = new QRadioButton(tr("Long"), this);
    shortButton = new QRadioButton(tr("Short"), this);
    autoExpButton = new QPushButton(tr("Auto Exp"), this);
    manualExpButton = new QPushButton(tr("Manual Exp"), this);
    optionsButton = new QPushButton(tr("Options"), this);
    aboutButton = new QPushButton(tr("About"), this);
    helpButton = new QPushButton(tr("Help"), this);
    quitButton = new QPushButton(tr("Quit"), this);
    column->addWidget(pendingLabel);
    column->addWidget(bracketLabel);
    column->addWidget(numPhotosLabel);
    column->addWidget(longButton);
    column->addWidget(shortButton);
    column->addStretch(1);
    for (QPushButton *button :
        { autoExpButton, manualExpButton, optionsButton, aboutButton, helpButton, quitButton })
        column->addWidget(button);
    // A touch screen: keys belong to the screen (they switch modes), not to the button that
    // was tapped last.
    for (QWidget *control :
        { static_cast<QWidget *>(longButton), static_cast<QWidget *>(shortButton),
            static_cast<QWidget *>(autoExpButton), static_cast<QWidget *>(manualExpButton),
            static_cast<QWidget *>(optionsButton), static_cast<QWidget *>(aboutButton),
            static_cast<QWidget *>(helpButton), static_cast<QWidget *>(quitButton) })
        control->setFocusPolicy(Qt::NoFocus);
    row->addLayout(column);

    QButtonGroup *group = new QButtonGroup(this);
    group->setExclusive(true);
    group->addButton(longButton);
    group->addButton(shortButton);

    expSlider = new QSlider(this);
    expSlider->setMinimum(-3);
    expSlider->setMaximum(3);
    expSlider->setSingleStep(1);
    expSlider->setFocusPolicy(Qt::NoFocus);
    row->addWidget(expSlider);
    CORE_ASSERT(overlay != nullptr);

    // Over the bottom of the viewfinder, outside the layout; painted above the key colour, so
    // it shows over the overlay plane.
    messageLabel = new QLabel(this);
    messageLabel->setObjectName("message");
    messageLabel->setGeometry(16, OverlayWidget::KHeight - 112, OverlayWidget::KWidth - 32, 96);
    messageLabel->setWordWrap(true);
    messageLabel->setAlignment(Qt::AlignCenter);
    messageLabel->setStyleSheet(
        "QLabel#message { background: rgb(40, 40, 40); color: white; padding: 8px; }");
    messageLabel->hide();
    messageTimer = new QTimer(this);
    messageTimer->setSingleShot(true);
    messageTimer->setInterval(KMessageMs);
    connect(messageTimer, &QTimer::timeout, messageLabel, &QLabel::hide);

    connect(autoExpButton, &QPushButton::clicked, this, &CameraWidget::showSimpleMode);
    connect(manualExpButton, &QPushButton::clicked, this, &CameraWidget::showExpertMode);
    connect(longButton, &QRadioButton::clicked, this, &CameraWidget::showLongExp);
    connect(shortButton, &QRadioButton::clicked, this, &CameraWidget::showShortExp);
    connect(expSlider, &QSlider::valueChanged, this, &CameraWidget::setExposureComp);
    connect(&fuser->asyncFuser, &AsyncFuser::numPending, this, &CameraWidget::updatePendingLabel);
    connect(fuser, &Fuser::exposureBracketChanged, this, &CameraWidget::updateBracketLabel);
    connect(fuser, &Fuser::numCapturesChanged, this, &CameraWidget::updateNumCapturesLabel);
}

void CameraWidget::updateOverlay(int aId)
{
    Opsa::Image target = overlay->frameBuffer();
    // Without the plane's memory (the device could not be opened or mapped) there is nowhere
    // to draw; the rest of the screen works on.
    if (!fitsOverlay(target))
        return;
    std::vector<Opsa::Shot> viewfinder = fuser->viewfinderSnapshot();
    if (viewfinder.size() < 2)
        return;
    Opsa::Image longImage = viewfinder[0].image;
    Opsa::Image shortImage = viewfinder[1].image;

    switch (mode) {
    case ShowShort:
    case ShowLong: {
        const bool isShort = mode == ShowShort;
        if (aId != viewfinder[isShort ? 1 : 0].id)
            return;
        Opsa::Image &source = isShort ? shortImage : longImage;
        if (!fitsOverlay(source))
            return;
        ImageLock lock(source);
        target.copyFrom(source);
        break;
    }
    case ShowBoth: {
        if (!fitsOverlay(longImage) || !fitsOverlay(shortImage))
            return;
        ImageLock lockLong(longImage);
        ImageLock lockShort(shortImage);
        for (int y = 0; y < KRows; ++y) {
            const unsigned char *a = longImage.data() + std::size_t(y) * longImage.bytesPerRow();
            const unsigned char *b = shortImage.data() + std::size_t(y) * shortImage.bytesPerRow();
            unsigned char *out = target.data() + std::size_t(y) * target.bytesPerRow();
            for (int x = 0; x < KRowBytes; ++x)
                out[x] = static_cast<unsigned char>((a[x] + b[x] + 1) / 2);
        }
        break;
    }
    default:
        break;
    }
}

void CameraWidget::setExposureComp(int aExp)
{
    const float factor = (aExp >= -3 && aExp <= 3) ? std::ldexp(1.0f, aExp) : 1.0f;
    qDebug() << "Setting exposure compensation " << factor;
    if (longButton->isChecked())
        fuser->setExpComp(0, factor);
    else if (shortButton->isChecked())
        fuser->setExpComp(1, factor);
}

void CameraWidget::showLongExp()
{
    float factor;
    {
        std::lock_guard<std::mutex> lock(fuser->stateMutex);
        factor = fuser->expComp.at(0);
    }
    expSlider->setValue(int(std::log2(factor)));
    mode = ShowLong;
}

void CameraWidget::showShortExp()
{
    float factor;
    {
        std::lock_guard<std::mutex> lock(fuser->stateMutex);
        factor = fuser->expComp.at(1);
    }
    expSlider->setValue(int(std::log2(factor)));
    mode = ShowShort;
}

void CameraWidget::showHdr()
{
    mode = ShowBoth;
}

void CameraWidget::showExpertMode()
{
    expSlider->show();
    longButton->show();
    shortButton->show();
    autoExpButton->show();
    manualExpButton->hide();
    longButton->click();
}

void CameraWidget::showSimpleMode()
{
    expSlider->hide();
    longButton->hide();
    shortButton->hide();
    autoExpButton->hide();
    manualExpButton->show();
    fuser->setAutoExposure();
    expSlider->setValue(0);
    mode = ShowBoth;
}

void CameraWidget::setAutoExposure()
{
    fuser->setAutoExposure();
    expSlider->setValue(0);
}

void CameraWidget::updatePendingLabel(int aNumPending)
{
    char text[64];
    std::snprintf(text, sizeof text, "Pending: %d\n", aNumPending);
    pendingLabel->setText(QString::fromLatin1(text));
}

void CameraWidget::updateBracketLabel(int aRange)
{
    char text[64];
    std::snprintf(text, sizeof text, "Range: %d stops", aRange);
    bracketLabel->setText(QString::fromLatin1(text));
}

void CameraWidget::updateNumCapturesLabel(int aNumCaptures)
{
    char text[64];
    std::snprintf(text, sizeof text, "Num photos: %d", aNumCaptures);
    numPhotosLabel->setText(QString::fromLatin1(text));
}

void CameraWidget::showMessage(const QString &aText)
{
    qDebug() << "Message:" << aText;
    messageLabel->setText(aText);
    messageLabel->show();
    messageLabel->raise();
    messageTimer->start();
}

void CameraWidget::mousePressEvent(QMouseEvent *)
{
    // The buttons and the slider take their own presses; this is the viewfinder or a label.
    switch (mode) {
    case ShowBoth:
        mode = ShowShort;
        break;
    case ShowShort:
        mode = ShowLong;
        break;
    default:
        mode = ShowBoth;
        break;
    }
}

void CameraWidget::keyPressEvent(QKeyEvent *aEvent)
{
    qDebug() << "Key press: " << aEvent->key();
    switch (aEvent->key()) {
    case Qt::Key_E:
        showExpertMode();
        break;
    case Qt::Key_B:
        showSimpleMode();
        break;
    case Qt::Key_S:
        shortButton->click();
        break;
    case Qt::Key_L:
        longButton->click();
        break;
    case Qt::Key_A:
        mode = ShowBoth;
        break;
    default:
        QWidget::keyPressEvent(aEvent);
        break;
    }
}

void CameraWidget::changeEvent(QEvent *aEvent)
{
    qDebug("CameraWidget::changeEvent %d\n", int(aEvent->type()));
    QWidget::changeEvent(aEvent);
    if (aEvent->type() != QEvent::ActivationChange || !overlay || !overlay->isEnabled())
        return;
    qDebug("CameraWidget::changeEvent: window state changed\n");
    if (!isActiveWindow()) {
        qDebug("\n overlay disabled\n");
        overlay->disable();
        if (cameraThread) {
            qDebug() << "Stopping!\n";
            cameraThread->stop();
            stoppedOnDeactivation = true;
        }
        return;
    }
    qDebug("\n overlay enabled\n");
    overlay->enable();
    if (cameraThread && stoppedOnDeactivation && isVisible()) {
        stoppedOnDeactivation = false;
        // The loop ends after the frame it was waiting for; the sensor must not be restarted
        // under it.
        cameraThread->wait();
        if (cameraThread->initialize())
            cameraThread->start(QThread::TimeCriticalPriority);
    }
}

void CameraWidget::showEvent(QShowEvent *aEvent)
{
    stoppedOnDeactivation = false;
    QWidget::showEvent(aEvent);
}

void CameraWidget::hideEvent(QHideEvent *aEvent)
{
    stoppedOnDeactivation = false;
    QWidget::hideEvent(aEvent);
}
