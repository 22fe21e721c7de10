// Fills a served repository for the browser test of the web view, as a
// client would over the Veltrane port:
//   servers_web_seed_helper PORT USER PASSWORD FILE
// adds the Production "Art" with the Document "hero sketch.png" holding
// FILE's bytes (version 1), locks it, checks in a second version with a
// comment, and adds "notes & ideas.txt". Exit status 0 when every step
// worked.
#include <cstdio>
#include <string>

#include "settings/property_escape.h"
#include "tests/support/serve_fixture.h"
#include "tests/support/test_env.h"

namespace {

using tw::MessagePtr;
using tw::test::WireClient;

bool Ok(const MessagePtr& reply, const char* step) {
  if (reply && reply->GetErrorCode() == 0) return true;
  std::fprintf(stderr, "%s failed (%d)\n", step, reply ? reply->GetErrorCode() : -1);
  return false;
}

MessagePtr Add(WireClient& c, const std::string& production, const std::string& name,
               const std::string& path, const std::string& comment) {
  MessagePtr r = WireClient::Request("DOCUMENTCMD", 1);
  r->SetString(101, production);
  r->SetString(102, name);
  r->SetRawField(103, tw::FIELD_FILELIST, path.data(), path.size());
  r->SetString(107, tw::EscapePropertyValue(comment));
  r->SetString(109, path);
  return c.Call(*r);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: %s PORT USER PASSWORD FILE\n", argv[0]);
    return 2;
  }
  const std::string file = argv[4];
  WireClient c;
  if (!c.Connect(static_cast<uint16_t>(std::stoi(argv[1]))) || c.Logon(argv[2], argv[3]) != 0) {
    std::fprintf(stderr, "cannot log on\n");
    return 1;
  }
  MessagePtr r = WireClient::Request("PRODUCTIONCMD", 20);
  r->SetString(101, "");
  MessagePtr reply = c.Call(*r);
  if (!Ok(reply, "root")) return 1;
  std::string root, art, id;
  reply->GetString(101, &root);
  r = WireClient::Request("PRODUCTIONCMD", 4);
  r->SetString(101, root);
  r->SetString(102, "Art");
  reply = c.Call(*r);
  if (!Ok(reply, "production")) return 1;
  reply->GetString(103, &art);
  reply = Add(c, art, "hero sketch.png", file, "First sketch of the hero");
  if (!Ok(reply, "add")) return 1;
  reply->GetString(103, &id);

  r = WireClient::Request("ACQUIRELOCK");
  r->SetString(100, id);
  r->SetInt(101, 1);
  r->SetInt(102, 0);
  r->SetInt(103, 72);
  r->SetBoolList(104, {false});
  if (!Ok(c.Call(*r), "lock")) return 1;

  const std::string second = file + ".2";
  tw::test::WriteFile(second, "the second version\n");
  r = WireClient::Request("DOCUMENTCMD", 2);
  r->SetString(101, id);
  r->SetRawField(102, tw::FIELD_FILELIST, second.data(), second.size());
  r->SetInt(103, 0);
  r->SetString(104, second);
  r->SetString(105, tw::EscapePropertyValue("Colours <fixed> & \"shaded\""));
  r->SetIntList(106, {0});
  if (!Ok(c.Call(*r), "check in")) return 1;
  if (!Ok(Add(c, art, "notes & ideas.txt", second, "Notes"), "add notes")) return 1;
  return 0;
}
