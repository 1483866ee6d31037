#include "output_shape.hpp"

// POSIX regular expressions: std::regex costs the test command's build
// several seconds of compiling, this file alone.
#include <regex.h>

#include <cstddef>
#include <stdexcept>
#include <string>

namespace {

const char* const banner[] = {"Test 1c", "Testing N", "Timing distribute on integers.", "Time Decision Making only.  ",
                              "Factor out insertion."};
const std::size_t sizes = 21;
const std::size_t line_count = 5 + 2 * sizes;

// A right-aligned column: padding up to the width, none when the text is
// as wide or wider.
bool fills_column(const std::string& padding, const std::string& text, std::size_t width)
{
    const std::size_t expected = text.size() < width ? width - text.size() : 0;
    return padding.size() == expected;
}

// A compiled extended regular expression, matched against whole lines.
class line_pattern {
public:
    explicit line_pattern(const char* expression)
    {
        if (regcomp(&compiled, expression, REG_EXTENDED) != 0)
            throw std::invalid_argument(std::string("bad pattern: ") + expression);
    }
    ~line_pattern() { regfree(&compiled); }
    line_pattern(const line_pattern&) = delete;
    line_pattern& operator=(const line_pattern&) = delete;

    // Whether line matches; parts[i] is group i's text, empty when it took
    // no part.
    template <std::size_t Groups>
    bool match(const std::string& line, std::string (&parts)[Groups]) const
    {
        regmatch_t found[Groups];
        if (regexec(&compiled, line.c_str(), Groups, found, 0) != 0)
            return false;
        for (std::size_t i = 0; i < Groups; ++i)
            parts[i]
                = found[i].rm_so < 0 ? std::string() : line.substr(found[i].rm_so, found[i].rm_eo - found[i].rm_so);
        return true;
    }
    bool match(const std::string& line) const { return regexec(&compiled, line.c_str(), 0, nullptr, 0) == 0; }

private:
    regex_t compiled;
};

bool is_result_line(const std::string& line, unsigned long size)
{
    static const line_pattern shape(
        "^( *)([0-9]+)( *)(-?[0-9]+\\.[0-9]{4}) ms (( *)(-?[0-9]+\\.[0-9]{4}|-?inf|-?nan))?$");
    std::string parts[8];
    if (!shape.match(line, parts))
        return false;
    const bool ratio_wanted = size > 1;
    return parts[2] == std::to_string(size) && fills_column(parts[1], parts[2], 35)
           && fills_column(parts[3], parts[4], 12) && !parts[5].empty() == ratio_wanted
           && (!ratio_wanted || fills_column(parts[6], parts[7], 8));
}

bool is_baseline_line(const std::string& line, bool first)
{
    // Before the first result line the stream prints in general notation;
    // after it, fixed with four decimals.
    static const line_pattern general("^Baseline time: [0-9]+(\\.[0-9]+)?(e[-+][0-9]+)?$");
    static const line_pattern fixed("^Baseline time: [0-9]+\\.[0-9]{4}$");
    return (first ? general : fixed).match(line);
}

} // namespace

std::vector<std::string> split_lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::size_t begin = 0;
    for (std::size_t end; (end = text.find('\n', begin)) != std::string::npos; begin = end + 1)
        lines.push_back(text.substr(begin, end - begin));
    if (begin != text.size())
        lines.push_back(text.substr(begin));
    return lines;
}

std::vector<std::string> shape_problems(const std::string& output)
{
    std::vector<std::string> problems;
    const std::vector<std::string> lines = split_lines(output);
    if (lines.size() != line_count)
        problems.push_back(std::to_string(lines.size()) + " lines instead of " + std::to_string(line_count));
    if (!output.empty() && output.back() != '\n')
        problems.push_back("the last line has no line break");

    for (std::size_t i = 0; i < lines.size() && i < line_count; ++i) {
        const std::string& line = lines[i];
        bool expected;
        if (i < 5) {
            expected = line == banner[i];
        } else {
            const std::size_t step = (i - 5) / 2;
            const bool baseline = (i - 5) % 2 == 0;
            expected = baseline ? is_baseline_line(line, step == 0) : is_result_line(line, 1ul << step);
        }
        if (!expected)
            problems.push_back("line " + std::to_string(i + 1) + " is unexpected: \"" + line + "\"");
    }
    return problems;
}
