// One layer of sigmoid units of a feed-forward network trained by back-propagation
// with momentum, and the raw value I/O of the weight file.
#pragma once

#include <istream>
#include <ostream>
#include <string>
#include <vector>

#include "nn/netsettings.h"

namespace NeuralNetwork {

// Output of the bias unit (entry 0) of every layer.
constexpr real BIAS = 1.0;

// Returns Low + (r / 2147483647.0) * (High - Low) for the next value r of rand(),
// so that the weights depend only on the seed and the order of the calls.
real RandomEqualReal(real Low, real High);

// Reads or writes the bytes of values exactly as they lie in memory: the weight
// file is in the byte order and formats of the machine that wrote it.
template <class T>
void readRaw(std::istream& in, T& obj) {
    in.read(reinterpret_cast<char*>(&obj), sizeof(T));
}
template <class T>
void writeRaw(std::ostream& out, const T& obj) {
    out.write(reinterpret_cast<const char*>(&obj), sizeof(T));
}
template <class T>
void readRawArray(std::istream& in, T* array, int size) {
    in.read(reinterpret_cast<char*>(array), static_cast<std::streamsize>(sizeof(T)) * size);
}
template <class T>
void writeRawArray(std::ostream& out, const T* array, int size) {
    out.write(reinterpret_cast<const char*>(array), static_cast<std::streamsize>(sizeof(T)) * size);
}

// Bounds of what a weight file may describe. Counts beyond them come from a
// truncated, foreign or corrupt file, and are refused before anything is allocated.
constexpr int maxLayers = 1000;
constexpr int maxUnitsPerLayer = 100000;
constexpr long long maxNetworkWeights = 1LL << 23;

// Ends the process for a weight file that cannot describe a network: prints
// "error " and the reason as one line on standard output and exits with status 255.
[[noreturn]] void refuseWeightFile(const std::string& reason);

// A layer of sigmoid units. It owns its unit outputs (entry 0 is the bias unit),
// its deltas and the weights of the connections arriving from the layer below,
// stored row-major: the weight from unit k below (k = 0 is the bias) into unit u is
// entry u * weightsPerUnit + k. Row 0 exists like every other row but takes part in
// no computation. The layer below is not owned and must outlive this one.
class NetLayer {
public:
    // A layer of initUnits units above initPrevLayer (none for an input layer). The
    // weights are left at zero for the network to randomize.
    NetLayer(int initUnits, NetLayer* initPrevLayer);
    // Reads a layer record of the weight file: the unit count, then (above a layer
    // below) the weights, row 0 first. Weights missing from a short stream stay zero.
    // A unit count out of range, or more than weightBudget weights, ends the process.
    NetLayer(std::istream& in, NetLayer* initPrevLayer, long long weightBudget = maxNetworkWeights);
    NetLayer(const NetLayer&) = delete;
    NetLayer& operator=(const NetLayer&) = delete;

    int getUnits() const { return units; }
    // Output outputNum; 0 gives the bias.
    real getOutput(int outputNum) const { return output[outputNum]; }
    void setError(int nodeNum, real value) { error[nodeNum] = value; }
    real& getWeight(int unitNum, int weightNum) { return weight[unitNum * weightsPerUnit + weightNum]; }
    real& getDWeight(int unitNum, int weightNum) { return dWeight[unitNum * weightsPerUnit + weightNum]; }
    // Presents units values as the outputs of this layer (used on the input layer).
    void setOutputs(const real* newValues);
    // Copies the units outputs into outputsHolder.
    void getOutputs(real* outputsHolder) const;

    // Draws every weight, in index order, from [-0.5, 0.5] and clears its last change.
    void randomizeWeights();
    void clearWeights();
    void saveWeights();
    void restoreWeights();

    // Computes every unit's output from the outputs of the layer below.
    void propagate(real gain);
    // Output layer only: sets the deltas towards target (units values) and returns
    // 0.5 times the sum of the squared differences.
    real computeError(real gain, const real* target);
    // Computes the deltas of the layer below from this layer's deltas.
    void backpropagate(real gain);
    // Changes every weight by its learning-rate term plus momentum times its last one.
    void adjustWeights(real momentum, real learningRate);
    // backpropagate followed by adjustWeights in one walk over the weights: each row
    // first adds its terms to the sums of the layer below, then is changed.
    void backpropagateAndAdjust(real gain, real momentum, real learningRate);

    // Writes the layer record of the weight file.
    void save(std::ostream& out) const;
    // Releases the arrays only training needs; afterwards only the forward pass,
    // the outputs, getWeight and save remain usable.
    void doneTraining();

    int units;
    int weightsPerUnit;
    std::vector<real> output;
    std::vector<real> error;
    std::vector<real> weight;
    std::vector<real> weightSave;
    std::vector<real> dWeight;
    NetLayer* prevLayer;
    // Scratch of adjustWeights: entry k + 1 holds learning rate times output k below.
    std::vector<real> weightIntermediate;

private:
    void allocate();
    void startBackward();
    template <bool Backward, bool Adjust>
    void walkRows(real momentum);
    void finishBackward(real gain);
    void scaleInputs(real learningRate);
};

}  // namespace NeuralNetwork
