// Messages: identifiers, copy-on-write field sets and their accessors, list
// fields, the text dump, field elements, the message table and the
// property-tree form.
#include "messaging/message.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "messaging/message_table.h"
#include "platform/debug_output.h"
#include "settings/property_tree.h"
#include "tests/support/test_env.h"
#include "tests/support/ui_record_reader.h"
#include "ui/user_interface.h"

namespace tw {
namespace {

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

TEST(MessageId, TextAndBytes) {
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
  EXPECT_FALSE(CRLMSGmessageID::FromText("not an identifier"));
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
  // The clone carries the sequence counter on: a field set in the copy after
  // the split still comes last, and setting a field again moves it last.
  copy->SetString(ParameterId(2), "x");
  copy->SetString(COMMAND, "AGAIN");
  EXPECT_EQ((std::vector<uint32_t>{MESSAGEID, ParameterId(1), ParameterId(2), COMMAND}),
            Ids(*copy));

  // Removing a field splits as well, and Assign shares again.
  MessagePtr third = CopyMessage(*original);
  third->RemoveField(COMMAND);
  EXPECT_EQ("DOCUMENTCMD", original->GetCommand());
  third->Assign(*copy);
  EXPECT_TRUE(third->SharesStoreWith(*copy));
  EXPECT_EQ(copy->GetIdentifierText(), third->GetIdentifierObject().ToText());
}

TEST(FieldSet, AccessorsReportTheirFailures) {
  CRLMSGfieldSet fields;
  fields.SetString(1, "text");
  fields.SetRawField(3, FIELD_INT, "ab", 2);  // an int of the wrong length
  fields.SetRawField(6, FIELD_IDENTIFIER, "garbage", 7);

  uint32_t type = 0, length = 0;
  int number = 0;
  std::string text;
  std::unique_ptr<CRLMSGmessageID> id;

  EXPECT_EQ(kFieldNullArgument, fields.GetString(1, nullptr));
  EXPECT_EQ(kFieldNullArgument, fields.SetRawField(9, FIELD_BINARY, nullptr, 3));
  EXPECT_EQ(kFieldMissing, fields.GetString(77, &text));
  EXPECT_EQ(kFieldMissing, fields.RemoveField(77));
  EXPECT_EQ(kFieldWrongType, fields.GetInt(1, &number));
  EXPECT_EQ(kFieldWrongType, fields.GetInt(3, &number));
  EXPECT_EQ(kFieldWrongType, fields.GetIdentifier(6, &id));
  EXPECT_FALSE(id);
  EXPECT_EQ(0, number);
  EXPECT_TRUE(text.empty());

  // A failing sink or a short source reports it and leaves the field alone.
  FailingSink failing;
  EXPECT_EQ(kFieldStreamFailed, fields.GetFieldToSink(1, &type, &length, &failing));
  StringSource short_source("abc");
  EXPECT_EQ(kFieldStreamFailed,
            fields.SetFieldFromSource(1, FIELD_STRING, 0xFFFFFFF0u, &short_source));
  ASSERT_EQ(kFieldOk, fields.GetString(1, &text));
  EXPECT_EQ("text", text);

  // A handle without a store.
  CRLMSGfieldSet taken(std::move(fields));
  EXPECT_FALSE(fields.HasStore());  // NOLINT(bugprone-use-after-move): the state under test
  EXPECT_EQ(kFieldNoStore, fields.GetString(1, &text));
  EXPECT_EQ(kFieldNoStore, fields.SetInt(2, 1));
  EXPECT_EQ("", fields.GetListElement(1, 0));
  ASSERT_EQ(kFieldOk, taken.GetString(1, &text));
}

TEST(FieldSet, ListFields) {
  CRLMSGfieldSet fields;
  // One element is stored as a plain int, more as "?"-joined text.
  fields.SetIntList(100, {42});
  uint32_t type = 0;
  fields.GetFieldType(100, &type);
  EXPECT_EQ(FIELD_INT, type);
  fields.SetIntList(101, {7, -3, 2147483647});
  std::string text;
  fields.GetString(101, &text);
  EXPECT_EQ("7?-3?2147483647", text);
  std::vector<int> list = {1};
  ASSERT_EQ(kFieldOk, fields.GetIntList(101, &list));
  EXPECT_EQ((std::vector<int>{1, 7, -3, 2147483647}), list);  // appends

  // Elements follow atoi, saturating instead of overflowing.
  fields.SetString(102, " 12?-7?42abc?x??99999999999999?-99999999999999?+5");
  list.clear();
  ASSERT_EQ(kFieldOk, fields.GetIntList(102, &list));
  EXPECT_EQ((std::vector<int>{12, -7, 42, 0, 0, INT_MAX, INT_MIN, 5}), list);

  fields.SetStringList(103, {"a", "", "c"}, "?");
  std::vector<std::string> texts = {"old"};
  ASSERT_EQ(kFieldOk, fields.GetStringList(103, &texts, "?"));
  EXPECT_EQ((std::vector<std::string>{"a", "", "c"}), texts);  // replaces

  // The wire's lists keep empty elements: the empty text is one empty
  // element, whichever accessor reads it.
  fields.SetString(107, "");
  ASSERT_EQ(kFieldOk, fields.GetStringList(107, &texts, "?"));
  EXPECT_EQ((std::vector<std::string>{""}), texts);
  list.clear();
  ASSERT_EQ(kFieldOk, fields.GetIntList(107, &list));
  EXPECT_EQ((std::vector<int>{0}), list);
  std::vector<bool> one;
  ASSERT_EQ(kFieldOk, fields.GetBoolList(107, &one));
  EXPECT_EQ((std::vector<bool>{false}), one);
  fields.SetString(108, "?");
  ASSERT_EQ(kFieldOk, fields.GetStringList(108, &texts, "?"));
  EXPECT_EQ((std::vector<std::string>{"", ""}), texts);

  fields.SetString(104, "1?yes?01?1");
  std::vector<bool> bits;
  ASSERT_EQ(kFieldOk, fields.GetBoolList(104, &bits));
  EXPECT_EQ((std::vector<bool>{true, false, false, true}), bits);

  EXPECT_EQ("c", fields.GetListElement(103, 2));
  EXPECT_EQ("", fields.GetListElement(103, 5));
  fields.SetString(105, "only");
  EXPECT_EQ("only", fields.GetListElement(105, 5));  // a single value answers any index
  fields.SetRawField(106, FIELD_BINARY, "a?b", 3);
  EXPECT_EQ("", fields.GetListElement(106, 0));
}

TEST(Message, DumpShowsPrintableTextAndHexDumpsTheRest) {
  MessagePtr m = NewMessage();
  m->SetString(COMMAND, "LOG");
  m->SetString(ParameterId(1), "plain text ~");
  m->SetString(ParameterId(2), "a\tb");
  m->SetInt(300, -5);
  m->SetRawField(13, FIELD_BINARY, "\x00\x41", 2);
  m->SetRawField(14, FIELD_FILELIST, "/tmp/x?/tmp/y", 13);
  CRLMSGmessageID other;
  m->SetIdentifier(15, &other);
  std::string dump;
  ASSERT_TRUE(m->Dump(&dump));
  const std::string expected = "COMMAND: LOG\n  Field 9) MESSAGEID: " + m->GetIdentifierText() +
                               "\n"
                               "  Field 1) TYPESTRING:LOG\n"
                               "  Parameter 1) TYPESTRING:plain text ~\n"
                               "  Parameter 2) TYPESTRING:\n" +
                               HexDump("a\tb", 3, 80) +
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

// A peer's text can neither forge a record of the message log (a line
// break, the zero byte that ends a record) nor reach a terminal (escapes).
TEST(Message, DumpEscapesEveryTextItWrites) {
  static const char kCommand[] = "EVIL\n\0COMMAND: \x1b[2J\\";
  MessagePtr m = NewMessage();
  m->SetString(COMMAND, std::string(kCommand, sizeof kCommand - 1));
  m->SetRawField(14, FIELD_FILELIST, "/tmp/a\nb", 8);
  m->SetString(ParameterId(1), "bell\x07 and DEL\x7f");
  std::string dump;
  ASSERT_TRUE(m->Dump(&dump));
  EXPECT_EQ(dump.find('\0'), std::string::npos);
  EXPECT_EQ(dump.find('\x1b'), std::string::npos);
  EXPECT_EQ(dump.find('\x7f'), std::string::npos);
  EXPECT_EQ(dump.find('\x07'), std::string::npos);
  EXPECT_EQ(dump.rfind("COMMAND: EVIL\\x0A\\x00COMMAND: \\x1B[2J\\x5C\n", 0), 0u);
  EXPECT_NE(dump.find("TYPEFILE:/tmp/a\\x0Ab\n"), std::string::npos);
}

TEST(Message, FieldElementsCarryTheFilesTheyName) {
  test::TestEnv env;
  const std::string present = env.Path("present.bin");
  test::WriteFile(present, std::string("x\0y", 3));
  const std::string empty = env.Path("empty.bin");
  test::WriteFile(empty, "");
  const std::string missing = env.Path("missing.bin");

  MessagePtr m = NewMessage();
  m->RemoveField(MESSAGEID);
  m->SetString(COMMAND, "DOCUMENTCMD");
  m->SetInt(ParameterId(1), -25);
  m->SetRawField(ParameterId(2), FIELD_FILELIST, present.data(), present.size());
  m->SetRawField(ParameterId(3), FIELD_FILELIST, missing.data(), missing.size());
  m->SetRawField(ParameterId(4), FIELD_FILELIST, empty.data(), empty.size());
  m->SetRawField(ParameterId(5), FIELD_FILELIST, env.root().data(), env.root().size());  // a folder
  m->SetRawField(ParameterId(6), FIELD_BINARY, "<\n>", 3);

  std::string text;
  StringSink sink(&text);
  uint64_t size = 0;
  ASSERT_TRUE(m->WriteFieldElements(&sink, &size));
  const std::string nul(1, '\0');
  // clang-format off
  EXPECT_EQ("\t\t<f n=1 s=11 t=1>DOCUMENTCMD</f>\n"
            "\t\t<f n=100 s=3 t=2>-25</f>\n"
            "\t\t<f n=101 s=3 t=4>" + std::string("x\0y", 3) + "</f>\n"
            "\t\t<f n=102 s=1 t=4>" + nul + "</f>\n"
            "\t\t<f n=103 s=0 t=4></f>\n"
            "\t\t<f n=104 s=1 t=4>" + nul + "</f>\n"
            "\t\t<f n=105 s=3 t=4><\n></f>\n",
            text);
  // clang-format on
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
  const std::string record = env.Path("record.jsonl");
  setenv("VELTRANE_UI_RECORD", record.c_str(), 1);
  InstallUserInterfacePrompts();  // as the provider's exports do

  MessagePtr m = NewMessage();
  m->SetString(COMMAND, "X");
  m->SetRawField(ParameterId(1), FIELD_BINARY, "\x01", 1);
  PropertyTree tree;
  EXPECT_FALSE(m->MessageToXML(&tree));
  EXPECT_EQ(nullptr, tree.Find("L"));
  std::vector<test::UiRecordEntry> shown = test::ReadUiRecord(record);
  ASSERT_EQ(1u, shown.size());
  EXPECT_EQ("msgbox", shown[0].kind);
  EXPECT_EQ("MessageToXML", shown[0].title);
  EXPECT_EQ("Binary data type is unsupported at this time.", shown[0].texts[0]);
  EXPECT_EQ((std::map<int, bool>{{1, true}}), shown[0].enabled);  // OK only

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
  EXPECT_EQ(2u, test::ReadUiRecord(record).size());
  EXPECT_EQ("BEFORE", target->GetCommand());
  EXPECT_EQ(before_id, target->GetIdentifierObject().ToText());
  uint32_t type = 0;
  EXPECT_EQ(kFieldMissing, target->GetFieldType(100, &type));
  unsetenv("VELTRANE_UI_RECORD");
}

TEST(Message, TreesThatAreNoMessageAreRefused) {
  MessagePtr target = NewMessage();
  const std::string id = target->GetIdentifierText();
  auto base = [] {
    PropertyTree t;
    t.SetValue("L/N", "CMD");
    t.SetValue("L/T", CRLMSGmessageID().ToText());
    return t;
  };
  std::vector<PropertyTree> bad;
  for (int i = 0; i < 4; ++i) bad.push_back(base());
  bad[0].SetValue("L/T", "nonsense");
  bad[1].SetValue("L/F/4294967296/T", "1");  // an id beyond 32 bits
  bad[1].SetValue("L/F/4294967296/V", "v");
  bad[2].SetValue("L/F/100/T", "6");  // no such type
  bad[2].SetValue("L/F/100/V", "1");
  bad[3].SetValue("L/F/100/T", "3");
  bad[3].SetValue("L/F/100/V", "not an identifier");
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
