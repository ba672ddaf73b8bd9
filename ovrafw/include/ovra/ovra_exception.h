// The host framework's exception type: a message text and a flag.
#pragma once

#include <exception>
#include <string>

#include "ovra/export.h"

namespace ovra {

// Raised by the framework and by plug-ins for failures the host reports.
// `flag` is kept for the host; true marks an error that should be reported to the operator.
class OVRA_API ovra_exception : public std::exception {
public:
    ovra_exception(const std::string& message, bool flag);
    ~ovra_exception() override;

    const char* what() const noexcept override;
    bool flag() const noexcept;

private:
    std::string message_;
    bool flag_;
};

}  // namespace ovra
