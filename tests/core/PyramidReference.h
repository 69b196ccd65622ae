#pragma once

// Straightforward step-by-step versions of the pyramid and fusion arithmetic, written for
// clarity with the bounds-checked accessors, one channel at a time. The library's streaming,
// vectorisable loops must agree with them bit for bit.

#include "core/HDRFusion"

#include <cmath>
#include <random>
#include <vector>

namespace reference {

// Running pairwise sums of the edge-padded sequence aIn (x0 x0 x0 x1 … x(n-1) x(n-1) x(n-1)),
// four stages, keeping every second result of the last stage: the 1-4-6-4-1 sums centred on
// the even elements, added in exactly that order.
template <class Acc> std::vector<Acc> binomialHalf(const std::vector<Acc> &aIn)
{
    const int n = int(aIn.size());
    std::vector<Acc> s;
    for (int i = 0; i < n + 4; ++i)
        s.push_back(aIn[std::min(std::max(i - 2, 0), n - 1)]);
    for (int stage = 0; stage < 4; ++stage) {
        std::vector<Acc> next(s.size() - 1);
        for (std::size_t i = 1; i < s.size(); ++i)
            next[i - 1] = s[i - 1] + s[i];
        s.swap(next);
    }
    std::vector<Acc> out;
    for (int i = 0; i < n / 2; ++i)
        out.push_back(s[2 * i]);
    return out;
}

template <class T> Image<T> reduce(const Image<T> &aSrc)
{
    typedef typename std::conditional<std::is_same<T, float>::value, float, long>::type Acc;
    const int w = aSrc.width(), h = aSrc.height(), c = aSrc.channels();
    Image<T> dst(w / 2, h / 2, c);
    for (int ch = 0; ch < c; ++ch) {
        std::vector<std::vector<Acc>> rows;
        for (int y = 0; y < h; ++y) {
            std::vector<Acc> row;
            for (int x = 0; x < w; ++x)
                row.push_back(Acc(aSrc(x, y, ch)));
            rows.push_back(binomialHalf(row));
        }
        for (int x = 0; x < w / 2; ++x) {
            std::vector<Acc> column;
            for (int y = 0; y < h; ++y)
                column.push_back(rows[y][x]);
            std::vector<Acc> sums = binomialHalf(column);
            for (int y = 0; y < h / 2; ++y) {
                if constexpr (std::is_same<T, float>::value)
                    dst(x, y, ch) = (sums[y] + 0.5f) * (1.0f / 256);
                else
                    dst(x, y, ch) = T((sums[y] + 128) / 256);
            }
        }
    }
    return dst;
}

// The mean of two samples rounded toward minus infinity, in 64 bits.
template <class D> D half(D aA, D aB)
{
    const long long sum = (long long)(aA) + aB;
    return D(sum >= 0 ? sum / 2 : -((-sum + 1) / 2));
}

// The expansion into an aWidth × aHeight image, rule by rule.
template <class S, class D> Image<D> expand(const Image<S> &aSrc, int aWidth, int aHeight)
{
    const int c = aSrc.channels();
    Image<D> d(aWidth, aHeight, c);
    for (int y = 0; y < aSrc.height(); ++y)
        for (int x = 0; x < aSrc.width(); ++x)
            for (int i = 0; i < c; ++i)
                d(2 * x, 2 * y, i) = D(aSrc(x, y, i));
    for (int y = 0; y < aHeight; y += 2)
        for (int x = 1; x < aWidth - 2; x += 2)
            for (int i = 0; i < c; ++i)
                d(x, y, i) = half(d(x - 1, y, i), d(x + 1, y, i));
    for (int y = 1; y < aHeight - 2; y += 2)
        for (int x = 0; x < aWidth; ++x)
            for (int i = 0; i < c; ++i)
                d(x, y, i) = half(d(x, y - 1, i), d(x, y + 1, i));
    // Bottom row (two at odd heights) and then right column (two at odd widths) repeat the
    // last interpolated one.
    const int fromRow = aHeight % 2 ? aHeight - 3 : aHeight - 2;
    for (int y = fromRow + 1; y < aHeight; ++y)
        for (int x = 0; x < aWidth; ++x)
            for (int i = 0; i < c; ++i)
                d(x, y, i) = d(x, fromRow, i);
    const int fromCol = aWidth % 2 ? aWidth - 3 : aWidth - 2;
    for (int y = 0; y < aHeight; ++y)
        for (int x = fromCol + 1; x < aWidth; ++x)
            for (int i = 0; i < c; ++i)
                d(x, y, i) = d(fromCol, y, i);
    return d;
}

template <class T>
Image<T> randomImage(int aWidth, int aHeight, int aChannels, int aLow, int aHigh, unsigned aSeed)
{
    std::mt19937 rng(aSeed);
    std::uniform_int_distribution<int> dist(aLow, aHigh);
    Image<T> img(aWidth, aHeight, aChannels);
    for (int i = 0; i < aWidth * aHeight * aChannels; ++i)
        img.data()[i] = T(dist(rng));
    return img;
}

// A one-row image of aChannels channels holding aSamples in order.
template <class T> Image<T> row(std::initializer_list<double> aSamples, int aChannels = 1)
{
    Image<T> img(int(aSamples.size()) / aChannels, 1, aChannels);
    int i = 0;
    for (double v : aSamples)
        img.data()[i++] = T(v);
    return img;
}

template <class A, class B> bool sameSamples(const Image<A> &aA, const Image<B> &aB)
{
    if (aA.width() != aB.width() || aA.height() != aB.height() || aA.channels() != aB.channels())
        return false;
    for (int y = 0; y < aA.height(); ++y)
        for (int x = 0; x < aA.width(); ++x)
            for (int c = 0; c < aA.channels(); ++c)
                if (!(aA(x, y, c) == aB(x, y, c)))
                    return false;
    return true;
}

// The whole fusion of a burst of aImages (not modified), one literal step after another.
template <class T> Image<T> fuse(const std::vector<Image<T>> &aImages, T aMu, T aSigma, int aTop)
{
    typedef typename ImageTraits<Image<T>>::promote_t P;
    const int n = int(aImages.size());
    const int w = aImages[0].width(), h = aImages[0].height(), c = aImages[0].channels();
    std::vector<float> table(aTop + 1);
    for (int v = 0; v <= aTop; ++v) {
        float d = float(v) - float(aMu);
        float e = -(d * d) * (1.0f / float(2.0 * aSigma * aSigma));
        table[v]
            = e >= -9 && e <= 9 ? float(std::exp(int(e * 0.05f * 4096.0f) / 204.8)) : std::exp(e);
    }
    std::vector<Image<float>> masks;
    for (const Image<T> &img : aImages) {
        Image<float> m(w, h, 1);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                float p = 1.0f;
                for (int i = 0; i < c; ++i)
                    p = p * table[img(x, y, i)];
                m(x, y, 0) = p;
            }
        masks.push_back(m);
    }
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            float sum = 0;
            for (auto &m : masks)
                sum += m(x, y, 0);
            for (auto &m : masks)
                m(x, y, 0) = sum == 0 ? 1.0f / float(n) : m(x, y, 0) / sum;
        }
    // Pyramids: levels of every photograph and mask, finest first; the last one is the base.
    std::vector<std::vector<Image<P>>> bands(n);
    std::vector<std::vector<Image<float>>> weights(n);
    for (int k = 0; k < n; ++k) {
        Image<T> level = aImages[k];
        Image<float> mask = masks[k];
        while (level.width() > 10 && level.height() > 10) {
            Image<T> low = reduce(level);
            Image<T> up = expand<T, T>(low, level.width(), level.height());
            Image<P> detail(level.width(), level.height(), c);
            for (int y = 0; y < level.height(); ++y)
                for (int x = 0; x < level.width(); ++x)
                    for (int i = 0; i < c; ++i)
                        detail(x, y, i) = P(P(level(x, y, i)) - P(up(x, y, i)));
            bands[k].push_back(detail);
            weights[k].push_back(mask);
            level = low;
            mask = reduce(mask);
        }
        Image<P> base(level.width(), level.height(), c);
        for (int y = 0; y < level.height(); ++y)
            for (int x = 0; x < level.width(); ++x)
                for (int i = 0; i < c; ++i)
                    base(x, y, i) = P(level(x, y, i));
        bands[k].push_back(base);
        weights[k].push_back(mask);
    }
    const int levels = int(bands[0].size());
    std::vector<Image<P>> blended;
    for (int l = 0; l < levels; ++l) {
        Image<P> out = bands[0][l].clone();
        for (int y = 0; y < out.height(); ++y)
            for (int x = 0; x < out.width(); ++x)
                for (int i = 0; i < c; ++i) {
                    int acc = 0;
                    for (int k = 0; k < n; ++k)
                        acc = int(
                            float(acc) + float(bands[k][l](x, y, i)) * weights[k][l](x, y, 0));
                    out(x, y, i) = P(acc);
                }
        blended.push_back(out);
    }
    if (levels == 1)
        return aImages[0].clone();
    Image<P> recon = blended.back();
    for (int l = levels - 2; l >= 0; --l) {
        Image<P> up = expand<P, P>(recon, blended[l].width(), blended[l].height());
        for (int y = 0; y < up.height(); ++y)
            for (int x = 0; x < up.width(); ++x)
                for (int i = 0; i < c; ++i)
                    up(x, y, i) = P(up(x, y, i) + blended[l](x, y, i));
        recon = up;
    }
    Image<T> result(w, h, c);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int i = 0; i < c; ++i)
                result(x, y, i) = T(std::min(std::max(int(recon(x, y, i)), 0), aTop));
    return result;
}

} // namespace reference
