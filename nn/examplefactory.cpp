// The built-in example source. Its data set is compiled in from the build's own
// data file (3 x 5 or 5 x 7 images).
#include "nn/examplefactory.h"

using NeuralNetwork::real;

namespace {

constexpr int imageValues = NeuralNetwork::exampleCount * ArrayRangeExampleFactory::WINDOW_SIZE;
constexpr int targetValues = NeuralNetwork::exampleCount * ArrayRangeExampleFactory::WINDOW_SIZE2;

// A starting position as an index into a data array of `size` values.
int positionIn(int position, int size) { return (position % size + size) % size; }

// Copies `count` values from `data` (of `size` values) starting at `position`,
// carrying on at the start of the array when the end is reached.
void copyCyclic(const real* data, int size, int position, int count, real* to) {
    for (int i = 0; i < count; ++i) to[i] = data[(position + i) % size];
}

}  // namespace

// A start that does not fall on the first value of an image is read across the
// end of the data set back to its start, never past it.
ArrayRangeExampleFactory::ArrayRangeExampleFactory(int initLower, int initUpper)
    : currentExample(positionIn(initLower, imageValues)),
      currentExample2(positionIn(initLower, targetValues)),
      lower(initLower),
      upper(initUpper) {}

void ArrayRangeExampleFactory::getExample(int, real* input, int, real* output) {
    copyCyclic(myinput, imageValues, currentExample, WINDOW_SIZE, input);
    copyCyclic(expected_output, targetValues, currentExample2, WINDOW_SIZE2, output);
    currentExample += WINDOW_SIZE;
    if (currentExample > imageValues - 1) currentExample = 0;
    currentExample2 += WINDOW_SIZE2;
    if (currentExample2 > targetValues - 1) currentExample2 = 0;
}

int ArrayRangeExampleFactory::numExamples() { return upper - lower + 1; }
