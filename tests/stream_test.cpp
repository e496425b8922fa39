#include <gtest/gtest.h>

#include <string>

#include "FileStream.hpp"
#include "RunRemove.hpp"

namespace {

std::string read_by_bytes(InputFile& file) {
  std::string bytes;
  for (int next = file.get_byte(); next != kEndOfInput; next = file.get_byte()) {
    bytes += static_cast<char>(next);
  }
  return bytes;
}

TEST(InputFile, MissingFileNeverOpensAndReadsNothing) {
  const ScratchDir dir;
  InputFile file((dir / "absent").c_str());
  EXPECT_FALSE(file.is_open());
  EXPECT_EQ(file.get_byte(), kEndOfInput);
  EXPECT_TRUE(file.read_block().empty());
  EXPECT_FALSE(file.id().has_value());
  EXPECT_FALSE(file.close());
}

TEST(InputFile, ReadErrorIsToldApartFromEndOfInput) {
  const ScratchDir dir;
  InputFile file(dir.path.c_str());
  ASSERT_TRUE(file.is_open());
  EXPECT_EQ(file.get_byte(), kEndOfInput);
  EXPECT_TRUE(file.failed());
  EXPECT_TRUE(file.close());
  EXPECT_FALSE(file.close()) << "a second close must not touch the descriptor again";
}

TEST(InputFile, BytesAndBlocksGiveTheWholeFileAroundTheBufferSize) {
  for (const std::size_t size : {std::size_t{0}, std::size_t{1}, kStreamBufferSize - 1,
                                 kStreamBufferSize, kStreamBufferSize + 1}) {
    const ScratchDir dir;
    const std::string content = random_bytes(size, static_cast<unsigned>(size));
    write_file(dir / "f", content);
    InputFile by_byte((dir / "f").c_str());
    EXPECT_EQ(read_by_bytes(by_byte), content) << size;
    EXPECT_FALSE(by_byte.failed());

    InputFile by_block((dir / "f").c_str());
    std::string blocks;
    (void)by_block.get_byte();  // a block read after a byte read takes up where it left off
    for (auto block = by_block.read_block(); !block.empty(); block = by_block.read_block()) {
      blocks.append(reinterpret_cast<const char*>(block.data()), block.size());
    }
    EXPECT_EQ(blocks, content.substr(size > 0 ? 1 : 0)) << size;
  }
}

TEST(OutputFile, MixedWritesLandInOrder) {
  for (const std::size_t block :
       {std::size_t{1}, kStreamBufferSize - 1, kStreamBufferSize, 2 * kStreamBufferSize + 3}) {
    const ScratchDir dir;
    const std::string content = random_bytes(block, 3);
    OutputFile file((dir / "out").c_str(), std::nullopt);
    ASSERT_TRUE(file.is_open());
    file.put_byte('<');
    file.write_block({reinterpret_cast<const unsigned char*>(content.data()), content.size()});
    file.put_byte('>');
    EXPECT_TRUE(file.close());
    EXPECT_EQ(read_file(dir / "out"), "<" + content + ">") << block;
  }
}

TEST(OutputFile, EmptiesAnExistingFile) {
  const ScratchDir dir;
  write_file(dir / "out", "old content");
  OutputFile file((dir / "out").c_str(), std::nullopt);
  EXPECT_TRUE(file.close());
  EXPECT_EQ(read_file(dir / "out"), "");
}

TEST(OutputFile, RefusesToEmptyTheFileBeingRead) {
  const ScratchDir dir;
  write_file(dir / "in", "precious");
  std::filesystem::create_symlink("in", dir / "out");
  InputFile input((dir / "in").c_str());
  OutputFile output((dir / "out").c_str(), input.id());
  EXPECT_FALSE(output.is_open());
  output.put_byte('x');
  EXPECT_FALSE(output.close());
  EXPECT_EQ(read_file(dir / "in"), "precious");
}

TEST(OutputFile, FailedWriteMakesCloseFail) {
  OutputFile file("/dev/full", std::nullopt);
  ASSERT_TRUE(file.is_open());
  file.put_byte('x');
  EXPECT_TRUE(file.is_open());
  EXPECT_FALSE(file.close());
  EXPECT_TRUE(file.failed());
}

}  // namespace
