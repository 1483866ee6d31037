// Checks a saved run of timed_test1c: `check_output FILE` (or standard
// input) exits 0 when the text has the shape of a complete run and names
// every departure from it otherwise.
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>

#include "output_shape.hpp"

int main(int argc, char** argv)
{
    if (argc > 2) {
        std::cerr << "usage: check_output [FILE]" << std::endl;
        return 2;
    }
    std::ifstream file;
    if (argc == 2) {
        file.open(argv[1]);
        if (!file) {
            std::cerr << "check_output: cannot read " << argv[1] << std::endl;
            return 2;
        }
    }
    std::istream& in = argc == 2 ? file : std::cin;
    const std::string output((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());

    const auto problems = shape_problems(output);
    for (const std::string& problem : problems)
        std::cerr << "check_output: " << problem << std::endl;
    if (!problems.empty())
        return 1;
    std::cout << "check_output: a complete run, 47 lines in the expected shape" << std::endl;
    return 0;
}
