// Training speed of exeKOVA's sequential network (15, 150 x 7, 10; learning rate
// 0.05, momentum 0.5, gain 1.0): 1 000 training steps of simpleAutoTrain, beside
// the same steps in plain loops and in Eigen, all from the same initial weights.
#include <benchmark/benchmark.h>

#include <Eigen/Dense>
#include <cstdlib>
#include <memory>

#include "nn/net.h"
#include "nn/tests/plainnet.h"

using namespace NeuralNetwork;

namespace {

const int sizes[9] = {15, 150, 150, 150, 150, 150, 150, 150, 10};
constexpr int steps = 1000;

// The network as exeKOVA builds it: seeded, constructed, randomized a second time.
std::unique_ptr<Net> benchmarkNet() {
    std::srand(35233);
    auto net = std::make_unique<Net>(9, sizes, 0.05, 0.5, 1.0);
    net->randomizeWeights();
    return net;
}

// The same training step in Eigen: per layer a weight matrix of units x (units
// below + 1), the bias in column 0, and the outputs with the bias 1 in front.
class EigenNet {
public:
    explicit EigenNet(const Net& net) : momentum(net.momentumFactor), rate(net.learningRate), gain(net.gain) {
        for (const auto& l : net.layer) {
            Layer e;
            e.units = l->units;
            e.out = Eigen::VectorXd::Zero(e.units + 1);
            e.out[0] = 1.0;
            e.delta = Eigen::VectorXd::Zero(e.units);
            if (l->weightsPerUnit > 0) {
                e.w.resize(e.units, l->weightsPerUnit);
                for (int u = 1; u <= e.units; ++u)
                    for (int k = 0; k < l->weightsPerUnit; ++k) e.w(u - 1, k) = l->getWeight(u, k);
                e.dw = Eigen::MatrixXd::Zero(e.units, l->weightsPerUnit);
                e.change = e.dw;
                e.sums = Eigen::VectorXd::Zero(e.units);
                e.back = Eigen::VectorXd::Zero(l->weightsPerUnit);
            }
            layers.push_back(std::move(e));
        }
    }

    double simpleTrain(const double* input, const double* target) {
        layers[0].out.tail(layers[0].units) = Eigen::Map<const Eigen::VectorXd>(input, layers[0].units);
        for (size_t i = 1; i < layers.size(); ++i) {
            Layer& l = layers[i];
            l.sums.noalias() = l.w * layers[i - 1].out;
            l.out.tail(l.units) = (1.0 / (1.0 + (-gain * l.sums.array()).exp())).matrix();
        }
        Layer& top = layers.back();
        const Eigen::ArrayXd y = top.out.tail(top.units).array();
        const Eigen::ArrayXd e = Eigen::Map<const Eigen::ArrayXd>(target, top.units) - y;
        top.delta = (gain * y * (1 - y) * e).matrix();
        for (size_t i = layers.size() - 1; i >= 1; --i) {
            Layer& l = layers[i];
            Layer& below = layers[i - 1];
            l.back.noalias() = l.w.transpose() * l.delta;
            const auto o = below.out.tail(below.units).array();
            below.delta = (gain * o * (1 - o) * l.back.tail(below.units).array()).matrix();
        }
        for (size_t i = 1; i < layers.size(); ++i) {
            Layer& l = layers[i];
            l.change.noalias() = (rate * l.delta) * layers[i - 1].out.transpose();
            l.w += momentum * l.dw + l.change;
            l.dw.swap(l.change);
        }
        return 0.5 * e.square().sum();
    }

private:
    struct Layer {
        int units;
        Eigen::VectorXd out, delta, sums, back;
        Eigen::MatrixXd w, dw, change;
    };
    std::vector<Layer> layers;
    double momentum, rate, gain;
};

// Runs `steps` training steps of the built-in source through train(input, target)
// per iteration, building a fresh trainer outside the timed part.
template <class MakeTrainer, class Step>
void runSteps(benchmark::State& state, MakeTrainer make, Step step) {
    double lastError = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto trainer = make();
        ArrayRangeExampleFactory source(0, 14);
        double in[15], target[10];
        state.ResumeTiming();
        for (int n = 0; n < steps; ++n) {
            source.getExample(15, in, 10, target);
            lastError = step(*trainer, in, target);
        }
        benchmark::ClobberMemory();
    }
    state.counters["steps/s"] = benchmark::Counter(steps, benchmark::Counter::kIsIterationInvariantRate);
    state.counters["last error"] = lastError;
}

void SimpleAutoTrain_Net(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        auto net = benchmarkNet();
        ArrayRangeExampleFactory source(0, 14);
        state.ResumeTiming();
        net->simpleAutoTrain(source);
        benchmark::DoNotOptimize(net->error);
        state.PauseTiming();
        state.counters["last error"] = net->error;
        net.reset();
        state.ResumeTiming();
    }
    state.counters["steps/s"] = benchmark::Counter(steps, benchmark::Counter::kIsIterationInvariantRate);
}

void SimpleAutoTrain_PlainLoops(benchmark::State& state) {
    runSteps(
        state, [] { return std::make_unique<PlainNet>(*benchmarkNet()); },
        [](PlainNet& plain, const double* in, const double* target) {
            plain.simpleTrain(in, target);
            return plain.error;
        });
}

void SimpleAutoTrain_Eigen(benchmark::State& state) {
    runSteps(
        state, [] { return std::make_unique<EigenNet>(*benchmarkNet()); },
        [](EigenNet& eigen, const double* in, const double* target) { return eigen.simpleTrain(in, target); });
}

}  // namespace

BENCHMARK(SimpleAutoTrain_Net)->Unit(benchmark::kMillisecond);
BENCHMARK(SimpleAutoTrain_PlainLoops)->Unit(benchmark::kMillisecond);
BENCHMARK(SimpleAutoTrain_Eigen)->Unit(benchmark::kMillisecond);
