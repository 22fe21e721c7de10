#include "servers/twserver/sql_storage.h"

#include <map>
#include <unordered_map>
#include <utility>

#include "protocol/name_table.h"
#include "servers/twserver/names.h"

namespace tw::twserver {

// A statement of the backend in use: bound, stepped, then reset when the
// object goes out of scope. Results are copied out, so a statement is never
// stepped by two users at once (helpers collect rows before calling others).
class SqlStorage::Query {
 public:
  Query(SqlStorage* owner, const char* sql) : statement_(owner->backend_->Prepare(sql)) {}
  ~Query() { statement_.Reset(); }
  Query(const Query&) = delete;
  Query& operator=(const Query&) = delete;

  Query& Bind(int index, const std::string& value) {
    statement_.BindText(index, value);
    return *this;
  }
  Query& Bind(int index, int64_t value) {
    statement_.BindInt(index, value);
    return *this;
  }

  // True with a row, false when done.
  bool Step() { return statement_.Step(); }
  void Run() {
    while (Step()) {
    }
  }
  int64_t Changes() const { return statement_.Changes(); }

  std::string Text(int column) const { return statement_.Text(column); }
  int64_t Int(int column) const { return statement_.Int(column); }
  bool IsNull(int column) const { return statement_.IsNull(column); }

 private:
  SqlStatement& statement_;
};

struct SqlStorage::Document {
  int64_t seq = -1;
  std::string id;
  int64_t production = -1;
  std::string name;
  int current_version = 0;
};

struct SqlStorage::Holder {
  std::string user;
  bool exclusive = false;
};

// ------------------------------------------------------------ schema

namespace {

// The tables with each type written as TEXT_, WHOLE_ or SERIAL_.
constexpr const char* kSchemaTemplate = R"sql(
CREATE TABLE settings(key TEXT_ PRIMARY KEY, value TEXT_ NOT NULL);
CREATE TABLE users(name TEXT_ PRIMARY KEY, digest TEXT_ NOT NULL);
CREATE TABLE productions(
  seq SERIAL_,
  id TEXT_ NOT NULL UNIQUE,
  parent WHOLE_ REFERENCES productions(seq),
  name TEXT_ NOT NULL,
  fold TEXT_ NOT NULL);
CREATE UNIQUE INDEX productions_by_name ON productions(parent, fold);
CREATE TABLE documents(
  seq SERIAL_,
  id TEXT_ NOT NULL UNIQUE,
  production WHOLE_ NOT NULL REFERENCES productions(seq),
  name TEXT_ NOT NULL,
  fold TEXT_ NOT NULL,
  current_version INTEGER NOT NULL,
  UNIQUE(production, fold));
CREATE TABLE versions(
  document WHOLE_ NOT NULL REFERENCES documents(seq),
  version INTEGER NOT NULL,
  user_name TEXT_ NOT NULL,
  stamp_ms WHOLE_ NOT NULL,
  stamp TEXT_ NOT NULL,
  comment TEXT_ NOT NULL,
  work_in_progress INTEGER NOT NULL,
  content TEXT_ NOT NULL,
  size WHOLE_ NOT NULL,
  PRIMARY KEY(document, version));
CREATE TABLE locks(
  seq SERIAL_,
  document WHOLE_ NOT NULL REFERENCES documents(seq),
  user_name TEXT_ NOT NULL,
  exclusive INTEGER NOT NULL,
  UNIQUE(document, user_name));
CREATE INDEX locks_by_user ON locks(user_name);
CREATE TABLE lock_queue(
  document WHOLE_ NOT NULL REFERENCES documents(seq),
  user_name TEXT_ NOT NULL,
  exclusive INTEGER NOT NULL,
  rank INTEGER NOT NULL,
  PRIMARY KEY(document, user_name));
CREATE INDEX lock_queue_by_rank ON lock_queue(document, rank);
CREATE INDEX lock_queue_by_user ON lock_queue(user_name);
CREATE INDEX versions_by_content ON versions(content);
)sql";

}  // namespace

std::string SchemaSql(const SqlTypes& types) {
  const std::pair<std::string, std::string> names[] = {
      {"TEXT_", types.text}, {"WHOLE_", types.whole}, {"SERIAL_", types.serial}};
  std::string sql = kSchemaTemplate;
  for (const auto& [name, type] : names) {
    for (size_t at = sql.find(name); at != std::string::npos; at = sql.find(name, at)) {
      sql.replace(at, name.size(), type);
      at += type.size();
    }
  }
  return sql;
}

std::vector<SqlRow> NewRepositoryRows(const RepositorySettings& settings) {
  std::string root_id;
  if (!RandomIdentifier(&root_id)) throw SqlError("no random bytes");
  const char* const kSetting = "INSERT INTO settings(key, value) VALUES(?1, ?2)";
  return {
      {kSetting, {"schema", kSchemaVersion}},
      {kSetting, {"selector", std::to_string(settings.selector)}},
      {kSetting, {"compression", std::to_string(settings.compression)}},
      {kSetting, {"lock-policy", std::to_string(settings.lock_policy)}},
      {"INSERT INTO productions(id, parent, name, fold) VALUES(?1, NULL, ?2, ?3)",
       {root_id, settings.root_name, FoldName(settings.root_name)}},
  };
}

// ------------------------------------------------------------ life cycle

SqlStorage::SqlStorage(std::unique_ptr<SqlBackend> backend, ContentStore contents, Clock clock)
    : backend_(std::move(backend)),
      contents_(std::move(contents)),
      clock_(clock ? std::move(clock) : SystemClockMilliseconds),
      gate_(backend_->ReadCapacity() > 0 ? std::make_unique<ReadGate>(backend_->ReadCapacity())
                                         : nullptr) {}

