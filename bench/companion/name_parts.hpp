// Reading the experiments' names back: FAMILY, then parts separated by
// '/', some of them KEY:NUMBER (repeat:3, threads:2), as Google Benchmark
// writes them.
#ifndef VESSA_BENCH_NAME_PARTS_HPP
#define VESSA_BENCH_NAME_PARTS_HPP

#include <map>
#include <optional>
#include <string>
#include <vector>

struct name_parts {
    std::string family;
    std::map<std::string, unsigned> numbers;
    std::vector<std::string> others;
};

// Splits a name at '/' into its family, the parts KEY:NUMBER of these
// keys, each at most once, and the other parts in order, but for the one
// passed over. Nothing when a part is empty or a keyed part's number does
// not read.
std::optional<name_parts>
split_name(const std::string& name, const std::vector<std::string>& keys, const std::string& passed_over);

#endif
