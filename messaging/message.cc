#include "messaging/message.h"

#include <climits>
#include <cstring>
#include <vector>

#include "platform/debug_output.h"
#include "platform/decimal.h"
#include "platform/hex.h"
#include "platform/message_box.h"
#include "platform/system_factory.h"
#include "settings/property_tree.h"

namespace tw {

namespace {

constexpr int kDumpWidth = 80;
constexpr uint32_t kFileBlock = 64 * 1024;
// Others may read a file while its content is dumped (kept for the Windows
// layer).
constexpr char kTreeRoot[] = "L";
constexpr char kTreeCommand[] = "L/N";
constexpr char kTreeIdentifier[] = "L/T";
constexpr char kTreeFields[] = "L/F";
constexpr char kTreeFieldsName[] = "F";
constexpr char kTreeType[] = "T";
constexpr char kTreeValue[] = "V";

void ReportBinaryUnsupported() {
  ShowMessageBox(nullptr, "MessageToXML", "Binary data type is unsupported at this time.",
                 MessageBoxButtons::kOk, MessageBoxIcon::kError);
}

// The dump's label of an int field.
const char* IntLabel(uint32_t id) {
  switch (id) {
    case TARGETRECIPIENT:
      return "TARGETRECIPIENT: ";
    case SOURCERECIPIENT:
      return "SOURCERECIPIENT: ";
    case PROXYFORRECIPIENT:
      return "PROXYFORRECIPIENT: ";
    case ERRORCODE:
      return "ERRORCODE: ";
    case BROADCAST:
      return "BROADCAST: ";
    case PROXYFORPROXY:
      return "PROXYFORPROXY: ";
    case ENCRYPTIONTYPE:
      return "ENCRYPTIONTYPE: ";
    case MESSAGEID:
      return "MESSAGEID: ";
    case BATCHCOUNT:
      return "BATCHCOUNT: ";
    case USERDATA:
      return "USERDATA: ";
    default:
      return "TYPEINT:";
  }
}

// Text the dump shows as it is: printable ASCII only. Anything else (a line
// break that would forge a record, the zero byte that ends one in the
// message log, a terminal escape) is hex-dumped or escaped.
bool IsDumpable(const std::string& text) {
  for (char c : text) {
    if (c < 0x20 || c > 0x7e) return false;
  }
  return true;
}

// A text of the dump on its line: printable ASCII as it is, a backslash and
// every other byte as "\xNN".
std::string EscapeDumpText(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte <= 0x7e && byte != '\\') {
      out += c;
    } else {
      out += "\\x";
      AppendHexByte(&out, byte);
    }
  }
  return out;
}

// A decimal number of digits only, within 32 bits.
bool ParseFieldNumber(const std::string& text, uint32_t* out) {
  uint64_t value = 0;
  if (!ParseDigits(text, UINT32_MAX, &value)) return false;
  *out = static_cast<uint32_t>(value);
  return true;
}

// Counts what passes through to the sink it wraps.
class CountingSink : public ByteSink {
 public:
  explicit CountingSink(ByteSink* sink) : sink_(sink) {}
  bool Write(const void* bytes, size_t count) override {
    if (count == 0) return true;
    if (!sink_->Write(bytes, count)) return false;
    written_ += count;
    return true;
  }
  bool Write(const std::string& text) { return Write(text.data(), text.size()); }
  uint64_t written() const { return written_; }

 private:
  ByteSink* const sink_;
  uint64_t written_ = 0;
};

// A regular file opened for reading through the system factory; anything
// else (a missing file, a folder, a pipe or device that might never end)
// does not open.
class FileReader {
 public:
  explicit FileReader(const std::string& path) : file_(GetSystemFactory().NewFile()) {
    if (!file_->Open(path, FileObject::kRead, FileObject::kShareRead, FileObject::kOpenExisting,
                     0)) {
      file_.reset();
      return;
    }
    const int64_t size = file_->Size();
    if (size < 0) {
      file_.reset();
      return;
    }
    size_ = static_cast<uint64_t>(size);
  }
  FileReader(const FileReader&) = delete;
  FileReader& operator=(const FileReader&) = delete;

  bool is_open() const { return file_ != nullptr; }
  uint64_t size() const { return size_; }

  // Copies exactly size() bytes to `sink`. A file that shrinks meanwhile (or
  // fails to read) is made up with zero bytes and one that grows is cut, so
  // that the count announced before the content stays true.
  bool CopyTo(CountingSink* sink) {
    std::vector<char> buffer(kFileBlock);
    char* const block = buffer.data();
    uint64_t left = size_;
    bool at_end = false;
    while (left > 0) {
      const uint32_t want = left < kFileBlock ? static_cast<uint32_t>(left) : kFileBlock;
      uint32_t got = 0;
      if (!at_end && (!file_->Read(block, want, &got) || got == 0)) at_end = true;
      if (at_end) {
        std::memset(block, 0, want);
        got = want;
      }
      if (!sink->Write(block, got)) return false;
      left -= got;
    }
    return true;
  }

