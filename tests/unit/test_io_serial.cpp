#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "bcor_test_helpers.hpp"

using bcortest::Bytes;
using testutil::SettingsGuard;

namespace {

struct LittleEndianCase {
  int width;
  uint64_t value;
  std::vector<byte_t> bytes;
};

const std::vector<LittleEndianCase> kLittleEndianCases = {
    {1, 0xAB, {0xAB}},
    {2, 0x0102, {0x02, 0x01}},
    {2, 0xFFFF, {0xFF, 0xFF}},
    {4, 0x01020304, {0x04, 0x03, 0x02, 0x01}},
    {4, 0x80000000, {0x00, 0x00, 0x00, 0x80}},
    {8, 1, {0x01, 0, 0, 0, 0, 0, 0, 0}},
    {8, 0x0102030405060708ull, {0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01}},
    {8, UINT64_MAX, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
};

// Writes through the engine's buffer writer of the case's width; returns the pointer it gave back.
byte_t* writeCase(Corvane& engine, byte_t* p, const byte_t* end, const LittleEndianCase& c) {
  switch (c.width) {
    case 1: return engine.writeLittleEndianInteger(p, end, static_cast<uint8_t>(c.value));
    case 2: return engine.writeLittleEndianInteger(p, end, static_cast<uint16_t>(c.value));
    case 4: return engine.writeLittleEndianInteger(p, end, static_cast<uint32_t>(c.value));
    default: return engine.writeLittleEndianInteger(p, end, c.value);
  }
}

uint64_t readCase(Corvane& engine, const byte_t* p, const byte_t* end, int width,
                  const byte_t** next) {
  switch (width) {
    case 1: {
      uint8_t v;
      *next = engine.readLittleEndianInteger(p, end, &v);
      return v;
    }
    case 2: {
      uint16_t v;
      *next = engine.readLittleEndianInteger(p, end, &v);
      return v;
    }
    case 4: {
      uint32_t v;
      *next = engine.readLittleEndianInteger(p, end, &v);
      return v;
    }
    default: {
      uint64_t v;
      *next = engine.readLittleEndianInteger(p, end, &v);
      return v;
    }
  }
}

TEST(BcorPrimitives, LittleEndianIntegersAtEveryAlignment) {
  SettingsGuard guard;
  Shared_buffers shared(0);
  Corvane engine(par, shared);
  for (const LittleEndianCase& c : kLittleEndianCases) {
    for (size_t offset = 0; offset < 8; ++offset) {
      SCOPED_TRACE("width " + std::to_string(c.width) + " offset " + std::to_string(offset));
      std::vector<byte_t> buffer(24, 0xAA);
      byte_t* start = buffer.data() + offset;
      // The end pointer sits exactly past the value: the bound is inclusive.
      byte_t* end = start + c.width;
      EXPECT_EQ(writeCase(engine, start, end, c), end);
      EXPECT_EQ(std::vector<byte_t>(start, end), c.bytes);
      for (size_t k = 0; k < buffer.size(); ++k) {
        if (k < offset || k >= offset + c.width) {
          EXPECT_EQ(buffer[k], 0xAA) << "byte " << k;
        }
      }
      const byte_t* next = nullptr;
      EXPECT_EQ(readCase(engine, start, end, c.width, &next), c.value);
      EXPECT_EQ(next, end);
    }
  }
}

TEST(BcorPrimitives, StreamFormsWriteTheSameBytes) {
  SettingsGuard guard;
  Shared_buffers shared(0);
  Corvane engine(par, shared);
  std::ostringstream out;
  engine.writeLittleEndianInteger(out, uint32_t(0x01020304));
  engine.writeLittleEndianInteger(out, uint64_t(1));
  engine.writeLengthFollowedByString(out, uint16_t(3), std::string("rs7"));
  engine.writeLengthFollowedByString(out, uint16_t(0), std::string());
  const std::string s = out.str();
  Bytes expected;
  expected.u32(0x01020304).u64(1).u16(3).text("rs7").u16(0);
  EXPECT_EQ(std::vector<byte_t>(s.begin(), s.end()), expected.v);

  std::istringstream in(s);
  uint32_t a = 0;
  uint64_t b = 0;
  uint16_t length = 9;
  std::string text = "old";
  engine.readLittleEndianInteger(in, &a);
  engine.readLittleEndianInteger(in, &b);
  engine.readLengthFollowedByString(in, &length, &text);
  EXPECT_EQ(a, 0x01020304u);
  EXPECT_EQ(b, 1u);
  EXPECT_EQ(length, 3u);
  EXPECT_EQ(text, "rs7");
  engine.readLengthFollowedByString(in, &length, &text);
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(text, "");
}

TEST(BcorPrimitives, LengthPrefixedStringsInBuffers) {
  SettingsGuard guard;
  Shared_buffers shared(0);
  Corvane engine(par, shared);
  std::vector<byte_t> buffer(2 + 4 + 4 + 5);
  byte_t* p = buffer.data();
  const byte_t* end = p + buffer.size();
  p = engine.writeLengthFollowedByString(p, end, uint16_t(0), std::string());
  p = engine.writeLengthFollowedByString(p, end, uint32_t(0), std::string());
  // Only the first `length` bytes of the text are stored.
  p = engine.writeLengthFollowedByString(p, end, uint32_t(5), std::string("ACGTAXX"));
  EXPECT_EQ(p, end);
  Bytes expected;
  expected.u16(0).u32(0).u32(5).text("ACGTA");
  EXPECT_EQ(buffer, expected.v);

  const byte_t* q = buffer.data();
  uint16_t l16 = 1;
  uint32_t l32 = 1;
  std::string text = "x";
  q = engine.readLengthFollowedByString(q, end, &l16, &text);
  EXPECT_EQ(l16, 0u);
  EXPECT_EQ(text, "");
  q = engine.readLengthFollowedByString(q, end, &l32, &text);
  q = engine.readLengthFollowedByString(q, end, &l32, &text);
  EXPECT_EQ(l32, 5u);
  EXPECT_EQ(text, "ACGTA");
  EXPECT_EQ(q, end);
}

TEST(BcorPrimitivesDeathTest, BufferWriterPastEndIsAnInternalFault) {
  SettingsGuard guard;
  Shared_buffers shared(0);
  Corvane engine(par, shared);
  std::vector<byte_t> buffer(3);
  EXPECT_FATAL(engine.writeLittleEndianInteger(buffer.data(), buffer.data() + 3, uint32_t(1)),
               "Error: Internal fault");
  EXPECT_FATAL(engine.writeLengthFollowedByString(buffer.data(), buffer.data() + 3, uint16_t(2),
                                                  std::string("ab")),
               "Error: Internal fault");
  // A length beyond the text would copy bytes that are not there.
  std::vector<byte_t> big(16);
  EXPECT_FATAL(engine.writeLengthFollowedByString(big.data(), big.data() + 16, uint16_t(4),
                                                  std::string("ab")),
               "Error: Internal fault");
}

TEST(BcorPrimitivesDeathTest, BufferReadPastRecordEndIsACorruptFile) {
  SettingsGuard guard;
  Shared_buffers shared(0);
  Corvane engine(par, shared);
  engine.bcor_file = "ld.bcor";
  std::vector<byte_t> record = {0x01, 0x02, 0x03};
  uint16_t v16 = 0;
  EXPECT_FATAL(engine.readLittleEndianInteger(record.data() + 2, record.data() + 3, &v16),
               "Error: File 'ld.bcor' is corrupt");
  // Length field says 5, two bytes follow.
  Bytes s;
  s.u16(5).text("ab");
  uint16_t length = 0;
  std::string text;
  EXPECT_FATAL(engine.readLengthFollowedByString(s.v.data(), s.v.data() + s.size(), &length, &text),
               "Error: File 'ld.bcor' is corrupt");
  // The length field itself cut short.
  EXPECT_FATAL(engine.readLengthFollowedByString(s.v.data(), s.v.data() + 1, &length, &text),
               "Error: File 'ld.bcor' is corrupt");
}

class BcorStreamFile : public ::testing::Test {
 protected:
  SettingsGuard guard;
  Shared_buffers shared{0};
  Corvane engine{par, shared};
  std::string dir =
      testutil::scratchDir(std::string("bcor_stream_") +
                           ::testing::UnitTest::GetInstance()->current_test_info()->name());

  std::string put(const std::string& name, const Bytes& bytes) {
    const std::string path = dir + "/" + name;
    bcortest::writeBytes(path, bytes.v, bytes.size());
    return path;
  }
};

using BcorStreamFileDeathTest = BcorStreamFile;

TEST_F(BcorStreamFile, RecordsOfSizeZeroAndMore) {
  Bytes file;
  file.u32(0).u32(3).u8(7).u8(8).u8(9).u32(1).u8(42);
  const std::string path = put("records", file);
  engine.openBCOR(engine.bcor_in, path);
  EXPECT_EQ(engine.bcor_state, static_cast<uint32_t>(ready_for_header));
  EXPECT_EQ(engine.bcor_in_size, file.size());
  EXPECT_TRUE(engine.readStreamToBuffer(engine.bcor_in).empty());
  EXPECT_EQ(engine.bcor_in.tellg(), 4);
  EXPECT_EQ(engine.readStreamToBuffer(engine.bcor_in), (std::vector<byte_t>{7, 8, 9}));
  EXPECT_EQ(engine.readStreamToBuffer(engine.bcor_in), (std::vector<byte_t>{42}));
}

TEST_F(BcorStreamFile, OpenForWritingMakesANewFileAndMovesTheState) {
  Bytes old;
  old.u64(123).u64(456);
  const std::string path = put("out", old);
  // Another name of the earlier file, as a snapshot tree keeps it, keeps its content.
  const std::string snapshot = path + ".snapshot";
  std::filesystem::create_hard_link(path, snapshot);
  const std::vector<byte_t> earlier = bcortest::fileBytes(path);
  engine.openBCOR(engine.bcor_out, path);
  EXPECT_EQ(engine.bcor_state, static_cast<uint32_t>(ready_for_header));
  EXPECT_EQ(engine.bcor_out_name, path);
  // The earlier file goes at once: a run that fails leaves nothing to pass for its result.
  EXPECT_FALSE(std::filesystem::exists(path));
  engine.writeLittleEndianInteger(engine.bcor_out, uint32_t(0x01020304));
  engine.bcor_out.close();
  ASSERT_TRUE(engine.bcor_out_file.publish());
  EXPECT_EQ(bcortest::fileBytes(path), (std::vector<byte_t>{4, 3, 2, 1}));
  EXPECT_EQ(bcortest::fileBytes(snapshot), earlier);
}

TEST_F(BcorStreamFileDeathTest, ReadsAtTheEndOfTheFileAreTruncation) {
  Bytes three;
  three.u8(1).u8(2).u8(3);
  const std::string path = put("short.bcor_2", three);
  engine.bcor_file = "short.bcor";
  engine.openBCOR(engine.bcor_in, path);
  uint32_t v = 0;
  // A failed read names the --bcor file, not the per-thread file read.
  EXPECT_FATAL(engine.readLittleEndianInteger(engine.bcor_in, &v),
               "^Error: File 'short.bcor' cannot be opened!\n\n$");
  uint64_t w = 0;
  EXPECT_FATAL(engine.readLittleEndianInteger(engine.bcor_in, &w),
               "^Error: File 'short.bcor' cannot be opened!\n\n$");
  uint16_t length = 0;
  std::string text;
  EXPECT_FATAL(engine.readLengthFollowedByString(engine.bcor_in, &length, &text),
               "^Error: File 'short.bcor' cannot be opened!\n\n$");
}

TEST_F(BcorStreamFileDeathTest, RecordBytesMissingAtTheEnd) {
  Bytes file;
  file.u32(4).u8(1).u8(2);
  engine.openBCOR(engine.bcor_in, put("cut", file));
  EXPECT_FATAL(engine.readStreamToBuffer(engine.bcor_in), "Error: File '.*cut' is truncated");
}

TEST_F(BcorStreamFileDeathTest, HugeSizePrefixIsRefusedBeforeAllocating) {
  Bytes file;
  file.u32(0xFFFFFFF0u).u8(1);
  engine.openBCOR(engine.bcor_in, put("huge", file));
  EXPECT_FATAL(engine.readStreamToBuffer(engine.bcor_in),
               "Error: File '.*huge' is truncated or corrupt: a record is larger than the rest");
  // The same bound holds on a stream the engine did not open.
  std::istringstream other(std::string(reinterpret_cast<const char*>(file.v.data()), file.size()));
  engine.bcor_in_name.clear();
  engine.bcor_file = "ld.bcor";
  EXPECT_FATAL(engine.readStreamToBuffer(other), "Error: File 'ld.bcor' is truncated or corrupt");
}

TEST_F(BcorStreamFileDeathTest, StreamStringLongerThanTheFile) {
  Bytes file;
  file.u16(300).text("abc");
  engine.bcor_file = "text.bcor";
  engine.openBCOR(engine.bcor_in, put("text.bcor_1", file));
  uint16_t length = 0;
  std::string text;
  EXPECT_FATAL(engine.readLengthFollowedByString(engine.bcor_in, &length, &text),
               "^Error: File 'text.bcor' cannot be opened!\n\n$");
}

TEST_F(BcorStreamFileDeathTest, SecondOpenAndMissingFileAreRefused) {
  Bytes file;
  file.u32(0);
  const std::string path = put("once", file);
  engine.openBCOR(engine.bcor_in, path);
  EXPECT_FATAL(engine.openBCOR(engine.bcor_in, path), "Error: Internal fault");
  engine.bcor_in.close();
  engine.bcor_state = not_open;
  EXPECT_FATAL(engine.openBCOR(engine.bcor_in, dir + "/absent.bcor_3"),
               "Error: File '.*absent.bcor_3' cannot be opened!");
  EXPECT_FATAL(engine.openBCOR(engine.bcor_out, dir + "/no/such/dir/out.bcor_1"),
               "Error: File '.*out.bcor_1' cannot be opened!");
}

} // namespace
