// The destinations that distribute_bench routes to.
#ifndef VESSA_BENCH_DESTINATIONS_HPP
#define VESSA_BENCH_DESTINATIONS_HPP

#include <vessa/router.hpp>

class refuse_all : public vessa::destination<int> {
public:
    bool distribute(const int&) override { return false; }
};

class take_all : public vessa::destination<int> {
public:
    bool distribute(const int&) override { return true; }
};

// On the destination axis the i-th listed destination takes the value i.
class takes_its_index : public vessa::destination<int> {
public:
    explicit takes_its_index(int listed_index) : index(listed_index) {}
    bool distribute(const int& value) override { return value == index; }

private:
    int index;
};

#endif
