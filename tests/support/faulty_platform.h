// Fault-injecting twins of the platform's files and mailslots, for tests
// that prove the layers above fail cleanly: a system factory that, while
// installed, hands out files that fail on a chosen read or run out of disk
// space, and mailslot writers that drop chosen messages or readers that
// give up before a late reply. Everything not chosen passes through to the
// system's own factory, so a test runs against real files and mailslots.
//
// Threads: the factory is installed by the constructor and removed by the
// destructor, while no other thread of the system runs (create it before
// the hub or the clients it affects, destroy it after them). Its settings
// are guarded by one mutex and its counters are atomic, so the objects it
// hands out may be used from any thread.
#ifndef TW_TESTS_SUPPORT_FAULTY_PLATFORM_H_
#define TW_TESTS_SUPPORT_FAULTY_PLATFORM_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/system_factory.h"

namespace tw::test {

class FaultInjectingFactory final : public SystemFactoryWrapper {
 public:
  // Wraps the system's own factory and installs itself.
  FaultInjectingFactory();
  // Puts back the factory installed before.
  ~FaultInjectingFactory() override;
  FaultInjectingFactory(const FaultInjectingFactory&) = delete;
  FaultInjectingFactory& operator=(const FaultInjectingFactory&) = delete;

  // A file opened from now on whose path is `path` fails its `nth` read
  // (1 for the first): nothing is read, as on a disk error.
  void FailReadOf(const std::string& path, int nth);
  // The disk holds `bytes` more: files opened for writing from now on share
  // them, and a write that does not fit writes what fits and fails.
  void FillDiskAfter(uint64_t bytes);
  // Files asked from now on to start writing to the disk report that the
  // disk refused it (FileObject::WritebackFailed), as after a failed flush,
  // and refuse every later write.
  void RefuseWritebacks();
  // Messages written from now on through mailslot writers of this factory
  // are dropped (the write reports success) while `drop` says so for the
  // mailslot's name and the bytes.
  void DropMailslotMessages(
      std::function<bool(const std::string& name, const std::string& bytes)> drop);
  // The next `count` reads of mailslot readers made from now on give up as
  // a time-out does, but only once a message is there: the message stays
  // and arrives late, after its reader stopped waiting.
  void MissReplies(int count);

  // Every message written through this factory's mailslot writers: the
  // mailslot's name and the bytes, in order (dropped ones included).
  std::vector<std::pair<std::string, std::string>> Written();
  int dropped_messages();
  // How often files of this factory were asked to start writing to the disk.
  int writebacks();

  std::unique_ptr<FileObject> NewFile() override;
  std::unique_ptr<MailslotReader> NewMailslotReader() override;
  std::unique_ptr<MailslotWriter> NewMailslotWriter() override;

  // Used by the objects handed out.
  struct Faults;

 private:
  const std::shared_ptr<Faults> faults_;
  CRLsystemFactory* const previous_;  // installed before this one
};

}  // namespace tw::test

#endif  // TW_TESTS_SUPPORT_FAULTY_PLATFORM_H_
