// The frame buffer: capacity checks with their fixed texts, the flags that
// choose a frame code, reset, and reference counting across threads.
#include "transport/buffer.h"

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

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

TEST(CIOBufferSimple, FlagsChooseTheFrameCodeAndResetClearsThem) {
  BufferRef b = CIOBufferSimple::Create(kFrameBufferCapacity);
  auto code = [&] {
    return FrameCodeFromFlags(b->IsFirst(), b->IsLast(), b->IsFailed(), b->IsFileContent());
  };
  const struct {
    int kind;
    bool file;
    uint32_t code;
  } cases[] = {
      {CIOBufferSimple::kPartWhole, false, kFrameWhole},
      {CIOBufferSimple::kPartFirst, false, kFrameFirst},
      {CIOBufferSimple::kPartMiddle, false, kFrameMiddle},
      {CIOBufferSimple::kPartLast, false, kFrameLast},
      {CIOBufferSimple::kPartWhole, true, kFrameFileWhole},
      {CIOBufferSimple::kPartFirst, true, kFrameFileFirst},
      {CIOBufferSimple::kPartMiddle, true, kFrameFileMiddle},
      {CIOBufferSimple::kPartLast, true, kFrameFileLast},
      {CIOBufferSimple::kPartFailed, true, kFrameFileFailed},
  };
  for (const auto& c : cases) {
    b->Reset();
    b->SetFileContent(c.file);
    ASSERT_TRUE(b->SetPartKind(c.kind));
    EXPECT_EQ(c.code, code()) << c.kind << " " << c.file;
    EXPECT_TRUE(IsFrameCode(code()));
  }
  // A later part kind clears the failure; unknown kinds change nothing.
  ASSERT_TRUE(b->SetPartKind(CIOBufferSimple::kPartLast));
  EXPECT_EQ(kFrameFileLast, code());
  EXPECT_FALSE(b->SetPartKind(0));
  EXPECT_FALSE(b->SetPartKind(6));
  EXPECT_EQ(kFrameFileLast, code());

  EXPECT_FALSE(b->Compress());
  b->SetSelector(kCipherAes);
  EXPECT_TRUE(b->Compress());
  b->SetCompress(false);
  b->SetSelector(kCipherClear);
  EXPECT_FALSE(b->Compress());

  b->Append("data", 4);
  b->SetSelector(kCipherPassPhrase);
  b->Reset();
  EXPECT_EQ(0, b->Length());
  EXPECT_EQ(0u, b->Selector());
  EXPECT_FALSE(b->Compress() || b->IsFirst() || b->IsLast() || b->IsFailed() || b->IsFileContent());
  EXPECT_EQ(kFrameMiddle, code());
}

TEST(IsFrameCode, AcceptsExactlyTheNineCodes) {
  int accepted = 0;
  for (uint32_t nibble = 0; nibble < 16; ++nibble) {
    accepted += IsFrameCode(nibble << 28 | kFrameCodeLowBits);
  }
  EXPECT_EQ(9, accepted);
  EXPECT_FALSE(IsFrameCode(0x93101962));
  EXPECT_FALSE(IsFrameCode(0x03101963));
  EXPECT_FALSE(IsFrameCode(0x62191003));  // the code in the wrong byte order
  EXPECT_FALSE(IsFrameCode(0));
}

TEST(CIOBufferSimple, ReferencesComeAndGoOnSeveralThreads) {
  BufferRef b = CIOBufferSimple::Create(16);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([b] {
      for (int i = 0; i < 10000; ++i) {
        BufferRef copy = b;
        copy.reset();
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(16, b->Capacity());
}

}  // namespace
}  // namespace tw
