#include "gateway/mqtt/mq_store.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>

namespace mqtt {

void MemoryStore::Append(const std::vector<StoredChange>& changes) {
  for (const StoredChange& change : changes) {
    if (max_ == 0) {
      ++dropped_;
      continue;
    }
    if (size_ >= max_) {
      // The oldest of all: the device whose first change came first.
      auto oldest = devices_.begin();
      for (auto it = devices_.begin(); it != devices_.end(); ++it) {
        if (it->second.front().order < oldest->second.front().order) oldest = it;
      }
      oldest->second.pop_front();
      if (oldest->second.empty()) devices_.erase(oldest);
      --size_;
      ++dropped_;
    }
    devices_[change.device].push_back(Entry{next_++, change});
    ++size_;
  }
}

void MemoryStore::Peek(const std::string& device, size_t max, std::vector<StoredChange>& out) {
  out.clear();
  const auto it = devices_.find(device);
  if (it == devices_.end()) return;
  for (size_t i = 0; i < max && i < it->second.size(); ++i) out.push_back(it->second[i].change);
}

void MemoryStore::Remove(const std::string& device, size_t count) {
  const auto it = devices_.find(device);
  if (it == devices_.end()) return;
  for (; count > 0 && !it->second.empty(); --count, --size_) it->second.pop_front();
  if (it->second.empty()) devices_.erase(it);
}

std::map<std::string, uint64_t> MemoryStore::Devices() {
  std::map<std::string, uint64_t> out;
  for (const auto& [device, entries] : devices_) out[device] = entries.size();
  return out;
}

std::unique_ptr<SqliteStore> SqliteStore::Open(const std::string& path, uint64_t max,
                                               std::string& error) {
  std::unique_ptr<SqliteStore> store(new SqliteStore());
  store->max_ = max;
  if (sqlite3_open_v2(path.c_str(), &store->db_,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                      nullptr) != SQLITE_OK) {
    error = path + ": " + (store->db_ ? sqlite3_errmsg(store->db_) : "cannot open");
    return nullptr;
  }
  sqlite3_busy_timeout(store->db_, 2000);
  // WAL with a sync at each commit: a committed poll survives a power cut.
  if (!store->Exec("PRAGMA journal_mode=WAL") || !store->Exec("PRAGMA synchronous=FULL") ||
      !store->Exec("CREATE TABLE IF NOT EXISTS changes (id INTEGER PRIMARY KEY AUTOINCREMENT, "
                   "device TEXT NOT NULL, alias INTEGER NOT NULL, datatype INTEGER NOT NULL, "
                   "bits INTEGER NOT NULL, time_ms INTEGER NOT NULL)") ||
      // Each device's changes are taken out apart, in their order.
      !store->Exec("CREATE INDEX IF NOT EXISTS changes_by_device ON changes (device, id)") ||
      !store->Exec("CREATE TABLE IF NOT EXISTS node (key TEXT PRIMARY KEY, value INTEGER)")) {
    error = path + ": " + store->lastError_;
    return nullptr;
  }
  const auto prepare = [&](const char* sql, sqlite3_stmt** stmt) {
    return store->Check(sqlite3_prepare_v2(store->db_, sql, -1, stmt, nullptr), sql);
  };
  if (!prepare("INSERT INTO changes (device, alias, datatype, bits, time_ms) VALUES (?,?,?,?,?)",
               &store->insert_) ||
      !prepare("SELECT device, alias, datatype, bits, time_ms FROM changes WHERE device = ? "
               "ORDER BY id LIMIT ?",
               &store->peek_) ||
      !prepare("DELETE FROM changes WHERE id IN "
               "(SELECT id FROM changes WHERE device = ? ORDER BY id LIMIT ?)",
               &store->remove_) ||
      !prepare("SELECT device, COUNT(*) FROM changes GROUP BY device", &store->devices_) ||
      !prepare("DELETE FROM changes WHERE id IN (SELECT id FROM changes ORDER BY id LIMIT ?)",
               &store->trim_)) {
    error = path + ": " + store->lastError_;
    return nullptr;
  }
  sqlite3_stmt* count = nullptr;
  if (prepare("SELECT COUNT(*) FROM changes", &count) && sqlite3_step(count) == SQLITE_ROW) {
    store->size_ = static_cast<uint64_t>(sqlite3_column_int64(count, 0));
  }
  sqlite3_finalize(count);
  return store;
}

SqliteStore::~SqliteStore() {
  Flush();
  for (sqlite3_stmt* stmt : {insert_, peek_, remove_, trim_, devices_}) sqlite3_finalize(stmt);
  if (db_ != nullptr) sqlite3_close(db_);
}

bool SqliteStore::Check(int rc, const char* what) {
  if (rc == SQLITE_OK || rc == SQLITE_DONE || rc == SQLITE_ROW) return true;
  lastError_ = std::string(what) + ": " + sqlite3_errmsg(db_);
  return false;
}

bool SqliteStore::Exec(const char* sql) {
  char* message = nullptr;
  const int rc = sqlite3_exec(db_, sql, nullptr, nullptr, &message);
  if (rc != SQLITE_OK) {
    lastError_ = std::string(sql) + ": " + (message ? message : sqlite3_errstr(rc));
    sqlite3_free(message);
    return false;
  }
  return true;
}

void SqliteStore::Append(const std::vector<StoredChange>& changes) {
  pending_.insert(pending_.end(), changes.begin(), changes.end());
}

void SqliteStore::Flush() {
  if (pending_.empty()) return;
  std::vector<StoredChange> changes;
  changes.swap(pending_);
  if (!Exec("BEGIN IMMEDIATE")) return;
  bool ok = true;
  for (const StoredChange& c : changes) {
    sqlite3_reset(insert_);
    sqlite3_bind_text(insert_, 1, c.device.data(), static_cast<int>(c.device.size()),
                      SQLITE_TRANSIENT);
    sqlite3_bind_int64(insert_, 2, static_cast<sqlite3_int64>(c.alias));
    sqlite3_bind_int64(insert_, 3, c.datatype);
    sqlite3_bind_int64(insert_, 4, static_cast<sqlite3_int64>(c.bits));
    sqlite3_bind_int64(insert_, 5, static_cast<sqlite3_int64>(c.timeMs));
    ok = Check(sqlite3_step(insert_), "insert") && ok;
  }
  uint64_t over = size_ + changes.size() > max_ ? size_ + changes.size() - max_ : 0;
  if (ok && over > 0) {
    sqlite3_reset(trim_);
    sqlite3_bind_int64(trim_, 1, static_cast<sqlite3_int64>(over));
    ok = Check(sqlite3_step(trim_), "trim");
  }
  if (ok && Exec("COMMIT")) {
    size_ += changes.size() - over;
    dropped_ += over;
  } else {
    Exec("ROLLBACK");
  }
}

void SqliteStore::Peek(const std::string& device, size_t max, std::vector<StoredChange>& out) {
  Flush();
  out.clear();
  sqlite3_reset(peek_);
  sqlite3_bind_text(peek_, 1, device.data(), static_cast<int>(device.size()), SQLITE_TRANSIENT);
  sqlite3_bind_int64(peek_, 2, static_cast<sqlite3_int64>(max));
  while (sqlite3_step(peek_) == SQLITE_ROW) {
    StoredChange c;
    const unsigned char* text = sqlite3_column_text(peek_, 0);
    c.device = text ? reinterpret_cast<const char*>(text) : "";
    c.alias = static_cast<uint64_t>(sqlite3_column_int64(peek_, 1));
    c.datatype = static_cast<uint32_t>(sqlite3_column_int64(peek_, 2));
    c.bits = static_cast<uint64_t>(sqlite3_column_int64(peek_, 3));
    c.timeMs = static_cast<uint64_t>(sqlite3_column_int64(peek_, 4));
    out.push_back(std::move(c));
  }
}

void SqliteStore::Remove(const std::string& device, size_t count) {
  Flush();
  sqlite3_reset(remove_);
  sqlite3_bind_text(remove_, 1, device.data(), static_cast<int>(device.size()), SQLITE_TRANSIENT);
  sqlite3_bind_int64(remove_, 2, static_cast<sqlite3_int64>(count));
  if (Check(sqlite3_step(remove_), "remove")) {
    size_ -= std::min<uint64_t>(size_, static_cast<uint64_t>(sqlite3_changes(db_)));
  }
}

std::map<std::string, uint64_t> SqliteStore::Devices() {
  Flush();
  std::map<std::string, uint64_t> out;
  sqlite3_reset(devices_);
  while (sqlite3_step(devices_) == SQLITE_ROW) {
    const unsigned char* text = sqlite3_column_text(devices_, 0);
    out[text ? reinterpret_cast<const char*>(text) : ""] =
        static_cast<uint64_t>(sqlite3_column_int64(devices_, 1));
  }
  return out;
}

std::optional<uint64_t> SqliteStore::LoadBdSeq() {
  sqlite3_stmt* stmt = nullptr;
  std::optional<uint64_t> value;
  if (Check(
          sqlite3_prepare_v2(db_, "SELECT value FROM node WHERE key = 'bdSeq'", -1, &stmt, nullptr),
          "bdSeq") &&
      sqlite3_step(stmt) == SQLITE_ROW) {
    value = static_cast<uint64_t>(sqlite3_column_int64(stmt, 0));
  }
  sqlite3_finalize(stmt);
  return value;
}

void SqliteStore::SaveBdSeq(uint64_t value) {
  const std::string sql =
      "INSERT OR REPLACE INTO node (key, value) VALUES ('bdSeq', " + std::to_string(value) + ")";
  Exec(sql.c_str());
}

std::optional<uint64_t> LoadBdSeqFile(const std::string& path) {
  std::ifstream file(path);
  uint64_t value = 0;
  if (file >> value) return value;
  return std::nullopt;
}

bool SaveBdSeqFile(const std::string& path, uint64_t value) {
  const std::string temporary = path + ".new";
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  const std::string text = std::to_string(value) + "\n";
  const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
                       ::fsync(fd) == 0;
  ::close(fd);
  return written && std::rename(temporary.c_str(), path.c_str()) == 0;
}

}  // namespace mqtt
