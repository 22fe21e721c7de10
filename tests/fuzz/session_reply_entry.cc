#include "tests/fuzz/session_reply_entry.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "messaging/message_reader.h"
#include "messaging/stream_format.h"
#include "platform/list_text.h"
#include "protocol/document_command.h"
#include "session/client_session.h"
#include "session/document_requests.h"
#include "session/received_files.h"
#include "tests/fuzz/message_reader_entry.h"

namespace tw::fuzz {
namespace {

namespace fs = std::filesystem;

const char* const kUserFiles[] = {"victim.txt", "CRLab12cd"};
const char* const kTargets[] = {"work/a.txt", "work/b.txt"};

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteAll(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

// The sandbox beside the scratch folder, made once per scratch folder.
const std::string& Sandbox() {
  static std::string sandbox;
  static std::string made_for;
  const char* scratch = std::getenv("TMPDIR");
  if (scratch == nullptr) std::abort();
  if (made_for != scratch) {
    made_for = scratch;
    sandbox = fs::path(scratch).parent_path().string() + "/sandbox";
    std::error_code ignored;
    fs::remove_all(sandbox, ignored);
    fs::create_directories(sandbox + "/work");
    for (const char* name : kUserFiles) WriteAll(sandbox + "/" + name, name);
  }
  if (::chdir(sandbox.c_str()) != 0) std::abort();
  return sandbox;
}

// Everything in the sandbox, relative names.
std::set<std::string> Listing(const std::string& root) {
  std::set<std::string> names;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    names.insert(fs::relative(it->path(), root).string());
  }
  return names;
}

void Handle(CRLMSGmessage* message, const std::string& sandbox) {
  ReceivedFiles received(message);
  std::vector<LocalFile> files;
  for (const char* target : kTargets) {
    const std::string path = sandbox + "/" + target;
    files.push_back({path, sandbox + "/work", fs::path(path).filename().string()});
  }
  // The Documents asked for: those the reply names, so that a reply that
  // answers its request goes on to be placed; one that names fewer or more
  // is refused on its count.
  std::string text;
  message->GetString(fetch::kReplyDocumentIds, &text);
  std::vector<std::string> ids = SplitList(text, kListSeparator);
  ids.resize(files.size());
  std::vector<bool> placed;
  PlaceFetchedFiles(*message, &received, ids, files, &placed);
}

}  // namespace

int FuzzSessionReply(const uint8_t* data, size_t size) {
  static const uint32_t kKinds[] = {kChunkObject,     kChunkObjectFirst, kChunkObjectMiddle,
                                    kChunkObjectLast, kChunkFileWhole,   kChunkFileFirst,
                                    kChunkFileMiddle, kChunkFileLast,    kChunkFileFailed};
  // A private scratch folder unless the replay test chose one: the checks
  // below read the folder the reader writes to, whatever TMPDIR said.
  PrepareEnvironment(std::string());
  const std::string sandbox = Sandbox();
  {
    ChunkQueue queue;
    CULMSGmessageReader reader(&queue, MessageReaderOptions());
    size_t at = 0;
    while (at + 3 <= size) {
      const uint8_t selector = data[at] % 10;
      size_t length = (size_t{data[at + 1]} << 8) | data[at + 2];
      at += 3;
      if (length > size - at) length = size - at;
      const uint8_t byte = 0;
      if (selector == 9) {
        queue.ReportFramingFailure();
      } else {
        queue.Push(kKinds[selector], std::string(reinterpret_cast<const char*>(data + at), length));
      }
      at += length;
      for (bool first = true;; first = false) {
        MessagePtr message;
        try {
          message = reader.CanExtractMessageObject(first && selector == 9 ? &byte : nullptr,
                                                   first && selector == 9 ? 1 : 0);
        } catch (const std::exception&) {
          reader.Reset();
          break;
        }
        if (!message) {
          if (reader.last_status() == CULMSGmessageReader::Status::kObjectDropped) continue;
          break;
        }
        Handle(message.get(), sandbox);
      }
    }
  }
  CheckNoScratchFiles();
  for (const char* name : kUserFiles) {
    if (ReadAll(sandbox + "/" + name) != name) std::abort();
  }
  std::set<std::string> allowed = {"work"};
  for (const char* name : kUserFiles) allowed.insert(name);
  for (const char* target : kTargets) allowed.insert(target);
  for (const std::string& name : Listing(sandbox)) {
    if (allowed.count(name) == 0) std::abort();
  }
  for (const char* target : kTargets) ::unlink((sandbox + "/" + target).c_str());
  return 0;
}

}  // namespace tw::fuzz