SqlStorage::~SqlStorage() = default;

std::string SqlStorage::FailureText() const {
  return backend_->FailureText();
}

int SqlStorage::Transact(SqlMode mode, const std::function<int()>& body) {
  ReadGate::Pass pass;
  if (mode == SqlMode::kRead && gate_) {
    std::string why;
    if (!gate_->Enter(&pass, &why)) {
      backend_->NoteFailure(why);
      return kStorageFailure;
    }
  }
  int result = backend_->Run(mode, pass.deadline(), pass.budget(), body);
  if (result == kSqlPastDeadline) {
    backend_->NoteFailure("the read ran past its time budget of " +
                          std::to_string(pass.budget().count()) + " ms");
    result = kOverLimit;
  } else if (result == kOverLimit) {
    backend_->NoteFailure("the reply would pass " + std::to_string(kMaxReplyBytes) + " bytes");
  }
  return result;
}

// ------------------------------------------------------------ helpers

std::string SqlStorage::NewIdentifier() {
  for (;;) {
    std::string id;
    if (!RandomIdentifier(&id)) throw SqlError("no random bytes");
    Query q(
        this,
        "SELECT 1 FROM productions WHERE id = ?1 UNION ALL SELECT 1 FROM documents WHERE id = ?1");
    if (!q.Bind(1, id).Step()) return id;
  }
}

int64_t SqlStorage::ProductionSeq(const std::string& id) {
  Query q(this, "SELECT seq FROM productions WHERE id = ?1");
  return q.Bind(1, id).Step() ? q.Int(0) : -1;
}

int64_t SqlStorage::ChildProduction(int64_t parent, const std::string& name) {
  Query q(this, "SELECT seq FROM productions WHERE parent = ?1 AND fold = ?2");
  return q.Bind(1, parent).Bind(2, FoldName(name)).Step() ? q.Int(0) : -1;
}

int SqlStorage::ResolveProductionPath(const std::string& path, int64_t* seq) {
  const std::vector<std::string> elements = SplitPath(path);
  if (!IsValidProductionPath(elements)) return kInvalidPath;
  int64_t current;
  {
    Query root(this, "SELECT seq, fold FROM productions WHERE parent IS NULL");
    if (!root.Step()) throw SqlError("the repository has no root");
    current = root.Int(0);
    if (!elements[0].empty() && root.Text(1) != FoldName(elements[0])) return kPathNotFound;
  }
  for (size_t i = 1; i < elements.size(); ++i) {
    current = ChildProduction(current, elements[i]);
    if (current < 0) return kPathNotFound;
  }
  *seq = current;
  return kOk;
}

bool SqlStorage::LoadDocument(const std::string& id, Document* doc) {
  // A plain read, in writers too: the writer's transaction guards it (a
  // writer of the same Document's rows is serialised with this one or makes
  // it run again), so no row lock is taken and no row is rewritten to claim
  // the Document.
  Query q(this, "SELECT seq, production, name, current_version FROM documents WHERE id = ?1");
  if (!q.Bind(1, id).Step()) return false;
  doc->seq = q.Int(0);
  doc->id = id;
  doc->production = q.Int(1);
  doc->name = q.Text(2);
  doc->current_version = static_cast<int>(q.Int(3));
  return true;
}

bool SqlStorage::FindDocumentBelow(int64_t production, const std::string& relative, Document* doc) {
  const std::vector<std::string> elements = SplitPath(relative);
  for (const auto& element : elements) {
    if (!IsValidName(element)) return false;
  }
  for (size_t i = 0; i + 1 < elements.size(); ++i) {
    production = ChildProduction(production, elements[i]);
    if (production < 0) return false;
  }
  Query q(this,
          "SELECT seq, id, name, current_version FROM documents "
          "WHERE production = ?1 AND fold = ?2");
  if (!q.Bind(1, production).Bind(2, FoldName(elements.back())).Step()) return false;
  doc->seq = q.Int(0);
  doc->id = q.Text(1);
  doc->production = production;
  doc->name = q.Text(2);
  doc->current_version = static_cast<int>(q.Int(3));
  return true;
}

std::string SqlStorage::StampAfter(int64_t document, int64_t* ms) {
  Query q(this, "SELECT MAX(stamp_ms) FROM versions WHERE document = ?1");
  const bool has_previous = q.Bind(1, document).Step() && !q.IsNull(0);
  *ms = NextStampMilliseconds(*ms, has_previous, has_previous ? q.Int(0) : 0);
  return StampText(*ms);
}

ProductionTree SqlStorage::Tree() {
  return ProductionTree([this](int64_t seq, ProductionTree::Row* row) {
    Query q(this, "SELECT parent, name FROM productions WHERE seq = ?1");
    if (!q.Bind(1, seq).Step()) return false;
    row->parent = q.IsNull(0) ? -1 : q.Int(0);
    row->name = q.Text(1);
    return true;
  });
}

std::vector<SqlStorage::Holder> SqlStorage::Holders(int64_t document) {
  std::vector<Holder> holders;
  Query q(this, "SELECT user_name, exclusive FROM locks WHERE document = ?1 ORDER BY seq");
  q.Bind(1, document);
  while (q.Step()) holders.push_back(Holder{q.Text(0), q.Int(1) != 0});
  return holders;
}

bool SqlStorage::IsQueued(int64_t document, const std::string& user) {
  Query q(this, "SELECT 1 FROM lock_queue WHERE document = ?1 AND user_name = ?2");
  return q.Bind(1, document).Bind(2, user).Step();
}

