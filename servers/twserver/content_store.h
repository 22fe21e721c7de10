// The content store: file contents of every version, one file per distinct
// content, named by the SHA-256 of its bytes.
//
// Layout below the store's folder: "tmp/" holds contents being written,
// "<ab>/<64 hex digits>" the finished ones, <ab> being the digest's first two
// digits, and "<ab>/<64 hex digits>.z" the gzip members a content's chunks
// came as when it was uploaded (MembersOf), which a get sends again instead
// of compressing the same bytes anew; collection removes them with their
// content, and backups leave them out. Each serving process receives its
// uploads in a folder of its own, "tmp/uploads-<16 hex digits>", holding
// "owner.lock", on which the process holds an flock for as long as it lives:
// a folder whose lock nobody holds was left by a process that died (a crash,
// a kill) in the middle of uploads, and is removed whole, at once, by whoever
// opens the repository or collects it (RemoveAbandonedUploads), while the
// folders of servers that run - on this machine or, through the shared file
// system's locks, on another - stay untouched. A folder is made under
// "tmp/.uploads-*.new" and renamed into place only once its lock is held. A
// content reaches its final name only after its bytes and the temporary file
// are on disk (fsync, rename, fsync of the folder), so a database transaction
// that names a digest never refers to a partial file. A crash before that
// transaction commits leaves at most an unreferenced content behind, never a
// version without its bytes; content collection (content_gc.h) removes such
// contents later.
//
// Every content that is written or adopted reaches its name with a fresh
// modification time (the rename puts a new file there even when the same
// bytes were stored before), and collection removes only contents older
// than its minimum age: a content that a request is about to refer to is
// never taken away under it.
//
// Threads: ContentStore holds no mutable state; any number of threads and
// processes may write through it at once (identical contents simply meet
// under one name). A ContentWriter belongs to one thread at a time.
#ifndef TW_SERVERS_TWSERVER_CONTENT_STORE_H_
#define TW_SERVERS_TWSERVER_CONTENT_STORE_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tw {
class Sha256Stream;
}

namespace tw::twserver {

// A finished content: lower-case hex SHA-256 of the bytes and their count.
struct ContentRef {
  std::string sha256;
  uint64_t size = 0;
};

class ContentStore;

// The upload folder this process owns (see above). Destroying the object
// removes the folder with everything left in it, then lets the lock go.
class UploadFolder {
 public:
  UploadFolder() = default;
  ~UploadFolder();
  UploadFolder(const UploadFolder&) = delete;
  UploadFolder& operator=(const UploadFolder&) = delete;

  // The folder; empty before ContentStore::OpenUploadFolder.
  const std::string& path() const { return path_; }

 private:
  friend class ContentStore;
  std::string path_;
  int lock_fd_ = -1;
};

// Receives one content piece by piece (a file arriving in frames is never
// held whole in memory). Ends either in Finish or in Abort; destroying an
// unfinished writer aborts it.
class ContentWriter {
 public:
  ~ContentWriter();
  ContentWriter(const ContentWriter&) = delete;
  ContentWriter& operator=(const ContentWriter&) = delete;

  // Appends `count` bytes. On failure the writer is aborted, error() says
  // why, and the call and every later one return false.
  bool Write(const void* bytes, size_t count);
  bool Write(std::string_view bytes) { return Write(bytes.data(), bytes.size()); }

  // Makes the content durable under its digest and fills `ref`. On failure
  // the temporary file is removed and false returned. Either way the writer
  // is done: later calls fail.
  bool Finish(ContentRef* ref);

  // Drops what was written and removes the temporary file. Harmless when the
  // writer is already done.
  void Abort();

  // Why the last call failed.
  const std::string& error() const { return error_; }
  // The temporary file while writing (empty once done); for diagnostics.
  const std::string& temp_path() const { return temp_path_; }

 private:
  friend class ContentStore;
  ContentWriter(const ContentStore* store, int fd, std::string temp_path);
  bool Fail(const std::string& what);

  const ContentStore* const store_;
  int fd_;
  std::string temp_path_;
  std::unique_ptr<Sha256Stream> hash_;
  uint64_t size_ = 0;
  std::string error_;
};

class ContentStore {
 public:
  // A store in the folder `root` (made by Create). Without `durable`,
  // nothing is synced to disk: for scratch stores of tests and the fuzz
  // target, where a crash loses nothing of worth.
  explicit ContentStore(std::string root, bool durable = true)
      : root_(std::move(root)), durable_(durable) {}

  // Makes the store's folders (mode 0700). False with `error` set on failure.
  static bool Create(const std::string& root, std::string* error);

