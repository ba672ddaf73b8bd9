// The host database: one SQLite connection shared by the configuration store and the
// data-access layer, guarded by one lock.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "ovra/host.h"
#include "ovra/message.h"
#include "ovra/ovra_exception.h"
#include "ovra/post_office.h"
#include "internal.h"

namespace ovra {
namespace {

struct Database {
    std::mutex mutex;
    sqlite3* connection = nullptr;
};

// Never destroyed: plug-in threads may still read configuration while the process exits.
Database& database() {
    static Database* instance = new Database;
    return *instance;
}

const char* const schema =
    "CREATE TABLE IF NOT EXISTS config ("
    "  section TEXT NOT NULL,"
    "  key TEXT NOT NULL,"
    "  value TEXT NOT NULL,"
    "  PRIMARY KEY (section, key));"
    "CREATE TABLE IF NOT EXISTS users ("
    "  id INTEGER PRIMARY KEY AUTOINCREMENT,"
    "  data TEXT NOT NULL DEFAULT '');"
    "CREATE TABLE IF NOT EXISTS templates ("
    "  id INTEGER PRIMARY KEY AUTOINCREMENT,"
    "  user_id INTEGER,"
    "  data TEXT NOT NULL DEFAULT '');";

// The directory part of a file path; empty when the path names no directory.
std::string directory_of(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) {
        return std::string();
    }
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

// Checks that the directory that will hold the database file exists; raises otherwise.
void check_directory(const std::string& path) {
    if (path.empty() || path == ":memory:" || path.rfind("file:", 0) == 0) {
        return;
    }
    const std::string dir = directory_of(path);
    if (dir.empty()) {
        return;
    }
    struct stat info {};
    if (stat(dir.c_str(), &info) != 0) {
        throw ovra_exception("cannot open database " + path + ": directory " + dir + " does not exist", true);
    }
    if (!S_ISDIR(info.st_mode)) {
        throw ovra_exception("cannot open database " + path + ": " + dir + " is not a directory", true);
    }
}

// Creates the database file at a plain path when it does not exist yet, readable and writable
// by its owner only whatever the umask (it holds the fingerprint templates; SQLite gives its
// journals the same mode). A symbolic link at the path is refused rather than followed. Other
// failures are left for SQLite to report.
void create_private(const std::string& path) {
    if (path.empty() || path == ":memory:" || path.rfind("file:", 0) == 0) {
        return;
    }
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd == -1 && errno == ELOOP) {
        throw ovra_exception("cannot open database " + path + ": a symbolic link, not followed", true);
    }
    if (fd != -1) {
        ::close(fd);
    }
}

// Raises ovra_exception with `what`, a colon and SQLite's message for `db`.
[[noreturn]] void raise_sqlite(sqlite3* db, const std::string& what) {
    throw ovra_exception(what + ": " + (db != nullptr ? sqlite3_errmsg(db) : "out of memory"), true);
}

}  // namespace

namespace detail {

DatabaseLock::DatabaseLock() : lock_(database().mutex), db_(database().connection) {
    if (db_ == nullptr) {
        throw ovra_exception("no database open", true);
    }
}

DatabaseLock::~DatabaseLock() = default;

Statement::Statement(sqlite3* db, const std::string& sql) : db_(db) {
    if (sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &stmt_, nullptr) != SQLITE_OK) {
        sqlite3_finalize(stmt_);
        raise_sqlite(db, "database error");
    }
}

Statement::~Statement() {
    sqlite3_finalize(stmt_);
}

void Statement::bind(int index, const std::string& value) {
    if (sqlite3_bind_text(stmt_, index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT) !=
        SQLITE_OK) {
        raise_sqlite(db_, "database error");
    }
}

void Statement::bind(int index, std::int64_t value) {
    if (sqlite3_bind_int64(stmt_, index, value) != SQLITE_OK) {
        raise_sqlite(db_, "database error");
    }
}

bool Statement::step() {
    const int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) {
        return true;
    }
    if (rc == SQLITE_DONE) {
        return false;
    }
    raise_sqlite(db_, "database error");
}

void Statement::reset() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
}

std::string Statement::text(int column) const {
    const auto* bytes = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, column));
    const int length = sqlite3_column_bytes(stmt_, column);
    return bytes == nullptr ? std::string() : std::string(bytes, static_cast<std::size_t>(length));
}

std::int64_t Statement::integer(int column) const {
    return sqlite3_column_int64(stmt_, column);
}

void execute(sqlite3* db, const std::string& sql) {
    char* message = nullptr;
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
        std::string text = message != nullptr ? message : sqlite3_errmsg(db);
        sqlite3_free(message);
        throw ovra_exception("database error: " + text, true);
    }
}

void post_strings(const std::string& type, const std::vector<std::pair<std::string, std::string>>& fields) {
    auto* message = new Message(type, 0, nullptr);
    for (const auto& [name, value] : fields) {
        message->add_string(name, value);
    }
    PostOffice::send_message(message);
}

}  // namespace detail

namespace host {

namespace {

// Opens the connection and its tables, or raises with one line naming the path and the reason.
sqlite3* open_connection(const std::string& path) {
    check_directory(path);
    create_private(path);
    sqlite3* connection = nullptr;
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_URI;
    if (sqlite3_open_v2(path.c_str(), &connection, flags, nullptr) != SQLITE_OK) {
        const std::string reason = connection != nullptr ? sqlite3_errmsg(connection) : "out of memory";
        sqlite3_close(connection);
        throw ovra_exception("cannot open database " + path + ": " + reason, true);
    }
    try {
        sqlite3_busy_timeout(connection, 2000);
        detail::execute(connection, schema);
    } catch (const ovra_exception& e) {
        sqlite3_close(connection);
        throw ovra_exception("cannot open database " + path + ": " + e.what(), true);
    }
    return connection;
}

}  // namespace

void open_database(const std::string& path) {
    sqlite3* connection = nullptr;
    try {
        connection = open_connection(path);
    } catch (const ovra_exception&) {
        // A failed open leaves no database open rather than the previous one.
        close_database();
        throw;
    }
    Database& db = database();
    std::lock_guard<std::mutex> lock(db.mutex);
    sqlite3_close(db.connection);
    db.connection = connection;
}

void close_database() {
    Database& db = database();
    std::lock_guard<std::mutex> lock(db.mutex);
    sqlite3_close(db.connection);
    db.connection = nullptr;
}

bool database_open() {
    Database& db = database();
    std::lock_guard<std::mutex> lock(db.mutex);
    return db.connection != nullptr;
}

}  // namespace host
}  // namespace ovra
