// The data-access layer: the templates and users tables of the host database, row counts,
// and the host's record operations that announce their changes on the bus.
#include "ovra_dal/dal.h"

#include <atomic>
#include <climits>
#include <vector>

#include "ovra/host.h"
#include "ovra/ovra_exception.h"
#include "internal.h"

namespace ovra_dal {
namespace {

struct TableColumns {
    const char* table;
    std::vector<std::string> columns;
};

// The tables the layer knows, with the columns a count may test.
const std::vector<TableColumns>& known_tables() {
    static const std::vector<TableColumns> tables = {
        {"templates", {"id", "user_id", "data"}},
        {"users", {"id", "data"}},
    };
    return tables;
}

// The known table named `name`; raises ovra_exception for any other name.
const TableColumns& checked_table(const std::string& name) {
    for (const auto& t : known_tables()) {
        if (name == t.table) {
            return t;
        }
    }
    throw ovra::ovra_exception("unknown table '" + name + "'", true);
}

std::atomic<std::int64_t> device_id{1};

void post_record_message(const char* type, const std::string& table_name) {
    ovra::detail::post_strings(type, {{"table", table_name}});
}

// Commits on success, rolls back when left by an exception.
class Transaction {
public:
    explicit Transaction(sqlite3* db) : db_(db) { ovra::detail::execute(db_, "BEGIN IMMEDIATE"); }
    ~Transaction() {
        if (!committed_) {
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        }
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    void commit() {
        ovra::detail::execute(db_, "COMMIT");
        committed_ = true;
    }

private:
    sqlite3* db_;
    bool committed_ = false;
};

}  // namespace

column::column(std::string name, std::string value) : name_(std::move(name)), value_(std::move(value)) {}

column::~column() = default;

const std::string& column::name() const noexcept {
    return name_;
}

const std::string& column::value() const noexcept {
    return value_;
}

table::table(std::string name) : name_(std::move(name)) {}

const std::string& table::name() const noexcept {
    return name_;
}

const table& bio_template::table_templates() {
    static const table templates("templates");
    return templates;
}

const table& user::table_users() {
    static const table users("users");
    return users;
}

std::int64_t device::this_id() {
    return device_id.load();
}

int ovra_dao::count(const table& t, const std::list<column>& columns) {
    const TableColumns& known = checked_table(t.name());
    // Table and column names are checked against the known lists before they enter the
    // statement; values are bound.
    std::string sql = std::string("SELECT COUNT(*) FROM ") + known.table;
    const char* joiner = " WHERE ";
    for (const column& c : columns) {
        bool valid = false;
        for (const auto& name : known.columns) {
            valid = valid || name == c.name();
        }
        if (!valid) {
            throw ovra::ovra_exception("unknown column '" + c.name() + "' of table '" + t.name() + "'", true);
        }
        sql += joiner + c.name() + " = ?";
        joiner = " AND ";
    }
    ovra::detail::DatabaseLock db;
    ovra::detail::Statement select(db.connection(), sql);
    int index = 1;
    for (const column& c : columns) {
        select.bind(index++, c.value());
    }
    select.step();
    const std::int64_t rows = select.integer(0);
    return rows > INT_MAX ? INT_MAX : static_cast<int>(rows);
}

}  // namespace ovra_dal

namespace ovra {
namespace host {

std::int64_t insert_record(const std::string& table, const std::string& data) {
    const auto& known = ovra_dal::checked_table(table);
    std::int64_t id = 0;
    {
        detail::DatabaseLock db;
        detail::Statement insert(db.connection(),
                                 std::string("INSERT INTO ") + known.table + " (data) VALUES (?1)");
        insert.bind(1, data);
        insert.step();
        id = sqlite3_last_insert_rowid(db.connection());
    }
    ovra_dal::post_record_message("ovra_dal_record_inserted", table);
    return id;
}

void insert_records(const std::string& table, int count) {
    const auto& known = ovra_dal::checked_table(table);
    {
        detail::DatabaseLock db;
        ovra_dal::Transaction transaction(db.connection());
        detail::Statement insert(db.connection(),
                                 std::string("INSERT INTO ") + known.table + " (data) VALUES ('')");
        for (int i = 0; i < count; ++i) {
            insert.step();
            insert.reset();
        }
        transaction.commit();
    }
    ovra_dal::post_record_message("ovra_dal_record_inserted", table);
}

void update_record(const std::string& table, std::int64_t id, const std::string& data) {
    const auto& known = ovra_dal::checked_table(table);
    {
        detail::DatabaseLock db;
        detail::Statement update(db.connection(),
                                 std::string("UPDATE ") + known.table + " SET data = ?1 WHERE id = ?2");
        update.bind(1, data);
        update.bind(2, id);
        update.step();
        if (sqlite3_changes(db.connection()) == 0) {
            throw ovra_exception("no record " + std::to_string(id) + " in table '" + table + "'", true);
        }
    }
    ovra_dal::post_record_message("ovra_dal_record_updated", table);
}

int delete_records(const std::string& table, int count) {
    const auto& known = ovra_dal::checked_table(table);
    int deleted = 0;
    {
        detail::DatabaseLock db;
        ovra_dal::Transaction transaction(db.connection());
        detail::Statement erase(db.connection(), std::string("DELETE FROM ") + known.table +
                                                     " WHERE id IN (SELECT id FROM " + known.table +
                                                     " ORDER BY id LIMIT ?1)");
        erase.bind(1, static_cast<std::int64_t>(count < 0 ? 0 : count));
        erase.step();
        deleted = sqlite3_changes(db.connection());
        transaction.commit();
    }
    ovra_dal::post_record_message("ovra_dal_record_deleted", table);
    return deleted;
}

void set_device_id(std::int64_t id) {
    ovra_dal::device_id.store(id);
}

}  // namespace host
}  // namespace ovra
