// What both benchmark programs do before registering anything: short
// runs unless the command line says otherwise, and the processor named in
// the output's context.
#ifndef VESSA_BENCH_BENCHMARK_SETUP_HPP
#define VESSA_BENCH_BENCHMARK_SETUP_HPP

// Initializes Google Benchmark; false when the command line holds an
// argument it does not know, which it has then reported.
bool initialize_benchmark(int argc, char** argv);

#endif
