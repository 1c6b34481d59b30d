// The state of one request in a batch, shared by the batch's engine and its typed requests.
#pragma once
#include <cstddef>
#include <exception>

#include <hostlink/batch.h>

namespace hostlink {

namespace detail {

struct Slot {
    int call = 0;
    Decoder decode;
    SubmitOptions options;
    size_t cost = 0; // counted against the cap while in flight
    bool done = false;
    Result result;
    std::exception_ptr failure;
};

} // namespace detail

} // namespace hostlink
