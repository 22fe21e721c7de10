// The admission of database reads: the place kept for logons, one user's
// share of the readers, the order of waiters, the limit of a wait and the
// deadline of an admitted read. Every wait that must fail here fails
// because the places it could take are held, whatever the machine's speed.
#include "servers/twserver/read_gate.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace tw::twserver {
namespace {

using std::chrono::milliseconds;

// Enters `gate` for `requester` (a logon's read with `logon`), waiting at
// most `budget`; the pass, admitted or not.
std::unique_ptr<ReadGate::Pass> EnterAs(ReadGate& gate, const std::string& requester, bool logon,
                                        milliseconds budget, std::string* error = nullptr) {
  const ReadScope scope(requester, logon, budget);
  auto pass = std::make_unique<ReadGate::Pass>();
  std::string ignored;
  gate.Enter(pass.get(), error != nullptr ? error : &ignored);
  return pass;
}

TEST(ReadGateTest, ALogonHasAPlaceOfItsOwnWhenEveryReaderIsTaken) {
  ReadGate gate(2);
  EXPECT_EQ(3u, gate.capacity());
  auto a = EnterAs(gate, "alice", false, milliseconds(50));
  auto b = EnterAs(gate, "bob", false, milliseconds(50));
  ASSERT_TRUE(a->admitted() && b->admitted());
  // Every reader is taken: another user's read waits out its limit...
  std::string error;
  EXPECT_FALSE(EnterAs(gate, "carol", false, milliseconds(50), &error)->admitted());
  EXPECT_NE(std::string::npos, error.find("no database reader came free within 50 ms")) << error;
  // ...while a logon goes straight to the place kept for it.
  auto logon = EnterAs(gate, std::string(), true, milliseconds(50));
  EXPECT_TRUE(logon->admitted());
  // The kept place is one: a second logon at once waits for it.
  EXPECT_FALSE(EnterAs(gate, std::string(), true, milliseconds(50))->admitted());
  logon.reset();
  EXPECT_TRUE(EnterAs(gate, std::string(), true, milliseconds(50))->admitted());
}

TEST(ReadGateTest, OneUserHoldsAtMostHalfTheReaders) {
  ReadGate gate(4);
  std::vector<std::unique_ptr<ReadGate::Pass>> bob;
  for (int i = 0; i < 2; ++i) bob.push_back(EnterAs(gate, "bob", false, milliseconds(50)));
  ASSERT_TRUE(bob[0]->admitted() && bob[1]->admitted());
  // Bob's third read waits for one of his own, though readers are free...
  EXPECT_FALSE(EnterAs(gate, "bob", false, milliseconds(50))->admitted());
  // ...which another user takes at once.
  auto alice = EnterAs(gate, "alice", false, milliseconds(50));
  EXPECT_TRUE(alice->admitted());
  // Reads outside any scope (the command line) count against the places
  // only.
  const auto outside = std::make_unique<ReadGate::Pass>();
  std::string error;
  EXPECT_TRUE(gate.Enter(outside.get(), &error)) << error;
}

TEST(ReadGateTest, AWaiterIsAdmittedWhenAPlaceItMayTakeComesFree) {
  ReadGate gate(2);  // a share of one
  auto bob = EnterAs(gate, "bob", false, milliseconds(60000));
  auto alice = EnterAs(gate, "alice", false, milliseconds(60000));
  ASSERT_TRUE(bob->admitted() && alice->admitted());
  std::atomic<bool> bob_in{false}, carol_in{false};
  std::thread bob_waits(
      [&] { bob_in = EnterAs(gate, "bob", false, milliseconds(60000))->admitted(); });
  std::thread carol_waits(
      [&] { carol_in = EnterAs(gate, "carol", false, milliseconds(60000))->admitted(); });
  // Alice's place comes free: Bob, at his share, cannot take it; Carol,
  // queued after him, can.
  alice.reset();
  carol_waits.join();
  EXPECT_TRUE(carol_in.load());
  EXPECT_FALSE(bob_in.load());
  bob.reset();
  bob_waits.join();
  EXPECT_TRUE(bob_in.load());
}

TEST(ReadGateTest, AnAdmittedReadHasItsScopesBudgetAsDeadline) {
  ReadGate gate(2);
  const auto before = ReadGate::Clock::now();
  auto pass = EnterAs(gate, "alice", false, milliseconds(20000));
  ASSERT_TRUE(pass->admitted());
  EXPECT_GE(pass->deadline(), before + milliseconds(20000));
  EXPECT_LE(pass->deadline(), ReadGate::Clock::now() + milliseconds(20000));
  EXPECT_EQ(milliseconds(20000), pass->budget());
  // Outside a scope a read has no deadline.
  ReadGate::Pass outside;
  std::string error;
  ASSERT_TRUE(gate.Enter(&outside, &error));
  EXPECT_EQ(ReadGate::Clock::time_point::max(), outside.deadline());
}

}  // namespace
}  // namespace tw::twserver
