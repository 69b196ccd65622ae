#include "CaptureSettingsDialog.h"

#include "Fuser.h"

#include <QDebug>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QRadioButton>
#include <QVBoxLayout>

namespace {

// A radio button in aBox's horizontal row whose click calls aSlot on aFuser. The group box is
// the buttons' parent, which makes the buttons of one row exclusive.
QRadioButton *addChoice(
    QGroupBox *aBox, const QString &aText, bool aChecked, Fuser *aFuser, void (Fuser::*aSlot)())
{
    QRadioButton *button = new QRadioButton(aText, aBox);
    button->setChecked(aChecked);
    aBox->layout()->addWidget(button);
    QObject::connect(button, &QRadioButton::clicked, aFuser, aSlot);
    return button;
}

QGroupBox *row(QWidget *aParent, const QString &aLabel)
{
    QGroupBox *box = new QGroupBox(aParent);
    QHBoxLayout *layout = new QHBoxLayout(box);
    if (!aLabel.isEmpty())
        layout->addWidget(new QLabel(aLabel, box));
    return box;
}

} // namespace

CaptureSettingsDialog::CaptureSettingsDialog(Fuser *aFuser, QWidget *aParent)
    : QDialog(aParent)
{
    QVBoxLayout *layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(tr("Photo resolution"), this));

    QGroupBox *resolution = row(this, QString());
    const int width = aFuser->width;
    addChoice(resolution, tr("Low"), width == 640, aFuser, &Fuser::setResLow);
    addChoice(resolution, tr("Medium"), width == 1296, aFuser, &Fuser::setResMed);
    addChoice(resolution, tr("High"), width != 640 && width != 1296, aFuser, &Fuser::setResHigh);
    layout->addWidget(resolution);

    QGroupBox *inputs = row(this, tr("Save inputs"));
    addChoice(inputs, tr("Yes"), aFuser->saveInputs, aFuser, &Fuser::setSaveInputsOn);
    addChoice(inputs, tr("No"), !aFuser->saveInputs, aFuser, &Fuser::setSaveInputsOff);
    layout->addWidget(inputs);

    QGroupBox *shots = row(this, tr("Number of shots"));
    const bool automatic = aFuser->autoShots;
    autoButton = addChoice(shots, tr("Auto"), automatic, aFuser, &Fuser::setAutoShots);
    twoButton = addChoice(
        shots, tr("Two"), !automatic && aFuser->numShots == 2, aFuser, &Fuser::setTwoShots);
    threeButton = addChoice(
        shots, tr("Three"), !automatic && aFuser->numShots != 2, aFuser, &Fuser::setThreeShots);
    layout->addWidget(shots);
}

CaptureSettingsDialog::~CaptureSettingsDialog()
{
    qDebug() << "CaptureSettingsDialog::~CaptureSettingsDialog()";
}
