// The framework's exception type.
#include "ovra/ovra_exception.h"

namespace ovra {

ovra_exception::ovra_exception(const std::string& message, bool flag) : message_(message), flag_(flag) {}

ovra_exception::~ovra_exception() = default;

const char* ovra_exception::what() const noexcept {
    return message_.c_str();
}

bool ovra_exception::flag() const noexcept {
    return flag_;
}

}  // namespace ovra
