// ByteBuffer and SampleBuffer: growth, contents kept across growth, impossible sizes refused.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "base/ByteBuffer.h"
#include "base/SampleBuffer.h"

TEST(BufferTest, GrowsByTheNeededSizePlusTheGrowStep) {
    ByteBuffer buffer(0, 100);
    EXPECT_EQ(buffer.Capacity(), 0);
    buffer.Reserve(10);
    EXPECT_EQ(buffer.Capacity(), 110);
    buffer.Reserve(110);  // fits: no new block
    EXPECT_EQ(buffer.Capacity(), 110);
    buffer.Reserve(111);
    EXPECT_EQ(buffer.Capacity(), 211);

    SampleBuffer samples(1000, 100);
    EXPECT_EQ(samples.Capacity(), 1100);
    EXPECT_EQ(samples.Length(), 0);
}

TEST(BufferTest, KeepsItsContentsWhenItGrows) {
    ByteBuffer buffer(4, 0);
    const uint8_t first[] = {1, 2, 3, 4};
    buffer.Append(first, 4);
    EXPECT_EQ(buffer.Capacity(), 4);
    const uint8_t more[] = {5, 6, 7};
    buffer.Append(more, 3);
    ASSERT_EQ(buffer.Length(), 7);
    EXPECT_EQ(std::vector<uint8_t>(buffer.Data(), buffer.Data() + 7),
              (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7}));

    SampleBuffer samples(1, 0);
    for (int16_t i = 0; i < 1000; ++i)
        samples.Append(static_cast<int16_t>(i * 30));
    ASSERT_EQ(samples.Length(), 1000);
    for (int i = 0; i < 1000; ++i)
        ASSERT_EQ(samples[i], i * 30);
}

TEST(BufferTest, WriteWithoutAppendReplacesTheContents) {
    ByteBuffer buffer(0, 8);
    const uint8_t a[] = {9, 9, 9, 9, 9};
    const uint8_t b[] = {1, 2};
    buffer.Write(a, 5, false);
    buffer.Write(b, 2, false);
    ASSERT_EQ(buffer.Length(), 2);
    EXPECT_EQ(buffer[0], 1);
    EXPECT_EQ(buffer[1], 2);
    buffer.Write(b, 0, false);
    EXPECT_EQ(buffer.Length(), 0);
}

TEST(BufferTest, ImpossibleSizesThrowMemoryExceptionAndLeaveTheBufferAlone) {
    ByteBuffer buffer(0, 0);
    const uint8_t a[] = {7, 8};
    buffer.Append(a, 2);
    EXPECT_THROW(buffer.Reserve(-1), MemoryException);
    EXPECT_THROW(buffer.SetLength(-5), MemoryException);
    EXPECT_THROW(buffer.Append(a, -1), MemoryException);
    // Larger than a 32-bit count of 16-bit samples can describe.
    SampleBuffer samples(0, 0);
    EXPECT_THROW(samples.Reserve(SampleBuffer::kMaxCapacity + 1), MemoryException);
    ASSERT_EQ(buffer.Length(), 2);
    EXPECT_EQ(buffer[0], 7);
    EXPECT_EQ(buffer[1], 8);
}

TEST(BufferTest, UnobtainableStorageThrowsMemoryException) {
    // Close to 2 GiB in one block: either it is had (and then released), or MemoryException, never a crash.
    ByteBuffer buffer(0, 0);
    try {
        buffer.Reserve(ByteBuffer::kMaxCapacity);
        EXPECT_GE(buffer.Capacity(), ByteBuffer::kMaxCapacity);
    } catch (const MemoryException&) {
        EXPECT_EQ(buffer.Capacity(), 0);
    }
    // A grow step that would overflow the count is capped, not wrapped.
    ByteBuffer stepped(0, ByteBuffer::kMaxCapacity);
    stepped.Reserve(16);
    EXPECT_GE(stepped.Capacity(), 16);
}

TEST(BufferTest, MovesHandOverTheBlock) {
    ByteBuffer a(0, 0);
    const uint8_t bytes[] = {1, 2, 3};
    a.Append(bytes, 3);
    const uint8_t* block = a.Data();
    ByteBuffer b(std::move(a));
    EXPECT_EQ(b.Data(), block);
    EXPECT_EQ(b.Length(), 3);
    EXPECT_EQ(a.Data(), nullptr);  // NOLINT(bugprone-use-after-move): moved-from state is defined here
}
