#pragma once

// CaptureSettingsDialog: the "Options" window of the capture screen. It keeps no settings of
// its own: it shows the Fuser's values as they are when it is built, and every click goes
// straight to the Fuser, so there is nothing to confirm or cancel; the user closes it through
// the window system.
//
// Thread: GUI only.

#include <QDialog>

class Fuser;
class QRadioButton;

class CaptureSettingsDialog : public QDialog
{
    Q_OBJECT

public:
    // aFuser must outlive the dialog.
    CaptureSettingsDialog(Fuser *aFuser, QWidget *aParent);
    ~CaptureSettingsDialog() override;

private:
    QRadioButton *twoButton;
    QRadioButton *threeButton;
    QRadioButton *autoButton;
};
