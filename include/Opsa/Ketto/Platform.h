#pragma once

#include "Opsa/Platform.h"

namespace Opsa::Ketto {

// The phone's camera: a GRBG sensor with raw values 0..959 and a colour response calibrated
// at 3200 K and 7000 K.
// Thread: any.
class Platform : public Opsa::Platform
{
public:
    // The process-wide instance, made on first use.
    static const Platform &instance();

    int bayerPattern() const override;
    // The calibration matrix of 3200 K or 7000 K at those temperatures; in between (and
    // beyond: there is no clamping) a blend in 1/K whose colour part is scaled so that its
    // smallest row sum is 1.
    void rawToRGBColorMatrix(int aKelvin, float *aMatrix) const override;
    const std::string &manufacturer() const override;
    const std::string &model() const override;
    int minRawValue() const override;
    int maxRawValue() const override;

private:
    Platform() = default;
};

} // namespace Opsa::Ketto
