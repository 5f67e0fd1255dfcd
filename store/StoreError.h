// Failures of the person store that are not database failures. Like DbError they travel as
// exceptions; the store operations that answer true/false never turn them into false.
#pragma once

#include <stdexcept>

namespace cv {

// The store cannot run the operation at all: no data module, or a value that breaks its
// rules (a department maximum that is not a decimal number).
class StoreError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// MakeUniqueLoginName found every one of the 9000 candidates of a login name taken. The
// import skips the person whose login name could not be made unique.
class LoginNameExhausted : public StoreError {
public:
    using StoreError::StoreError;
};

}  // namespace cv
