#include "session/state_cache.h"

#include <cstdint>
#include <exception>
#include <limits>

#include "platform/debug_output.h"
#include "platform/decimal.h"
#include "platform/file_attributes.h"
#include "platform/letter_case.h"
#include "platform/path.h"
#include "platform/system_factory.h"
#include "settings/property_protocol.h"
#include "settings/stamp.h"

namespace tw {

namespace {

constexpr char kStateStoreFile[] = "states.dat";
constexpr char kBlanks[] = " \t\r\n\v\f";

// The node DocumentStates/<directory key>/<Document id>.
std::unique_ptr<PropertyNode> OpenDocumentNode(PropertyFileClient* store,
                                               const std::string& local_directory,
                                               const std::string& document_id) {
  std::unique_ptr<PropertyNode> states = store->OpenNode(nullptr, kDocumentStatesNode);
  if (!states) return nullptr;
  std::unique_ptr<PropertyNode> dir =
      store->OpenNodeNamed(states.get(), StateDirectoryKey(local_directory));
  return store->OpenNodeNamed(dir.get(), document_id);
}

// Milliseconds since 1970 of a local-time stamp text.
int64_t LocalStampMilliseconds(const std::string& text) {
  DateTimeStamp stamp;
  ParseStamp(text, stamp);
  return stamp.Milliseconds();
}

// Whole seconds of a time in nanoseconds, rounded down.
int64_t FloorSeconds(int64_t ns) {
  return ns >= 0 ? ns / 1000000000 : -((-(ns + 1)) / 1000000000) - 1;
}

// Whether a recorded decimal value (absent in a record written before the
// value was kept) tells the file apart from `actual`; a value that cannot
// be read does.
bool RecordedValueDiffers(const std::string& recorded, bool readable, int64_t actual) {
  if (recorded.empty()) return false;
  int64_t value = 0;
  return !readable || !ParseDecimal(recorded, INT64_MIN, INT64_MAX, &value) || value != actual;
}

void LogReadOnlyFailure(const std::string& path, bool read_only) {
  DebugLog("State cache: cannot make %s %s", path.c_str(), read_only ? "read-only" : "writable");
}

}  // namespace

std::string StateStorePath() {
  const std::string dir = GetSystemFactory().AppDataDirectory();
  if (dir.empty()) return std::string();
  return NativeJoin(dir, kStateStoreFile);
}

std::string StateDirectoryKey(const std::string& local_directory) {
  std::string key = LowerCase(local_directory);
  const size_t first = key.find_first_not_of(kBlanks);
  if (first == std::string::npos) return std::string();
  key = key.substr(first, key.find_last_not_of(kBlanks) - first + 1);
  return DropTrailingSeparator(key, kNativeSeparator);
}

std::unique_ptr<PropertyFileClient> OpenStateStore() {
  auto store = std::make_unique<PropertyFileClient>(StateStorePath(), kStoreFile);
  store->SetKey(kPropertyKeyString);
  if (!store->Connect()) DebugLog("State cache: the property file server cannot be reached");
  return store;
}

bool RecordDocumentState(PropertyFileClient* store, const std::string& document_id,
                         const std::string& local_directory, const std::string& local_path,
                         const std::string& local_name, const std::string& server_stamp,
                         bool make_read_only, const LocalFileVersion* sent) {
  if (store == nullptr || document_id.empty() || local_directory.empty()) return false;
  try {
    std::unique_ptr<PropertyNode> node = OpenDocumentNode(store, local_directory, document_id);
    if (!node) return false;

    // Whole seconds, so that the decision compares like with like: the
    // stamp's millisecond part is always 000. The finer time and the size
    // beside it.
    std::string local_stamp, local_ns, size;
    LocalFileVersion version;
    if (sent != nullptr) version = *sent;
    if (sent != nullptr || ReadLocalFileVersion(local_path, &version)) {
      local_stamp = FormatStamp(
          DateTimeStamp::FromMilliseconds(FloorSeconds(version.modified_ns) * 1000), false);
      local_ns = std::to_string(version.modified_ns);
      size = std::to_string(version.size);
    }
    bool written = store->WriteString(node.get(), kStoredServerStampKey, server_stamp, false);
    written = store->WriteString(node.get(), kStoredLocalStampKey, local_stamp, false) && written;
    written = store->WriteString(node.get(), kStoredLocalNsKey, local_ns, false) && written;
    written = store->WriteString(node.get(), kStoredSizeKey, size, false) && written;

    std::string name = local_name;
    if (!name.empty()) {
      written = store->WriteString(node.get(), kStoredNameKey, name, false) && written;
    } else if (make_read_only) {
      store->ReadString(node.get(), kStoredNameKey, &name, false);
    }
    if (make_read_only && !name.empty()) {
      const std::string target = NativeJoin(local_directory, name);
      if (!SetLocalFileReadOnly(target, true)) LogReadOnlyFailure(target, true);
    }
    return written;
  } catch (const std::exception& e) {
    DebugLog("State cache: recording %s failed: %s", document_id.c_str(), e.what());
  } catch (...) {
    DebugLog("State cache: recording %s failed", document_id.c_str());
  }
  return false;
}

bool RecordBaseStamp(PropertyFileClient* store, const std::string& document_id,
                     const std::string& local_directory, const std::string& server_stamp) {
  if (store == nullptr || document_id.empty() || local_directory.empty()) return false;
  try {
    std::unique_ptr<PropertyNode> node = OpenDocumentNode(store, local_directory, document_id);
    if (!node) return false;
    const bool stamp = store->WriteString(node.get(), kStoredServerStampKey, server_stamp, false);
    return store->WriteString(node.get(), kStoredLocalStampKey, "", false) && stamp;
  } catch (const std::exception& e) {
    DebugLog("State cache: recording the base of %s failed: %s", document_id.c_str(), e.what());
  } catch (...) {
    DebugLog("State cache: recording the base of %s failed", document_id.c_str());
  }
  return false;
}

StoredDocumentState ReadDocumentState(PropertyFileClient* store, const std::string& local_directory,
                                      const std::string& document_id) {
  StoredDocumentState state;
  if (store == nullptr) return state;
  std::unique_ptr<PropertyNode> node = OpenDocumentNode(store, local_directory, document_id);
  if (!node) return state;
  store->ReadString(node.get(), kStoredServerStampKey, &state.server_stamp, false);
  store->ReadString(node.get(), kStoredLocalStampKey, &state.local_stamp, false);
  store->ReadString(node.get(), kStoredLocalNsKey, &state.local_ns, false);
  store->ReadString(node.get(), kStoredSizeKey, &state.size, false);
  store->ReadString(node.get(), kStoredNameKey, &state.name, false);
  return state;
}

int DecideLocalStatus(const DocumentInfo& record, const std::string& local_path,
                      bool align_read_only) {
  try {
    if (!LocalFileExists(local_path)) return kStatusMissing;
    std::unique_ptr<PropertyFileClient> store = OpenStateStore();
    if (!store || !store->OpenNode(nullptr, kDocumentStatesNode)) return kStatusUnknown;
    const StoredDocumentState stored =
        ReadDocumentState(store.get(), NativeParent(local_path), record.document_id);
    store.reset();

    // A file whose time cannot be read differs from any stamp.
    int64_t modified = std::numeric_limits<int64_t>::min();
    LocalFileVersion version;
    const bool readable = ReadLocalFileVersion(local_path, &version);
    if (readable) modified = FloorSeconds(version.modified_ns) * 1000;
    // An empty stamp reads as year 0 and so differs too. Within the same
    // second the finer time and the size tell an edit apart, where the
    // record has them (one written before they were kept has not: its
    // whole second alone decides).
    if (modified != LocalStampMilliseconds(stored.local_stamp) ||
        RecordedValueDiffers(stored.local_ns, readable, version.modified_ns) ||
        RecordedValueDiffers(stored.size, readable, version.size)) {
      return record.checked_out_by_me ? kStatusModified : kStatusRenegade;
    }

    int status;
    if (stored.local_stamp.empty() || stored.server_stamp.empty()) {
      status = kStatusUnknown;
    } else if (stored.server_stamp == record.server_stamp) {
      status = kStatusCurrent;
    } else if (LocalStampMilliseconds(record.server_stamp) >
               LocalStampMilliseconds(stored.server_stamp)) {
      status = kStatusOld;
    } else {
      status = kStatusMoreRecent;
    }
    // The attribute follows the lock: only the holder may edit.
    const bool read_only = !record.checked_out_by_me;
    if (align_read_only && !SetLocalFileReadOnly(local_path, read_only)) {
      LogReadOnlyFailure(local_path, read_only);
    }
    return status;
  } catch (const std::exception& e) {
    DebugLog("State cache: deciding the status of %s failed: %s", local_path.c_str(), e.what());
  } catch (...) {
    DebugLog("State cache: deciding the status of %s failed", local_path.c_str());
  }
  return kStatusUnknown;
}

FileBase CompareBaseWithTip(const DocumentInfo& record, const std::string& local_path,
                            std::string* base_stamp) {
  try {
    if (base_stamp != nullptr) base_stamp->clear();
    if (record.document_id.empty() || record.server_stamp.empty()) return FileBase::kUnknown;
    // A store that could not be reached answers every read with nothing:
    // that must not read as "no record".
    std::unique_ptr<PropertyFileClient> store = OpenStateStore();
    if (!store || !store->registered()) return FileBase::kUnreadable;
    const StoredDocumentState stored =
        ReadDocumentState(store.get(), NativeParent(local_path), record.document_id);
    if (base_stamp != nullptr) *base_stamp = stored.server_stamp;
    if (stored.server_stamp.empty()) return FileBase::kUnknown;
    return stored.server_stamp == record.server_stamp ? FileBase::kCurrent : FileBase::kOther;
  } catch (const std::exception& e) {
    DebugLog("State cache: reading the base of %s failed: %s", local_path.c_str(), e.what());
  } catch (...) {
    DebugLog("State cache: reading the base of %s failed", local_path.c_str());
  }
  return FileBase::kUnreadable;
}

const char* LocalStatusName(int status) {
  switch (status) {
    case kStatusMissing:
      return "Missing";
    case kStatusCurrent:
      return "Current";
    case kStatusOld:
      return "Old";
    case kStatusUnknown:
      return "Unknown";
    case kStatusModified:
      return "Modified";
    case kStatusRenegade:
      return "Renegade";
    case kStatusMoreRecent:
      return "More Recent";
    case kStatusWorkInProgress:
      return "Work in Progress";
    case kStatusUncontrolled:
      return "Uncontrolled";
  }
  return "";
}

}  // namespace tw
