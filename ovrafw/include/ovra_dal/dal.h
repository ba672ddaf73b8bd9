// The host's data-access layer: tables of the host database and row counts.
#pragma once

#include <cstdint>
#include <list>
#include <string>

#include "ovra/export.h"

namespace ovra_dal {

// A column condition for a count: rows whose `name` equals `value`.
class OVRA_API column {
public:
    column(std::string name, std::string value);
    ~column();
    const std::string& name() const noexcept;
    const std::string& value() const noexcept;

private:
    std::string name_;
    std::string value_;
};

class OVRA_API table {
public:
    explicit table(std::string name);
    const std::string& name() const noexcept;

private:
    std::string name_;
};

class OVRA_API bio_template {
public:
    static const table& table_templates();
};

class OVRA_API user {
public:
    static const table& table_users();
};

class OVRA_API device {
public:
    // The terminal's own id.
    static std::int64_t this_id();
};

class OVRA_API ovra_dao {
public:
    // Rows of `t` matching every condition of `columns` (all rows for an empty list).
    // A database failure raises ovra::ovra_exception.
    static int count(const table& t, const std::list<column>& columns);
};

}  // namespace ovra_dal
