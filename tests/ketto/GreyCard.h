#pragma once

// What the phone's camera records of a grey card under light of a given temperature, by its
// own calibration: the raw red, green and blue that its colour matrix at that temperature
// (before normalisation) turns into equal red, green and blue.

namespace kettotest {

inline void greyCard(int aKelvin, double aOut[3])
{
    const double warm[9]
        = { 1.6697, -0.2693, -0.4004, -0.3576, 1.0615, 1.5949, -0.2175, -1.8751, 6.9640 };
    const double cold[9]
        = { 2.2997, -0.4478, 0.1706, -0.3826, 1.5906, -0.2080, -0.0888, -0.7344, 2.2832 };
    double alpha = (1.0 / aKelvin - 1.0 / 3200) / (1.0 / 7000 - 1.0 / 3200);
    double m[9];
    for (int i = 0; i < 9; ++i)
        m[i] = (1 - alpha) * warm[i] + alpha * cold[i];
    auto det = [](const double *a) {
        return a[0] * (a[4] * a[8] - a[5] * a[7]) - a[1] * (a[3] * a[8] - a[5] * a[6])
            + a[2] * (a[3] * a[7] - a[4] * a[6]);
    };
    // Cramer's rule for m x = (1, 1, 1).
    for (int col = 0; col < 3; ++col) {
        double replaced[9];
        for (int i = 0; i < 9; ++i)
            replaced[i] = i % 3 == col ? 1.0 : m[i];
        aOut[col] = det(replaced) / det(m);
    }
}

} // namespace kettotest