void SqlStorage::LeaveQueue(int64_t document, const std::string& user) {
  int64_t rank = 0;
  {
    Query q(this, "SELECT rank FROM lock_queue WHERE document = ?1 AND user_name = ?2");
    if (!q.Bind(1, document).Bind(2, user).Step()) return;
    rank = q.Int(0);
  }
  Query(this, "DELETE FROM lock_queue WHERE document = ?1 AND user_name = ?2")
      .Bind(1, document)
      .Bind(2, user)
      .Run();
  Query(this, "UPDATE lock_queue SET rank = rank - 1 WHERE document = ?1 AND rank > ?2")
      .Bind(1, document)
      .Bind(2, rank)
      .Run();
}

void SqlStorage::Grant(int64_t document, const std::string& user, bool exclusive) {
  Query update(this, "UPDATE locks SET exclusive = ?3 WHERE document = ?1 AND user_name = ?2");
  update.Bind(1, document).Bind(2, user).Bind(3, int64_t{exclusive ? 1 : 0}).Run();
  if (update.Changes() > 0) return;
  Query(this, "INSERT INTO locks(document, user_name, exclusive) VALUES(?1, ?2, ?3)")
      .Bind(1, document)
      .Bind(2, user)
      .Bind(3, int64_t{exclusive ? 1 : 0})
      .Run();
}

void SqlStorage::ServeQueue(int64_t document) {
  for (;;) {
    Holder head;
    {
      Query q(this,
              "SELECT user_name, exclusive FROM lock_queue WHERE document = ?1 "
              "ORDER BY rank LIMIT 1");
      if (!q.Bind(1, document).Step()) return;
      head = Holder{q.Text(0), q.Int(1) != 0};
    }
    if (LockConflict(Holders(document), head.user, head.exclusive) != kOk) return;
    Grant(document, head.user, head.exclusive);
    LeaveQueue(document, head.user);
  }
}

void SqlStorage::ListLocksLocked(int64_t document, std::vector<LockEntry>* out) {
  out->clear();
  for (const Holder& h : Holders(document))
    out->push_back(LockEntry{h.user, h.exclusive, false, 0});
  Query q(this,
          "SELECT user_name, exclusive, rank FROM lock_queue WHERE document = ?1 ORDER BY rank");
  q.Bind(1, document);
  while (q.Step()) {
    out->push_back(LockEntry{q.Text(0), q.Int(1) != 0, true, static_cast<int>(q.Int(2))});
  }
}

int SqlStorage::ListVersionsLocked(int64_t document, std::vector<VersionInfo>* out,
                                   ReplyBudget* budget) {
  out->clear();
  Query q(this,
          "SELECT version, stamp, user_name, comment, work_in_progress, content, size "
          "FROM versions WHERE document = ?1 ORDER BY version DESC");
  q.Bind(1, document);
  while (q.Step()) {
    VersionInfo v;
    v.version = static_cast<int>(q.Int(0));
    v.stamp = q.Text(1);
    v.user = q.Text(2);
    v.comment = q.Text(3);
    v.work_in_progress = q.Int(4) != 0;
    v.content.sha256 = q.Text(5);
    v.content.size = static_cast<uint64_t>(q.Int(6));
    if (budget != nullptr && !budget->Take(VersionRowCharge(v))) return kOverLimit;
    out->push_back(std::move(v));
  }
  return kOk;
}

void SqlStorage::WriteVersion(int64_t document, int version, const std::string& user,
                              const std::string& comment, bool wip, const ContentRef& content,
                              std::string* stamp, bool new_document) {
  int64_t ms = clock_();
  // A new Document has no stamp to follow (and its row says version 1).
  if (new_document) {
    *stamp = StampText(ms);
  } else {
    *stamp = StampAfter(document, &ms);
  }
  Query(this,
        "INSERT INTO versions(document, version, user_name, stamp_ms, stamp, comment, "
        "work_in_progress, content, size) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)")
      .Bind(1, document)
      .Bind(2, int64_t{version})
      .Bind(3, user)
      .Bind(4, ms)
      .Bind(5, *stamp)
      .Bind(6, comment)
      .Bind(7, int64_t{wip ? 1 : 0})
      .Bind(8, content.sha256)
      .Bind(9, static_cast<int64_t>(content.size))
      .Run();
  if (new_document) return;
  Query(this, "UPDATE documents SET current_version = ?2 WHERE seq = ?1")
      .Bind(1, document)
      .Bind(2, int64_t{version})
      .Run();
}

// ------------------------------------------------------------ settings and users

int SqlStorage::GetSettings(RepositorySettings* out) {
  return Transact(SqlMode::kRead, [&]() -> int {
    RepositorySettings settings;
    {
      Query q(this, "SELECT name FROM productions WHERE parent IS NULL");
      if (!q.Step()) throw SqlError("the repository has no root");
      settings.root_name = q.Text(0);
    }
    Query q(this, "SELECT key, value FROM settings");
    while (q.Step()) {
      const std::string key = q.Text(0);
      if (key != "schema" && !ApplySetting(key, q.Text(1), &settings)) {
        throw SqlError("the stored setting " + key + " is invalid");
      }
    }
    *out = settings;
    return kOk;
  });
}

int SqlStorage::SetSetting(const std::string& key, const std::string& value) {
  RepositorySettings probe;
  if (!ApplySetting(key, value, &probe)) return kInvalidValue;
  return Transact(SqlMode::kWrite, [&]() -> int {
    if (key == "root-name") {
      Query(this, "UPDATE productions SET name = ?1, fold = ?2 WHERE parent IS NULL")
          .Bind(1, value)
          .Bind(2, FoldName(value))
          .Run();
    } else {
      Query(this, "UPDATE settings SET value = ?2 WHERE key = ?1")
          .Bind(1, key)
          .Bind(2, value)
          .Run();
    }
    return kOk;
  });
}