 private:
  std::unique_ptr<FileObject> file_;
  uint64_t size_ = 0;
};

bool WriteElementHead(CountingSink* sink, uint32_t id, uint64_t size, uint32_t type) {
  return sink->Write("\t\t<f n=" + std::to_string(id) + " s=" + std::to_string(size) +
                     " t=" + std::to_string(type) + ">");
}

}  // namespace

CRLMSGmessage::CRLMSGmessage() : identifier_(std::make_unique<CRLMSGmessageID>()) {
  SetIdentifier(MESSAGEID, identifier_.get());
}

CRLMSGmessage::CRLMSGmessage(const CRLMSGmessageID& identifier)
    : identifier_(std::make_unique<CRLMSGmessageID>(identifier)) {
  SetIdentifier(MESSAGEID, identifier_.get());
}

CRLMSGmessage::CRLMSGmessage(const CRLMSGmessage& other)
    : CRLMSGfieldSet(other),
      identifier_(std::make_unique<CRLMSGmessageID>(*other.identifier_)),
      scratch_files_(other.scratch_files_) {}

CRLMSGmessage::~CRLMSGmessage() = default;

int CRLMSGmessage::AddRef() {
  return ++references_;
}

int CRLMSGmessage::Release() {
  const int left = --references_;
  if (left == 0) delete this;
  return left;
}

size_t CRLMSGmessage::child_count() const {
  return children_.size();
}

bool CRLMSGmessage::WriteFieldElements(ByteSink* out, uint64_t* size) const {
  if (out == nullptr || size == nullptr) return false;
  CountingSink sink(out);
  std::vector<uint32_t> ids;
  GetFieldIds(&ids);
  for (uint32_t id : ids) {
    uint32_t type = 0;
    std::string bytes;
    if (GetRawField(id, &type, &bytes) != kFieldOk) continue;
    bool ok;
    if (type == FIELD_FILELIST) {
      FileReader file(bytes);
      if (file.is_open()) {
        ok = WriteElementHead(&sink, id, file.size(), FIELD_BINARY) &&
             (file.size() == 0 || file.CopyTo(&sink));
      } else {
        ok = WriteElementHead(&sink, id, 1, FIELD_BINARY) && sink.Write("", 1);
      }
    } else {
      int number;
      if (type == FIELD_INT && GetInt(id, &number) == kFieldOk) bytes = std::to_string(number);
      // Strings, identifiers, binary data and types unknown here are written
      // as their bytes.
      ok = WriteElementHead(&sink, id, bytes.size(), type) && sink.Write(bytes);
    }
    if (!ok || !sink.Write("</f>\n")) {
      *size = sink.written();
      return false;
    }
  }
  *size = sink.written();
  return true;
}

void CRLMSGmessage::Assign(const CRLMSGmessage& other) {
  if (&other == this) return;
  identifier_ = std::make_unique<CRLMSGmessageID>(*other.identifier_);
  scratch_files_ = other.scratch_files_;
  CRLMSGfieldSet::operator=(other);
}

void CRLMSGmessage::AddChild(MessagePtr child) {
  if (child) children_.push_back(std::move(child));
}

const CRLMSGmessageID& CRLMSGmessage::GetIdentifierObject() const {
  return *identifier_;
}

void CRLMSGmessage::SetIdentifierObject(const CRLMSGmessageID& identifier) {
  identifier_ = std::make_unique<CRLMSGmessageID>(identifier);
  SetIdentifier(MESSAGEID, identifier_.get());
}

bool CRLMSGmessage::MessageToXML(PropertyTree* tree) const {
  if (tree == nullptr) return false;
  std::vector<uint32_t> ids;
  GetFieldIds(&ids);
  // Check every field before touching the tree, so that a refusal leaves it
  // as it was.
  for (uint32_t id : ids) {
    uint32_t type = 0;
    GetFieldType(id, &type);
    if (type == FIELD_BINARY) {
      ReportBinaryUnsupported();
      return false;
    }
    if (type < FIELD_STRING || type > FIELD_FILELIST) return false;
  }
  tree->Remove(kTreeRoot);
  tree->SetValue(kTreeCommand, GetCommand());
  tree->SetValue(kTreeIdentifier, GetIdentifierText());
  PropertyTree::Node& fields = tree->Find(kTreeRoot)->AddChild(kTreeFieldsName);
  for (uint32_t id : ids) {
    uint32_t type = 0;
    std::string value;
    GetRawField(id, &type, &value);
    int number;
    if (type == FIELD_INT) value = std::to_string(GetInt(id, &number) == kFieldOk ? number : 0);
    PropertyTree::Node& entry = fields.AddChild(std::to_string(id));
    entry.AddChild(kTreeType).SetValue(std::to_string(type));
    entry.AddChild(kTreeValue).SetValue(std::move(value));
  }
  return true;
}