  // True when `text` is a digest as the store names contents: 64 lower-case
  // hex digits.
  static bool IsDigest(std::string_view text);

  // Starts a new content. Nothing (with `error` set) when the temporary file
  // cannot be made.
  std::unique_ptr<ContentWriter> NewWriter(std::string* error) const;

  // Stores `bytes` in one go (a writer, one Write, Finish).
  bool Put(std::string_view bytes, ContentRef* ref, std::string* error) const;

  // Makes the files at `paths` (distinct; in the store's file system: the
  // received-files folder is the store's "tmp/") contents under their
  // digests, `refs` in the same order. A file's digest is the entry of
  // `known` at its index when there is one and it is not empty: the SHA-256
  // that the receiving side made of exactly the bytes it wrote, the file
  // unchanged since (the message reader's, handed over by
  // ScratchFiles::Take); its size is the file's. An entry that is not a
  // digest fails the call. Every other file is read through for its digest,
  // stopping early, as a failure, when `stop` turns true. A content stored
  // before only gets a fresh modification time and the file is removed; the
  // others get a fresh time, are synced and renamed into the store, all
  // together, so that many files cost few syncs. On failure, with `error`
  // set, the files not yet renamed stay where they were.
  //
  // `members` (may be null) names, at a file's index, the gzip members its
  // chunks came as (messaging/stream_format.h), or nothing. Once the
  // contents are in place, each becomes MembersOf(its content) when the
  // content has no such file yet or a longer one, and is removed otherwise.
  // The members are a cache that every sender checks against the bytes it
  // reads, so they are never synced and never fail the call.
  bool AdoptAll(const std::vector<std::string>& paths, std::vector<ContentRef>* refs,
                std::string* error, const std::atomic<bool>* stop = nullptr,
                const std::vector<std::string>* known = nullptr,
                const std::vector<std::string>* members = nullptr) const;

  // The digests of the stored contents whose files were last changed at
  // least `min_age_seconds` ago.
  std::vector<std::string> ListOlderThan(int64_t min_age_seconds) const;

  // Removes the content `sha256` unless its file was changed less than
  // `min_age_seconds` ago. The file is first moved aside, then its age is
  // read, so a writer that renames a fresh copy into place meanwhile keeps
  // its copy. Returns the removed file's size, or -1 when nothing was
  // removed (too young, missing, or a failure).
  int64_t RemoveIfOlder(const std::string& sha256, int64_t min_age_seconds) const;

  // Where the content with this digest lies (whether or not it exists).
  // Empty for a text that is not a digest.
  std::string PathOf(const std::string& sha256) const;
  // Where the gzip members that the content's chunks came as are kept
  // (whether or not they exist): PathOf with kMembersSuffix. Empty for a
  // text that is not a digest.
  std::string MembersOf(const std::string& sha256) const;
  // MembersOf the content whose path is `path`, or empty when `path` is not
  // where a content of this store lies.
  std::string MembersForPath(const std::string& path) const;

  // True when the content exists with the size `ref` gives.
  bool Contains(const ContentRef& ref) const;
  // Reads the content through: true when its file holds `ref.size` bytes
  // whose digest is `ref.sha256`; else false with `problem` saying what is
  // wrong ("missing", another size or digest, a read failure).
  bool Check(const ContentRef& ref, std::string* problem) const;

  // True when the temporary folder is a folder of the store's own, not a
  // link: the store writes its unfinished contents there and removes what
  // it finds there, which through a link would reach files that are not
  // the repository's. A missing one is made again. Else false with `error`
  // saying so. New writers and upload folders are refused there, and the
  // cleanups and collection below do nothing there.
  bool CheckTempFolder(std::string* error) const;

  // Removes temporary files last changed more than `age_seconds` ago: the
  // leftovers of writers that died with their process. Younger ones may
  // belong to a writer at work. Returns how many were removed. Upload
  // folders are left to RemoveAbandonedUploads, except the unfinished
  // ".new" ones of a process that died while making one, once as old.
  int RemoveStaleTemporaries(int64_t age_seconds) const;

  // Makes a new upload folder that this process owns (`folder` must hold
  // none yet). False, with `error`, when it cannot be made or locked.
  bool OpenUploadFolder(UploadFolder* folder, std::string* error) const;

  // Removes every upload folder whose owner is gone, whatever its age, with
  // everything in it. Returns how many files were removed with them.
  int RemoveAbandonedUploads() const;

  const std::string& root() const { return root_; }
  std::string TempFolder() const { return root_ + "/tmp"; }
  bool durable() const { return durable_; }

 private:
  const std::string root_;
  const bool durable_;
};

}  // namespace tw::twserver

#endif  // TW_SERVERS_TWSERVER_CONTENT_STORE_H_