int SqlStorage::AddUser(const std::string& name, const std::string& digest) {
  if (!IsValidUserName(name) || !IsDigestText(digest)) return kInvalidValue;
  return Transact(SqlMode::kWrite, [&]() -> int {
    {
      Query q(this, "SELECT 1 FROM users WHERE name = ?1");
      if (q.Bind(1, name).Step()) return kUserExists;
    }
    Query(this, "INSERT INTO users(name, digest) VALUES(?1, ?2)")
        .Bind(1, name)
        .Bind(2, StoredDigest(digest))
        .Run();
    return kOk;
  });
}

int SqlStorage::SetUserDigest(const std::string& name, const std::string& digest) {
  if (!IsDigestText(digest)) return kInvalidValue;
  return Transact(SqlMode::kWrite, [&]() -> int {
    Query q(this, "UPDATE users SET digest = ?2 WHERE name = ?1");
    q.Bind(1, name).Bind(2, StoredDigest(digest)).Run();
    return q.Changes() == 0 ? kNoSuchUser : kOk;
  });
}

int SqlStorage::RemoveUser(const std::string& name) {
  return Transact(SqlMode::kWrite, [&]() -> int {
    {
      Query q(this, "DELETE FROM users WHERE name = ?1");
      q.Bind(1, name).Run();
      if (q.Changes() == 0) return kNoSuchUser;
    }
    std::vector<int64_t> documents;
    {
      Query q(this,
              "SELECT document FROM locks WHERE user_name = ?1 "
              "UNION SELECT document FROM lock_queue WHERE user_name = ?1");
      q.Bind(1, name);
      while (q.Step()) documents.push_back(q.Int(0));
    }
    for (int64_t document : documents) {
      Query(this, "DELETE FROM locks WHERE document = ?1 AND user_name = ?2")
          .Bind(1, document)
          .Bind(2, name)
          .Run();
      LeaveQueue(document, name);
      ServeQueue(document);
    }
    return kOk;
  });
}

int SqlStorage::ListUsers(std::vector<std::string>* names) {
  return Transact(SqlMode::kRead, [&]() -> int {
    names->clear();
    Query q(this, "SELECT name FROM users ORDER BY name");
    while (q.Step()) names->push_back(q.Text(0));
    return kOk;
  });
}

int SqlStorage::CheckLogon(const std::string& name, const std::string& digest) {
  return Transact(SqlMode::kRead, [&]() -> int {
    Query q(this, "SELECT digest FROM users WHERE name = ?1");
    if (!q.Bind(1, name).Step()) return kLogonRefused;
    return SameDigest(q.Text(0), StoredDigest(digest)) ? kOk : kLogonRefused;
  });
}

// ------------------------------------------------------------ Productions

int SqlStorage::GetRootProduction(ProductionEntry* root) {
  return Transact(SqlMode::kRead, [&]() -> int {
    Query q(this, "SELECT id, name FROM productions WHERE parent IS NULL");
    if (!q.Step()) throw SqlError("the repository has no root");
    *root = ProductionEntry{q.Text(0), q.Text(1)};
    return kOk;
  });
}

int SqlStorage::CreateProduction(const std::string& parent_id, const std::string& name,
                                 std::string* id) {
  return Transact(SqlMode::kWrite, [&]() -> int {
    const int64_t parent = ProductionSeq(parent_id);
    if (parent < 0) return kUnknownId;
    if (!IsValidName(name)) return kInvalidPath;
    {
      Query q(this, "SELECT id, name FROM productions WHERE parent = ?1 AND fold = ?2");
      if (q.Bind(1, parent).Bind(2, FoldName(name)).Step()) {
        *id = q.Text(0);
        return q.Text(1) == name ? kProductionExists : kProductionCaseVariant;
      }
    }
    ProductionTree tree = Tree();
    const int placed = CheckNewProduction(tree, parent, name);
    if (placed == kStorageFailure) throw SqlError("the Production tree is damaged");
    if (placed != kOk) return placed;
    const std::string new_id = NewIdentifier();
    Query(this, "INSERT INTO productions(id, parent, name, fold) VALUES(?1, ?2, ?3, ?4)")
        .Bind(1, new_id)
        .Bind(2, parent)
        .Bind(3, name)
        .Bind(4, FoldName(name))
        .Run();
    *id = new_id;
    return kOk;
  });
}

int SqlStorage::LookupProduction(const std::string& path, std::string* id) {
  return Transact(SqlMode::kRead, [&]() -> int {
    int64_t seq = -1;
    const int result = ResolveProductionPath(path, &seq);
    if (result != kOk) return result;
    Query q(this, "SELECT id FROM productions WHERE seq = ?1");
    if (!q.Bind(1, seq).Step()) throw SqlError("a resolved Production vanished");
    *id = q.Text(0);
    return kOk;
  });
}

int SqlStorage::ListChildProductions(const std::string& id, std::vector<ProductionEntry>* out) {
  return Transact(SqlMode::kRead, [&]() -> int {
    const int64_t parent = ProductionSeq(id);
    if (parent < 0) return kUnknownId;
    out->clear();
    Query q(this, "SELECT id, name FROM productions WHERE parent = ?1 ORDER BY seq");
    q.Bind(1, parent);
    while (q.Step()) out->push_back(ProductionEntry{q.Text(0), q.Text(1)});
    return kOk;
  });
}

// ------------------------------------------------------------ Documents

