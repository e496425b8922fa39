#include <gtest/gtest.h>

#include <array>
#include <string>

#include "BoundedWait.hpp"
#include "FileStream.hpp"
#include "RunRemove.hpp"

namespace {

std::array<unsigned char, kStreamBufferSize> buffer;

std::span<const unsigned char> bytes_of(const std::string& text) {
  return {reinterpret_cast<const unsigned char*>(text.data()), text.size()};
}

std::string read_all(InputFile& file) {
  std::string bytes;
  for (auto block = file.read_into(buffer); !block.empty(); block = file.read_into(buffer)) {
    EXPECT_LE(block.size(), kStreamBufferSize);
    bytes.append(reinterpret_cast<const char*>(block.data()), block.size());
  }
  return bytes;
}

TEST(InputFile, MissingFileNeverOpensAndReadsNothing) {
  const ScratchDir dir;
  InputFile file((dir / "absent").c_str());
  EXPECT_FALSE(file.is_open());
  EXPECT_TRUE(file.read_into(buffer).empty());
  EXPECT_FALSE(file.failed());
  EXPECT_EQ(file.identity().known, FileIdentity::Known::kNoFile);
  file.close();
}

TEST(InputFile, ReadErrorIsToldApartFromEndOfInput) {
  const ScratchDir dir;
  InputFile file(dir.path.c_str());
  ASSERT_TRUE(file.is_open());
  EXPECT_TRUE(file.read_into(buffer).empty());
  EXPECT_TRUE(file.failed());
}

TEST(InputFile, BlocksGiveTheWholeFileAroundTheBufferSize) {
  for (const std::size_t size : {std::size_t{0}, std::size_t{1}, kStreamBufferSize - 1,
                                 kStreamBufferSize, kStreamBufferSize + 1}) {
    const ScratchDir dir;
    const std::string content = random_bytes(size, static_cast<unsigned>(size));
    write_file(dir / "f", content);
    InputFile file((dir / "f").c_str());
    EXPECT_TRUE(read_all(file) == content) << size;
    EXPECT_FALSE(file.failed()) << size;
    EXPECT_TRUE(file.read_into(buffer).empty()) << "end of input stays the end";
  }
}

TEST(OutputFile, BlocksOfAnySizeLandInOrder) {
  for (const std::size_t size :
       {std::size_t{1}, kStreamBufferSize - 1, kStreamBufferSize, 2 * kStreamBufferSize + 3}) {
    const ScratchDir dir;
    const std::string content = random_bytes(size, 3);
    OutputFile file((dir / "out").c_str(), {}, "none");
    file.write_block(bytes_of("<"));
    file.write_block(bytes_of(content));
    file.write_block(bytes_of(">"));
    EXPECT_TRUE(file.finish_writing());
    EXPECT_TRUE(read_file(dir / "out") == "<" + content + ">") << size;
  }
}

TEST(OutputFile, EmptiesAnExistingFile) {
  const ScratchDir dir;
  write_file(dir / "out", "old content");
  OutputFile file((dir / "out").c_str(), {}, "none");
  EXPECT_TRUE(file.finish_writing());
  EXPECT_EQ(read_file(dir / "out"), "");
}

// promise: file-txt-is-file-c, file-c-looked-at-again
TEST(OutputFile, RefusesToEmptyTheFileBeingRead) {
  // Known as the input from the start, or only by its name looked at again: a file saved there
  // after the input was found missing.
  for (const bool known_at_start : {true, false}) {
    const ScratchDir dir;
    write_file(dir / "in", "precious");
    std::filesystem::create_symlink("in", dir / "out");
    InputFile input((dir / "in").c_str());
    const FileIdentity keep_apart[] = {known_at_start ? input.identity() : FileIdentity{}};
    OutputFile output((dir / "out").c_str(), keep_apart, (dir / "in").c_str());
    output.write_block(bytes_of("x"));
    EXPECT_FALSE(output.finish_writing()) << known_at_start;
    EXPECT_EQ(read_file(dir / "in"), "precious") << known_at_start;
  }
}

// promise: file-txt-write-fails
TEST(OutputFile, FailedWriteMakesCloseFail) {
  OutputFile file("/dev/full", {}, "none");
  file.write_block(bytes_of("x"));
  EXPECT_FALSE(file.finish_writing());
}

// promise: lease-break-time
TEST(LeaseBreakTime, IsReadFromTheTextOfProc) {
  const std::pair<std::string_view, int> rows[] = {
      {"45\n", 45},
      {"45", 45},
      {"0\n", 0},
      {"", kDefaultLeaseBreakSeconds},
      {"garbage", kDefaultLeaseBreakSeconds},
      {"-5", kDefaultLeaseBreakSeconds},
      {"12345678", kLongestLeaseBreakSeconds},
      {"9999999", 9999999},
      {"9999990", 9999990},
      {"99999999999999999999", kLongestLeaseBreakSeconds}};
  for (const auto& [text, seconds] : rows) {
    EXPECT_EQ(lease_break_seconds_from(text), seconds) << "\"" << text << "\"";
  }
}

}  // namespace