bool CRLMSGmessage::XMLToMessage(const PropertyTree& tree) {
  std::string command;
  std::string identifier_text;
  if (!tree.GetValue(kTreeCommand, &command) || !tree.GetValue(kTreeIdentifier, &identifier_text)) {
    return false;
  }
  std::unique_ptr<CRLMSGmessageID> identifier = CRLMSGmessageID::FromText(identifier_text);
  if (!identifier) return false;

  // Build on a copy of this field set; the message takes it only when every
  // entry has been understood.
  CRLMSGfieldSet result(*this);
  result.SetString(COMMAND, command);
  result.SetIdentifier(MESSAGEID, identifier.get());
  if (const PropertyTree::Node* fields = tree.Find(kTreeFields)) {
    for (size_t i = 0; i < fields->child_count(); ++i) {
      const PropertyTree::Node& entry = fields->child(i);
      const PropertyTree::Node* type_node = entry.FindChild(kTreeType);
      const PropertyTree::Node* value_node = entry.FindChild(kTreeValue);
      uint32_t id;
      uint32_t type;
      if (!ParseFieldNumber(entry.name(), &id) || type_node == nullptr || value_node == nullptr ||
          !value_node->has_value() || !ParseFieldNumber(type_node->value(), &type)) {
        return false;
      }
      const std::string& value = value_node->value();
      switch (type) {
        case FIELD_STRING:
        case FIELD_FILELIST:
          result.SetString(id, value);
          break;
        case FIELD_INT:
          result.SetInt(id, DecimalToInt(value));
          break;
        case FIELD_IDENTIFIER: {
          std::unique_ptr<CRLMSGmessageID> field_id = CRLMSGmessageID::FromText(value);
          if (!field_id) return false;
          result.SetIdentifier(id, field_id.get());
          break;
        }
        case FIELD_BINARY:
          ReportBinaryUnsupported();
          return false;
        default:
          return false;
      }
    }
  }
  CRLMSGfieldSet::operator=(result);
  identifier_ = std::move(identifier);
  return true;
}

bool CRLMSGmessage::Dump(std::string* text) const {
  if (text == nullptr) return false;
  std::string out = "COMMAND: " + EscapeDumpText(GetCommand()) + "\n";
  std::vector<uint32_t> ids;
  GetFieldIds(&ids);
  for (uint32_t id : ids) {
    out += "  ";
    if (id >= kFirstParameterId && id <= kLastParameterId) {
      out += "Parameter " + std::to_string(id - 99) + ") ";
    } else {
      out += "Field " + std::to_string(id) + ") ";
    }
    uint32_t type = 0;
    std::string bytes;
    GetRawField(id, &type, &bytes);
    switch (type) {
      case FIELD_STRING:
        out += "TYPESTRING:";
        out += IsDumpable(bytes) ? bytes : "\n" + HexDump(bytes.data(), bytes.size(), kDumpWidth);
        break;
      case FIELD_INT: {
        int value = 0;
        GetInt(id, &value);
        out += IntLabel(id) + std::to_string(value);
        break;
      }
      case FIELD_IDENTIFIER:
        out += id == MESSAGEID ? "MESSAGEID: " : "TYPEGUID: ";
        out += EscapeDumpText(bytes);
        break;
      case FIELD_BINARY:
        out += "TYPEBINARY:\n" + HexDump(bytes.data(), bytes.size(), kDumpWidth);
        break;
      case FIELD_FILELIST:
        out += "TYPEFILE:" + EscapeDumpText(bytes);
        break;
      default:
        break;
    }
    out += "\n";
  }
  *text = std::move(out);
  return true;
}

std::string CRLMSGmessage::GetIdentifierText() const {
  uint32_t type = 0;
  std::string text;
  if (GetRawField(MESSAGEID, &type, &text) != kFieldOk || type != FIELD_IDENTIFIER) return "";
  return text;
}

std::string CRLMSGmessage::GetCommand() const {
  std::string command;
  GetString(COMMAND, &command);
  return command;
}

int CRLMSGmessage::GetErrorCode() const {
  int code = 0;
  GetInt(ERRORCODE, &code);
  return code;
}

MessagePtr NewMessage() {
  return MessagePtr::Adopt(new CRLMSGmessage());
}

MessagePtr NewMessage(const CRLMSGmessageID& identifier) {
  return MessagePtr::Adopt(new CRLMSGmessage(identifier));
}

MessagePtr CopyMessage(const CRLMSGmessage& message) {
  return MessagePtr::Adopt(new CRLMSGmessage(message));
}

}  // namespace tw
