/* Fixed work for the kova measure benchmark, the same in its driver and its load. */
#ifndef KOVA_BENCH_MEASURE_WORK_H
#define KOVA_BENCH_MEASURE_WORK_H

/* Iterations of a dependent floating-point chain. */
static inline double Work(long iterations) {
    volatile double x = 1.0;
    long i;
    for (i = 0; i < iterations; ++i) x = x * 1.0000001 + 1e-9;
    return x;
}

#endif