int SqlStorage::GetDocumentInfo(const std::string& user, const std::string& production_id,
                                const std::vector<std::string>& names,
                                std::vector<DocumentInfo>* out) {
  return Transact(SqlMode::kRead, [&]() -> int {
    const int64_t production = ProductionSeq(production_id);
    if (production < 0) return kUnknownId;
    std::vector<DocumentInfo> rows;
    rows.reserve(names.size());
    for (const std::string& name : names) {
      DocumentInfo info;
      Document doc;
      if (FindDocumentBelow(production, name, &doc)) {
        info.id = doc.id;
        info.version = doc.current_version;
        info.flags = kDocumentControlled;
        for (const Holder& h : Holders(doc.seq)) {
          info.flags |= kDocumentCheckedOut;
          if (h.user == user) info.flags |= kDocumentCheckedOutByMe;
          if (h.exclusive) info.flags |= kDocumentExclusive;
        }
        if (IsQueued(doc.seq, user)) info.flags |= kDocumentQueuedForLock;
        Query q(this, "SELECT stamp FROM versions WHERE document = ?1 AND version = ?2");
        if (q.Bind(1, doc.seq).Bind(2, int64_t{doc.current_version}).Step()) info.stamp = q.Text(0);
      }
      rows.push_back(std::move(info));
    }
    *out = std::move(rows);
    return kOk;
  });
}

int SqlStorage::CheckNewDocuments(const std::vector<NewDocument>& items, size_t* failed_index,
                                  std::vector<std::pair<int64_t, std::string>>* keys) {
  // Hash lookups, so that a request of many names costs time in proportion
  // to its size: one writer must not hold the others up for long.
  std::unordered_map<std::string, int64_t> productions;
  std::unordered_set<std::string> seen;
  ProductionTree tree = Tree();
  keys->clear();
  keys->reserve(items.size());
  for (size_t i = 0; i < items.size(); ++i) {
    const NewDocument& item = items[i];
    if (failed_index != nullptr) *failed_index = i;
    auto known = productions.find(item.production_id);
    if (known == productions.end()) {
      known = productions.emplace(item.production_id, ProductionSeq(item.production_id)).first;
    }
    const int64_t production = known->second;
    if (production < 0) return kUnknownId;
    if (!IsValidName(item.name)) return kInvalidDocumentName;
    const int placed = CheckNewDocument(tree, production, item.name);
    if (placed == kStorageFailure) throw SqlError("the Production tree is damaged");
    if (placed != kOk) return placed;
    std::pair<int64_t, std::string> key{production, FoldName(item.name)};
    if (!seen.insert(std::to_string(production) + '/' + key.second).second) return kDocumentTwice;
    {
      Query q(this, "SELECT 1 FROM documents WHERE production = ?1 AND fold = ?2");
      if (q.Bind(1, production).Bind(2, key.second).Step()) return kDocumentExists;
    }
    keys->push_back(std::move(key));
  }
  return kOk;
}

int SqlStorage::ValidateAdd(const std::vector<NewDocument>& items, size_t* failed_index) {
  return Transact(SqlMode::kRead, [&]() -> int {
    std::vector<std::pair<int64_t, std::string>> keys;
    return CheckNewDocuments(items, failed_index, &keys);
  });
}

int SqlStorage::AddDocuments(const std::string& user, const std::string& comment,
                             const std::vector<NewDocument>& items, std::vector<StoredVersion>* out,
                             size_t* failed_index) {
  return Transact(SqlMode::kAddVersions, [&]() -> int {
    std::vector<std::pair<int64_t, std::string>> keys;
    const int checked = CheckNewDocuments(items, failed_index, &keys);
    if (checked != kOk) return checked;
    std::vector<StoredVersion> added;
    added.reserve(items.size());
    for (size_t i = 0; i < items.size(); ++i) {
      const NewDocument& item = items[i];
      if (failed_index != nullptr) *failed_index = i;
      if (!contents_.Contains(item.content)) return kContentIncomplete;
      const std::string id = NewIdentifier();
      Query insert(this,
                   "INSERT INTO documents(id, production, name, fold, current_version) "
                   "VALUES(?1, ?2, ?3, ?4, 1) RETURNING seq");
      insert.Bind(1, id).Bind(2, keys[i].first).Bind(3, item.name).Bind(4, keys[i].second);
      if (!insert.Step()) throw SqlError("a new Document has no sequence number");
      const int64_t seq = insert.Int(0);
      StoredVersion stored{id, 1, std::string()};
      WriteVersion(seq, 1, user, comment, false, item.content, &stored.stamp, true);
      added.push_back(std::move(stored));
    }
    *out = std::move(added);
    return kOk;
  });
}

int SqlStorage::CheckCheckIn(const std::string& user, const std::vector<std::string>& ids,
                             size_t* failed_index, std::vector<Document>* docs) {
  docs->clear();
  docs->reserve(ids.size());
  for (size_t i = 0; i < ids.size(); ++i) {
    if (failed_index != nullptr) *failed_index = i;
    Document doc;
    if (!LoadDocument(ids[i], &doc)) return kUnknownId;
    Query q(this, "SELECT 1 FROM locks WHERE document = ?1 AND user_name = ?2");
    if (!q.Bind(1, doc.seq).Bind(2, user).Step()) return kNotCheckedOut;
    docs->push_back(std::move(doc));
  }
  return kOk;
}

int SqlStorage::ValidateCheckIn(const std::string& user, const std::vector<std::string>& ids,
                                size_t* failed_index) {
  return Transact(SqlMode::kRead, [&]() -> int {
    std::vector<Document> docs;
    return CheckCheckIn(user, ids, failed_index, &docs);
  });
}

