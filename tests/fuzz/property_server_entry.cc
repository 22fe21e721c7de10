#include "tests/fuzz/property_server_entry.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/runtime_dir.h"
#include "servers/twpmsvr/requests.h"
#include "settings/new_store_record.h"
#include "settings/property_protocol.h"

namespace tw::fuzz {
namespace {

namespace fs = std::filesystem;

void Fail() {
  std::abort();
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Files made once per process.
struct Files {
  std::string folder;
  std::string runtime;
  std::string store;    // "*"
  std::string foreign;  // "@"
  std::string foreign_bytes;
};

Files& TheFiles() {
  static Files* files = [] {
    auto* f = new Files;
    const char* tmp = std::getenv("TMPDIR");
    if (tmp == nullptr) Fail();
    f->folder = fs::path(tmp).parent_path().string() + "/pmsvr-fuzz";
    fs::remove_all(f->folder);
    fs::create_directories(f->folder);
    // Store names must be real paths.
    f->folder = fs::canonical(f->folder).string();
    std::string error;
    if (!RuntimeDirectory(&f->runtime, &error)) Fail();
    f->store = f->folder + "/store.dat";
    f->foreign = f->folder + "/foreign.db";
    sqlite3* db = nullptr;
    if (sqlite3_open(f->foreign.c_str(), &db) != SQLITE_OK ||
        sqlite3_exec(db, "CREATE TABLE secrets(k, v); INSERT INTO secrets VALUES('a', 'b')",
                     nullptr, nullptr, nullptr) != SQLITE_OK) {
      Fail();
    }
    sqlite3_close(db);
    f->foreign_bytes = ReadAll(f->foreign);
    return f;
  }();
  return *files;
}

// True when `path` holds exactly the tables of a marked store.
bool IsMarkedStore(const std::string& path) {
  sqlite3* db = nullptr;
  std::string names;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_exec(
        db, "SELECT name FROM sqlite_master ORDER BY name",
        [](void* out, int, char** values, char**) {
          *static_cast<std::string*>(out) += std::string(values[0]) + ",";
          return 0;
        },
        &names, nullptr);
  }
  sqlite3_close(db);
  return names == "property,store_format,";
}

// An empty store file, as a client's binding makes and records it.
// The record of the file it replaces goes first: records of files long gone
// pile up otherwise, and every handler lists them when it starts.
void ResetStore(const Files& files) {
  const int old = ::open(files.store.c_str(), O_RDONLY | O_CLOEXEC);
  if (old >= 0) {
    DropNewStoreRecord(files.runtime, old);
    ::close(old);
  }
  for (const char* suffix : {"", "-wal", "-shm"}) unlink((files.store + suffix).c_str());
  std::ofstream(files.store).close();
  RecordNewStoreFile(files.store);
}

}  // namespace

int PropertyServerOneInput(const uint8_t* data, size_t size) {
  Files& files = TheFiles();
  // Opening the store file is the slow part: only for inputs that name it.
  static bool store_used = true;
  if (store_used) ResetStore(files);
  store_used = false;
  bool foreign_used = false;
  const std::string scratch = "[SD]:" + std::to_string(getpid());
  std::vector<std::pair<std::string, std::string>> replies;
  {
    pmsvr::RequestHandler handler(
        files.runtime,
        [&](const std::string& name, const std::string& text) { replies.emplace_back(name, text); },
        [](const std::string&) {});
    size_t at = 0;
    while (at + 2 <= size) {
      size_t length = (size_t{data[at]} << 8) | data[at + 1];
      at += 2;
      length = std::min(length, size - at);
      std::string request(reinterpret_cast<const char*>(data + at), length);
      at += length;
      // The store line's stand-ins.
      const size_t first = request.find('\n');
      const size_t second = first == std::string::npos ? first : request.find('\n', first + 1);
      if (second != std::string::npos && second == first + 2) {
        const char mark = request[first + 1];
        const std::string& name = mark == '*'   ? files.store
                                  : mark == '@' ? files.foreign
                                  : mark == '#' ? scratch
                                                : std::string();
        if (!name.empty()) request.replace(first + 1, 1, name);
        store_used = store_used || mark == '*';
        foreign_used = foreign_used || mark == '@';
      }
      replies.clear();
      handler.Handle(request.data(), static_cast<uint32_t>(request.size()));
      PropertyRequest parsed;
      const bool answers = ParsePropertyRequest(request, &parsed) && !parsed.arg2.empty() &&
                           (parsed.code == kRequestPing || parsed.code == kRequestGetData ||
                            parsed.code == kRequestGetList);
      if (replies.size() != (answers ? 1u : 0u)) Fail();
      for (const auto& [name, text] : replies) {
        std::string result;
        if (name != parsed.arg2 || text.size() > kMaxPropertyMessage) Fail();
        ParsePropertyReply(text, &result);
      }
    }
  }
  if (foreign_used && ReadAll(files.foreign) != files.foreign_bytes) Fail();
  // Whatever was asked of it, the store file is still a store (an empty
  // file when the input never got to open it).
  if (store_used && std::filesystem::file_size(files.store) != 0 && !IsMarkedStore(files.store)) {
    Fail();
  }
  return 0;
}

}  // namespace tw::fuzz
