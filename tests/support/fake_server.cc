#include "tests/support/fake_server.h"

#include <filesystem>
#include <utility>

#include "messaging/field_ids.h"
#include "platform/list_text.h"
#include "protocol/document_command.h"
#include "protocol/name_list_command.h"
#include "protocol/name_table.h"
#include "protocol/production_command.h"
#include "protocol/server_errors.h"
#include "tests/support/test_env.h"

namespace tw::test {

namespace {

std::vector<std::string> ListOf(const CRLMSGmessage& message, uint32_t field) {
  std::string text;
  message.GetString(field, &text);
  return SplitList(text, kListSeparator);
}

}  // namespace

FakeServer::FakeServer(std::string folder)
    : folder_(std::move(folder)),
      peer_([this](LoopbackPeer::Connection& c, MessagePtr m) { Handle(c, std::move(m)); }) {
  std::filesystem::create_directories(folder_);
}

std::string FakeServer::AddDocument(const std::string& name, const std::string& contents) {
  std::lock_guard<std::mutex> lock(mutex_);
  Document document;
  document.name = name;
  document.id = "D" + std::to_string(documents_.size() + 1);
  document.content_path = folder_ + "/" + document.id;
  WriteFile(document.content_path, contents);
  documents_.push_back(document);
  return document.id;
}

void FakeServer::SetFetchHook(FetchHook hook) {
  std::lock_guard<std::mutex> lock(mutex_);
  hook_ = std::move(hook);
}

void FakeServer::Handle(LoopbackPeer::Connection& connection, MessagePtr request) {
  MessagePtr reply = MakeReply(*request);
  const std::string command = request->GetCommand();
  int sub = 0;
  request->GetInt(kFieldSubCommand, &sub);
  if (command == kProductionCommand && sub == lookup_production::kSubCommand &&
      NamesDocument(*request)) {
    // A Document is no Production, as the real server says of a path that
    // ends in one.
    reply->SetInt(ERRORCODE, kServerPathNotFound);
  } else if (AnswerLogon(command, *request, reply.get())) {
    // answered
  } else if (command == kProductionCommand && sub == document_info::kSubCommand) {
    AnswerDocumentInfo(*request, reply.get());
  } else if (command == name_list::kCommand) {
    AnswerNameList(reply.get());
  } else if (command == kDocumentCommand && sub == fetch::kSubCommand) {
    if (!AnswerFetch(connection, *request, reply.get())) return;
  }
  // Anything else succeeds without a word.
  connection.Send(*reply);
}

bool FakeServer::NamesDocument(const CRLMSGmessage& request) {
  std::string path;
  request.GetString(lookup_production::kFieldPath, &path);
  const std::string last =
      path.substr(path.rfind('\\') == std::string::npos ? 0 : path.rfind('\\') + 1);
  std::lock_guard<std::mutex> lock(mutex_);
  for (const Document& document : documents_) {
    if (document.name == last) return true;
  }
  return false;
}

void FakeServer::AnswerDocumentInfo(const CRLMSGmessage& request, CRLMSGmessage* reply) {
  std::vector<std::string> ids, versions, flags, stamps;
  std::lock_guard<std::mutex> lock(mutex_);
  for (const std::string& name : ListOf(request, document_info::kFieldNames)) {
    const Document* found = nullptr;
    for (const Document& document : documents_) {
      if (document.name == name) found = &document;
    }
    ids.push_back(found != nullptr ? found->id : "");
    versions.push_back(found != nullptr ? "1" : "0");
    flags.push_back(found != nullptr ? std::to_string(kDocumentControlled) : "0");
    stamps.push_back(found != nullptr ? kFakeStamp : "");
  }
  const std::string separator = document_info::kReplySeparator;
  reply->SetString(document_info::kReplyDocumentIds, JoinList(ids, separator));
  reply->SetString(document_info::kReplyVersions, JoinList(versions, separator));
  reply->SetString(document_info::kReplyFlags, JoinList(flags, separator));
  reply->SetString(document_info::kReplyStamps, JoinList(stamps, separator));
}

void FakeServer::AnswerNameList(CRLMSGmessage* reply) {
  NameTable table;
  std::lock_guard<std::mutex> lock(mutex_);
  for (const Document& document : documents_) {
    table.AddRow({{kColumnName, document.name}, {kColumnId, document.id}});
  }
  reply->SetString(name_list::kReplyTable, table.ToText());
}

bool FakeServer::AnswerFetch(LoopbackPeer::Connection& connection, const CRLMSGmessage& request,
                             CRLMSGmessage* reply) {
  ++fetches_;
  const std::vector<std::string> ids = ListOf(request, fetch::kFieldDocumentIds);
  std::vector<std::string> names, stamps, paths, contents;
  FetchHook hook;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    hook = hook_;
    for (const std::string& id : ids) {
      const Document* found = nullptr;
      for (const Document& document : documents_) {
        if (document.id == id) found = &document;
      }
      if (found == nullptr) {
        reply->SetInt(ERRORCODE, kServerUnknownId);
        return true;
      }
      names.push_back(found->name);
      stamps.push_back(kFakeStamp);
      paths.push_back("\\" + found->name);
      contents.push_back(found->content_path);
    }
  }
  reply->SetString(fetch::kReplyDocumentIds, JoinList(ids, kListSeparator));
  reply->SetIntList(fetch::kReplyVersions, std::vector<int>(ids.size(), 1));
  reply->SetString(fetch::kReplyNames, JoinList(names, kListSeparator));
  reply->SetString(fetch::kReplyStamps, JoinList(stamps, kListSeparator));
  reply->SetString(fetch::kReplyFullPaths, JoinList(paths, kListSeparator));
  reply->SetIntList(fetch::kReplyResults, std::vector<int>(ids.size(), 0));
  const std::string files = JoinList(contents, kListSeparator);
  reply->SetRawField(fetch::kReplyFiles, FIELD_FILELIST, files.data(), files.size());
  reply->SetInt(fetch::kReplyFileCount, static_cast<int>(ids.size()));
  return !hook || hook(connection, request, reply);
}

}  // namespace tw::test
