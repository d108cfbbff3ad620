#include "reply.h"

#include <gtest/gtest.h>

namespace sendwick {
namespace {

TEST(CompleteReplyLength, WaitsForTheLastLineOfAReply)
{
    struct Case
    {
        std::string buffer;
        std::size_t length;
    };
    const Case cases[] = {
        {"", 0},
        {"220 ready", 0},
        {"220 ready\r\n", 11},
        {"220-first\r\n", 0}, // continuation: the reply goes on
        {"220-first\r\n220 second\r\n", 23},
        {"250-a\r\n250-b\r\n250 c\r\n354 next\r\n", 21}, // the next reply stays
        {"354\r\n", 5},                                  // code alone ends a reply
        {"garbage\r\n", 9},                              // not a continuation: judged and failed
        {"220-first\r", 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(CompleteReplyLength(c.buffer), c.length) << c.buffer;
}

TEST(ReplyCode, ReadsOnlyALeadingThreeDigitCode)
{
    struct Case
    {
        const char* reply;
        int code;
    };
    const Case cases[] = {
        {"250 ok\r\n", 250},         {"354\r\n", 354},
        {"250-PIPELINING\r\n", 250}, {"550 not 250 ok\r\n", 550},
        {"25 short\r\n", -1},        {"2500 long\r\n", -1},
        {"x250 ok\r\n", -1},         {"", -1},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ReplyCode(c.reply), c.code) << c.reply;
}

TEST(CompleteReplyCode, IsTheCodeEveryLineCarries)
{
    const std::pair<const char*, int> cases[] = {
        {"250-a\r\n250-b\r\n250 c\r\n", 250},
        {"250-a\r\n250\r\n", 250},
        {"354\r\n354 next\r\n", 354},
        {"250-ok\r\n550 no such user\r\n", -1},
        {"250-a\r\n251 b\r\n", -1},
        {"250-a\r\nb 250\r\n", -1},
        {"250-a\r\n", -1},
    };
    for (const auto& [reply, code] : cases)
        EXPECT_EQ(CompleteReplyCode(reply), code) << reply;
}

TEST(Reply, PassesOnlyWholeRepliesWithTheExpectedCode)
{
    Reply r{ReplyStatus::Complete, "550 mailbox 250 gone\r\n", 550};
    EXPECT_FALSE(r.Has(250));
    r = {ReplyStatus::TimedOut, "250-partial\r\n", 250};
    EXPECT_FALSE(r.Has(250));
    r = {ReplyStatus::Complete, "250 ok\r\n", 250};
    EXPECT_TRUE(r.Has(250));
}

TEST(Reply, LogTextShowsWhatArrivedOrTimeOut)
{
    EXPECT_EQ((Reply{ReplyStatus::TimedOut, "", -1}).LogText(), "TIME OUT");
    // A hang-up before any byte of the reply is logged with the same text.
    EXPECT_EQ((Reply{ReplyStatus::Closed, "", -1}).LogText(), "TIME OUT");
    EXPECT_EQ((Reply{ReplyStatus::Closed, "250-cut", -1}).LogText(), "250-cut");
    EXPECT_EQ((Reply{ReplyStatus::TimedOut, "220-half", -1}).LogText(), "220-half");
}

} // namespace
} // namespace sendwick
