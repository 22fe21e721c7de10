// Content collection: removes from the content store every content that no
// version refers to (the bytes of a request refused after they were stored,
// of a transaction that failed, or left by a crash), the upload folders of
// servers that are gone, whatever their age, and other temporary files
// that no living writer owns.
//
// Safe while clients upload, in this process or another: a content is
// removed only when its file is older than the minimum age and, inside one
// writing transaction of the database, no version refers to it; a writer
// renames a fresh file into place before its own transaction checks that
// the content is there (content_store.h). So a request either finds its
// content or fails whole (206); a stored version never loses its bytes.
//
// Threads: any thread; the work runs on the caller's thread and holds the
// database's write lock only for one batch of removals at a time.
#ifndef TW_SERVERS_TWSERVER_CONTENT_GC_H_
#define TW_SERVERS_TWSERVER_CONTENT_GC_H_

#include <atomic>
#include <cstdint>
#include <string>

#include "servers/twserver/storage.h"

namespace tw::twserver {

// Contents younger than this are left alone by default: far longer than
// any request takes from storing its contents to its transaction.
constexpr int64_t kDefaultContentMinAgeSeconds = 60 * 60;
// Temporary files older than this belong to no living writer.
constexpr int64_t kStaleTemporarySeconds = 24 * 60 * 60;

struct CollectionReport {
  size_t examined = 0;  // contents old enough to be looked at
  size_t removed = 0;   // contents removed
  uint64_t bytes = 0;   // their bytes
  int temporaries = 0;  // stale temporary files removed
  int abandoned = 0;    // files of abandoned uploads removed
};

// Collects the store of `storage`. `stop` (may be null) ends the work early
// between batches. kOk, or the storage's failure (FailureText says why).
int CollectContents(Storage& storage, int64_t min_age_seconds, CollectionReport* report,
                    const std::atomic<bool>* stop = nullptr);

}  // namespace tw::twserver

#endif  // TW_SERVERS_TWSERVER_CONTENT_GC_H_