int SqlStorage::CheckIn(const std::string& user, const std::string& comment, bool work_in_progress,
                        const std::vector<CheckInItem>& items, std::vector<StoredVersion>* out,
                        size_t* failed_index) {
  return Transact(SqlMode::kAddVersions, [&]() -> int {
    std::vector<std::string> ids;
    ids.reserve(items.size());
    for (const CheckInItem& item : items) ids.push_back(item.document_id);
    std::vector<Document> docs;
    const int checked = CheckCheckIn(user, ids, failed_index, &docs);
    if (checked != kOk) return checked;
    std::vector<StoredVersion> stored;
    // The same Document twice in one check-in gives two versions.
    std::map<int64_t, int> last_version;
    for (size_t i = 0; i < items.size(); ++i) {
      if (failed_index != nullptr) *failed_index = i;
      if (!contents_.Contains(items[i].content)) return kContentIncomplete;
      const Document& doc = docs[i];
      auto last = last_version.emplace(doc.seq, doc.current_version).first;
      StoredVersion version{doc.id, ++last->second, std::string()};
      WriteVersion(doc.seq, version.version, user, comment, work_in_progress, items[i].content,
                   &version.stamp);
      stored.push_back(std::move(version));
    }
    *out = std::move(stored);
    return kOk;
  });
}

int SqlStorage::Fetch(const std::vector<FetchItem>& items, std::vector<FetchedVersion>* out,
                      size_t* failed_index) {
  return Transact(SqlMode::kRead, [&]() -> int {
    std::vector<FetchedVersion> fetched;
    FetchPlan plan;
    ProductionTree tree = Tree();
    ReplyBudget budget;
    for (size_t i = 0; i < items.size(); ++i) {
      const FetchItem& item = items[i];
      if (failed_index != nullptr) *failed_index = i;
      int again = kOk;
      if (plan.Repeat(item, &fetched, &budget, &again)) {
        if (again != kOk) return again;
        continue;
      }
      Document doc;
      if (!LoadDocument(item.document_id, &doc)) return kUnknownId;
      FetchedVersion f;
      f.document_id = doc.id;
      f.version = item.version == 0 ? doc.current_version : item.version;
      f.name = doc.name;
      ContentRef content;
      {
        Query q(this,
                "SELECT stamp, content, size FROM versions WHERE document = ?1 AND version = ?2");
        if (!q.Bind(1, doc.seq).Bind(2, int64_t{f.version}).Step()) return kUnknownId;
        f.stamp = q.Text(0);
        content.sha256 = q.Text(1);
        content.size = static_cast<uint64_t>(q.Int(2));
      }
      if (!contents_.Contains(content)) {
        throw SqlError("the content of " + doc.id + " version " + std::to_string(f.version) +
                       " is missing from the store");
      }
      f.content_path = contents_.PathOf(content.sha256);
      f.size = content.size;
      if (!budget.Take(FetchPlan::FixedCharge(f))) return kOverLimit;
      const int path = tree.FullPath(doc.production, doc.name, &f.full_path, &budget);
      if (path == kStorageFailure) throw SqlError("the Production tree is damaged");
      if (path != kOk) return path;
      plan.Note(item, fetched.size());
      fetched.push_back(std::move(f));
    }
    *out = std::move(fetched);
    return kOk;
  });
}

int SqlStorage::FindDocument(const std::string& path, std::string* id) {
  return Transact(SqlMode::kRead, [&]() -> int {
    std::string folder;
    std::string name;
    SplitDocumentPath(path, &folder, &name);
    int64_t production = -1;
    const int result = ResolveProductionPath(folder, &production);
    if (result != kOk) return result;
    if (!IsValidName(name)) return kInvalidDocumentName;
    Query q(this, "SELECT id FROM documents WHERE production = ?1 AND fold = ?2");
    if (!q.Bind(1, production).Bind(2, FoldName(name)).Step()) return kUnknownId;
    *id = q.Text(0);
    return kOk;
  });
}

int SqlStorage::PathsOf(const std::vector<std::string>& ids, std::vector<std::string>* paths) {
  return Transact(SqlMode::kRead, [&]() -> int {
    std::vector<std::string> found(ids.size());
    ProductionTree tree = Tree();
    for (size_t i = 0; i < ids.size(); ++i) {
      Document doc;
      int64_t production = -1;
      std::string leaf;
      if (LoadDocument(ids[i], &doc)) {
        production = doc.production;
        leaf = doc.name;
      } else {
        production = ProductionSeq(ids[i]);
      }
      // A damaged tree leaves the identifier unnamed rather than failing
      // the caller, which only wants a name for it.
      if (production >= 0 && tree.FullPath(production, leaf, &found[i], nullptr) != kOk) {
        found[i].clear();
      }
    }
    *paths = std::move(found);
    return kOk;
  });
}

int SqlStorage::ListVersions(const std::string& document_id, std::vector<VersionInfo>* out) {
  return Transact(SqlMode::kRead, [&]() -> int {
    Document doc;
    if (!LoadDocument(document_id, &doc)) return kUnknownId;
    return ListVersionsLocked(doc.seq, out);
  });
}

int SqlStorage::ListLocks(const std::string& document_id, std::vector<LockEntry>* out) {
  return Transact(SqlMode::kRead, [&]() -> int {
    Document doc;
    if (!LoadDocument(document_id, &doc)) return kUnknownId;
    ListLocksLocked(doc.seq, out);
    return kOk;
  });
}

