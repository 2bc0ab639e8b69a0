/* Fixed work for the benchmarks that measure the probe's cost: the same in their
   drivers and in the programs they run, and calibrated in CPU time rather than wall
   time, so that other load on the machine does not shrink the work. */
#ifndef KOVA_BENCH_COMMON_WORK_H
#define KOVA_BENCH_COMMON_WORK_H

#include <time.h>

/* Iterations of a dependent floating-point chain. */
static inline double Work(long iterations) {
    volatile double x = 1.0;
    long i;
    for (i = 0; i < iterations; ++i) x = x * 1.0000001 + 1e-9;
    return x;
}

/* Seconds of CPU time this process has used. */
static inline double ProcessCpuSeconds(void) {
    struct timespec now;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return now.tv_sec + now.tv_nsec * 1e-9;
}

/* Iterations of Work that take about the given microseconds of CPU time here. */
static inline long IterationsFor(double microseconds) {
    long iterations = 1000;
    for (;;) {
        const double start = ProcessCpuSeconds();
        Work(iterations);
        const double took = (ProcessCpuSeconds() - start) * 1e6;
        if (took > 200000) {
            const long scaled = (long)(iterations * microseconds / took);
            return scaled > 1 ? scaled : 1;
        }
        iterations *= 4;
    }
}

#endif
