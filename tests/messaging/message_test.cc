// Messages: identifiers, copy-on-write field sets and their accessors,
// list fields, the text dump, field elements, the message table and the
// property-tree form.
#include "messaging/message.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "dialogs/user_interface.h"
#include "messaging/message_table.h"
#include "platform/debug_output.h"
#include "settings/property_tree.h"
#include "tests/support/test_env.h"

namespace tw {
namespace {

// Records the message boxes shown while it is installed.
class RecordingUserInterface : public UserInterface {
 public:
  explicit RecordingUserInterface(std::vector<MessageBoxRequest>* shown) : shown_(shown) {}
  void ShowStatus(void*, const std::string&) override {}
  void HideStatus() override {}
  std::string Name() const override { return "recording"; }

 protected:
  MessageBoxOutcome RunMessageBox(const MessageBoxRequest& request) override {
    shown_->push_back(request);
    return {kIdOk, false};
  }
  DialogResult RunDialog(const DialogRequest& request) override {
    return CancelledDialog(request);
  }

 private:
  std::vector<MessageBoxRequest>* shown_;
};

// Installs a RecordingUserInterface for its lifetime.
class ScopedRecordingUserInterface {
 public:
  ScopedRecordingUserInterface() {
    SetUserInterface(std::make_unique<RecordingUserInterface>(&shown));
  }
  ~ScopedRecordingUserInterface() { SetUserInterface(nullptr); }
  std::vector<MessageBoxRequest> shown;
};

class FailingSink : public ByteSink {
 public:
  bool Write(const void*, size_t) override { return false; }
};

// Hands out `bytes`, then fails.
class StringSource : public ByteSource {
 public:
  explicit StringSource(std::string bytes) : bytes_(std::move(bytes)) {}
  bool Read(void* out, size_t count) override {
    if (count > bytes_.size() - used_) return false;
    std::memcpy(out, bytes_.data() + used_, count);
    used_ += count;
    return true;
  }

