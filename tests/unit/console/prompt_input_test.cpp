// The console's shared halves without a terminal: the key queue and the
// prompt's word scanner, fed from strings.
#include "console/prompt_input.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "console/key_queue.h"

namespace {

TEST(KeyQueue, KeepsOrderAcrossTheWrapAndDropsOnlyNewCodesWhenFull) {
    KeyQueue queue;
    EXPECT_EQ(queue.pop(), -1);  // nothing waits
    // Half in and out, so that the next fill wraps around the end.
    for (int i = 0; i < 40; ++i) ASSERT_TRUE(queue.push(i));
    for (int i = 0; i < 40; ++i) ASSERT_EQ(queue.pop(), i);
    for (int i = 0; i < static_cast<int>(KeyQueue::kCapacity); ++i) ASSERT_TRUE(queue.push(100 + i));
    EXPECT_TRUE(queue.full());
    EXPECT_FALSE(queue.push(999));  // a key storm: the waiting keys are kept
    for (int i = 0; i < static_cast<int>(KeyQueue::kCapacity); ++i) ASSERT_EQ(queue.pop(), 100 + i);
    EXPECT_TRUE(queue.empty());
    EXPECT_EQ(queue.pop(), -1);
}

// Feeds the scanner the given chunks, one per call for more input.
class Chunks {
   public:
    Chunks(PromptInput& input, std::vector<std::string> chunks) : input_(input), chunks_(std::move(chunks)) {}
    bool operator()() {
        if (next_ == chunks_.size()) return false;
        const std::string& chunk = chunks_[next_++];
        input_.add(chunk.data(), chunk.size());
        return true;
    }
    std::size_t asked() const { return next_; }

   private:
    PromptInput& input_;
    std::vector<std::string> chunks_;
    std::size_t next_ = 0;
};

std::string rest_of(const PromptInput& input) { return std::string(input.data(), input.size()); }

TEST(PromptInput, TakesOneWordAndKeepsWhatFollows) {
    PromptInput input;
    char word[31];
    // Blanks before the word, a word split over two reads, a blank after.
    Chunks more(input, {" \t", "no", "tes.txt rest\n", "never read"});
    PromptInput::Word got = input.take_word(word, 30, more);
    EXPECT_EQ(got.length, 9);
    EXPECT_STREQ(word, "notes.txt");
    EXPECT_EQ(got.used, 11u);  // the blanks and the word, not the blank after it
    EXPECT_EQ(more.asked(), 3u);
    EXPECT_EQ(rest_of(input), " rest\n");

    // The next prompt takes the next word from what was kept.
    Chunks nothing(input, {});
    got = input.take_word(word, 30, nothing);
    EXPECT_EQ(got.length, 4);
    EXPECT_STREQ(word, "rest");
    EXPECT_EQ(nothing.asked(), 0u);

    // Only blanks, then the end of input: no word.
    got = input.take_word(word, 30, nothing);
    EXPECT_EQ(got.length, -1);
    EXPECT_STREQ(word, "");
    EXPECT_EQ(input.size(), 0u);
}

TEST(PromptInput, LongWordsStopAtTheLimitAndLinesEndAtTheirEnds) {
    PromptInput input;
    char word[6];
    Chunks more(input, {"abcdefgh\r\nkeys"});
    EXPECT_EQ(input.take_word(word, 5, more).length, 5);
    EXPECT_STREQ(word, "abcde");
    EXPECT_EQ(rest_of(input), "fgh\r\nkeys");  // the rest of the word waits
    // A raw Enter (CR) ends the line, CR LF counting as one; without CR as
    // a line end only the LF does.
    EXPECT_EQ(input.line_end(true), 5u);
    EXPECT_EQ(input.line_end(false), 5u);
    input.keep(3);
    EXPECT_EQ(input.line_end(false), PromptInput::kNoLineEnd);
    Chunks cr(input, {"x\ry"});
    input.keep(0);
    cr();
    EXPECT_EQ(input.line_end(true), 2u);
    EXPECT_EQ(input.line_end(false), PromptInput::kNoLineEnd);

    // The held bytes are bounded: what does not fit is refused, not written.
    PromptInput full;
    std::string lots(PromptInput::kCapacity + 10, 'x');
    EXPECT_EQ(full.add(lots.data(), lots.size()), PromptInput::kCapacity);
    EXPECT_EQ(full.room(), 0u);
}

}  // namespace