int SqlStorage::GetNameTable(int kind, const std::string& subject, bool recursive, NameTable* out) {
  if (kind < kNameListProductions || kind > kNameListVersions) return kMalformed;
  return Transact(SqlMode::kRead, [&]() -> int {
    NameTable table;
    ReplyBudget budget;
    if (kind == kNameListProductions) {
      const size_t cut = subject.rfind('\\');
      const int64_t parent =
          ProductionSeq(cut == std::string::npos ? subject : subject.substr(cut + 1));
      if (parent < 0) return kUnknownId;
      table.columns = {kColumnId, kColumnName};
      Query q(this, "SELECT id, name FROM productions WHERE parent = ?1 ORDER BY seq");
      q.Bind(1, parent);
      while (q.Step()) {
        if (!AddChargedRow(&table, {q.Text(0), q.Text(1)}, &budget)) return kOverLimit;
      }
    } else if (kind == kNameListDocuments) {
      const int64_t top = ProductionSeq(subject);
      if (top < 0) return kUnknownId;
      DocumentTreeSource source;
      source.documents = [this](int64_t production, const DocumentTreeSource::Emit& emit) {
        Query q(this, "SELECT name, id FROM documents WHERE production = ?1 ORDER BY seq");
        q.Bind(1, production);
        while (q.Step()) {
          if (!emit(q.Text(0), q.Text(1))) return;
        }
      };
      source.children = [this](int64_t production,
                               std::vector<std::pair<int64_t, std::string>>* children) {
        Query q(this, "SELECT seq, name FROM productions WHERE parent = ?1 ORDER BY seq");
        q.Bind(1, production);
        while (q.Step()) children->emplace_back(q.Int(0), q.Text(1));
      };
      const int listed = ListDocumentTree(top, recursive, source, &table, &budget);
      if (listed == kStorageFailure) throw SqlError("the Production tree is damaged");
      if (listed != kOk) return listed;
    } else {
      Document doc;
      if (!LoadDocument(subject, &doc)) return kUnknownId;
      if (kind == kNameListLocks) {
        std::vector<LockEntry> locks;
        ListLocksLocked(doc.seq, &locks);
        table = LockNameTable(locks);
      } else {
        std::vector<VersionInfo> versions;
        const int listed = ListVersionsLocked(doc.seq, &versions, &budget);
        if (listed != kOk) return listed;
        table = VersionNameTable(versions);
      }
    }
    *out = std::move(table);
    return kOk;
  });
}

// ------------------------------------------------------------ locks

int SqlStorage::AcquireLocks(const std::string& user, const std::vector<LockRequest>& items,
                             int lock_type, LockFailure* failure) {
  if (lock_type != kLockExclusive && lock_type != kLockShared) return kMalformed;
  const bool exclusive = lock_type == kLockExclusive;
  return Transact(SqlMode::kWrite, [&]() -> int {
    // A Document named again in the same request is the same lock: it is
    // worked on once, so that a long list of one name costs no more than
    // the name.
    std::unordered_set<std::string> seen;
    for (size_t i = 0; i < items.size(); ++i) {
      const LockRequest& item = items[i];
      if (item.document_id.empty() || !seen.insert(item.document_id).second) continue;
      Document doc;
      const auto fail = [&](int code) {
        if (failure != nullptr) *failure = LockFailure{i, item.document_id, doc.name};
        return code;
      };
      if (!LoadDocument(item.document_id, &doc)) return fail(kUnknownId);
      const int conflict = LockConflict(Holders(doc.seq), user, exclusive);
      if (conflict == kOk) {
        // Granted at once, flagged or not; a place in the queue is then moot.
        // A weaker lock than before, or the place given up, may let the
        // queue advance.
        Grant(doc.seq, user, exclusive);
        LeaveQueue(doc.seq, user);
        ServeQueue(doc.seq);
        continue;
      }
      if (!item.deferred) return fail(conflict);
      if (IsQueued(doc.seq, user)) return fail(kAlreadyQueued);
      Query(this,
            "INSERT INTO lock_queue(document, user_name, exclusive, rank) VALUES(?1, ?2, ?3, "
            "(SELECT COALESCE(MAX(rank), 0) + 1 FROM lock_queue WHERE document = ?1))")
          .Bind(1, doc.seq)
          .Bind(2, user)
          .Bind(3, int64_t{exclusive ? 1 : 0})
          .Run();
    }
    return kOk;
  });
}

int SqlStorage::ReleaseLocks(const std::string& user, const std::vector<std::string>& ids,
                             LockFailure* failure) {
  return Transact(SqlMode::kWrite, [&]() -> int {
    std::unordered_set<std::string> seen;  // as for AcquireLocks
    for (size_t i = 0; i < ids.size(); ++i) {
      if (ids[i].empty() || !seen.insert(ids[i]).second) continue;
      Document doc;
      if (!LoadDocument(ids[i], &doc)) {
        if (failure != nullptr) *failure = LockFailure{i, ids[i], std::string()};
        return kUnknownId;
      }
      Query(this, "DELETE FROM locks WHERE document = ?1 AND user_name = ?2")
          .Bind(1, doc.seq)
          .Bind(2, user)
          .Run();
      LeaveQueue(doc.seq, user);
      ServeQueue(doc.seq);
    }
    return kOk;
  });
}

// ------------------------------------------------------------ administration

