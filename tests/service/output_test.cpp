// Cutting a job's output streams into entries.
#include "service/output.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace pelmora::service {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

// Feeds `pieces` one after the other to a splitter of `max` bytes, then finishes it.
std::vector<std::string> split(std::size_t max, const std::vector<std::string>& pieces) {
  LineSplitter splitter(max);
  std::vector<std::string> entries;
  for (const auto& piece : pieces) splitter.feed(piece, entries);
  splitter.finish(entries);
  return entries;
}

TEST(LineSplitter, Boundaries) {
  const std::string four = "abcd";
  EXPECT_THAT(split(4, {}), IsEmpty());
  EXPECT_THAT(split(4, {""}), IsEmpty());
  EXPECT_THAT(split(4, {"\n"}), ElementsAre("\n"));
  EXPECT_THAT(split(4, {"\n\n"}), ElementsAre("\n", "\n"));
  // A line of exactly max bytes, newline included, is one entry; one byte more makes two.
  EXPECT_THAT(split(4, {"abc\n"}), ElementsAre("abc\n"));
  EXPECT_THAT(split(4, {"abcd\n"}), ElementsAre("abcd", "\n"));
  EXPECT_THAT(split(4, {"abcde\n"}), ElementsAre("abcd", "e\n"));
  // Without a newline: exactly max bytes wait (the line may go on); more go out in pieces.
  EXPECT_THAT(split(4, {four}), ElementsAre(four));
  EXPECT_THAT(split(4, {"abcdefghi"}), ElementsAre("abcd", "efgh", "i"));
  EXPECT_THAT(split(4, {"abcdefgh"}), ElementsAre("abcd", "efgh"));
  // A piece boundary on the newline, just before it, and just after it.
  EXPECT_THAT(split(4, {"ab", "\n", "cd"}), ElementsAre("ab\n", "cd"));
  EXPECT_THAT(split(4, {"ab\n", "cd\n"}), ElementsAre("ab\n", "cd\n"));
  EXPECT_THAT(split(4, {"abc", "\nd"}), ElementsAre("abc\n", "d"));
  EXPECT_THAT(split(4, {"abcd", "\n"}), ElementsAre("abcd", "\n"));
  // A trailing partial line is the last entry.
  EXPECT_THAT(split(4, {"a\nb"}), ElementsAre("a\n", "b"));
}

TEST(LineSplitter, EntriesJoinedAreTheStreamWhateverThePieces) {
  const std::string stream = "one\n\ntwo is long\nxyz\n\n" + std::string(13, 'q') + "\nend";
  for (std::size_t max : {1u, 2u, 3u, 5u, 64u}) {
    for (std::size_t piece = 1; piece <= stream.size(); ++piece) {
      std::vector<std::string> pieces;
      for (std::size_t at = 0; at < stream.size(); at += piece) pieces.push_back(stream.substr(at, piece));
      auto entries = split(max, pieces);
      EXPECT_THAT(entries, ElementsAreArray(split(max, {stream}))) << max << " " << piece;
      std::string joined;
      for (const auto& e : entries) {
        EXPECT_FALSE(e.empty());
        EXPECT_LE(e.size(), max);
        // Only the last byte of an entry may be a newline.
        EXPECT_EQ(e.find('\n'), e.back() == '\n' ? e.size() - 1 : std::string::npos);
        joined += e;
      }
      EXPECT_EQ(joined, stream);
    }
  }
}

}  // namespace
}  // namespace pelmora::service
