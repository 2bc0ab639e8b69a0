// Tests of the single-precision build's data set: 5 x 7 digits, targets 1 and 0.
#include <gtest/gtest.h>

#include <string>

#include "nn/examplefactory.h"

using NeuralNetwork::real;

TEST(DigitImages, AreTheTenFiveBySevenPictures) {
    const char* pictures[10] = {
        ".###.#...##...##...##...##...#.###.", "..#...##....#....#....#....#...###.",
        ".###.#...#...#..##..#....#....#####", "#####....#....######....#....######",
        "#..#.#..#.#..#.#####...#....#....#.", ".###.#...##.....###.....#....#####.",
        ".###.#...##....######...##...######", "#####....#...#...#....#....#....#..",
        ".###.#...##...#.###.#...##...#.###.", ".#####...##...######....##...#.###."};
    ASSERT_EQ(ArrayRangeExampleFactory::WINDOW_SIZE, 35);
    ArrayRangeExampleFactory source(0, 34);
    for (int digit = 0; digit < 10; ++digit) {
        ASSERT_EQ(std::string(pictures[digit]).size(), 35u) << digit;
        real in[35], target[10];
        source.getExample(35, in, 10, target);
        for (int i = 0; i < 35; ++i) EXPECT_EQ(in[i], pictures[digit][i] == '#' ? 1.0f : 0.0f) << digit << " " << i;
        for (int i = 0; i < 10; ++i) EXPECT_EQ(target[i], i == digit ? 1.0f : 0.0f);
    }
}
