// The settings that tell the two builds of the network library apart.
//
// The default build computes in double precision and serves 3 x 5 digit images
// (exeKOVA). The build with NN_SINGLE_PRECISION defined (target nn_float, used by
// annpipe) computes in single precision, traces its training steps on standard
// output, offers the split training step operations and serves 5 x 7 digit images.
#pragma once

namespace NeuralNetwork {

#ifdef NN_SINGLE_PRECISION
typedef float real;
// Whether the network prints a trace of every forward pass and training step.
constexpr bool traceTraining = true;
// Width of one example image served by ArrayRangeExampleFactory.
constexpr int exampleInputWidth = 35;
#else
typedef double real;
constexpr bool traceTraining = false;
constexpr int exampleInputWidth = 15;
#endif

// Width of one example's target vector: one value per digit class.
constexpr int exampleTargetWidth = 10;
// Number of examples in the built-in data set: the digits 0 to 9.
constexpr int exampleCount = 10;

}  // namespace NeuralNetwork
