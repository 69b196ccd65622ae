#pragma once

// CameraWidget: the capture screen. The 640 × 480 viewfinder overlay on the left, a column of
// labels and buttons beside it (pending merges, bracket width, number of photographs, the
// Long/Short choice and Auto/Manual exposure, Options, About, Help, Quit) and the exposure
// compensation slider on the right. It copies each new viewfinder frame into the overlay
// plane (one exposure or both blended), and stops or restarts the camera thread as the
// application loses or regains activation. Messages for the person holding the phone (a
// burst that could not be taken, a camera that runs slower than it should) appear over the
// bottom of the viewfinder for a while.
//
// Thread: GUI only. updateOverlay and the label slots receive the capture loop's, the Fuser's
// and the merge thread's signals by queued connection.

#include <QWidget>

class CameraThread;
class Fuser;
class OverlayWidget;
class QLabel;
class QPushButton;
class QRadioButton;
class QSlider;
class QTimer;

class CameraWidget : public QWidget
{
    Q_OBJECT

public:
    // What the viewfinder shows.
    enum OverlayMode { ShowBoth = 0, ShowShort = 2, ShowLong = 3 };
    // How long a message stays over the viewfinder.
    static constexpr int KMessageMs = 10000;

    // aFuser must outlive the widget.
    explicit CameraWidget(Fuser *aFuser, QWidget *aParent = nullptr);

    OverlayWidget *overlay = nullptr;
    QPushButton *optionsButton = nullptr;
    QPushButton *helpButton = nullptr;
    QPushButton *aboutButton = nullptr;
    QPushButton *quitButton = nullptr;
    QRadioButton *longButton = nullptr;
    QRadioButton *shortButton = nullptr;
    QSlider *expSlider = nullptr;
    QPushButton *autoExpButton = nullptr;
    QPushButton *manualExpButton = nullptr;
    QLabel *pendingLabel = nullptr;
    QLabel *bracketLabel = nullptr;
    QLabel *numPhotosLabel = nullptr;
    // The message over the viewfinder; hidden while there is none.
    QLabel *messageLabel = nullptr;
    // Set by the application controller once it has built the thread, cleared before it
    // deletes it.
    CameraThread *cameraThread = nullptr;

    int overlayMode() const { return mode; }

public slots:
    // Copies the viewfinder into the overlay plane after a frame of the viewfinder shot aId.
    void updateOverlay(int aId);
    // Compensation of 2^aExp (aExp in -3...3) for the exposure chosen by Long/Short.
    void setExposureComp(int aExp);
    void showLongExp();
    void showShortExp();
    void showHdr();
    void showExpertMode();
    void showSimpleMode();
    void setAutoExposure();
    void updatePendingLabel(int aNumPending);
    void updateBracketLabel(int aRange);
    void updateNumCapturesLabel(int aNumCaptures);
    // Shows aText over the viewfinder for KMessageMs (a newer message replaces it).
    void showMessage(const QString &aText);

protected:
    void mousePressEvent(QMouseEvent *aEvent) override;
    void keyPressEvent(QKeyEvent *aEvent) override;
    void changeEvent(QEvent *aEvent) override;
    void showEvent(QShowEvent *aEvent) override;
    void hideEvent(QHideEvent *aEvent) override;

private:
    void setupUi();

    Fuser *fuser;
    int mode = ShowBoth;
    QTimer *messageTimer = nullptr;
    // The camera thread was stopped here when the application lost activation, and the
    // screen has stayed up since (showing or hiding the screen hands the camera back to the
    // controller, which starts and stops it around the result browser).
    bool stoppedOnDeactivation = false;
};
