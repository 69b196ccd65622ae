#pragma once

// Straightforward step-by-step versions of the pyramid and fusion arithmetic, one sample at a
// time through the bounds-checked accessors. The library's streaming, vectorisable loops must
// agree with them bit for bit.

#include "core/HDRFusion"

#include <algorithm>
#include <cmath>
#include <gtest/gtest.h>
#include <random>
#include <vector>

namespace reference {

// Calls aF(x, y, c) for every sample of an aWidth x aHeight x aChannels image.
template <class F> void each(int aWidth, int aHeight, int aChannels, F aF)
{
    for (int y = 0; y < aHeight; ++y)
        for (int x = 0; x < aWidth; ++x)
            for (int c = 0; c < aChannels; ++c)
                aF(x, y, c);
}

// The 1-4-6-4-1 sums of the edge-padded sequence (x0 x0 x0 x1 … x(n-1) x(n-1) x(n-1)) of the
// aCount values aAt(i), centred on its even elements, formed as four stages of running pairwise
// sums: the library's order of additions, which matters in float.
template <class Acc, class At> std::vector<Acc> binomialHalf(int aCount, At aAt)
{
    std::vector<Acc> s(aCount + 4), out(aCount / 2);
    for (int i = 0; i < aCount + 4; ++i)
        s[i] = aAt(std::clamp(i - 2, 0, aCount - 1));
    for (int stage = 0; stage < 4; ++stage)
        for (int i = 0; i + 1 < aCount + 4 - stage; ++i)
            s[i] = s[i] + s[i + 1];
    for (int i = 0; i < aCount / 2; ++i)
        out[i] = s[2 * i];
    return out;
}

template <class T> Image<T> reduce(const Image<T> &aSrc)
{
    typedef std::conditional_t<std::is_same_v<T, float>, float, long> Acc;
    const int w = aSrc.width(), h = aSrc.height();
    Image<T> dst(w / 2, h / 2, aSrc.channels());
    for (int c = 0; c < aSrc.channels(); ++c) {
        std::vector<std::vector<Acc>> rows(h);
        for (int y = 0; y < h; ++y)
            rows[y] = binomialHalf<Acc>(w, [&](int x) { return Acc(aSrc(x, y, c)); });
        for (int x = 0; x < w / 2; ++x) {
            std::vector<Acc> sums = binomialHalf<Acc>(h, [&](int y) { return rows[y][x]; });
            for (int y = 0; y < h / 2; ++y) {
                if constexpr (std::is_same_v<T, float>)
                    dst(x, y, c) = (sums[y] + 0.5f) * (1.0f / 256);
                else
                    dst(x, y, c) = T((sums[y] + 128) / 256);
            }
        }
    }
    return dst;
}

// The mean of two samples rounded toward minus infinity (exact in double for 32-bit samples).
template <class D> D half(D aA, D aB)
{
    return D(std::floor((double(aA) + double(aB)) / 2));
}

// The expansion into an aWidth x aHeight image, each sample from its closed form: the source
// at even positions (0 beyond it), means of the neighbours between them, and the bottom row
// (two at odd heights) and right column (likewise) repeating the last interpolated one.
template <class S, class D> Image<D> expand(const Image<S> &aSrc, int aWidth, int aHeight)
{
    auto copied = [&](int x, int y, int c) {
        return x / 2 < aSrc.width() && y / 2 < aSrc.height() ? D(aSrc(x / 2, y / 2, c)) : D(0);
    };
    auto inRow = [&](int x, int y, int c) {
        return x % 2 ? half(copied(x - 1, y, c), copied(x + 1, y, c)) : copied(x, y, c);
    };
    const int lastRow = aHeight - 2 - aHeight % 2, lastCol = aWidth - 2 - aWidth % 2;
    Image<D> d(aWidth, aHeight, aSrc.channels());
    each(aWidth, aHeight, aSrc.channels(), [&](int x, int y, int c) {
        const int u = std::min(x, lastCol), v = std::min(y, lastRow);
        d(x, y, c) = v % 2 ? half(inRow(u, v - 1, c), inRow(u, v + 1, c)) : inRow(u, v, c);
    });
    return d;
}

template <class T>
Image<T> randomImage(int aWidth, int aHeight, int aChannels, int aLow, int aHigh, unsigned aSeed)
{
    std::mt19937 rng(aSeed);
    std::uniform_int_distribution<int> dist(aLow, aHigh);
    Image<T> img(aWidth, aHeight, aChannels);
    std::generate(
        img.data(), img.data() + aWidth * aHeight * aChannels, [&] { return T(dist(rng)); });
    return img;
}

// An image of aHeight rows and aChannels channels holding aSamples in order.
template <class T>
Image<T> pixels(std::initializer_list<double> aSamples, int aChannels = 1, int aHeight = 1)
{
    Image<T> img(int(aSamples.size()) / aChannels / aHeight, aHeight, aChannels);
    std::transform(aSamples.begin(), aSamples.end(), img.data(), [](double v) { return T(v); });
    return img;
}

template <class A, class B> bool sameSamples(const Image<A> &aA, const Image<B> &aB)
{
    bool same
        = aA.width() == aB.width() && aA.height() == aB.height() && aA.channels() == aB.channels();
    if (same)
        each(aA.width(), aA.height(), aA.channels(),
            [&](int x, int y, int c) { same = same && aA(x, y, c) == aB(x, y, c); });
    return same;
}

// What aCall prints on standard output.
template <class F> std::string said(F aCall)
{
    testing::internal::CaptureStdout();
    aCall();
    return testing::internal::GetCapturedStdout();
}

// The whole fusion of a burst of aImages (not modified), one literal step after another.
template <class T> Image<T> fuse(const std::vector<Image<T>> &aImages, T aMu, T aSigma, int aTop)
{
    typedef typename ImageTraits<Image<T>>::promote_t P;
    const int n = int(aImages.size());
    const int w = aImages[0].width(), h = aImages[0].height(), c = aImages[0].channels();
    std::vector<float> table(aTop + 1);
    for (int v = 0; v <= aTop; ++v) {
        const float d = float(v) - float(aMu);
        const float e = -(d * d) * (1.0f / float(2.0 * aSigma * aSigma));
        table[v]
            = e >= -9 && e <= 9 ? float(std::exp(int(e * 0.05f * 4096.0f) / 204.8)) : std::exp(e);
    }
    std::vector<Image<float>> masks;
    for (int k = 0; k < n; ++k)
        masks.emplace_back(w, h, 1);
    each(w, h, n, [&](int x, int y, int k) {
        float p = 1.0f;
        for (int i = 0; i < c; ++i)
            p = p * table[aImages[k](x, y, i)];
        masks[k](x, y, 0) = p;
    });
    each(w, h, 1, [&](int x, int y, int) {
        float sum = 0;
        for (auto &m : masks)
            sum += m(x, y, 0);
        for (auto &m : masks)
            m(x, y, 0) = sum == 0 ? 1.0f / float(n) : m(x, y, 0) / sum;
    });
    // Level by level, finest first: each photograph's band (its level less the expansion of
    // its reduction; the base is the level itself) blended with the masks' Gaussian level.
    std::vector<Image<T>> levels(aImages);
    std::vector<Image<P>> blended;
    for (bool last = false; !last;) {
        const int lw = levels[0].width(), lh = levels[0].height();
        last = lw <= 10 || lh <= 10;
        std::vector<Image<T>> low(n), up(n);
        for (int k = 0; k < n; ++k) {
            low[k] = last ? levels[k] : reduce(levels[k]);
            up[k] = last ? Image<T>(lw, lh, c) : expand<T, T>(low[k], lw, lh);
        }
        Image<P> out(lw, lh, c);
        each(lw, lh, c, [&](int x, int y, int i) {
            int acc = 0;
            for (int k = 0; k < n; ++k)
                acc = int(float(acc)
                    + float(P(P(levels[k](x, y, i)) - P(up[k](x, y, i)))) * masks[k](x, y, 0));
            out(x, y, i) = P(acc);
        });
        blended.push_back(out);
        for (int k = 0; k < n && !last; ++k) {
            levels[k] = low[k];
            masks[k] = reduce(masks[k]);
        }
    }
    if (blended.size() == 1)
        return aImages[0].clone();
    Image<P> recon = blended.back();
    for (int l = int(blended.size()) - 2; l >= 0; --l) {
        recon = expand<P, P>(recon, blended[l].width(), blended[l].height());
        each(recon.width(), recon.height(), c,
            [&](int x, int y, int i) { recon(x, y, i) = P(recon(x, y, i) + blended[l](x, y, i)); });
    }
    Image<T> result(w, h, c);
    each(w, h, c, [&](int x, int y, int i) {
        result(x, y, i) = T(std::clamp(int(recon(x, y, i)), 0, aTop));
    });
    return result;
}

} // namespace reference
