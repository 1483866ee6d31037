// A destination for tests: logs each value it is offered under its name,
// answers as told, and counts how many of its kind are alive so that
// tests can see copies being made and deleted.
#ifndef VESSA_TESTS_RECORDING_DESTINATION_HPP
#define VESSA_TESTS_RECORDING_DESTINATION_HPP

#include <string>
#include <utility>
#include <vector>

#include <vessa/router.hpp>

struct offer {
    std::string name;
    int value;
    bool operator==(const offer& other) const { return name == other.name && value == other.value; }
};

class recording_destination : public vessa::destination<int> {
public:
    recording_destination(std::string destination_name, bool answer, std::vector<offer>& offers)
        : name(std::move(destination_name)), takes(answer), log(&offers)
    {
        ++alive;
    }
    recording_destination(const recording_destination& other) : name(other.name), takes(other.takes), log(other.log)
    {
        ++alive;
    }
    recording_destination& operator=(const recording_destination&) = delete;
    ~recording_destination() override { --alive; }

    bool distribute(const int& value) override
    {
        log->push_back({name, value});
        last_address = &value;
        return takes;
    }

    static int alive;
    static const int* last_address;

private:
    std::string name;
    bool takes;
    std::vector<offer>* log;
};

#endif
