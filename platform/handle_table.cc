#include "platform/handle_table.h"

#include <mutex>
#include <unordered_map>

namespace tw {

namespace {

struct Table {
  std::mutex mutex;
  uint32_t next = 1;                            // guarded by mutex
  std::unordered_map<uint32_t, void*> objects;  // guarded by mutex
};

// Never destroyed: threads of the system may still resolve handles while
// static destructors run at process exit.
Table& TheTable() {
  static Table* table = new Table;
  return *table;
}

}  // namespace

HandleTable& HandleTable::Instance() {
  static HandleTable instance;
  return instance;
}

uint32_t HandleTable::Add(void* object) {
  Table& t = TheTable();
  std::lock_guard<std::mutex> lock(t.mutex);
  // 2^32 - 1 registrations would be needed before wrap-around; the table
  // refuses to wrap rather than reuse a handle.
  if (t.next == 0) return 0;
  uint32_t handle = t.next++;
  t.objects.emplace(handle, object);
  return handle;
}

void* HandleTable::Resolve(uint32_t handle) const {
  Table& t = TheTable();
  std::lock_guard<std::mutex> lock(t.mutex);
  auto it = t.objects.find(handle);
  return it == t.objects.end() ? nullptr : it->second;
}

void HandleTable::Remove(uint32_t handle) {
  Table& t = TheTable();
  std::lock_guard<std::mutex> lock(t.mutex);
  t.objects.erase(handle);
}

}  // namespace tw
