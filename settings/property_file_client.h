// PropertyFileClient: the module's client of the property file server
// TWPMSvr. One object is bound to one store (global.dat, user.dat, a file
// such as states.dat, or the per-process "[SD]" store) and reads and writes
// the store's tree of text values through text requests on mailslots. The
// client never touches a store file itself, beyond creating a missing one
// when it binds.
//
// Writes are one-way; reads are transactions that wait up to 10 s for the
// reply. After more than 24 one-way requests without a transaction the next
// send is preceded by a "PN" transaction, so a client never runs far ahead
// of the server, and a write whose "PN" fails (the server cannot serve the
// store, or does not answer) reports the failure.
//
// Replies carry nothing that names their request, so a reply that comes
// after its transaction gave up must never reach a later one: a
// transaction first drops whatever waits on the reply mailslot, and one
// that times out gives its mailslot up; the next transaction opens a fresh
// one (registering it when the client is registered). A server found
// afresh (the old one left or was restarted) is registered with again, and
// a request the vanished server could not take is sent once more to the
// new one.
//
// Mailslots and files are made through the system factory
// (platform/system_factory.h), so tests can inject their faults.
//
// Threads: one object is used by one thread at a time. Encryption and
// decryption of names and values are serialised across all clients of the
// process by CryptoLock().
#ifndef TW_SETTINGS_PROPERTY_FILE_CLIENT_H_
#define TW_SETTINGS_PROPERTY_FILE_CLIENT_H_

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/mailslot.h"

namespace tw {

// Store kinds of the constructor.
constexpr int kStoreGlobal = 2;
constexpr int kStoreUser = 3;
constexpr int kStoreScratch = 4;
constexpr int kStoreFile = 5;

// A node handle: an owned copy of the node's property path, unknown to the
// server. A null handle means the root.
struct PropertyNode {
  std::string path;  // the names joined with "/"
  // The names one by one, so that a name holding "/" (a local folder used as
  // a key) stays one name. Set by OpenNode and OpenNodeNamed; a node built
  // by hand with `path` only is read as `path` split at "/".
  std::vector<std::string> names;
};

class PropertyFileClient {
 public:
  // Binds the store of `kind` (OpenStore); `name` is used by kind 5 only.
  PropertyFileClient(const std::string& name, int kind);
  // Sends "RR" when registered, then closes both channels.
  virtual ~PropertyFileClient();
  PropertyFileClient(const PropertyFileClient&) = delete;
  PropertyFileClient& operator=(const PropertyFileClient&) = delete;

  // Makes sure the server runs (starting TWPMSvr from the module directory
  // and waiting up to about 5 s when it does not) and registers this client
  // with "AR". False when the server cannot be reached or the reply
  // mailslot cannot be opened.
  virtual bool Connect();
  virtual bool OpenStore(const std::string& name, int kind);
  // Binds a store by name: "[SD]..." in any letter case as given, else a
  // file, created when missing (user.dat copied from default.usr of the
  // module directory), named by its real absolute path.
  virtual bool BindStore(const std::string& name);
  virtual void SetUserDirectory(const std::string& dir);
  virtual void GetUserDirectory(std::string* dir);
  virtual void SetGlobalDirectory(const std::string& dir);
  virtual void GetGlobalDirectory(std::string* dir);
  virtual void GetUserFilePath(std::string* path);
  virtual void GetGlobalFilePath(std::string* path);
  // parent path + "/" + path, or path alone for a null parent.
  virtual std::unique_ptr<PropertyNode> OpenNode(const PropertyNode* parent,
                                                 const std::string& path);
  virtual bool WriteInt(const PropertyNode* node, const std::string& name, int value, bool encrypt);
  virtual bool WriteString(const PropertyNode* node, const std::string& name,
                           const std::string& value, bool encrypt);
  virtual bool WriteBinary(const PropertyNode* node, const std::string& name, const void* bytes,
                           uint32_t length, bool encrypt);
  // The reads leave their output unchanged when they fail.
  virtual bool ReadInt(const PropertyNode* node, const std::string& name, int* value, bool encrypt);
  // The first "%MODULEDIR%" of the value is replaced by the global directory.
  virtual bool ReadString(const PropertyNode* node, const std::string& name, std::string* value,
                          bool encrypt);
  // Copies the decoded bytes and sets *length to their count when they fit;
  // otherwise copies *length bytes and leaves *length unchanged.
  virtual bool ReadBinary(const PropertyNode* node, const std::string& name, void* buffer,
                          uint32_t* length, bool encrypt);
  // Children of the node name → value (a child whose read fails is left out).
  // The empty name of the null node lists the root.
  virtual bool ListChildren(const PropertyNode* node, const std::string& name,
                            std::map<std::string, std::string>* children, bool encrypt);
  virtual bool DeleteNode(const PropertyNode* node, const std::string& name, bool recursive);
  virtual bool CloseNode(std::unique_ptr<PropertyNode> node);
  virtual bool RequestFL();
  virtual bool RequestRS();
  // Copies the subtree at `path` (its names split at "/"; empty: the whole
  // store) of `source` (read with `decrypt_source`) into this store
  // (written with `encrypt_target`). The walk below `path` keeps every
  // child name whole, a "/" inside it included.
  virtual void CopyTree(PropertyFileClient& source, const std::string& path, bool decrypt_source,
                        bool encrypt_target);
  // Appends name, then value or (for an empty value) the child's own
  // collection, for every child but "SHA", in ascending byte order of names.
  // `path` and the walk below it as for CopyTree.
  virtual void CollectTreeText(const std::string& path, bool encrypt, std::string* text);

