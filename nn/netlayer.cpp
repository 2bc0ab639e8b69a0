// Sigmoid layer: forward pass, deltas, weight update and the layer record.
//
// Every sum adds its terms in the one fixed order of the algorithm (a unit's input
// sum by increasing weight index, a backward sum by increasing unit), so results do
// not depend on how the loops below are arranged. The loops are arranged for speed:
// the forward pass computes several units' sums side by side, and the backward sums
// are accumulated row by row so that the weights are read in memory order.
#include "nn/netlayer.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iostream>

namespace NeuralNetwork {

real RandomEqualReal(real Low, real High) {
    return static_cast<real>(Low + (std::rand() / 2147483647.0) * (High - Low));
}

void refuseWeightFile(const std::string& reason) {
    std::cout << "error " << reason << std::endl;
    std::exit(255);
}

namespace {

// The logistic function of a unit's input sum, through the C library's exp.
real sigmoid(real gain, real sum) {
    return static_cast<real>(1.0 / (1.0 + std::exp(static_cast<double>(-gain * sum))));
}

// A short vector of reals that the compiler maps onto the machine's SIMD registers.
// Each lane computes exactly what the scalar code computes for its value.
typedef real Pack __attribute__((vector_size(16)));

template <class T>
constexpr int lanesOf = sizeof(T) / sizeof(real);

template <class T>
T load(const real* p);
template <>
real load<real>(const real* p) {
    return *p;
}
template <>
Pack load<Pack>(const real* p) {
    Pack v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
void store(real* p, real v) { *p = v; }
void store(real* p, Pack v) { std::memcpy(p, &v, sizeof v); }

// Weight k of lanesOf<T> consecutive rows of W weights starting at w.
template <class T>
T column(const real* w, int W, int k);
template <>
real column<real>(const real* w, int, int k) {
    return w[k];
}
template <>
Pack column<Pack>(const real* w, int W, int k) {
    Pack v;
#pragma GCC unroll 16
    for (int l = 0; l < lanesOf<Pack>; ++l) v[l] = w[l * W + k];
    return v;
}

// The input sums of Count * lanesOf<T> consecutive units whose weight rows start at
// w, side by side: sums[r] = the sum over k of in[k] * w[r * W + k], added by
// increasing k.
template <class T, int Count>
void inputSums(const real* __restrict in, const real* __restrict w, int W, real* __restrict sums) {
    constexpr int rows = lanesOf<T>;
    T s[Count] = {};
    for (int k = 0; k < W; ++k) {
        const real o = in[k];
#pragma GCC unroll 16
        for (int c = 0; c < Count; ++c) s[c] += o * column<T>(w + c * rows * W, W, k);
    }
    for (int c = 0; c < Count; ++c) store(sums + c * rows, s[c]);
}

// The forward pass of units u, u + 1, ... in blocks of Count * lanesOf<T> units, as
// long as whole blocks fit below units; u is left at the first unit not done.
template <class T, int Count>
void forwardBlocks(int& u, int units, const real* in, const real* weight, int W, real gain, real* output) {
    constexpr int block = Count * lanesOf<T>;
    real sums[block];
    for (; u + block - 1 <= units; u += block) {
        inputSums<T, Count>(in, weight + u * W, W, sums);
        for (int r = 0; r < block; ++r) output[u + r] = sigmoid(gain, sums[r]);
    }
}

// Weight k (or lanesOf<T> weights from k) of Rows consecutive rows starting at w,
// rows in increasing order. With Backward, each row adds its term weight * delta to
// sums[k]; with Adjust, each weight is then changed by its learning-rate term
// scaled[k] * delta plus momentum times its last change, and that term is stored as
// its last change.
template <class T, int Rows, bool Backward, bool Adjust>
void backwardColumn(int k, real* __restrict w, real* __restrict dw, const real* __restrict delta, int W,
                    const real* __restrict scaled, real* __restrict sums, real momentum) {
    T s = Backward ? load<T>(sums + k) : T();
#pragma GCC unroll 16
    for (int r = 0; r < Rows; ++r) {
        real* wr = w + r * W + k;
        const T wv = load<T>(wr);
        if (Backward) s += wv * delta[r];
        if (Adjust) {
            real* dwr = dw + r * W + k;
            const T d = load<T>(scaled + k) * delta[r];
            const T old = load<T>(dwr);
            store(dwr, d);
            store(wr, wv + (momentum * old + d));
        }
    }
    if (Backward) store(sums + k, s);
}

// backwardColumn over a whole block of Rows rows; the bias column 0 gets no delta.
template <int Rows, bool Backward, bool Adjust>
void backwardRows(real* w, real* dw, const real* delta, int W, const real* scaled, real* sums, real momentum) {
    backwardColumn<real, Rows, false, Adjust>(0, w, dw, delta, W, scaled, sums, momentum);
    int k = 1;
    for (; k + lanesOf<Pack> <= W; k += lanesOf<Pack>)
        backwardColumn<Pack, Rows, Backward, Adjust>(k, w, dw, delta, W, scaled, sums, momentum);
    for (; k < W; ++k) backwardColumn<real, Rows, Backward, Adjust>(k, w, dw, delta, W, scaled, sums, momentum);
}

}  // namespace

// The rows of units 1 .. units in increasing order, two at a time, so that each
// backward sum is loaded and stored once per two terms.
template <bool Backward, bool Adjust>
void NetLayer::walkRows(real momentum) {
    const int W = weightsPerUnit;
    real* sums = prevLayer->error.data();
    const real* scaled = weightIntermediate.data() + 1;
    constexpr int block = 2;
    int u = 1;
    for (; u + block - 1 <= units; u += block)
        backwardRows<block, Backward, Adjust>(&weight[u * W], &dWeight[u * W], &error[u], W, scaled, sums, momentum);
    for (; u <= units; ++u)
        backwardRows<1, Backward, Adjust>(&weight[u * W], &dWeight[u * W], &error[u], W, scaled, sums, momentum);
}

NetLayer::NetLayer(int initUnits, NetLayer* initPrevLayer) : units(initUnits), prevLayer(initPrevLayer) {
    allocate();
}

NetLayer::NetLayer(std::istream& in, NetLayer* initPrevLayer, long long weightBudget)
    : units(0), prevLayer(initPrevLayer) {
    readRaw(in, units);
    if (in.gcount() != static_cast<std::streamsize>(sizeof units))
        refuseWeightFile("weight file ends before the unit count of a layer");
    if (units < 1 || units > maxUnitsPerLayer)
        refuseWeightFile("weight file gives a layer of " + std::to_string(units) + " units (a layer has 1 to " +
                         std::to_string(maxUnitsPerLayer) + ")");
    if (prevLayer) {
        const long long weights = (units + 1LL) * (prevLayer->units + 1LL);
        if (weights > weightBudget)
            refuseWeightFile("weight file gives a network of more than " + std::to_string(maxNetworkWeights) +
                             " weights");
    }
    allocate();
    // The arrays start cleared, so weights missing from a short stream stay zero.
    readRawArray(in, weight.data(), static_cast<int>(weight.size()));
}

void NetLayer::allocate() {
    output.assign(units + 1, 0);
    output[0] = BIAS;
    error.assign(units + 1, 0);
    weightsPerUnit = prevLayer ? prevLayer->units + 1 : 0;
    const size_t weights = prevLayer ? static_cast<size_t>(units + 1) * weightsPerUnit : 0;
    weight.assign(weights, 0);
    weightSave.assign(weights, 0);
    dWeight.assign(weights, 0);
    weightIntermediate.assign(weightsPerUnit + 1, 0);
}

void NetLayer::setOutputs(const real* newValues) {
    for (int u = 1; u <= units; ++u) output[u] = newValues[u - 1];
}

void NetLayer::getOutputs(real* outputsHolder) const {
    for (int u = 1; u <= units; ++u) outputsHolder[u - 1] = output[u];
}

void NetLayer::randomizeWeights() {
    for (size_t i = 0; i < weight.size(); ++i) {
        weight[i] = RandomEqualReal(-0.5, 0.5);
        dWeight[i] = 0;
    }
}

void NetLayer::clearWeights() {
    weight.assign(weight.size(), 0);
    dWeight.assign(dWeight.size(), 0);
}

void NetLayer::saveWeights() { weightSave = weight; }

void NetLayer::restoreWeights() { weight = weightSave; }

void NetLayer::propagate(real gain) {
    if (!prevLayer) return;
    const real* in = prevLayer->output.data();
    int u = 1;
    forwardBlocks<Pack, 4>(u, units, in, weight.data(), weightsPerUnit, gain, output.data());
    forwardBlocks<Pack, 1>(u, units, in, weight.data(), weightsPerUnit, gain, output.data());
    forwardBlocks<real, 1>(u, units, in, weight.data(), weightsPerUnit, gain, output.data());
}

real NetLayer::computeError(real gain, const real* target) {
    real sumOfSquares = 0;
    for (int u = 1; u <= units; ++u) {
        const real y = output[u];
        const real e = target[u - 1] - y;
        error[u] = gain * y * (1 - y) * e;
        sumOfSquares += e * e;
    }
    return real(0.5) * sumOfSquares;
}

// The backward sums are kept in entries 1.. of the error array of the layer below.
void NetLayer::startBackward() { std::fill(prevLayer->error.begin() + 1, prevLayer->error.end(), real(0)); }

// Turns the backward sums of the layer below into its deltas.
void NetLayer::finishBackward(real gain) {
    real* err = prevLayer->error.data();
    const real* out = prevLayer->output.data();
    for (int p = prevLayer->units; p >= 1; --p) {
        const real o = out[p];
        err[p] = gain * o * (1 - o) * err[p];
    }
}

void NetLayer::scaleInputs(real learningRate) {
    const real* in = prevLayer->output.data();
    for (int k = 0; k < weightsPerUnit; ++k) weightIntermediate[k + 1] = in[k] * learningRate;
}

void NetLayer::backpropagate(real gain) {
    if (!prevLayer) return;
    startBackward();
    walkRows<true, false>(0);
    finishBackward(gain);
}

// Every connection's change depends on nothing but its own values, so the rows
// may be walked in any order.
void NetLayer::adjustWeights(real momentum, real learningRate) {
    if (!prevLayer) return;
    scaleInputs(learningRate);
    walkRows<false, true>(momentum);
}

void NetLayer::backpropagateAndAdjust(real gain, real momentum, real learningRate) {
    if (!prevLayer) return;
    startBackward();
    scaleInputs(learningRate);
    walkRows<true, true>(momentum);
    finishBackward(gain);
}

void NetLayer::save(std::ostream& out) const {
    writeRaw(out, units);
    writeRawArray(out, weight.data(), static_cast<int>(weight.size()));
}

void NetLayer::doneTraining() {
    std::vector<real>().swap(error);
    std::vector<real>().swap(dWeight);
    std::vector<real>().swap(weightSave);
}

}  // namespace NeuralNetwork
