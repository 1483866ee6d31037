#include "recording_destination.hpp"

int recording_destination::alive = 0;
const int* recording_destination::last_address = nullptr;