  // Beyond the slot table.
  // The child of `parent` (null: the root) whose name is `name` taken whole:
  // a "/" inside it is part of the name and travels escaped. No request is
  // sent.
  std::unique_ptr<PropertyNode> OpenNodeNamed(const PropertyNode* parent, const std::string& name);
  // Deletes the child of `parent` whose name is `name` taken whole, as
  // OpenNodeNamed names it.
  bool DeleteNodeNamed(const PropertyNode* parent, const std::string& name, bool recursive);
  // A call that asks for encryption fails while the key is empty.
  void SetKey(const std::string& key) { key_ = key; }
  // How long a transaction waits for its reply (10 s unless changed).
  void SetReplyTimeout(uint32_t milliseconds);
  const std::string& store_name() const { return store_name_; }
  uint32_t request_counter() const { return request_counter_; }
  bool registered() const { return registered_; }

 private:
  bool Reachable();
  // Writes one request to the request channel; a failed write closes it.
  bool WriteRequest(const std::string& request);
  bool EnsureReplyChannel();
  // Takes and drops every reply waiting on the reply mailslot; false when
  // the mailslot has to be given up.
  bool DropWaitingReplies();
  // Closes the reply mailslot for good (unregistering its name); the next
  // transaction opens a fresh one.
  void AbandonReplyChannel();
  bool SendOneWay(std::string_view code, std::string_view arg1, std::string_view arg2);
  bool Transaction(std::string_view code, std::string_view arg1, std::string* result);
  // The operations on a node given as its names (a name may hold "/"; the
  // root is no names, or one empty name).
  std::string EncodedNames(const std::vector<std::string>& names, bool encrypt);
  bool ListNamed(const std::vector<std::string>& names,
                 std::map<std::string, std::string>* children, bool encrypt);
  void CopyNamed(PropertyFileClient& source, const std::vector<std::string>& names,
                 bool decrypt_source, bool encrypt_target);
  void CollectNamed(const std::vector<std::string>& names, bool encrypt, std::string* text);
  std::string EncodeName(std::string_view text, bool encrypt);
  std::string EncodeValue(std::string_view text, bool encrypt);
  bool DecodeName(std::string_view text, bool encrypt, std::string* out);
  bool DecodeValue(std::string_view text, bool encrypt, std::string* out);
  std::string EncodedPath(const PropertyNode* node, const std::string& name, bool encrypt);

  std::string key_;
  std::unique_ptr<MailslotWriter> request_channel_;
  std::unique_ptr<MailslotReader> reply_channel_;
  std::unique_ptr<char[]> reply_buffer_;
  std::string reply_name_;
  uint32_t reply_timeout_ms_;
  bool registered_ = false;
  uint32_t request_counter_ = 0;
  std::string store_name_;
  std::string user_directory_;
  std::string global_directory_;
};

}  // namespace tw

#endif  // TW_SETTINGS_PROPERTY_FILE_CLIENT_H_