 private:
  std::string bytes_;
  size_t used_ = 0;
};

std::vector<uint32_t> Ids(const CRLMSGfieldSet& fields) {
  std::vector<uint32_t> ids;
  fields.GetFieldIds(&ids);
  return ids;
}

std::string Elements(const CRLMSGmessage& message, uint64_t* size) {
  std::string text;
  StringSink sink(&text);
  EXPECT_TRUE(message.WriteFieldElements(&sink, size));
  return text;
}

TEST(MessageId, TextBytesAndEquality) {
  const uint8_t raw[16] = {0x33, 0x22, 0x11, 0x00, 0x55, 0x44, 0x77, 0x66,
                           0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff};
  CRLMSGmessageID a = CRLMSGmessageID::FromBytes(raw);
  EXPECT_EQ("00112233-4455-6677-8899-aabbccddeeff", a.ToText());
  uint8_t out[16] = {};
  a.GetBytes(out);
  EXPECT_EQ(0, std::memcmp(raw, out, 16));

  std::unique_ptr<CRLMSGmessageID> b =
      CRLMSGmessageID::FromText("00112233-4455-6677-8899-AABBCCDDEEFF");
  ASSERT_TRUE(b);
  EXPECT_TRUE(a.Equals(*b));
  CRLMSGmessageID c;
  EXPECT_FALSE(c.Equals(a));
  EXPECT_EQ(36u, c.ToText().size());
  c.Assign(a);
  EXPECT_TRUE(c.Equals(a));
  EXPECT_FALSE(CRLMSGmessageID::FromText("not an identifier"));
}

TEST(Message, NewMessageCarriesItsIdentifierInFieldNine) {
  MessagePtr m = NewMessage();
  EXPECT_EQ(m->GetIdentifierObject().ToText(), m->GetIdentifierText());
  EXPECT_EQ(std::vector<uint32_t>{MESSAGEID}, Ids(*m));
  std::unique_ptr<CRLMSGmessageID> id;
  ASSERT_EQ(kFieldOk, m->GetIdentifier(MESSAGEID, &id));
  EXPECT_TRUE(id->Equals(m->GetIdentifierObject()));
  EXPECT_FALSE(NewMessage()->GetIdentifierObject().Equals(m->GetIdentifierObject()));
  EXPECT_EQ("", m->GetCommand());
  EXPECT_EQ(0, m->GetErrorCode());
  m->SetInt(ERRORCODE, -999);
  EXPECT_EQ(-999, m->GetErrorCode());
}

TEST(Message, CopiesShareTheStoreUntilOneSideWrites) {
  MessagePtr original = NewMessage();
  original->SetString(COMMAND, "DOCUMENTCMD");
  original->SetInt(ParameterId(1), 4);

  MessagePtr copy = CopyMessage(*original);
  EXPECT_TRUE(copy->SharesStoreWith(*original));
  EXPECT_NE(&copy->GetIdentifierObject(), &original->GetIdentifierObject());
  EXPECT_TRUE(copy->GetIdentifierObject().Equals(original->GetIdentifierObject()));

  copy->SetInt(ParameterId(1), 25);
  EXPECT_FALSE(copy->SharesStoreWith(*original));
  int value = 0;
  ASSERT_EQ(kFieldOk, original->GetInt(ParameterId(1), &value));
  EXPECT_EQ(4, value);
  ASSERT_EQ(kFieldOk, copy->GetInt(ParameterId(1), &value));
  EXPECT_EQ(25, value);
  EXPECT_EQ(original->GetIdentifierText(), copy->GetIdentifierText());
  // The clone carries the sequence counter on: a field set in the copy after
  // the split still comes last.
  copy->SetString(ParameterId(2), "x");
  EXPECT_EQ((std::vector<uint32_t>{MESSAGEID, COMMAND, ParameterId(1), ParameterId(2)}),
            Ids(*copy));

  // Removing a field splits as well, and Assign shares again.
  MessagePtr third = CopyMessage(*original);
  third->RemoveField(COMMAND);
  EXPECT_EQ("DOCUMENTCMD", original->GetCommand());
  third->Assign(*copy);
  EXPECT_TRUE(third->SharesStoreWith(*copy));
  EXPECT_EQ(copy->GetIdentifierText(), third->GetIdentifierObject().ToText());
}

TEST(Message, ReferenceCountingAndOwners) {
  CRLMSGmessage* raw = new CRLMSGmessage();
  EXPECT_EQ(2, raw->AddRef());
  MessagePtr owner = MessagePtr::Adopt(raw);  // takes one of the two
  {
    MessagePtr second = owner;
    EXPECT_EQ(4, raw->AddRef());
    EXPECT_EQ(3, raw->Release());
  }
  EXPECT_EQ(1, raw->Release());  // the owner's reference remains
  MessagePtr parent = NewMessage();
  parent->AddChild(owner);
  parent->AddChild(NewMessage());
  EXPECT_EQ(2u, parent->child_count());
  CRLMSGmessage* given = owner.release();
  EXPECT_EQ(1, given->Release());  // the parent's reference remains
}

TEST(FieldSet, SettingAgainMovesAFieldToTheEnd) {
  CRLMSGfieldSet fields;
  fields.SetInt(100, 1);
  fields.SetInt(101, 2);
  fields.SetInt(100, 3);
  EXPECT_EQ((std::vector<uint32_t>{101, 100}), Ids(fields));
  std::vector<uint32_t> ids = {7};
  fields.GetFieldIds(&ids);  // appends
  EXPECT_EQ((std::vector<uint32_t>{7, 101, 100}), ids);
}

TEST(FieldSet, AccessorsReportTheirFailures) {
  CRLMSGfieldSet fields;
  fields.SetString(1, "text");
  fields.SetInt(2, 5);
  fields.SetRawField(3, FIELD_INT, "ab", 2);  // an int of the wrong length
  fields.SetRawField(4, FIELD_BINARY, "\x01\x02", 2);
  fields.SetRawField(5, FIELD_FILELIST, "/a?/b", 5);

  uint32_t type = 0, length = 0;
  int number = 0;
  std::string text;
  std::vector<std::string> texts;
  std::vector<int> numbers;
  std::vector<bool> bits;
  std::unique_ptr<CRLMSGmessageID> id;
  StringSink sink(&text);

  // Null out-parameters and inputs.
  EXPECT_EQ(kFieldNullArgument, fields.GetFieldInfo(1, nullptr, &length));
  EXPECT_EQ(kFieldNullArgument, fields.GetFieldType(1, nullptr));
  EXPECT_EQ(kFieldNullArgument, fields.GetFieldData(1, nullptr));
  EXPECT_EQ(kFieldNullArgument, fields.GetIdentifier(1, nullptr));
  EXPECT_EQ(kFieldNullArgument, fields.GetBoolList(1, nullptr));
  EXPECT_EQ(kFieldNullArgument, fields.GetStringList(1, nullptr, "?"));
  EXPECT_EQ(kFieldNullArgument, fields.GetString(1, nullptr));
  EXPECT_EQ(kFieldNullArgument, fields.GetIntList(1, nullptr));
  EXPECT_EQ(kFieldNullArgument, fields.GetInt(1, nullptr));
  EXPECT_EQ(kFieldNullArgument, fields.GetFieldToSink(1, &type, &length, nullptr));
  EXPECT_EQ(kFieldNullArgument, fields.GetRawField(1, &type, nullptr));
  EXPECT_EQ(kFieldNullArgument, fields.SetIdentifier(9, nullptr));
  EXPECT_EQ(kFieldNullArgument, fields.SetRawField(9, FIELD_BINARY, nullptr, 3));
  EXPECT_EQ(kFieldNullArgument, fields.SetFieldFromSource(9, FIELD_BINARY, 3, nullptr));
  EXPECT_EQ(kFieldNullArgument, fields.GetFieldIds(nullptr));

  // No such field.
  EXPECT_EQ(kFieldMissing, fields.GetFieldInfo(77, &type, &length));
  EXPECT_EQ(kFieldMissing, fields.GetString(77, &text));
  EXPECT_EQ(kFieldMissing, fields.GetInt(77, &number));
  EXPECT_EQ(kFieldMissing, fields.GetIntList(77, &numbers));
  EXPECT_EQ(kFieldMissing, fields.GetIdentifier(77, &id));
  EXPECT_EQ(kFieldMissing, fields.RemoveField(77));

  // Wrong types.
  EXPECT_EQ(kFieldWrongType, fields.GetInt(1, &number));
  EXPECT_EQ(kFieldWrongType, fields.GetInt(3, &number));
  EXPECT_EQ(kFieldWrongType, fields.GetString(2, &text));
  EXPECT_EQ(kFieldWrongType, fields.GetString(4, &text));
  EXPECT_EQ(kFieldWrongType, fields.GetStringList(2, &texts, "?"));
  EXPECT_EQ(kFieldWrongType, fields.GetIntList(4, &numbers));
  EXPECT_EQ(kFieldWrongType, fields.GetIntList(3, &numbers));
  EXPECT_EQ(kFieldWrongType, fields.GetBoolList(5, &bits));
  EXPECT_EQ(kFieldWrongType, fields.GetIdentifier(1, &id));
  fields.SetRawField(6, FIELD_IDENTIFIER, "garbage", 7);
  EXPECT_EQ(kFieldWrongType, fields.GetIdentifier(6, &id));
  EXPECT_FALSE(id);
  EXPECT_TRUE(text.empty() && texts.empty() && numbers.empty() && bits.empty());
  EXPECT_EQ(0, number);

  // A file list reads as a string.
  ASSERT_EQ(kFieldOk, fields.GetString(5, &text));
  EXPECT_EQ("/a?/b", text);
  ASSERT_EQ(kFieldOk, fields.GetFieldInfo(3, &type, &length));
  EXPECT_EQ(FIELD_INT, type);
  EXPECT_EQ(2u, length);

  // Sinks and sources that fail.
  FailingSink failing;
  EXPECT_EQ(kFieldStreamFailed, fields.GetFieldToSink(1, &type, &length, &failing));
  StringSource short_source("abc");
  EXPECT_EQ(kFieldStreamFailed,
            fields.SetFieldFromSource(1, FIELD_STRING, 0xFFFFFFF0u, &short_source));
  ASSERT_EQ(kFieldOk, fields.GetString(1, &text));
  EXPECT_EQ("text", text);
  StringSource source("xyz");
  ASSERT_EQ(kFieldOk, fields.SetFieldFromSource(7, FIELD_BINARY, 3, &source));
  std::string out;
  StringSink out_sink(&out);
  ASSERT_EQ(kFieldOk, fields.GetFieldToSink(7, &type, &length, &out_sink));
  EXPECT_EQ("xyz", out);
  EXPECT_EQ(FIELD_BINARY, type);

  // A handle without a store.
  CRLMSGfieldSet taken(std::move(fields));
  EXPECT_FALSE(fields.HasStore());  // NOLINT(bugprone-use-after-move): the state under test
  EXPECT_EQ(kFieldNoStore, fields.GetString(1, &text));
  EXPECT_EQ(kFieldNoStore, fields.GetInt(2, &number));
  EXPECT_EQ(kFieldNoStore, fields.SetInt(2, 1));
  EXPECT_EQ(kFieldNoStore, fields.RemoveField(2));
  std::vector<uint32_t> ids;
  EXPECT_EQ(kFieldNoStore, fields.GetFieldIds(&ids));
  EXPECT_EQ("", fields.GetListElement(1, 0));
  ASSERT_EQ(kFieldOk, taken.GetString(1, &text));
}

TEST(FieldSet, IntLists) {
  CRLMSGfieldSet fields;
  fields.SetIntList(100, {42});
  uint32_t type = 0;
  fields.GetFieldType(100, &type);
  EXPECT_EQ(FIELD_INT, type);
  std::vector<int> list = {1};
  ASSERT_EQ(kFieldOk, fields.GetIntList(100, &list));
  EXPECT_EQ((std::vector<int>{1, 42}), list);  // appends

  fields.SetIntList(101, {7, -3, 2147483647});
  fields.GetFieldType(101, &type);
  EXPECT_EQ(FIELD_STRING, type);
  std::string text;
  fields.GetString(101, &text);
  EXPECT_EQ("7?-3?2147483647", text);
  list.clear();
  fields.GetIntList(101, &list);
  EXPECT_EQ((std::vector<int>{7, -3, 2147483647}), list);

  // Elements follow atoi, saturating instead of overflowing.
  fields.SetString(102, " 12?-7?42abc?x??99999999999999?-99999999999999?+5");
  list.clear();
  ASSERT_EQ(kFieldOk, fields.GetIntList(102, &list));
  EXPECT_EQ((std::vector<int>{12, -7, 42, 0, 0, INT_MAX, INT_MIN, 5}), list);

  fields.SetIntList(103, {});
  list.clear();
  ASSERT_EQ(kFieldOk, fields.GetIntList(103, &list));
  EXPECT_TRUE(list.empty());
}

TEST(FieldSet, StringAndBoolLists) {
  CRLMSGfieldSet fields;
  fields.SetStringList(100, {"a", "", "c"}, "?");
  std::vector<std::string> texts = {"old"};
  ASSERT_EQ(kFieldOk, fields.GetStringList(100, &texts, "?"));
  EXPECT_EQ((std::vector<std::string>{"a", "", "c"}), texts);  // replaces
  fields.SetStringList(101, {"x", "y"}, "\r");
  ASSERT_EQ(kFieldOk, fields.GetStringList(101, &texts, "\r"));
  EXPECT_EQ((std::vector<std::string>{"x", "y"}), texts);
  fields.SetStringList(102, {}, "?");
  uint32_t type = 0, length = 9;
  fields.GetFieldInfo(102, &type, &length);
  EXPECT_EQ(0u, length);
  ASSERT_EQ(kFieldOk, fields.GetStringList(102, &texts, "?"));
  EXPECT_TRUE(texts.empty());

  fields.SetBoolList(103, {true, false, true});
  std::string text;
  fields.GetString(103, &text);
  EXPECT_EQ("1?0?1", text);
  std::vector<bool> bits;
  ASSERT_EQ(kFieldOk, fields.GetBoolList(103, &bits));
  EXPECT_EQ((std::vector<bool>{true, false, true}), bits);
  fields.SetString(104, "1?yes?01?1");
  ASSERT_EQ(kFieldOk, fields.GetBoolList(104, &bits));
  EXPECT_EQ((std::vector<bool>{true, false, false, true}), bits);
  fields.SetInt(105, 1);
  ASSERT_EQ(kFieldOk, fields.GetBoolList(105, &bits));
  EXPECT_EQ(std::vector<bool>{true}, bits);
  fields.SetInt(105, 2);
  ASSERT_EQ(kFieldOk, fields.GetBoolList(105, &bits));
  EXPECT_EQ(std::vector<bool>{false}, bits);
}

TEST(FieldSet, ListElementIndexRules) {
  CRLMSGfieldSet fields;
  fields.SetString(100, "only");
  fields.SetString(101, "a?b");
  fields.SetInt(102, -8);
  fields.SetIntList(103, {4, 5});
  fields.SetRawField(104, FIELD_BINARY, "a?b", 3);
  EXPECT_EQ("only", fields.GetListElement(100, 0));
  EXPECT_EQ("only", fields.GetListElement(100, 5));
  EXPECT_EQ("only", fields.GetListElement(100, -1));
  EXPECT_EQ("b", fields.GetListElement(101, 1));
  EXPECT_EQ("", fields.GetListElement(101, 5));
  EXPECT_EQ("-8", fields.GetListElement(102, 5));
  EXPECT_EQ("5", fields.GetListElement(103, 1));
  EXPECT_EQ("", fields.GetListElement(103, 2));
  EXPECT_EQ("", fields.GetListElement(104, 0));
  EXPECT_EQ("", fields.GetListElement(999, 0));
}

TEST(Message, DumpShowsPrintableTextAndHexDumpsTheRest) {
  MessagePtr m = NewMessage();
  m->SetString(COMMAND, "LOG");
  m->SetInt(SOURCERECIPIENT, 17);
  m->SetString(ParameterId(1), "plain text ~");
  m->SetString(ParameterId(2), "a\tb");
  m->SetString(ParameterId(3), "caf\xC3\xA9");
  m->SetInt(300, -5);
  m->SetRawField(13, FIELD_BINARY, "\x00\x41", 2);
  m->SetRawField(14, FIELD_FILELIST, "/tmp/x?/tmp/y", 13);
  CRLMSGmessageID other;
  m->SetIdentifier(15, &other);
  std::string dump;
  ASSERT_TRUE(m->Dump(&dump));
  const std::string expected =
      "COMMAND: LOG\n"
      "  Field 9) MESSAGEID: " +
      m->GetIdentifierText() +
      "\n"
      "  Field 1) TYPESTRING:LOG\n"
      "  Field 2) SOURCERECIPIENT: 17\n"
      "  Parameter 1) TYPESTRING:plain text ~\n"
      "  Parameter 2) TYPESTRING:\n" +
      HexDump("a\tb", 3, 80) +
      "\n"
      "  Parameter 3) TYPESTRING:\n" +
      HexDump("caf\xC3\xA9", 5, 80) +
      "\n"
      "  Field 300) TYPEINT:-5\n"
      "  Field 13) TYPEBINARY:\n" +
      HexDump("\x00\x41", 2, 80) +
      "\n"
      "  Field 14) TYPEFILE:/tmp/x?/tmp/y\n"
      "  Field 15) TYPEGUID: " +
      other.ToText() + "\n";
  EXPECT_EQ(expected, dump);
  EXPECT_EQ("61 09 62", HexDump("a\tb", 3, 80).substr(0, 8));
}

TEST(Message, FieldElements) {
  test::TestEnv env;
  const std::string present = env.Path("present.bin");
  test::WriteFile(present, std::string("x\0y", 3));
  test::WriteFile(env.Path("empty.bin"), "");

  MessagePtr m = NewMessage();
  m->RemoveField(MESSAGEID);
  m->SetString(COMMAND, "DOCUMENTCMD");
  m->SetInt(ParameterId(1), -25);
  m->SetString(ParameterId(2), "");
  m->SetRawField(ParameterId(3), FIELD_FILELIST, present.data(), present.size());
  const std::string missing = env.Path("missing.bin");
  m->SetRawField(ParameterId(4), FIELD_FILELIST, missing.data(), missing.size());
  const std::string empty = env.Path("empty.bin");
  m->SetRawField(ParameterId(5), FIELD_FILELIST, empty.data(), empty.size());
  m->SetRawField(ParameterId(6), FIELD_FILELIST, env.root().data(), env.root().size());  // a folder
  m->SetRawField(ParameterId(7), FIELD_BINARY, "<\n>", 3);
  CRLMSGmessageID id;
  m->SetIdentifier(MESSAGEID, &id);

  uint64_t size = 0;
  const std::string text = Elements(*m, &size);
  const std::string expected =
      "\t\t<f n=1 s=11 t=1>DOCUMENTCMD</f>\n"
      "\t\t<f n=100 s=3 t=2>-25</f>\n"
      "\t\t<f n=101 s=0 t=1></f>\n"
      "\t\t<f n=102 s=3 t=4>" +
      std::string("x\0y", 3) +
      "</f>\n"
      "\t\t<f n=103 s=1 t=4>" +
      std::string(1, '\0') +
      "</f>\n"
      "\t\t<f n=104 s=0 t=4></f>\n"
      "\t\t<f n=105 s=1 t=4>" +
      std::string(1, '\0') +
      "</f>\n"
      "\t\t<f n=106 s=3 t=4><\n></f>\n"
      "\t\t<f n=9 s=36 t=3>" +
      id.ToText() + "</f>\n";
  EXPECT_EQ(expected, text);
  EXPECT_EQ(text.size(), size);

  FailingSink failing;
  EXPECT_FALSE(m->WriteFieldElements(&failing, &size));
  EXPECT_EQ(0u, size);
}

TEST(MessageTable, TextListsEntriesInNameOrder) {
  MessagePtr m = NewMessage();
  m->RemoveField(MESSAGEID);
  m->SetString(COMMAND, "LOG");
  CRLMSGmessageTable table("Requests");
  table.SetMessage("b", m);
  table.AddEntry("a");
  table.AddEntry("b");  // keeps its message
  EXPECT_EQ(m.get(), table.GetMessage("b").get());
  EXPECT_FALSE(table.GetMessage("a"));
  EXPECT_EQ(
      "<t>Requests</t>\n"
      "\t<n>a</n>\n"
      "\t<n>b</n>\n"
      "\t\t<m s=25>\t\t<f n=1 s=3 t=1>LOG</f>\n\t\t</m>\n",
      table.ToText());
  EXPECT_TRUE(table.RemoveEntry("b"));
  EXPECT_EQ("<t>Requests</t>\n\t<n>a</n>\n", table.ToText());
}

TEST(Message, PropertyTreeFormRoundTrips) {
  test::TestEnv env;
  MessagePtr m = NewMessage();
  m->SetString(COMMAND, "GETNAMELIST");
  m->SetInt(ParameterId(2), -1);
  m->SetString(ParameterId(1), "line\nbreak/slash=equals!bang&amp");
  m->SetRawField(ParameterId(3), FIELD_FILELIST, "/a?/b", 5);
  CRLMSGmessageID other;
  m->SetIdentifier(300, &other);
  m->SetInt(ERRORCODE, 0);

  PropertyTree tree;
  tree.SetValue("Other", "kept");
  ASSERT_TRUE(m->MessageToXML(&tree));
  std::string value;
  ASSERT_TRUE(tree.GetValue("L/N", &value));
  EXPECT_EQ("GETNAMELIST", value);
  ASSERT_TRUE(tree.GetValue("L/T", &value));
  EXPECT_EQ(m->GetIdentifierText(), value);
  ASSERT_TRUE(tree.GetValue("L/F/101/T", &value));
  EXPECT_EQ("2", value);
  ASSERT_TRUE(tree.GetValue("Other", &value));

  // Through the text form, into a fresh message.
  PropertyTree carried;
  ASSERT_TRUE(carried.Parse(tree.ToText()));
  MessagePtr back = NewMessage();
  ASSERT_TRUE(back->XMLToMessage(carried));
  EXPECT_TRUE(back->GetIdentifierObject().Equals(m->GetIdentifierObject()));
  EXPECT_EQ(m->GetIdentifierText(), back->GetIdentifierText());
  ASSERT_EQ(Ids(*m), Ids(*back));
  for (uint32_t id : Ids(*m)) {
    uint32_t type_m = 0, type_back = 0;
    std::string bytes_m, bytes_back;
    m->GetRawField(id, &type_m, &bytes_m);
    back->GetRawField(id, &type_back, &bytes_back);
    EXPECT_EQ(bytes_m, bytes_back) << id;
    // A file list comes back as an ordinary string field.
    EXPECT_EQ(type_m == FIELD_FILELIST ? FIELD_STRING : type_m, type_back) << id;
  }
}

TEST(Message, BinaryFieldsStopTheTreeForm) {
  test::TestEnv env;
  ScopedRecordingUserInterface ui;
  const std::vector<MessageBoxRequest>& shown = ui.shown;

  MessagePtr m = NewMessage();
  m->SetString(COMMAND, "X");
  m->SetRawField(ParameterId(1), FIELD_BINARY, "\x01", 1);
  PropertyTree tree;
  EXPECT_FALSE(m->MessageToXML(&tree));
  EXPECT_EQ(nullptr, tree.Find("L"));
  ASSERT_EQ(1u, shown.size());
  EXPECT_EQ("MessageToXML", shown[0].title);
  EXPECT_EQ("Binary data type is unsupported at this time.", shown[0].text);
  EXPECT_EQ(MessageBoxButtons::kOk, shown[0].buttons);
  EXPECT_EQ(MessageBoxIcon::kError, shown[0].icon);

  MessagePtr target = NewMessage();
  target->SetString(COMMAND, "BEFORE");
  const std::string before_id = target->GetIdentifierText();
  PropertyTree binary;
  binary.SetValue("L/N", "AFTER");
  binary.SetValue("L/T", m->GetIdentifierText());
  binary.SetValue("L/F/100/T", "2");
  binary.SetValue("L/F/100/V", "1");
  binary.SetValue("L/F/101/T", "4");
  binary.SetValue("L/F/101/V", "01");
  EXPECT_FALSE(target->XMLToMessage(binary));
  EXPECT_EQ(2u, shown.size());
  EXPECT_EQ("BEFORE", target->GetCommand());
  EXPECT_EQ(before_id, target->GetIdentifierObject().ToText());
  uint32_t type = 0;
  EXPECT_EQ(kFieldMissing, target->GetFieldType(100, &type));
}

TEST(Message, TreesThatAreNoMessageAreRefused) {
  MessagePtr target = NewMessage();
  const std::string id = target->GetIdentifierText();
  auto base = [&] {
    PropertyTree t;
    t.SetValue("L/N", "CMD");
    t.SetValue("L/T", CRLMSGmessageID().ToText());
    return t;
  };
  std::vector<PropertyTree> bad;
  bad.push_back(PropertyTree());
  {
    PropertyTree t = base();
    t.SetValue("L/T", "nonsense");
    bad.push_back(std::move(t));
  }
  for (const char* field_id : {"x", "-1", "4294967296", ""}) {
    PropertyTree t = base();
    t.root().AddChild("L").AddChild("F").AddChild(field_id).AddChild("T").SetValue("1");
    t.Find("L/F")->FindChild(field_id)->AddChild("V").SetValue("v");
    bad.push_back(std::move(t));
  }
  for (const char* type : {"0", "6", "two", ""}) {
    PropertyTree t = base();
    t.SetValue("L/F/100/T", type);
    t.SetValue("L/F/100/V", "1");
    bad.push_back(std::move(t));
  }
  {
    PropertyTree t = base();
    t.SetValue("L/F/100/T", "1");  // no value
    bad.push_back(std::move(t));
  }
  {
    PropertyTree t = base();
    t.SetValue("L/F/100/T", "3");
    t.SetValue("L/F/100/V", "not an identifier");
    bad.push_back(std::move(t));
  }
  for (const PropertyTree& t : bad) {
    EXPECT_FALSE(target->XMLToMessage(t)) << t.ToText();
    EXPECT_EQ(std::vector<uint32_t>{MESSAGEID}, Ids(*target)) << t.ToText();
    EXPECT_EQ(id, target->GetIdentifierObject().ToText());
  }
  PropertyTree good = base();
  good.SetValue("L/F/4294967295/T", "2");
  good.SetValue("L/F/4294967295/V", "99999999999");
  ASSERT_TRUE(target->XMLToMessage(good));
  int value = 0;
  ASSERT_EQ(kFieldOk, target->GetInt(4294967295u, &value));
  EXPECT_EQ(INT_MAX, value);
  EXPECT_EQ("CMD", target->GetCommand());
}

}  // namespace
}  // namespace tw
