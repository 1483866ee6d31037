// Routes two values through each installed router: exits 0 only when each
// reaches the destination it should.
#include <iostream>
#include <vector>

#include <vessa/concurrent_router.hpp>
#include <vessa/router.hpp>

namespace {

class below : public vessa::destination<int> {
public:
    below(int bound, std::vector<int>& into) : limit(bound), taken(&into) {}
    bool distribute(const int& value) override
    {
        if (value >= limit)
            return false;
        taken->push_back(value);
        return true;
    }

private:
    int limit;
    std::vector<int>* taken;
};

template <typename Router>
bool routes_as_expected()
{
    std::vector<int> small;
    std::vector<int> rest;
    Router router;
    router.add_destination(below(10, small), 1);
    router.set_default_destination(below(1000, rest));

    const std::vector<int> values{3, 42};
    for (auto it = values.begin(); it != values.end(); ++it)
        router.distribute(it);

    return small == std::vector<int>{3} && rest == std::vector<int>{42};
}

} // namespace

int main()
{
    if (!routes_as_expected<vessa::router<int>>() || !routes_as_expected<vessa::concurrent_router<int>>()) {
        std::cerr << "vessa_consumer: values reached the wrong destinations" << std::endl;
        return 1;
    }
    std::cout << "vessa_consumer: 3 and 42 routed as expected" << std::endl;
    return 0;
}
