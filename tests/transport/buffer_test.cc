// The frame buffer: capacity checks with their fixed texts, part kinds and
// reset.
#include "transport/buffer.h"

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>

#include "transport/frame_format.h"

namespace tw {
namespace {

std::string ThrownText(const std::function<void()>& f) {
  try {
    f();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "";
}

std::string Contents(const CIOBufferSimple& b) {
  return std::string(reinterpret_cast<const char*>(b.Data()), static_cast<size_t>(b.Length()));
}

TEST(CIOBufferSimple, WritesBeyondTheCapacityThrowAndChangeNothing) {
  BufferRef b = CIOBufferSimple::Create(8);
  EXPECT_EQ(8, b->Capacity());
  b->Append("abcde", 5);
  b->Append("fgh", 3);
  EXPECT_EQ("abcdefgh", Contents(*b));
  EXPECT_EQ("Buffer overflow", ThrownText([&] { b->Append("x", 1); }));
  EXPECT_EQ("Buffer overflow", ThrownText([&] { b->Assign("123456789", 9); }));
  EXPECT_EQ("Buffer overflow", ThrownText([&] { b->SetLength(9); }));
  EXPECT_EQ("Buffer overflow", ThrownText([&] { b->SetLength(-1); }));
  EXPECT_EQ("abcdefgh", Contents(*b));

  b->Assign(b->Data() + 2, 3);  // from inside itself
  EXPECT_EQ("cde", Contents(*b));
  b->SetLength(8);
  EXPECT_EQ(8, b->Length());
  EXPECT_EQ("Buffer overflow", ThrownText([&] { b->Append("", 1); }));
}

TEST(CIOBufferSimple, UnusableCapacityIsOutOfMemory) {
  EXPECT_EQ("CIOBufferSimple: Out of memory", ThrownText([] { CIOBufferSimple::Create(-1); }));
  BufferRef empty = CIOBufferSimple::Create(0);
  EXPECT_EQ("Buffer overflow", ThrownText([&] { empty->Append("x", 1); }));
}

// The writer reuses one buffer for every frame: a reset must leave nothing
// of the last frame's flags behind.
TEST(CIOBufferSimple, PartKindsAndReset) {
  BufferRef b = CIOBufferSimple::Create(kFrameBufferCapacity);
  auto code = [&] {
    return FrameCodeFromFlags(b->IsFirst(), b->IsLast(), b->IsFailed(), b->IsFileContent());
  };
  b->SetFileContent(true);
  ASSERT_TRUE(b->SetPartKind(CIOBufferSimple::kPartFailed));
  EXPECT_EQ(kFrameFileFailed, code());
  // A later part kind clears the failure; unknown kinds change nothing.
  ASSERT_TRUE(b->SetPartKind(CIOBufferSimple::kPartLast));
  EXPECT_EQ(kFrameFileLast, code());
  EXPECT_FALSE(b->SetPartKind(0));
  EXPECT_FALSE(b->SetPartKind(6));
  EXPECT_EQ(kFrameFileLast, code());

  b->Append("data", 4);
  b->SetSelector(kCipherPassPhrase);
  b->Reset();
  EXPECT_EQ(0, b->Length());
  EXPECT_EQ(0u, b->Selector());
  EXPECT_FALSE(b->Compress() || b->IsFirst() || b->IsLast() || b->IsFailed() || b->IsFileContent());
}

}  // namespace
}  // namespace tw
