// Store and forward: the changes seen while no session publishes (no
// broker, or the primary host offline), kept in the order seen and bounded
// (beyond the bound the oldest go, counted). Each device's changes are
// taken out apart, oldest first, once that device is born again. In
// memory, or in an SQLite file (WAL, one transaction per poll) that
// survives a restart of the gateway and a power cut up to the last poll
// committed. The SQLite store also keeps the node's bdSeq.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace mqtt {

struct StoredChange {
  std::string device;  // device id (stable across a restart, unlike an index)
  uint64_t alias = 0;
  uint32_t datatype = 0;
  uint64_t bits = 0;    // the value: UInt16/Int16 word, Float bits, Boolean 0/1
  uint64_t timeMs = 0;  // when the poll saw it (UTC ms)
};

class Store {
 public:
  virtual ~Store() = default;
  // Appends the changes of one poll; drops the oldest beyond the bound.
  virtual void Append(const std::vector<StoredChange>& changes) = 0;
  // Makes what was appended durable (the SQLite store commits the polls
  // appended since the last call in one transaction).
  virtual void Flush() {}
  // The oldest `max` changes of `device`, without removing them.
  virtual void Peek(const std::string& device, size_t max, std::vector<StoredChange>& out) = 0;
  // Removes the oldest `count` changes of `device` (once they are published
  // or given up).
  virtual void Remove(const std::string& device, size_t count) = 0;
  // The devices with changes stored, and how many each holds.
  virtual std::map<std::string, uint64_t> Devices() = 0;
  virtual uint64_t Size() const = 0;
  uint64_t Dropped() const { return dropped_; }

  // The last bdSeq used, when the store keeps it.
  virtual std::optional<uint64_t> LoadBdSeq() { return std::nullopt; }
  virtual void SaveBdSeq(uint64_t) {}

 protected:
  uint64_t dropped_ = 0;
};

class MemoryStore : public Store {
 public:
  explicit MemoryStore(uint64_t max) : max_(max) {}
  void Append(const std::vector<StoredChange>& changes) override;
  void Peek(const std::string& device, size_t max, std::vector<StoredChange>& out) override;
  void Remove(const std::string& device, size_t count) override;
  std::map<std::string, uint64_t> Devices() override;
  uint64_t Size() const override { return size_; }

 private:
  struct Entry {
    uint64_t order = 0;  // across devices: the bound drops the oldest of all
    StoredChange change;
  };
  uint64_t max_, size_ = 0, next_ = 0;
  std::map<std::string, std::deque<Entry>> devices_;
};

class SqliteStore : public Store {
 public:
  // Opens (creates) the file; nullptr and `error` when it cannot.
  static std::unique_ptr<SqliteStore> Open(const std::string& path, uint64_t max,
                                           std::string& error);
  ~SqliteStore() override;
  void Append(const std::vector<StoredChange>& changes) override;
  void Flush() override;
  void Peek(const std::string& device, size_t max, std::vector<StoredChange>& out) override;
  void Remove(const std::string& device, size_t count) override;
  std::map<std::string, uint64_t> Devices() override;
  uint64_t Size() const override { return size_ + pending_.size(); }
  std::optional<uint64_t> LoadBdSeq() override;
  void SaveBdSeq(uint64_t value) override;
  // The last SQLite error (logged by the caller).
  const std::string& LastError() const { return lastError_; }

 private:
  SqliteStore() = default;
  bool Exec(const char* sql);
  bool Check(int rc, const char* what);

  sqlite3* db_ = nullptr;
  sqlite3_stmt *insert_ = nullptr, *peek_ = nullptr, *remove_ = nullptr, *trim_ = nullptr,
               *devices_ = nullptr;
  uint64_t max_ = 0, size_ = 0;
  std::vector<StoredChange> pending_;  // appended, not yet committed
  std::string lastError_;
};

// bdSeq in a small file (when there is no SQLite store): one decimal
// number, written to a temporary file and renamed over the old one.
std::optional<uint64_t> LoadBdSeqFile(const std::string& path);
bool SaveBdSeqFile(const std::string& path, uint64_t value);

}  // namespace mqtt