int SqlStorage::ListAllLocks(std::vector<DocumentLocks>* out) {
  return Transact(SqlMode::kRead, [&]() -> int {
    out->clear();
    std::vector<Document> documents;
    {
      Query q(this,
              "SELECT seq, id, production, name FROM documents WHERE seq IN "
              "(SELECT document FROM locks UNION SELECT document FROM lock_queue) ORDER BY seq");
      while (q.Step()) {
        Document doc;
        doc.seq = q.Int(0);
        doc.id = q.Text(1);
        doc.production = q.Int(2);
        doc.name = q.Text(3);
        documents.push_back(std::move(doc));
      }
    }
    ProductionTree tree = Tree();
    for (const Document& doc : documents) {
      DocumentLocks entry;
      entry.document_id = doc.id;
      if (tree.FullPath(doc.production, doc.name, &entry.full_path, nullptr) != kOk) {
        backend_->NoteFailure("the Productions above Document " + doc.id +
                              " do not lead to the root");
        return kStorageFailure;
      }
      ListLocksLocked(doc.seq, &entry.locks);
      out->push_back(std::move(entry));
    }
    return kOk;
  });
}

int SqlStorage::ListVersionContents(std::vector<VersionContent>* out) {
  return Transact(SqlMode::kRead, [&]() -> int {
    out->clear();
    struct Row {
      int64_t production;
      std::string name;
      VersionContent version;
    };
    std::vector<Row> rows;
    {
      Query q(this,
              "SELECT d.production, d.name, v.version, v.content, v.size FROM versions v "
              "JOIN documents d ON d.seq = v.document ORDER BY d.seq, v.version");
      while (q.Step()) {
        rows.push_back(Row{q.Int(0), q.Text(1),
                           VersionContent{std::string(), static_cast<int>(q.Int(2)),
                                          ContentRef{q.Text(3), static_cast<uint64_t>(q.Int(4))}}});
      }
    }
    ProductionTree tree = Tree();
    for (Row& row : rows) {
      if (tree.FullPath(row.production, row.name, &row.version.full_path, nullptr) != kOk) {
        backend_->NoteFailure("the Productions above Document " + row.name +
                              " do not lead to the root");
        return kStorageFailure;
      }
      out->push_back(std::move(row.version));
    }
    return kOk;
  });
}

int SqlStorage::BreakLocks(const std::string& document_id, const std::string& user,
                           std::vector<LockEntry>* broken, std::vector<LockEntry>* granted) {
  return Transact(SqlMode::kWrite, [&]() -> int {
    broken->clear();
    granted->clear();
    Document doc;
    if (!LoadDocument(document_id, &doc)) return kUnknownId;
    std::vector<LockEntry> before;
    ListLocksLocked(doc.seq, &before);
    *broken = LocksToBreak(before, user);
    if (broken->empty()) return kNotCheckedOut;
    for (const LockEntry& lock : *broken) {
      Query(this, "DELETE FROM locks WHERE document = ?1 AND user_name = ?2")
          .Bind(1, doc.seq)
          .Bind(2, lock.user)
          .Run();
    }
    ServeQueue(doc.seq);
    std::vector<LockEntry> after;
    ListLocksLocked(doc.seq, &after);
    *granted = GrantedFromQueue(before, after);
    return kOk;
  });
}

// ------------------------------------------------------------ checks

int SqlStorage::CheckConsistency(std::vector<std::string>* problems) {
  return Transact(SqlMode::kRead, [&]() -> int {
    const auto each = [&](const char* sql, const std::string& what) {
      Query q(this, sql);
      while (q.Step()) problems->push_back(what + q.Text(0));
    };
    backend_->DatabaseProblems(problems);
    for (const ConsistencyQuery& rule : kConsistencyQueries) each(rule.sql, rule.problem);
    std::vector<std::pair<int64_t, Holder>> heads;
    {
      Query q(this, "SELECT document, user_name, exclusive FROM lock_queue WHERE rank = 1");
      while (q.Step()) heads.emplace_back(q.Int(0), Holder{q.Text(1), q.Int(2) != 0});
    }
    for (const auto& [document, head] : heads) {
      if (LockConflict(Holders(document), head.user, head.exclusive) == kOk) {
        problems->push_back("a queue head that could be granted: Document seq " +
                            std::to_string(document));
      }
    }
    Query q(this, "SELECT DISTINCT content, size FROM versions");
    while (q.Step()) {
      const ContentRef ref{q.Text(0), static_cast<uint64_t>(q.Int(1))};
      if (!contents_.Contains(ref)) {
        problems->push_back("content missing or of another size: " + ref.sha256);
      }
    }
    return kOk;
  });
}

// ------------------------------------------------------------ content collection

int SqlStorage::ReferencedContents(std::unordered_set<std::string>* out) {
  return Transact(SqlMode::kRead, [&]() -> int {
    std::unordered_set<std::string> digests;
    Query q(this, "SELECT DISTINCT content FROM versions");
    while (q.Step()) digests.insert(q.Text(0));
    *out = std::move(digests);
    return kOk;
  });
}

int SqlStorage::RemoveUnreferenced(const std::vector<std::string>& digests,
                                   const std::function<bool(const std::string&)>& remove,
                                   std::vector<std::string>* removed) {
  return Transact(SqlMode::kCollect, [&]() -> int {
    for (const std::string& digest : digests) {
      {
        Query q(this, "SELECT 1 FROM versions WHERE content = ?1 LIMIT 1");
        if (q.Bind(1, digest).Step()) continue;
      }
      if (remove(digest)) removed->push_back(digest);
    }
    return kOk;
  });
}

int SqlStorage::ResetTree() {
  return Transact(SqlMode::kWrite, [&]() -> int {
    for (const char* sql :
         {"DELETE FROM lock_queue", "DELETE FROM locks", "DELETE FROM versions",
          "DELETE FROM documents", "DELETE FROM productions WHERE parent IS NOT NULL"}) {
      Query(this, sql).Run();
    }
    return kOk;
  });
}

}  // namespace tw::twserver
