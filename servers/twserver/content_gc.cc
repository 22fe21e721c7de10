#include "servers/twserver/content_gc.h"

#include <unordered_set>
#include <vector>

namespace tw::twserver {

namespace {

// Candidates checked and removed in one writing transaction.
constexpr size_t kBatch = 256;

}  // namespace

int CollectContents(Storage& storage, int64_t min_age_seconds, CollectionReport* report,
                    const std::atomic<bool>* stop) {
  const ContentStore& store = storage.Contents();
  *report = CollectionReport();
  report->temporaries = store.RemoveStaleTemporaries(kStaleTemporarySeconds);
  report->abandoned = store.RemoveAbandonedUploads();

  // A first pass without the write lock narrows the candidates down to
  // those no version referred to a moment ago; each batch is then checked
  // again inside its transaction.
  std::vector<std::string> old = store.ListOlderThan(min_age_seconds);
  report->examined = old.size();
  if (old.empty()) return kOk;
  std::unordered_set<std::string> referenced;
  int result = storage.ReferencedContents(&referenced);
  if (result != kOk) return result;
  std::vector<std::string> candidates;
  for (std::string& digest : old) {
    if (referenced.count(digest) == 0) candidates.push_back(std::move(digest));
  }
  const auto remove = [&](const std::string& digest) {
    const int64_t size = store.RemoveIfOlder(digest, min_age_seconds);
    if (size < 0) return false;
    report->bytes += static_cast<uint64_t>(size);
    return true;
  };
  for (size_t at = 0; at < candidates.size(); at += kBatch) {
    if (stop != nullptr && stop->load()) break;
    const size_t end = std::min(candidates.size(), at + kBatch);
    const std::vector<std::string> batch(candidates.begin() + static_cast<std::ptrdiff_t>(at),
                                         candidates.begin() + static_cast<std::ptrdiff_t>(end));
    std::vector<std::string> removed;
    result = storage.RemoveUnreferenced(batch, remove, &removed);
    report->removed += removed.size();
    if (result != kOk) return result;
  }
  return kOk;
}

}  // namespace tw::twserver
