// The same with a vector of std::function: two lambdas, one value
// offered until one takes it (bench/compile_time/measure).
#include <functional>
#include <vector>

int main(int argc, char**)
{
    int small = 0;
    int rest = 0;
    std::vector<std::function<bool(const int&)>> destinations;
    destinations.emplace_back([&small](const int& v) { return v < 10 && (++small, true); });
    destinations.emplace_back([&rest](const int&) { return ++rest, true; });
    for (const auto& destination : destinations) {
        if (destination(argc))
            break;
    }
    return small + rest == 1 ? 0 : 1;
}
