// Code placement. At a few nanoseconds per value, where a hot loop sits
// in memory (its offset within a 64-byte line, which 32-byte windows its
// branches cross) moves a figure by tens of percent, so one binary is one
// sample of placement. time_passes runs a family's timed loop in one of
// placement_count copies of the same code, each starting on a 64-byte
// boundary and jumping over placement * placement_step bytes of padding
// first, which shifts everything after it, the loop included.
//
// The padding moves the loop only if the compiler does not realign it:
// the families that use this are built with loop and jump alignment off.
// Placement 0 keeps its jump but skips the empty padding, of which the
// GNU assembler would warn.
#ifndef VESSA_BENCH_PLACEMENT_HPP
#define VESSA_BENCH_PLACEMENT_HPP

#include <array>
#include <cstddef>
#include <utility>

#include <benchmark/benchmark.h>

constexpr unsigned placement_count = 16;
constexpr unsigned placement_step = 4;
static_assert(placement_count * placement_step == 64, "the placements cover one cache line");

// Runs pass() once per benchmark iteration, at the given placement.
template <typename Pass>
void time_passes(benchmark::State& state, unsigned placement, Pass pass);

namespace placement_detail {

template <unsigned placement, typename Pass>
[[gnu::noinline, gnu::aligned(64)]] void time_passes_at(benchmark::State& state, Pass& pass)
{
#if defined(__x86_64__) || defined(__i386__)
    asm volatile("jmp 1f\n\t.if %c0\n\t.skip %c0, 0xcc\n\t.endif\n1:" : : "i"(placement * placement_step));
#elif defined(__aarch64__)
    asm volatile("b 1f\n\t.if %c0\n\t.skip %c0, 0\n\t.endif\n1:" : : "i"(placement * placement_step));
#else
#error "distribute_bench moves its loops with x86 or AArch64 assembly"
#endif
    for (auto _ : state)
        pass();
}

template <typename Pass, std::size_t... placement>
constexpr std::array<void (*)(benchmark::State&, Pass&), sizeof...(placement)>
placed_copies(std::index_sequence<placement...>)
{
    return {&time_passes_at<placement, Pass>...};
}

} // namespace placement_detail

template <typename Pass>
void time_passes(benchmark::State& state, unsigned placement, Pass pass)
{
    static constexpr auto copies = placement_detail::placed_copies<Pass>(std::make_index_sequence<placement_count>());
    copies.at(placement)(state, pass);
}

#endif
