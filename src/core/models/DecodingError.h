#pragma once

#include <stdexcept>

namespace larkpin {

/// A document (JSON) that does not have the shape a record needs: a required key is missing or a
/// value has the wrong type. `what()` names the key.
class DecodingError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

} // namespace larkpin
