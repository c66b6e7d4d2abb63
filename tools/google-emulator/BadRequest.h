#pragma once

#include <stdexcept>

namespace larkpin::emulator {

/// A control request (or a message file) that cannot be carried out as written. The server answers
/// it with 400 and `what()` as the error text; at start-up it ends the program with that text.
class BadRequest : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

} // namespace larkpin::emulator
