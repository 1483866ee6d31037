// What a complete run of timed_test1c prints, line by line: the banner,
// then for N = 1, 2, 4 ... 2^20 a baseline line and a result line.
#ifndef VESSA_TESTS_OUTPUT_SHAPE_HPP
#define VESSA_TESTS_OUTPUT_SHAPE_HPP

#include <string>
#include <vector>

// The lines of `text`, without their line breaks; a last line without
// one counts too.
std::vector<std::string> split_lines(const std::string& text);

// One message for each way `output` departs from that shape; none when it
// has it.
std::vector<std::string> shape_problems(const std::string& output);

#endif
