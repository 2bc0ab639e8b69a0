// The training step written as plain loops in the documented operation order, to
// check the library's arranged loops against (and to time them in the benchmark).
#pragma once

#include <cmath>
#include <vector>

#include "nn/net.h"

namespace NeuralNetwork {

class PlainNet {
public:
    struct Layer {
        int units;
        int W;  // weights per unit, 0 for the input layer
        std::vector<real> out, err, w, dw, wi;
    };

    // Copies the layout, the parameters and the current weights of net; the last
    // weight changes start at zero.
    explicit PlainNet(const Net& net)
        : momentum(net.momentumFactor), learningRate(net.learningRate), gain(net.gain) {
        for (const auto& l : net.layer) {
            Layer p;
            p.units = l->units;
            p.W = l->weightsPerUnit;
            p.out.assign(p.units + 1, 0);
            p.out[0] = 1.0;
            p.err.assign(p.units + 1, 0);
            p.w = l->weight;
            p.dw.assign(p.w.size(), 0);
            p.wi.assign(p.W + 1, 0);
            layers.push_back(p);
        }
    }

    void simpleTrain(const real* input, const real* target) {
        for (int u = 1; u <= layers[0].units; ++u) layers[0].out[u] = input[u - 1];
        for (size_t i = 1; i < layers.size(); ++i) propagate(layers[i - 1], layers[i]);
        error = computeError(layers.back(), target);
        for (size_t i = layers.size() - 1; i >= 1; --i) backpropagate(layers[i - 1], layers[i]);
        for (size_t i = 1; i < layers.size(); ++i) adjust(layers[i - 1], layers[i]);
    }

    std::vector<Layer> layers;
    real momentum, learningRate, gain;
    real error = 0;

private:
    void propagate(const Layer& below, Layer& l) const {
        for (int u = 1; u <= l.units; ++u) {
            real s = 0;
            for (int k = 0; k < l.W; ++k) s += below.out[k] * l.w[u * l.W + k];
            l.out[u] = static_cast<real>(1.0 / (1.0 + std::exp(static_cast<double>(-gain * s))));
        }
    }

    real computeError(Layer& l, const real* target) const {
        real sum = 0;
        for (int u = 1; u <= l.units; ++u) {
            const real y = l.out[u];
            const real e = target[u - 1] - y;
            l.err[u] = gain * y * (1 - y) * e;
            sum += e * e;
        }
        return real(0.5) * sum;
    }

    void backpropagate(Layer& below, const Layer& l) const {
        for (int p = below.units; p >= 1; --p) {
            const real o = below.out[p];
            real s = 0;
            for (int u = 1; u <= l.units; ++u) s += l.w[u * l.W + p] * l.err[u];
            below.err[p] = gain * o * (1 - o) * s;
        }
    }

    void adjust(const Layer& below, Layer& l) const {
        for (int k = 0; k < l.W; ++k) l.wi[k + 1] = below.out[k] * learningRate;
        for (int u = l.units; u >= 1; --u) {
            for (int k = l.W - 1; k >= 0; --k) {
                const int i = u * l.W + k;
                const real d = l.wi[k + 1] * l.err[u];
                const real old = l.dw[i];
                l.dw[i] = d;
                l.w[i] = l.w[i] + (momentum * old + d);
            }
        }
    }
};

}  // namespace NeuralNetwork
