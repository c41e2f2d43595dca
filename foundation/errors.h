#pragma once
// Exceptions that stop an operation carry the fixed message text the user or caller sees.

#include <stdexcept>
#include <string>

namespace rv {

class ERV_Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class EStreamError : public ERV_Error {
public:
    using ERV_Error::ERV_Error;
};

class EFOpenError : public EStreamError {
public:
    using EStreamError::EStreamError;
};

} // namespace rv
